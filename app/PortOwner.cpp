#include "PortOwner.h"

#include "HandOver.h"
#include "OwnerSocket.h"
#include "PortText.h"
#include "SwitchCore.h"

#include <QLocalSocket>
#include <QPointer>

#include <memory>
#include <utility>

namespace {

// Whether `core` holds the port a command line asked for, on the board it would find.
bool Holds(const SwitchCore& core, const HandedCommand& command)
{
    const PortStatus& status = core.Status();
    // A command line that would drive a real board is never served by the
    // simulated port, nor one that would find only the simulation by a board.
    return status.Writable() && status.IsSimulated() == command.simulated
        && (command.port == core.Port() || (command.port.ByDevice() && command.port.device == status.device));
}

} // namespace

PortOwner::PortOwner(SwitchCore& core, QObject* parent) : QObject(parent), core_(core)
{
    connect(&core_, &SwitchCore::Changed, this, &PortOwner::Follow);
    connect(&server_, &QLocalServer::newConnection, this, [this] { Take(server_); });
    connect(&device_, &QLocalServer::newConnection, this, [this] { Take(device_); });
    Follow();
}

PortOwner::~PortOwner() = default;

void PortOwner::Follow()
{
    const PortStatus& status = core_.Status();
    std::optional<PortName> wanted, alias;
    if (status.Writable() && (core_.Port().ByDevice() || core_.Address() > 0)) {
        wanted = core_.Port();
        // The same port by its device, as another command line may name it.
        if (!wanted->ByDevice() && status.device.rfind("/dev/parport", 0) == 0)
            alias = PortName(status.device);
    }
    if (wanted == port_ && alias == alias_)
        return;
    server_.close();
    device_.close();
    port_ = wanted;
    alias_ = alias;
    group_ = -1;
    if (port_)
        Listen(server_, *port_);
    if (alias_)
        Listen(device_, *alias_);
}

void PortOwner::Listen(QLocalServer& server, const PortName& port)
{
    const OwnerPlace place = OwnerPlaceFor(port);
    const QString path = QString::fromStdString(place.path);
    QString error = QString::fromStdString(place.error);
    // Another process of this program keeps the name it has (one port
    // simulated twice); one that ended has left its socket behind.
    if (!place.path.empty() && !SomeoneListens(place.path)) {
        QLocalServer::removeServer(path);
        server.setSocketOptions(QLocalServer::UserAccessOption);
        if (server.listen(path)) {
            if (place.service)
                group_ = ShareWithDeviceUsers(place.path, core_.Status().device);
            return;
        }
        error = path + QStringLiteral(": ") + server.errorString();
    }
    if (!error.isEmpty() && !std::exchange(warned_, true))
        PrintLine(stderr, QStringLiteral("rfswitch-panel: the command line's operations are not handed to this process: ") + error);
}

void PortOwner::Take(QLocalServer& server)
{
    while (QLocalSocket* socket = server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (!PeerMayUse(socket->socketDescriptor(), group_)) {
            const QString why = QStringLiteral("port %1: held by a process of this program that takes operations only from its own "
                                               "user%2 and root")
                                    .arg(QString::fromStdString(PortLabel(core_.Port())),
                                         group_ >= 0 ? QStringLiteral(", the port's group") : QString());
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
    const auto command = ParseHandedCommand(socket->readLine(kLongestRequest + 1));
    if (!command) {
        socket->abort();
        return;
    }
    // The command lasts while its command line waits: closing the socket,
    // or going away, ends it, whether or not this process has looked yet.
    auto lifetime = std::make_shared<Lifetime>([fd = socket->socketDescriptor()] { return StillWaits(fd); });
    connect(socket, &QLocalSocket::disconnected, socket, [lifetime] { lifetime->End(); });
    Source source{Source::Kind::CommandLine, {}, command->invocation.simulate};
    source.alive = lifetime->Token();
    source.deadline = Source::Clock::now() + kOwnerStartTime;
    // What the core logs for it goes to the command line's own log too.
    connect(&core_, &SwitchCore::Logged, socket, [socket, token = source.alive.get()](const std::string& line, const Source& from) {
        if (from.alive.get() == token)
            socket->write(LogLine(line));
    });
    const auto answer = [client = QPointer<QLocalSocket>(socket)](const CommandOutcome& outcome) {
        if (!client)
            return;
        client->write(AnswerLine(outcome));
        client->disconnectFromServer();
    };
    // After whatever was asked before it, as any other client's operation;
    // a query does not wait for a settle, a select waits as any switching.
    core_.WhenIdle([&core = core_, command = *command, source, answer, client = QPointer<QLocalSocket>(socket)] {
        if (!Holds(core, command)) {
            if (client) {
                client->write(QByteArray(kElsewhere) + '\n');
                client->disconnectFromServer();
            }
            return;
        }
        const auto run = [&core, asked = command.invocation, source, answer](const OperationResult& read) {
            Invocation invocation = asked;
            if (read.outcome == Outcome::Abandoned)
                return answer(CommandAfterSwitching(core, read));
            if (const auto ended = CommandBeforeSwitching(invocation, core, read)) {
                // A failed read is in the log already.
                if (ended->exitCode != kExitVerified && read.Ok())
                    core.Refused(source, invocation.mode == Invocation::Mode::Select
                                             ? std::string("select-") + PathName(BitsFor(invocation.path))
                                             : std::string("read"),
                                 ended->error.toStdString());
                return answer(*ended);
            }
            if (const auto ended = FindLabel(invocation, core)) {
                core.Refused(source, "select-label=" + invocation.selectLabel.toStdString(), ended->error.toStdString());
                return answer(*ended);
            }
            // Answered once the switch has settled, as the command line itself would.
            core.Select(invocation.path, source, [&core, answer](const OperationResult& result) {
                core.WhenSettled([&core, answer, result] { answer(CommandAfterSwitching(core, result)); });
            });
        };
        // The state this core holds stands for a read, as nobody else drives
        // the port; where it knows nothing, it reads as the command line would.
        if (core.State())
            run({});
        else
            core.Read(source, run);
    }, false);
}
