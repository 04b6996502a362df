#include "RelayCycles.h"

#include "PortText.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <charconv>
#include <utility>

namespace {

// Far more than the file ever holds: anything longer is not this file.
constexpr qint64 kLargestFile = 4096;

std::string_view Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
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
    return QStringLiteral("relay-cycles-%1%2.txt").arg(board, reach == PortReach::Simulated ? QStringLiteral("-simulated") : QString());
}

std::string CyclesText(const CycleCounts& counts, const std::string& board)
{
    return "# rfswitch-panel: how often each path of the switch at " + board + " has closed; limit 0 is none\n"
        + "rf1 " + std::to_string(counts.rf1) + "\nrf2 " + std::to_string(counts.rf2) + "\nlimit " + std::to_string(counts.limit) + "\n";
}

std::optional<CycleCounts> ParseCycles(std::string_view text)
{
    CycleCounts counts;
    std::set<std::string_view> seen;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        const auto blank = line.find_first_of(" \t");
        if (blank == std::string_view::npos)
            return std::nullopt;
        const std::string_view key = line.substr(0, blank), number = Trimmed(line.substr(blank));
        std::uint64_t* value = key == "rf1" ? &counts.rf1 : key == "rf2" ? &counts.rf2 : key == "limit" ? &counts.limit : nullptr;
        if (!value || !seen.insert(key).second)
            return std::nullopt;
        const auto [rest, error] = std::from_chars(number.data(), number.data() + number.size(), *value);
        if (error != std::errc() || rest != number.data() + number.size())
            return std::nullopt;
    }
    return counts;
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
    counts_ = {};
    Load();
}

void RelayCycles::Closed(int channel)
{
    ++counts_.Of(channel);
    Changed();
}

void RelayCycles::Clear(int channel)
{
    counts_.Of(channel) = 0;
    Changed();
}

void RelayCycles::SetLimit(std::uint64_t limit)
{
    counts_.limit = limit;
    Changed();
}

void RelayCycles::Flush()
{
    if (unwritten_)
        Write();
}

void RelayCycles::Changed()
{
    if (file_.isEmpty())
        return;
    unwritten_ = true;
    if (!timer_.isActive())
        Write();
}

void RelayCycles::Load()
{
    if (file_.isEmpty())
        return;
    QFile file(QDir(folder_).filePath(file_));
    if (!file.exists())
        return;
    std::optional<CycleCounts> read;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray text = file.read(kLargestFile + 1);
        if (text.size() <= kLargestFile)
            read = ParseCycles(std::string_view(text.constData(), std::size_t(text.size())));
        if (!read && unreadable_.insert(file.fileName()).second)
            Trouble(file.fileName().toStdString() + ": not a relay cycle count file; counting from 0, and it will be replaced");
    } else if (unreadable_.insert(file.fileName()).second) {
        Trouble(file.fileName().toStdString() + ": cannot be read: " + file.errorString().toStdString() + "; counting from 0");
    }
    if (read)
        counts_ = *read;
}

void RelayCycles::Write()
{
    unwritten_ = false;
    if (file_.isEmpty())
        return;
    timer_.start();
    const QString path = QDir(folder_).filePath(file_);
    // Written whole beside the old one and renamed over it: a crash
    // leaves one or the other, never half of either.
    QSaveFile file(path);
    const std::string text = CyclesText(counts_, board_);
    const bool written = QDir().mkpath(folder_) && file.open(QIODevice::WriteOnly)
        && file.write(text.data(), qint64(text.size())) == qint64(text.size()) && file.commit();
    if (written) {
        failing_ = false;
        return;
    }
    // Tried again with the next change, or in a second.
    unwritten_ = true;
    if (!std::exchange(failing_, true))
        Trouble(path.toStdString() + ": cannot be written: "
                + (file.errorString().isEmpty() ? std::string("the folder cannot be made") : file.errorString().toStdString())
                + "; the counts are kept in memory until it can");
}

void RelayCycles::Trouble(const std::string& why)
{
    if (trouble_)
        trouble_("relay cycles: " + why);
}
