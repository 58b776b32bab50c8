#include "resolve/Protobuf.h"
#include "support/RunProgram.h"

#include <QTest>

#include <cstring>

using Protobuf::Field;

namespace {

// One entry per field: "number/wire=value" for varints, "number/wire:hex" for the others.
QString describe(const QList<Field>& fields) {
    QStringList parts;
    for (const Field& field : fields) {
        const QString value = field.wire == Protobuf::Varint ? QStringLiteral("=%1").arg(field.varint)
                                                             : ':' + QString::fromLatin1(field.bytes.toHex());
        parts << QStringLiteral("%1/%2").arg(field.number).arg(field.wire) + value;
    }
    return parts.join(QLatin1Char(' '));
}

QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// Well-formed input, its fields, and what encode writes them back as (the input itself unless given).
void good(const char* name, const char* input, const char* fields, const char* reencoded = nullptr) {
    QTest::newRow(name) << hex(input) << true << QString::fromLatin1(fields)
                        << hex(reencoded ? reencoded : input);
}

void bad(const char* name, const char* input) {
    QTest::newRow(name) << hex(input) << false << QString() << QByteArray();
}

} // namespace

class TestProtobuf : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void parseStopsAtTheEndOfItsView();
    void protocReadsWhatEncodeWrites();
};

void TestProtobuf::parse_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("wellFormed");
    QTest::addColumn<QString>("fields");
    QTest::addColumn<QByteArray>("reencoded");

    good("an empty buffer is an empty list", "", "");
    good("08 96 01 is field 1 holding the varint 150", "08 96 01", "1/0=150");
    good("128 takes two bytes", "08 80 01", "1/0=128");
    good("0D with four bytes is a 32-bit field kept as it stands", "0d 01 02 03 04", "1/5:01020304");
    bad("0D with three bytes is a 32-bit field cut short", "0d 01 02 03");
    good("09 with eight bytes is a 64-bit field kept as it stands", "09 01 02 03 04 05 06 07 08",
         "1/1:0102030405060708");
    bad("09 with seven bytes is a 64-bit field cut short", "09 01 02 03 04 05 06 07");
    bad("a lone 80 is an unterminated varint", "80");
    bad("a key without its value is cut short", "08");
    bad("a length-delimited field running past the end", "0a 05 01 02");
    bad("a length of 2^64 - 1 does not fit a signed count", "0a ff ff ff ff ff ff ff ff ff 01");
    good("the largest ten-byte varint is 2^64 - 1", "08 ff ff ff ff ff ff ff ff ff 01",
         "1/0=18446744073709551615");
    good("only the lowest bit of a tenth varint byte counts", "08 80 80 80 80 80 80 80 80 80 7e", "1/0=0",
         "08 00");
    bad("a ten-byte key with its high bit set in the tenth byte is malformed",
        "80 80 80 80 80 80 80 80 80 80 00");
    bad("a start group after good fields makes the whole input malformed", "08 96 01 12 00 0b");
    bad("wire type 7 is malformed", "0f 00");
    good("repeated numbers stay separate entries in their order", "08 01 10 00 08 02 1a 01 41",
         "1/0=1 2/0=0 1/0=2 3/2:41");
    good("the largest field number a key can carry", "f8 ff ff ff ff ff ff ff ff 01 05",
         "2305843009213693951/0=5");
    good("a non-minimal key and value are written back minimal", "88 00 80 00", "1/0=0", "08 00");
    good("a non-minimal length is written back minimal, a nested message as it stands", "0a 83 00 08 80 00",
         "1/2:088000", "0a 03 08 80 00");
}

void TestProtobuf::parse() {
    QFETCH(QByteArray, input);
    QFETCH(bool, wellFormed);
    QFETCH(QString, fields);
    QFETCH(QByteArray, reencoded);

    const auto parsed = Protobuf::parse(input);
    QCOMPARE(parsed.has_value(), wellFormed);
    if (parsed) {
        QCOMPARE(describe(*parsed), fields);
        QCOMPARE(Protobuf::encode(*parsed).toHex(' '), reencoded.toHex(' '));
    }
}

void TestProtobuf::parseStopsAtTheEndOfItsView() {
    // The byte after the view would complete both the varint and the 32-bit field.
    const QByteArray memory = hex("08 96 01 0d 01 02 03 04");
    QVERIFY(!Protobuf::parse(QByteArrayView(memory).first(2)));
    QVERIFY(!Protobuf::parse(QByteArrayView(memory).first(7)));
    QCOMPARE(describe(Protobuf::parse(memory).value()), QStringLiteral("1/0=150 1/5:01020304"));
}

void TestProtobuf::protocReadsWhatEncodeWrites() {
    const float single = 1.5f;
    QByteArray fixed32(4, Qt::Uninitialized);
    std::memcpy(fixed32.data(), &single, 4); // the test machine is little-endian, as is the wire
    const QByteArray inner = Protobuf::encode(
        {Field::makeVarint(1, 2), Field::makeBytes(5, QByteArrayLiteral("Tonewharf/Warm.cube"))});
    const QByteArray message = Protobuf::encode({
        Field::makeVarint(1, 150),
        Field::makeVarint(2, ~quint64(0)),
        Field{3, Protobuf::Fixed32, 0, fixed32},
        Field{4, Protobuf::Fixed64, 0, hex("00 00 00 00 00 00 f0 3f")},
        Field::makeBytes(7, inner),
        Field::makeBytes(7, inner),
        Field::makeVarint(300, 1),
        Field::makeBytes(8, QByteArray(300, '~')),
    });

    // protoc comes from the Debian package protobuf-compiler.
    QCOMPARE(
        QString::fromUtf8(runProgram(QStringLiteral("protoc"), {QStringLiteral("--decode_raw")}, message)),
        QStringLiteral("1: 150\n2: 18446744073709551615\n3: 0x3fc00000\n4: 0x3ff0000000000000\n"
                       "7 {\n  1: 2\n  5: \"Tonewharf/Warm.cube\"\n}\n"
                       "7 {\n  1: 2\n  5: \"Tonewharf/Warm.cube\"\n}\n"
                       "300: 1\n8: \"%1\"\n")
            .arg(QString(300, u'~')));
}

QTEST_GUILESS_MAIN(TestProtobuf)
#include "TestProtobuf.moc"
