#pragma once

// HiSLIP's messages as they travel: a 16-byte header ("HS", the message
// type, a control code, a 32-bit parameter and a 64-bit payload length, both
// big-endian) and the payload. Pure functions, free of Qt and of sockets.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hislip {

enum class Type : std::uint8_t
{
    Initialize = 0,
    InitializeResponse = 1,
    FatalError = 2,
    Error = 3,
    AsyncLock = 4,
    AsyncLockResponse = 5,
    Data = 6,
    DataEnd = 7,
    DeviceClearComplete = 8,
    DeviceClearAcknowledge = 9,
    AsyncRemoteLocalControl = 10,
    AsyncRemoteLocalResponse = 11,
    Trigger = 12,
    Interrupted = 13,
    AsyncInterrupted = 14,
    AsyncMaximumMessageSize = 15,
    AsyncMaximumMessageSizeResponse = 16,
    AsyncInitialize = 17,
    AsyncInitializeResponse = 18,
    AsyncDeviceClear = 19,
    AsyncServiceRequest = 20,
    AsyncStatusQuery = 21,
    AsyncStatusResponse = 22,
    AsyncDeviceClearAcknowledge = 23,
    AsyncLockInfo = 24,
    AsyncLockInfoResponse = 25,
    GetDescriptors = 26,
    GetDescriptorsResponse = 27,
    StartTls = 28,
    AsyncStartTls = 29,
    AsyncStartTlsResponse = 30,
    EndTls = 31,
    AsyncEndTls = 32,
    AsyncEndTlsResponse = 33,
    GetSaslMechanismList = 34,
    GetSaslMechanismListResponse = 35,
    AuthenticationStart = 36,
    AuthenticationExchange = 37,
    AuthenticationResult = 38,
};

constexpr std::size_t kHeaderSize = 16;

// Protocol versions as the Initialize parameters carry them: major << 8 | minor.
constexpr std::uint16_t kVersion1_0 = 0x0100;
constexpr std::uint16_t kVersion2_0 = 0x0200;

// The message id of a session's first message, and after each device clear;
// each message after that has the one before's plus two.
constexpr std::uint32_t kFirstMessageId = 0xffffff00;

// Error codes of Error (the message is dropped, the session goes on).
enum class ErrorCode : std::uint8_t
{
    Unidentified = 0,
    UnrecognizedMessageType = 1,
    UnrecognizedControlCode = 2,
    UnrecognizedVendorDefinedMessage = 3,
    MessageTooLarge = 4,
};

// Error codes of FatalError (the connection ends after it).
enum class FatalCode : std::uint8_t
{
    Unidentified = 0,
    PoorlyFormedHeader = 1,
    ChannelsNotEstablished = 2,
    InvalidInitialization = 3,
    MaximumClientsExceeded = 4,
    SecureConnectionFailed = 5,
};

struct Header
{
    Type type = Type::Initialize;
    std::uint8_t control = 0;
    std::uint32_t parameter = 0;
    std::uint64_t length = 0;
};

// One whole message.
std::string Encode(Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload = {});
// A header read off the first kHeaderSize bytes; nullopt where they do not
// start with "HS".
std::optional<Header> DecodeHeader(std::string_view bytes);

// Initialize's and InitializeResponse's parameter halves.
constexpr std::uint32_t Pack(std::uint16_t high, std::uint16_t low)
{
    return std::uint32_t(high) << 16 | low;
}
constexpr std::uint16_t High(std::uint32_t parameter)
{
    return static_cast<std::uint16_t>(parameter >> 16);
}
constexpr std::uint16_t Low(std::uint32_t parameter)
{
    return static_cast<std::uint16_t>(parameter & 0xffff);
}

// The 8-byte big-endian size AsyncMaximumMessageSize and its response carry.
std::string EncodeSize(std::uint64_t size);
std::optional<std::uint64_t> DecodeSize(std::string_view payload);

// The version both sides speak: the lower of the client's and ours.
std::uint16_t NegotiateVersion(std::uint16_t client, std::uint16_t server);

// Cuts the incoming byte stream into messages. A payload longer than the
// maximum is not kept: its header is reported once (TooLarge) and the
// payload skipped as it arrives, so that no peer can make it buffer more.
class MessageReader
{
public:
    explicit MessageReader(std::uint64_t maxPayload) : maxPayload_(maxPayload) {}

    enum class Kind
    {
        NeedMore,   // nothing complete yet
        Message,    // `header` and `payload`
        TooLarge,   // `header` announced more than the maximum
        BadHeader,  // not a HiSLIP header: the stream cannot be followed
    };
    struct Next
    {
        Kind kind = Kind::NeedMore;
        Header header;
        std::string payload;
    };

    void Append(std::string_view bytes) { buffer_.append(bytes); }
    Next Take();
    // The bytes received past the last message taken (for a stream that
    // changes hands, as when TLS starts).
    std::string TakeRest();
    std::size_t Buffered() const { return buffer_.size(); }
    void SetMaxPayload(std::uint64_t maxPayload) { maxPayload_ = maxPayload; }

private:
    std::uint64_t maxPayload_;
    std::string buffer_;
    std::uint64_t skipping_ = 0;  // bytes of a too large payload still to drop
};

} // namespace hislip
