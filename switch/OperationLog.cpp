#include "OperationLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <limits>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString kStandardOutput = QStringLiteral("standard output");
// Where Linux keeps the machine's zone: replaced by `timedatectl set-timezone`.
const QString kZoneFile = QStringLiteral("/etc/localtime");
// Past this much waiting, lines are written out without waiting for the loop.
constexpr std::size_t kMostWaiting = 64 * 1024;

// How many bytes at `at` are a control, 0 for none: a C0 control or DEL,
// or a C1 control in UTF-8 (NEL ends a line for some readers).
std::size_t ControlAt(std::string_view line, std::size_t at)
{
    const auto byte = static_cast<unsigned char>(line[at]);
    if (byte < 0x20 || byte == 0x7F)
        return 1;
    return byte == 0xC2 && at + 1 < line.size() && (static_cast<unsigned char>(line[at + 1]) & 0xE0) == 0x80 ? 2 : 0;
}

// `line` with what a client sent in it (a request's body, a lock's name)
// unable to forge a line of its own or to steer the terminal that shows
// it: controls written \n, \r, \t or \xHH a byte, and a backslash \\, so
// that each escape reads back one way.
void AppendEscaped(std::string& to, std::string_view line)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t clean = 0;  // where the text not written yet begins
    for (std::size_t at = 0; at < line.size(); ++at) {
        const std::size_t control = ControlAt(line, at);
        if (control == 0 && line[at] != '\\')
            continue;
        to.append(line.substr(clean, at - clean));
        const char c = line[at];
        if (c == '\\' || c == '\n' || c == '\r' || c == '\t') {
            to.append(1, '\\').append(1, c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : '\\');
        } else {
            for (std::size_t i = 0; i < control; ++i) {
                const auto byte = static_cast<unsigned char>(line[at + i]);
                to.append("\\x").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0xF]);
            }
            at += control - 1;
        }
        clean = at + 1;
    }
    to.append(line.substr(clean));
}

} // namespace

LocalStamp::LocalStamp(QTimeZone zone) : zone_(std::move(zone)) {}

void LocalStamp::SetZone(QTimeZone zone)
{
    zone_ = std::move(zone);
    validUntil_ = validFrom_;
}

std::string LocalStamp::Text(qint64 msSinceEpoch)
{
    std::string text;
    AppendText(msSinceEpoch, text);
    return text;
}

void LocalStamp::AppendText(qint64 msSinceEpoch, std::string& to)
{
    if (msSinceEpoch < validFrom_ || msSinceEpoch >= validUntil_) {
        const QDateTime utc = QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC);
        offset_ = zone_.isValid() ? zone_.offsetFromUtc(utc) : 0;
        const QTimeZone::OffsetData next = zone_.isValid() ? zone_.nextTransition(utc) : QTimeZone::OffsetData{};
        validFrom_ = msSinceEpoch;
        validUntil_ = next.atUtc.isValid() ? next.atUtc.toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
        char text[16] = "Z";
        if (offset_ != 0)
            std::snprintf(text, sizeof text, "%c%02d:%02d", offset_ < 0 ? '-' : '+', std::abs(offset_) / 3600, std::abs(offset_) / 60 % 60);
        offsetText_ = text;
        second_ = -1;
    }
    const qint64 local = msSinceEpoch + qint64(offset_) * 1000;
    const qint64 second = local >= 0 ? local / 1000 : (local - 999) / 1000;
    if (second != second_) {
        second_ = second;
        secondText_ = QDateTime::fromSecsSinceEpoch(second, Qt::UTC).toString(Qt::ISODate).chopped(1).toStdString();
    }
    const int milliseconds = int(local - second * 1000);
    const char digits[] = {'.', char('0' + milliseconds / 100), char('0' + milliseconds / 10 % 10), char('0' + milliseconds % 10)};
    to.append(secondText_).append(digits, sizeof digits).append(offsetText_);
}

std::string LocalTimeNow()
{
    std::string text;
    AppendLocalTimeNow(text);
    return text;
}

void AppendLocalTimeNow(std::string& to)
{
    // One clock for the program, read again when the machine's zone is
    // changed (with TZ set it is the variable's, for the whole run).
    static LocalStamp stamp;
    static const std::unique_ptr<QFileSystemWatcher> watch = [] {
        std::unique_ptr<QFileSystemWatcher> watcher;
        if (!QCoreApplication::instance() || qEnvironmentVariableIsSet("TZ") || !QFileInfo::exists(kZoneFile))
            return watcher;
        watcher = std::make_unique<QFileSystemWatcher>(QStringList{kZoneFile, QFileInfo(kZoneFile).path()});
        QObject::connect(watcher.get(), &QFileSystemWatcher::fileChanged, [] { stamp.SetZone(QTimeZone::systemTimeZone()); });
        QObject::connect(watcher.get(), &QFileSystemWatcher::directoryChanged, [w = watcher.get()] {
            stamp.SetZone(QTimeZone::systemTimeZone());
            // A link put in place anew is a file to watch anew.
            if (!w->files().contains(kZoneFile) && QFileInfo::exists(kZoneFile))
                w->addPath(kZoneFile);
        });
        return watcher;
    }();
    stamp.AppendText(QDateTime::currentMSecsSinceEpoch(), to);
}

OperationLog::OperationLog()
{
    flush_.setSingleShot(true);
    flush_.setInterval(0);
    QObject::connect(&flush_, &QTimer::timeout, [this] { Flush(); });
}

OperationLog::~OperationLog()
{
    Flush();
}

std::unique_ptr<OperationLog> OperationLog::Open(const QString& path, QString* error)
{
    std::unique_ptr<OperationLog> log(new OperationLog);
    // Unbuffered: what Flush() writes goes to the file, or the pipe, at once.
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
    if (path == QLatin1String("-")) {
        log->name_ = kStandardOutput;
#ifdef Q_OS_UNIX
        // A reader that goes away is a log that cannot be written, not an end.
        std::signal(SIGPIPE, SIG_IGN);
#endif
        // Not appended to: a pipe or a socket has no end to seek to, and a
        // file is where the shell's > or >> left it.
        if (!log->file_.open(fileno(stdout), mode, QFileDevice::DontCloseHandle)) {
            *error = kStandardOutput + QStringLiteral(": ") + log->file_.errorString();
            return nullptr;
        }
        return log;
    }
    log->name_ = path;
    const auto refuse = [&](const QString& why) {
        *error = path + QStringLiteral(": ") + why;
        return nullptr;
    };
#ifdef Q_OS_UNIX
    // Not blocking on a FIFO that nobody reads, not through a link.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int reason = errno;
        if (reason == ELOOP && QFileInfo(path).isSymLink())
            return refuse(QStringLiteral("a symbolic link, not a regular file"));
        if (reason == ENXIO || reason == EISDIR)  // a FIFO without a reader, a folder
            return refuse(QStringLiteral("not a regular file"));
        return refuse(qt_error_string(reason));
    }
    struct stat info{};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return refuse(QStringLiteral("not a regular file"));
    }
    fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    if (!log->file_.open(fd, mode | QIODevice::Append, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refuse(log->file_.errorString());
    }
#else
    const QFileInfo info(path);
    if (info.isSymLink())
        return refuse(QStringLiteral("a symbolic link, not a regular file"));
    if (info.exists() && !info.isFile())
        return refuse(QStringLiteral("not a regular file"));
    log->file_.setFileName(path);
    if (!log->file_.open(mode | QIODevice::Append))
        return refuse(log->file_.errorString());
#endif
    return log;
}

void OperationLog::Append(const std::string& line)
{
    AppendLocalTimeNow(waiting_);
    waiting_.append(1, ' ');
    AppendEscaped(waiting_, line);
    waiting_.append(1, '\n');
    ++waitingLines_;
    // The loop comes round once the work in hand is done; without one
    // running, nothing would write the line later.
    if (QThread::currentThread()->loopLevel() == 0 || waiting_.size() >= kMostWaiting || !QCoreApplication::instance())
        Flush();
    else if (!flush_.isActive())
        flush_.start();
}

bool OperationLog::Write(const std::string& text)
{
    const char* data = text.data();
    qint64 left = static_cast<qint64>(text.size());
    // Until all is written or the system says why not: a short write is
    // followed by one that fails with the reason (a full disk).
    while (left > 0) {
        const qint64 written = file_.write(data, left);
        if (written <= 0) {
            error_ = written < 0 ? file_.errorString() : QStringLiteral("nothing written");
            torn_ = torn_ || data != text.data();
            return false;
        }
        data += written;
        left -= written;
    }
    return true;
}

void OperationLog::Flush()
{
    flush_.stop();
    if (waiting_.empty())
        return;
    std::string text = torn_ ? "\n" : "";
    const std::string first = waiting_.substr(0, waiting_.find(' '));
    if (dropped_ > 0)
        text += first + " log: " + std::to_string(dropped_) + " line" + (dropped_ == 1 ? "" : "s") + " not written since "
            + firstDropped_ + "\n";
    text += waiting_;
    const int lines = waitingLines_;
    waiting_.clear();
    waitingLines_ = 0;
    const bool wasTorn = torn_;
    torn_ = false;
    if (Write(text)) {
        dropped_ = 0;
        return;
    }
    torn_ = torn_ || wasTorn;
    if (dropped_ == 0)
        firstDropped_ = first;
    dropped_ += lines;
    if (dropped_ == lines && failed_)
        failed_(Error());
}

std::string OperationLog::Error() const
{
    return (name_ + QStringLiteral(": ") + error_).toStdString();
}
