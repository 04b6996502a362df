#pragma once

// The interrupt channel a VXI-11 client asks for with create_intr_chan: a
// connection from the server back to the client's own RPC server, on which
// device_intr_srq tells it that a link requests service. It connects only
// where it is told (the server names the address the call came from), and
// it never waits: connecting and sending go on from the event loop, within
// a time and a size, and a client that takes nothing is given up on as the
// servers give up on their own peers.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

class QTcpSocket;

class InterruptChannel : public QObject
{
    Q_OBJECT

public:
    // How long the client's RPC server may take to accept the connection.
    static constexpr std::chrono::seconds kConnectTimeout{5};

    // `keepAlive` and `maxUnsent` as the connection policy has them.
    InterruptChannel(const QHostAddress& host, quint16 port, std::chrono::seconds keepAlive, std::size_t maxUnsent,
                     QObject* parent = nullptr);

    // Connects; `done` is told once whether it could.
    void Open(std::function<void(bool)> done);
    // Calls the client's device_intr_srq with `handle`, without waiting for
    // its reply (it has nothing to say).
    void Raise(const QByteArray& handle);
    // Bytes sent and not taken by the client yet.
    std::size_t Unsent() const;
    // Sends nothing more; Closed follows.
    void Close();

signals:
    // It will send nothing more: it could not connect, the client closed
    // it, or it took too little of what was sent.
    void Closed();

private:
    QTcpSocket* socket_;
    QHostAddress host_;
    quint16 port_;
    std::chrono::seconds keepAlive_;
    std::size_t maxUnsent_;
    QTimer connectTimeout_;
    std::function<void(bool)> done_;
    std::uint32_t xid_ = 0;
    bool ended_ = false;
};
