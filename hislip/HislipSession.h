#pragma once

#include "HislipMessage.h"
#include "HislipServer.h"
#include "SwitchInstrument.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

class Connection;
class ScpiSession;

// The server's side of one session: the SCPI session it is on the core,
// and the two connections it is reached by. It lives as long as its
// synchronous connection; the asynchronous one ends with it.
class HislipSession : public QObject
{
    Q_OBJECT

public:
    // The largest payload taken from a client in one message.
    static constexpr std::uint64_t kMaxPayload = 64 * 1024;

    HislipSession(HislipServer::Context& context, Connection& sync, std::uint16_t id, std::uint16_t version,
                  std::string rest);
    ~HislipSession() override;

    // The asynchronous channel, once AsyncInitialize has named this session.
    void AttachAsync(Connection& async, std::string rest);
    // SCPI errors in the session's queue.
    int ErrorsQueued() const;

private:
    using Next = hislip::MessageReader::Next;

    void PumpSync();
    // No more messages are taken from a client that leaves this much unread.
    bool Full() const;
    void PumpAsync();
    // False when the channel has ended or changed hands (TLS started).
    bool HandleSync(const Next& message);
    bool HandleAsync(const Next& message);
    void Data(const Next& message);
    void Lock(const Next& message);
    // False once the asynchronous channel runs over TLS.
    bool StartTls(const Next& message);

    void Send(Connection& channel, hislip::Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload = {});
    void SendAsync(hislip::Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload = {});
    void Fatal(Connection& channel, hislip::FatalCode code, const std::string& why);
    void Error(Connection& channel, hislip::ErrorCode code, const std::string& why);
    void End(const QString& why);
    // What the session held on the core and in the server, given up.
    void Forget();

    // A response message from the SCPI session, as DataEnd (after Data where
    // longer than the client takes), for the message that asked for it.
    void Respond(std::string_view answer);
    void Pour();
    void Changed();
    void UpdateMessageAvailable();
    void CheckServiceRequest();
    void DeviceClear();
    // The SCPI session dropped an answer left unread (synchronized mode).
    void Interrupted();
    void SetOverlapped(bool overlapped);
    // Runs `then` once the message `messageId` has been run (the client names
    // its last message so that a status query or an unlock comes after it);
    // false, and `then` dropped, where too many wait already.
    bool AfterMessage(std::uint32_t messageId, std::function<void()> then);
    void RunDeferred();
    bool Encrypted() const;

    HislipServer::Context& context_;
    Connection& sync_;
    // Deleted with its listener when the server goes, maybe before this.
    QPointer<Connection> async_;
    std::uint16_t id_;
    std::uint16_t version_;
    SwitchInstrument instrument_;
    std::shared_ptr<ScpiSession> scpi_;
    hislip::MessageReader syncReader_{kMaxPayload};
    hislip::MessageReader asyncReader_{kMaxPayload};

    bool overlapped_ = false;
    bool clearing_ = false;     // between AsyncDeviceClear and DeviceClearComplete
    std::uint32_t messageId_ = hislip::kFirstMessageId - 2;  // of the message running
    std::uint32_t received_ = hislip::kFirstMessageId - 2;   // the last whole message received
    std::uint32_t ran_ = hislip::kFirstMessageId - 2;        // the last whole message run
    bool anyMessage_ = false;  // a whole message came since the start or the last device clear
    std::string pending_;       // responses not yet handed to the connection
    bool unacknowledged_ = false;  // synchronized: a response whose delivery the client has not confirmed
    std::uint64_t clientMax_ = ~std::uint64_t(0);
    bool serviceRequested_ = false;  // MSS as last looked at
    bool pumping_ = false;
    bool ended_ = false;
    struct Deferred
    {
        std::uint32_t messageId;
        std::function<void()> then;
    };
    std::list<Deferred> deferred_;
    QTimer deferredLimit_;
};
