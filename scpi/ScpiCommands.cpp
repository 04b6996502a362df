#include "ScpiCommands.h"

#include "AddressText.h"
#include "OutcomeError.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <regex>
#include <utility>

namespace {

using Handler = void (*)(ScpiContext&, const ScpiParameters&);

struct Command
{
    // Long form with the short form in capitals, [:NODE] optional, '?' a query.
    const char* pattern;
    std::size_t parameters;
    Handler run;
    std::size_t optional = 0;  // taken after `parameters`, where given
};

// SCPI's "not a number": what a query answers for a path nobody could read.
const char* const kUnknown = "9.91E+37";
// The I/O space ends at 0xFFFF, and the control register sits at base + 2.
constexpr std::int64_t kLastAddress = 0xFFFD;

std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + '"';
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Whether a port operation failed, and the error that says how.
void Report(ScpiContext& context, const OperationResult& result)
{
    if (const OutcomeError error = ErrorFor(result); error.code != 0)
        context.Status().Push(error.code, error.detail);
}

// A channel as the instrument's boards number it: path 1 or 2 of board b
// is b01 or b02 (101, 202); with one board, 1 and 2 are 101 and 102.
int Slot(int board, int path)
{
    return board * 100 + path;
}

int BoardOf(int slot)
{
    return slot / 100;
}

int PathOf(int slot)
{
    return slot % 100;
}

// How a channel is written back to the client: as it is numbered where
// several boards are served, 1 or 2 where one is.
std::string SlotText(ScpiContext& context, int slot)
{
    return std::to_string(context.Instrument().Boards() > 1 ? slot : PathOf(slot));
}

// Moves each board named to its path, all at once: each board breaks
// before it makes, the boards switch side by side, and the command is done
// once every board has settled. A board that fails is named in the error;
// the others stay as switched. Whether a port may be driven from here is
// the switch's to say.
// One request's outcome over several boards: the first failure, naming its
// board where there are several, and every board it was not done on.
class BoardJoin
{
public:
    BoardJoin(bool several, const char* notDone) : several_(several), notDone_(notDone) {}

    void Add(int board, const OperationResult& result)
    {
        if (result.Ok())
            return;
        if (first_.Ok()) {
            first_ = result;
            if (several_)
                first_.detail = "board " + std::to_string(board) + ": " + result.detail;
        }
        failed_ += (failed_.empty() ? "" : ", ") + std::to_string(board);
    }

    OperationResult Result() const
    {
        OperationResult result = first_;
        if (several_ && !failed_.empty())
            result.detail += std::string("; not ") + notDone_ + ": board " + failed_;
        return result;
    }

private:
    bool several_;
    const char* notDone_;
    OperationResult first_;
    std::string failed_;
};

using BoardOperation = std::function<void(ScpiInstrument& board, ScpiInstrument::Done done)>;

// Each listed board's operation, side by side, reported once all are done.
void OperateBoards(ScpiContext& context, std::vector<std::pair<int, BoardOperation>> operations, const char* notDone)
{
    if (operations.empty())
        return;
    const bool several = context.Instrument().Boards() > 1;
    context.Operate(
        [&context, operations, several, notDone](ScpiInstrument::Done done) {
            auto join = std::make_shared<BoardJoin>(several, notDone);
            auto left = std::make_shared<std::size_t>(operations.size());
            for (const auto& operation : operations) {
                const int board = operation.first;
                operation.second(context.Instrument().Board(board), [join, left, board, done](const OperationResult& result) {
                    join->Add(board, result);
                    if (--*left == 0)
                        done(join->Result());
                });
            }
        },
        [&context](const OperationResult& result) { Report(context, result); });
}

// A setting kept by every board, each in its own files.
void SetOnEveryBoard(ScpiContext& context, const std::function<OperationResult(ScpiInstrument& board)>& set, const char* notDone)
{
    BoardJoin join(context.Instrument().Boards() > 1, notDone);
    for (int board = 1; board <= context.Instrument().Boards(); ++board)
        join.Add(board, set(context.Instrument().Board(board)));
    Report(context, join.Result());
}

void RouteBoards(ScpiContext& context, const std::vector<std::pair<int, RfPath>>& moves)
{
    std::vector<std::pair<int, BoardOperation>> operations;
    for (const auto& move : moves)
        operations.emplace_back(move.first, [path = move.second](ScpiInstrument& instrument, ScpiInstrument::Done done) {
            instrument.Select(path, std::move(done));
        });
    OperateBoards(context, std::move(operations), "switched");
}

// Every board to `path`.
void RouteAll(ScpiContext& context, RfPath path)
{
    std::vector<std::pair<int, RfPath>> moves;
    for (int board = 1; board <= context.Instrument().Boards(); ++board)
        moves.emplace_back(board, path);
    RouteBoards(context, moves);
}

void Unknown(ScpiContext& context, const SwitchView& view)
{
    if (!view.bits)
        context.Status().Push(-240, "the board's state is unknown: the port could not be read");
}

// The value of #H378, #Q1570 or #B1101111000; beyond 64 bits the largest.
std::int64_t NonDecimal(const std::string& text)
{
    const char radix = Upper(text[1]);
    return std::strtoll(text.c_str() + 2, nullptr, radix == 'H' ? 16 : radix == 'Q' ? 8 : 2);
}

// A whole number from a decimal (rounded) or non-decimal parameter within 0..max.
std::optional<int> Integer(ScpiContext& context, const ScpiParameter& parameter, int max)
{
    double value = 0;
    if (parameter.kind == ScpiParameter::Kind::Decimal) {
        value = std::nearbyint(std::strtod(parameter.text.c_str(), nullptr));
    } else if (parameter.kind == ScpiParameter::Kind::NonDecimal) {
        value = double(NonDecimal(parameter.text));
    } else {
        context.Status().Push(-104, "a number is expected");
        return std::nullopt;
    }
    if (!(value >= 0 && value <= max)) {
        context.Status().Push(-222, "from 0 to " + std::to_string(max));
        return std::nullopt;
    }
    return static_cast<int>(value);
}

// One channel of a list: its number, a label bare (ANT) or quoted ("ANT"),
// read from `text` at `at`; 0 where none is there, -1 for a number out of
// range, -2 for a label no channel has.
int ChannelAt(ScpiContext& context, std::string_view text, std::size_t& at, std::string& named)
{
    const std::size_t start = at;
    if (at < text.size() && (text[at] == '"' || text[at] == '\'')) {
        const std::size_t end = text.find(text[at], at + 1);
        if (end == std::string_view::npos)
            return 0;
        named = text.substr(at + 1, end - at - 1);
        at = end + 1;
    } else {
        const bool digits = at < text.size() && IsDigit(text[at]);
        while (at < text.size() && (digits ? IsDigit(text[at]) : IsLetter(text[at]) || IsDigit(text[at]) || text[at] == '_'))
            ++at;
        if (at == start || (digits && at - start > 4))
            return at == start ? 0 : -1;  // longer digit strings are out of range too
        named = text.substr(start, at - start);
        if (digits) {
            const int number = std::stoi(named);
            const int board = number < 100 ? 1 : BoardOf(number);
            const int path = number < 100 ? number : PathOf(number);
            return board <= context.Instrument().Boards() && (path == 1 || path == 2) ? Slot(board, path) : -1;
        }
    }
    for (int board = 1; board <= context.Instrument().Boards(); ++board)
        if (const int path = context.Instrument().Board(board).ChannelNamed(named))
            return Slot(board, path);
    return -2;
}

// The channels from `first` to `last`, either way, in the order the boards number them.
std::vector<int> SlotRange(ScpiContext& context, int first, int last)
{
    std::vector<int> slots;
    const int from = std::min(first, last), to = std::max(first, last);
    for (int board = 1; board <= context.Instrument().Boards(); ++board)
        for (const int path : {1, 2})
            if (Slot(board, path) >= from && Slot(board, path) <= to)
                slots.push_back(Slot(board, path));
    if (first > last)
        std::reverse(slots.begin(), slots.end());
    return slots;
}

// The channels of a list such as (@1), (@1,2), (@2:1) or (@ANT,LOAD), in
// the order given. A label stands for its channel, bare or quoted; labels
// are letters, digits and '_' after a letter, so none reads as a number.
bool Channels(ScpiContext& context, const ScpiParameter& parameter, std::vector<int>& channels)
{
    if (parameter.kind != ScpiParameter::Kind::Expression) {
        context.Status().Push(-104, "a channel list is expected: (@1), (@2), (@1,2) or (@LABEL)");
        return false;
    }
    const std::string_view text = parameter.text;
    std::size_t at = 1;
    const auto next = [&] { return at < text.size() ? text[at] : '\0'; };
    const auto blanks = [&] {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
    };
    const auto syntax = [&context] {
        context.Status().Push(-102, "a channel list is written (@1), (@2), (@1,2) or (@LABEL)");
        return false;
    };
    blanks();
    if (at >= text.size() || text[at++] != '@')
        return syntax();
    blanks();
    if (next() == ')')
        return at + 1 == text.size() || syntax();
    for (;;) {
        std::string named;
        int range[2] = {0, 0};
        for (int end = 0; end < 2; ++end) {
            range[end] = ChannelAt(context, text, at, named);
            if (range[end] == 0)
                return syntax();
            if (range[end] < 0) {
                if (range[end] == -1)
                    context.Status().Push(-222, context.Instrument().Boards() == 1
                                                    ? "channels are 1 (RF1) and 2 (RF2)"
                                                    : "channels are b01 (RF1) and b02 (RF2) of board b, from 1 to "
                                                          + std::to_string(context.Instrument().Boards()));
                else
                    context.Status().Push(-224, "no channel is labelled " + Quoted(named));
                return false;
            }
            blanks();
            if (end == 1 || next() != ':') {
                range[1] = end == 0 ? range[0] : range[1];
                break;
            }
            ++at;
            blanks();
        }
        for (const int slot : SlotRange(context, range[0], range[1]))
            channels.push_back(slot);
        if (next() == ')')
            return at + 1 == text.size() || syntax();
        if (next() != ',')
            return syntax();
        ++at;
        blanks();
    }
}

// The channels a command names with its optional list: both without one.
bool ChannelsOrBoth(ScpiContext& context, const ScpiParameters& parameters, std::size_t index, std::vector<int>& channels)
{
    if (parameters.size() > index)
        return Channels(context, parameters[index], channels);
    channels = SlotRange(context, Slot(1, 1), Slot(context.Instrument().Boards(), 2));
    return true;
}

enum class Bound
{
    Minimum,
    Maximum,
    Default,
};

// MINimum, MAXimum or DEFault, as a numeric parameter may be given.
std::optional<Bound> BoundOf(const ScpiParameter& parameter)
{
    static const std::regex minimum("MIN(IMUM)?", std::regex::icase), maximum("MAX(IMUM)?", std::regex::icase),
        byDefault("DEF(AULT)?", std::regex::icase);
    if (parameter.kind != ScpiParameter::Kind::Characters)
        return std::nullopt;
    if (std::regex_match(parameter.text, minimum))
        return Bound::Minimum;
    if (std::regex_match(parameter.text, maximum))
        return Bound::Maximum;
    if (std::regex_match(parameter.text, byDefault))
        return Bound::Default;
    return std::nullopt;
}

// A numeric query's optional MIN, MAX or DEF: the setting now without one.
// False, with the error queued, for any other parameter.
bool QueriedBound(ScpiContext& context, const ScpiParameters& parameters, std::optional<Bound>& bound)
{
    if (parameters.empty())
        return true;
    bound = BoundOf(parameters.front());
    if (!bound)
        context.Status().Push(-224, "MIN, MAX or DEF, or nothing for the setting now");
    return bound.has_value();
}

// The port address a SYST:PORT parameter names: a decimal integer, a
// non-decimal numeric, or the address box's &H / &O forms.
void SetPort(ScpiContext& context, const ScpiParameters& parameters)
{
    static const std::regex integer(R"([+-]?\d{1,10})");
    static const std::regex boxRadix(R"(&([hH][0-9a-fA-F]{1,8}|[oO][0-7]{1,11}))");
    const ScpiParameter& parameter = parameters.front();
    std::optional<std::int64_t> address;
    using Kind = ScpiParameter::Kind;
    if (parameter.kind == Kind::Decimal && std::regex_match(parameter.text, integer)) {
        address = std::strtoll(parameter.text.c_str(), nullptr, 10);
    } else if (parameter.kind == Kind::NonDecimal) {
        address = NonDecimal(parameter.text);
    } else if (parameter.kind == Kind::Other && std::regex_match(parameter.text, boxRadix)) {
        address = AddressFromText(parameter.text).value_or(-1);
    } else if (parameter.kind == Kind::String) {
        // A port with no address (a USB adapter) is named by its device.
        const auto device = DeviceFromText(parameter.text);
        if (!device) {
            context.Status().Push(-224, "not a port device: " + Quoted(parameter.text) + "; write e.g. \"/dev/parport1\"");
            return;
        }
        context.Operate([&context, device = *device](ScpiInstrument::Done done) { context.Instrument().SetPortDevice(device, std::move(done)); },
                        [&context](const OperationResult& result) { Report(context, result); });
        return;
    }
    if (!address) {
        context.Status().Push(-224, parameter.text + " is no address: write it 888, #H378 or &H378");
        return;
    }
    if (*address < 1 || *address > kLastAddress) {
        context.Status().Push(-222, "no port at address " + parameter.text);
        return;
    }
    context.Operate(
        [&context, address = static_cast<std::int32_t>(*address)](ScpiInstrument::Done done) {
            context.Instrument().SetPort(address, std::move(done));
        },
        [&context](const OperationResult& result) { Report(context, result); });
}

void Close(ScpiContext& context, const ScpiParameters& parameters)
{
    std::vector<int> channels;
    if (!Channels(context, parameters.front(), channels) || channels.empty())
        return;
    std::vector<std::pair<int, RfPath>> moves;
    for (const int slot : channels) {
        const RfPath path = PathOf(slot) == 1 ? RfPath::Rf1 : RfPath::Rf2;
        const auto same = std::find_if(moves.begin(), moves.end(), [&](const auto& move) { return move.first == BoardOf(slot); });
        if (same == moves.end()) {
            moves.emplace_back(BoardOf(slot), path);
        } else if (same->second != path) {
            const bool several = context.Instrument().Boards() > 1;
            const std::string why = several ? "RF1 and RF2 of board " + std::to_string(BoardOf(slot)) + " cannot be closed together"
                                            : "RF1 and RF2 cannot be closed together";
            context.Status().Push(-221, why);
            context.Instrument().Board(BoardOf(slot)).Refused(
                "close(@" + SlotText(context, Slot(BoardOf(slot), 1)) + "," + SlotText(context, Slot(BoardOf(slot), 2)) + ")", why);
            return;
        }
    }
    RouteBoards(context, std::move(moves));
}

void Open(ScpiContext& context, const ScpiParameters& parameters)
{
    std::vector<int> channels;
    if (!Channels(context, parameters.front(), channels) || channels.empty())
        return;
    // Whether a path is closed is known once what runs before is over; a
    // path nobody could read back may be closed.
    context.AfterAll([&context, channels] {
        std::vector<std::pair<int, RfPath>> moves;
        for (const int slot : channels) {
            const int board = BoardOf(slot);
            const auto bits = context.Instrument().Board(board).View().bits;
            const bool closed = !bits || (PathOf(slot) == 1 ? bits->c1 : bits->c2);
            if (closed && std::none_of(moves.begin(), moves.end(), [board](const auto& move) { return move.first == board; }))
                moves.emplace_back(board, RfPath::Off);
        }
        RouteBoards(context, std::move(moves));
    });
}

// ROUT:CLOS? and ROUT:OPEN?: one answer per channel, in the order asked.
template <bool closedAnswersOne>
void PathQuery(ScpiContext& context, const ScpiParameters& parameters)
{
    std::vector<int> channels;
    if (!Channels(context, parameters.front(), channels))
        return;
    std::string answer;
    bool unknown = false;
    for (const int slot : channels) {
        const SwitchView view = context.Instrument().Board(BoardOf(slot)).View();
        const bool closed = view.bits && (PathOf(slot) == 1 ? view.bits->c1 : view.bits->c2);
        answer += std::string(answer.empty() ? "" : ",") + (!view.bits ? kUnknown : closed == closedAnswersOne ? "1" : "0");
        unknown = unknown || !view.bits;
    }
    context.Answer(answer);
    if (unknown)
        Unknown(context, SwitchView{});
}

// The closed channels of every board; unknown where a board's state is.
void CloseState(ScpiContext& context, const ScpiParameters&)
{
    std::string closed;
    for (int board = 1; board <= context.Instrument().Boards(); ++board) {
        const SwitchView view = context.Instrument().Board(board).View();
        if (!view.bits) {
            context.Answer(kUnknown);
            Unknown(context, view);
            return;
        }
        for (const int path : {1, 2})
            if (path == 1 ? view.bits->c1 : view.bits->c2)
                closed += (closed.empty() ? "" : ",") + SlotText(context, Slot(board, path));
    }
    context.Answer("(@" + closed + ")");
}

// DIAG:REL:CYCL?: the closures of each channel, in the order asked.
void CyclesQuery(ScpiContext& context, const ScpiParameters& parameters)
{
    std::vector<int> channels;
    if (!ChannelsOrBoth(context, parameters, 0, channels))
        return;
    std::string answer;
    for (const int slot : channels)
        answer += (answer.empty() ? "" : ",") + std::to_string(context.Instrument().Board(BoardOf(slot)).View().cycles.Of(PathOf(slot)));
    context.Answer(answer);
}

void ClearCycles(ScpiContext& context, const ScpiParameters& parameters)
{
    std::vector<int> channels;
    if (!Channels(context, parameters.front(), channels) || channels.empty())
        return;
    for (int board = 1; board <= context.Instrument().Boards(); ++board) {
        std::vector<int> paths;
        for (const int slot : channels)
            if (BoardOf(slot) == board)
                paths.push_back(PathOf(slot));
        if (!paths.empty())
            Report(context, context.Instrument().Board(board).ClearCycles(paths));
    }
}

constexpr double kLargestLimit = 4294967295.0;

// The rated life as a count of closures: a whole number, 0 for none.
void SetCycleLimit(ScpiContext& context, const ScpiParameters& parameters)
{
    const ScpiParameter& parameter = parameters.front();
    double value = 0;
    if (const auto bound = BoundOf(parameter)) {
        value = *bound == Bound::Maximum ? kLargestLimit : 0;
    } else if (parameter.kind == ScpiParameter::Kind::Decimal) {
        value = std::nearbyint(std::strtod(parameter.text.c_str(), nullptr));
    } else if (parameter.kind == ScpiParameter::Kind::NonDecimal) {
        value = double(NonDecimal(parameter.text));
    } else {
        context.Status().Push(-104, "a number of closures is expected; 0 (or MIN, DEF) for no limit, MAX");
        return;
    }
    if (!(value >= 0 && value <= kLargestLimit)) {
        context.Status().Push(-222, "from 0 (no limit) to 4294967295");
        return;
    }
    Report(context, context.Instrument().SetCycleLimit(static_cast<std::uint64_t>(value)));
}

constexpr double kMaxSeconds = 60;

// ROUT:SETT:TIME <seconds>: a number of seconds (a unit of S or MS may
// follow), or MINimum, MAXimum, DEFault (as the program started); kept to
// the millisecond.
std::optional<std::chrono::milliseconds> SettleTimeParameter(ScpiContext& context, const ScpiParameters& parameters)
{
    static const std::regex withUnit(R"(([+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?)\s*(M?S))", std::regex::icase);
    const ScpiParameter& parameter = parameters.front();
    double seconds = 0;
    std::smatch unit;
    if (parameter.kind == ScpiParameter::Kind::Decimal) {
        seconds = std::strtod(parameter.text.c_str(), nullptr);
    } else if (std::regex_match(parameter.text, unit, withUnit)) {
        seconds = std::strtod(unit[1].str().c_str(), nullptr) / (unit[4].length() == 2 ? 1000 : 1);
    } else if (const auto bound = BoundOf(parameter)) {
        seconds = *bound == Bound::Maximum ? kMaxSeconds
            : *bound == Bound::Default     ? double(context.Instrument().View().startSettleTime.count()) / 1000
                                           : 0;
    } else {
        context.Status().Push(-104, "a number of seconds is expected, e.g. 0.05 or 50 MS");
        return std::nullopt;
    }
    if (!(seconds >= 0 && seconds <= kMaxSeconds)) {
        context.Status().Push(-222, "from 0 to 60 seconds");
        return std::nullopt;
    }
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

// The settle time of each board of `slots`' (every board's where none are named).
void SetSettleTimeOf(ScpiContext& context, const ScpiParameters& parameters, const std::vector<int>& slots)
{
    const auto time = SettleTimeParameter(context, parameters);
    if (!time)
        return;
    for (int board = 1; board <= context.Instrument().Boards(); ++board)
        if (slots.empty() || std::any_of(slots.begin(), slots.end(), [board](int slot) { return BoardOf(slot) == board; }))
            Report(context, context.Instrument().Board(board).SetSettleTime(*time));
}

void SetSettleTime(ScpiContext& context, const ScpiParameters& parameters)
{
    SetSettleTimeOf(context, parameters, {});
}

// In seconds, the shortest text that reads back as the setting: 0.05.
std::string Seconds(std::chrono::milliseconds time)
{
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, double(time.count()) / 1000).ptr);
}

std::string SettleTimeAnswer(ScpiContext& context, std::optional<Bound> bound)
{
    const SwitchView view = context.Instrument().View();
    if (!bound)
        return Seconds(view.settleTime);
    return *bound == Bound::Maximum ? Seconds(std::chrono::seconds(60)) : *bound == Bound::Default ? Seconds(view.startSettleTime) : "0";
}

void SettleTimeQuery(ScpiContext& context, const ScpiParameters& parameters)
{
    std::optional<Bound> bound;
    if (QueriedBound(context, parameters, bound))
        context.Answer(SettleTimeAnswer(context, bound));
}

// ROUT:CHAN:DEL <seconds>[,<list>]: a board has one settle time, so the
// channels named are checked and the time holds for both of their boards'.
void SetChannelDelay(ScpiContext& context, const ScpiParameters& parameters)
{
    std::vector<int> channels;
    if (ChannelsOrBoth(context, parameters, 1, channels))
        SetSettleTimeOf(context, parameters, channels);
}

// ROUT:CHAN:DEL? [<list>|MIN|MAX|DEF]: the settle time once per channel named.
void ChannelDelayQuery(ScpiContext& context, const ScpiParameters& parameters)
{
    std::vector<int> channels;
    if (parameters.empty() || parameters.front().kind != ScpiParameter::Kind::Expression)
        return SettleTimeQuery(context, parameters);
    if (!Channels(context, parameters.front(), channels))
        return;
    std::string answer;
    for (std::size_t i = 0; i < channels.size(); ++i)
        answer += (i ? "," : "") + Seconds(context.Instrument().Board(BoardOf(channels[i])).View().settleTime);
    context.Answer(answer);
}

// ROUT:CHAN:LAB "ANT",(@1): "" takes the label away; one label names one channel.
void SetLabel(ScpiContext& context, const ScpiParameters& parameters)
{
    const ScpiParameter& label = parameters.front();
    if (label.kind != ScpiParameter::Kind::String) {
        context.Status().Push(-104, "a label is a quoted string: ROUT:CHAN:LAB \"ANT\",(@1)");
        return;
    }
    if (const std::string why = LabelProblem(label.text); !label.text.empty() && !why.empty()) {
        context.Status().Push(-224, Quoted(label.text) + ": " + why);
        return;
    }
    std::vector<int> channels;
    if (!Channels(context, parameters[1], channels) || channels.empty())
        return;
    if (!label.text.empty() && std::any_of(channels.begin(), channels.end(), [&](int c) { return c != channels.front(); })) {
        context.Status().Push(-221, "a label names one channel");
        return;
    }
    for (const int slot : channels) {
        const OperationResult result = context.Instrument().Board(BoardOf(slot)).SetLabel(PathOf(slot), label.text);
        Report(context, result);
        if (!result.Ok())
            return;
    }
}

void LabelQuery(ScpiContext& context, const ScpiParameters& parameters)
{
    std::vector<int> channels;
    if (!ChannelsOrBoth(context, parameters, 0, channels))
        return;
    std::string answer;
    for (const int slot : channels)
        answer += (answer.empty() ? "" : ",") + Quoted(context.Instrument().Board(BoardOf(slot)).View().labels.Of(PathOf(slot)));
    context.Answer(answer);
}

// A slot: a board's number, 1 to the number of boards.
std::optional<int> BoardParameter(ScpiContext& context, const ScpiParameter& parameter)
{
    const auto board = parameter.kind == ScpiParameter::Kind::Decimal ? Integer(context, parameter, 99) : std::nullopt;
    if (parameter.kind != ScpiParameter::Kind::Decimal)
        context.Status().Push(-104, "a slot number is expected: the board's, from 1");
    else if (board && (*board < 1 || *board > context.Instrument().Boards()))
        context.Status().Push(-222, "slots are 1 to " + std::to_string(context.Instrument().Boards()));
    else
        return board;
    return std::nullopt;
}

// *SAV n, *RCL n: setups 0 to 9 of every board, each kept with its board.
void SaveSetup(ScpiContext& context, const ScpiParameters& parameters)
{
    if (const auto number = Integer(context, parameters.front(), 9))
        SetOnEveryBoard(context, [number = *number](ScpiInstrument& board) { return board.SaveSetup(number); }, "saved");
}

void RecallSetup(ScpiContext& context, const ScpiParameters& parameters)
{
    const auto number = Integer(context, parameters.front(), 9);
    if (!number)
        return;
    std::vector<std::pair<int, BoardOperation>> operations;
    for (int board = 1; board <= context.Instrument().Boards(); ++board)
        operations.emplace_back(board, [number = *number](ScpiInstrument& instrument, ScpiInstrument::Done done) {
            instrument.RecallSetup(number, std::move(done));
        });
    OperateBoards(context, std::move(operations), "recalled");
}

// SYST:POS RCL0 … RCL9 | KEEP: what a headless server does at start.
void SetPowerOn(ScpiContext& context, const ScpiParameters& parameters)
{
    static const std::regex setup("RCL([0-9])", std::regex::icase), keep("KEEP", std::regex::icase);
    const ScpiParameter& parameter = parameters.front();
    std::smatch number;
    std::optional<int> powerOn;
    if (parameter.kind == ScpiParameter::Kind::Characters && std::regex_match(parameter.text, number, setup))
        powerOn = number[1].str()[0] - '0';
    if (powerOn || (parameter.kind == ScpiParameter::Kind::Characters && std::regex_match(parameter.text, keep)))
        SetOnEveryBoard(context, [powerOn](ScpiInstrument& board) { return board.SetPowerOn(powerOn); }, "set");
    else
        context.Status().Push(-224, "RCL0 to RCL9 (a saved setup) or KEEP (the board as it is found)");
}

// *RST: every port terminated, and the settle time as the program started.
void Reset(ScpiContext& context, const ScpiParameters&)
{
    // Another client's lock keeps both: one error says so.
    if (!context.Instrument().View().lockedByOther)
        for (int board = 1; board <= context.Instrument().Boards(); ++board) {
            ScpiInstrument& each = context.Instrument().Board(board);
            Report(context, each.SetSettleTime(each.View().startSettleTime));
        }
    RouteAll(context, RfPath::Off);
}

template <std::uint8_t ScpiStatus::*mask>
void SetMask(ScpiContext& context, const ScpiParameters& parameters)
{
    if (const auto value = Integer(context, parameters.front(), 255))
        context.Status().*mask = static_cast<std::uint8_t>(*value & (mask == &ScpiStatus::sre ? ~ScpiStatus::kMasterSummary : 0xFF));
}

template <std::uint8_t ScpiStatus::*mask>
void MaskQuery(ScpiContext& context, const ScpiParameters&)
{
    context.Answer(std::to_string(context.Status().*mask));
}

template <ScpiStatus::Register ScpiStatus::*which>
void EventQuery(ScpiContext& context, const ScpiParameters&)
{
    context.Answer(std::to_string((context.Status().*which).TakeEvent()));
}

template <ScpiStatus::Register ScpiStatus::*which>
void ConditionQuery(ScpiContext& context, const ScpiParameters&)
{
    context.Answer(std::to_string((context.Status().*which).condition));
}

// An enable mask or transition filter of a register: 0 to 32767.
template <ScpiStatus::Register ScpiStatus::*which, std::uint16_t ScpiStatus::Register::*mask>
void SetRegisterMask(ScpiContext& context, const ScpiParameters& parameters)
{
    if (const auto value = Integer(context, parameters.front(), ScpiStatus::Register::kAll))
        context.Status().*which.*mask = static_cast<std::uint16_t>(*value);
}

template <ScpiStatus::Register ScpiStatus::*which, std::uint16_t ScpiStatus::Register::*mask>
void RegisterMaskQuery(ScpiContext& context, const ScpiParameters&)
{
    context.Answer(std::to_string(context.Status().*which.*mask));
}

template <const char* answer>
void Fixed(ScpiContext& context, const ScpiParameters&)
{
    context.Answer(answer);
}

constexpr char kVersion[] = "1999.0";
constexpr char kNoOptions[] = "0";
constexpr char kComplete[] = "1";

using S = ScpiStatus;
const Command kCommands[] = {
    {"*IDN?", 0, [](ScpiContext& c, const ScpiParameters&) {
         const Identity& o = c.Identification();
         c.Answer(o.maker + "," + o.model + "," + o.serial + "," + o.version);
     }},
    {"*RST", 0, Reset},
    {"*SAV", 1, SaveSetup},
    {"*RCL", 1, RecallSetup},
    {"*CLS", 0, [](ScpiContext& c, const ScpiParameters&) { c.Status().Clear(); }},
    {"*OPC", 0, [](ScpiContext& c, const ScpiParameters&) { c.AfterAll([&c] { c.Status().esr |= S::kOperationComplete; }); }},
    {"*OPC?", 0, [](ScpiContext& c, const ScpiParameters&) { c.AfterAll([&c] { c.Answer(kComplete); }); }},
    {"*WAI", 0, [](ScpiContext& c, const ScpiParameters&) { c.AfterAll([] {}); }},
    {"*ESR?", 0, [](ScpiContext& c, const ScpiParameters&) { c.Answer(std::to_string(std::exchange(c.Status().esr, 0))); }},
    {"*ESE", 1, SetMask<&S::ese>},
    {"*ESE?", 0, MaskQuery<&S::ese>},
    {"*SRE", 1, SetMask<&S::sre>},
    {"*SRE?", 0, MaskQuery<&S::sre>},
    {"*STB?", 0, [](ScpiContext& c, const ScpiParameters&) {
         c.Answer(std::to_string(c.Status().StatusByte(c.OperationCondition(), c.QuestionableCondition(), c.MessageAvailable())));
     }},
    // A self-test passes only on a board that is really driven.
    {"*TST?", 0, [](ScpiContext& c, const ScpiParameters&) { c.Answer(c.Instrument().View().reach == PortReach::Real ? "0" : "1"); }},
    {"*OPT?", 0, Fixed<kNoOptions>},
    // ROUTe may be left out, as switch units have it.
    {"[ROUTe]:CLOSe", 1, Close},
    {"[ROUTe]:CLOSe?", 1, PathQuery<true>},
    {"[ROUTe]:CLOSe:STATe?", 0, CloseState},
    // One path at a time: closing one opens the other.
    {"[ROUTe]:CLOSe:EXCLusive", 1, Close},
    {"[ROUTe]:OPEN", 1, Open},
    {"[ROUTe]:OPEN?", 1, PathQuery<false>},
    {"[ROUTe]:OPEN:ALL", 0, [](ScpiContext& c, const ScpiParameters&) { RouteAll(c, RfPath::Off); }},
    {"[ROUTe]:SETTling:TIME", 1, SetSettleTime},
    {"[ROUTe]:SETTling:TIME?", 0, SettleTimeQuery, 1},
    {"[ROUTe]:CHANnel:DELay", 1, SetChannelDelay, 1},
    {"[ROUTe]:CHANnel:DELay?", 0, ChannelDelayQuery, 1},
    {"[ROUTe]:CHANnel:LABel[:DEFine]", 2, SetLabel},
    {"[ROUTe]:CHANnel:LABel[:DEFine]?", 0, LabelQuery, 1},
    // 1 once no switch operation is under way and the last one has settled.
    {"[ROUTe]:DONE?", 0, [](ScpiContext& c, const ScpiParameters&) {
         c.Answer(c.OperationCondition() & (S::kSwitching | S::kSettling) ? "0" : "1");
     }},
    {"STATus:OPERation[:EVENt]?", 0, EventQuery<&S::operation>},
    {"STATus:OPERation:CONDition?", 0, ConditionQuery<&S::operation>},
    {"STATus:OPERation:ENABle", 1, SetRegisterMask<&S::operation, &S::Register::enable>},
    {"STATus:OPERation:ENABle?", 0, RegisterMaskQuery<&S::operation, &S::Register::enable>},
    {"STATus:OPERation:PTRansition", 1, SetRegisterMask<&S::operation, &S::Register::ptr>},
    {"STATus:OPERation:PTRansition?", 0, RegisterMaskQuery<&S::operation, &S::Register::ptr>},
    {"STATus:OPERation:NTRansition", 1, SetRegisterMask<&S::operation, &S::Register::ntr>},
    {"STATus:OPERation:NTRansition?", 0, RegisterMaskQuery<&S::operation, &S::Register::ntr>},
    {"STATus:QUEStionable[:EVENt]?", 0, EventQuery<&S::questionable>},
    {"STATus:QUEStionable:CONDition?", 0, ConditionQuery<&S::questionable>},
    {"STATus:QUEStionable:ENABle", 1, SetRegisterMask<&S::questionable, &S::Register::enable>},
    {"STATus:QUEStionable:ENABle?", 0, RegisterMaskQuery<&S::questionable, &S::Register::enable>},
    {"STATus:QUEStionable:PTRansition", 1, SetRegisterMask<&S::questionable, &S::Register::ptr>},
    {"STATus:QUEStionable:PTRansition?", 0, RegisterMaskQuery<&S::questionable, &S::Register::ptr>},
    {"STATus:QUEStionable:NTRansition", 1, SetRegisterMask<&S::questionable, &S::Register::ntr>},
    {"STATus:QUEStionable:NTRansition?", 0, RegisterMaskQuery<&S::questionable, &S::Register::ntr>},
    {"STATus:PRESet", 0, [](ScpiContext& c, const ScpiParameters&) { c.Status().Preset(); }},
    {"SYSTem:ERRor[:NEXT]?", 0, [](ScpiContext& c, const ScpiParameters&) { c.Answer(c.Status().TakeError()); }},
    {"SYSTem:ERRor:COUNt?", 0, [](ScpiContext& c, const ScpiParameters&) { c.Answer(std::to_string(c.Status().Errors().size())); }},
    {"SYSTem:ERRor:ALL?", 0, [](ScpiContext& c, const ScpiParameters&) {
         std::string all = c.Status().TakeError();
         while (!c.Status().Errors().empty())
             all += "," + c.Status().TakeError();
         c.Answer(all);
     }},
    {"SYSTem:VERSion?", 0, Fixed<kVersion>},
    // A client back from a timeout drops every answer before its own token.
    {"SYSTem:SYNC?", 1, [](ScpiContext& c, const ScpiParameters& p) {
         if (p.front().kind != ScpiParameter::Kind::String)
             return c.Status().Push(-104, "a string is expected, the client's own token: \"4f1c9a\"");
         c.Answer(Quoted(p.front().text));
     }},
    // Each board as a switch unit names a card in a slot: its model, then its name and port.
    {"SYSTem:CTYPe?", 1, [](ScpiContext& c, const ScpiParameters& p) {
         if (const auto board = BoardParameter(c, p.front())) {
             const Identity& o = c.Identification();
             c.Answer(o.maker + "," + c.Instrument().Board(*board).View().model + "," + o.serial + "," + o.version);
         }
     }},
    {"SYSTem:CDEScription?", 1, [](ScpiContext& c, const ScpiParameters& p) {
         if (const auto board = BoardParameter(c, p.front())) {
             const SwitchView view = c.Instrument().Board(*board).View();
             const std::string port = view.device.empty() ? "port " + std::to_string(view.address) : view.device;
             c.Answer(Quoted(view.model + (view.name.empty() ? "" : " " + view.name) + " on " + port));
         }
     }},
    {"SYSTem:PORT", 1, SetPort},
    {"SYSTem:PORT?", 0, [](ScpiContext& c, const ScpiParameters&) {
         const SwitchView view = c.Instrument().View();
         c.Answer(view.device.empty() ? std::to_string(view.address) : Quoted(view.device));
     }},
    {"SYSTem:PORT:LIST?", 0, [](ScpiContext& c, const ScpiParameters&) {
         std::string answer;
         for (const std::string& line : c.Instrument().PortList())
             answer += (answer.empty() ? "" : ",") + Quoted(line);
         c.Answer(answer.empty() ? "\"\"" : answer);
     }},
    {"SYSTem:PORT:SIMulated?", 0, [](ScpiContext& c, const ScpiParameters&) {
         c.Answer(c.Instrument().View().reach == PortReach::Simulated ? "1" : "0");
     }},
    {"DIAGnostic:RELay:CYCLes?", 0, CyclesQuery, 1},
    {"DIAGnostic:RELay:CYCLes:CLEar", 1, ClearCycles},
    {"DIAGnostic:RELay:CYCLes:LIMit", 1, SetCycleLimit},
    {"DIAGnostic:RELay:CYCLes:LIMit?", 0, [](ScpiContext& c, const ScpiParameters& p) {
         std::optional<Bound> bound;
         if (QueriedBound(c, p, bound))
             c.Answer(!bound ? std::to_string(c.Instrument().View().cycles.limit) : *bound == Bound::Maximum ? "4294967295" : "0");
     }, 1},
    {"SYSTem:POSetup", 1, SetPowerOn},
    {"SYSTem:POSetup?", 0, [](ScpiContext& c, const ScpiParameters&) {
         const auto setup = c.Instrument().View().powerOn;
         c.Answer(setup ? "RCL" + std::to_string(*setup) : "KEEP");
     }},
    {"SYSTem:LOCK:REQuest?", 0, [](ScpiContext& c, const ScpiParameters&) { c.Answer(c.Instrument().Lock() ? "1" : "0"); }},
    {"SYSTem:LOCK:RELease", 0, [](ScpiContext& c, const ScpiParameters&) { c.Instrument().Unlock(); }},
    {"SYSTem:LOCK:OWNer?", 0, [](ScpiContext& c, const ScpiParameters&) {
         const std::string holder = c.Instrument().View().lockHolder;
         c.Answer(Quoted(holder.empty() ? "NONE" : holder));
     }},
};

struct PatternNode
{
    std::string shortForm;
    std::string longForm;
    bool optional;
};

struct Pattern
{
    std::vector<PatternNode> nodes;
    bool query;
    const Command* command;
};

Pattern Parse(const Command& command)
{
    const std::string_view text = command.pattern;
    Pattern pattern{{}, text.back() == '?', &command};
    for (std::size_t i = 0; i < text.size() && text[i] != '?';) {
        const bool optional = text[i] == '[';
        i += optional ? 1 : 0;
        i += text[i] == ':' ? 1 : 0;
        PatternNode node{{}, {}, optional};
        for (; i < text.size() && text[i] != ':' && text[i] != '[' && text[i] != ']' && text[i] != '?'; ++i) {
            if (Upper(text[i]) == text[i])
                node.shortForm += text[i];
            node.longForm += Upper(text[i]);
        }
        i += i < text.size() && text[i] == ']' ? 1 : 0;
        pattern.nodes.push_back(std::move(node));
    }
    return pattern;
}

const std::vector<Pattern>& Patterns()
{
    static const std::vector<Pattern> patterns = [] {
        std::vector<Pattern> parsed;
        for (const Command& command : kCommands)
            parsed.push_back(Parse(command));
        return parsed;
    }();
    return patterns;
}

bool Match(const std::vector<PatternNode>& pattern, std::size_t p, const std::vector<std::string>& nodes, std::size_t n)
{
    if (p == pattern.size())
        return n == nodes.size();
    if (pattern[p].optional && Match(pattern, p + 1, nodes, n))
        return true;
    return n < nodes.size() && (nodes[n] == pattern[p].shortForm || nodes[n] == pattern[p].longForm)
        && Match(pattern, p + 1, nodes, n + 1);
}

const Command* Lookup(const std::vector<std::string>& nodes, bool query)
{
    for (const Pattern& pattern : Patterns())
        if (pattern.query == query && Match(pattern.nodes, 0, nodes, 0))
            return pattern.command;
    return nullptr;
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == separator)
            parts.emplace_back();
        else
            parts.back() += c;
    }
    return parts;
}

} // namespace

void ScpiCommands::Run(ScpiContext& context, const ScpiUnit& unit)
{
    ScpiStatus& status = context.Status();
    if (unit.error) {
        status.Push(unit.error);
        return;
    }
    std::string header = unit.header;
    const bool query = !header.empty() && header.back() == '?';
    if (query)
        header.pop_back();
    for (const char c : header) {
        if (!IsLetter(c) && !IsDigit(c) && c != '_' && c != ':' && c != '*' && c != '?')
            return status.Push(-101);
    }
    if (header.find('?') != std::string::npos)
        return status.Push(-102);
    std::transform(header.begin(), header.end(), header.begin(), Upper);

    const Command* command = nullptr;
    if (!header.empty() && header.front() == '*') {
        if (header.size() < 2 || !std::all_of(header.begin() + 1, header.end(), IsLetter))
            return status.Push(-102);
        command = Lookup({header}, query);
    } else {
        const bool fromRoot = !header.empty() && header.front() == ':';
        std::vector<std::string> nodes = Split(header.substr(fromRoot ? 1 : 0), ':');
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            if (nodes[i].empty() || nodes[i].find('*') != std::string::npos)
                return status.Push(-102);
            if (!IsLetter(nodes[i].front()))
                return status.Push(i == 0 ? -100 : -102);
        }
        // After "ROUT:CLOS (@1);" a header goes on from ROUT, as SCPI has it;
        // one that only makes sense from the root is taken from there.
        std::vector<std::string> relative = path_;
        relative.insert(relative.end(), nodes.begin(), nodes.end());
        if (!fromRoot && !path_.empty() && (command = Lookup(relative, query)))
            nodes = std::move(relative);
        else
            command = Lookup(nodes, query);
        if (command)
            path_.assign(nodes.begin(), nodes.end() - 1);
    }
    if (!command)
        return status.Push(-113);
    if (unit.parameters.size() > command->parameters + command->optional)
        return status.Push(-108);
    if (unit.parameters.size() < command->parameters)
        return status.Push(-109);
    command->run(context, unit.parameters);
}
