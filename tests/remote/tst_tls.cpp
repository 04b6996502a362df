// The self-signed certificate the TLS layer makes in the state folder: a
// server's alone, naming where it is served, its key kept private, made once
// and kept while it serves, made anew where it no longer does; and the
// certificates given that the program refuses at start. Its fingerprint,
// handshakes and plain clients refused are https_test.py's and
// hislip_test.py's, against the program itself.
#include "Program.h"
#include "Table.h"
#include "Tls.h"

#include <QFile>
#include <QNetworkInterface>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>

namespace {

// What openssl itself reads in the certificate: `options` on `-in file`.
QString OpenSsl(const QString& file, const QStringList& options)
{
    return Execute(QStringList{"openssl", "x509", "-noout", "-in", file} + options).out.simplified();
}

// The certificate re-signed with its own key, valid from `from` until
// `until` ("20200102000000Z"): openssl 3.0's commands set no past dates.
void Redate(const QString& certificateFile, const QString& keyFile, const char* from, const char* until)
{
    std::FILE* file = std::fopen(QFile::encodeName(keyFile).constData(), "r");
    EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    file = std::fopen(QFile::encodeName(certificateFile).constData(), "r");
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    ASN1_TIME_set_string_X509(X509_getm_notBefore(certificate), from);
    ASN1_TIME_set_string_X509(X509_getm_notAfter(certificate), until);
    X509_sign(certificate, key, EVP_sha256());
    file = std::fopen(QFile::encodeName(certificateFile).constData(), "w");
    PEM_write_X509(file, certificate);
    std::fclose(file);
    X509_free(certificate);
    EVP_PKEY_free(key);
}

} // namespace

class TestTls : public QObject
{
    Q_OBJECT

private slots:
    // plant: what an earlier start left in the state folder (made for
    // bench-7 on 127.0.0.1), then changed, or a user's own certificate;
    // given: the program is handed those files with --tls-cert and
    // --tls-key instead; said: why the start made a certificate (empty: it
    // kept the one there), or, given, what the program said as it ended.
    void certificate_data()
    {
        AddColumns<QString, QString, QStringList, bool, QString>("plant", "host", "addresses", "given", "said");
        const QStringList loopback{"127.0.0.1"};
        QTest::newRow("first start") << "" << "bench-7" << loopback << false << "none was kept";
        QTest::newRow("kept") << "made" << "bench-7" << QStringList{"::1", "127.0.0.1"} << false << "";
        QTest::newRow("expired") << "expired" << "bench-7" << loopback << false << "the one kept expired on 2020-01-02";
        QTest::newRow("not yet valid") << "not yet valid" << "bench-7" << loopback << false << "the one kept was not valid before 2099-01-01";
        QTest::newRow("host renamed") << "made" << "bench-8" << loopback << false << "the one kept did not name bench-8";
        QTest::newRow("served on another address") << "made" << "bench-7" << QStringList{"127.0.0.1", "192.0.2.7"} << false
                                                   << "the one kept did not name 192.0.2.7";
        QTest::newRow("served on a link-local address") << "made" << "bench-7" << QStringList{"fe80::7%lo"} << false
                                                        << "the one kept did not name fe80::7";
        QTest::newRow("served on every address") << "" << "bench-7" << QStringList{"::"} << false << "none was kept";
        QTest::newRow("key readable by its group") << "key 640" << "bench-7" << loopback << false
                                                   << "the one kept had its key readable by its group";
        QTest::newRow("key readable by all") << "key 644" << "bench-7" << loopback << false << "the one kept had its key readable by every user";
        // One a user put there instead, from a CA or made with openssl: theirs to keep.
        QTest::newRow("a user's own") << "own" << "bench-7" << QStringList{"192.0.2.7"} << false << "";
        const QString usage = "\nTry 'rfswitch-panel --help'.\n";
        QTest::newRow("given, expired") << "expired" << "" << loopback << true
                                        << "rfswitch-panel: TLS: --tls-cert CERT expired on 2020-01-02 (notAfter); renew it" + usage;
        QTest::newRow("given, not yet valid")
            << "not yet valid" << "" << loopback << true
            << "rfswitch-panel: TLS: --tls-cert CERT is not valid before 2099-01-01 (notBefore): renew it, or set this machine's clock" + usage;
        QTest::newRow("given, key readable by all") << "key 644" << "" << loopback << true
                                                    << "rfswitch-panel: TLS: --tls-key KEY is readable by every user: chmod 600 it" + usage;
        QTest::newRow("given, key readable by its group") << "key 640" << "" << loopback << true
                                                          << "rfswitch-panel: TLS: --tls-key KEY is readable by its group: chmod 600 it" + usage;
    }

    void certificate()
    {
        const auto [plant, host, given, said] = Fetch<QString, QString, bool, QString>("plant", "host", "given", "said");
        QFETCH(QStringList, addresses);
        QTemporaryDir state;
        const QString certificateFile = state.filePath("tls-certificate.pem"), keyFile = state.filePath("tls-key.pem");
        QString made, error;
        std::shared_ptr<TlsCredentials> before;
        if (plant == "own") {
            Execute({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", "/CN=switch.example",
                     "-keyout", keyFile, "-out", certificateFile, "-days", "30"});
            before = TlsCredentials::Load(certificateFile, keyFile, &error);
        } else if (!plant.isEmpty()) {
            before = TlsCredentials::SelfSigned(state.path(), "bench-7", {QHostAddress("127.0.0.1")}, &made, &error);
        }
        if (plant == "expired")
            Redate(certificateFile, keyFile, "20190101000000Z", "20200102000000Z");
        if (plant == "not yet valid")
            Redate(certificateFile, keyFile, "20990101000000Z", "20991231000000Z");
        if (plant.startsWith("key "))
            QFile::setPermissions(keyFile, plant == "key 644" ? QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther
                                                              : QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        if (given) {
            const Run run = Program({"--headless", "--https", "127.0.0.1:0", "--simulate", "--port", "4096", "--tls-cert", certificateFile,
                                     "--tls-key", keyFile});
            QCOMPARE(run.code, 2);
            QCOMPARE(run.err, QString(said).replace("CERT", certificateFile).replace("KEY", keyFile));
            return;
        }
        QList<QHostAddress> served;
        for (const QString& address : addresses)
            served << QHostAddress(address);
        const auto credentials = TlsCredentials::SelfSigned(state.path(), host, served, &made, &error);
        QVERIFY2(credentials, qPrintable(error));
        QCOMPARE(made, said);
        QCOMPARE(before && credentials->Fingerprint() == before->Fingerprint(), said.isEmpty());
        if (plant == "own")
            return;
        const auto others = QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther;
        QCOMPARE(QFile::permissions(keyFile) & others, QFile::Permissions());
        // A server's certificate, which can sign no other.
        QCOMPARE(OpenSsl(certificateFile, {"-ext", "basicConstraints,keyUsage,extendedKeyUsage"}),
                 "X509v3 Basic Constraints: critical CA:FALSE X509v3 Key Usage: critical Digital Signature "
                 "X509v3 Extended Key Usage: TLS Web Server Authentication");
        // Every name a client may reach it by, an any-address standing for each of this machine's.
        QStringList names{host, host + ".local", "localhost", "127.0.0.1", "::1"};
        for (QHostAddress address : addresses == QStringList{"::"} ? QNetworkInterface::allAddresses() : served) {
            address.setScopeId({});
            names << address.toString();
        }
        for (const QString& name : names) {
            const QString check = name.contains(u':') || name.front().isDigit() ? "-checkip" : "-checkhost";
            QVERIFY2(OpenSsl(certificateFile, {check, name}).endsWith(" does match certificate"), qPrintable(name));
        }
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
