// The panel's message box, a real modal one, open while every other client
// uses the switch: the SCPI server, the web API and the command line (the
// program itself, handed to the panel) are each answered before the box is
// closed, and nothing runs once it is.
#include "FakePort.h"
#include "PortOwner.h"
#include "Program.h"
#include "ScpiServer.h"
#include "SwitchForm.h"
#include "Table.h"
#include "WebServer.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int kTimeout = 30000;

// The next line a client reads, while this process serves it.
QByteArray Answer(QTcpSocket& socket)
{
    return QTest::qWaitFor([&socket] { return socket.canReadLine(); }, kTimeout) ? socket.readLine().trimmed() : "(no answer)";
}

// An HTTP exchange: the status line of the answer.
QByteArray Post(quint16 port, const QByteArray& path)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("POST /api/select HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\nContent-Length: "
                 + QByteArray::number(path.size()) + "\r\n\r\n" + path);
    return Answer(socket);
}

} // namespace

class MessageBoxTest : public QObject
{
    Q_OBJECT

    QTemporaryDir runtime;

private slots:
    void othersServedWhileItIsOpen_data()
    {
        // box: how the panel's message begins; scpi: "ROUT:CLOS (@2);*OPC?;ROUT:CLOS:STAT?" while the box is open; web: POST rf1;
        // code, err: --select off, handed to the panel; held: the data register once all three are done; log: what the core did
        // while the box was open. (A write refused opens the same box: tst_controlbits.)
        AddColumns<QString, QString, QByteArray, QByteArray, int, QString, int, QString>("fault", "box", "scpi", "web", "code", "err", "held", "log");
        const QString fromScpi = u"remote:127.0.0.1 register=data(888) wrote=0x02 read=0x02 attempts=1 result=verified"_s;
        const QString all = u"remote:127.0.0.1 register=data(888) wrote=0x02 read=0x02 attempts=1 result=verified\n"
                            "remote:http:127.0.0.1 register=data(888) wrote=0x00 read=0x00 attempts=1 result=verified\n"
                            "remote:http:127.0.0.1 register=data(888) wrote=0x01 read=0x01 attempts=1 result=verified\n"
                            "command-line register=data(888) wrote=0x00 read=0x00 attempts=1 result=verified\n"_s;
        QTest::newRow("read fails") << "read" << "Port 888 not switched:\nPort 888: nothing written, the port could not be read"
                                    << QByteArray("1;(@2)") << QByteArray("HTTP/1.1 200 OK") << 0 << "" << 0x00 << all;
        // The lock holder goes on switching; everyone else is told at once.
        const QString locked = u"locked by remote:127.0.0.1"_s;
        QTest::newRow("locked") << "lock" << "Port 888 not switched:\nlocked by remote:127.0.0.1"
                                << QByteArray("1;(@2)") << QByteArray("HTTP/1.1 409 Conflict") << 3 << locked << 0x02
                                << fromScpi + u"\nremote:http:127.0.0.1 select-rf1 result=refused (locked by remote:127.0.0.1)\n"
                                              "command-line select-off result=refused (locked by remote:127.0.0.1)\n"_s;
    }

    void othersServedWhileItIsOpen()
    {
        const auto [fault, box, web, err] = Fetch<QString, QString, QByteArray, QString>("fault", "box", "web", "err");
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        FakePort port;
        // What the command line would find here too: it is handed to this panel.
        port.status = kSimulatedPort;
        const ScopedPorts use(port);
        SwitchCore core{port};
        core.SetAllowSimulated(true);
        PortOwner owner{core};
        ScpiServer scpi{core, ProgramIdentity(), {}};
        QVERIFY(scpi.Listen({QHostAddress::LocalHost, 0}));
        WebServer http{core};
        QVERIFY(http.Listen({QHostAddress::LocalHost, 0}));
        SwitchFormContext context;  // with the real message box
        context.versionQuery = [](OsVersionInfo&) { return 0; };
        context.core = &core;
        SwitchForm form(context);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, scpi.Port());
        if (fault == "lock"_L1) {
            client.write("SYST:LOCK:REQ?\n");
            QCOMPARE(Answer(client), QByteArray("1"));
        }
        port.readError = fault == "read"_L1 ? "/dev/parport0: input/output error" : "";
        QString log;
        connect(&core, &SwitchCore::Logged, this, [&log](const std::string& line) {
            // Without the clients' port numbers and the port's description.
            log += QString::fromStdString(line).remove(QRegularExpression(u":\\d+(?=[ )])| port=888 board=simulated"_s)) + u'\n';
        });

        QString shown, shownErr;
        QByteArray scpiAnswer, webAnswer;
        int code = -2;
        bool freeWhenOpened = false, openThroughout = true;
        // Looks at every turn of the event loop until the box has opened.
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            auto* modal = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!modal)
                return;
            watch.stop();
            shown = modal->text();
            freeWhenOpened = !core.Running();
            // The port works again; the others come while the box waits for its user.
            port.readError.clear();
            log.clear();
            client.write("ROUT:CLOS (@2);*OPC?;ROUT:CLOS:STAT?\n");
            scpiAnswer = Answer(client);
            openThroughout &= QApplication::activeModalWidget() == modal;
            webAnswer = Post(http.Port(), "rf1");
            openThroughout &= QApplication::activeModalWidget() == modal;
            const Run command = Program({"--select", "off", "--simulate", "--port", "888"});
            code = command.code;
            shownErr = command.err.trimmed();
            openThroughout &= QApplication::activeModalWidget() == modal;
            port.accesses.clear();
            modal->done(QMessageBox::Ok);
        });
        watch.start(0);
        // The lock greys the buttons: its refusal comes from the keys.
        if (fault == "lock"_L1)
            QTest::keyClick(&form, Qt::Key_1, Qt::ControlModifier);
        else
            QTest::mouseClick(form.findChild<QPushButton*>(u"C1"_s), Qt::LeftButton);
        QCoreApplication::processEvents();

        QVERIFY2(!shown.isEmpty() && shown.startsWith(box), qPrintable(shown));
        // Opened once the panel's own operation was over, not inside it; open while the others were served.
        QCOMPARE(QList<bool>({freeWhenOpened, openThroughout}), QList<bool>({true, true}));
        QTEST(scpiAnswer, "scpi");
        QVERIFY2(webAnswer.startsWith(web), webAnswer.constData());
        QTEST(code, "code");
        QVERIFY2(err.isEmpty() ? shownErr.isEmpty() : shownErr.startsWith(u"rfswitch-panel: "_s + err), qPrintable(shownErr));
        QTEST(log, "log");
        // Nothing was left to run once the box closed.
        QCOMPARE(port.Take(), QString());
        QTEST(int(port.Latched(888)), "held");
    }
};

QTEST_MAIN(MessageBoxTest)
#include "tst_messagebox.moc"
