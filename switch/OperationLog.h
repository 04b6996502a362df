#pragma once

#include <QFile>

#include <string>

// A file that every port operation is appended to, one line each, flushed as
// it is written so that a crash or a pulled plug loses nothing already done.
class OperationLog
{
public:
    // Opens `path` for appending; Error() says why when it cannot.
    explicit OperationLog(const QString& path);

    // Appends one line; false when it could not be written.
    bool Append(const std::string& line);
    bool IsOpen() const { return file_.isOpen(); }
    std::string Error() const;

private:
    QFile file_;
};
