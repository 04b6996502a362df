#include "OperationLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QFileSystemWatcher>

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

} // namespace

LocalStamp::LocalStamp(QTimeZone zone) : zone_(std::move(zone)) {}

void LocalStamp::SetZone(QTimeZone zone)
{
    zone_ = std::move(zone);
    validUntil_ = validFrom_;
}

std::string LocalStamp::Text(qint64 msSinceEpoch)
{
    if (msSinceEpoch < validFrom_ || msSinceEpoch >= validUntil_) {
        const QDateTime utc = QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC);
        offset_ = zone_.isValid() ? zone_.offsetFromUtc(utc) : 0;
        const QTimeZone::OffsetData next = zone_.isValid() ? zone_.nextTransition(utc) : QTimeZone::OffsetData{};
        validFrom_ = msSinceEpoch;
        validUntil_ = next.atUtc.isValid() ? next.atUtc.toMSecsSinceEpoch() : std::numeric_limits<qint64>::max();
    }
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::OffsetFromUTC, offset_).toString(Qt::ISODateWithMs).toStdString();
}

OperationLog::OperationLog() = default;
OperationLog::~OperationLog() = default;

std::unique_ptr<OperationLog> OperationLog::Open(const QString& path, QString* error)
{
    std::unique_ptr<OperationLog> log(new OperationLog);
    // Written through: every line reaches the file, or the pipe, as it is made.
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
        log->WatchZone();
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
    log->WatchZone();
    return log;
}

// The zone is read again when the machine's changes; with TZ set it is the
// variable's, for the whole run.
void OperationLog::WatchZone()
{
    if (!QCoreApplication::instance() || qEnvironmentVariableIsSet("TZ") || !QFileInfo::exists(kZoneFile))
        return;
    zoneWatch_ = std::make_unique<QFileSystemWatcher>(QStringList{kZoneFile, QFileInfo(kZoneFile).path()});
    const auto reread = [this] { stamp_.SetZone(QTimeZone::systemTimeZone()); };
    QObject::connect(zoneWatch_.get(), &QFileSystemWatcher::fileChanged, reread);
    QObject::connect(zoneWatch_.get(), &QFileSystemWatcher::directoryChanged, [this, reread] {
        reread();
        // A link put in place anew is a file to watch anew.
        if (!zoneWatch_->files().contains(kZoneFile) && QFileInfo::exists(kZoneFile))
            zoneWatch_->addPath(kZoneFile);
    });
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

bool OperationLog::Append(const std::string& line)
{
    const std::string now = stamp_.Text(QDateTime::currentMSecsSinceEpoch());
    std::string text = torn_ ? "\n" : "";
    if (dropped_ > 0)
        text += now + " log: " + std::to_string(dropped_) + " line" + (dropped_ == 1 ? "" : "s") + " not written since "
            + firstDropped_ + "\n";
    text += now + " " + line + "\n";
    const bool wasTorn = torn_;
    torn_ = false;
    if (Write(text)) {
        dropped_ = 0;
        return true;
    }
    torn_ = torn_ || wasTorn;
    if (dropped_++ == 0)
        firstDropped_ = now;
    return false;
}

std::string OperationLog::Error() const
{
    return (name_ + QStringLiteral(": ") + error_).toStdString();
}
