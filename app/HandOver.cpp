#include "HandOver.h"

#include "AddressText.h"
#include "OwnerSocket.h"
#include "PortText.h"

#include <QList>

#include <algorithm>
#include <iterator>

namespace {

constexpr RfPath kPaths[] = {RfPath::Off, RfPath::Rf1, RfPath::Rf2};
constexpr char kReal[] = "board=real", kSimulated[] = "board=simulated";

QByteArray RequestLine(const Invocation& invocation, const PortName& port, bool simulated)
{
    QByteArray line = QByteArray::fromStdString(PortTyped(port));
    line += invocation.mode != Invocation::Mode::Select ? QByteArray(" query")
        : invocation.selectLabel.isEmpty()               ? QByteArray(" select ") + PathName(BitsFor(invocation.path))
                                                         : " select label=" + invocation.selectLabel.toLatin1();
    if (invocation.simulate)
        line += " dry-run";
    line += ' ';
    line += simulated ? kSimulated : kReal;
    return line;
}

// One field of the answer: no tab or line feed inside.
QByteArray Field(const QString& text)
{
    return text.toUtf8().replace('\t', ' ').replace('\n', ' ');
}

} // namespace

std::optional<HandedOutcome> HandOver(const Invocation& invocation, const PortName& port, const std::function<bool()>& simulated)
{
    std::optional<bool> board;
    const auto request = [&] {
        if (!board)
            board = simulated();
        return RequestLine(invocation, port, *board).toStdString();
    };
    for (const std::string& path : OwnerSocketsFor(port)) {
        OwnerReply reply = AskOwner(path, request);
        if (reply.kind == OwnerReply::Kind::Nobody || reply.line == kElsewhere)
            continue;
        const QStringList fields = QString::fromStdString(reply.line).split(QLatin1Char('\t'));
        bool number = false;
        const int code = fields.value(0).toInt(&number);
        if (number && fields.size() == 3)
            return HandedOutcome{{code, fields[1], fields[2]}, std::move(reply.log)};
        // Nothing is started for a command line that has stopped waiting.
        return HandedOutcome{{kExitNoBoard, {},
                              QStringLiteral("port %1: not switched: the process of this program that holds it (%2) gave no "
                                             "answer within %3 s, and starts nothing asked more than %4 s ago")
                                  .arg(QString::fromStdString(PortLabel(port)), QString::fromStdString(path))
                                  .arg(kOwnerAnswerTime.count())
                                  .arg(kOwnerStartTime.count())},
                             std::move(reply.log)};
    }
    return std::nullopt;
}

std::optional<HandedCommand> ParseHandedCommand(const QByteArray& line)
{
    const QList<QByteArray> words = line.trimmed().split(' ');
    HandedCommand command;
    const std::string port = words.value(0).toStdString();
    if (const auto device = DeviceFromText(port)) {
        command.port = PortName(*device);
    } else {
        bool number = false;
        command.port = PortName(words.value(0).toInt(&number));
        if (!number)
            return std::nullopt;
    }
    qsizetype next = 2;
    if (words.size() < 3)
        return std::nullopt;
    if (words[1] == "query") {
        command.invocation.mode = Invocation::Mode::Query;
    } else if (words[1] == "select" && words[2].startsWith("label=")) {
        command.invocation.selectLabel = QString::fromLatin1(words[2].mid(6));
        if (!LabelProblem(command.invocation.selectLabel.toStdString()).empty())
            return std::nullopt;
        command.invocation.mode = Invocation::Mode::Select;
        next = 3;
    } else if (words[1] == "select") {
        const auto path = std::find_if(std::begin(kPaths), std::end(kPaths), [&](RfPath p) { return words[2] == PathName(BitsFor(p)); });
        if (path == std::end(kPaths))
            return std::nullopt;
        command.invocation.mode = Invocation::Mode::Select;
        command.invocation.path = *path;
        next = 3;
    } else {
        return std::nullopt;
    }
    command.invocation.simulate = next < words.size() && words[next] == "dry-run";
    next += command.invocation.simulate ? 1 : 0;
    if (words.size() != next + 1 || (words[next] != kReal && words[next] != kSimulated))
        return std::nullopt;
    command.simulated = words[next] == kSimulated;
    return command;
}

QByteArray AnswerLine(const CommandOutcome& outcome)
{
    return QByteArray::number(outcome.exitCode) + '\t' + Field(outcome.output) + '\t' + Field(outcome.error) + '\n';
}

QByteArray LogLine(const std::string& line)
{
    return kLogPrefix + Field(QString::fromStdString(line)) + '\n';
}
