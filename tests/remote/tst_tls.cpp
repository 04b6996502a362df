// TLS in the connection layer: a listener whose connections run over TLS
// from their first byte, against Qt's own TLS client, on a self-signed
// certificate made in a temporary state folder.
#include "Connection.h"
#include "Door.h"
#include "Tls.h"

#include <QFile>
#include <QHostInfo>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kTimeout = 30000;

// Answers each line in capitals, so that what comes back went through the server.
struct Shouting
{
    QTemporaryDir state;
    std::shared_ptr<TlsCredentials> credentials;
    Door door{QStringLiteral("test"), ConnectionPolicy{}};

    Shouting()
    {
        bool made = false;
        QString error;
        credentials = TlsCredentials::SelfSigned(state.path(), QHostInfo::localHostName(), &made, &error);
        door.SetTls(credentials);
        QObject::connect(&door, &Door::Opened, [](Connection* connection) {
            connection->SetReceiver([connection](std::string_view bytes) { connection->Send(QByteArray(bytes.data(), qsizetype(bytes.size())).toUpper().toStdString()); });
        });
        door.Listen({QHostAddress::LocalHost, 0});
    }
};

} // namespace

class TestTls : public QObject
{
    Q_OBJECT

private slots:
    void certificate()
    {
        Shouting server;
        QVERIFY(server.credentials);
        // 32 bytes, as AB:CD:…
        QVERIFY(QRegularExpression("^([0-9A-F]{2}:){31}[0-9A-F]{2}$").match(server.credentials->Fingerprint()).hasMatch());
        QFile key(server.state.filePath("tls-key.pem"));
        QCOMPARE(key.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther), QFile::Permissions());
        // Made once: a second start keeps it.
        bool made = true;
        QString error;
        const auto again = TlsCredentials::SelfSigned(server.state.path(), QHostInfo::localHostName(), &made, &error);
        QVERIFY(again);
        QVERIFY(!made);
        QCOMPARE(again->Fingerprint(), server.credentials->Fingerprint());
    }

    void handshake_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("version");
        QTest::newRow("TLS 1.3") << int(QSsl::TlsV1_3) << "1.3";
        QTest::newRow("TLS 1.2") << int(QSsl::TlsV1_2) << "1.2";
    }

    void handshake()
    {
        QFETCH(int, protocol);
        QFETCH(QString, version);
        Shouting server;
        QSslSocket client;
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setProtocol(QSsl::SslProtocol(protocol));
        configuration.setCaCertificates(QSslCertificate::fromPath(server.credentials->CertificateFile()));
        client.setSslConfiguration(configuration);
        client.connectToHostEncrypted(QStringLiteral("localhost"), server.door.Port());
        // The server runs in this thread: waited for with its events running.
        QVERIFY2(QTest::qWaitFor([&client] { return client.isEncrypted(); }, kTimeout), qPrintable(client.errorString()));
        QCOMPARE(client.sessionProtocol() == QSsl::TlsV1_3 ? QString("1.3") : client.sessionProtocol() == QSsl::TlsV1_2 ? QString("1.2") : QString("other"),
                 version);
        QCOMPARE(client.peerCertificate().digest(QCryptographicHash::Sha256).toHex(':').toUpper(),
                 server.credentials->Fingerprint().toLatin1());
        client.write("over tls\n");
        QVERIFY(QTest::qWaitFor([&client] { return client.canReadLine(); }, kTimeout));
        QCOMPARE(client.readLine(), QByteArray("OVER TLS\n"));
    }

    // A client that does not speak TLS gets no answer, and the connection ends.
    void plainClientRefused()
    {
        Shouting server;
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.door.Port());
        QVERIFY(QTest::qWaitFor([&client] { return client.state() == QAbstractSocket::ConnectedState; }, kTimeout));
        client.write("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(QTest::qWaitFor([&client] { return client.state() == QAbstractSocket::UnconnectedState; }, kTimeout));
        QVERIFY(!client.readAll().toUpper().contains("GET"));
    }
};

QTEST_MAIN(TestTls)
#include "tst_tls.moc"
