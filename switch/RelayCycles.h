#pragma once

// How often each path of the switch has closed, kept for each board in a
// small text file of the state folder, so that the counts outlive the
// program and the machine's restarts.

#include "PortIo.h"
#include "SwitchTypes.h"

#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The channel a change of the read-back bits from `before` to `after`
// closed: 1 where the path came to RF1, 2 where it came to RF2, 0 for
// neither (it stayed, opened, or came to C1=1 with C2=1, which is no path).
int ClosedChannel(ControlBits before, ControlBits after);

// The file's name for the board at `port`: "relay-cycles-888.txt",
// "relay-cycles-parport1.txt" for /dev/parport1, with "-simulated" before
// the extension for the simulated port (a dry run counts apart from any
// board that may later stand there); empty where no board can be (an
// address below 1).
QString CyclesFileName(const PortName& port, PortReach reach);

// The file's text: a comment naming the board, then "rf1 N", "rf2 N" and
// "limit N", one per line.
std::string CyclesText(const CycleCounts& counts, const std::string& board);
// The counts from such a text, keys left out 0. Each line that does not
// read (a key it does not know, a number that is not one, a key again)
// counts for nothing and goes to `unread` as "line 2: rf2 98O"; the lines
// that do read count all the same.
CycleCounts ParseCycles(std::string_view text, std::vector<std::string>* unread);

// The counts of the board in use, read from its file when the board comes
// into use and written back (a new file beside it, flushed to the disk and
// renamed over the old one) at once after a change, then at most once a
// second while changes go on, and when the board goes out of use or this
// ends: a process killed outright loses at most the last second, and never
// leaves half a file. A file with lines that do not read is kept aside as
// it was (FILE.unreadable) and counting goes on from the lines that do. A
// symbolic link at the file's place is neither read nor written through.
// Each of these, and a file that cannot be read or written, is reported
// once, and counting goes on in memory.
class RelayCycles
{
public:
    static constexpr std::chrono::milliseconds kWriteInterval{1000};

    // Files in `folder`, made when first written.
    explicit RelayCycles(QString folder);
    ~RelayCycles();
    RelayCycles(const RelayCycles&) = delete;
    RelayCycles& operator=(const RelayCycles&) = delete;

    // The board at `port` comes into use, or its port's state changed: the
    // counts of the one before are written, this one's read.
    void UseBoard(const PortName& port, PortReach reach);
    const CycleCounts& Counts() const { return counts_; }
    // The file of the board in use; empty where no board can be.
    QString File() const { return file_; }

    // A closure of `channel` (1 or 2), as read back.
    void Closed(int channel);
    void Clear(int channel);
    void SetLimit(std::uint64_t limit);
    // Writes what is not written yet, now.
    void Flush();

    // Told, in the system's words, when a file cannot be read or does not
    // read whole, and when writing stops working (again only after it
    // worked in between).
    void OnTrouble(std::function<void(const std::string& why)> trouble) { trouble_ = std::move(trouble); }

private:
    void Changed();
    void Load();
    void Write();
    void Trouble(const std::string& why);

    QString folder_;
    QString file_;
    std::string board_;  // "port 888 (0x378)", for the file's comment
    CycleCounts counts_;
    bool unwritten_ = false;
    bool failing_ = false;
    std::set<QString> unreadable_;  // reported already
    QTimer timer_;
    std::function<void(const std::string&)> trouble_;
};
