#include "AddressText.h"

#include <QTest>

#include <limits>

class AddressTextTest : public QObject
{
    Q_OBJECT

private slots:
    void convertsLikeThePanelAlwaysHas_data();
    void convertsLikeThePanelAlwaysHas();
    void refusesWhatDoesNotFit_data();
    void refusesWhatDoesNotFit();
};

void AddressTextTest::convertsLikeThePanelAlwaysHas_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("address");

    QTest::newRow("decimal") << QByteArray("888") << 888;
    QTest::newRow("hex upper") << QByteArray("&H378") << 888;
    QTest::newRow("hex lower") << QByteArray("&h378") << 888;
    QTest::newRow("hex digits lower") << QByteArray("&H3bc") << 956;
    QTest::newRow("octal") << QByteArray("&O1570") << 888;
    QTest::newRow("octal lower") << QByteArray("&o1570") << 888;
    QTest::newRow("blank inside") << QByteArray("8 88") << 888;
    QTest::newRow("tab and line feed inside") << QByteArray("\t8\n8 8\n") << 888;
    QTest::newRow("blanks in a hex literal") << QByteArray("& H 37 8") << 888;
    QTest::newRow("trailing letters") << QByteArray("888abc") << 888;
    QTest::newRow("empty") << QByteArray("") << 0;
    QTest::newRow("letters only") << QByteArray("abc") << 0;
    QTest::newRow("carriage return stops") << QByteArray("8\r88") << 8;
    QTest::newRow("half to even down") << QByteArray("888.5") << 888;
    QTest::newRow("half to even up") << QByteArray("889.5") << 890;
    QTest::newRow("below half") << QByteArray("888.49") << 888;
    QTest::newRow("negative half") << QByteArray("-2.5") << -2;
    QTest::newRow("plus sign") << QByteArray("+888") << 888;
    QTest::newRow("minus sign") << QByteArray("-5") << -5;
    QTest::newRow("sign apart from digits") << QByteArray("- 5") << -5;
    QTest::newRow("leading point") << QByteArray(".5e3") << 500;
    QTest::newRow("exponent") << QByteArray("8.88E2") << 888;
    QTest::newRow("exponent D") << QByteArray("8.88d2") << 888;
    QTest::newRow("negative exponent") << QByteArray("88800e-2") << 888;
    QTest::newRow("exponent without digits") << QByteArray("888e") << 888;
    QTest::newRow("exponent sign without digits") << QByteArray("888e+") << 888;
    QTest::newRow("tiny exponent") << QByteArray("1e-400") << 0;
    QTest::newRow("second point stops") << QByteArray("888.4.9") << 888;
    QTest::newRow("lone point") << QByteArray(".") << 0;
    QTest::newRow("lone sign") << QByteArray("-") << 0;
    QTest::newRow("short hex is 16-bit signed") << QByteArray("&HFFFF") << -1;
    QTest::newRow("short hex high bit") << QByteArray("&H8000") << -32768;
    QTest::newRow("long hex is 32-bit") << QByteArray("&H10000") << 65536;
    QTest::newRow("long hex signed") << QByteArray("&HFFFFFFFF") << -1;
    QTest::newRow("hex stops at non-digit") << QByteArray("&H37G8") << 55;
    QTest::newRow("hex without digits") << QByteArray("&H") << 0;
    QTest::newRow("octal stops at 8") << QByteArray("&O178") << 15;
    QTest::newRow("short octal is 16-bit signed") << QByteArray("&O177777") << -1;
    QTest::newRow("sign before a radix literal") << QByteArray("-&H10") << 0;
    QTest::newRow("largest") << QByteArray("2147483647") << std::numeric_limits<int>::max();
    QTest::newRow("smallest") << QByteArray("-2147483648") << std::numeric_limits<int>::min();
    QTest::newRow("largest with fraction") << QByteArray("2147483647.4") << std::numeric_limits<int>::max();
    QTest::newRow("non-ASCII stops") << QByteArray("88\xc3\xa4" "8") << 88;
}

void AddressTextTest::convertsLikeThePanelAlwaysHas()
{
    QFETCH(QByteArray, text);
    QFETCH(int, address);
    const auto converted = AddressFromText(std::string_view(text.constData(), text.size()));
    QVERIFY(converted.has_value());
    QCOMPARE(*converted, address);
}

void AddressTextTest::refusesWhatDoesNotFit_data()
{
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("one past the largest") << QByteArray("2147483648");
    QTest::newRow("largest plus a half rounds up") << QByteArray("2147483647.5");
    QTest::newRow("one below the smallest") << QByteArray("-2147483649");
    QTest::newRow("exponent") << QByteArray("1e10");
    QTest::newRow("beyond double") << QByteArray("1e400");
    QTest::newRow("many digits") << QByteArray(400, '9');
    QTest::newRow("hex beyond 32 bits") << QByteArray("&H100000000");
    QTest::newRow("octal beyond 32 bits") << QByteArray("&O40000000000");
}

void AddressTextTest::refusesWhatDoesNotFit()
{
    QFETCH(QByteArray, text);
    QCOMPARE(AddressFromText(std::string_view(text.constData(), text.size())), std::nullopt);
}

QTEST_APPLESS_MAIN(AddressTextTest)
#include "tst_addresstext.moc"
