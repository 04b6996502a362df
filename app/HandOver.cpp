#include "HandOver.h"

#include "OwnerSocket.h"
#include "PortText.h"

#include <QList>

#include <algorithm>
#include <iterator>

namespace {

constexpr RfPath kPaths[] = {RfPath::Off, RfPath::Rf1, RfPath::Rf2};

QByteArray RequestLine(const Invocation& invocation, std::int32_t address)
{
    QByteArray line = QByteArray::number(address);
    line += invocation.mode == Invocation::Mode::Select ? QByteArray(" select ") + PathName(BitsFor(invocation.path))
                                                        : QByteArray(" query");
    if (invocation.simulate)
        line += " dry-run";
    return line;
}

// One field of the answer: no tab or line feed inside.
QByteArray Field(const QString& text)
{
    return text.toUtf8().replace('\t', ' ').replace('\n', ' ');
}

} // namespace

std::optional<CommandOutcome> HandOver(const Invocation& invocation, std::int32_t address)
{
    const std::string request = RequestLine(invocation, address).toStdString();
    for (const std::string& path : OwnerSocketsFor(address)) {
        const OwnerReply reply = AskOwner(path, request);
        if (reply.kind == OwnerReply::Kind::Nobody || reply.line == kElsewhere)
            continue;
        const QStringList fields = QString::fromStdString(reply.line).split(QLatin1Char('\t'));
        bool number = false;
        const int code = fields.value(0).toInt(&number);
        if (number && fields.size() == 3)
            return CommandOutcome{code, fields[1], fields[2]};
        return CommandOutcome{kExitNoBoard, {},
                              QStringLiteral("port %1: the process of this program that holds it (%2) did not answer; whether "
                                             "it switched is not known")
                                  .arg(QString::fromStdString(Place(address)), QString::fromStdString(path))};
    }
    return std::nullopt;
}

std::optional<HandedCommand> ParseHandedCommand(const QByteArray& line)
{
    const QList<QByteArray> words = line.trimmed().split(' ');
    HandedCommand command;
    bool number = false;
    command.address = words.value(0).toInt(&number);
    qsizetype next = 2;
    if (!number || words.size() < 2)
        return std::nullopt;
    if (words[1] == "query") {
        command.invocation.mode = Invocation::Mode::Query;
    } else if (words[1] == "select" && words.size() > 2) {
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
    if (words.size() != next + (command.invocation.simulate ? 1 : 0))
        return std::nullopt;
    return command;
}

QByteArray AnswerLine(const CommandOutcome& outcome)
{
    return QByteArray::number(outcome.exitCode) + '\t' + Field(outcome.output) + '\t' + Field(outcome.error) + '\n';
}
