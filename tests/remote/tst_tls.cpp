// The self-signed certificate the TLS layer makes in the state folder: its
// key kept private, made once and kept. Its fingerprint, handshakes and
// plain clients refused are https_test.py's and hislip_test.py's, against
// the program itself.
#include "Tls.h"

#include <QFile>
#include <QHostInfo>
#include <QTemporaryDir>
#include <QTest>

class TestTls : public QObject
{
    Q_OBJECT

private slots:
    void certificate()
    {
        QTemporaryDir state;
        bool made = false;
        QString error;
        const auto first = TlsCredentials::SelfSigned(state.path(), QHostInfo::localHostName(), &made, &error);
        QVERIFY2(first && made, qPrintable(error));
        const auto others = QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther;
        QCOMPARE(QFile::permissions(state.filePath("tls-key.pem")) & others, QFile::Permissions());
        // A second start keeps it.
        const auto again = TlsCredentials::SelfSigned(state.path(), QHostInfo::localHostName(), &made, &error);
        QVERIFY(again && !made);
        QCOMPARE(again->Fingerprint(), first->Fingerprint());
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
