#include "RelayCycles.h"

#include "PortText.h"
#include "StateFiles.h"

#include <charconv>
#include <utility>

namespace {

std::optional<std::uint64_t> Number(std::string_view digits)
{
    std::uint64_t parsed = 0;
    const auto [rest, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
    if (digits.empty() || error != std::errc() || rest != digits.data() + digits.size())
        return std::nullopt;
    return parsed;
}

// Each "key value" line of `text` handed to `take`, which says whether it
// read; those that did not, and a key again, go to `unread` as "line 2: …".
void ReadLines(std::string_view text, std::vector<std::string>* unread, const std::function<bool(std::string_view, std::string_view)>& take)
{
    std::set<std::string_view> seen;
    for (int number = 1; !text.empty(); ++number) {
        const auto end = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        const auto blank = line.find_first_of(" \t");
        const std::string_view key = line.substr(0, blank);
        const std::string_view value = blank == std::string_view::npos ? std::string_view() : Trimmed(line.substr(blank));
        if (seen.count(key) || !take(key, value))
            unread->push_back("line " + std::to_string(number) + ": " + Printable(line));
        else
            seen.insert(key);
    }
}

// A label line's value, where it is one and another channel has it not.
bool TakeLabel(ChannelLabels& labels, int channel, std::string_view value)
{
    if (!LabelProblem(value).empty() || labels.ChannelOf(value) != 0)
        return false;
    labels.Of(channel) = std::string(value);
    return true;
}

std::string LabelLines(const ChannelLabels& labels)
{
    std::string lines;
    for (const int channel : {1, 2})
        if (!labels.Of(channel).empty())
            lines += "label" + std::to_string(channel) + " " + labels.Of(channel) + "\n";
    return lines;
}

// "rcl3" for saved setup 3.
std::optional<int> SetupNamed(std::string_view text)
{
    if (text.size() == 4 && text.substr(0, 3) == "rcl" && text[3] >= '0' && text[3] <= '9')
        return text[3] - '0';
    return std::nullopt;
}

} // namespace

int ClosedChannel(ControlBits before, ControlBits after)
{
    // 1 for RF1, 2 for RF2, 0 for off and for C1=1 with C2=1: PathName's paths.
    const auto path = [](ControlBits bits) { return bits.c1 == bits.c2 ? 0 : bits.c1 ? 1 : 2; };
    const int now = path(after);
    return now != path(before) ? now : 0;
}

QString CyclesFileName(const PortName& port, PortReach reach)
{
    return BoardFileName(QStringLiteral("relay-cycles-"), port, reach);
}

QString SetupFileName(const PortName& port, PortReach reach, int number)
{
    return BoardFileName(QStringLiteral("setup-%1-").arg(number), port, reach);
}

QString BoardFileName(const QString& prefix, const PortName& port, PortReach reach)
{
    if (!port.ByDevice() && port.base < 1)
        return {};
    QString board;
    if (port.ByDevice()) {
        board = QString::fromStdString(port.device);
        if (board.startsWith(QLatin1String("/dev/")))
            board = board.mid(5);
        board.replace(u'/', u'-');
    } else {
        board = QString::number(port.base);
    }
    return prefix + board + (reach == PortReach::Simulated ? QStringLiteral("-simulated") : QString()) + QStringLiteral(".txt");
}

std::string BoardText(const BoardRecord& record, const std::string& board)
{
    const CycleCounts& counts = record.counts;
    return "# rfswitch-panel: how often each path of the switch at " + board + " has closed; limit 0 is none\n"
        + "rf1 " + std::to_string(counts.rf1) + "\nrf2 " + std::to_string(counts.rf2) + "\nlimit " + std::to_string(counts.limit) + "\n"
        + LabelLines(record.labels) + (record.powerOn ? "power-on rcl" + std::to_string(*record.powerOn) + "\n" : "");
}

BoardRecord ParseBoard(std::string_view text, std::vector<std::string>* unread)
{
    BoardRecord record;
    CycleCounts& counts = record.counts;
    ReadLines(text, unread, [&record, &counts](std::string_view key, std::string_view value) {
        if (key == "label1" || key == "label2")
            return TakeLabel(record.labels, key.back() - '0', value);
        if (key == "power-on")
            return (record.powerOn = SetupNamed(value)).has_value();
        std::uint64_t* field = key == "rf1" ? &counts.rf1 : key == "rf2" ? &counts.rf2 : key == "limit" ? &counts.limit : nullptr;
        const auto number = Number(value);
        if (field && number)
            *field = *number;
        return field && number;
    });
    return record;
}

std::string SetupText(const SavedSetup& setup, const std::string& board, int number)
{
    return "# rfswitch-panel: setup " + std::to_string(number) + " of the switch at " + board + ", saved by *SAV " + std::to_string(number)
        + "; *RCL " + std::to_string(number) + " restores it\npath " + (setup.path ? PathName(BitsFor(*setup.path)) : "none")
        + "\nsettle-time-ms " + std::to_string(setup.settleTime.count()) + "\nlimit " + std::to_string(setup.limit) + "\n" + LabelLines(setup.labels);
}

SavedSetup ParseSetup(std::string_view text, std::vector<std::string>* unread)
{
    SavedSetup setup;
    std::set<std::string_view> needed{"path", "settle-time-ms", "limit"};
    ReadLines(text, unread, [&](std::string_view key, std::string_view value) {
        needed.erase(key);
        if (key == "label1" || key == "label2")
            return TakeLabel(setup.labels, key.back() - '0', value);
        if (key == "path") {
            for (const RfPath path : {RfPath::Off, RfPath::Rf1, RfPath::Rf2})
                if (value == PathName(BitsFor(path)))
                    setup.path = path;
            return setup.path || value == "none";
        }
        const auto number = Number(value);
        if (key == "settle-time-ms" && number && *number <= 60000)
            setup.settleTime = std::chrono::milliseconds(*number);
        else if (key == "limit" && number && *number <= 4294967295u)
            setup.limit = *number;
        else
            return false;
        return true;
    });
    for (const std::string_view key : needed)
        unread->push_back("no " + std::string(key) + " line");
    return setup;
}

RelayCycles::RelayCycles(QString folder) : folder_(std::move(folder))
{
    timer_.setSingleShot(true);
    timer_.setInterval(kWriteInterval);
    timer_.callOnTimeout([this] {
        // Changes that came within the second go out now, and the next
        // change waits for the second after this write.
        if (unwritten_)
            Write();
    });
}

RelayCycles::~RelayCycles()
{
    Flush();
}

void RelayCycles::UseBoard(const PortName& port, PortReach reach)
{
    const QString file = CyclesFileName(port, reach);
    Flush();
    // The same board is read again too: another process may have counted
    // on it while this one could not use the port. Counts that could not be
    // written stay as they are.
    if (file == file_ && unwritten_)
        return;
    file_ = file;
    board_ = "port " + PortLabel(port) + (reach == PortReach::Simulated ? " (simulated)" : "");
    port_ = port;
    reach_ = reach;
    record_ = {};
    Load();
}

void RelayCycles::Closed(int channel)
{
    ++record_.counts.Of(channel);
    Changed();
}

void RelayCycles::Clear(int channel)
{
    record_.counts.Of(channel) = 0;
    Changed();
}

void RelayCycles::SetLimit(std::uint64_t limit)
{
    record_.counts.limit = limit;
    Changed(true);
}

void RelayCycles::SetLabels(const ChannelLabels& labels)
{
    record_.labels = labels;
    Changed(true);
}

void RelayCycles::SetPowerOn(std::optional<int> setup)
{
    record_.powerOn = setup;
    Changed(true);
}

std::string RelayCycles::SaveSetup(int number, const SavedSetup& setup) const
{
    const QString file = SetupFileName(port_, reach_, number);
    if (file.isEmpty())
        return "no board to keep a setup for";
    const QString path = QDir(folder_).filePath(file);
    const std::string why = WriteStateFile(folder_, path, SetupText(setup, board_, number));
    return why.empty() ? why : path.toStdString() + ": cannot be written: " + why;
}

SetupReading RelayCycles::LoadSetup(int number) const
{
    const QString file = SetupFileName(port_, reach_, number);
    if (file.isEmpty())
        return {{}, SetupReading::Trouble::Unreadable, "no board to keep a setup for"};
    const QDir folder(folder_);
    const QString path = folder.filePath(file);
    RemoveLeftovers(folder, file);
    FileText read = ReadStateFile(path);
    if (!read.found && read.why.empty())
        return {{}, SetupReading::Trouble::NotSaved, path.toStdString() + ": nothing saved as " + std::to_string(number)};
    if (!read.why.empty())
        return {{}, SetupReading::Trouble::Unreadable, path.toStdString() + ": cannot be read: " + read.why};
    std::vector<std::string> unread;
    if (read.text.size() > kLargestStateFile)
        unread.push_back("longer than " + std::to_string(kLargestStateFile) + " bytes");
    const SavedSetup setup = ParseSetup(std::string_view(read.text.constData(), std::size_t(read.text.size())), &unread);
    if (unread.empty())
        return {setup, SetupReading::Trouble::None, {}};
    // Half a setup is not recalled: a script relies on all of it.
    bool kept = false;
    const std::string aside = KeepAside(folder, file, &kept);
    return {{}, SetupReading::Trouble::Corrupt,
            path.toStdString() + ": did not read (" + UnreadLines(unread) + "); " + (kept ? "kept as " + aside : aside)};
}

void RelayCycles::Flush()
{
    if (unwritten_)
        Write();
}

void RelayCycles::Changed(bool now)
{
    if (file_.isEmpty())
        return;
    unwritten_ = true;
    if (now || !timer_.isActive())
        Write();
}

void RelayCycles::Load()
{
    if (file_.isEmpty())
        return;
    const QDir folder(folder_);
    const QString path = folder.filePath(file_);
    RemoveLeftovers(folder, file_);
    FileText file = ReadStateFile(path);
    // A file is reported once, not again each time its board comes back into use.
    const bool reported = unreadable_.count(path) > 0;
    if (!file.why.empty()) {
        if (file.why == kLinkWords)
            failing_ = true;  // not written through it either: said here
        if (unreadable_.insert(path).second)
            Trouble(path.toStdString() + ": "
                    + (file.why == kLinkWords ? kLinkWords + ": neither read nor written through; the counts are kept in memory"
                                         : "cannot be read: " + file.why + "; counting from 0"));
        return;
    }
    std::vector<std::string> unread;
    if (file.text.size() > kLargestStateFile) {
        // Cut where a line ends, so that no number is read cut short.
        file.text.truncate(file.text.lastIndexOf('\n', kLargestStateFile - 1) + 1);
        unread.push_back("what follows byte " + std::to_string(file.text.size()));
    }
    record_ = ParseBoard(std::string_view(file.text.constData(), std::size_t(file.text.size())), &unread);
    const CycleCounts& counts = record_.counts;
    if (unread.empty() || reported)
        return;
    unreadable_.insert(path);
    bool kept = false;
    const std::string aside = KeepAside(folder, file_, &kept);
    Trouble(path.toStdString() + ": did not read whole (" + UnreadLines(unread) + "); " + (kept ? "kept as " + aside : aside) + "; counting on from the rest: rf1 "
            + std::to_string(counts.rf1) + ", rf2 " + std::to_string(counts.rf2) + ", limit " + std::to_string(counts.limit));
}

void RelayCycles::Write()
{
    unwritten_ = false;
    if (file_.isEmpty())
        return;
    timer_.start();
    const QString path = QDir(folder_).filePath(file_);
    const std::string why = WriteStateFile(folder_, path, BoardText(record_, board_));
    if (why.empty()) {
        failing_ = false;
        return;
    }
    // Tried again with the next change, or in a second.
    unwritten_ = true;
    if (!std::exchange(failing_, true))
        Trouble(path.toStdString() + ": cannot be written: " + why + "; the counts are kept in memory until it can");
}

void RelayCycles::Trouble(const std::string& why)
{
    if (trouble_)
        trouble_("relay cycles: " + why);
}
