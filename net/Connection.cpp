#include "Connection.h"

#include "NetAddress.h"
#include "Tls.h"

#include <QSocketNotifier>

#include <utility>

namespace {

// Taken from a socket at a time.
constexpr std::size_t kReadChunk = 16 * 1024;
// Read ahead while the protocol holds input back, so that a peer that
// resets or vanishes meanwhile is noticed at once.
constexpr std::size_t kMaxHeld = 64 * 1024;

QHostAddress Address(const std::string& text)
{
    return Unmapped(QHostAddress(QString::fromStdString(text)));
}

} // namespace

std::chrono::seconds KeepAliveFromEnvironment()
{
    bool set = false;
    const int seconds = qEnvironmentVariableIntValue("RFSWITCH_KEEPALIVE", &set);
    return std::chrono::seconds(set && seconds > 0 ? seconds : 120);
}

Connection::Connection(tcp::Handle socket, const ConnectionPolicy& policy, QObject* parent)
    : QObject(parent), socket_(socket), maxUnsent_(policy.maxUnsent), share_(policy.turnShare)
{
    std::uint16_t port = 0;
    peer_ = Address(tcp::PeerAddress(socket, port));
    peerPort_ = port;
    peerText_ = ::PeerText(peer_, peerPort_);
    local_ = Address(tcp::LocalAddress(socket, port));
    localPort_ = port;

    readable_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    writable_ = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
    writable_->setEnabled(false);
    connect(readable_.get(), &QSocketNotifier::activated, this, &Connection::Pump);
    connect(writable_.get(), &QSocketNotifier::activated, this, [this] {
        Flush();
        Pump();
    });
    if (policy.idleTimeout.count() > 0) {
        idle_.setSingleShot(true);
        idle_.setInterval(policy.idleTimeout);
        connect(&idle_, &QTimer::timeout, this, [this, seconds = policy.idleTimeout.count()] {
            enforced_ = true;
            Finish(QStringLiteral("nothing received for %1 s (--idle-timeout)").arg(seconds));
        });
        idle_.start();
    }
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        enforced_ = true;
        Abort(deadlineWhy_);
    });
}

Connection::~Connection()
{
    if (!closed_)
        tcp::Close(socket_, true);
}

void Connection::Hold(bool hold)
{
    held_ = hold;
    if (!hold)
        Pump();
    else
        UpdateNotifiers();
}

bool Connection::Spend()
{
    if (closed_)
        return false;
    if (share_.Take())
        return true;
    if (!std::exchange(yielded_, true)) {
        QMetaObject::invokeMethod(this, &Connection::Resume, Qt::QueuedConnection);
        UpdateNotifiers();
    }
    return false;
}

void Connection::Resume()
{
    yielded_ = false;
    if (closed_)
        return;
    share_.Renew();
    if (resume_) {
        const auto resume = resume_;
        resume();
    }
    if (!yielded_)
        Pump();
}

bool Connection::Reading() const
{
    // Held back, or inside its own receiver (a port operation that runs
    // the event loop), it reads ahead, so that a peer that resets or
    // vanishes meanwhile is noticed at once.
    const bool holding = held_ || depth_ > 0;
    // After the peer's close_notify the protocol says first whether plain
    // text follows.
    return !closed_ && !lost_ && !finishing_ && !peerFinished_ && !yielded_ && outbox_.size() < maxUnsent_ && !(tls_ && tls_->PeerClosed())
        && (!holding || heldInput_.size() < kMaxHeld);
}

void Connection::Pump()
{
    if (closed_)
        return;
    const bool outermost = depth_ == 0;
    ++depth_;
    char buffer[kReadChunk];
    // Bounded, one read a turn is given to the protocol: the notifier says
    // again on the next turn that there is more.
    bool given = false;
    for (;;) {
        if (given && share_.Bounded())
            break;
        if (outermost && !held_ && !yielded_ && !closed_ && !finishing_ && !heldInput_.empty()) {
            const std::string bytes = std::exchange(heldInput_, {});
            Deliver(bytes, true);
            given = true;
            continue;
        }
        if (!Reading())
            break;
        const tcp::Io io = tcp::Receive(socket_, buffer, sizeof buffer);
        if (io.status == tcp::Io::Status::WouldBlock)
            break;
        if (io.status == tcp::Io::Status::Failed) {
            End(false, QStringLiteral("connection lost"));
            break;
        }
        if (io.status == tcp::Io::Status::Closed) {
            peerFinished_ = true;
            continue;
        }
        if (idle_.interval() > 0)
            idle_.start();
        if (!Take(std::string_view(buffer, io.bytes), outermost))
            break;
        given = outermost;
    }
    --depth_;
    if (outermost && tls_ && tls_->PeerClosed() && !endingTls_ && !held_ && heldInput_.empty() && !closed_) {
        // The peer ended TLS, and the protocol, having read all before it,
        // did not: the peer has finished.
        tls_->Close();
        outbox_ += tls_->TakeOutput();
        peerFinished_ = true;
        Flush();
    }
    UpdateNotifiers();
    if (!outermost)
        return;
    // Read ahead while the protocol had it (it took input again from
    // inside), it is given on the next turn: the socket may say nothing more.
    if (given && !heldInput_.empty() && !held_ && !yielded_ && !closed_ && !std::exchange(pumpPosted_, true))
        QMetaObject::invokeMethod(this, [this] {
            pumpPosted_ = false;
            Pump();
        }, Qt::QueuedConnection);
    if (PeerFinished() && !closed_ && !std::exchange(peerClosedSaid_, true))
        emit PeerClosed();
    if (closed_ && releaseWhenOut_)
        deleteLater();
}

bool Connection::Take(std::string_view bytes, bool outermost)
{
    if (!tls_) {
        Deliver(bytes, outermost);
        return true;
    }
    std::string plain;
    const bool ok = tls_->Receive(bytes, plain);
    // The handshake's answers go out at once.
    outbox_ += tls_->TakeOutput();
    if (!ok) {
        // The alert that says why goes out before the connection closes.
        Finish(tls_->Established() ? tls_->Error() : QStringLiteral("TLS handshake failed: ") + tls_->Error());
        Flush();
        return false;
    }
    if (tls_->PeerClosed() && endingTls_) {
        plain += tls_->TakeRest();
        tls_.reset();
        endingTls_ = false;
    }
    if (!outbox_.empty())
        Flush();
    if (closed_)
        return false;
    if (!plain.empty())
        Deliver(plain, outermost);
    return true;
}

void Connection::Deliver(std::string_view bytes, bool outermost)
{
    if (!outermost || held_) {
        heldInput_.append(bytes);
    } else if (receiver_) {
        // A receiver may hand the connection over to another one, which
        // replaces it while it runs.
        const auto receiver = receiver_;
        receiver(bytes);
    }
}

void Connection::Touch()
{
    if (!closed_ && idle_.interval() > 0)
        idle_.start();
}

void Connection::StartTls(const TlsCredentials& credentials, std::string_view received)
{
    if (closed_)
        return;
    tls_ = std::make_unique<TlsLayer>(credentials);
    endingTls_ = false;
    // Read ahead before TLS started, it is the peer's handshake.
    const std::string early = std::string(received) + std::exchange(heldInput_, {});
    if (!early.empty())
        Take(early, false);
    UpdateNotifiers();
}

void Connection::EndTls()
{
    if (!tls_ || closed_)
        return;
    endingTls_ = true;
    tls_->Close();
    outbox_ += tls_->TakeOutput();
    if (tls_->PeerClosed()) {
        // The peer's close_notify came first: what followed it is plain.
        heldInput_ = tls_->TakeRest() + heldInput_;
        tls_.reset();
        endingTls_ = false;
        QMetaObject::invokeMethod(this, &Connection::Pump, Qt::QueuedConnection);
    }
    Flush();
}

void Connection::Release()
{
    // Never while a frame of its own is still on the stack below a nested
    // event loop: it goes once that has returned.
    if (depth_ > 0)
        releaseWhenOut_ = true;
    else
        deleteLater();
}

void Connection::Send(std::string_view bytes)
{
    if (closed_ || lost_)
        return;
    Queue(bytes);
    // A peer that has gone ends the connection on the next turn, never
    // inside the sender's frame, whose state would go under it.
    Flush(true);
}

void Connection::Queue(std::string_view plain)
{
    if (!tls_) {
        outbox_.append(plain);
        return;
    }
    tls_->Send(plain);
    outbox_ += tls_->TakeOutput();
}

void Connection::Flush(bool fromSender)
{
    if (closed_ || lost_)
        return;
    const bool wasFull = outbox_.size() >= maxUnsent_;
    std::size_t sent = 0;
    while (sent < outbox_.size()) {
        const tcp::Io io = tcp::Send(socket_, outbox_.data() + sent, outbox_.size() - sent);
        if (io.status == tcp::Io::Status::WouldBlock)
            break;
        if (io.status != tcp::Io::Status::Moved) {
            if (!fromSender) {
                End(false, QStringLiteral("connection lost"));
                return;
            }
            lost_ = true;
            outbox_.clear();
            UpdateNotifiers();
            QMetaObject::invokeMethod(this, [this] {
                if (!closed_)
                    End(false, QStringLiteral("connection lost"));
            }, Qt::QueuedConnection);
            return;
        }
        sent += io.bytes;
    }
    outbox_.erase(0, sent);
    // A peer that takes its answers is not idle.
    if (sent > 0 && idle_.interval() > 0)
        idle_.start();
    if (outbox_.empty()) {
        if (finishing_) {
            End(false, finishWhy_);
            return;
        }
        if (sent > 0)
            emit Drained();
    }
    if (wasFull && outbox_.size() < maxUnsent_)
        QMetaObject::invokeMethod(this, &Connection::Pump, Qt::QueuedConnection);
    UpdateNotifiers();
}

void Connection::Finish(const QString& why)
{
    if (closed_ || finishing_)
        return;
    finishing_ = true;
    finishWhy_ = why;
    if (outbox_.empty())
        End(false, why);
    else
        UpdateNotifiers();
}

void Connection::Abort(const QString& why)
{
    if (!closed_)
        End(true, why);
}

void Connection::SetDeadline(std::chrono::milliseconds within, const QString& why)
{
    deadlineWhy_ = why;
    if (within.count() > 0)
        deadline_.start(within);
    else
        deadline_.stop();
}

void Connection::End(bool reset, const QString& why)
{
    closed_ = true;
    readable_->setEnabled(false);
    writable_->setEnabled(false);
    idle_.stop();
    deadline_.stop();
    outbox_.clear();
    tcp::Close(socket_, reset);
    emit Closed(why);
}

void Connection::UpdateNotifiers()
{
    if (closed_)
        return;
    readable_->setEnabled(Reading());
    writable_->setEnabled(!outbox_.empty() && !lost_);
}
