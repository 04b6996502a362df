#pragma once

// An HTTP/1.1 answer as it goes on the wire.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct HttpAnswer
{
    int status = 200;
    // In the order sent; Content-Length and Connection are added on the way out.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

// "Not Found" for 404; empty for a status this server never gives.
std::string_view ReasonPhrase(int status);

// The status line, the headers, Content-Length (not for 1xx), "Connection:
// close" where the connection closes after it, the blank line and the body;
// to a HEAD request the same without the body.
std::string AnswerBytes(const HttpAnswer& answer, bool head = false, bool close = false);
