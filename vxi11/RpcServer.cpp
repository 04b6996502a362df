#include "RpcServer.h"

#include "Connection.h"
#include "Door.h"
#include "NetAddress.h"

#include <QNetworkDatagram>
#include <QPointer>
#include <QUdpSocket>
#include <QtEndian>

#include <optional>
#include <utility>

namespace {

constexpr std::uint32_t kRpcVersion = 2;
// Record marking: the high bit of a fragment's length says it is the last.
constexpr quint32 kLastFragment = 0x80000000u;
constexpr std::size_t kMark = 4;

// A reply encoded after room for its record mark, which a stream fills in
// and a datagram leaves out: no copy on the way out.
std::string EncodeReply(rpc_msg& reply)
{
    const u_int size = xdr_sizeof(AsXdrProc(xdr_replymsg), &reply);
    std::string out(kMark + size, '\0');
    XDR xdrs;
    xdrmem_create(&xdrs, out.data() + kMark, size, XDR_ENCODE);
    const bool encoded = xdr_replymsg(&xdrs, &reply);
    const u_int used = xdr_getpos(&xdrs);
    xdr_destroy(&xdrs);
    if (!encoded)
        return {};
    out.resize(kMark + used);
    qToBigEndian<quint32>(kLastFragment | used, out.data());
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

// The first words of a call: libtirpc decodes none of a call whose RPC
// version is not 2, which must still be told which version is served.
struct CallStart
{
    std::uint32_t xid = 0;
    std::uint32_t direction = 0;
    std::uint32_t rpcVersion = 0;
};

std::optional<CallStart> PeekCall(std::string_view record)
{
    if (record.size() < 3 * sizeof(quint32))
        return std::nullopt;
    return CallStart{qFromBigEndian<quint32>(record.data()), qFromBigEndian<quint32>(record.data() + 4),
                     qFromBigEndian<quint32>(record.data() + 8)};
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

QByteArray CallRecord(rpc_msg call, xdrproc_t encode, void* arguments)
{
    const auto size = xdr_sizeof(AsXdrProc(xdr_callmsg), &call) + xdr_sizeof(encode, arguments);
    QByteArray out(static_cast<qsizetype>(kMark + size), '\0');
    XDR xdrs;
    xdrmem_create(&xdrs, out.data() + kMark, static_cast<u_int>(size), XDR_ENCODE);
    const bool encoded = xdr_callmsg(&xdrs, &call) && encode(&xdrs, arguments, 0);
    xdr_destroy(&xdrs);
    qToBigEndian<quint32>(kLastFragment | quint32(size), out.data());
    return encoded ? out : QByteArray();
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
    QPointer<RpcStream> stream;  // TCP
    QPointer<QUdpSocket> udp;    // UDP, and where to
    QHostAddress to;
    quint16 port = 0;
    bool answered = false;

    void Send(const std::string& reply) const;
};

// One TCP connection's calls, taken one at a time: the next is read once
// the last is answered and the peer has taken enough of the replies, so
// that what is kept for a peer stays bounded whatever it sends.
class RpcStream final : public QObject
{
public:
    RpcStream(RpcServer& server, Connection& connection, std::uint64_t id)
        : QObject(&connection), server_(server), connection_(connection), id_(id)
    {
        server_.streams_.insert(this);
        connection.SetReceiver([this](std::string_view bytes) {
            input_.append(bytes);
            Take();
        });
        connection.SetResume([this] { Take(); });
        // Replies were held up by a peer that did not read: once it has,
        // the next call is taken, from the event loop.
        connect(&connection, &Connection::Drained, this, [this] {
            if (outputFull_)
                QMetaObject::invokeMethod(this, &RpcStream::Take, Qt::QueuedConnection);
        });
        // A client that has stopped sending gets the replies of what it sent.
        connect(&connection, &Connection::PeerClosed, this, &RpcStream::FinishIfDone);
        connect(&connection, &Connection::Closed, this, [this] {
            QMetaObject::invokeMethod(&server_, [server = &server_, id = id_] { emit server->Closed(id); },
                                      Qt::QueuedConnection);
        });
    }
    ~RpcStream() override { server_.streams_.erase(this); }

    std::size_t Held() const { return input_.size() + record_.size() + connection_.Unsent(); }

    void Reply(std::string_view reply)
    {
        connection_.Send(reply);
        waiting_ = false;
        // Answered later, from another call's or the switch's frame: the next
        // call is taken once that frame has returned.
        if (!taking_)
            QMetaObject::invokeMethod(this, &RpcStream::Take, Qt::QueuedConnection);
    }

private:
    void Take()
    {
        if (taking_)
            return;
        taking_ = true;
        std::size_t at = 0;
        for (;;) {
            outputFull_ = connection_.Unsent() > server_.policy_.maxUnsent;
            if (waiting_ || outputFull_ || !connection_.Open() || input_.size() - at < kMark || !connection_.Spend())
                break;
            const quint32 mark = qFromBigEndian<quint32>(input_.data() + at);
            const std::size_t length = mark & ~kLastFragment;
            if (record_.size() + length > server_.maxRecord_) {
                const QString why = QStringLiteral("a call longer than %1 bytes").arg(server_.maxRecord_);
                emit server_.Refused(connection_.PeerText(), why);
                connection_.Abort(why);
                break;
            }
            if (input_.size() - at - kMark < length)
                break;
            const std::string_view fragment(input_.data() + at + kMark, length);
            at += kMark + length;
            if (!(mark & kLastFragment)) {
                record_.append(fragment);
                continue;
            }
            RpcCall call;
            call.peer = connection_.PeerText();
            call.peerAddress = connection_.PeerAddress();
            call.connection = id_;
            auto channel = std::make_shared<RpcCall::Channel>();
            channel->stream = this;
            waiting_ = true;
            if (record_.empty()) {
                waiting_ = server_.Dispatch(fragment, std::move(call), std::move(channel)) && waiting_;
            } else {
                record_.append(fragment);
                const std::string record = std::exchange(record_, {});
                waiting_ = server_.Dispatch(record, std::move(call), std::move(channel)) && waiting_;
            }
        }
        input_.erase(0, at);
        taking_ = false;
        // Whatever comes meanwhile stays with the connection, which reads
        // only a little ahead.
        const bool hold = waiting_ || outputFull_;
        if (hold != held_) {
            held_ = hold;
            connection_.Hold(hold);
        }
        FinishIfDone();
    }

    void FinishIfDone()
    {
        // What is left unread then is a call cut short: it cannot end now.
        if (!waiting_ && !outputFull_ && connection_.PeerFinished())
            connection_.Finish(QStringLiteral("the client closed"));
    }

    RpcServer& server_;
    Connection& connection_;
    std::uint64_t id_;
    std::string input_;   // received, not taken yet
    std::string record_;  // the fragments so far of a call sent in several
    bool waiting_ = false;     // a call waits for its reply
    bool outputFull_ = false;  // the peer has not taken enough of the replies
    bool taking_ = false;
    bool held_ = false;
};

void RpcCall::Channel::Send(const std::string& reply) const
{
    if (reply.empty())
        return;
    if (stream)
        stream->Reply(reply);
    else if (udp)
        udp->writeDatagram(reply.data() + kMark, static_cast<qint64>(reply.size() - kMark), to, port);
}

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
    channel_->Send(EncodeReply(reply));
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
    channel_->Send(EncodeReply(reply));
}

RpcServer::RpcServer(QString protocol, ConnectionPolicy policy, std::size_t maxRecord, QObject* parent)
    : QObject(parent), policy_(policy), maxRecord_(maxRecord), door_(new Door(std::move(protocol), std::move(policy), this)),
      datagramShare_(policy_.turnShare)
{
    connect(door_, &Door::Opened, this, &RpcServer::Open);
    connect(door_, &Door::Refused, this, &RpcServer::Refused);
}

RpcServer::~RpcServer()
{
    // The connections, and with them their streams, go while the server
    // they report to is still whole.
    delete door_;
}

void RpcServer::Serve(std::uint32_t program, std::uint32_t version, Handler handler)
{
    programs_[program] = {version, std::move(handler)};
}

bool RpcServer::Listen(const QHostAddress& host, quint16 port, bool udp, QString* error)
{
    if (!door_->Listen({host, port}, error))
        return false;
    if (!udp)
        return true;
    auto* socket = new QUdpSocket(this);
    // Not shared: another port mapper on this port means this one stays out.
    if (!socket->bind(host, door_->Port(), QAbstractSocket::DontShareAddress)) {
        if (error)
            *error = ListenFailure(host, door_->Port(), socket->error(), socket->errorString());
        delete socket;
        return false;
    }
    udp_.push_back(socket);
    connect(socket, &QUdpSocket::readyRead, this, &RpcServer::ReadDatagrams);
    return true;
}

quint16 RpcServer::Port() const
{
    return door_->Port();
}

int RpcServer::Connections() const
{
    return door_->Connections();
}

std::size_t RpcServer::Held() const
{
    std::size_t held = 0;
    for (const RpcStream* stream : streams_)
        held += stream->Held();
    return held;
}

void RpcServer::Open(Connection* connection)
{
    new RpcStream(*this, *connection, nextConnection_++);
}

void RpcServer::ReadDatagrams()
{
    for (QUdpSocket* udp : udp_)
        while (udp->hasPendingDatagrams()) {
            // The rest waits for the next turn: a flood of datagrams keeps no
            // other client waiting.
            if (!datagramShare_.Take()) {
                if (!std::exchange(datagramsLater_, true))
                    QMetaObject::invokeMethod(this, [this] {
                        datagramsLater_ = false;
                        datagramShare_.Renew();
                        ReadDatagrams();
                    }, Qt::QueuedConnection);
                return;
            }
            const bool tooLong = udp->pendingDatagramSize() > qint64(maxRecord_);
            const QNetworkDatagram datagram = udp->receiveDatagram(qint64(maxRecord_));
            const QHostAddress peer = Unmapped(datagram.senderAddress());
            // Dropped unheard: nothing goes back to a peer --allow does not let in.
            if (tooLong || !policy_.allow.Admits(peer))
                continue;
            RpcCall call;
            call.peer = PeerText(peer, quint16(datagram.senderPort()));
            call.peerAddress = peer;
            auto channel = std::make_shared<RpcCall::Channel>();
            channel->udp = udp;
            channel->to = datagram.senderAddress();
            channel->port = quint16(datagram.senderPort());
            const QByteArray data = datagram.data();
            Dispatch(std::string_view(data.constData(), std::size_t(data.size())), std::move(call), std::move(channel));
        }
}

bool RpcServer::Dispatch(std::string_view record, RpcCall call, std::shared_ptr<RpcCall::Channel> channel)
{
    const std::optional<CallStart> start = PeekCall(record);
    if (!start || start->direction != CALL)
        return false;
    if (start->rpcVersion != kRpcVersion) {
        rpc_msg reply{};
        reply.rm_xid = start->xid;
        reply.rm_direction = REPLY;
        reply.rm_reply.rp_stat = MSG_DENIED;
        reply.rjcted_rply.rj_stat = RPC_MISMATCH;
        reply.rjcted_rply.rj_vers.low = kRpcVersion;
        reply.rjcted_rply.rj_vers.high = kRpcVersion;
        channel->answered = true;
        channel->Send(EncodeReply(reply));
        return true;
    }

    XDR xdrs;
    xdrmem_create(&xdrs, const_cast<char*>(record.data()), static_cast<u_int>(record.size()), XDR_DECODE);
    rpc_msg message{};
    char credentials[2 * MAX_AUTH_BYTES];
    message.rm_call.cb_cred.oa_base = credentials;
    message.rm_call.cb_verf.oa_base = credentials + MAX_AUTH_BYTES;
    const bool decoded = xdr_callmsg(&xdrs, &message);
    const u_int at = xdr_getpos(&xdrs);
    xdr_destroy(&xdrs);
    if (!decoded)
        return false;

    call.procedure = static_cast<std::uint32_t>(message.rm_call.cb_proc);
    call.xid_ = message.rm_xid;
    call.arguments_ = QByteArray(record.data() + at, qsizetype(record.size() - at));
    call.channel_ = channel;

    const auto program = programs_.find(static_cast<std::uint32_t>(message.rm_call.cb_prog));
    if (program == programs_.end()) {
        call.Fail(PROG_UNAVAIL);
        return true;
    }
    if (message.rm_call.cb_vers != program->second.version) {
        rpc_msg reply = AcceptedReply(message.rm_xid, PROG_MISMATCH);
        reply.acpted_rply.ar_vers.low = program->second.version;
        reply.acpted_rply.ar_vers.high = program->second.version;
        channel->answered = true;
        channel->Send(EncodeReply(reply));
        return true;
    }
    program->second.handler(call);
    // A handler that neither answered nor kept the call leaves nothing to wait for.
    call.channel_.reset();
    return channel->answered || channel.use_count() > 1;
}
