#include "WebSocket.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <utility>

namespace websocket {

namespace {

constexpr std::size_t kMaxControl = 125;

// Codes a client may close with: those defined for use in a close frame,
// and those left to libraries and applications.
bool ValidCloseCode(int code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) || (code >= 3000 && code <= 4999);
}

HttpAnswer Refusal(int status, std::string words)
{
    return {status, {}, std::move(words) + '\n'};
}

} // namespace

bool AsksUpgrade(const HttpRequest& request)
{
    return request.Lists("Upgrade", "websocket");
}

std::string AcceptKey(std::string_view key)
{
    QCryptographicHash sha1(QCryptographicHash::Sha1);
    sha1.addData(QByteArrayView(key.data(), qsizetype(key.size())));
    sha1.addData(QByteArrayView("258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
    return sha1.result().toBase64().toStdString();
}

HttpAnswer Handshake(const HttpRequest& request)
{
    if (request.method != "GET" || request.minor < 1 || !request.Lists("Connection", "upgrade"))
        return Refusal(400, "a WebSocket opens with a GET over HTTP/1.1 that asks for Connection: Upgrade");
    if (request.Header("Sec-WebSocket-Version") != "13") {
        HttpAnswer answer = Refusal(426, "WebSocket version 13 only");
        answer.headers.emplace_back("Sec-WebSocket-Version", "13");
        return answer;
    }
    const std::string_view key = request.Header("Sec-WebSocket-Key");
    const auto nonce = QByteArray::fromBase64Encoding(QByteArray(key.data(), qsizetype(key.size())), QByteArray::AbortOnBase64DecodingErrors);
    if (!nonce || nonce.decoded.size() != 16)
        return Refusal(400, "no Sec-WebSocket-Key of 16 bytes");
    return {101, {{"Upgrade", "websocket"}, {"Connection", "Upgrade"}, {"Sec-WebSocket-Accept", AcceptKey(key)}}, {}};
}

std::string Frame(Opcode opcode, std::string_view payload)
{
    std::string frame(1, char(0x80 | std::uint8_t(opcode)));
    const std::uint64_t length = payload.size();
    if (length < 126) {
        frame += char(length);
    } else {
        const int bytes = length <= 0xFFFF ? 2 : 8;
        frame += char(bytes == 2 ? 126 : 127);
        for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
            frame += char((length >> shift) & 0xFF);
    }
    frame += payload;
    return frame;
}

std::string CloseFrame(int code, std::string_view reason)
{
    if (code == kNoCode)
        return Frame(Opcode::Close, {});
    // A reason cut to fit is cut between characters.
    std::size_t fits = std::min(reason.size(), kMaxControl - 2);
    while (fits < reason.size() && fits > 0 && (std::uint8_t(reason[fits]) & 0xC0) == 0x80)
        --fits;
    std::string payload{char(code >> 8), char(code & 0xFF)};
    payload += reason.substr(0, fits);
    return Frame(Opcode::Close, payload);
}

bool IsUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = std::uint8_t(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        int more = 0;  // continuation bytes
        if ((lead & 0xE0) == 0xC0)
            more = 1;
        else if ((lead & 0xF0) == 0xE0)
            more = 2;
        else if ((lead & 0xF8) == 0xF0)
            more = 3;
        else
            return false;
        constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        std::uint32_t point = lead & (0x3F >> more);
        if (i + more >= text.size())
            return false;
        for (int k = 1; k <= more; ++k) {
            const auto next = std::uint8_t(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = point << 6 | (next & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and points past Unicode are not UTF-8.
        if (point < kLeast[more] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)
            return false;
        i += more + 1;
    }
    return true;
}

FrameReader::FrameReader(std::size_t maxMessage) : maxMessage_(maxMessage)
{
}

void FrameReader::Add(std::string_view bytes)
{
    if (!ended_)
        buffer_.append(bytes);
}

std::optional<Event> FrameReader::Fail(int code, std::string why)
{
    ended_ = true;
    buffer_ = {};
    message_ = {};
    Event event;
    event.kind = Event::Kind::Fail;
    event.code = code;
    event.why = std::move(why);
    return event;
}

std::optional<Event> FrameReader::Next()
{
    while (!ended_ && buffer_.size() >= 2) {
        const auto first = std::uint8_t(buffer_[0]);
        const auto second = std::uint8_t(buffer_[1]);
        const bool final = first & 0x80;
        const int opcode = first & 0x0F;
        if (first & 0x70)
            return Fail(kProtocolError, "reserved bits set, with no extension agreed");
        if (opcode > 0xA || (opcode > 0x2 && opcode < 0x8))
            return Fail(kProtocolError, "unknown opcode " + std::to_string(opcode));
        if (!(second & 0x80))
            return Fail(kProtocolError, "a frame from the client not masked");
        const std::size_t lengthBytes = (second & 0x7F) == 126 ? 2 : (second & 0x7F) == 127 ? 8 : 0;
        if (buffer_.size() < 2 + lengthBytes)
            return std::nullopt;
        std::uint64_t length = second & 0x7F;
        if (lengthBytes > 0) {
            length = 0;
            for (std::size_t k = 0; k < lengthBytes; ++k)
                length = length << 8 | std::uint8_t(buffer_[2 + k]);
        }
        if (length >> 63)
            return Fail(kProtocolError, "a frame length with its top bit set");
        const bool control = opcode >= 0x8;
        if (control && !final)
            return Fail(kProtocolError, "a control frame in parts");
        if (control && length > kMaxControl)
            return Fail(kProtocolError, "a control frame over 125 bytes");
        if (!control && opcode == 0 && !messageOpcode_)
            return Fail(kProtocolError, "a continuation frame with no message begun");
        if (!control && opcode != 0 && messageOpcode_)
            return Fail(kProtocolError, "a new message before the last one ended");
        // Refused on its header, before the payload is read.
        if (!control && message_.size() + length > maxMessage_)
            return Fail(kTooBig, "a message over " + std::to_string(maxMessage_) + " bytes");

        const std::size_t header = 2 + lengthBytes + 4;
        if (buffer_.size() < header + length)
            return std::nullopt;
        std::string payload = buffer_.substr(header, length);
        for (std::size_t k = 0; k < payload.size(); ++k)
            payload[k] = char(payload[k] ^ buffer_[2 + lengthBytes + k % 4]);
        buffer_.erase(0, header + length);

        Event event;
        switch (Opcode(opcode)) {
        case Opcode::Ping:
            event.kind = Event::Kind::Ping;
            event.payload = std::move(payload);
            return event;
        case Opcode::Pong:
            event.kind = Event::Kind::Pong;
            return event;
        case Opcode::Close:
            event.kind = Event::Kind::Close;
            event.code = kNoCode;
            if (payload.size() == 1)
                return Fail(kProtocolError, "a close frame with a 1-byte body");
            if (payload.size() >= 2) {
                event.code = std::uint8_t(payload[0]) << 8 | std::uint8_t(payload[1]);
                if (!ValidCloseCode(event.code))
                    return Fail(kProtocolError, "close code " + std::to_string(event.code));
                event.payload = payload.substr(2);
                if (!IsUtf8(event.payload))
                    return Fail(kInvalidData, "a close reason not in UTF-8");
            }
            ended_ = true;
            buffer_ = {};
            message_ = {};
            return event;
        case Opcode::Continuation:
        case Opcode::Text:
        case Opcode::Binary:
            break;
        }
        if (opcode != 0)
            messageOpcode_ = Opcode(opcode);
        message_ += payload;
        if (!final)
            continue;
        event.kind = Event::Kind::Message;
        event.opcode = *std::exchange(messageOpcode_, std::nullopt);
        event.payload = std::exchange(message_, {});
        if (event.opcode == Opcode::Text && !IsUtf8(event.payload))
            return Fail(kInvalidData, "a text message not in UTF-8");
        return event;
    }
    return std::nullopt;
}

} // namespace websocket
