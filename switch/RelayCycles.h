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
#include <optional>
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

// "setup-3-888.txt": saved setup 3 (*SAV 3) of the same board.
QString SetupFileName(const PortName& port, PortReach reach, int number);
// Either: `prefix` then the board's part of the name.
QString BoardFileName(const QString& prefix, const PortName& port, PortReach reach);

// What the board's file keeps: its closures and their limit, its channels'
// labels, and the saved setup a headless server recalls at start (none:
// KEEP, the board as it is found).
struct BoardRecord
{
    CycleCounts counts;
    ChannelLabels labels;
    std::optional<int> powerOn;
};

// The file's text: a comment naming the board, then "rf1 N", "rf2 N" and
// "limit N", "label1 ANT" and "label2 LOAD" where set, "power-on rcl3"
// where set, one per line.
std::string BoardText(const BoardRecord& record, const std::string& board);
// The record from such a text, keys left out 0 or none. Each line that does
// not read (a key it does not know, a number that is not one, a label that
// is not one or that the other channel has, a key again) counts for nothing
// and goes to `unread` as "line 2: rf2 98O"; the lines that do read count
// all the same.
BoardRecord ParseBoard(std::string_view text, std::vector<std::string>* unread);

// A saved setup's text: a comment, then "path rf1" ("none" where it was not
// known), "settle-time-ms 50", "limit 0" and the label lines.
std::string SetupText(const SavedSetup& setup, const std::string& board, int number);
// The setup from such a text; a line that does not read, or one of the
// three first keys missing, goes to `unread`.
SavedSetup ParseSetup(std::string_view text, std::vector<std::string>* unread);

// How a saved setup read: `why` names the file and says what went wrong.
struct SetupReading
{
    enum class Trouble
    {
        None,
        NotSaved,    // no such file
        Unreadable,  // a file, a link or something else that cannot be read
        Corrupt,     // a file that does not read whole: kept aside, nothing of it taken
    };
    SavedSetup setup;
    Trouble trouble = Trouble::None;
    std::string why;
};

// The counts of the board in use, read from its file when the board comes
// into use and written back (a new file beside it, flushed to the disk and
// renamed over the old one) at once after a change, then at most once a
// second while changes go on (a setting, at once), and when the board goes out of use or this
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
    const CycleCounts& Counts() const { return record_.counts; }
    const ChannelLabels& Labels() const { return record_.labels; }
    // The saved setup a headless server recalls at start; none: KEEP.
    std::optional<int> PowerOn() const { return record_.powerOn; }
    // The file of the board in use; empty where no board can be.
    QString File() const { return file_; }

    // A closure of `channel` (1 or 2), as read back.
    void Closed(int channel);
    void Clear(int channel);
    void SetLimit(std::uint64_t limit);
    void SetLabels(const ChannelLabels& labels);
    void SetPowerOn(std::optional<int> setup);

    // Setup `number` (0 to 9) of the board in use, in a file of its own
    // beside the board's, written the same way (atomic, never through a
    // link): empty where it was written, else why not with the file's name.
    std::string SaveSetup(int number, const SavedSetup& setup) const;
    SetupReading LoadSetup(int number) const;
    // Writes what is not written yet, now.
    void Flush();

    // Told, in the system's words, when a file cannot be read or does not
    // read whole, and when writing stops working (again only after it
    // worked in between).
    void OnTrouble(std::function<void(const std::string& why)> trouble) { trouble_ = std::move(trouble); }

private:
    // A setting (`now`) is written at once; counts at most once a second.
    void Changed(bool now = false);
    void Load();
    void Write();
    void Trouble(const std::string& why);

    QString folder_;
    QString file_;
    std::string board_;  // "port 888 (0x378)", for the file's comment
    PortName port_{0};
    PortReach reach_ = PortReach::Absent;
    BoardRecord record_;
    bool unwritten_ = false;
    bool failing_ = false;
    std::set<QString> unreadable_;  // reported already
    QTimer timer_;
    std::function<void(const std::string&)> trouble_;
};
