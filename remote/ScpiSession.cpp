#include "ScpiSession.h"

#include "AddressText.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

enum class ScpiSession::Command
{
    Idn,
    Rst,
    Cls,
    Opc,
    OpcQuery,
    Wai,
    Esr,
    Stb,
    Tst,
    Close,
    CloseQuery,
    CloseState,
    Open,
    OpenQuery,
    OpenAll,
    ErrorNext,
    Version,
    Port,
    PortQuery,
    PortList,
    Simulated,
};

namespace {

// IEEE 488.2 standard event status bits.
constexpr std::uint8_t kOperationComplete = 1 << 0;
constexpr std::uint8_t kDeviceError = 1 << 3;
constexpr std::uint8_t kExecutionError = 1 << 4;
constexpr std::uint8_t kCommandError = 1 << 5;
// Status byte: the error queue holds something.
constexpr std::uint8_t kErrorQueueBit = 1 << 2;

constexpr int kQueueOverflow = -350;

// SCPI's "not a number": what a query answers for a path nobody could read.
const char* const kUnknown = "9.91E+37";

const char* ErrorText(int number)
{
    switch (number) {
    case -100: return "Command error";
    case -101: return "Invalid character";
    case -102: return "Syntax error";
    case -104: return "Data type error";
    case -108: return "Parameter not allowed";
    case -109: return "Missing parameter";
    case -113: return "Undefined header";
    case -221: return "Settings conflict";
    case -222: return "Data out of range";
    case -240: return "Hardware error";
    case -241: return "Hardware missing";
    case kQueueOverflow: return "Queue overflow";
    default: return "Error";
    }
}

struct Pattern
{
    const char* header;  // long form; the capitals are the short form; [:NODE] optional
    bool query;
    ScpiSession::Command command;
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return std::string(text);
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

std::vector<std::string> Split(std::string_view text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.emplace_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos)
            return parts;
        start = at + 1;
    }
}

struct PatternNode
{
    std::string shortForm;
    std::string longForm;
    bool optional;
};

std::vector<PatternNode> Nodes(std::string_view pattern)
{
    std::vector<PatternNode> nodes;
    for (std::size_t i = 0; i < pattern.size();) {
        const bool optional = pattern[i] == '[';
        if (optional)
            ++i;
        if (pattern[i] == ':')
            ++i;
        PatternNode node{{}, {}, optional};
        for (; i < pattern.size() && pattern[i] != ':' && pattern[i] != '[' && pattern[i] != ']'; ++i) {
            if (Upper(pattern[i]) == pattern[i])
                node.shortForm += pattern[i];
            node.longForm += Upper(pattern[i]);
        }
        if (i < pattern.size() && pattern[i] == ']')
            ++i;
        nodes.push_back(std::move(node));
    }
    return nodes;
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

using C = ScpiSession::Command;
const std::array kCommon{
    Pattern{"*IDN", true, C::Idn},   Pattern{"*RST", false, C::Rst}, Pattern{"*CLS", false, C::Cls},
    Pattern{"*OPC", false, C::Opc},  Pattern{"*OPC", true, C::OpcQuery}, Pattern{"*WAI", false, C::Wai},
    Pattern{"*ESR", true, C::Esr},   Pattern{"*STB", true, C::Stb},  Pattern{"*TST", true, C::Tst},
};
const std::array kTree{
    Pattern{"ROUTe:CLOSe", false, C::Close},
    Pattern{"ROUTe:CLOSe", true, C::CloseQuery},
    Pattern{"ROUTe:CLOSe:STATe", true, C::CloseState},
    Pattern{"ROUTe:OPEN", false, C::Open},
    Pattern{"ROUTe:OPEN", true, C::OpenQuery},
    Pattern{"ROUTe:OPEN:ALL", false, C::OpenAll},
    Pattern{"SYSTem:ERRor[:NEXT]", true, C::ErrorNext},
    Pattern{"SYSTem:VERSion", true, C::Version},
    Pattern{"SYSTem:PORT", false, C::Port},
    Pattern{"SYSTem:PORT", true, C::PortQuery},
    Pattern{"SYSTem:PORT:SIMulated", true, C::Simulated},
    Pattern{"SYSTem:PORT:LIST", true, C::PortList},
};

bool Lookup(const std::vector<std::string>& nodes, bool query, ScpiSession::Command& command)
{
    for (const Pattern& pattern : kTree) {
        if (pattern.query == query && Match(Nodes(pattern.header), 0, nodes, 0)) {
            command = pattern.command;
            return true;
        }
    }
    return false;
}

// Quotes in free text are doubled inside an SCPI string.
std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + '"';
}

// The text of an SCPI string ("..." or '...', the quote doubled inside);
// nullopt where `params` is not one string.
std::optional<std::string> Unquoted(const std::string& params)
{
    const char quote = params.front();
    std::string text;
    for (std::size_t i = 1; i < params.size(); ++i) {
        if (params[i] != quote)
            text += params[i];
        else if (i + 1 < params.size() && params[i + 1] == quote)
            text += params[++i];
        else
            return i + 1 == params.size() ? std::optional<std::string>(text) : std::nullopt;
    }
    return std::nullopt;
}

} // namespace

ScpiSession::ScpiSession(ScpiInstrument& instrument, ScpiOptions options)
    : instrument_(instrument), options_(std::move(options))
{
}

void ScpiSession::Feed(std::string_view bytes)
{
    inbox_.append(bytes);
    // Bytes that come in while a line runs wait for the running loop.
    if (depth_ == 0)
        Pump();
}

bool ScpiSession::Idle() const
{
    return !waiting_ && units_.empty() && inbox_.find('\n') == std::string::npos;
}

std::uint8_t ScpiSession::StatusByte() const
{
    return errors_.empty() ? 0 : kErrorQueueBit;
}

void ScpiSession::DeviceClear()
{
    inbox_.clear();
    units_.clear();
    answers_.clear();
    discarding_ = false;
    ++clears_;
}

void ScpiSession::Pump()
{
    ++depth_;
    while (!waiting_) {
        if (!units_.empty()) {
            const Unit unit = std::move(units_.front());
            units_.pop_front();
            RunUnit(unit);
            continue;
        }
        Flush();
        if (!NextLine())
            break;
    }
    --depth_;
}

bool ScpiSession::NextLine()
{
    for (;;) {
        const std::size_t end = inbox_.find('\n');
        if (end == std::string::npos) {
            // Room for the CR of a CR LF that has not arrived yet.
            if (!discarding_ && inbox_.size() > kMaxLine + 1) {
                Push(-102, "line longer than " + std::to_string(kMaxLine) + " bytes discarded");
                discarding_ = true;
            }
            if (discarding_)
                inbox_.clear();
            return false;
        }
        std::string line = inbox_.substr(0, end);
        inbox_.erase(0, end + 1);
        if (discarding_) {
            discarding_ = false;
            continue;
        }
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > kMaxLine) {
            Push(-102, "line longer than " + std::to_string(kMaxLine) + " bytes discarded");
            continue;
        }
        // Each line starts from the root of the command tree.
        path_.clear();
        for (const std::string& text : Split(line, ';')) {
            std::string unit = Trim(text);
            if (unit.empty())
                continue;
            const auto blank = std::find_if(unit.begin(), unit.end(), IsBlank);
            units_.push_back({std::string(unit.begin(), blank), Trim(std::string_view(unit).substr(blank - unit.begin()))});
        }
        if (!units_.empty())
            return true;
    }
}

void ScpiSession::RunUnit(const Unit& unit)
{
    for (const std::string* part : {&unit.header, &unit.params}) {
        for (const char c : *part) {
            const auto byte = static_cast<unsigned char>(c);
            if ((byte < 0x20 && c != '\t') || byte >= 0x7F) {
                Push(-101);
                return;
            }
        }
    }
    Command command;
    if (Resolve(unit.header, command))
        Run(command, unit.params);
}

bool ScpiSession::Resolve(const std::string& header, Command& command)
{
    std::string text = header;
    const bool query = !text.empty() && text.back() == '?';
    if (query)
        text.pop_back();
    for (const char c : text) {
        if (!IsLetter(c) && !IsDigit(c) && c != '_' && c != ':' && c != '*' && c != '?') {
            Push(-101);
            return false;
        }
    }
    if (text.find('?') != std::string::npos) {
        Push(-102);
        return false;
    }
    std::string upper = text;
    std::transform(upper.begin(), upper.end(), upper.begin(), Upper);

    if (!upper.empty() && upper.front() == '*') {
        const bool plain = upper.size() > 1 && std::all_of(upper.begin() + 1, upper.end(), IsLetter);
        if (!plain) {
            Push(-102);
            return false;
        }
        for (const Pattern& pattern : kCommon) {
            if (pattern.query == query && upper == pattern.header) {
                command = pattern.command;
                return true;
            }
        }
        Push(-113);
        return false;
    }

    const bool fromRoot = !upper.empty() && upper.front() == ':';
    std::vector<std::string> nodes = Split(std::string_view(upper).substr(fromRoot ? 1 : 0), ':');
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (nodes[i].empty() || nodes[i].find('*') != std::string::npos) {
            Push(-102);
            return false;
        }
        if (!IsLetter(nodes[i].front())) {
            Push(i == 0 ? -100 : -102);
            return false;
        }
    }
    // After "ROUT:CLOS (@1);" a header goes on from ROUT, as SCPI has it; one
    // that only makes sense from the root is taken from there.
    if (!fromRoot && !path_.empty()) {
        std::vector<std::string> relative = path_;
        relative.insert(relative.end(), nodes.begin(), nodes.end());
        if (Lookup(relative, query, command)) {
            path_.assign(relative.begin(), relative.end() - 1);
            return true;
        }
    }
    if (Lookup(nodes, query, command)) {
        path_.assign(nodes.begin(), nodes.end() - 1);
        return true;
    }
    Push(-113);
    return false;
}

void ScpiSession::Run(Command command, const std::string& params)
{
    if (command != Command::Close && command != Command::CloseQuery && command != Command::Open
        && command != Command::OpenQuery && command != Command::Port && !NoParams(params)) {
        return;
    }
    const ScpiPortState state = instrument_.State();
    std::vector<int> channels;
    switch (command) {
    case Command::Idn:
        Answer(options_.maker + "," + options_.model + "," + (state.device.empty() ? std::to_string(state.address) : state.device)
               + "," + options_.version);
        return;
    case Command::Rst:
    case Command::OpenAll:
        Route(ScpiPath::Off);
        return;
    case Command::Cls:
        errors_.clear();
        esr_ = 0;
        return;
    case Command::Opc:
        WaitIdle([this] { esr_ |= kOperationComplete; });
        return;
    case Command::OpcQuery:
        WaitIdle([this] { Answer("1"); });
        return;
    case Command::Wai:
        WaitIdle({});
        return;
    case Command::Esr:
        Answer(std::to_string(esr_));
        esr_ = 0;
        return;
    case Command::Stb:
        Answer(std::to_string(StatusByte()));
        return;
    case Command::Tst:
        // A self-test passes only on a board that is really driven.
        Answer(state.kind == ScpiPortState::Kind::Real ? "0" : "1");
        return;
    case Command::Close:
        if (!ChannelList(params, channels) || channels.empty())
            return;
        if (std::find(channels.begin(), channels.end(), 1) != channels.end()
            && std::find(channels.begin(), channels.end(), 2) != channels.end()) {
            Push(-221, "RF1 and RF2 cannot be closed together");
            instrument_.Refused("close(@1,2)", "RF1 and RF2 cannot be closed together");
            return;
        }
        Route(channels.front() == 1 ? ScpiPath::Rf1 : ScpiPath::Rf2);
        return;
    case Command::CloseQuery:
    case Command::OpenQuery:
        if (ChannelList(params, channels)) {
            std::string answer;
            for (const int channel : channels) {
                const bool closed = channel == 1 ? state.c1 : state.c2;
                answer += std::string(answer.empty() ? "" : ",")
                    + (!state.known ? kUnknown : closed == (command == Command::CloseQuery) ? "1" : "0");
            }
            Answer(answer);
            Unknown(state);
        }
        return;
    case Command::CloseState:
        Answer(!state.known ? kUnknown : state.c1 && state.c2 ? "(@1,2)" : state.c1 ? "(@1)" : state.c2 ? "(@2)" : "(@)");
        Unknown(state);
        return;
    case Command::Open:
        if (ChannelList(params, channels) && !channels.empty())
            OpenChannels(channels);
        return;
    case Command::ErrorNext:
        if (errors_.empty()) {
            Answer("0,\"No error\"");
        } else {
            Answer(std::to_string(errors_.front().number) + "," + Quoted(errors_.front().text));
            errors_.pop_front();
        }
        return;
    case Command::Version:
        Answer("1999.0");
        return;
    case Command::Port: {
        if (params.empty()) {
            Push(-109);
            return;
        }
        // A port with no address is named by its device, as an SCPI string.
        if (params.front() == '"' || params.front() == '\'') {
            const auto text = Unquoted(params);
            const auto device = text ? DeviceFromText(*text) : std::nullopt;
            if (!device) {
                Push(text ? -222 : -102, text ? "not a port device: " + *text + "; type e.g. \"/dev/parport1\"" : "");
                return;
            }
            Wait([this, device = *device](ScpiInstrument::Done done) { instrument_.SetPortDevice(device, std::move(done)); },
                 [this](const ScpiOutcome& outcome) { Report(outcome); });
            return;
        }
        if (params.front() == '(') {
            Push(-104);
            return;
        }
        if (params.find(',') != std::string::npos) {
            Push(-108);
            return;
        }
        // Read as the panel's address box reads what is typed into it.
        const auto address = AddressFromText(params);
        if (!address || *address < 1) {
            Push(-222, "no port at address " + params);
            return;
        }
        Wait([this, address = *address](ScpiInstrument::Done done) { instrument_.SetPort(address, std::move(done)); },
             [this](const ScpiOutcome& outcome) { Report(outcome); });
        return;
    }
    case Command::PortQuery:
        Answer(state.device.empty() ? std::to_string(state.address) : Quoted(state.device));
        return;
    case Command::PortList: {
        std::string answer;
        for (const std::string& line : instrument_.PortList())
            answer += (answer.empty() ? "" : ",") + Quoted(line);
        Answer(answer.empty() ? "\"\"" : answer);
        return;
    }
    case Command::Simulated:
        Answer(state.kind == ScpiPortState::Kind::Simulated ? "1" : "0");
        return;
    }
}

bool ScpiSession::NoParams(const std::string& params)
{
    if (params.empty())
        return true;
    Push(-108);
    return false;
}

bool ScpiSession::ChannelList(const std::string& params, std::vector<int>& channels)
{
    if (params.empty()) {
        Push(-109);
        return false;
    }
    if (params.front() != '(') {
        Push(-104);
        return false;
    }
    const std::size_t close = params.find(')');
    if (close == std::string::npos) {
        Push(-102);
        return false;
    }
    const std::string rest = Trim(std::string_view(params).substr(close + 1));
    if (!rest.empty()) {
        Push(rest.front() == ',' ? -108 : -102);
        return false;
    }
    const std::string inside = Trim(std::string_view(params).substr(1, close - 1));
    if (inside.empty() || inside.front() != '@') {
        Push(-102);
        return false;
    }
    const std::string list = Trim(std::string_view(inside).substr(1));
    if (list.empty())
        return true;
    bool outOfRange = false;
    for (const std::string& item : Split(list, ',')) {
        const std::vector<std::string> ends = Split(item, ':');
        if (ends.size() > 2) {
            Push(-102);
            return false;
        }
        std::array<int, 2> range{};
        for (std::size_t i = 0; i < ends.size(); ++i) {
            const std::string number = Trim(ends[i]);
            if (number.empty() || !std::all_of(number.begin(), number.end(), IsDigit)) {
                Push(-102);
                return false;
            }
            // Only 1 and 2 exist; longer digit strings are out of range too.
            range[i] = number.size() > 2 ? 0 : std::stoi(number);
            outOfRange = outOfRange || (range[i] != 1 && range[i] != 2);
        }
        if (ends.size() == 1)
            range[1] = range[0];
        for (int channel = std::min(range[0], range[1]); !outOfRange && channel <= std::max(range[0], range[1]); ++channel)
            channels.push_back(channel);
    }
    if (outOfRange) {
        Push(-222, "channels are 1 (RF1) and 2 (RF2)");
        channels.clear();
        return false;
    }
    return true;
}

void ScpiSession::Push(int number, std::string detail)
{
    if (number <= -100 && number > -200)
        esr_ |= kCommandError;
    else if (number <= -200 && number > -300)
        esr_ |= kExecutionError;
    else
        esr_ |= kDeviceError;
    // A full queue keeps its oldest entries; the newest says it overflowed.
    if (errors_.size() >= kErrorQueueSize) {
        errors_.back() = {kQueueOverflow, ErrorText(kQueueOverflow)};
        esr_ |= kDeviceError;
        return;
    }
    std::string text = ErrorText(number);
    if (!detail.empty())
        text += "; " + detail;
    errors_.push_back({number, std::move(text)});
}

void ScpiSession::Answer(std::string text)
{
    answers_.push_back(std::move(text));
}

void ScpiSession::Flush()
{
    if (answers_.empty())
        return;
    std::string message;
    for (const std::string& answer : answers_)
        message += (message.empty() ? "" : ";") + answer;
    answers_.clear();
    message += '\n';
    if (output_)
        output_(message);
}

void ScpiSession::Unknown(const ScpiPortState& state)
{
    if (!state.known)
        Push(-240, "the board's state is unknown: the port could not be read");
}

void ScpiSession::Route(ScpiPath path)
{
    // Whether the port may be driven from here is the switch's to say.
    Wait([this, path](ScpiInstrument::Done done) { instrument_.Select(path, std::move(done)); },
         [this](const ScpiOutcome& outcome) { Report(outcome); });
}

void ScpiSession::OpenChannels(const std::vector<int>& channels)
{
    // Whether a path is closed is known once what runs before is over.
    WaitIdle([this, channels] {
        const ScpiPortState state = instrument_.State();
        const bool closed = std::any_of(channels.begin(), channels.end(),
                                        [&state](int channel) { return channel == 1 ? state.c1 : state.c2; });
        if (closed)
            Route(ScpiPath::Off);
    });
}

void ScpiSession::Report(const ScpiOutcome& outcome)
{
    switch (outcome.kind) {
    case ScpiOutcome::Kind::Done:
        return;
    case ScpiOutcome::Kind::NotReadBack:
        Push(-240, outcome.detail);
        return;
    case ScpiOutcome::Kind::Missing:
        Push(-241, outcome.detail);
        return;
    case ScpiOutcome::Kind::Refused:
        Push(-222, outcome.detail);
        return;
    }
}

void ScpiSession::Wait(std::function<void(ScpiInstrument::Done)> start, std::function<void(const ScpiOutcome&)> after)
{
    waiting_ = true;
    auto called = std::make_shared<bool>(false);
    start([weak = weak_from_this(), after = std::move(after), called, clears = clears_](const ScpiOutcome& outcome) {
        const auto self = weak.lock();
        if (!self || *called)
            return;
        *called = true;
        self->waiting_ = false;
        if (after && self->clears_ == clears)
            after(outcome);
        self->Resume();
    });
}

void ScpiSession::WaitIdle(std::function<void()> after)
{
    Wait([this](ScpiInstrument::Done done) { instrument_.WhenIdle([done = std::move(done)] { done({}); }); },
         [after = std::move(after)](const ScpiOutcome&) {
             if (after)
                 after();
         });
}

void ScpiSession::Resume()
{
    // The rest of the line runs at once, before the operations the core has
    // queued behind this one: a query right after a command sees its result.
    // Whatever this starts now is queued, so this nests one level at most.
    if (waiting_)
        return;
    const bool fromOutside = depth_ == 0;
    Pump();
    if (fromOutside && !waiting_ && resumed_)
        resumed_();
}
