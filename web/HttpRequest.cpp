#include "HttpRequest.h"

#include <algorithm>
#include <cctype>

namespace {

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size()
        && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y)); });
}

bool StartsWithText(std::string_view text, std::string_view start)
{
    return text.size() >= start.size() && SameText(text.substr(0, start.size()), start);
}

std::string_view Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A method or header name: RFC 9110's token.
bool IsToken(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

// Nothing that could end a line or split a field.
bool IsFieldText(std::string_view text)
{
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7f;
    });
}

// The part of an absolute-form target ("http://host:80/path") after its scheme.
std::string_view AfterScheme(std::string_view target)
{
    for (const std::string_view scheme : {"http://", "https://"})
        if (StartsWithText(target, scheme))
            return target.substr(scheme.size());
    return {};
}

} // namespace

std::string_view HttpRequest::Header(std::string_view name) const
{
    for (const auto& [key, value] : headers)
        if (SameText(key, name))
            return value;
    return {};
}

bool HttpRequest::Lists(std::string_view name, std::string_view token) const
{
    for (const auto& [key, value] : headers) {
        if (!SameText(key, name))
            continue;
        std::string_view rest = value;
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            if (SameText(Trimmed(rest.substr(0, comma)), token))
                return true;
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
    return false;
}

bool HttpRequest::KeepAlive() const
{
    return minor >= 1 ? !Lists("Connection", "close") : Lists("Connection", "keep-alive");
}

std::string_view HttpRequest::Path() const
{
    std::string_view path = target;
    if (const std::string_view rest = AfterScheme(target); !rest.empty()) {
        const auto slash = rest.find_first_of("/?#");
        path = slash == std::string_view::npos || rest[slash] != '/' ? std::string_view("/") : rest.substr(slash);
    }
    return path.substr(0, path.find_first_of("?#"));
}

std::string_view HttpRequest::Authority() const
{
    // A target in absolute form names the host itself, whatever Host says.
    if (const std::string_view rest = AfterScheme(target); !rest.empty())
        return rest.substr(0, rest.find_first_of("/?#"));
    return Header("Host");
}

HttpRequestReader::HttpRequestReader(HttpLimits limits) : limits_(limits)
{
}

HttpRequestReader::State HttpRequestReader::Add(std::string_view bytes)
{
    if (state_ == State::Refused)
        return state_;
    buffer_.append(bytes);
    return Parse();
}

HttpRequestReader::State HttpRequestReader::Next()
{
    if (state_ == State::Refused)
        return state_;
    buffer_.erase(0, state_ == State::Complete ? headSize_ + bodySize_ : buffer_.size());
    scanned_ = lineStart_ = headSize_ = bodySize_ = 0;
    request_ = {};
    state_ = State::Idle;
    return Parse();
}

std::string HttpRequestReader::TakeFollowing()
{
    std::string rest = state_ == State::Complete ? buffer_.substr(headSize_ + bodySize_) : std::string();
    buffer_.clear();
    Next();
    return rest;
}

HttpRequestReader::State HttpRequestReader::Refuse(int status, std::string why)
{
    refusal_ = {status, std::move(why)};
    buffer_ = {};
    return state_ = State::Refused;
}

HttpRequestReader::State HttpRequestReader::Parse()
{
    if (state_ == State::Idle || state_ == State::Partial) {
        // Blank lines before a request are passed over.
        if (scanned_ == 0)
            buffer_.erase(0, std::min(buffer_.find_first_not_of("\r\n"), buffer_.size()));
        std::size_t end = std::string::npos;
        for (; scanned_ < buffer_.size(); ++scanned_) {
            if (buffer_[scanned_] != '\n')
                continue;
            const std::size_t length = scanned_ - lineStart_;
            if (length == 0 || (length == 1 && buffer_[lineStart_] == '\r')) {
                end = scanned_ + 1;
                break;
            }
            lineStart_ = scanned_ + 1;
        }
        if (std::min(end, buffer_.size()) > limits_.head)
            return Refuse(431, "request line and headers over " + std::to_string(limits_.head) + " bytes");
        if (end == std::string::npos)
            return state_ = buffer_.empty() ? State::Idle : State::Partial;
        headSize_ = end;
        if (!ParseHead(std::string_view(buffer_).substr(0, end)))
            return state_;
        state_ = State::Head;
    }
    if (state_ == State::Head && buffer_.size() - headSize_ >= bodySize_) {
        request_.body = buffer_.substr(headSize_, bodySize_);
        state_ = State::Complete;
    }
    return state_;
}

bool HttpRequestReader::ParseHead(std::string_view head)
{
    request_ = {};
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const auto end = head.find('\n');
        std::string_view line = head.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.push_back(line);
        head.remove_prefix(end + 1);
    }
    lines.pop_back();  // the blank line that ends the head

    const std::string_view line = lines.front();
    const auto space = line.find(' ');
    const auto space2 = line.find(' ', space + 1);
    if (!IsFieldText(line) || line.find('\t') != std::string_view::npos || space == std::string_view::npos || space2 == std::string_view::npos
        || line.find(' ', space2 + 1) != std::string_view::npos || !IsToken(line.substr(0, space)) || space2 == space + 1) {
        Refuse(400, "not a request line");
        return false;
    }
    request_.method = line.substr(0, space);
    request_.target = line.substr(space + 1, space2 - space - 1);
    const std::string_view version = line.substr(space2 + 1);
    if (version == "HTTP/1.1" || version == "HTTP/1.0") {
        request_.minor = version.back() - '0';
    } else if (version.size() == 8 && version.substr(0, 5) == "HTTP/" && std::isdigit(static_cast<unsigned char>(version[5]))
               && version[6] == '.' && std::isdigit(static_cast<unsigned char>(version[7]))) {
        Refuse(505, "HTTP/1.1 only");
        return false;
    } else {
        Refuse(400, "not a request line");
        return false;
    }

    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view field = lines[i];
        const auto colon = field.find(':');
        // A line folded onto the last, or a name with blanks, is how one
        // request is smuggled inside another: never guessed at.
        if (colon == std::string_view::npos || !IsToken(field.substr(0, colon)) || !IsFieldText(field)) {
            Refuse(400, "not a header line");
            return false;
        }
        request_.headers.emplace_back(field.substr(0, colon), Trimmed(field.substr(colon + 1)));
    }

    const auto hosts = std::count_if(request_.headers.begin(), request_.headers.end(), [](const auto& h) { return SameText(h.first, "Host"); });
    if (hosts > 1 || (hosts == 0 && request_.minor >= 1)) {
        Refuse(400, hosts > 1 ? "more than one Host header" : "no Host header");
        return false;
    }
    if (const std::string_view codings = request_.Header("Transfer-Encoding"); !codings.empty()) {
        const std::string_view last = Trimmed(codings.substr(codings.rfind(',') + 1));
        if (SameText(last, "chunked"))
            Refuse(411, "a body must come with its Content-Length");
        else
            Refuse(501, "transfer coding \"" + std::string(last.substr(0, 40)) + "\" not implemented");
        return false;
    }
    std::string_view length;
    for (const auto& [key, value] : request_.headers) {
        if (!SameText(key, "Content-Length"))
            continue;
        if (value.empty() || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })
            || (!length.empty() && value != length)) {
            Refuse(400, "not a Content-Length");
            return false;
        }
        length = value;
    }
    const std::string_view digits = length.substr(std::min(length.find_first_not_of('0'), length.size()));
    if (digits.size() > 15 || (!digits.empty() && std::stoull(std::string(digits)) > limits_.body)) {
        Refuse(413, "a body of " + std::string(digits.substr(0, 20)) + " bytes, over " + std::to_string(limits_.body));
        return false;
    }
    bodySize_ = digits.empty() ? 0 : std::stoull(std::string(digits));
    if (const std::string_view expect = request_.Header("Expect"); !expect.empty() && !SameText(expect, "100-continue")) {
        Refuse(417, "only 100-continue is expected");
        return false;
    }
    return true;
}
