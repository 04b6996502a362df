#pragma once

// Everything the VXI-11 server asks of the SCPI command layer, in one place:
// a link's session on the switch core, as the raw socket's, with the answers
// kept until the client reads them.

#include "Identity.h"
#include "ScpiSession.h"
#include "SwitchInstrument.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class LinkSession
{
public:
    LinkSession(SwitchCore& core, Source source, const Identity& identity);

    const Source& Client() const { return source_; }

    // Takes what the client wrote; `end`: its message ends here, as a line does.
    void Write(const QByteArray& data, bool end);
    // A command is still running: what is written now would wait.
    bool Busy() const { return session_->Waiting(); }
    // Bytes of answers not read yet. A new message drops them (-410).
    std::size_t Unread() const { return unread_; }
    // Nothing unread: whether an answer may still come; when none will,
    // -420 is queued.
    bool AnswerComing() { return session_->AnswerComing(); }

    struct Chunk
    {
        QByteArray data;
        bool end = false;   // the last byte of a response message
        bool term = false;  // stopped after the termination character
    };
    // Up to `max` bytes of the answers, stopping after `term` when given.
    Chunk Read(std::size_t max, std::optional<char> term);

    // The status byte, with MAV (bit 4) while answers wait to be read, and
    // MSS as *SRE makes it.
    std::uint8_t StatusByte() const;
    // Device clear: unread answers and input not yet run are dropped.
    void Clear();

    // Called when answers arrive or the session takes input again.
    void SetChanged(std::function<void()> changed) { changed_ = std::move(changed); }

private:
    Source source_;
    SwitchInstrument instrument_;
    std::shared_ptr<ScpiSession> session_;
    std::deque<std::string> answers_;  // response messages; the first may be partly read
    std::size_t readOf_ = 0;           // bytes read of the first
    std::size_t unread_ = 0;
    std::function<void()> changed_;
};
