#include "RpcServer.h"
#include "NetAddress.h"

#include <QNetworkDatagram>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtEndian>

#include <utility>

namespace {

constexpr std::uint32_t kRpcVersion = 2;
// Record marking: the high bit of a fragment's length says it is the last.
constexpr quint32 kLastFragment = 0x80000000u;
constexpr int kMaxDatagram = 9000;

// Encodes a reply; `low`/`high` only for PROG_MISMATCH.
QByteArray EncodeReply(rpc_msg& reply)
{
    QByteArray out(static_cast<qsizetype>(xdr_sizeof(AsXdrProc(xdr_replymsg), &reply)), '\0');
    XDR xdrs;
    xdrmem_create(&xdrs, out.data(), static_cast<u_int>(out.size()), XDR_ENCODE);
    const bool encoded = xdr_replymsg(&xdrs, &reply);
    out.resize(encoded ? static_cast<qsizetype>(xdr_getpos(&xdrs)) : 0);
    xdr_destroy(&xdrs);
    return out;
}

rpc_msg AcceptedReply(std::uint32_t xid, accept_stat status)
{
    rpc_msg reply{};
    reply.rm_xid = xid;
    reply.rm_direction = REPLY;
    reply.rm_reply.rp_stat = MSG_ACCEPTED;
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_stat = status;
    reply.acpted_rply.ar_results.where = nullptr;
    reply.acpted_rply.ar_results.proc = AsXdrProc(xdr_void);
    return reply;
}

} // namespace

rpc_msg CallHeader(std::uint32_t xid, rpcprog_t program, rpcvers_t version, rpcproc_t procedure)
{
    rpc_msg call{};
    call.rm_xid = xid;
    call.rm_direction = CALL;
    call.rm_call.cb_rpcvers = kRpcVersion;
    call.rm_call.cb_prog = program;
    call.rm_call.cb_vers = version;
    call.rm_call.cb_proc = procedure;
    call.rm_call.cb_cred = _null_auth;
    call.rm_call.cb_verf = _null_auth;
    return call;
}

bool DecodeReply(char* data, u_int size, xdrproc_t decode, void* result, std::uint32_t* xid)
{
    rpc_msg reply{};
    reply.acpted_rply.ar_verf = _null_auth;
    reply.acpted_rply.ar_results.where = static_cast<caddr_t>(result);
    reply.acpted_rply.ar_results.proc = decode;
    XDR xdrs;
    xdrmem_create(&xdrs, data, size, XDR_DECODE);
    const bool decoded = xdr_replymsg(&xdrs, &reply);
    xdr_destroy(&xdrs);
    if (xid)
        *xid = decoded ? reply.rm_xid : 0;
    return decoded && reply.rm_reply.rp_stat == MSG_ACCEPTED && reply.acpted_rply.ar_stat == SUCCESS;
}

struct RpcCall::Channel
{
    std::function<void(const QByteArray&)> send;
    bool answered = false;
};

bool RpcCall::DecodeArguments(xdrproc_t decode, void* out) const
{
    XDR xdrs;
    xdrmem_create(&xdrs, const_cast<char*>(arguments_.constData()), static_cast<u_int>(arguments_.size()), XDR_DECODE);
    const bool decoded = decode(&xdrs, out, 0);
    xdr_destroy(&xdrs);
    return decoded;
}

void RpcCall::SendReply(xdrproc_t encode, void* result) const
{
    if (!channel_ || std::exchange(channel_->answered, true))
        return;
    rpc_msg reply = AcceptedReply(xid_, SUCCESS);
    reply.acpted_rply.ar_results.where = static_cast<caddr_t>(result);
    reply.acpted_rply.ar_results.proc = encode;
    channel_->send(EncodeReply(reply));
}

void RpcCall::ReplyVoid() const
{
    SendReply(AsXdrProc(xdr_void), nullptr);
}

void RpcCall::Fail(accept_stat why) const
{
    if (!channel_ || std::exchange(channel_->answered, true))
        return;
    rpc_msg reply = AcceptedReply(xid_, why);
    channel_->send(EncodeReply(reply));
}

struct RpcServer::Connection
{
    QTcpSocket* socket = nullptr;
    QString peer;
    QByteArray record;  // the fragments read so far of the call coming in
    bool busy = false;  // a call waits for its reply: the next ones wait for it
    bool reading = false;  // inside a call's handler
    bool gone = false;
};

RpcServer::RpcServer(QObject* parent) : QObject(parent), tcp_(new QTcpServer(this))
{
    connect(tcp_, &QTcpServer::newConnection, this, &RpcServer::Accept);
}

RpcServer::~RpcServer()
{
    for (const auto& [socket, connection] : connections_)
        socket->disconnect(this);
}

void RpcServer::Serve(std::uint32_t program, std::uint32_t version, Handler handler)
{
    programs_[program] = {version, std::move(handler)};
}

bool RpcServer::Listen(const QHostAddress& host, quint16 port, bool udp, QString* error)
{
    const auto fail = [this, error](const QAbstractSocket& socket) {
        addressInUse_ = socket.error() == QAbstractSocket::AddressInUseError;
        if (error)
            *error = socket.errorString();
        tcp_->close();
        return false;
    };
    if (!tcp_->listen(host, port)) {
        addressInUse_ = tcp_->serverError() == QAbstractSocket::AddressInUseError;
        if (error)
            *error = tcp_->errorString();
        return false;
    }
    if (!udp)
        return true;
    udp_ = new QUdpSocket(this);
    // Not shared: another port mapper on this port means this one stays out.
    if (!udp_->bind(host, tcp_->serverPort(), QAbstractSocket::DontShareAddress))
        return fail(*udp_);
    connect(udp_, &QUdpSocket::readyRead, this, &RpcServer::ReadDatagrams);
    return true;
}

quint16 RpcServer::Port() const
{
    return tcp_->serverPort();
}

void RpcServer::Accept()
{
    while (QTcpSocket* socket = tcp_->nextPendingConnection()) {
        const bool admitted = !admit_ || admit_(socket->peerAddress());
        if (connections_.size() >= kMaxConnections || !admitted) {
            if (!admitted)
                emit Refused(PeerText(socket->peerAddress(), socket->peerPort()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // A record larger than this closes the connection; below it, a
        // fragment always fits and unread bytes stay with the system.
        socket->setReadBufferSize(kMaxRecord + 8);
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        connection->peer = PeerText(socket->peerAddress(), socket->peerPort());
        connections_.emplace(socket, connection);
        const std::weak_ptr<Connection> weak = connection;
        connect(socket, &QTcpSocket::readyRead, this, [this, weak] {
            if (const auto c = weak.lock())
                Read(c);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Forget(socket); });
        Read(connection);
    }
}

void RpcServer::Read(const std::shared_ptr<Connection>& connection)
{
    QTcpSocket* socket = connection->socket;
    while (!connection->busy && !connection->gone) {
        char head[4];
        if (socket->peek(head, sizeof head) < qint64(sizeof head))
            return;
        const quint32 mark = qFromBigEndian<quint32>(head);
        const qint64 length = mark & ~kLastFragment;
        if (connection->record.size() + length > kMaxRecord) {
            socket->abort();
            return;
        }
        if (socket->bytesAvailable() < qint64(sizeof head) + length)
            return;
        socket->skip(sizeof head);
        connection->record += socket->read(length);
        if (!(mark & kLastFragment))
            continue;
        const QByteArray record = std::exchange(connection->record, {});
        auto channel = std::make_shared<RpcCall::Channel>();
        const std::weak_ptr<Connection> weak = connection;
        channel->send = [this, weak](const QByteArray& reply) {
            const auto c = weak.lock();
            if (!c || c->gone)
                return;
            QByteArray mark(4, '\0');
            qToBigEndian<quint32>(kLastFragment | quint32(reply.size()), mark.data());
            c->socket->write(mark + reply);
            // Out now rather than on the next turn of the event loop: a
            // client's next call waits for this one.
            c->socket->flush();
            c->busy = false;
            // A call answered later: the next one is taken once this one's
            // caller has returned (one answered at once, by the loop reading).
            if (!c->reading)
                QMetaObject::invokeMethod(this, [this, weak] {
                    if (const auto later = weak.lock())
                        Read(later);
                }, Qt::QueuedConnection);
        };
        connection->busy = true;
        connection->reading = true;
        Dispatch(record, channel, connection->peer, reinterpret_cast<std::uintptr_t>(connection.get()));
        connection->reading = false;
        // Not a call: nothing to answer, and the next is taken.
        if (!channel->answered && channel.use_count() == 1)
            connection->busy = false;
    }
}

void RpcServer::ReadDatagrams()
{
    while (udp_->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = udp_->receiveDatagram(kMaxDatagram);
        if (admit_ && !admit_(datagram.senderAddress()))
            continue;
        auto channel = std::make_shared<RpcCall::Channel>();
        channel->send = [udp = QPointer<QUdpSocket>(udp_), to = datagram.senderAddress(),
                         port = datagram.senderPort()](const QByteArray& reply) {
            if (udp)
                udp->writeDatagram(reply, to, port);
        };
        Dispatch(datagram.data(), std::move(channel), PeerText(datagram.senderAddress(), quint16(datagram.senderPort())), 0);
    }
}

void RpcServer::Dispatch(const QByteArray& record, std::shared_ptr<RpcCall::Channel> channel, const QString& peer,
                         std::uintptr_t connection)
{
    XDR xdrs;
    xdrmem_create(&xdrs, const_cast<char*>(record.constData()), static_cast<u_int>(record.size()), XDR_DECODE);
    rpc_msg message{};
    char credentials[2 * MAX_AUTH_BYTES];
    message.rm_call.cb_cred.oa_base = credentials;
    message.rm_call.cb_verf.oa_base = credentials + MAX_AUTH_BYTES;
    const bool decoded = xdr_callmsg(&xdrs, &message) && message.rm_direction == CALL;
    const u_int at = xdr_getpos(&xdrs);
    xdr_destroy(&xdrs);
    if (!decoded)
        return;

    RpcCall call;
    call.procedure = static_cast<std::uint32_t>(message.rm_call.cb_proc);
    call.peer = peer;
    call.connection = connection;
    call.xid_ = message.rm_xid;
    call.arguments_ = record.mid(at);
    call.channel_ = std::move(channel);

    if (message.rm_call.cb_rpcvers != kRpcVersion) {
        rpc_msg reply{};
        reply.rm_xid = message.rm_xid;
        reply.rm_direction = REPLY;
        reply.rm_reply.rp_stat = MSG_DENIED;
        reply.rjcted_rply.rj_stat = RPC_MISMATCH;
        reply.rjcted_rply.rj_vers.low = kRpcVersion;
        reply.rjcted_rply.rj_vers.high = kRpcVersion;
        call.channel_->answered = true;
        call.channel_->send(EncodeReply(reply));
        return;
    }
    const auto program = programs_.find(static_cast<std::uint32_t>(message.rm_call.cb_prog));
    if (program == programs_.end()) {
        call.Fail(PROG_UNAVAIL);
        return;
    }
    if (message.rm_call.cb_vers != program->second.version) {
        rpc_msg reply = AcceptedReply(message.rm_xid, PROG_MISMATCH);
        reply.acpted_rply.ar_vers.low = program->second.version;
        reply.acpted_rply.ar_vers.high = program->second.version;
        call.channel_->answered = true;
        call.channel_->send(EncodeReply(reply));
        return;
    }
    program->second.handler(call);
}

void RpcServer::Forget(QTcpSocket* socket)
{
    const auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    it->second->gone = true;
    const auto id = reinterpret_cast<std::uintptr_t>(it->second.get());
    connections_.erase(it);
    socket->disconnect(this);
    socket->deleteLater();
    // A socket may close inside a reply being sent: its links go once that is over.
    QMetaObject::invokeMethod(this, [this, id] { emit Closed(id); }, Qt::QueuedConnection);
}
