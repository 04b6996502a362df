#pragma once

#include <QFile>
#include <QString>

#include <memory>
#include <string>

// A file that every port operation is appended to, one line each, written
// through at once so that a crash or a pulled plug loses nothing already
// done. Lines that cannot be written (a full disk) are counted, and the gap
// is recorded as soon as writing works again.
class OperationLog
{
public:
    // Opens `path` for appending, "-" for standard output. Refuses what is
    // not a regular file (a FIFO would hold the program up) and what cannot
    // be opened, saying why in `error`.
    static std::unique_ptr<OperationLog> Open(const QString& path, QString* error);

    // Appends one line, stamped with the local time to the millisecond.
    // False when it could not be written.
    bool Append(const std::string& line);
    // Lines not written since writing last worked.
    int Failures() const { return dropped_; }
    std::string Error() const;

private:
    OperationLog() = default;

    QFile file_;
    int dropped_ = 0;
    std::string firstDropped_;  // when the gap began
    bool torn_ = false;         // a line was cut short: the next starts afresh
};
