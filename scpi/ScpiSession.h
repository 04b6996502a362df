#pragma once

// The SCPI command layer of one connection, free of Qt so that it can be
// fuzzed on its own: bytes in, answers out, port operations asked of an
// abstract instrument. This holds the framing (lines, units, the response
// message) and the waiting for port operations; the commands, the lexer and
// the status model are in files of their own.

#include "ScpiCommands.h"
#include "ScpiInstrument.h"
#include "ScpiStatus.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class ScpiSession final : public std::enable_shared_from_this<ScpiSession>, private ScpiContext
{
public:
    // Longest line taken, without its terminator.
    static constexpr std::size_t kMaxLine = 4096;
    static constexpr std::size_t kErrorQueueSize = ScpiStatus::kErrorQueueSize;

    // Owned through a shared_ptr: an operation that comes back after the
    // session is gone finds nothing to report to.
    static std::shared_ptr<ScpiSession> Create(ScpiInstrument& instrument, Identity identity)
    {
        return std::make_shared<ScpiSession>(instrument, std::move(identity));
    }
    ScpiSession(ScpiInstrument& instrument, Identity identity);

    // Each response message: the answers of one line joined by ';', ending in LF.
    void SetOutput(std::function<void(std::string_view)> output) { output_ = std::move(output); }
    // Called when a port operation the session waited for has finished and
    // it takes input again.
    void SetResumed(std::function<void()> resumed) { resumed_ = std::move(resumed); }
    // The transport says whether what the session gave it to send is still
    // unread by the client: the status byte's MAV.
    void SetOutputUnread(bool unread) { outputUnread_ = unread; }

    // IEEE 488.2's rules for answers left unread, for a transport that keeps
    // answers until its client asks for them (VXI-11, HiSLIP; not the raw
    // socket, which answers in order). Once set, a message that starts while
    // an answer is unread drops it (`drop` discards what the transport
    // keeps) and queues -410 "Query INTERRUPTED".
    void SetDropUnread(std::function<void()> drop) { dropUnread_ = std::move(drop); }
    // The client asks to read: true while an answer is unread or may still
    // come. False when none will: -420 "Query UNTERMINATED" is queued, and
    // the transport says at once that there is nothing to read.
    bool AnswerComing();

    // Asked before each command is run: where it says no, the session stops
    // (Waiting) until Continue, so that the transport can share the event
    // loop's turn with its other clients.
    void SetShare(std::function<bool()> share) { share_ = std::move(share); }
    // Runs on after the share said no.
    void Continue();

    // Takes received bytes; runs every complete line, in order.
    void Feed(std::string_view bytes);
    // A port operation (or *OPC?/*WAI) is still running, the share of this
    // turn is spent, or lines are being run now (an answer sent may bring
    // the transport back here): later input waits.
    bool Waiting() const { return waiting_ || yielded_ || depth_ > 0; }
    // Nothing left to run: no operation running and no complete line buffered.
    bool Idle() const;

    // The IEEE 488.2 status byte as *STB? would answer it now, MSS included.
    std::uint8_t StatusByte() const;
    // IEEE 488.2 device clear: the input not yet run, the answers not yet
    // sent and whatever is waited for are dropped, and the next byte starts a
    // new message; the status registers and the error queue stay.
    void DeviceClear();

    const std::deque<ScpiStatus::Error>& Errors() const { return status_.Errors(); }

private:
    // ScpiContext: what the commands may do.
    ScpiInstrument& Instrument() override { return instrument_; }
    const Identity& Identification() const override { return identity_; }
    ScpiStatus& Status() override { return status_; }
    void Answer(std::string text) override { answers_.push_back(std::move(text)); }
    void Operate(std::function<void(ScpiInstrument::Done)> start, std::function<void(const OperationResult&)> after) override;
    void AfterAll(std::function<void()> after) override;
    std::uint16_t OperationCondition() const override;
    std::uint16_t QuestionableCondition() const override;
    bool MessageAvailable() const override { return outputUnread_ || !answers_.empty(); }

    void Pump();
    bool NextLine();
    void Flush();
    // The conditions as they are now, latched into the event registers.
    void Sample();
    void Wait(std::function<void(ScpiInstrument::Done)> start, std::function<void(const OperationResult&)> after);
    void Resume();

    ScpiInstrument& instrument_;
    Identity identity_;
    ScpiStatus status_;
    ScpiCommands commands_;
    std::function<void(std::string_view)> output_;
    std::function<void()> resumed_;
    std::function<void()> dropUnread_;
    std::function<bool()> share_;

    std::string inbox_;
    bool discarding_ = false;       // inside a line too long to take
    std::deque<ScpiUnit> units_;    // of the line being run
    std::vector<std::string> answers_;
    bool outputUnread_ = false;
    bool waiting_ = false;
    bool yielded_ = false;          // the share said no: Continue runs on
    bool switching_ = false;        // a port operation of this session's runs
    bool completing_ = false;       // inside the end of an operation waited for
    unsigned generation_ = 0;       // what is waited for; a device clear moves on
    int depth_ = 0;                 // loops over the input running now
};
