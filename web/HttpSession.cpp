#include "HttpSession.h"

#include "Connection.h"

#include <algorithm>
#include <utility>

namespace {

using State = HttpRequestReader::State;

// How long a refused client is given to read why while it may still be
// sending: closing on unread input would reset the connection, and the
// answer with it.
constexpr std::chrono::milliseconds kLinger{1000};

} // namespace

HttpSession::HttpSession(Connection& connection, Limits limits, HttpSite site)
    : QObject(&connection), connection_(connection), limits_(limits), site_(std::move(site)), reader_(limits.request)
{
    connection.SetReceiver([this](std::string_view bytes) { Received(bytes); });
    connection.SetResume([this] { Advance(); });
    connect(&connection, &Connection::Drained, this, &HttpSession::Sent);
    connect(&connection, &Connection::PeerClosed, this, [this] {
        if (phase_ == Phase::Closing)
            connection_.Finish(QString::fromStdString(reader_.Refusal().why));
        else
            Advance();
    });
    unused_.setSingleShot(true);
    connect(&unused_, &QTimer::timeout, this, [this] {
        phase_ = Phase::Closing;
        connection_.Finish(QStringLiteral("no request"));
    });
    linger_.setSingleShot(true);
    connect(&linger_, &QTimer::timeout, this, [this] {
        const QString why = QString::fromStdString(reader_.Refusal().why);
        if (connection_.Unsent() > 0)
            connection_.Abort(why);
        else
            connection_.Finish(why);
    });
    ready_.start();
    Advance();
}

std::size_t HttpSession::Buffered() const
{
    return reader_.Buffered() + connection_.Unsent() + connection_.Held();
}

qint64 HttpSession::IdleFor() const
{
    return phase_ == Phase::Reading && reader_.Current() == State::Idle && connection_.Held() == 0 ? ready_.elapsed() : -1;
}

void HttpSession::GiveUp()
{
    unused_.stop();
    phase_ = Phase::Closing;
    connection_.Finish(QStringLiteral("given up, idle, for a new client"));
}

void HttpSession::Received(std::string_view bytes)
{
    if (phase_ == Phase::Closing)
        return;  // dropped: the connection ends
    reader_.Add(bytes);
    if (!advancing_) {
        Advance();
        return;
    }
    // Arrived while this session was taking the last bytes: nothing more
    // until those are dealt with.
    again_ = true;
    connection_.Hold(true);
}

void HttpSession::Advance()
{
    if (advancing_) {
        again_ = true;
        return;
    }
    advancing_ = true;
    do {
        again_ = false;
        Step();
    } while (again_ && connection_.Open());
    advancing_ = false;
}

void HttpSession::Step()
{
    while (phase_ == Phase::Reading && connection_.Open()) {
        switch (reader_.Current()) {
        case State::Refused:
            Refuse(reader_.Refusal());
            return;
        case State::Head:
            // The client waits to be told that its body is wanted.
            if (!std::exchange(continued_, true) && reader_.Request().minor >= 1 && !reader_.Request().Header("Expect").empty())
                connection_.Send(AnswerBytes({100, {}, {}}));
            [[fallthrough]];
        case State::Idle:
        case State::Partial:
            Wait();
            return;
        case State::Complete:
            // Requests sent in a row are answered a share a turn.
            if (!connection_.Spend())
                return;
            break;
        }
        unused_.stop();
        connection_.SetDeadline(std::chrono::milliseconds(0), {});
        connection_.Hold(true);
        phase_ = Phase::Answering;
        site_.handle(reader_.Request(), *this);
    }
}

void HttpSession::Wait()
{
    const bool begun = reader_.Current() != State::Idle;
    if (connection_.PeerFinished()) {
        phase_ = Phase::Closing;
        connection_.Finish(begun ? QStringLiteral("the client closed inside a request") : QStringLiteral("the client closed"));
        return;
    }
    const auto left = std::max(limits_.deadline - std::chrono::milliseconds(ready_.elapsed()), std::chrono::milliseconds(1));
    if (begun && !deadlineSet_) {
        unused_.stop();
        deadlineSet_ = true;
        connection_.SetDeadline(left, QStringLiteral("no whole request within %1").arg(Within()));
    } else if (!begun && !unused_.isActive()) {
        unused_.start(left);
    }
    connection_.Hold(false);
}

void HttpSession::Answer(const HttpAnswer& answer)
{
    if (phase_ != Phase::Answering || !connection_.Open())
        return;
    const HttpRequest& request = reader_.Request();
    const bool close = !request.KeepAlive();
    if (request.minor == 0 && !close) {
        // An HTTP/1.0 client keeps the connection only where told it may.
        HttpAnswer kept = answer;
        kept.headers.emplace_back("Connection", "keep-alive");
        connection_.Send(AnswerBytes(kept, request.method == "HEAD"));
    } else {
        connection_.Send(AnswerBytes(answer, request.method == "HEAD", close));
    }
    if (close) {
        phase_ = Phase::Closing;
        connection_.Finish(QStringLiteral("answered"));
        return;
    }
    phase_ = Phase::Sending;
    if (connection_.Unsent() == 0)
        Sent();
    else
        connection_.SetDeadline(limits_.deadline, QStringLiteral("an answer not taken within %1").arg(Within()));
}

void HttpSession::Sent()
{
    if (phase_ != Phase::Sending)
        return;
    connection_.SetDeadline(std::chrono::milliseconds(0), {});
    reader_.Next();
    continued_ = false;
    deadlineSet_ = false;
    ready_.start();
    phase_ = Phase::Reading;
    Advance();
}

WebSocketSession* HttpSession::Upgrade(const HttpAnswer& switching, const WebSocketSession::Limits& limits, std::string_view greeting)
{
    if (phase_ != Phase::Answering || !connection_.Open())
        return nullptr;
    connection_.Send(AnswerBytes(switching));
    phase_ = Phase::Upgraded;
    auto* socket = new WebSocketSession(connection_, limits, greeting, reader_.TakeFollowing());
    deleteLater();  // the connection is the WebSocket's now
    return socket;
}

void HttpSession::Refuse(const HttpRefusal& refusal)
{
    unused_.stop();
    connection_.SetDeadline(std::chrono::milliseconds(0), {});
    connection_.Send(AnswerBytes(site_.refuse(refusal), false, true));
    phase_ = Phase::Closing;
    if (connection_.PeerFinished()) {
        connection_.Finish(QString::fromStdString(refusal.why));
        return;
    }
    connection_.Hold(false);
    linger_.start(kLinger);
}

QString HttpSession::Within() const
{
    return QStringLiteral("%1 s").arg(double(limits_.deadline.count()) / 1000);
}
