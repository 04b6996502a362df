#include "AddressText.h"
#include "Table.h"

#include <QTest>

// What the address box makes of a text, and says of it. Plain decimals and &H/&O literals are
// checked against a reference of their own by the address fuzzer; these are
// the forms only this table pins down.
class AddressTextTest : public QObject
{
    Q_OBJECT

private slots:
    void converts_data()
    {
        AddColumns<QByteArray, QVariant>("text", "address"); // address none: refused
        QTest::newRow("trailing letters") << QByteArray("888abc") << QVariant(888);
        QTest::newRow("empty") << QByteArray("") << QVariant(0);
        QTest::newRow("letters only") << QByteArray("abc") << QVariant(0);
        QTest::newRow("carriage return stops") << QByteArray("8\r88") << QVariant(8);
        QTest::newRow("leading point") << QByteArray(".5e3") << QVariant(500);
        QTest::newRow("exponent") << QByteArray("8.88E2") << QVariant(888);
        QTest::newRow("exponent D") << QByteArray("8.88d2") << QVariant(888);
        QTest::newRow("negative exponent") << QByteArray("88800e-2") << QVariant(888);
        QTest::newRow("exponent without digits") << QByteArray("888e") << QVariant(888);
        QTest::newRow("exponent sign without digits") << QByteArray("888e+") << QVariant(888);
        QTest::newRow("tiny exponent") << QByteArray("1e-400") << QVariant(0);
        QTest::newRow("second point stops") << QByteArray("888.4.9") << QVariant(888);
        QTest::newRow("lone point") << QByteArray(".") << QVariant(0);
        QTest::newRow("lone sign") << QByteArray("-") << QVariant(0);
        QTest::newRow("hex stops at non-digit") << QByteArray("&H37G8") << QVariant(55);
        QTest::newRow("hex without digits") << QByteArray("&H") << QVariant(0);
        QTest::newRow("octal stops at 8") << QByteArray("&O178") << QVariant(15);
        QTest::newRow("long hex signed") << QByteArray("&HFFFFFFFF") << QVariant(-1);
        QTest::newRow("sign before a radix literal") << QByteArray("-&H10") << QVariant(0);
        QTest::newRow("non-ASCII stops") << QByteArray("88\xc3\xa4" "8") << QVariant(88);
        QTest::newRow("exponent beyond 32 bits") << QByteArray("1e10") << QVariant();
        QTest::newRow("beyond double") << QByteArray("1e400") << QVariant();
        QTest::newRow("many digits") << QByteArray(400, '9') << QVariant();
    }

    void converts()
    {
        QFETCH(QByteArray, text);
        const auto converted = AddressFromText(std::string_view(text.constData(), text.size()));
        QTEST(converted ? QVariant(*converted) : QVariant(), "address");
    }

    // What the box and --port say of a text that names no port, or that
    // reads otherwise than typed, in the words typed.
    void reads_data()
    {
        AddColumns<QByteArray, QVariant, QString>("text", "address", "said");
        QTest::newRow("decimal") << QByteArray("888") << QVariant(888) << "";
        QTest::newRow("C's hexadecimal") << QByteArray("0x378") << QVariant(888) << "";
        QTest::newRow("letters") << QByteArray("abc") << QVariant(0) << "problem: \"abc\" is not a number";
        QTest::newRow("a radix prefix without digits") << QByteArray("&HZZ") << QVariant(0) << "problem: \"&HZZ\" is not a number";
        QTest::newRow("blanks only") << QByteArray(" \t") << QVariant(0) << "problem: no address was given";
        QTest::newRow("zero") << QByteArray("0") << QVariant(0) << "problem: \"0\" is below 1, the first port address";
        QTest::newRow("within 32 bits") << QByteArray("99999999") << QVariant(99999999)
                                        << "problem: \"99999999\" is beyond the last port address, 65533 (0xFFFD)";
        QTest::newRow("beyond 32 bits") << QByteArray("99999999999") << QVariant()
                                        << "problem: \"99999999999\" is beyond the last port address, 65533 (0xFFFD)";
        QTest::newRow("a leading zero") << QByteArray("0378") << QVariant(378)
                                        << "note: \"0378\" reads as decimal 378: addresses read decimal; 0x378 or &H378 reads hexadecimal";
        QTest::newRow("trailing letters") << QByteArray("888abc") << QVariant(888) << "note: \"888abc\" reads as 888";
    }

    void reads()
    {
        QFETCH(QByteArray, text);
        const AddressReading reading = ReadAddress(std::string_view(text.constData(), text.size()));
        QTEST(reading.address ? QVariant(*reading.address) : QVariant(), "address");
        QTEST(QString::fromStdString(!reading.problem.empty() ? "problem: " + reading.problem : !reading.note.empty() ? "note: " + reading.note : ""),
              "said");
    }
};

QTEST_APPLESS_MAIN(AddressTextTest)
#include "tst_addresstext.moc"
