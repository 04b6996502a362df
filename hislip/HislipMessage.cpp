#include "HislipMessage.h"

#include <algorithm>
#include <utility>

namespace hislip {

namespace {

void PutBig(std::string& out, std::uint64_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>((value >> shift) & 0xff));
}

std::uint64_t GetBig(std::string_view bytes)
{
    std::uint64_t value = 0;
    for (const char c : bytes)
        value = value << 8 | static_cast<unsigned char>(c);
    return value;
}

} // namespace

std::string Encode(Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload)
{
    std::string message;
    message.reserve(kHeaderSize + payload.size());
    message += "HS";
    message.push_back(static_cast<char>(type));
    message.push_back(static_cast<char>(control));
    PutBig(message, parameter, 4);
    PutBig(message, payload.size(), 8);
    message += payload;
    return message;
}

std::optional<Header> DecodeHeader(std::string_view bytes)
{
    if (bytes.size() < kHeaderSize || bytes[0] != 'H' || bytes[1] != 'S')
        return std::nullopt;
    Header header;
    header.type = static_cast<Type>(static_cast<unsigned char>(bytes[2]));
    header.control = static_cast<std::uint8_t>(bytes[3]);
    header.parameter = static_cast<std::uint32_t>(GetBig(bytes.substr(4, 4)));
    header.length = GetBig(bytes.substr(8, 8));
    return header;
}

std::string EncodeSize(std::uint64_t size)
{
    std::string bytes;
    PutBig(bytes, size, 8);
    return bytes;
}

std::optional<std::uint64_t> DecodeSize(std::string_view payload)
{
    if (payload.size() != 8)
        return std::nullopt;
    return GetBig(payload);
}

std::uint16_t NegotiateVersion(std::uint16_t client, std::uint16_t server)
{
    return std::min(client, server);
}

MessageReader::Next MessageReader::Take()
{
    if (skipping_ > 0) {
        const std::size_t dropped = static_cast<std::size_t>(std::min<std::uint64_t>(skipping_, buffer_.size()));
        buffer_.erase(0, dropped);
        skipping_ -= dropped;
        if (skipping_ > 0)
            return {};
    }
    if (buffer_.empty())
        return {};
    if (buffer_[0] != 'H' || (buffer_.size() >= 2 && buffer_[1] != 'S'))
        return {Kind::BadHeader, {}, {}};
    const auto header = DecodeHeader(buffer_);
    if (!header)
        return {};
    if (header->length > maxPayload_) {
        buffer_.erase(0, kHeaderSize);
        skipping_ = header->length;
        // Drop what has arrived of it at once.
        const std::size_t dropped = static_cast<std::size_t>(std::min<std::uint64_t>(skipping_, buffer_.size()));
        buffer_.erase(0, dropped);
        skipping_ -= dropped;
        return {Kind::TooLarge, *header, {}};
    }
    if (buffer_.size() - kHeaderSize < header->length)
        return {};
    const std::size_t length = static_cast<std::size_t>(header->length);
    Next next{Kind::Message, *header, buffer_.substr(kHeaderSize, length)};
    buffer_.erase(0, kHeaderSize + length);
    return next;
}

std::string MessageReader::TakeRest()
{
    return std::exchange(buffer_, {});
}

} // namespace hislip
