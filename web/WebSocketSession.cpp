#include "WebSocketSession.h"

#include "Connection.h"

using namespace websocket;

namespace {

// How long a failed client is given to read its close frame.
constexpr std::chrono::milliseconds kLinger{1000};

} // namespace

WebSocketSession::WebSocketSession(Connection& connection, Limits limits, std::string_view greeting, std::string first)
    : QObject(&connection), connection_(connection), limits_(limits), reader_(limits.maxMessage)
{
    connection.SetReceiver([this](std::string_view bytes) { Received(bytes); });
    connection.SetResume([this] { Received({}); });
    connect(&connection, &Connection::PeerClosed, this, [this] { connection_.Finish(QStringLiteral("the page closed")); });
    if (limits.ping.count() > 0) {
        connect(&ping_, &QTimer::timeout, this, [this] { Send(Frame(Opcode::Ping, {})); });
        ping_.start(limits.ping);
    }
    linger_.setSingleShot(true);
    connect(&linger_, &QTimer::timeout, this, [this] {
        if (connection_.Unsent() > 0)
            connection_.Abort(QStringLiteral("the close frame not taken"));
        else
            connection_.Finish(QStringLiteral("closed on a protocol error"));
    });
    connection.Send(greeting);
    Received(first);
    connection.Hold(false);
}

void WebSocketSession::Send(std::string_view frame)
{
    if (closing_ || !connection_.Open())
        return;
    // A page that does not take its messages reconnects, to the state as it is then.
    if (connection_.Unsent() > limits_.maxUnsent) {
        connection_.Abort(QStringLiteral("messages not taken"));
        return;
    }
    connection_.Send(frame);
}

std::size_t WebSocketSession::Buffered() const
{
    return reader_.Buffered() + connection_.Unsent() + connection_.Held();
}

void WebSocketSession::Received(std::string_view bytes)
{
    if (closing_)
        return;
    reader_.Add(bytes);
    while (reader_.Buffered() > 0 && connection_.Spend()) {
        const auto event = reader_.Next();
        if (!event)
            break;
        switch (event->kind) {
        case Event::Kind::Message:  // the page sends nothing the server needs
        case Event::Kind::Pong:
            break;
        case Event::Kind::Ping:
            Send(Frame(Opcode::Pong, event->payload));
            break;
        case Event::Kind::Close:
            // Answered with the same code; the server closes the TCP connection first.
            connection_.Send(CloseFrame(event->code));
            closing_ = true;
            connection_.Finish(QStringLiteral("the page closed"));
            return;
        case Event::Kind::Fail:
            Fail(event->code, event->why);
            return;
        }
    }
}

void WebSocketSession::Fail(int code, const std::string& why)
{
    connection_.Send(CloseFrame(code, why));
    closing_ = true;
    ping_.stop();
    linger_.start(kLinger);
}
