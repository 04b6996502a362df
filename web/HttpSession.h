#pragma once

#include "HttpAnswer.h"
#include "HttpRequest.h"
#include "WebSocketSession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

class Connection;
class HttpSession;

// What a server does with the requests of its connections.
struct HttpSite
{
    // Answers `request` through the session, at once or later.
    std::function<void(const HttpRequest& request, HttpSession& session)> handle;
    // The answer to bytes that are not a request to handle; the connection
    // closes after it.
    std::function<HttpAnswer(const HttpRefusal& refusal)> refuse;
};

// HTTP/1.1 on one connection: one request at a time, the next not read
// before the last answer has gone out, so that a client that sends without
// reading stops being read; every request within the reader's limits and
// in whole within the deadline. A connection that starts no request within
// the deadline is closed without a word, as a browser's spare ones are.
class HttpSession final : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        HttpLimits request;
        // A request must be in whole, and its answer taken, this long after
        // the connection is ready for it.
        std::chrono::milliseconds deadline{10000};
    };

    HttpSession(Connection& connection, Limits limits, HttpSite site);

    Connection& Link() const { return connection_; }
    // Answers the request in hand (without the body to a HEAD request).
    void Answer(const HttpAnswer& answer);
    // Answers the request in hand with `switching` (101) and hands the
    // connection over to a WebSocket that sends `greeting` first; nullptr
    // where it has closed meanwhile.
    WebSocketSession* Upgrade(const HttpAnswer& switching, const WebSocketSession::Limits& limits, std::string_view greeting);
    // Bytes held for it: requests and answers not taken whole yet.
    std::size_t Buffered() const;
    // How long a kept-alive connection has waited for its next request
    // without a byte of it; -1 while a request is under way.
    qint64 IdleFor() const;
    // Closes a connection that waits for a request, for a new client's sake.
    void GiveUp();

private:
    enum class Phase
    {
        Reading,    // the next request
        Answering,  // the site has it
        Sending,    // the answer has not all gone out
        Closing,
        Upgraded,
    };

    void Received(std::string_view bytes);
    void Advance();
    void Step();
    void Wait();
    void Sent();
    void Refuse(const HttpRefusal& refusal);
    QString Within() const;

    Connection& connection_;
    Limits limits_;
    HttpSite site_;
    HttpRequestReader reader_;
    Phase phase_ = Phase::Reading;
    bool advancing_ = false;
    bool again_ = false;
    bool continued_ = false;    // 100 Continue sent for the request in hand
    bool deadlineSet_ = false;  // for the request begun
    QElapsedTimer ready_;       // since ready for the next request
    QTimer unused_;             // no request begun
    QTimer linger_;             // after a refusal
};
