#pragma once

#include "ConnectionPolicy.h"
#include "TcpIo.h"
#include "TurnShare.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QSocketNotifier;
class TlsCredentials;
class TlsLayer;

// One accepted TCP connection, read and written by its protocol through
// bounded buffers: input is taken only while the protocol wants it and the
// peer reads its answers; a silent peer is closed after the idle timeout,
// and one that has half-closed still gets every answer. The listener that
// accepted it owns it; the protocol keeps what it needs for the connection
// in objects parented to it, so that they end with it.
class Connection : public QObject
{
    Q_OBJECT

public:
    Connection(tcp::Handle socket, const ConnectionPolicy& policy, QObject* parent = nullptr);
    ~Connection() override;

    const QHostAddress& PeerAddress() const { return peer_; }
    quint16 PeerPort() const { return peerPort_; }
    // "127.0.0.1:50432": how the log and the panel name the peer.
    const QString& PeerText() const { return peerText_; }
    // The address and port the peer reached.
    const QHostAddress& LocalAddress() const { return local_; }
    quint16 LocalPort() const { return localPort_; }

    // Takes the bytes as they arrive, while input is wanted.
    void SetReceiver(std::function<void(std::string_view)> receiver) { receiver_ = std::move(receiver); }
    // Holds input back (the protocol waits for something) or takes it again;
    // what arrived meanwhile is taken at once then.
    void Hold(bool hold);
    // The protocol's share of a turn of the event loop: it asks before each
    // message it runs. Once the share is spent this says no, no more input
    // is taken, and `resume` (SetResume) is called on the next turn to run
    // what the protocol holds already; input is taken again after it, unless
    // it spent that turn's share too.
    bool Spend();
    void SetResume(std::function<void()> resume) { resume_ = std::move(resume); }
    // Queues `bytes` and sends what the peer takes now.
    void Send(std::string_view bytes);
    // Bytes queued that the peer has not taken yet.
    std::size_t Unsent() const { return outbox_.size(); }
    // Input read ahead while held back, not taken yet.
    std::size_t Held() const { return heldInput_.size(); }
    // The peer sends nothing more (it half-closed), and all it sent has
    // been taken.
    bool PeerFinished() const { return peerFinished_ && heldInput_.empty(); }
    // Takes no more input and closes once everything queued is sent.
    void Finish(const QString& why);
    // Closes at once with a reset: nothing more reaches the peer.
    void Abort(const QString& why);
    // Closes the connection with `why` unless cleared first: a request that
    // must be complete by then (0: no deadline).
    void SetDeadline(std::chrono::milliseconds within, const QString& why);
    bool Open() const { return !closed_; }
    // Deletes it once closed and no frame of its own runs (for its listener).
    void Release();
    // Counts as traffic for the idle timeout: for a protocol whose
    // connections go together (HiSLIP's two channels), one busy keeps the
    // other open.
    void Touch();
    // Closed by the policy (the idle timeout or a deadline), not by either side.
    bool Enforced() const { return enforced_; }

    // Runs the connection over TLS from here on, as the server's side: what
    // is sent from now on is encrypted, and what comes in is decrypted
    // before the receiver gets it. `received` is what the protocol had read
    // past the point where TLS starts: the first of the peer's handshake.
    void StartTls(const TlsCredentials& credentials, std::string_view received = {});
    // Ends TLS: close_notify is sent after what is queued, and once the
    // peer's has come the connection goes on in plain text.
    void EndTls();
    // TLS runs (from its start until EndTls).
    bool Encrypted() const { return tls_ != nullptr; }

signals:
    // The peer half-closed: no more input will come.
    void PeerClosed();
    // Everything queued has been sent.
    void Drained();
    // The connection has ended (`why`, for the log); the listener deletes it
    // once the event loop is back.
    void Closed(const QString& why);

private:
    void Pump();
    void Resume();
    bool Reading() const;
    // `fromSender`: a write that fails ends the connection on the next turn.
    void Flush(bool fromSender = false);
    void End(bool reset, const QString& why);
    void UpdateNotifiers();
    // Plain text received, for the receiver or held back.
    void Deliver(std::string_view bytes, bool outermost);
    // Decrypts `bytes` where TLS runs and delivers the plain text; false
    // when the connection has ended.
    bool Take(std::string_view bytes, bool outermost);
    void Queue(std::string_view plain);

    tcp::Handle socket_;
    std::size_t maxUnsent_;
    QHostAddress peer_;
    quint16 peerPort_ = 0;
    QString peerText_;
    QHostAddress local_;
    quint16 localPort_ = 0;
    std::function<void(std::string_view)> receiver_;
    std::function<void()> resume_;
    TurnShare share_;
    bool yielded_ = false;  // the share of this turn is spent: Resume comes
    bool pumpPosted_ = false;
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<QSocketNotifier> writable_;
    QTimer idle_;
    QTimer deadline_;
    QString deadlineWhy_;
    std::string outbox_;
    bool held_ = false;
    std::string heldInput_;  // read while input is held back
    bool peerFinished_ = false;
    bool peerClosedSaid_ = false;
    bool releaseWhenOut_ = false;
    bool finishing_ = false;
    QString finishWhy_;
    bool closed_ = false;
    bool lost_ = false;  // a write failed: it ends on the next turn
    bool enforced_ = false;
    int depth_ = 0;  // inside Pump: a nested call only marks what to do
    std::unique_ptr<TlsLayer> tls_;
    bool endingTls_ = false;  // close_notify sent: plain text after the peer's
};
