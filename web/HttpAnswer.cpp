#include "HttpAnswer.h"

namespace {

constexpr std::pair<int, std::string_view> kReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {400, "Bad Request"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {409, "Conflict"},
    {411, "Length Required"},
    {413, "Content Too Large"},
    {417, "Expectation Failed"},
    {421, "Misdirected Request"},
    {426, "Upgrade Required"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {505, "HTTP Version Not Supported"},
};

} // namespace

std::string_view ReasonPhrase(int status)
{
    for (const auto& [code, phrase] : kReasons)
        if (code == status)
            return phrase;
    return {};
}

std::string AnswerBytes(const HttpAnswer& answer, bool head, bool close)
{
    std::string bytes = "HTTP/1.1 " + std::to_string(answer.status) + ' ' + std::string(ReasonPhrase(answer.status)) + "\r\n";
    for (const auto& [name, value] : answer.headers)
        bytes += name + ": " + value + "\r\n";
    if (answer.status >= 200)
        bytes += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    if (close)
        bytes += "Connection: close\r\n";
    bytes += "\r\n";
    if (!head)
        bytes += answer.body;
    return bytes;
}
