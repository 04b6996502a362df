#include "PortMapper.h"

#include "RpcServer.h"
#include "NetAddress.h"

#include <QLocalSocket>
#include <QStringList>
#include <QtEndian>

#include <rpc/pmap_prot.h>
#include <rpc/rpcb_prot.h>

#include <chrono>
#include <utility>

namespace {

using namespace std::chrono_literals;

// How long rpcbind may take to answer a registration.
constexpr auto kRpcbindTimeout = 3s;
constexpr std::uint32_t kUnsetXid = 1;
constexpr std::uint32_t kSetXid = 2;
// A lookup is a call's header and four numbers.
constexpr std::size_t kMaxCall = 1024;

// "0.0.0.0.19.137": rpcbind's universal address of an IPv4 host and port.
QByteArray UniversalAddress(const QHostAddress& host, quint16 port)
{
    const QHostAddress ipv4 = host.protocol() == QAbstractSocket::IPv4Protocol ? host : QHostAddress(QHostAddress::AnyIPv4);
    return QStringLiteral("%1.%2.%3").arg(ipv4.toString()).arg(port >> 8).arg(port & 0xFF).toLatin1();
}

// One record-marked call to rpcbind (version 3) with a mapping as argument.
QByteArray RpcbindCall(std::uint32_t xid, rpcproc_t procedure, rpcb& mapping)
{
    return CallRecord(CallHeader(xid, RPCBPROG, RPCBVERS, procedure), AsXdrProc(xdr_rpcb), &mapping);
}

QByteArray MappingCall(std::uint32_t xid, rpcproc_t procedure, std::uint32_t program, std::uint32_t version,
                       const QHostAddress& host, quint16 port)
{
    QByteArray netid("tcp"), address = UniversalAddress(host, port), owner;
    rpcb mapping{program, version, netid.data(), address.data(), owner.data()};
    return RpcbindCall(xid, procedure, mapping);
}

} // namespace

PortMapper::PortMapper(ConnectionPolicy policy, std::uint32_t program, std::uint32_t version, quint16 port, QObject* parent)
    : PortMapper(std::move(policy), parent)
{
    program_ = program;
    version_ = version;
    port_ = port;
}

PortMapper::PortMapper(ConnectionPolicy policy, QObject* parent) : Listener(parent), policy_(std::move(policy))
{
    policy_.maxConnections = kMaxConnections;
    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        Settle(QStringLiteral("VXI-11: not registered: rpcbind did not answer; clients will not find the switch"));
    });
}

PortMapper::~PortMapper()
{
    if (!registered_)
        return;
    // Withdrawn so that nobody is sent to a port that no longer answers.
    QLocalSocket socket;
    socket.connectToServer(QString::fromLatin1(kRpcbindSocket));
    if (socket.state() == QLocalSocket::ConnectedState) {
        socket.write(MappingCall(kUnsetXid, RPCBPROC_UNSET, program_, version_, host_, port_));
        socket.flush();
    }
}

void PortMapper::Start(const std::vector<QHostAddress>& hosts, std::uint32_t program, std::uint32_t version, quint16 port,
                       quint16 mapperPort)
{
    host_ = hosts.front();
    program_ = program;
    version_ = version;
    port_ = port;
    own_ = new RpcServer(QStringLiteral("port mapper"), policy_, kMaxCall, this);
    connect(own_, &RpcServer::Refused, this, &Listener::Refused);
    own_->Serve(PMAPPROG, PMAPVERS, [this](const RpcCall& call) {
        switch (call.procedure) {
        case PMAPPROC_NULL:
            call.ReplyVoid();
            return;
        case PMAPPROC_GETPORT: {
            pmap asked{};
            if (!call.Arguments(xdr_pmap, &asked)) {
                call.Fail(GARBAGE_ARGS);
                return;
            }
            // As rpcbind does: a client that asks for another version finds
            // the program, and learns which version it serves from it.
            u_long port = asked.pm_prog == program_ && asked.pm_prot == IPPROTO_TCP ? port_ : 0;
            // rpcinfo -p asks for the port mapper's own TCP port first.
            if (asked.pm_prog == PMAPPROG && asked.pm_vers == PMAPVERS && (asked.pm_prot == IPPROTO_TCP || asked.pm_prot == IPPROTO_UDP))
                port = own_->Port();
            call.Reply(xdr_u_long, port);
            return;
        }
        case PMAPPROC_DUMP: {
            // What `rpcinfo -p` lists: the port mapper itself on both
            // protocols, and the program.
            const u_long own = own_->Port();
            pmaplist served{{program_, version_, IPPROTO_TCP, port_}, nullptr};
            pmaplist udp{{PMAPPROG, PMAPVERS, IPPROTO_UDP, own}, &served};
            pmaplist tcp{{PMAPPROG, PMAPVERS, IPPROTO_TCP, own}, &udp};
            pmaplist* list = &tcp;
            call.Reply(xdr_pmaplist, list);
            return;
        }
        default:
            call.Fail(PROC_UNAVAIL);
        }
    });
    QString error;
    QStringList places;
    for (const QHostAddress& host : hosts) {
        if (!own_->Listen(host, places.isEmpty() ? mapperPort : own_->Port(), true, &error))
            break;
        places << PeerText(host, own_->Port());
    }
    if (places.size() == qsizetype(hosts.size())) {
        Settle(QStringLiteral("VXI-11: no rpcbind runs; this program answers the port mapper on %1").arg(places.join(QStringLiteral(" and "))));
        return;
    }
    delete own_;
    own_ = nullptr;
    Register(error);
}

bool PortMapper::ListenAt(const ListenPlace& place, QString*)
{
    Start(place.hosts, program_, version_, port_, place.address.port);
    return true;
}

std::vector<ServiceOffer> PortMapper::Offers() const
{
    // VXI-11 clients start at the port mapper, which names the channel's port.
    std::vector<ServiceOffer> offers;
    for (const QHostAddress& host : Place().hosts)
        offers.push_back({QStringLiteral("_vxi-11._tcp"), host, Place().address.port, {}});
    return offers;
}

quint16 PortMapper::OwnPort() const
{
    return own_ ? own_->Port() : 0;
}

void PortMapper::Register(const QString& whyNotOwn)
{
    whyNotOwn_ = whyNotOwn;
    rpcbind_ = new QLocalSocket(this);
    connect(rpcbind_, &QLocalSocket::readyRead, this, &PortMapper::ReadRegistration);
    connect(rpcbind_, &QLocalSocket::errorOccurred, this, [this] {
        Settle(QStringLiteral("VXI-11: no port mapper: rpcbind is not running (%1), and port 111 cannot be answered "
                              "here (%2); start rpcbind so that VXI-11 clients find the switch")
                   .arg(rpcbind_->errorString(), whyNotOwn_));
    });
    connect(rpcbind_, &QLocalSocket::connected, this, [this] {
        // A registration left by a run that did not end cleanly goes first.
        rpcbind_->write(MappingCall(kUnsetXid, RPCBPROC_UNSET, program_, version_, host_, port_)
                        + MappingCall(kSetXid, RPCBPROC_SET, program_, version_, host_, port_));
    });
    timeout_.start(kRpcbindTimeout);
    rpcbind_->connectToServer(QString::fromLatin1(kRpcbindSocket));
}

void PortMapper::ReadRegistration()
{
    replies_ += rpcbind_->readAll();
    while (replies_.size() >= 4) {
        const quint32 length = qFromBigEndian<quint32>(replies_.constData()) & 0x7FFFFFFFu;
        if (replies_.size() < qsizetype(4 + length))
            return;
        QByteArray record = replies_.mid(4, length);
        replies_.remove(0, 4 + length);
        bool_t done = FALSE;
        std::uint32_t xid = 0;
        const bool accepted = DecodeReply(record.data(), static_cast<u_int>(record.size()), AsXdrProc(xdr_bool), &done, &xid);
        if (xid != kSetXid)
            continue;
        registered_ = accepted && done;
        Settle(registered_ ? QStringLiteral("VXI-11: registered with rpcbind")
                           : QStringLiteral("VXI-11: rpcbind refused the registration (another user's program holds "
                                            "it); VXI-11 clients will not find the switch"));
        rpcbind_->disconnectFromServer();
    }
}

void PortMapper::Settle(const QString& line)
{
    if (!line_.isEmpty())
        return;
    timeout_.stop();
    line_ = line;
    emit Said(line);
}
