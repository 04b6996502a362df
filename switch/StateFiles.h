#pragma once

// The small text files of the state folder (each board's relay cycle counts
// and labels, its saved setups): read without following a link or waiting
// on a FIFO, written whole or not at all, and a file that did not read kept
// aside as it was.

#include <QByteArray>
#include <QDir>
#include <QString>

#include <string>
#include <string_view>
#include <vector>

// Far more than a state file ever holds: anything longer is not one.
constexpr qint64 kLargestStateFile = 4096;
// What a link at a file's place is said to be.
extern const std::string kLinkWords;

std::string_view Trimmed(std::string_view text);
// A line as it may go into the log: its first 40 bytes, control and
// non-ASCII bytes as \xNN.
std::string Printable(std::string_view line);
// "line 2: rf2 98O; line 5: …; and 3 more": the first few of `unread`.
std::string UnreadLines(const std::vector<std::string>& unread);

// The first kLargestStateFile + 1 bytes of the file at `path`, or why it
// cannot be read; `found` false where there is no file (and no why).
struct FileText
{
    QByteArray text;
    std::string why;
    bool found = false;
};
FileText ReadStateFile(const QString& path);

// `text` whole in place of the file at `path` (in `folder`), never through
// a link: written to a new file beside it, flushed to the disk, renamed over
// it. Empty where that worked, else why not.
std::string WriteStateFile(const QString& folder, const QString& path, const std::string& text);

// Removes the new files that writes of processes since killed left beside
// `file`: "relay-cycles-888.txt.new-PID" of a PID that runs no more.
void RemoveLeftovers(const QDir& folder, const QString& file);

// The file that did not read, kept as it is beside it under a name that no
// earlier copy has: FILE.unreadable, FILE.unreadable-2, … Where a copy of
// this very file is kept already (read again after a restart), that one.
// Its name, or why none was kept.
std::string KeepAside(const QDir& folder, const QString& file, bool* kept);
