#pragma once

// HTTP/1.1 requests read from the bytes a client sends, one at a time and
// within limits: the request line, the headers, and a body of the length
// Content-Length gives. No other framing: a chunked body is refused.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpRequest
{
    std::string method;  // "GET"
    std::string target;  // "/api/state?x", as sent
    int minor = 1;       // HTTP/1.<minor>
    std::vector<std::pair<std::string, std::string>> headers;  // as sent, values without blanks around
    std::string body;

    // The value of header `name` (any case); empty where there is none.
    std::string_view Header(std::string_view name) const;
    // Whether the comma-separated values of header `name` hold `token` (any case).
    bool Lists(std::string_view name, std::string_view token) const;
    // Whether the client keeps the connection for another request.
    bool KeepAlive() const;
    // The path the target names, without the query: "/api/state".
    std::string_view Path() const;
    // The host and port the client addressed: the Host header, or the
    // authority of a target in absolute form.
    std::string_view Authority() const;
};

struct HttpLimits
{
    std::size_t head = 16 * 1024;  // the request line and headers, line ends included
    std::size_t body = 64 * 1024;
};

// Why the bytes are not a request to handle: the status to answer with, and
// what was wrong.
struct HttpRefusal
{
    int status = 0;
    std::string why;
};

// Reads the requests of one connection in turn. It keeps the request at the
// front and the bytes that followed it; a head or a body over the limits is
// refused as soon as that is known, before the rest arrives.
class HttpRequestReader
{
public:
    enum class State
    {
        Idle,      // nothing of a request yet
        Partial,   // some of the head
        Head,      // the head is in, some of the body is still to come
        Complete,  // a whole request: Request()
        Refused,   // Refusal(); nothing more is read
    };

    explicit HttpRequestReader(HttpLimits limits = {});

    // Takes the bytes that arrived; how far the request at the front has come.
    State Add(std::string_view bytes);
    State Current() const { return state_; }
    // The request at the front, from Head on (its body once Complete).
    const HttpRequest& Request() const { return request_; }
    const HttpRefusal& Refusal() const { return refusal_; }
    // Drops the request at the front, keeping what followed it; how far the
    // next one has come.
    State Next();
    // Drops the request at the front and hands over what followed it.
    std::string TakeFollowing();
    // Bytes kept: the request at the front and what followed it.
    std::size_t Buffered() const { return buffer_.size(); }

private:
    State Parse();
    State Refuse(int status, std::string why);
    bool ParseHead(std::string_view head);

    HttpLimits limits_;
    std::string buffer_;
    std::size_t scanned_ = 0;    // searched for the head's end up to here
    std::size_t lineStart_ = 0;  // of the line being searched
    std::size_t headSize_ = 0;   // once the head is in
    std::size_t bodySize_ = 0;
    HttpRequest request_;
    HttpRefusal refusal_;
    State state_ = State::Idle;
};
