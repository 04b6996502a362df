#include "RelayCycles.h"

#include "PortText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <charconv>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace {

// Far more than the file ever holds: anything longer is not this file.
constexpr qint64 kLargestFile = 4096;
// Copies of files that did not read, kept beside them; no more are made.
constexpr int kKeptAside = 5;
// Lines that did not read, told at most.
constexpr std::size_t kToldLines = 3;

const std::string kLink = "a symbolic link, not a regular file";
const std::string kNotRegular = "not a regular file";

std::string_view Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A line as it may go into the log: its first 40 bytes, control and
// non-ASCII bytes as \xNN.
std::string Printable(std::string_view line)
{
    std::string text;
    for (const unsigned char byte : line.substr(0, 40)) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        if (byte >= 0x20 && byte < 0x7F)
            text += char(byte);
        else
            text += std::string{'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    }
    return line.size() > 40 ? text + "..." : text;
}

#ifdef Q_OS_UNIX
std::string Words(int error)
{
    return qt_error_string(error).toStdString();
}
#endif

// The first kLargestFile + 1 bytes of the file at `path`, none where there
// is none, or why it cannot be read. Never read through a link, nor held
// up by a FIFO.
struct FileText
{
    QByteArray text;
    std::string why;
};

FileText ReadFile(const QString& path)
{
    FileText read;
    QFile file;
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    struct stat status{};
    if (fd < 0) {
        if (error != ENOENT)
            read.why = error == ELOOP ? kLink : Words(error);
        return read;
    }
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        read.why = kNotRegular;
        return read;
    }
#else
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isFile()))
        read.why = info.isSymLink() ? kLink : kNotRegular;
    file.setFileName(path);
    if (!read.why.empty() || !info.exists() || !file.open(QIODevice::ReadOnly)) {
        if (read.why.empty() && info.exists())
            read.why = file.errorString().toStdString();
        return read;
    }
#endif
    read.text = file.read(kLargestFile + 1);
    if (file.error() != QFileDevice::NoError)
        read.why = file.errorString().toStdString();
    return read;
}

// `text` whole in place of the file at `path` (in `folder`), never through
// a link: written to a new file beside it, flushed to the disk, renamed over
// it. Empty where that worked, else why not.
std::string WriteFile(const QString& folder, const QString& path, const std::string& text)
{
    if (!QDir().mkpath(folder))
        return "the folder cannot be made";
#ifdef Q_OS_UNIX
    const QByteArray final = QFile::encodeName(path);
    struct stat status{};
    if (::lstat(final.constData(), &status) == 0 && !S_ISREG(status.st_mode))
        return S_ISLNK(status.st_mode) ? kLink : kNotRegular;
    // Named for this process: one left by another that was killed is
    // removed when the board next comes into use.
    const QByteArray temporary = final + ".new-" + QByteArray::number(::getpid());
    ::unlink(temporary.constData());
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return Words(errno);
    std::string_view rest = text;
    ssize_t written = 0;
    while (!rest.empty() && (written = ::write(fd, rest.data(), rest.size())) > 0)
        rest.remove_prefix(std::size_t(written));
    const bool whole = rest.empty() && ::fsync(fd) == 0;
    const int error = errno;
    if (::close(fd) != 0 || !whole || ::rename(temporary.constData(), final.constData()) != 0) {
        const int reason = whole ? errno : error;
        ::unlink(temporary.constData());
        return Words(reason);
    }
    // The new name is on the disk once the folder is.
    if (const int directory = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return {};
#else
    if (QFileInfo(path).isSymLink())
        return kLink;
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(text.data(), qint64(text.size())) == qint64(text.size()) && file.commit())
        return {};
    return file.errorString().toStdString();
#endif
}

// Removes the new files that writes of processes since killed left beside
// `file`: "relay-cycles-888.txt.new-PID" of a PID that runs no more.
void RemoveLeftovers(const QDir& folder, const QString& file)
{
#ifdef Q_OS_UNIX
    const QString prefix = file + QStringLiteral(".new-");
    for (const QString& name : folder.entryList({prefix + u'*'}, QDir::Files | QDir::System)) {
        bool number = false;
        const int pid = name.mid(prefix.size()).toInt(&number);
        if (number && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
            QFile::remove(folder.filePath(name));
    }
#else
    Q_UNUSED(folder);
    Q_UNUSED(file);
#endif
}

// The file that did not read, kept as it is beside it under a name that no
// earlier copy has: FILE.unreadable, FILE.unreadable-2, … Where a copy of
// this very file is kept already (read again after a restart), that one.
// Its name, or why none was kept.
std::string KeepAside(const QDir& folder, const QString& file, bool* kept)
{
    *kept = false;
    const QString path = folder.filePath(file);
    for (int copy = 1; copy <= kKeptAside; ++copy) {
        const QString name = file + QStringLiteral(".unreadable") + (copy > 1 ? QStringLiteral("-%1").arg(copy) : QString());
        const QString aside = folder.filePath(name);
#ifdef Q_OS_UNIX
        // A second name for the file itself: the next write replaces the
        // first name only.
        struct stat original{}, existing{};
        const bool linked = ::link(QFile::encodeName(path).constData(), QFile::encodeName(aside).constData()) == 0;
        if (!linked && errno != EEXIST)
            return "not kept aside: " + Words(errno);
        const bool same = !linked && ::stat(QFile::encodeName(path).constData(), &original) == 0
            && ::lstat(QFile::encodeName(aside).constData(), &existing) == 0 && original.st_ino == existing.st_ino && original.st_dev == existing.st_dev;
        if (linked || same) {
#else
        if (!QFileInfo::exists(aside) && QFile::copy(path, aside)) {
#endif
            *kept = true;
            return name.toStdString();
        }
    }
    return "not kept aside: " + std::to_string(kKeptAside) + " copies of files that did not read are kept beside it already";
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

CycleCounts ParseCycles(std::string_view text, std::vector<std::string>* unread)
{
    CycleCounts counts;
    std::set<std::string_view> seen;
    for (int number = 1; !text.empty(); ++number) {
        const auto end = text.find('\n');
        const std::string_view line = Trimmed(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        const auto blank = line.find_first_of(" \t");
        const std::string_view key = line.substr(0, blank);
        const std::string_view digits = blank == std::string_view::npos ? std::string_view() : Trimmed(line.substr(blank));
        std::uint64_t* value = key == "rf1" ? &counts.rf1 : key == "rf2" ? &counts.rf2 : key == "limit" ? &counts.limit : nullptr;
        std::uint64_t parsed = 0;
        const auto [rest, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed);
        if (value && !digits.empty() && error == std::errc() && rest == digits.data() + digits.size() && seen.insert(key).second)
            *value = parsed;
        else
            unread->push_back("line " + std::to_string(number) + ": " + Printable(line));
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
    const QDir folder(folder_);
    const QString path = folder.filePath(file_);
    RemoveLeftovers(folder, file_);
    FileText file = ReadFile(path);
    // A file is reported once, not again each time its board comes back into use.
    const bool reported = unreadable_.count(path) > 0;
    if (!file.why.empty()) {
        if (file.why == kLink)
            failing_ = true;  // not written through it either: said here
        if (unreadable_.insert(path).second)
            Trouble(path.toStdString() + ": "
                    + (file.why == kLink ? kLink + ": neither read nor written through; the counts are kept in memory"
                                         : "cannot be read: " + file.why + "; counting from 0"));
        return;
    }
    std::vector<std::string> unread;
    if (file.text.size() > kLargestFile) {
        // Cut where a line ends, so that no number is read cut short.
        file.text.truncate(file.text.lastIndexOf('\n', kLargestFile - 1) + 1);
        unread.push_back("what follows byte " + std::to_string(file.text.size()));
    }
    counts_ = ParseCycles(std::string_view(file.text.constData(), std::size_t(file.text.size())), &unread);
    if (unread.empty() || reported)
        return;
    unreadable_.insert(path);
    bool kept = false;
    const std::string aside = KeepAside(folder, file_, &kept);
    std::string lines;
    for (std::size_t line = 0; line < unread.size() && line < kToldLines; ++line)
        lines += (line ? "; " : "") + unread[line];
    if (unread.size() > kToldLines)
        lines += "; and " + std::to_string(unread.size() - kToldLines) + " more";
    Trouble(path.toStdString() + ": did not read whole (" + lines + "); " + (kept ? "kept as " + aside : aside) + "; counting on from the rest: rf1 "
            + std::to_string(counts_.rf1) + ", rf2 " + std::to_string(counts_.rf2) + ", limit " + std::to_string(counts_.limit));
}

void RelayCycles::Write()
{
    unwritten_ = false;
    if (file_.isEmpty())
        return;
    timer_.start();
    const QString path = QDir(folder_).filePath(file_);
    const std::string why = WriteFile(folder_, path, CyclesText(counts_, board_));
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
