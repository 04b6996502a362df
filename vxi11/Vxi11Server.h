#pragma once

// VXI-11, the instrument protocol VISA libraries open as
// TCPIP0::host::inst0::INSTR: the core channel, on which each client link
// runs an SCPI session of its own on the switch core (as the raw socket's
// do), the abort channel, and the interrupt channel a client may open to
// itself, on which a link's service request reaches it. A VXI-11 lock is
// the switch core's lock.
// Calls that wait (a read before the answer is there, a lock another client
// holds) are answered later, from the event loop: nothing blocks the panel.

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "Listener.h"

#include <QHostAddress>

#include <cstdint>
#include <map>
#include <memory>

class InterruptChannel;
class RpcCall;
class RpcServer;
class SwitchCore;

class Vxi11Server : public Listener
{
    Q_OBJECT

public:
    // The core channel's program, as the port mapper names it.
    static constexpr std::uint32_t kCoreProgram = 0x0607AF;
    static constexpr std::uint32_t kCoreVersion = 1;
    // Links at once, half of them at most from one peer address.
    static constexpr int kMaxLinks = 8;
    // Connections of each channel at once. Four times the links: a client
    // past the links is told so by create_link rather than reset, and
    // clients that reconnect before their old connection is seen to end
    // are served; still a small part of the descriptors the service may open.
    static constexpr int kMaxConnections = 32;
    // The largest write a client is told it may send at once.
    static constexpr std::uint32_t kMaxReceive = 64 * 1024;
    // The longest call a channel takes: the largest write, and a call's
    // header with the largest credentials RPC allows.
    static constexpr std::size_t kMaxCall = kMaxReceive + 1024;

    // The policy holds for both channels, each with kMaxConnections.
    Vxi11Server(SwitchCore& core, Identity identity, ConnectionPolicy policy, QObject* parent = nullptr);
    ~Vxi11Server() override;

    // The core and abort channels, each on a free TCP port of `host`; on a
    // further host, at the same ports.
    bool Listen(const QHostAddress& host, QString* error = nullptr);
    quint16 Port() const;
    quint16 AbortPort() const;
    int Links() const { return static_cast<int>(links_.size()); }
    // SCPI errors in the links' queues, summed.
    int ErrorsQueued() const;
    // Bytes kept for the clients now: calls not yet taken, replies not yet
    // sent, and answers not yet read.
    std::size_t Held() const;

    QString Protocol() const override { return QStringLiteral("vxi11"); }
    // After HiSLIP; announced by DNS-SD through its port mapper.
    int Preference() const override { return 2; }
    int Clients() const override { return Links(); }
    std::optional<ServerLoad> Load() const override;
    Words Started() const override;
    QString Resource(const QString& host) const override;

protected:
    // Its ports are free ones, the same on every address: only another
    // address can be chosen.
    bool ListenAt(const ListenPlace& place, QString* failure) override;

private:
    struct Link;
    struct Waiter;
    enum class Step
    {
        Done,    // answered
        Locked,  // another client holds the lock
        Busy,    // the session is not ready: nothing to read, or a command runs
    };

    void Core(const RpcCall& call);
    void Abort(const RpcCall& call);
    void CreateLink(const RpcCall& call);
    void EnableServiceRequest(const RpcCall& call);
    void CreateInterrupt(const RpcCall& call);
    void DestroyInterrupt(const RpcCall& call);
    // Calls the link's client on its interrupt channel where the link's
    // service request has just risen (MSS, as *SRE makes it) and it asked
    // to be told.
    void ServiceRequest(Link& link);
    void DestroyLink(const RpcCall& call, Link& link);
    Link* Find(const RpcCall& call, long id);
    bool LockedOut(const Link& link) const;
    // Runs `step` now and again whenever the switch or the link changes,
    // until it is Done or its time is up: `lockTimeout` while Locked, then
    // `ioTimeout` while Busy; `fail` answers with a VXI-11 error code.
    void Attempt(Link& link, unsigned long lockTimeout, unsigned long ioTimeout, std::function<Step()> step,
                 std::function<void(long)> fail);
    void Retry(Link& link);
    void Drop(std::uint64_t connection);

    SwitchCore& core_;
    Identity identity_;
    ConnectionPolicy policy_;
    RpcServer* channel_;
    RpcServer* abort_;
    std::map<long, std::unique_ptr<Link>> links_;
    // Each core channel connection's interrupt channel, once it asked for one.
    std::map<std::uint64_t, InterruptChannel*> interrupts_;
    long nextLink_ = 1;
};
