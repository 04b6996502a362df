#pragma once

// The WebSocket protocol (RFC 6455) as the server speaks it, over bytes:
// the opening handshake, the frames it sends, and the frames a client
// sends read within a limit on messages, every protocol error named with
// the close code it calls for.

#include "HttpAnswer.h"
#include "HttpRequest.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace websocket {

enum class Opcode : std::uint8_t
{
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

// Close codes.
constexpr int kNormal = 1000;
constexpr int kGoingAway = 1001;
constexpr int kProtocolError = 1002;
constexpr int kNoCode = 1005;  // a close frame without one; never sent
constexpr int kInvalidData = 1007;
constexpr int kPolicy = 1008;
constexpr int kTooBig = 1009;

// Whether `request` asks to open a WebSocket (Upgrade: websocket).
bool AsksUpgrade(const HttpRequest& request);
// The answer to such a request: 101 with the key's Sec-WebSocket-Accept, or
// 400 (not a GET over HTTP/1.1, no Connection: Upgrade, no valid key), or 426
// with the version spoken for a version other than 13.
HttpAnswer Handshake(const HttpRequest& request);
// Sec-WebSocket-Accept for Sec-WebSocket-Key `key`.
std::string AcceptKey(std::string_view key);

// A whole frame as the server sends it: final, unmasked.
std::string Frame(Opcode opcode, std::string_view payload);
// A close frame: the code and the reason (cut to fit a control frame);
// without a code for kNoCode.
std::string CloseFrame(int code, std::string_view reason = {});

bool IsUtf8(std::string_view text);

// What a client said, a frame or a message at a time.
struct Event
{
    enum class Kind
    {
        Message,  // a whole text or binary message: `payload`
        Ping,     // `payload` to send back in a pong
        Pong,
        Close,    // the client closes: `code` (kNoCode for none) and `payload`, its reason
        Fail,     // a protocol error: close with `code`; `why`, for the log
    };
    Kind kind = Kind::Message;
    Opcode opcode = Opcode::Text;
    std::string payload;
    int code = 0;
    std::string why;
};

// Reads the frames of one client. A frame that breaks the protocol, or one
// that would take a message past `maxMessage` bytes, fails the connection as
// soon as its header is in; after a failure or a close nothing more is read.
class FrameReader
{
public:
    explicit FrameReader(std::size_t maxMessage);

    void Add(std::string_view bytes);
    // The next thing the client said, once all of it is here.
    std::optional<Event> Next();
    // Bytes kept: a frame not complete yet and a message in parts.
    std::size_t Buffered() const { return buffer_.size() + message_.size(); }

private:
    std::optional<Event> Fail(int code, std::string why);

    std::size_t maxMessage_;
    std::string buffer_;
    std::string message_;  // the parts of a fragmented message so far
    std::optional<Opcode> messageOpcode_;
    bool ended_ = false;
};

} // namespace websocket
