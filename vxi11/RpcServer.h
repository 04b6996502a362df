#pragma once

// ONC RPC (version 2) on Qt's sockets: calls come in through the event loop
// and may be answered later, so that a call that waits for the switch, a lock
// or an answer holds up nothing else. The message formats and the XDR
// routines are libtirpc's; its own server loop is not used, since it must
// answer inside the call.

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <rpc/rpc.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

// An XDR routine for T, as rpcgen makes them.
template <typename T>
using XdrRoutine = bool_t (*)(XDR*, T*);

// Any XDR routine as libtirpc takes it.
template <typename Routine>
xdrproc_t AsXdrProc(Routine routine)
{
    return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(routine));
}

// One call of a served program, answered once, now or later: a handler that
// waits keeps a copy. A call on a connection that has closed is answered
// into nothing.
class RpcCall
{
public:
    std::uint32_t procedure = 0;
    QString peer;               // "127.0.0.1:812"
    std::uintptr_t connection = 0;  // the TCP connection it came on; 0 on UDP

    template <typename T>
    bool Arguments(XdrRoutine<T> decode, T* out) const
    {
        return DecodeArguments(AsXdrProc(decode), out);
    }
    template <typename T>
    void Reply(XdrRoutine<T> encode, const T& result) const
    {
        SendReply(AsXdrProc(encode), const_cast<T*>(&result));
    }
    void ReplyVoid() const;
    // PROC_UNAVAIL, GARBAGE_ARGS, SYSTEM_ERR.
    void Fail(accept_stat why) const;

private:
    friend class RpcServer;
    struct Channel;

    bool DecodeArguments(xdrproc_t decode, void* out) const;
    void SendReply(xdrproc_t encode, void* result) const;

    std::uint32_t xid_ = 0;
    QByteArray arguments_;
    std::shared_ptr<Channel> channel_;
};

class RpcServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(const RpcCall&)>;

    // Longest call taken; a longer one closes its connection.
    static constexpr int kMaxRecord = 1024 * 1024;
    static constexpr int kMaxConnections = 32;

    explicit RpcServer(QObject* parent = nullptr);
    ~RpcServer() override;

    // Serves one version of `program`; other versions are told which one is.
    void Serve(std::uint32_t program, std::uint32_t version, Handler handler);
    // Listens on TCP, and on UDP when `udp`, on the same port (0: any free
    // one). False with the system's words when a socket cannot be bound.
    bool Listen(const QHostAddress& host, quint16 port, bool udp, QString* error = nullptr);
    quint16 Port() const;
    bool AddressInUse() const { return addressInUse_; }
    // Who may call: a peer it answers false for is turned away unheard
    // (a connection reset, a datagram dropped). Unset: anyone.
    void Admit(std::function<bool(const QHostAddress& peer)> admit) { admit_ = std::move(admit); }

signals:
    // A peer was turned away.
    void Refused(const QString& peer);
    // A TCP connection closed: its calls' replies go nowhere.
    void Closed(std::uintptr_t connection);

private:
    struct Connection;
    struct Program
    {
        std::uint32_t version;
        Handler handler;
    };

    void Accept();
    void Read(const std::shared_ptr<Connection>& connection);
    void ReadDatagrams();
    void Dispatch(const QByteArray& record, std::shared_ptr<RpcCall::Channel> channel, const QString& peer,
                  std::uintptr_t connection);
    void Forget(QTcpSocket* socket);

    QTcpServer* tcp_;
    QUdpSocket* udp_ = nullptr;
    bool addressInUse_ = false;
    std::function<bool(const QHostAddress&)> admit_;
    std::map<std::uint32_t, Program> programs_;
    std::map<QTcpSocket*, std::shared_ptr<Connection>> connections_;
};


// For a client: the header of a call without credentials, and a reply's
// results decoded (true when the call was accepted and succeeded).
rpc_msg CallHeader(std::uint32_t xid, rpcprog_t program, rpcvers_t version, rpcproc_t procedure);
bool DecodeReply(char* data, u_int size, xdrproc_t decode, void* result, std::uint32_t* xid = nullptr);
