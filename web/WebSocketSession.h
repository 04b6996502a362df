#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "WebSocket.h"

class Connection;

// One WebSocket on its connection, after the handshake: the frames the
// server sends, pings answered, and a client that breaks the protocol, or
// sends a message over the limit, closed with the code RFC 6455 gives.
class WebSocketSession final : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        std::size_t maxMessage = 4 * 1024;
        // Sent and not taken: a client this far behind is reset.
        std::size_t maxUnsent = 256 * 1024;
        // A ping this often, so that a client alive but silent is not idle (0: none).
        std::chrono::milliseconds ping{0};
    };

    // `greeting`: the first frame it sends; `first`: what the client sent
    // right after its handshake.
    WebSocketSession(Connection& connection, Limits limits, std::string_view greeting = {}, std::string first = {});

    // Sends a frame made by websocket::Frame.
    void Send(std::string_view frame);
    // Bytes held for it: frames not taken, and its own not read whole yet.
    std::size_t Buffered() const;

private:
    void Received(std::string_view bytes);
    // Closes with `code`: the close frame goes out, what the client still
    // sends meanwhile is dropped, and the connection ends soon after.
    void Fail(int code, const std::string& why);

    Connection& connection_;
    Limits limits_;
    websocket::FrameReader reader_;
    QTimer ping_;
    QTimer linger_;
    bool closing_ = false;
};
