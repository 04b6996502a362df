// The man page as `man` shows it, held against what the program says of
// itself: its --help, its usage errors, and the service's own files.

#include "Program.h"
#include "Table.h"

#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

// The page as a terminal shows it, in plain ASCII, wide enough that no tag
// wraps and no word is hyphenated.
QString ManPage()
{
    return Execute({u"groff"_s, u"-man"_s, u"-Tascii"_s, u"-P-cbou"_s, u"-rLL=250n"_s, u"-rHY=0"_s, QStringLiteral(RFSWITCH_MANPAGE)}).out;
}

// A section's lines, up to the next heading.
QStringList Section(const QString& page, const QString& heading)
{
    const QStringList lines = page.split(u'\n');
    const qsizetype start = lines.indexOf(heading);
    if (start < 0)
        return {};
    QStringList body;
    for (qsizetype i = start + 1; i < lines.size() && (lines[i].isEmpty() || lines[i].startsWith(u' ')); ++i)
        body << lines[i];
    return body;
}

QString Simplified(const QStringList& lines) { return lines.join(u' ').simplified(); }

// What one option takes and says: its argument ("" for none) and its text.
struct Option { QString argument, text; };

void AddNames(QMap<QString, Option>& options, const QString& tag, const QString& text)
{
    // "-h, --help", "--port ADDRESS", "--tls-cert FILE, --tls-key FILE", "LISTEN_OPTS".
    static const QRegularExpression name(u"^([\\w-]+)(?: <?([^>]*)>?)?$"_s);
    for (const QString& part : tag.split(u", "_s)) {
        const auto match = name.match(part.trimmed());
        if (match.hasMatch())
            options.insert(match.captured(1), {match.captured(2), text});
    }
}

// Tagged paragraphs: a line that `tagLine` matches (its first group the
// tag, its second where the text starts), then the lines below it that are
// empty or indented by `indent`. --help's options are "  --port <ADDRESS>
// The port's ..." with the text's lines below indented further; a man page
// section's tags stand at its indent (7), their text below (14).
QMap<QString, Option> Paragraphs(const QStringList& lines, const QString& tagLine, int indent)
{
    const QRegularExpression tagged(tagLine);
    QMap<QString, Option> found;
    QString tag;
    QStringList text;
    for (const QString& line : lines + QStringList{u"."_s}) {
        const auto match = tagged.match(line);
        if (!match.hasMatch() && !tag.isEmpty() && (line.isEmpty() || line.startsWith(QString(indent, u' ')))) {
            text << line;
            continue;
        }
        if (!tag.isEmpty())
            AddNames(found, tag, Simplified(text));
        tag = match.captured(1);
        text = QStringList{match.captured(2)};
    }
    return found;
}

// The options a text names after `lead`, sorted: "With --listen, --http or
// --https: ..." (the option's scope), "--reset goes with --headless (...)"
// (what a usage error says it needs).
QString OptionsAfter(const QString& text, const QString& lead)
{
    const auto match = QRegularExpression(lead + u"(--[\\w-]+(?:(?:, | or |, or )--[\\w-]+)*)"_s).match(text);
    QStringList names;
    for (const auto& name : QRegularExpression(u"--[\\w-]+"_s).globalMatch(match.captured(1)))
        names << name.captured(0);
    names.sort();
    return names.join(u", "_s);
}
QString Scope(const QString& text) { return OptionsAfter(text, u"^With "_s); }

// The shell variables a unit's ExecStart= line expands.
QStringList ExecStartVariables(const QString& unit)
{
    const auto line = QRegularExpression(u"^ExecStart=(.*)$"_s, QRegularExpression::MultilineOption).match(unit);
    QStringList names;
    for (const auto& name : QRegularExpression(u"\\$\\{?(\\w+)"_s).globalMatch(line.captured(1)))
        names << name.captured(1);
    return names;
}

// The options file's variables and the values it is installed with.
QMap<QString, QString> OptionsFile()
{
    QMap<QString, QString> variables;
    static const QRegularExpression assignment(u"^(\\w+)=\"([^\"]*)\"$"_s, QRegularExpression::MultilineOption);
    for (const auto& match : assignment.globalMatch(ReadText(QStringLiteral(RFSWITCH_PACKAGING "/rfswitch-panel-remote.default"))))
        variables.insert(match.captured(1), match.captured(2));
    return variables;
}

} // namespace

class ManPageTest : public QObject
{
    Q_OBJECT

    QString page_;
    QMap<QString, Option> help_, options_, service_;
    QStringList execStart_;

private slots:
    void initTestCase()
    {
        page_ = ManPage();
        QVERIFY2(!page_.isEmpty(), "groff rendered nothing: make test-deps installs groff-base");
        help_ = Paragraphs(Program({u"--help"_s}).out.split(u'\n'), u"^  ((?:-[\\w-]+, )*-[\\w-]+(?: <[^>]+>)?)(?: {2,}(.*))?$"_s, 3);
        QVERIFY2(!help_.isEmpty(), "rfswitch-panel --help listed no option");
        options_ = Paragraphs(Section(page_, u"OPTIONS"_s), u"^ {7}(-\\S.*?)\\s*$"_s, 14);
        service_ = Paragraphs(Section(page_, u"SERVICE"_s), u"^ {7}([A-Z_]+)\\s*$"_s, 14);
        execStart_ = ExecStartVariables(ReadText(QStringLiteral(RFSWITCH_PACKAGING "/rfswitch-panel-remote.service")));
    }

    // Each option in either list, once.
    void option_data()
    {
        QTest::addColumn<QString>("name");
        QStringList names = help_.keys() + options_.keys();
        names.removeDuplicates();
        for (const QString& name : names)
            QTest::newRow(qPrintable(name)) << name;
    }

    // Listed by both, with one argument name, and for the same servers.
    void option()
    {
        QFETCH(QString, name);
        QVERIFY2(help_.contains(name), qPrintable(name + u" is in the man page's OPTIONS but not in --help"_s));
        QVERIFY2(options_.contains(name), qPrintable(name + u" is in --help but not in the man page's OPTIONS"_s));
        QCOMPARE(options_[name].argument, help_[name].argument);
        QCOMPARE(Scope(options_[name].text), Scope(help_[name].text));
    }

    // The synopsis uses the options as they are.
    void synopsis_data()
    {
        AddColumns<QString, QString>("name", "argument");
        // Each form ("rfswitch-panel ...") and each paragraph apart.
        QStringList parts{QString()};
        for (const QString& line : Section(page_, u"SYNOPSIS"_s)) {
            if (line.trimmed().startsWith(u"rfswitch-panel "_s) || line.isEmpty())
                parts << QString();
            parts.last() += line.simplified() + u' ';
        }
        QVERIFY2(parts.join(QString()).trimmed().startsWith(u"rfswitch-panel "_s), qPrintable(parts.join(QString())));
        // An option, then its argument where one follows: "[--port ADDRESS]",
        // "[--listen [HOST:]PORT [--no-vxi11]]", "[--allow ADDRESS/PREFIX]...".
        static const QRegularExpression used(u"(--[\\w-]+)(?: (?!\\||\\[*-)(\\S+))?"_s);
        QStringList seen;
        for (const auto& match : used.globalMatch(parts.join(u'\n'))) {
            QString argument = match.captured(2);
            argument.remove(QRegularExpression(u"[.,]+$"_s));
            while (argument.endsWith(u']') && argument.count(u']') > argument.count(u'['))
                argument.chop(1);
            const QString row = (match.captured(1) + u' ' + argument).trimmed();
            if (!seen.contains(row))
                QTest::newRow(qPrintable(row)) << match.captured(1) << argument;
            seen << row;
        }
    }

    void synopsis()
    {
        const auto [name, argument] = Fetch<QString, QString>("name", "argument");
        QVERIFY2(help_.contains(name), qPrintable(name + u" is in the synopsis but not in --help"_s));
        QCOMPARE(argument, help_[name].argument);
    }

    // "With --listen: ..." is what the program holds to: the option alone is
    // bad usage, and the error names the same options.
    void scope_data()
    {
        AddColumns<QString, QString, QString>("name", "argument", "scope");
        // A value each argument takes, so that only the missing server is wrong.
        const QMap<QString, QString> sample{{u"ADDRESS/PREFIX"_s, u"10.0.0.0/8"_s}, {u"TEXT"_s, u"SN-7"_s},
                                            {u"SECONDS"_s, u"5"_s}, {u"[HOST:]PORT"_s, u"127.0.0.1:4881"_s},
                                            {u"FILE"_s, u"/nonexistent/file"_s}, {u"DIR"_s, u"/nonexistent"_s},
                                            {u"ADDRESS"_s, u"888"_s}, {u"[NAME=]PORT"_s, u"4096"_s}};
        for (auto option = help_.cbegin(); option != help_.cend(); ++option) {
            const QString scope = Scope(option->text);
            if (scope.isEmpty())
                continue;
            // Of a choice ("keep|off"), the first.
            const QString argument = option->argument.contains(u'|') ? option->argument.section(u'|', 0, 0)
                                                                     : sample.value(option->argument);
            if (!option->argument.isEmpty() && argument.isEmpty())
                QFAIL(qPrintable(u"no sample value for "_s + option->argument + u" here: add one for "_s + option.key()));
            QTest::newRow(qPrintable(option.key())) << option.key() << argument << scope;
        }
    }

    void scope()
    {
        const auto [name, argument, scope] = Fetch<QString, QString, QString>("name", "argument", "scope");
        QStringList arguments{name};
        if (!argument.isEmpty())
            arguments << argument;
        const Run run = Program(arguments);
        QVERIFY2(run.code == 2, qPrintable(name + u" alone is taken (exit "_s + QString::number(run.code) + u"): "_s + run.err));
        QCOMPARE(OptionsAfter(run.err, u"(?:goes with|go with|needs) "_s), scope);
    }

    // EXIT STATUS gives each failure the code the program exits with.
    void exitStatus_data()
    {
        AddColumns<QStringList, QString>("arguments", "said");  // said: what follows the code in EXIT STATUS
        QTest::newRow("bad usage") << QStringList{"--settle-time", "-1"} << "bad usage";
        QTest::newRow("port in use") << QStringList{"--headless", "--http", "127.0.0.1:BUSY", "--simulate", "--port", "4096"}
                                     << "where a server cannot listen: its port is in use";
    }

    void exitStatus()
    {
        auto [arguments, said] = Fetch<QStringList, QString>("arguments", "said");
        QTcpServer busy;
        QTemporaryDir runtime;
        QVERIFY(busy.listen(QHostAddress::LocalHost));
        const Run run = Program(arguments.replaceInStrings(u"BUSY"_s, QString::number(busy.serverPort())), NoDisplay({}, runtime.path()));
        QVERIFY2(Simplified(Section(page_, u"EXIT STATUS"_s)).contains(QString::number(run.code) + u' ' + said), qPrintable(run.err));
    }

    // Each variable of the service's options file: described in SERVICE with
    // the value it is installed with, and passed on by the unit.
    void serviceVariable_data()
    {
        QTest::addColumn<QString>("name");
        QStringList names = OptionsFile().keys() + service_.keys() + execStart_;
        names.removeDuplicates();
        for (const QString& name : names)
            QTest::newRow(qPrintable(name)) << name;
    }

    void serviceVariable()
    {
        QFETCH(QString, name);
        const auto file = OptionsFile();
        QVERIFY2(file.contains(name), qPrintable(name + u" is not in /etc/default/rfswitch-panel-remote"_s));
        QVERIFY2(service_.contains(name), qPrintable(name + u" is not described in the man page's SERVICE"_s));
        QVERIFY2(execStart_.contains(name), qPrintable(name + u" is not passed on by the unit's ExecStart="_s));
        // "As installed: "--listen 127.0.0.1:5025"." or "As installed: empty."
        const auto installed = QRegularExpression(u"As installed: (?:\"([^\"]*)\"|(empty))"_s).match(service_[name].text);
        QVERIFY2(installed.hasMatch(), qPrintable(u"no \"As installed:\" in: "_s + service_[name].text));
        QCOMPARE(installed.captured(1), file[name]);
    }
};

QTEST_GUILESS_MAIN(ManPageTest)
#include "tst_manpage.moc"
