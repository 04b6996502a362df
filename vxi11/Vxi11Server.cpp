#include "Vxi11Server.h"

#include "InterruptChannel.h"
#include "LinkSession.h"
#include "RpcServer.h"
#include "SwitchCore.h"
#include "vxi11.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;

// VXI-11 error codes.
constexpr long kNoError = 0;
constexpr long kNotAccessible = 3;
constexpr long kInvalidLink = 4;
constexpr long kNoChannel = 6;
constexpr long kNotSupported = 8;
constexpr long kOutOfResources = 9;
constexpr long kLockedByAnother = 11;
constexpr long kNoLockHeld = 12;
constexpr long kIoTimeout = 15;
constexpr long kAborted = 23;
constexpr long kChannelEstablished = 29;

// Operation flags, and the reasons a read ends.
constexpr long kWaitLock = 0x01;
constexpr long kEnd = 0x08;
constexpr long kTermCharSet = 0x80;
constexpr long kReasonRequestCount = 0x01;
constexpr long kReasonTermChar = 0x02;
constexpr long kReasonEnd = 0x04;

// The status byte's MSS: the link requests service.
constexpr std::uint8_t kMasterSummary = 1 << 6;

// A wait longer than this is taken in steps of it (a client may ask for days).
constexpr auto kLongestTimer = 1h;

const char* const kDeviceName = "inst0";

// Decodes a call's arguments, and frees what XDR allocated for them.
template <typename T>
struct Arguments
{
    XdrRoutine<T> routine;
    T value{};
    bool ok;

    Arguments(const RpcCall& call, XdrRoutine<T> decode) : routine(decode), ok(call.Arguments(decode, &value))
    {
        if (!ok)
            call.Fail(GARBAGE_ARGS);
    }
    ~Arguments() { xdr_free(AsXdrProc(routine), &value); }
};

void ReplyError(const RpcCall& call, long error)
{
    call.Reply(xdr_Device_Error, Device_Error{error});
}

} // namespace

struct Vxi11Server::Waiter
{
    std::function<Step()> step;
    std::function<void(long)> fail;
    QDeadlineTimer lockDeadline;
    QDeadlineTimer ioDeadline;
    QTimer timer;
    bool running = false;
    bool again = false;
};

struct Vxi11Server::Link
{
    Link(long id, const RpcCall& call, SwitchCore& core, Source source, const Identity& identity)
        : id(id), connection(call.connection), peer(call.peerAddress), session(core, std::move(source), identity)
    {
    }

    long id;
    std::uint64_t connection;
    QHostAddress peer;  // who made it: only an abort from there ends its wait
    LinkSession session;
    std::unique_ptr<Waiter> waiter;
    bool serviceRequests = false;  // device_enable_srq: told on the interrupt channel
    QByteArray handle;             // which the client gave to know the link by
    bool serviceRequested = false;  // MSS as last looked at
};

static_assert(Vxi11Server::kCoreProgram == DEVICE_CORE && Vxi11Server::kCoreVersion == DEVICE_CORE_VERSION);

namespace {

ConnectionPolicy ChannelPolicy(ConnectionPolicy policy)
{
    policy.maxConnections = Vxi11Server::kMaxConnections;
    return policy;
}

// An abort names a link and nothing more: a call's header, and that.
constexpr std::size_t kMaxAbortCall = 1024;

} // namespace

Vxi11Server::Vxi11Server(SwitchCore& core, Identity identity, ConnectionPolicy policy, QObject* parent)
    : Listener(parent), core_(core), identity_(std::move(identity)), policy_(policy),
      channel_(new RpcServer(QStringLiteral("VXI-11"), ChannelPolicy(policy), kMaxCall, this)),
      abort_(new RpcServer(QStringLiteral("VXI-11 abort channel"), ChannelPolicy(policy), kMaxAbortCall, this))
{
    channel_->Serve(DEVICE_CORE, DEVICE_CORE_VERSION, [this](const RpcCall& call) { Core(call); });
    abort_->Serve(DEVICE_ASYNC, DEVICE_ASYNC_VERSION, [this](const RpcCall& call) { Abort(call); });
    // A link ends with its connection, however that ends: closed, reset,
    // silent past --idle-timeout, or gone from the network (keepalive).
    connect(channel_, &RpcServer::Closed, this, &Vxi11Server::Drop);
    connect(channel_, &RpcServer::Refused, this, &Listener::Refused);
    connect(abort_, &RpcServer::Refused, this, &Listener::Refused);
    // A lock let go, or an answer that a read waits for: the waiting calls look again.
    connect(&core_, &SwitchCore::Changed, this, [this] {
        std::vector<long> waiting;
        for (const auto& [id, link] : links_) {
            // A condition of the switch may be what the link's *SRE asks for.
            ServiceRequest(*link);
            if (link->waiter)
                waiting.push_back(id);
        }
        for (const long id : waiting)
            if (const auto it = links_.find(id); it != links_.end())
                Retry(*it->second);
    });
}

Vxi11Server::~Vxi11Server()
{
    for (const auto& [id, link] : links_)
        core_.Unlock(link->session.Client());
}

bool Vxi11Server::Listen(const QHostAddress& host, QString* error)
{
    return channel_->Listen(host, channel_->Port(), false, error) && abort_->Listen(host, abort_->Port(), false, error);
}

bool Vxi11Server::ListenAt(const ListenPlace& place, QString* failure)
{
    for (const QHostAddress& host : place.hosts) {
        QString error;
        if (!Listen(host, &error)) {
            if (failure)
                *failure = QStringLiteral("VXI-11: %1: choose another address").arg(error);
            return false;
        }
    }
    return true;
}

quint16 Vxi11Server::Port() const
{
    return channel_->Port();
}

quint16 Vxi11Server::AbortPort() const
{
    return abort_->Port();
}

int Vxi11Server::ErrorsQueued() const
{
    int errors = 0;
    for (const auto& [id, link] : links_)
        errors += link->session.ErrorsQueued();
    return errors;
}

std::optional<ServerLoad> Vxi11Server::Load() const
{
    return ServerLoad{"vxi-11", Links(), ErrorsQueued()};
}

Listener::Words Vxi11Server::Started() const
{
    const QString port = QStringLiteral("VXI-11 on port %1").arg(Port());
    return {.line = QStringLiteral("%1: %2").arg(port, Resource(Place().ClientHost())),
            .exposure = port,
            .plain = port + QStringLiteral(" (--vxi11)")};
}

QString Vxi11Server::Resource(const QString& host) const
{
    return QStringLiteral("TCPIP0::%1::inst0::INSTR").arg(host);
}

std::size_t Vxi11Server::Held() const
{
    std::size_t held = channel_->Held() + abort_->Held();
    for (const auto& [connection, interrupt] : interrupts_)
        held += interrupt->Unsent();
    for (const auto& [id, link] : links_)
        held += link->session.Unread();
    return held;
}

Vxi11Server::Link* Vxi11Server::Find(const RpcCall& call, long id)
{
    // A link is its own client's: another connection cannot use or close it.
    const auto it = links_.find(id);
    return it != links_.end() && it->second->connection == call.connection ? it->second.get() : nullptr;
}

bool Vxi11Server::LockedOut(const Link& link) const
{
    return core_.LockedAgainst(link.session.Client());
}

void Vxi11Server::Core(const RpcCall& call)
{
    switch (call.procedure) {
    case 0:
        call.ReplyVoid();
        return;
    case create_link:
        CreateLink(call);
        return;
    case device_write: {
        Arguments<Device_WriteParms> in(call, xdr_Device_WriteParms);
        if (!in.ok)
            return;
        Link* link = Find(call, in.value.lid);
        if (!link) {
            call.Reply(xdr_Device_WriteResp, Device_WriteResp{kInvalidLink, 0});
            return;
        }
        const QByteArray data(in.value.data.data_val, static_cast<qsizetype>(in.value.data.data_len));
        const bool end = in.value.flags & kEnd;
        Attempt(*link, in.value.flags & kWaitLock ? in.value.lock_timeout : 0, in.value.io_timeout,
                [this, call, link, data, end] {
                    if (LockedOut(*link))
                        return Step::Locked;
                    // Commands run in the order sent.
                    if (link->session.Busy())
                        return Step::Busy;
                    link->session.Write(data, end);
                    ServiceRequest(*link);
                    call.Reply(xdr_Device_WriteResp, Device_WriteResp{kNoError, static_cast<u_long>(data.size())});
                    return Step::Done;
                },
                [call](long error) { call.Reply(xdr_Device_WriteResp, Device_WriteResp{error, 0}); });
        return;
    }
    case device_read: {
        Arguments<Device_ReadParms> in(call, xdr_Device_ReadParms);
        if (!in.ok)
            return;
        Link* link = Find(call, in.value.lid);
        const auto fail = [call](long error) {
            Device_ReadResp out{};
            out.error = error;
            call.Reply(xdr_Device_ReadResp, out);
        };
        if (!link) {
            fail(kInvalidLink);
            return;
        }
        const std::size_t size = in.value.requestSize;
        const std::optional<char> term = in.value.flags & kTermCharSet ? std::optional<char>(in.value.termChar) : std::nullopt;
        Attempt(*link, in.value.flags & kWaitLock ? in.value.lock_timeout : 0, in.value.io_timeout,
                [this, call, link, size, term, fail] {
                    if (LockedOut(*link))
                        return Step::Locked;
                    if (link->session.Unread() == 0) {
                        if (link->session.AnswerComing())
                            return Step::Busy;
                        // Nothing was asked: no answer will come, and waiting
                        // for io_timeout would only hold the client up.
                        fail(kIoTimeout);
                        return Step::Done;
                    }
                    LinkSession::Chunk chunk = link->session.Read(size, term);
                    Device_ReadResp out{};
                    out.reason = (chunk.end ? kReasonEnd : 0) | (chunk.term ? kReasonTermChar : 0)
                        | (static_cast<std::size_t>(chunk.data.size()) == size ? kReasonRequestCount : 0);
                    out.data.data_len = static_cast<u_int>(chunk.data.size());
                    out.data.data_val = chunk.data.data();
                    call.Reply(xdr_Device_ReadResp, out);
                    // MAV may have fallen: the next request is a new one.
                    ServiceRequest(*link);
                    return Step::Done;
                },
                fail);
        return;
    }
    case device_readstb:
    case device_clear:
    case device_remote:
    case device_local: {
        Arguments<Device_GenericParms> in(call, xdr_Device_GenericParms);
        if (!in.ok)
            return;
        Link* link = Find(call, in.value.lid);
        const auto fail = [call](long error) {
            if (call.procedure == device_readstb)
                call.Reply(xdr_Device_ReadStbResp, Device_ReadStbResp{error, 0});
            else
                ReplyError(call, error);
        };
        if (!link) {
            fail(kInvalidLink);
            return;
        }
        Attempt(*link, in.value.flags & kWaitLock ? in.value.lock_timeout : 0, 0,
                [this, call, link] {
                    if (LockedOut(*link))
                        return Step::Locked;
                    if (call.procedure == device_readstb) {
                        call.Reply(xdr_Device_ReadStbResp, Device_ReadStbResp{kNoError, link->session.StatusByte()});
                        return Step::Done;
                    }
                    // Remote and local change nothing here: the panel stays
                    // usable, as on most LAN instruments.
                    if (call.procedure == device_clear) {
                        link->session.Clear();
                        ServiceRequest(*link);
                    }
                    ReplyError(call, kNoError);
                    return Step::Done;
                },
                fail);
        return;
    }
    case device_lock: {
        Arguments<Device_LockParms> in(call, xdr_Device_LockParms);
        if (!in.ok)
            return;
        Link* link = Find(call, in.value.lid);
        if (!link) {
            ReplyError(call, kInvalidLink);
            return;
        }
        Attempt(*link, in.value.flags & kWaitLock ? in.value.lock_timeout : 0, 0,
                [this, call, link] {
                    if (!core_.Lock(link->session.Client()))
                        return Step::Locked;
                    ReplyError(call, kNoError);
                    return Step::Done;
                },
                [call](long error) { ReplyError(call, error); });
        return;
    }
    case device_unlock:
    case destroy_link: {
        Arguments<Device_Link> in(call, xdr_Device_Link);
        if (!in.ok)
            return;
        Link* link = Find(call, in.value);
        if (!link) {
            ReplyError(call, kInvalidLink);
        } else if (call.procedure == destroy_link) {
            DestroyLink(call, *link);
        } else if (!core_.LockHolder() || !core_.LockHolder()->SameClient(link->session.Client())) {
            ReplyError(call, kNoLockHeld);
        } else {
            core_.Unlock(link->session.Client());
            ReplyError(call, kNoError);
        }
        return;
    }
    case device_trigger:
        // The switch has nothing to trigger.
        ReplyError(call, kNotSupported);
        return;
    case device_enable_srq:
        EnableServiceRequest(call);
        return;
    case create_intr_chan:
        CreateInterrupt(call);
        return;
    case destroy_intr_chan:
        DestroyInterrupt(call);
        return;
    case device_docmd: {
        Device_DocmdResp out{};
        out.error = kNotSupported;
        call.Reply(xdr_Device_DocmdResp, out);
        return;
    }
    default:
        call.Fail(PROC_UNAVAIL);
    }
}

void Vxi11Server::CreateLink(const RpcCall& call)
{
    Arguments<Create_LinkParms> in(call, xdr_Create_LinkParms);
    if (!in.ok)
        return;
    const auto reply = [this, call](long error, long id) {
        call.Reply(xdr_Create_LinkResp, Create_LinkResp{error, id, abort_->Port(), kMaxReceive});
    };
    if (QString::fromLatin1(in.value.device ? in.value.device : "").compare(QLatin1String(kDeviceName), Qt::CaseInsensitive) != 0) {
        reply(kNotAccessible, 0);
        return;
    }
    // Half the links at most for one peer address, so that one cannot take them all.
    const auto peerLinks = std::count_if(links_.begin(), links_.end(), [&call](const auto& link) { return link.second->peer == call.peerAddress; });
    if (Links() >= kMaxLinks || peerLinks >= kMaxLinks / 2) {
        reply(kOutOfResources, 0);
        return;
    }
    const long id = nextLink_++;
    // Each link is a client of its own: its lock is not another link's.
    Source source = Source::Remote(QStringLiteral("vxi11:%1/link%2").arg(call.peer).arg(id).toStdString());
    auto owned = std::make_unique<Link>(id, call, core_, std::move(source), identity_);
    Link* link = owned.get();
    link->session.SetChanged([this, id] {
        if (const auto it = links_.find(id); it != links_.end()) {
            ServiceRequest(*it->second);
            Retry(*it->second);
        }
    });
    links_.emplace(id, std::move(owned));
    emit ClientsChanged(Links());
    if (!in.value.lockDevice) {
        reply(kNoError, id);
        return;
    }
    Attempt(*link, in.value.lock_timeout, 0,
            [this, link, reply] {
                if (!core_.Lock(link->session.Client()))
                    return Step::Locked;
                reply(kNoError, link->id);
                return Step::Done;
            },
            [this, id, reply](long error) {
                // A link that could not get the lock it asked for is not made.
                links_.erase(id);
                emit ClientsChanged(Links());
                reply(error, 0);
            });
}

void Vxi11Server::EnableServiceRequest(const RpcCall& call)
{
    Arguments<Device_EnableSrqParms> in(call, xdr_Device_EnableSrqParms);
    if (!in.ok)
        return;
    Link* link = Find(call, in.value.lid);
    if (!link) {
        ReplyError(call, kInvalidLink);
        return;
    }
    link->serviceRequests = in.value.enable;
    link->handle = QByteArray(in.value.handle.handle_val, qsizetype(in.value.handle.handle_len));
    ReplyError(call, kNoError);
}

void Vxi11Server::CreateInterrupt(const RpcCall& call)
{
    Arguments<Device_RemoteFunc> in(call, xdr_Device_RemoteFunc);
    if (!in.ok)
        return;
    if (interrupts_.contains(call.connection)) {
        ReplyError(call, kChannelEstablished);
        return;
    }
    // Only back to the client that asks: no client can have the switch
    // connect to another machine.
    const QHostAddress host(quint32(in.value.hostAddr));
    if (host != call.peerAddress) {
        emit Refused(call.peer, QStringLiteral("create_intr_chan names %1, not the address it came from").arg(host.toString()));
        ReplyError(call, kNoChannel);
        return;
    }
    if (in.value.progNum != DEVICE_INTR || in.value.progVers != DEVICE_INTR_VERSION || in.value.progFamily != DEVICE_TCP) {
        ReplyError(call, kNoChannel);
        return;
    }
    auto* channel = new InterruptChannel(host, in.value.hostPort, policy_.keepAlive, policy_.maxUnsent, this);
    interrupts_[call.connection] = channel;
    connect(channel, &InterruptChannel::Closed, this, [this, channel, connection = call.connection] {
        if (const auto it = interrupts_.find(connection); it != interrupts_.end() && it->second == channel)
            interrupts_.erase(it);
        channel->deleteLater();
    });
    // Answered once connected: the client's next call waits, nothing else does.
    channel->Open([call](bool open) { ReplyError(call, open ? kNoError : kNoChannel); });
}

void Vxi11Server::DestroyInterrupt(const RpcCall& call)
{
    const auto it = interrupts_.find(call.connection);
    if (it == interrupts_.end()) {
        ReplyError(call, kNoChannel);
        return;
    }
    it->second->Close();
    ReplyError(call, kNoError);
}

void Vxi11Server::ServiceRequest(Link& link)
{
    const bool requested = link.session.StatusByte() & kMasterSummary;
    const bool was = std::exchange(link.serviceRequested, requested);
    if (!requested || was || !link.serviceRequests)
        return;
    if (const auto it = interrupts_.find(link.connection); it != interrupts_.end())
        it->second->Raise(link.handle);
}

void Vxi11Server::DestroyLink(const RpcCall& call, Link& link)
{
    core_.Unlock(link.session.Client());
    links_.erase(link.id);
    emit ClientsChanged(Links());
    ReplyError(call, kNoError);
}

void Vxi11Server::Abort(const RpcCall& call)
{
    if (call.procedure == 0) {
        call.ReplyVoid();
        return;
    }
    if (call.procedure != device_abort) {
        call.Fail(PROC_UNAVAIL);
        return;
    }
    Arguments<Device_Link> in(call, xdr_Device_Link);
    if (!in.ok)
        return;
    // Link ids are easily guessed: only the client that made the link, by
    // its address, may end its wait.
    const auto it = links_.find(in.value);
    if (it == links_.end() || it->second->peer != call.peerAddress) {
        ReplyError(call, kInvalidLink);
        return;
    }
    // The call the link waits in ends with "aborted"; the abort itself succeeds.
    if (std::unique_ptr<Waiter> waiter = std::move(it->second->waiter))
        waiter->fail(kAborted);
    ReplyError(call, kNoError);
}

void Vxi11Server::Attempt(Link& link, unsigned long lockTimeout, unsigned long ioTimeout, std::function<Step()> step,
                          std::function<void(long)> fail)
{
    // Most calls are answered at once, without a waiter.
    if (step() == Step::Done)
        return;
    auto waiter = std::make_unique<Waiter>();
    waiter->step = std::move(step);
    waiter->fail = std::move(fail);
    waiter->lockDeadline.setRemainingTime(std::chrono::milliseconds(lockTimeout));
    waiter->ioDeadline.setRemainingTime(std::chrono::milliseconds(ioTimeout));
    waiter->timer.setSingleShot(true);
    connect(&waiter->timer, &QTimer::timeout, this, [this, id = link.id] {
        if (const auto it = links_.find(id); it != links_.end())
            Retry(*it->second);
    });
    link.waiter = std::move(waiter);
    Retry(link);
}

void Vxi11Server::Retry(Link& link)
{
    Waiter* waiter = link.waiter.get();
    if (!waiter)
        return;
    // A step that writes to the session may bring its answers at once: that
    // is looked at once the step has returned.
    if (waiter->running) {
        waiter->again = true;
        return;
    }
    Step result;
    do {
        waiter->again = false;
        waiter->running = true;
        result = waiter->step();
        waiter->running = false;
    } while (result != Step::Done && waiter->again);
    if (result == Step::Done) {
        link.waiter.reset();
        return;
    }
    const QDeadlineTimer& deadline = result == Step::Locked ? waiter->lockDeadline : waiter->ioDeadline;
    if (deadline.hasExpired()) {
        const std::unique_ptr<Waiter> expired = std::move(link.waiter);
        expired->fail(result == Step::Locked ? kLockedByAnother : kIoTimeout);
        return;
    }
    waiter->timer.start(
        std::min<std::chrono::milliseconds>(std::chrono::ceil<std::chrono::milliseconds>(deadline.remainingTimeAsDuration()), kLongestTimer));
}

void Vxi11Server::Drop(std::uint64_t connection)
{
    bool dropped = false;
    for (auto it = links_.begin(); it != links_.end();) {
        if (it->second->connection != connection) {
            ++it;
            continue;
        }
        // A client that goes lets go of its lock.
        core_.Unlock(it->second->session.Client());
        it = links_.erase(it);
        dropped = true;
    }
    if (dropped)
        emit ClientsChanged(Links());
    // Its interrupt channel goes with it.
    if (const auto it = interrupts_.find(connection); it != interrupts_.end())
        it->second->Close();
}
