// What DNS-SD announces, decided apart from Avahi: which servers for
// loopback, wildcard and single-address listening, on which interface, and
// each TXT key once (lan_discovery reads the records as Avahi sends them).
#include "Services.h"
#include "../support/Table.h"

#include <QTest>

namespace {

const Identity kIdentity{"rfswitch-panel", "QTR7-415KM", "SN-9", "1.0.0"};

QString Text(const TxtRecords& txt)
{
    QStringList records;
    for (const auto& [key, value] : txt)
        records << QString::fromUtf8(key + '=' + value);
    return records.join(u' ');
}

} // namespace

class TestDnsSd : public QObject
{
    Q_OBJECT

private slots:
    void announced_data()
    {
        // raw: where the raw socket (and VXI-11) listen, web: where the web page listens; empty: not at all.
        AddColumns<QString, QString, QString>("raw", "web", "announced");
        const QString lan = "_scpi-raw._tcp:5025@%1 _vxi-11._tcp:111@%1";
        const QString page = "_http._tcp:8080@%1 _lxi._tcp:8080@%1";
        QTest::newRow("loopback") << "127.0.0.1" << "127.0.0.1" << "";
        QTest::newRow("loopback, elsewhere in 127/8") << "127.0.0.2" << "" << "";
        QTest::newRow("IPv6 loopback") << "::1" << "::1" << "";
        QTest::newRow("every IPv4 address") << "0.0.0.0" << "0.0.0.0" << lan.arg("all") + ' ' + page.arg("all");
        QTest::newRow("every address, dual-stack") << "any" << "any" << lan.arg("all") + ' ' + page.arg("all");
        QTest::newRow("every IPv6 address") << "::" << "" << lan.arg("all");
        QTest::newRow("one address") << "192.0.2.1" << "192.0.2.1" << lan.arg(3) + ' ' + page.arg(3);
        QTest::newRow("one address, mapped") << "::ffff:192.0.2.1" << "" << lan.arg(3);
        QTest::newRow("one IPv6 address") << "2001:db8::5" << "" << lan.arg(4);
        QTest::newRow("an address no interface has") << "198.51.100.7" << "198.51.100.7" << "";
        QTest::newRow("raw everywhere, page on loopback") << "0.0.0.0" << "127.0.0.1" << lan.arg("all");
        QTest::newRow("raw on loopback, page on one address") << "127.0.0.1" << "192.0.2.1" << page.arg(3);
        QTest::newRow("the page alone") << "" << "any" << page.arg("all");
        QTest::newRow("the page twice") << "" << "twice" << page.arg("all") + " _https._tcp:8443@all";
    }

    void announced()
    {
        const auto [raw, web, announced] = Fetch<QString, QString, QString>("raw", "web", "announced");
        const auto address = [](const QString& text) {
            return text == "any" || text == "twice" ? QHostAddress(QHostAddress::Any) : QHostAddress(text);
        };
        std::vector<ServiceOffer> offers;
        if (!raw.isEmpty())
            offers.insert(offers.end(), {{"_scpi-raw._tcp", address(raw), 5025, {}}, {"_vxi-11._tcp", address(raw), 111, {}}});
        if (!web.isEmpty())
            offers.insert(offers.end(), {{"_http._tcp", address(web), 8080, {{"path", "/"}}}, {"_lxi._tcp", address(web), 8080, {}}});
        // Over HTTP and HTTPS: the second _lxi._tcp would take the first's name.
        if (web == "twice")
            offers.insert(offers.end(), {{"_https._tcp", address(web), 8443, {{"path", "/"}}}, {"_lxi._tcp", address(web), 8443, {}}});
        // As the system has them: loopback is interface 1.
        const auto interfaceWith = [](const QHostAddress& host) {
            return host.isLoopback() ? 1 : host == QHostAddress("192.0.2.1") ? 3 : host == QHostAddress("2001:db8::5") ? 4 : 0;
        };
        QStringList got;
        for (const Announcement& service : Announcements(offers, kIdentity, interfaceWith))
            got << QString("%1:%2@%3").arg(service.type).arg(service.port)
                       .arg(service.interfaceIndex == Announcement::kEveryInterface ? QString("all") : QString::number(service.interfaceIndex));
        QCOMPARE(got.join(u' '), announced);
    }

    // A service's own key that the identity or an earlier one has is left out.
    void txt_data()
    {
        AddColumns<TxtRecords, QString>("own", "txt");
        const QString identity = "txtvers=1 Manufacturer=rfswitch-panel Model=QTR7-415KM SerialNumber=SN-9 FirmwareVersion=1.0.0";
        QTest::newRow("a key the identity has") << TxtRecords{{"model", "other"}, {"TXTVERS", "2"}, {"path", "/"}} << identity + " path=/";
        QTest::newRow("its own key twice") << TxtRecords{{"path", "/"}, {"Path", "/x"}} << identity + " path=/";
    }

    void txt()
    {
        QFETCH(TxtRecords, own);
        QTEST(Text(ServiceTxt(kIdentity, own)), "txt");
    }
};

QTEST_GUILESS_MAIN(TestDnsSd)
#include "tst_dnssd.moc"
