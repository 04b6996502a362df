#include "HislipSession.h"

#include "Connection.h"
#include "HislipContext.h"
#include "ScpiSession.h"

#include <algorithm>

using namespace hislip;

namespace {

// Synchronized mode, InitializeResponse's and the device clear's control bit 0.
constexpr std::uint8_t kOverlapped = 1 << 0;
// The server's vendor id: "rf" in lower case, since the makers' registered
// ids are two capital letters (and "RF" is one of them).
constexpr std::uint16_t kVendorId = 0x7266;
// Data's, DataEnd's, AsyncStatusQuery's and Trigger's control bit 0: the
// client has read the whole of the last response.
constexpr std::uint8_t kRmtDelivered = 1 << 0;
constexpr std::uint8_t kMasterSummary = 1 << 6;
// Responses kept here, beyond what the connection holds, before no more
// messages are read from a client that does not read.
constexpr std::size_t kPendingLimit = 64 * 1024;
constexpr std::size_t kAsyncLimit = 64 * 1024;
// How long a status query or an unlock waits for a message the client
// named but that has not arrived.
constexpr int kUnsentMessageWait = 500;  // ms
// Status queries and unlocks waiting for their message at once; one more is
// refused, so that what a session keeps stays small whatever it sends.
constexpr std::size_t kMaxDeferred = 8;

std::string Text(const QString& text)
{
    return text.toStdString();
}

} // namespace

HislipSession::HislipSession(HislipServer::Context& context, Connection& sync, std::uint16_t id, std::uint16_t version,
                             std::string rest)
    : QObject(&sync), context_(context), sync_(sync), id_(id), version_(version),
      instrument_(context.core, Source::Remote("hislip:" + Text(sync.PeerText()) + "/session" + std::to_string(id))),
      scpi_(ScpiSession::Create(instrument_, context.identity))
{
    context_.sessions[id_] = this;
    scpi_->SetOutput([this](std::string_view answer) { Respond(answer); });
    SetOverlapped(false);
    scpi_->SetResumed([this] {
        ran_ = messageId_ == received_ ? received_ : ran_;
        Changed();
    });
    scpi_->SetShare([this] { return sync_.Spend(); });
    sync_.SetResume([this] {
        scpi_->Continue();
        PumpSync();
    });
    sync_.SetReceiver([this](std::string_view bytes) {
        // A session at work is not idle on its quiet channel either.
        if (async_)
            async_->Touch();
        syncReader_.Append(bytes);
        PumpSync();
    });
    connect(&sync_, &Connection::Drained, this, &HislipSession::Changed);
    connect(&sync_, &Connection::Closed, this, [this](const QString& why) { End(why); });
    // A client that closes either channel has ended its session; what is
    // queued for it still goes out.
    connect(&sync_, &Connection::PeerClosed, this, [this] { End(QStringLiteral("the client closed")); });
    // Without its asynchronous channel a session can do nothing.
    sync_.SetDeadline(std::chrono::seconds(10), QStringLiteral("no HiSLIP asynchronous channel"));
    deferredLimit_.setSingleShot(true);
    connect(&deferredLimit_, &QTimer::timeout, this, &HislipSession::RunDeferred);
    syncReader_.Append(rest);
}

HislipSession::~HislipSession()
{
    // Deleted with its connection: neither channel is there to close.
    Forget();
}

void HislipSession::AttachAsync(Connection& async, std::string rest)
{
    async_ = &async;
    sync_.SetDeadline(std::chrono::milliseconds(0), {});
    async.SetReceiver([this](std::string_view bytes) {
        sync_.Touch();
        asyncReader_.Append(bytes);
        PumpAsync();
    });
    async.SetResume([this] { PumpAsync(); });
    connect(&async, &Connection::Closed, this, [this] {
        async_ = nullptr;
        sync_.Finish(QStringLiteral("the asynchronous channel closed"));
    });
    connect(&async, &Connection::PeerClosed, this, [this] { End(QStringLiteral("the client closed")); });
    // Taken up again once the asynchronous channel's backlog is read.
    connect(&async, &Connection::Drained, this, &HislipSession::PumpSync);
    const bool secure = context_.options.tls && version_ >= kVersion2_0;
    SendAsync(Type::AsyncInitializeResponse, secure ? 1 : 0, Pack(0, kVendorId));
    asyncReader_.Append(rest);
    PumpAsync();
    PumpSync();
}

void HislipSession::Forget()
{
    if (std::exchange(ended_, true))
        return;
    context_.sessions.erase(id_);
    context_.table.Close(id_);
    context_.locks.Leave(id_, instrument_);
    // Nothing it sent runs after it has gone.
    scpi_->DeviceClear();
    instrument_.Unlock();
    deferred_.clear();
}

void HislipSession::End(const QString&)
{
    if (ended_)
        return;
    Forget();
    if (async_) {
        async_->SetReceiver({});
        async_->disconnect(this);
        async_->Finish(QStringLiteral("the session ended"));
        async_ = nullptr;
    }
    sync_.SetReceiver({});
    if (sync_.Open())
        sync_.Finish(QStringLiteral("the session ended"));
    if (context_.changed)
        context_.changed();
}

bool HislipSession::Encrypted() const
{
    return sync_.Encrypted() && async_ && async_->Encrypted();
}

void HislipSession::Send(Connection& channel, Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload)
{
    channel.Send(Encode(type, control, parameter, payload));
}

void HislipSession::SendAsync(Type type, std::uint8_t control, std::uint32_t parameter, std::string_view payload)
{
    if (async_)
        Send(*async_, type, control, parameter, payload);
}

void HislipSession::Fatal(Connection& channel, FatalCode code, const std::string& why)
{
    Send(channel, Type::FatalError, static_cast<std::uint8_t>(code), 0, why);
    End(QString::fromStdString(why));
}

void HislipSession::Error(Connection& channel, ErrorCode code, const std::string& why)
{
    Send(channel, Type::Error, static_cast<std::uint8_t>(code), 0, why);
}

void HislipSession::PumpSync()
{
    if (pumping_ || ended_)
        return;
    pumping_ = true;
    // One message at a time, and none while the SCPI session waits for the
    // port or the client leaves its responses unread.
    while (!ended_ && !scpi_->Waiting() && !Full() && syncReader_.Buffered() > 0 && sync_.Spend()) {
        const Next message = syncReader_.Take();
        if (message.kind == MessageReader::Kind::NeedMore)
            break;
        if (!HandleSync(message))
            break;
    }
    pumping_ = false;
    if (!ended_)
        sync_.Hold(scpi_->Waiting() || Full());
}

bool HislipSession::Full() const
{
    // What either channel holds for a client that does not read: the
    // interrupts and service requests on the asynchronous one come from
    // messages on the synchronous one.
    return pending_.size() > kPendingLimit || (async_ && async_->Unsent() > kAsyncLimit);
}

bool HislipSession::HandleSync(const Next& message)
{
    if (message.kind == MessageReader::Kind::BadHeader) {
        Fatal(sync_, FatalCode::PoorlyFormedHeader, "not a HiSLIP message header");
        return false;
    }
    if (message.kind == MessageReader::Kind::TooLarge) {
        Error(sync_, ErrorCode::MessageTooLarge, "message longer than " + std::to_string(kMaxPayload) + " bytes discarded");
        return true;
    }
    const Type type = message.header.type;
    if (!async_ && type != Type::StartTls) {
        Fatal(sync_, FatalCode::ChannelsNotEstablished, "the asynchronous channel is not open yet");
        return false;
    }
    if (context_.options.tlsRequired && !Encrypted() && type != Type::StartTls) {
        Fatal(sync_, FatalCode::Unidentified, "encryption required: start TLS first (--tls-required)");
        return false;
    }
    switch (type) {
    case Type::Data:
    case Type::DataEnd:
    case Type::Trigger:
        Data(message);
        return !ended_;
    case Type::DeviceClearComplete:
        SetOverlapped(message.header.control & kOverlapped);
        clearing_ = false;
        messageId_ = received_ = ran_ = kFirstMessageId - 2;
        anyMessage_ = false;
        Send(sync_, Type::DeviceClearAcknowledge, overlapped_ ? kOverlapped : 0, 0);
        return true;
    case Type::GetDescriptors:
        if (version_ < kVersion2_0) {
            Error(sync_, ErrorCode::UnrecognizedMessageType, "GetDescriptors is HiSLIP 2.0's; this session speaks 1.0");
            return true;
        }
        // None to give: *IDN? and the LXI identification describe the switch.
        Send(sync_, Type::GetDescriptorsResponse, 0, 0);
        return true;
    case Type::StartTls:
        if (version_ < kVersion2_0 || !context_.options.tls) {
            Error(sync_, ErrorCode::UnrecognizedMessageType, "no TLS here");
            return true;
        }
        sync_.StartTls(*context_.options.tls, syncReader_.TakeRest());
        return false;
    case Type::EndTls:
        if (version_ < kVersion2_0 || !sync_.Encrypted()) {
            Error(sync_, ErrorCode::UnrecognizedMessageType, "TLS does not run");
            return true;
        }
        sync_.EndTls();
        return true;
    default:
        if (static_cast<std::uint8_t>(type) >= 128)
            Error(sync_, ErrorCode::UnrecognizedVendorDefinedMessage, "no vendor-defined messages here");
        else
            Error(sync_, ErrorCode::UnrecognizedMessageType, "not a message of the synchronous channel");
        return true;
    }
}

void HislipSession::Data(const Next& message)
{
    if (clearing_)
        return;
    const std::uint32_t id = message.header.parameter;
    if (message.header.control & kRmtDelivered)
        unacknowledged_ = false;
    // Synchronized, the SCPI session drops an answer still unread when the
    // next message starts (IEEE 488.2's query interrupted).
    UpdateMessageAvailable();
    messageId_ = id;
    if (message.header.type == Type::Trigger) {
        received_ = ran_ = id;
        return;
    }
    std::string bytes = message.payload;
    const bool end = message.header.type == Type::DataEnd;
    // END ends a program message as a newline does.
    if (end && (bytes.empty() || bytes.back() != '\n'))
        bytes += '\n';
    // Received before it runs: a port operation lets the asynchronous
    // channel in while it lasts, and a status query naming this message
    // then waits for it.
    if (end) {
        anyMessage_ = true;
        received_ = id;
    }
    scpi_->Feed(bytes);
    if (end && !scpi_->Waiting())
        ran_ = id;
    Changed();
}

void HislipSession::Respond(std::string_view answer)
{
    // Payloads no longer than the client takes, the header counted in.
    const std::uint64_t most = std::max<std::uint64_t>(clientMax_ > kHeaderSize ? clientMax_ - kHeaderSize : 1, 256);
    while (answer.size() > most) {
        pending_ += Encode(Type::Data, 0, messageId_, answer.substr(0, static_cast<std::size_t>(most)));
        answer.remove_prefix(static_cast<std::size_t>(most));
    }
    pending_ += Encode(Type::DataEnd, 0, messageId_, answer);
    unacknowledged_ = true;
    Pour();
    UpdateMessageAvailable();
}

void HislipSession::Pour()
{
    // What the connection holds is sent and out of reach; what is here can
    // still be dropped by a device clear or an interrupted query.
    if (!pending_.empty() && sync_.Unsent() < kPendingLimit)
        sync_.Send(std::exchange(pending_, {}));
}

void HislipSession::UpdateMessageAvailable()
{
    const bool queued = !pending_.empty() || sync_.Unsent() > 0;
    // Overlapped: a response not yet sent. Synchronized: one the client has
    // not said it read.
    scpi_->SetOutputUnread(queued || (!overlapped_ && unacknowledged_));
}

void HislipSession::Changed()
{
    if (ended_)
        return;
    Pour();
    UpdateMessageAvailable();
    RunDeferred();
    CheckServiceRequest();
    PumpSync();
}

void HislipSession::CheckServiceRequest()
{
    const std::uint8_t status = scpi_->StatusByte();
    const bool requested = status & kMasterSummary;
    // Noted before it is sent: sending may come back here.
    const bool rose = requested && !serviceRequested_;
    serviceRequested_ = requested;
    if (rose)
        SendAsync(Type::AsyncServiceRequest, status, 0);
}

void HislipSession::Interrupted()
{
    // What is still here goes; what went out the client discards up to
    // Interrupted, told on both channels.
    pending_.clear();
    unacknowledged_ = false;
    Send(sync_, Type::Interrupted, 0, messageId_);
    SendAsync(Type::AsyncInterrupted, 0, messageId_);
}

void HislipSession::SetOverlapped(bool overlapped)
{
    overlapped_ = overlapped;
    // Overlapped, answers queue in order and none is dropped.
    scpi_->SetDropUnread(overlapped ? std::function<void()>() : [this] { Interrupted(); });
}

void HislipSession::DeviceClear()
{
    clearing_ = true;
    scpi_->DeviceClear();
    pending_.clear();
    unacknowledged_ = false;
    UpdateMessageAvailable();
}

bool HislipSession::AfterMessage(std::uint32_t messageId, std::function<void()> then)
{
    // Before its first message a client names none it has sent.
    if (!anyMessage_ || NotAfter(messageId, ran_)) {
        then();
        return true;
    }
    if (deferred_.size() >= kMaxDeferred)
        return false;
    deferred_.push_back({messageId, std::move(then)});
    if (!deferredLimit_.isActive())
        deferredLimit_.start(kUnsentMessageWait);
    return true;
}

void HislipSession::RunDeferred()
{
    const bool limit = !deferredLimit_.isActive();
    for (auto at = deferred_.begin(); at != deferred_.end();) {
        // Run, or never arrived within the limit: no message to wait for.
        if (NotAfter(at->messageId, ran_) || clearing_ || (limit && !NotAfter(at->messageId, received_))) {
            const auto then = std::move(at->then);
            at = deferred_.erase(at);
            then();
        } else {
            ++at;
        }
    }
}

void HislipSession::PumpAsync()
{
    while (async_ && !ended_ && asyncReader_.Buffered() > 0 && async_->Spend()) {
        const Next message = asyncReader_.Take();
        if (message.kind == MessageReader::Kind::NeedMore)
            break;
        if (!HandleAsync(message))
            break;
    }
}

bool HislipSession::HandleAsync(const Next& message)
{
    Connection& async = *async_;
    if (message.kind == MessageReader::Kind::BadHeader) {
        Fatal(async, FatalCode::PoorlyFormedHeader, "not a HiSLIP message header");
        return false;
    }
    if (message.kind == MessageReader::Kind::TooLarge) {
        Error(async, ErrorCode::MessageTooLarge, "message longer than " + std::to_string(kMaxPayload) + " bytes discarded");
        return true;
    }
    const auto& header = message.header;
    if (context_.options.tlsRequired && !async.Encrypted() && header.type != Type::AsyncStartTls
        && header.type != Type::AsyncMaximumMessageSize) {
        Fatal(async, FatalCode::Unidentified, "encryption required: start TLS first (--tls-required)");
        return false;
    }
    switch (header.type) {
    case Type::AsyncMaximumMessageSize:
        if (const auto size = DecodeSize(message.payload)) {
            clientMax_ = *size;
            // The largest message taken, as a client counts it: its payload.
            SendAsync(Type::AsyncMaximumMessageSizeResponse, 0, 0, EncodeSize(kMaxPayload));
        } else {
            Error(async, ErrorCode::Unidentified, "the maximum message size takes 8 bytes");
        }
        return true;
    case Type::AsyncLock:
        Lock(message);
        return async_ != nullptr;
    case Type::AsyncLockInfo:
        SendAsync(Type::AsyncLockInfoResponse, context_.locks.ExclusiveHeld() ? 1 : 0, context_.locks.Holders());
        return true;
    case Type::AsyncRemoteLocalControl:
        // The panel stays usable whatever the client asks: its clicks queue
        // with remote commands, and a lock is what keeps others out.
        if (header.control > 6)
            Error(async, ErrorCode::UnrecognizedControlCode, "remote/local control codes are 0 to 6");
        else
            SendAsync(Type::AsyncRemoteLocalResponse, 0, 0);
        return true;
    case Type::AsyncDeviceClear:
        DeviceClear();
        SendAsync(Type::AsyncDeviceClearAcknowledge, 0, 0);
        RunDeferred();
        PumpSync();
        return async_ != nullptr;
    case Type::AsyncStatusQuery:
        if (header.control & kRmtDelivered)
            unacknowledged_ = false;
        if (!AfterMessage(header.parameter, [this] {
                UpdateMessageAvailable();
                const std::uint8_t status = scpi_->StatusByte();
                SendAsync(Type::AsyncStatusResponse, status, 0);
            }))
            Error(async, ErrorCode::Unidentified, "more than " + std::to_string(kMaxDeferred) + " status queries and unlocks waiting");
        return async_ != nullptr;
    case Type::AsyncStartTls:
        return StartTls(message);
    case Type::AsyncEndTls:
        if (version_ < kVersion2_0 || !async.Encrypted() || context_.options.tlsRequired) {
            SendAsync(Type::AsyncEndTlsResponse, 3, 0);
            return true;
        }
        SendAsync(Type::AsyncEndTlsResponse, 1, 0);
        async.EndTls();
        return true;
    default:
        if (static_cast<std::uint8_t>(header.type) >= 128)
            Error(async, ErrorCode::UnrecognizedVendorDefinedMessage, "no vendor-defined messages here");
        else
            Error(async, ErrorCode::UnrecognizedMessageType, "not a message of the asynchronous channel");
        return true;
    }
}

void HislipSession::Lock(const Next& message)
{
    const auto& header = message.header;
    if (header.control == 1) {
        context_.locks.Request(id_, instrument_, message.payload, header.parameter, [this](HislipLocks::Result result) {
            SendAsync(Type::AsyncLockResponse, result, 0);
        });
    } else if (header.control == 0) {
        if (!AfterMessage(header.parameter, [this] { SendAsync(Type::AsyncLockResponse, context_.locks.Release(id_, instrument_), 0); }))
            SendAsync(Type::AsyncLockResponse, HislipLocks::kError, 0);
    } else {
        Error(*async_, ErrorCode::UnrecognizedControlCode, "AsyncLock takes 0 (release) or 1 (request)");
    }
}

bool HislipSession::StartTls(const Next& message)
{
    Connection& async = *async_;
    if (version_ < kVersion2_0 || !context_.options.tls || async.Encrypted()) {
        SendAsync(Type::AsyncStartTlsResponse, 3, message.header.parameter);
        return true;
    }
    SendAsync(Type::AsyncStartTlsResponse, 1, message.header.parameter);
    async.StartTls(*context_.options.tls, asyncReader_.TakeRest());
    return false;
}

int HislipSession::ErrorsQueued() const
{
    return static_cast<int>(scpi_->Errors().size());
}
