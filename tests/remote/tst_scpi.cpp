// Remote control on the real switch core and a recording port: the SCPI
// command layer (what a script reads back, what lands in the error queue,
// what reaches the port) and the server over loopback with QTcpSocket clients.
#include "Emitted.h"
#include "FakePort.h"
#include "RelayCycles.h"
#include "ScpiServer.h"
#include "ScpiSession.h"
#include "SwitchInstrument.h"
#include "SwitchSystem.h"
#include "Table.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>
#include <utility>

#include <sys/socket.h>

namespace {

constexpr int kTimeout = 30000;

struct Board
{
    FakePort port;
    SwitchCore core{port};
    ScpiServer server;
    QSignalSpy refused{&server, &ScpiServer::Refused};

    // A write reads back only from its n-th attempt on: n > 101 reaches the
    // paused tail, so that commands from everyone arrive while one is under way.
    explicit Board(int readBackAfter = 1, ConnectionPolicy policy = {}) : server(core, ProgramIdentity(), std::move(policy))
    {
        core.TakeAddress(888, true, Source{});
        port.accesses.clear();
        port.readBackAfter = readBackAfter;
        server.Listen({QHostAddress::LocalHost, 0});
    }

    // From `from`, another address of loopback standing for another peer.
    std::unique_ptr<QTcpSocket> Connect(const QString& from = QStringLiteral("127.0.0.1")) const
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->bind(QHostAddress(from));
        socket->connectToHost(QHostAddress::LocalHost, server.Port());
        return socket;
    }

    // Runs `then` when the first write reaches the port, before it is read back.
    void OnFirstWrite(std::function<void()> then)
    {
        port.onAccess = [then = std::move(then), done = false](const PortAccess& access) mutable {
            if (access.kind == PortAccess::Kind::Write && !std::exchange(done, true))
                then();
        };
    }
};

// Gone for good: a reset, not a client that only stopped sending.
void Reset(QTcpSocket& socket)
{
    const linger now{1, 0};
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    socket.abort();
}

// The next line the server sends, read while the server's own events run.
QByteArray ReadLine(QTcpSocket& socket)
{
    return QTest::qWaitFor([&socket] { return socket.canReadLine(); }, kTimeout) ? socket.readLine() : "(no answer)";
}

} // namespace

class TestScpi : public QObject
{
    Q_OBJECT

private slots:
    void commands_data()
    {
        // writes "-": not compared
        AddColumns<QString, QString, QString, QString, QString>("setup", "input", "answers", "errors", "writes");

        const QString none;
        QTest::newRow("1 to 2 breaks first") << "real" << "ROUTe:CLOSe (@1)\nROUT:CLOS (@2)\n" << none << none << "w888:01 w888:00 w888:02";
        QTest::newRow("relative header") << "real" << "ROUT:CLOS (@1);OPEN (@1);:ROUT:CLOS:STAT?\n" << "(@)\n" << none << "w888:01 w888:00";
        QTest::newRow("relative within a line only") << "real" << "DIAG:REL:CYCL:LIM 5\nLIM?;DIAG:REL:CYCL:LIM?\n" << "5\n" << "-113" << "";
        // The forms of switch units: ROUTe left out, EXCLusive, CHANnel:DELay for the settle time.
        QTest::newRow("ROUTe left out") << "real" << "CLOS (@2);:CLOS:STAT?;:OPEN:ALL;:DONE?;:SETT:TIME 0.05;:SETT:TIME?;:OPEN? (@1)\n"
                                        << "(@2);1;0.05;1\n" << none << "w888:02 w888:00";
        QTest::newRow("exclusive") << "real" << "ROUT:CLOS:EXCL (@2);CLOS:STAT?;:CLOS:EXCL (@1);:ROUT:CLOS:EXCL (@1,2)\n" << "(@2)\n" << "-221"
                                   << "w888:02 w888:00 w888:01";
        QTest::newRow("channel delay") << "real" << "ROUT:CHAN:DEL 0.05;DEL?;DEL? (@1,2);:CHAN:DEL 20 MS,(@2);:SETT:TIME?;:CHAN:DEL 1,(@3);DEL?\n"
                                       << "0.05;0.05,0.05;0.02;0.02\n" << "-222" << "";
        QTest::newRow("MIN, MAX, DEF") << "real" << "ROUT:SETT:TIME? MIN;TIME? MAX;TIME? DEF;TIME 3;TIME DEF;TIME?;:ROUT:CHAN:DEL? MAX;"
                                                    ":DIAG:REL:CYCL:LIM? MAX;LIM? MIN;LIM MAX;LIM?;LIM DEF;LIM?;:ROUT:SETT:TIME? ON\n"
                                       << "0;60;0;0;60;4294967295;0;4294967295;0\n" << "-224" << "";
        // DEF and *RST: the settle time the program started with.
        QTest::newRow("reset to the start's settle time") << "settle 20" << "ROUT:SETT:TIME?;TIME 1;*RST;:ROUT:SETT:TIME?;TIME? DEF;TIME MIN;TIME DEF;TIME?\n"
                                                          << "0.02;0.02;0.02;0.02\n" << none << "";
        // Labels stand for their channels in any list, bare or quoted, in any case.
        QTest::newRow("labels") << "real" << "ROUT:CHAN:LAB \"ANT\",(@1);LAB \"load\",(@2);LAB? (@2,1);:CLOS (@ant);:CLOS:STAT?;:CLOS (@\"LOAD\");"
                                             ":ROUT:CLOS? (@ANT,Load);:DIAG:REL:CYCL? (@LOAD);:ROUT:CHAN:LAB? (@1:Load)\n"
                                << "\"load\",\"ANT\";(@1);0,1;1;\"ANT\",\"load\"\n" << none << "w888:01 w888:00 w888:02";
        QTest::newRow("labels refused") << "real" << "ROUT:CHAN:LAB \"1ANT\",(@1)\nROUT:CHAN:LAB \"RF2\",(@1)\nROUT:CHAN:LAB \"A\",(@1,2)\n"
                                                     "ROUT:CHAN:LAB ANT,(@1)\nROUT:CHAN:LAB \"ANT\",(@1);LAB \"ant\",(@2)\nROUT:CLOS (@FOO)\n"
                                                     "ROUT:CHAN:LAB \"ABCDEFGHIJKLM\",(@1)\nROUT:CHAN:LAB? (@ANT);LAB \"\",(@1);LAB?\nROUT:CLOS (@ANT\n"
                                        << "\"ANT\";\"\",\"\"\n" << "-224 -224 -221 -104 -221 -224 -224 -102" << "";
        // *SAV and *RCL: the path, the settle time, the labels and the limit of the board.
        QTest::newRow("saved setup") << "real" << "ROUT:CLOS (@2);:ROUT:SETT:TIME 0.03;:ROUT:CHAN:LAB \"ANT\",(@2);:DIAG:REL:CYCL:LIM 7;*SAV 4;*RST;"
                                                  ":ROUT:CHAN:LAB \"\",(@2);:DIAG:REL:CYCL:LIM 0;*RCL 4;*OPC?;:ROUT:CLOS:STAT?;:ROUT:SETT:TIME?;"
                                                  ":ROUT:CHAN:LAB? (@2);:DIAG:REL:CYCL:LIM?\n"
                                     << "1;(@2);0.03;\"ANT\";7\n" << none << "w888:02 w888:00 w888:02";
        QTest::newRow("setups refused") << "real" << "*RCL 5\n*SAV 10\n*RCL\nSYST:POS RCL10\nSYST:POS?;POS RCL3;POS?;POS KEEP;POS?\n"
                                        << "KEEP;RCL3;KEEP\n" << "-256 -222 -109 -224" << "";
        QTest::newRow("settings locked by another") << "locked" << "ROUT:CHAN:LAB \"ANT\",(@1);*SAV 1;*RCL 1;SYST:POS RCL1;*RST;:ROUT:SETT:TIME?\n"
                                                    << "0\n" << "-203 -203 -203 -203 -203" << "";
        QTest::newRow("open of an open path") << "real" << "ROUT:CLOS (@1);ROUT:OPEN (@2);ROUT:CLOS:STAT?\n" << "(@1)\n" << none << "w888:01";
        QTest::newRow("open all, self-test") << "real" << "ROUT:CLOS (@2);ROUT:OPEN:ALL;ROUT:OPEN? (@1,2);*TST?\n" << "1,1;0\n" << none << "w888:02 w888:00";
        QTest::newRow("both paths as a range") << "real" << "ROUT:CLOS (@1:2)\n" << none << "-221" << "";
        QTest::newRow("channel 3") << "real" << "ROUT:CLOS (@3)\nROUT:CLOS? (@0)\n" << none << "-222 -222" << "";
        QTest::newRow("parameters") << "real" << "ROUT:CLOS\nROUT:CLOS 1\nROUT:CLOS (@1\nROUT:CLOS (@1),(@2)\n*IDN? 1\n" << none << "-109 -104 -102 -108 -108" << "";
        QTest::newRow("headers") << "real" << "ROUT:SHUT (@1)\nROUT:CLOS\x01 (@1)\n123\nROUT::CLOS (@1)\n*RST?\n" << none << "-113 -101 -100 -102 -113" << "";
        QTest::newRow("port in hex") << "real" << "SYST:PORT &H278;SYST:PORT?;*IDN?;*OPT?\n" << "632;rfswitch-panel,QTR7-415KM,SN17,1.0.0;0\n" << none << "w634:00 w632:00";
        QTest::newRow("no port there") << "real" << "SYST:PORT 0\nSYST:PORT\nSYST:PORT (@1)\n" << none << "-222 -109 -224" << "";
        QTest::newRow("not an address") << "real" << "SYST:PORT 8\"88\nSYST:PORT 888abc\nSYST:PORT 1e3\nSYST:PORT \"8;88\"\nSYST:PORT 70000\nSYST:PORT &H37G\n"
                                                     "SYST:PORT?;SYST:ERR?;SYST:ERR?\n"
                                        << "888;-102,\"Syntax error\";-224,\"Illegal parameter value; 888abc is no address: write it 888, #H378 or &H378\"\n"
                                        << "-224 -224 -222 -224" << "";
        QTest::newRow("address forms") << "real" << "SYST:PORT #H278;SYST:PORT?;SYST:PORT #q1570;SYST:PORT?;SYST:PORT #B1001111000;SYST:PORT &O1170;SYST:PORT?\n"
                                       << "632;888;632\n" << none << "w634:00 w632:00 w890:00 w888:00 w634:00 w632:00 w634:00 w632:00";
        QTest::newRow("channels in the order given") << "real" << "ROUT:CLOS (@1);ROUT:CLOS? (@2:1);ROUT:OPEN? (@ 2, 1,2)\n" << "0,1;1,0,1\n" << none << "w888:01";
        QTest::newRow("status byte") << "real" << "*ESE 32;*SRE 36;FOO;*STB?;*ESR?;*STB?;*ESE?;*SRE?;*CLS;*STB?\n" << "100;32;84;32;36;16\n" << none << "";
        QTest::newRow("status enables") << "real" << "*SRE 255;*SRE?;*ESE #H1FF;*ESE MAX;STAT:OPER:ENAB 32768;STAT:QUES:ENAB 3.6;STAT:QUES:ENAB?;STAT:PRES;STAT:QUES:ENAB?\n"
                                        << "191;4;0\n" << "-222 -104 -222" << "";
        // A bit set in a register but not enabled raises no summary bit.
        QTest::newRow("questionable, enabled or not") << "simulated" << "STAT:QUES:ENAB 1024;*STB?;STAT:QUES:ENAB 512;*STB?;STAT:QUES:ENAB 1024;*STB?\n"
                                                      << "0;24;16\n" << none << "";
        QTest::newRow("operation, enabled or not") << "real" << "ROUT:CLOS (@1);STAT:OPER:ENAB 0;*SRE 128;*STB?;STAT:OPER:ENAB 256;*STB?\n"
                                                   << "0;208\n" << none << "w888:01";
        QTest::newRow("operation register") << "real" << "STAT:OPER:ENAB 256;*SRE 128;ROUT:CLOS (@1);STAT:OPER:COND?;*STB?;STAT:OPER?;STAT:OPER?;STAT:OPER:ENAB?\n"
                                            << "0;208;256;0;256\n" << none << "w888:01";
        // IEEE 488.2's transition filters: rising edges only, until set otherwise.
        QTest::newRow("transition filters") << "real" << "STAT:OPER:PTR?;NTR?;STAT:QUES:PTR?;NTR?;STAT:OPER:PTR 0;NTR 256;*CLS;PTR?;NTR?;"
                                                         "STAT:QUES:NTR #H600;NTR?;STAT:PRES;STAT:OPER:PTR?;NTR?;STAT:QUES:NTR?\n"
                                            << "32767;0;32767;0;0;256;1536;32767;0;0\n" << none << "";
        QTest::newRow("filters out of range") << "real" << "STAT:OPER:PTR 32768;STAT:QUES:NTR -1;STAT:OPER:NTR MAX;STAT:OPER:PTR?\n"
                                              << "32767\n" << "-222 -222 -104" << "";
        QTest::newRow("an operation's end") << "real" << "STAT:OPER:PTR 0;NTR 256;ROUT:CLOS (@1);*OPC?;STAT:OPER?;STAT:OPER?\n"
                                            << "1;256;0\n" << none << "w888:01";
        QTest::newRow("neither edge") << "real" << "STAT:OPER:PTR 0;ROUT:CLOS (@1);*OPC?;STAT:OPER?\n" << "1;0\n" << none << "w888:01";
        // A client back from a timeout: a blank line ends whatever it left half sent.
        QTest::newRow("sync token") << "real" << "\nSYST:SYNC? \"4f1c\"\"9a\";:SYSTem:SYNC? 'x'\nSYST:SYNC? 49\n" << "\"4f1c\"\"9a\";\"x\"\n" << "-104" << "";
        QTest::newRow("error queue") << "real" << "FOO;SYST:ERR:COUN?;BAR;SYST:ERR:ALL?;SYST:ERR:COUN?;SYST:ERR:ALL?\n"
                                     << "1;-113,\"Undefined header\",-113,\"Undefined header\";0;0,\"No error\"\n" << none << "";
        QTest::newRow("texts at most 255") << "real" << "SYST:PORT \"" + QString(300, 'x') + "\";SYST:ERR?\n"
                                           << "-224,\"Illegal parameter value; not a port device: '" + QString(210, 'x') + "\"\n" << none << "";
        // A USB adapter has no address: its device, as a string, names it; its registers are 0 to 2.
        QTest::newRow("port by device") << "real" << "SYST:PORT \"/dev/parport1\";SYST:PORT?\n" << "\"/dev/parport1\"\n" << none << "w2:00 w0:00";
        QTest::newRow("not a port device") << "real" << "SYST:PORT \"COM1\"\nSYST:PORT '/dev/parport1\n" << none << "-224 -102" << "";
        QTest::newRow("port list") << "real" << "SYST:PORT:LIST?\n"
                                   << "\"/dev/parport0: base 888 (0x378); usable: --port 888\",\"/dev/usb/lp0: base none: USB; not usable\"\n"
                                   << none << "";
        // However long a verified write takes, *OPC? answers after it.
        QTest::newRow("complete after a write") << "stuck" << "ROUT:CLOS (@1);*OPC?\n" << "1\n" << "-240" << "-";
        QTest::newRow("lock") << "real" << "SYST:LOCK:OWN?;SYST:LOCK:REQ?;SYST:LOCK:OWN?;SYST:LOCK:REQ?;SYST:LOCK:REL;SYST:LOCK:OWN?\n"
                              << "\"NONE\";1;\"remote:127.0.0.1:5000\";1;\"NONE\"\n" << none << "";
        QTest::newRow("locked by another") << "locked" << "ROUT:CLOS (@2);SYST:PORT 632;*RST;SYST:LOCK:REQ?;ROUT:CLOS:STAT?;SYST:PORT?;SYST:ERR?\n"
                                           << "0;(@1);888;-203,\"Command protected; locked by remote:127.0.0.1:6000\"\n" << "-203 -203" << "";
        QTest::newRow("state unknown") << "unreadable" << "ROUT:CLOS:STAT?;ROUT:CLOS? (@1);STAT:QUES:COND?\n" << "9.91E+37;9.91E+37;1024\n" << "-240 -240" << "-";
        QTest::newRow("simulated refuses") << "simulated" << "ROUT:CLOS (@1);*RST;ROUT:CLOS:STAT?;SYST:PORT:SIM?;STAT:QUES:COND?;STAT:QUES?;STAT:QUES?;*TST?\n"
                                           << "(@);1;512;512;0;1\n" << "-241 -241" << "";
        QTest::newRow("unusable port") << "unusable" << "ROUT:CLOS (@1);SYST:ERR?\n"
                                       << "-241,\"Hardware missing; /dev/parport0: permission denied; add your user to the lp group\"\n" << none << "";
        // Nothing reached the port, in the system's words.
        QTest::newRow("write refused") << "write refused" << "ROUT:CLOS (@1);SYST:ERR?\n"
                                       << "-240,\"Hardware error; Port 888: nothing written: 110 writes of 0x01 failed: /dev/port: no space left on device\"\n"
                                       << none << "";
        QTest::newRow("unreadable before writing") << "unreadable" << "ROUT:CLOS (@1);SYST:ERR?\n"
                                                   << "-240,\"Hardware error; Port 888: nothing written, the port could not be read: /dev/parport0: "
                                                      "input/output error; the board's state is unknown\"\n" << none << "";
        // The settle time: one setting of the switch, in seconds, kept to the millisecond.
        QTest::newRow("settle time") << "real" << "ROUT:SETT:TIME?;TIME 0.05;TIME?;TIME 120 MS;TIME?;TIME 1.5S;TIME?;TIME MAX;TIME?;TIME MIN;TIME?\n"
                                     << "0;0.05;0.12;1.5;60;0\n" << none << "";
        QTest::newRow("settle time rounded") << "real" << "ROUT:SETT:TIME 0.0004;TIME?;TIME 0.0126;TIME?\n" << "0;0.013\n" << none << "";
        QTest::newRow("settle time out of range") << "real" << "ROUT:SETT:TIME 60.001\nROUT:SETT:TIME -0.001\nROUT:SETT:TIME ON\nROUT:SETT:TIME\nROUT:SETT:TIME?\n"
                                                  << "0\n" << "-222 -222 -104 -109" << "";
        QTest::newRow("settle time locked by another") << "locked" << "ROUT:SETT:TIME 0.05;TIME?;:SYST:ERR?\n"
                                                       << "0;-203,\"Command protected; locked by remote:127.0.0.1:6000\"\n" << none << "";
        // The path shows at once; the operation is done once the switch has settled.
        QTest::newRow("settling") << "real" << "ROUT:DONE?;STAT:OPER:COND?;:ROUT:SETT:TIME 1;:ROUT:CLOS (@1);DONE?;CLOS:STAT?;:STAT:OPER:COND?\n"
                                  << "1;0;0;(@1);2\n" << none << "w888:01";
        QTest::newRow("no write, no settling") << "real" << "ROUT:SETT:TIME 1;:ROUT:OPEN:ALL;:ROUT:DONE?;:STAT:OPER:COND?\n" << "1;0\n" << none << "";
        QTest::newRow("line too long") << "real" << "ROUT:CLOS (@1)" + QString(4083, ' ') + "\nSYST:ERR?;ROUT:CLOS:STAT?\n"
                                       << "-102,\"Syntax error; line longer than 4096 bytes discarded\";(@)\n" << none << "";
        QTest::newRow("longest line, CR LF") << "real" << "ROUT:CLOS (@1)" + QString(4082, ' ') + "\r\nROUT:CLOS:STAT?\n" << "(@1)\n" << none << "w888:01";
        QTest::newRow("error queue overflows") << "real" << QString("FOO\n").repeated(17) + QString("SYST:ERR?\n").repeated(17)
                                               << QString("-113,\"Undefined header\"\n").repeated(15) + "-350,\"Queue overflow\"\n0,\"No error\"\n" << none << "";
        // The relay cycle counters as a script reads and resets them, and the
        // QUEStionable bit once a path has reached the limit.
        QTest::newRow("no cycles yet") << "real" << "DIAG:REL:CYCL? (@1,2);DIAG:REL:CYCL:LIM?\n" << "0,0;0\n" << none << "-";
        QTest::newRow("in the order asked") << "real" << "ROUT:CLOS (@1);ROUT:CLOS (@2);ROUT:CLOS (@1);DIAG:REL:CYCL? (@2,1);"
                                                         "DIAGnostic:RELay:CYCLes? (@1:2);:diag:rel:cycl? (@1)\n"
                                            << "1,2;2,1;2\n" << none << "-";
        QTest::newRow("cycles cleared") << "real" << "ROUT:CLOS (@1);ROUT:CLOS (@2);DIAG:REL:CYCL:CLE (@2);DIAG:REL:CYCL? (@1,2)\n" << "1,0\n" << none << "-";
        QTest::newRow("cycle limit, relative headers") << "real" << "DIAG:REL:CYCL:LIM 5;LIM?;CLE (@1,2);LIM?\n" << "5;5\n" << none << "-";
        QTest::newRow("limit reached") << "real" << "DIAG:REL:CYCL:LIM 2;STAT:QUES:COND?;ROUT:CLOS (@1);ROUT:OPEN:ALL;ROUT:CLOS (@1);"
                                                    "STAT:QUES:COND?;STAT:QUES?;STAT:QUES?;DIAG:REL:CYCL:CLE (@1);STAT:QUES:COND?\n"
                                       << "0;2048;2048;0;0\n" << none << "-";
        QTest::newRow("limit set below the count") << "real" << "ROUT:CLOS (@2);ROUT:CLOS (@1);ROUT:CLOS (@2);DIAG:REL:CYCL:LIM 2;STAT:QUES:COND?;"
                                                                "DIAG:REL:CYCL:LIM 0;STAT:QUES:COND?\n"
                                                   << "2048;0\n" << none << "-";
        QTest::newRow("cycle limit summary bit") << "real" << "DIAG:REL:CYCL:LIM 1;STAT:QUES:ENAB 2048;*SRE 8;*STB?\nROUT:CLOS (@2);*STB?\n" << "0\n72\n" << none << "-";
        QTest::newRow("limit out of range") << "real" << "DIAG:REL:CYCL:LIM -1\nDIAG:REL:CYCL:LIM 4294967296\nDIAG:REL:CYCL:LIM ON\n"
                                                         "DIAG:REL:CYCL:LIM\nDIAG:REL:CYCL:LIM 4294967295;LIM?\n"
                                            << "4294967295\n" << "-222 -222 -104 -109" << "-";
        QTest::newRow("cycle channel lists") << "real" << "DIAG:REL:CYCL? (@3)\nDIAG:REL:CYCL:CLE 1\nDIAG:REL:CYCL:CLE\nROUT:CLOS (@2);:DIAG:REL:CYCL?\n"
                                             << "0,1\n" << "-222 -104 -109" << "-";
        QTest::newRow("cycles locked by another") << "locked" << "ROUT:CLOS (@2);DIAG:REL:CYCL:CLE (@1,2);DIAG:REL:CYCL:LIM 3;DIAG:REL:CYCL? (@1,2);"
                                                          "DIAG:REL:CYCL:LIM?;SYST:ERR?\n"
                                           << "1,0;0;-203,\"Command protected; locked by remote:127.0.0.1:6000\"\n" << "-203 -203" << "-";
        QTest::newRow("cycles not read back") << "stuck" << "ROUT:CLOS (@1);DIAG:REL:CYCL? (@1,2)\n" << "0,0\n" << "-240" << "-";
    }

    void commands()
    {
        const auto [setup, input, answers, errors, writes] =
            Fetch<QString, QString, QString, QString, QString>("setup", "input", "answers", "errors", "writes");

        FakePort port;
        if (setup == QLatin1String("simulated"))
            port.status = {PortReach::Simulated, "simulated port", "no port at 888", "", false};
        else if (setup == QLatin1String("unusable"))
            port.status = {PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied", "add your user to the lp group", false};
        else if (setup == QLatin1String("stuck"))
            port.stuckRead = 0;
        else if (setup == QLatin1String("unreadable"))
            port.readError = "/dev/parport0: input/output error";
        SwitchCore core{port};
        QTemporaryDir folder;
        RelayCycles counts{folder.path()};
        core.SetCycles(&counts);
        core.TakeAddress(888, true, Source{});
        if (setup == QLatin1String("settle 20"))
            core.SetStartSettleTime(std::chrono::milliseconds(20));
        if (setup == QLatin1String("write refused"))
            port.writeError = "/dev/port: no space left on device";
        if (setup == QLatin1String("locked")) {
            core.Select(RfPath::Rf1, Source{});
            core.Lock(Source::Remote("127.0.0.1:6000"));
        }
        port.accesses.clear();
        const std::vector<std::string> ports{"/dev/parport0: base 888 (0x378); usable: --port 888",
                                             "/dev/usb/lp0: base none: USB; not usable"};
        SwitchInstrument instrument{core, Source::Remote("127.0.0.1:5000"), [&ports] { return ports; }};
        const auto session = ScpiSession::Create(instrument, {"rfswitch-panel", "QTR7-415KM", "SN17", "1.0.0"});
        QString said;
        session->SetOutput([&said](std::string_view text) { said += QString::fromLatin1(text.data(), qsizetype(text.size())); });
        // Bytes arrive as the network hands them over: here one at a time.
        for (const char byte : input.toLatin1())
            session->Feed(std::string_view(&byte, 1));
        // What waits for a settle time is answered once it has passed.
        QTRY_VERIFY_WITH_TIMEOUT(said.count(u'\n') >= answers.count(u'\n'), kTimeout);

        QStringList queued;
        for (const auto& error : session->Errors())
            queued << QString::number(error.number);
        const QString written = writes == QLatin1String("-") ? writes : Trace(port.Writes());
        QCOMPARE((QStringList{said, queued.join(u' '), written}), (QStringList{answers, errors, writes}));
        core.SetCycles(nullptr);
    }

    // Three boards behind one instrument, at 888, 632 and 956: slot
    // channels, the boards switched together, one failing, the lock over
    // all. `writes`: each board's, "|" between boards; `detail`: a part of
    // the first error's words.
    void boards_data()
    {
        AddColumns<QString, QString, QString, QString, QString, QString>("setup", "input", "answers", "errors", "writes", "detail");
        const QString none;
        QTest::newRow("slot channels") << "" << "ROUT:CLOS (@101,202);*OPC?;:ROUT:CLOS:STAT?;:ROUT:CLOS? (@101,102,201,202,301);OPEN? (@302)\n"
                                       << "1;(@101,202);1,0,0,1,0;1\n" << none << "w888:01|w632:02|" << none;
        QTest::newRow("1 and 2 are board 1's") << "" << "ROUT:CLOS (@2);*OPC?;:ROUT:CLOS:STAT?\n" << "1;(@102)\n" << none << "w888:02||" << none;
        QTest::newRow("a range across boards") << "" << "ROUT:CLOS? (@102:301)\n" << "0,0,0,0\n" << none << "||" << none;
        QTest::newRow("both paths of one board") << "" << "ROUT:CLOS (@101,201,202)\n" << none << "-221" << "||"
                                                 << "RF1 and RF2 of board 2 cannot be closed together";
        QTest::newRow("no board 4") << "" << "ROUT:CLOS (@401)\n" << none << "-222" << "||"
                                    << "channels are b01 (RF1) and b02 (RF2) of board b, from 1 to 3";
        QTest::newRow("open all") << "" << "ROUT:CLOS (@102,201,302);:OPEN:ALL;*OPC?;:CLOS:STAT?\n" << "1;(@)\n" << none
                                  << "w888:02 w888:00|w632:01 w632:00|w956:02 w956:00" << none;
        QTest::newRow("open one board") << "" << "ROUT:CLOS (@101,201);:OPEN (@201,301);*OPC?;:CLOS:STAT?\n" << "1;(@101)\n" << none
                                        << "w888:01|w632:01 w632:00|" << none;
        QTest::newRow("one board fails, named") << "board 2 fails" << "ROUT:CLOS (@101,201,301);*OPC?;:ROUT:CLOS:STAT?\n" << "1;(@101,301)\n"
                                                << "-240" << "w888:01||w956:01" << "board 2: Port 632: nothing written";
        QTest::newRow("the others named as not switched") << "board 2 fails" << "ROUT:CLOS (@201)\n" << none << "-240" << "||"
                                                          << "; not switched: board 2";
        QTest::newRow("locked through another board") << "locked" << "ROUT:CLOS (@101,301);:ROUT:CHAN:DEL 1\n" << none << "-203 -203 -203 -203" << "||"
                                                      << "locked by remote:192.0.2.9:5025";
        QTest::newRow("a settle time per board") << "" << "ROUT:CHAN:DEL 0.02,(@201);:ROUT:CHAN:DEL? (@101,201,202,301)\n" << "0,0.02,0.02,0\n"
                                                 << none << "||" << none;
        QTest::newRow("DONE? waits for every board") << "" << "ROUT:CHAN:DEL 0.05,(@201);:ROUT:CLOS (@201);:ROUT:DONE?;*OPC?;:ROUT:DONE?\n"
                                                     << "0;1;1\n" << none << "|w632:01|" << none;
        QTest::newRow("a board's unknown state questionable") << "board 3 unread" << "STAT:QUES:COND?\n" << "1024\n" << none << "||" << none;
        QTest::newRow("*SAV and *RCL every board")
            << "saved" << "ROUT:CLOS (@101,202);:ROUT:CHAN:DEL 0.02,(@201);*SAV 3;:ROUT:CLOS (@102,201,302);:ROUT:CHAN:DEL 0,(@201);"
                          "*RCL 3;*OPC?;:ROUT:CLOS:STAT?;:ROUT:CHAN:DEL? (@101,201)\n"
            << "1;(@101,202);0,0.02\n" << none << "w888:01 w888:00 w888:02 w888:00 w888:01|w632:02 w632:00 w632:01 w632:00 w632:02|w956:02 w956:00" << none;
        QTest::newRow("*RCL never saved, every board named") << "saved" << "*RCL 5\n" << none << "-256" << "||"
                                                             << "; not recalled: board 1, 2, 3";
        QTest::newRow("slots described") << "" << "SYST:CTYP? 2;:SYST:CDES? 3;:SYST:CTYP? 4\n"
                                         << "rfswitch-panel,QTR7-415KM,SN17,1.0.0;\"QTR7-415KM rack3 on port 956\"\n" << "-222" << "||" << none;
    }

    void boards()
    {
        const auto [setup, input, answers, errors, writes, detail] =
            Fetch<QString, QString, QString, QString, QString, QString>("setup", "input", "answers", "errors", "writes", "detail");
        std::array<FakePort, 3> ports;
        if (setup == QLatin1String("board 3 unread"))
            ports[2].readError = "/dev/parport2: input/output error";
        // Each board's files, in one folder as the program keeps them.
        QTemporaryDir folder;
        std::vector<std::unique_ptr<RelayCycles>> files;
        std::vector<std::unique_ptr<SwitchCore>> cores;
        SwitchSystem system;
        for (const std::int32_t address : {888, 632, 956}) {
            SwitchCore& core = *cores.emplace_back(std::make_unique<SwitchCore>(ports[cores.size()]));
            system.Add(core, "rack" + std::to_string(cores.size()));
            if (setup == QLatin1String("saved"))
                core.SetCycles(files.emplace_back(std::make_unique<RelayCycles>(folder.path())).get());
            core.TakeAddress(address, false, Source{});
        }
        if (setup == QLatin1String("board 2 fails"))
            ports[1].writeError = "/dev/parport1: no such device";

        if (setup == QLatin1String("locked"))
            QVERIFY(cores[2]->Lock(Source::Remote("192.0.2.9:5025")));
        for (FakePort& port : ports)
            port.accesses.clear();
        SwitchInstrument instrument{*cores[0], Source::Remote("127.0.0.1:5000"), [] { return std::vector<std::string>{}; }};
        const auto session = ScpiSession::Create(instrument, {"rfswitch-panel", "QTR7-415KM", "SN17", "1.0.0"});
        QString said;
        session->SetOutput([&said](std::string_view text) { said += QString::fromLatin1(text.data(), qsizetype(text.size())); });
        session->Feed(input.toStdString());
        QTRY_VERIFY_WITH_TIMEOUT(said.count(u'\n') >= answers.count(u'\n') && session->Idle(), kTimeout);

        QStringList queued, traces;
        for (const auto& error : session->Errors())
            queued << QString::number(error.number);
        for (const FakePort& port : ports)
            traces << Trace(port.Writes());
        const QString first = session->Errors().empty() ? QString() : QString::fromStdString(session->Errors().front().text);
        QCOMPARE((QStringList{said, queued.join(u' '), traces.join(u'|')}), (QStringList{answers, errors, writes}));
        QVERIFY2(first.contains(detail), qPrintable(first));
    }

    // By the clock: each operation complete once the switch has settled, and
    // the next switching only after that. `events`: the writes and the
    // answers in order; " | " between two where the settle time must have
    // passed from one to the next.
    void settling_data()
    {
        AddColumns<int, QString, QString>("settle", "input", "events");  // settle in ms

        QTest::newRow("*OPC?") << 150 << "ROUT:CLOS (@1);*OPC?\n" << "w888:01 | 1";
        QTest::newRow("*OPC") << 150 << "ROUT:CLOS (@1);*OPC;*ESR?\n" << "w888:01 | 1";
        QTest::newRow("*WAI") << 150 << "ROUT:CLOS (@2);*WAI;ROUT:DONE?\n" << "w888:02 | 1";
        QTest::newRow("done, then not, then done") << 150 << "ROUT:CLOS (@1);DONE?;:STAT:OPER:COND?\n*OPC?;:ROUT:DONE?;:STAT:OPER:COND?;:STAT:OPER?\n"
                                                   << "w888:01 0;2 | 1;1;0;258";
        QTest::newRow("reads meanwhile") << 150 << "ROUT:CLOS (@1);CLOS:STAT?\n*OPC?\n" << "w888:01 (@1) | 1";
        // Break-before-make waits for the read-back, not for a settle.
        QTest::newRow("next switching waits") << 150 << "ROUT:CLOS (@1);:ROUT:CLOS (@2);*OPC?\n" << "w888:01 | w888:00 w888:02 | 1";
        QTest::newRow("a reset waits too") << 150 << "ROUT:CLOS (@2)\n*RST;*OPC?\n" << "w888:02 | w888:00 | 1";
        QTest::newRow("a change holds from the next write on") << 150 << "ROUT:CLOS (@1);:ROUT:SETT:TIME 0;:ROUT:CLOS (@2);*OPC?\n"
                                                              << "w888:01 | w888:00 w888:02 1";
        QTest::newRow("none") << 0 << "ROUT:CLOS (@1);*OPC?;ROUT:DONE?\n" << "w888:01 1;1";
    }

    void settling()
    {
        const auto [settle, input, events] = Fetch<int, QString, QString>("settle", "input", "events");

        FakePort port;
        SwitchCore core{port};
        core.TakeAddress(888, true, Source{});
        // As --settle-time sets it: what *RST returns to.
        core.SetStartSettleTime(std::chrono::milliseconds(settle));
        QTRY_VERIFY_WITH_TIMEOUT(!core.Settling(), kTimeout);
        SwitchInstrument instrument{core, Source::Remote("127.0.0.1:5000")};
        const auto session = ScpiSession::Create(instrument, {});
        QElapsedTimer clock;
        clock.start();
        // Waited for in an event loop of its own: QTest's waits poll, and would add their own lateness.
        QEventLoop loop;
        QTimer::singleShot(kTimeout, &loop, &QEventLoop::quit);
        const int expected = int(events.split(u' ').size() - events.count(u'|'));
        std::vector<std::pair<QString, qint64>> seen;  // what, when (ns)
        const auto see = [&](QString what) {
            seen.emplace_back(std::move(what), clock.nsecsElapsed());
            if (int(seen.size()) >= expected)
                loop.quit();
        };
        port.onAccess = [&](const PortAccess& access) {
            if (access.kind == PortAccess::Kind::Write)
                see(Trace({access}));
        };
        session->SetOutput([&](std::string_view text) { see(QString::fromLatin1(text.data(), qsizetype(text.size())).trimmed()); });
        session->Feed(input.toStdString());
        if (int(seen.size()) < expected)
            loop.exec();

        QStringList got;
        const QStringList steps = events.split(u' ');
        const qint64 settleNs = qint64(settle) * 1000000;
        std::size_t at = 0;
        for (qsizetype i = 0; i < steps.size(); ++i) {
            if (steps[i] == u'|') {
                const qint64 gap = seen.at(at).second - seen.at(at - 1).second;
                // Never before the settle time; late only within reason.
                QVERIFY2(gap >= settleNs && gap < settleNs + 2000000000,
                         qPrintable(QStringLiteral("%1 after %2 ns").arg(seen.at(at).first).arg(gap)));
                got << QStringLiteral("|");
                continue;
            }
            got << seen.at(at++).first;
        }
        QCOMPARE(got.join(u' '), events);
        QCOMPARE(seen.size(), at);
    }

    void listenAddress_data()
    {
        AddColumns<QString, QString>("text", "address");  // address empty: refused

        QTest::newRow("port only") << "5025" << "127.0.0.1 5025";
        QTest::newRow("all interfaces") << "0.0.0.0:5025" << "0.0.0.0 5025";
        QTest::newRow("IPv6") << "[::1]:5025" << "::1 5025";
        QTest::newRow("IPv6 without brackets") << "::1:5025" << "";
        QTest::newRow("host name") << "bench-pc:5025" << "bench-pc 5025";
        QTest::newRow("not a host name") << "bench pc:5025" << "";
        QTest::newRow("port too big") << "65536" << "";
        QTest::newRow("no port") << "127.0.0.1:" << "";
        QTest::newRow("letters") << "50x5" << "";
    }

    void listenAddress()
    {
        const auto [text, address] = Fetch<QString, QString>("text", "address");

        QString error;
        if (const auto parsed = ParseListenAddress(text, &error))
            QCOMPARE((parsed->name.isEmpty() ? parsed->host.toString() : parsed->name) + QLatin1Char(' ') + QString::number(parsed->port), address);
        else
            QVERIFY2(address.isEmpty() && error.startsWith(text + QLatin1String(": ")), qPrintable(error));
    }

    void twoClientsAndAPanelClick()
    {
        Board board(103);
        auto a = board.Connect();
        auto b = board.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 2, kTimeout);

        // A's selection is on its way to the port when the panel's click
        // arrives, and B's selection after both.
        board.OnFirstWrite([&] {
            board.core.Toggle(0, board.core.LastBits(), Source{});
            b->write("ROUT:CLOS (@2);ROUT:CLOS:STAT?\n");
        });
        a->write("ROUT:CLOS (@1);ROUT:CLOS:STAT?\n");
        QCOMPARE(ReadLine(*a), QByteArray("(@1)\n"));
        QCOMPARE(ReadLine(*b), QByteArray("(@2)\n"));
        a->write("*OPC?;ROUT:CLOS? (@1,2);SYST:ERR?\n");
        QCOMPARE(ReadLine(*a), QByteArray("1;0,1;0,\"No error\"\n"));

        // A's make, the click's C1 off, B's make, each repeated until read back.
        const QString writes = Trace(board.port.Writes()).replace(QRegularExpression(QStringLiteral("(w888:..)( \\1)+")), QStringLiteral("\\1"));
        QCOMPARE(writes, QStringLiteral("w888:01 w888:00 w888:02"));
    }

    // A client turned away reads nothing at all: no text to take for an
    // answer. Clients come from 127.0.0.1, or from 127.0.0.1 and .2 in turn.
    void refused_data()
    {
        AddColumns<QString, int, bool, QString, QString>("allow", "before", "twoPeers", "late", "why");
        QTest::newRow("ninth client") << "" << 8 << true << "127.0.0.3" << "8 clients are connected already";
        QTest::newRow("fifth from one peer") << "" << 4 << false << "127.0.0.1" << "4 connections from 127.0.0.1 already, as many as one peer may hold";
        QTest::newRow("peer not allowed") << "10.0.0.0/8" << 0 << false << "127.0.0.1" << "not a peer that --allow lets in";
    }

    void refused()
    {
        const auto [allow, before, twoPeers, late, why] = Fetch<QString, int, bool, QString, QString>("allow", "before", "twoPeers", "late", "why");
        ConnectionPolicy policy;
        policy.allow = *AllowList::Parse(allow.isEmpty() ? QStringList() : QStringList{allow});
        Board board(1, policy);
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < before; ++i)
            clients.push_back(board.Connect(twoPeers && i % 2 ? "127.0.0.2" : "127.0.0.1"));
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), before, kTimeout);
        auto turnedAway = board.Connect(late);
        QByteArray got;
        connect(turnedAway.get(), &QTcpSocket::readyRead, this, [&got, &turnedAway] { got += turnedAway->readAll(); });
        QVERIFY(turnedAway->waitForConnected(kTimeout));
        const quint16 port = turnedAway->localPort();
        turnedAway->write("*IDN?\n");
        QTRY_COMPARE_WITH_TIMEOUT(turnedAway->state(), QAbstractSocket::UnconnectedState, kTimeout);
        QCOMPARE(got, QByteArray());
        QCOMPARE(Emitted(board.refused), QStringList{QStringLiteral("%1:%2 | ").arg(late).arg(port) + why});
        if (before == 0)
            return;

        // One of its peer leaves: a newcomer is served, and the panel hears of both.
        QSignalSpy changed(&board.server, &ScpiServer::ClientsChanged);
        clients.front()->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), before - 1, kTimeout);
        auto newcomer = board.Connect(late);
        newcomer->write("SYST:VERS?\n");
        QCOMPARE(ReadLine(*newcomer), QByteArray("1999.0\n"));
        QCOMPARE(Emitted(changed), (QStringList{QString::number(before - 1), QString::number(before)}));
    }

    // A client that keeps sending commands is not idle, though none of them
    // has an answer; one that stops is closed after the idle timeout.
    void idleMeansSilent()
    {
        ConnectionPolicy policy;
        policy.idleTimeout = std::chrono::seconds(1);
        Board board(1, policy);
        auto busy = board.Connect(), silent = board.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 2, kTimeout);
        for (int i = 0; i < 8; ++i) {
            busy->write("*CLS\n");
            QTest::qWait(250);
        }
        QCOMPARE(silent->state(), QAbstractSocket::UnconnectedState);
        busy->write("*OPC?\n");
        QCOMPARE(ReadLine(*busy), QByteArray("1\n"));
    }

    // What a client sent before it stopped sending is answered, also what
    // waits for a slow write; then the connection closes.
    void halfClosedClientAnswered()
    {
        Board board(103);
        auto client = board.Connect();
        QVERIFY(client->waitForConnected(kTimeout));
        client->write("ROUT:CLOS (@1);*OPC?\nSYST:VERS?\n");
        QVERIFY(client->waitForBytesWritten(kTimeout));
        ::shutdown(int(client->socketDescriptor()), SHUT_WR);
        QCOMPARE(ReadLine(*client), QByteArray("1\n"));
        QCOMPARE(ReadLine(*client), QByteArray("1999.0\n"));
        QTRY_COMPARE_WITH_TIMEOUT(client->state(), QAbstractSocket::UnconnectedState, kTimeout);
        QCOMPARE(board.server.Clients(), 0);
    }

    // A device clear in the middle of a slow write: what waited is dropped,
    // the status stays, and the next message is taken.
    void deviceClear()
    {
        FakePort port;
        SwitchCore core{port};
        core.TakeAddress(888, true, Source{});
        port.readBackAfter = 103;
        SwitchInstrument instrument{core, Source::Remote("127.0.0.1:5000")};
        const auto session = ScpiSession::Create(instrument, {});
        QByteArray said;
        session->SetOutput([&said](std::string_view text) { said.append(text.data(), qsizetype(text.size())); });
        port.onAccess = [&session, cleared = false](const PortAccess& access) mutable {
            if (access.kind == PortAccess::Kind::Write && !std::exchange(cleared, true))
                session->DeviceClear();
        };
        session->Feed("*SRE 4;FOO;ROUT:CLOS (@1);*OPC?\nSYST:VERS?\n");
        QCOMPARE(said, QByteArray());
        QCOMPARE(int(session->StatusByte()), 4 + 64);
        session->Feed("SYST:VERS?;SYST:ERR?\n");
        QCOMPARE(said, QByteArray("1999.0;-113,\"Undefined header\"\n"));
    }

    // A client whose command waits behind another client's slow write, and
    // which is gone before its turn, has it switch nothing later.
    void clientGoneBeforeItsTurn()
    {
        Board board;
        QString last;
        connect(&board.core, &SwitchCore::Logged, this, [&last](const std::string& line) { last = QString::fromStdString(line); });
        auto leaver = board.Connect();
        QVERIFY(leaver->waitForConnected(kTimeout));
        board.OnFirstWrite([&] {
            leaver->write("ROUT:CLOS (@2)\n");
            QTRY_COMPARE_WITH_TIMEOUT(board.core.Queued(), 1u, kTimeout);
            Reset(*leaver);
            QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 0, kTimeout);
        });
        board.core.Select(RfPath::Rf1, Source{});
        QCOMPARE(Trace(board.port.Writes()), QStringLiteral("w888:01"));
        QVERIFY2(last.endsWith(QStringLiteral(" select-rf2 result=abandoned (the client that asked has gone)")), qPrintable(last));
    }

    void clientGoneMidCommand()
    {
        Board board(103);
        auto leaver = board.Connect();
        auto stayer = board.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 2, kTimeout);

        // Two lines sent, then gone while the first is still being written: the
        // other client is served meanwhile, and the second line, whose client
        // has gone, never runs.
        board.OnFirstWrite([&] {
            Reset(*leaver);
            stayer->write("SYST:VERS?\n");
        });
        leaver->write("ROUT:CLOS (@1)\nROUT:CLOS (@2)\n");
        QCOMPARE(ReadLine(*stayer), QByteArray("1999.0\n"));
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 1, kTimeout);
        stayer->write("*OPC?;ROUT:CLOS:STAT?\n");
        QCOMPARE(ReadLine(*stayer), QByteArray("1;(@1)\n"));
        QCOMPARE(board.port.Latched(888), std::uint8_t(1));
    }
};

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"
