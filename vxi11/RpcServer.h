#pragma once

// ONC RPC (version 2) on the listener and connections every server shares:
// calls come in through the event loop and may be answered later, so that a
// call that waits for the switch, a lock or an answer holds up nothing
// else. The message formats and the XDR routines are libtirpc's; its own
// server loop is not used, since it must answer inside the call.

#include "ConnectionPolicy.h"
#include "TurnShare.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class Connection;
class Door;
class QUdpSocket;
class RpcStream;

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
    QString peer;                  // "127.0.0.1:812"
    QHostAddress peerAddress;      // an IPv4 peer of a dual-stack socket as IPv4
    std::uint64_t connection = 0;  // the TCP connection it came on; 0 on UDP

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
    friend class RpcStream;
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

    // `protocol` names it in refusals; the policy holds for TCP and UDP
    // alike; a call longer than `maxRecord` bytes closes its connection (a
    // datagram longer is dropped).
    RpcServer(QString protocol, ConnectionPolicy policy, std::size_t maxRecord, QObject* parent = nullptr);
    ~RpcServer() override;

    // Serves one version of `program`; other versions are told which one is.
    void Serve(std::uint32_t program, std::uint32_t version, Handler handler);
    // Listens on TCP, and on UDP when `udp`, on the same port (0: any free
    // one); again for each further address. False with the system's words
    // when a socket cannot be bound.
    bool Listen(const QHostAddress& host, quint16 port, bool udp, QString* error = nullptr);
    quint16 Port() const;
    int Connections() const;
    // Bytes kept for its connections now: calls received and not yet taken,
    // replies the peers have not taken yet.
    std::size_t Held() const;

signals:
    // A peer was turned away, or a connection closed by the policy.
    void Refused(const QString& peer, const QString& why);
    // A TCP connection closed: its calls' replies go nowhere. Told once the
    // event loop is back, never inside a reply being sent.
    void Closed(std::uint64_t connection);

private:
    friend class RpcStream;
    struct Program
    {
        std::uint32_t version;
        Handler handler;
    };

    void Open(Connection* connection);
    void ReadDatagrams();
    // Runs one call; false when nothing will answer it (not a call).
    bool Dispatch(std::string_view record, RpcCall call, std::shared_ptr<RpcCall::Channel> channel);

    ConnectionPolicy policy_;
    std::size_t maxRecord_;
    Door* door_;
    std::vector<QUdpSocket*> udp_;
    TurnShare datagramShare_;
    bool datagramsLater_ = false;
    std::map<std::uint32_t, Program> programs_;
    std::set<const RpcStream*> streams_;
    std::uint64_t nextConnection_ = 1;
};


// For a client: the header of a call without credentials, and a reply's
// results decoded (true when the call was accepted and succeeded).
rpc_msg CallHeader(std::uint32_t xid, rpcprog_t program, rpcvers_t version, rpcproc_t procedure);
// A call as one record on a stream, its arguments encoded by `encode`;
// empty where they do not encode.
QByteArray CallRecord(rpc_msg call, xdrproc_t encode, void* arguments);
bool DecodeReply(char* data, u_int size, xdrproc_t decode, void* result, std::uint32_t* xid = nullptr);
