#include "OperationLog.h"

#include <QDateTime>
#include <QFileInfo>

#include <cstdio>

namespace {

// ISO 8601 local time with milliseconds and offset.
std::string Now()
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODateWithMs).toStdString();
}

} // namespace

std::unique_ptr<OperationLog> OperationLog::Open(const QString& path, QString* error)
{
    std::unique_ptr<OperationLog> log(new OperationLog);
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;
    if (path == QLatin1String("-")) {
        if (log->file_.open(stdout, mode))
            return log;
    } else {
        const QFileInfo info(path);
        if (info.exists() && !info.isFile()) {
            *error = QStringLiteral("%1: not a regular file").arg(path);
            return nullptr;
        }
        log->file_.setFileName(path);
        if (log->file_.open(mode))
            return log;
    }
    *error = QString::fromStdString(log->Error());
    return nullptr;
}

bool OperationLog::Append(const std::string& line)
{
    const std::string now = Now();
    std::string text = torn_ ? "\n" : "";
    if (dropped_ > 0)
        text += now + " log: " + std::to_string(dropped_) + " line" + (dropped_ == 1 ? "" : "s") + " not written since "
            + firstDropped_ + "\n";
    text += now + " " + line + "\n";
    const qint64 written = file_.write(text.data(), static_cast<qint64>(text.size()));
    if (written == static_cast<qint64>(text.size())) {
        dropped_ = 0;
        torn_ = false;
        return true;
    }
    torn_ = torn_ || written > 0;
    if (dropped_++ == 0)
        firstDropped_ = now;
    return false;
}

std::string OperationLog::Error() const
{
    const QString name = file_.fileName().isEmpty() ? QStringLiteral("standard output") : file_.fileName();
    return (name + QStringLiteral(": ") + file_.errorString()).toStdString();
}
