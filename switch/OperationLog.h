#pragma once

#include <QFile>
#include <QString>
#include <QTimeZone>

#include <memory>
#include <string>

class QFileSystemWatcher;

// ISO 8601 local time to the millisecond with the offset
// ("2026-03-29T03:00:00.000+02:00"), for many lines a second: the zone is
// read once, the offset worked out again only at the zone's next transition
// or when the zone is changed.
class LocalStamp
{
public:
    explicit LocalStamp(QTimeZone zone = QTimeZone::systemTimeZone());
    std::string Text(qint64 msSinceEpoch);
    // The machine's zone was changed: read it again before the next stamp.
    void SetZone(QTimeZone zone);

private:
    QTimeZone zone_;
    int offset_ = 0;               // seconds east of UTC
    qint64 validFrom_ = 0;         // ms since the epoch: offset_ holds from here
    qint64 validUntil_ = 0;        // up to here (the next transition)
};

// A file that every port operation is appended to, one line each, written
// through at once so that a crash or a pulled plug loses nothing already
// done. Lines that cannot be written (a full disk) are counted, and the gap
// is recorded as soon as writing works again.
class OperationLog
{
public:
    // Opens `path` for appending, "-" for standard output, whatever that is
    // (a file, a pipe, a terminal, journald's socket). Refuses what is not a
    // regular file (a FIFO would hold the program up), a symbolic link (it
    // could point anywhere) and what cannot be opened, saying why in `error`.
    static std::unique_ptr<OperationLog> Open(const QString& path, QString* error);
    ~OperationLog();

    // Appends one line, stamped with the local time to the millisecond.
    // False when it could not be written.
    bool Append(const std::string& line);
    // Lines not written since writing last worked.
    int Failures() const { return dropped_; }
    // "ops.log: No space left on device": the file and the system's words.
    std::string Error() const;

private:
    OperationLog();
    bool Write(const std::string& text);
    void WatchZone();

    QFile file_;
    QString name_;
    QString error_;
    LocalStamp stamp_;
    std::unique_ptr<QFileSystemWatcher> zoneWatch_;
    int dropped_ = 0;
    std::string firstDropped_;  // when the gap began
    bool torn_ = false;         // a line was cut short: the next starts afresh
};
