#pragma once

#include <QFile>
#include <QString>
#include <QTimeZone>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>

// ISO 8601 local time to the millisecond with the offset
// ("2026-03-29T03:00:00.000+02:00"), for many lines a second: the zone is
// read once, the offset worked out again only at the zone's next transition
// or when the zone is changed, the date and time of day once a second.
class LocalStamp
{
public:
    explicit LocalStamp(QTimeZone zone = QTimeZone::systemTimeZone());
    std::string Text(qint64 msSinceEpoch);
    void AppendText(qint64 msSinceEpoch, std::string& to);
    // The machine's zone was changed: read it again before the next stamp.
    void SetZone(QTimeZone zone);

private:
    QTimeZone zone_;
    int offset_ = 0;               // seconds east of UTC
    std::string offsetText_;       // "Z", "+05:30"
    qint64 validFrom_ = 0;         // ms since the epoch: offset_ holds from here
    qint64 validUntil_ = 0;        // up to here (the next transition)
    qint64 second_ = -1;           // the local second secondText_ is for
    std::string secondText_;       // "2026-03-29T03:00:00"
};

// Now, as LocalStamp writes it, in the machine's zone: read once for the
// whole program, and again when the machine's zone is changed.
std::string LocalTimeNow();
void AppendLocalTimeNow(std::string& to);

// A file that every port operation is appended to, one line each. Lines are
// written out as soon as the work in hand is done (when the event loop comes
// round again), in one write, so that a burst of operations costs one system
// call; where no event loop runs (the command line), each at once. A crash
// loses at most the lines of the work in hand. Lines that cannot be written
// (a full disk) are counted, and the gap is recorded as soon as writing
// works again.
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
    void Append(const std::string& line);
    // Writes out what is waiting.
    void Flush();
    // Told, with Error(), when a line cannot be written after writing worked.
    void OnFailure(std::function<void(const std::string& why)> failed) { failed_ = std::move(failed); }
    // Lines not written since writing last worked.
    int Failures() const { return dropped_; }
    // "ops.log: No space left on device": the file and the system's words.
    std::string Error() const;

private:
    OperationLog();
    bool Write(const std::string& text);

    QFile file_;
    QString name_;
    QString error_;
    QTimer flush_;
    std::string waiting_;       // lines not written yet
    int waitingLines_ = 0;
    std::function<void(const std::string&)> failed_;
    int dropped_ = 0;
    std::string firstDropped_;  // when the gap began
    bool torn_ = false;         // a line was cut short: the next starts afresh
};
