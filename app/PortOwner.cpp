#include "PortOwner.h"

#include "HandOver.h"
#include "OwnerSocket.h"
#include "PortText.h"
#include "SwitchCore.h"

#include <QLocalSocket>
#include <QPointer>

#include <utility>

namespace {

// A request is one short line; a longer one comes from no client of ours.
constexpr qint64 kLongestRequest = 64;

} // namespace

PortOwner::PortOwner(SwitchCore& core, QObject* parent) : QObject(parent), core_(core)
{
    connect(&core_, &SwitchCore::Changed, this, &PortOwner::Follow);
    connect(&server_, &QLocalServer::newConnection, this, &PortOwner::Take);
    Follow();
}

PortOwner::~PortOwner() = default;

void PortOwner::Follow()
{
    const std::int32_t wanted = core_.Status().Writable() ? core_.Address() : 0;
    if (wanted == address_)
        return;
    server_.close();
    address_ = wanted;
    if (wanted > 0)
        Listen(wanted);
}

void PortOwner::Listen(std::int32_t address)
{
    const OwnerPlace place = OwnerPlaceFor(address);
    const QString path = QString::fromStdString(place.path);
    group_ = -1;
    QString error = QString::fromStdString(place.error);
    // Another process of this program keeps the name it has (one port
    // simulated twice); one that ended has left its socket behind.
    if (!place.path.empty() && !SomeoneListens(place.path)) {
        QLocalServer::removeServer(path);
        server_.setSocketOptions(QLocalServer::UserAccessOption);
        if (server_.listen(path)) {
            group_ = place.service ? ShareWithDeviceUsers(place.path, core_.Status().device) : -1;
            return;
        }
        error = path + QStringLiteral(": ") + server_.errorString();
    }
    if (!error.isEmpty() && !std::exchange(warned_, true))
        PrintLine(stderr, QStringLiteral("rfswitch-panel: the command line's operations are not handed to this process: ") + error);
}

void PortOwner::Take()
{
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!PeerMayUse(socket->socketDescriptor(), group_)) {
            const QString why = QStringLiteral("port %1: held by a process of this program that takes operations only from its own "
                                               "user%2 and root")
                                    .arg(QString::fromStdString(Place(address_)), group_ >= 0 ? QStringLiteral(", the port's group") : QString());
            core_.Refused(Source{Source::Kind::CommandLine, {}, false}, "hand-over", why.toStdString());
            socket->write(AnswerLine({kExitNoBoard, {}, why}));
            socket->disconnectFromServer();
            continue;
        }
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { Serve(socket); });
    }
}

void PortOwner::Serve(QLocalSocket* socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kLongestRequest)
            socket->abort();
        return;
    }
    socket->disconnect(this);
    const auto command = ParseHandedCommand(socket->readLine(kLongestRequest));
    if (!command) {
        socket->abort();
        return;
    }
    const auto answer = [client = QPointer<QLocalSocket>(socket)](const QByteArray& line) {
        if (!client)
            return;
        client->write(line);
        client->disconnectFromServer();
    };
    // After whatever was asked before it, as any other client's operation.
    core_.WhenIdle([&core = core_, command = *command, answer] {
        if (command.address != core.Address() || !core.Status().Writable()) {
            answer(QByteArray(kElsewhere) + '\n');
            return;
        }
        const Invocation& invocation = command.invocation;
        const Source source{Source::Kind::CommandLine, {}, invocation.simulate};
        // The state this core holds stands for a read: nobody else drives the port.
        const std::string unknown = core.LastAccess().detail.empty() ? "the board's state is unknown" : core.LastAccess().detail;
        const OperationResult read = core.State() ? OperationResult{} : OperationResult{Outcome::NotWritten, unknown};
        if (const auto ended = CommandBeforeSwitching(invocation, core, read)) {
            const std::string request = invocation.mode == Invocation::Mode::Select
                ? std::string("select-") + PathName(BitsFor(invocation.path))
                : std::string("read");
            if (ended->exitCode != kExitVerified)
                core.Refused(source, request, ended->error.toStdString());
            answer(AnswerLine(*ended));
            return;
        }
        core.Select(invocation.path, source, [&core, answer](const OperationResult& result) {
            answer(AnswerLine(CommandAfterSwitching(core, result)));
        });
    });
}
