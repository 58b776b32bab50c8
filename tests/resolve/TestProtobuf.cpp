#include "resolve/Protobuf.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QTest>

using Protobuf::Field;

namespace {

// One line per field: "number/wire=value" for varints, "number/wire:hex" for the others.
QString describe(const QList<Field>& fields) {
    QStringList parts;
    for (const Field& field : fields) {
        if (field.wire == Protobuf::Varint) {
            parts << QStringLiteral("%1/%2=%3").arg(field.number).arg(field.wire).arg(field.varint);
        } else {
            parts << QStringLiteral("%1/%2:%3")
                         .arg(field.number)
                         .arg(field.wire)
                         .arg(QString::fromLatin1(field.bytes.toHex()));
        }
    }
    return parts.join(QLatin1Char(' '));
}

QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

QByteArray fixed32(float value) {
    QByteArray bytes(4, Qt::Uninitialized);
    std::memcpy(bytes.data(), &value, 4); // the test machine is little-endian, as is the wire
    return bytes;
}

} // namespace

class TestProtobuf : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void parseStopsAtTheEndOfItsView();
    void reencode_data();
    void reencode();
    void encode_data();
    void encode();
    void protocReadsWhatEncodeWrites();
    void arbitraryBytesNeverCrashAndRoundTrip();
};

void TestProtobuf::parse_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("wellFormed");
    QTest::addColumn<QString>("fields");

    QTest::newRow("an empty buffer is an empty list") << QByteArray() << true << QString();
    QTest::newRow("08 96 01 is field 1 holding the varint 150") << hex("08 96 01") << true << "1/0=150";
    QTest::newRow("12 00 is field 2 with empty bytes") << hex("12 00") << true << "2/2:";
    QTest::newRow("0D with four bytes is a 32-bit field kept as it stands")
        << hex("0d 01 02 03 04") << true << "1/5:01020304";
    QTest::newRow("0D with three bytes is a 32-bit field cut short") << hex("0d 01 02 03") << false << "";
    QTest::newRow("09 with eight bytes is a 64-bit field kept as it stands")
        << hex("09 01 02 03 04 05 06 07 08") << true << "1/1:0102030405060708";
    QTest::newRow("09 with seven bytes is a 64-bit field cut short")
        << hex("09 01 02 03 04 05 06 07") << false << "";
    QTest::newRow("a lone 80 is an unterminated varint") << hex("80") << false << "";
    QTest::newRow("a key without its value is cut short") << hex("08") << false << "";
    QTest::newRow("a value varint that never ends is cut short") << hex("08 ff ff") << false << "";
    QTest::newRow("a length-delimited field running past the end") << hex("0a 05 01 02") << false << "";
    QTest::newRow("a length of 2^63 - 1 runs past the end")
        << hex("0a ff ff ff ff ff ff ff ff 7f 00") << false << "";
    QTest::newRow("a length of 2^63 does not fit a signed count")
        << hex("0a 80 80 80 80 80 80 80 80 80 01 00") << false << "";
    QTest::newRow("a length of 2^64 - 1 does not fit a signed count")
        << hex("0a ff ff ff ff ff ff ff ff ff 01") << false << "";
    QTest::newRow("the largest ten-byte varint is 2^64 - 1")
        << hex("08 ff ff ff ff ff ff ff ff ff 01") << true << "1/0=18446744073709551615";
    QTest::newRow("only the lowest bit of a tenth varint byte counts")
        << hex("08 80 80 80 80 80 80 80 80 80 7e") << true << "1/0=0";
    QTest::newRow("a tenth varint byte with its high bit set is malformed")
        << hex("08 ff ff ff ff ff ff ff ff ff 81 00") << false << "";
    QTest::newRow("a ten-byte key with its high bit set in the tenth byte is malformed")
        << hex("80 80 80 80 80 80 80 80 80 80 00") << false << "";
    QTest::newRow("a start group after good fields makes the whole input malformed")
        << hex("08 96 01 12 00 0b") << false << "";
    QTest::newRow("an end group is malformed") << hex("0c") << false << "";
    QTest::newRow("wire type 6 is malformed") << hex("0e 00") << false << "";
    QTest::newRow("wire type 7 is malformed") << hex("0f 00") << false << "";
    QTest::newRow("repeated numbers stay separate entries in their order")
        << hex("08 01 10 00 08 02 1a 01 41") << true << "1/0=1 2/0=0 1/0=2 3/2:41";
    QTest::newRow("the largest field number a key can carry")
        << hex("f8 ff ff ff ff ff ff ff ff 01 05") << true << "2305843009213693951/0=5";
    QTest::newRow("a nested message stays bytes until parsed again")
        << hex("0a 03 08 96 01") << true << "1/2:089601";
}

void TestProtobuf::parse() {
    QFETCH(QByteArray, input);
    QFETCH(bool, wellFormed);
    QFETCH(QString, fields);

    const auto parsed = Protobuf::parse(input);
    QCOMPARE(parsed.has_value(), wellFormed);
    if (parsed) {
        QCOMPARE(describe(*parsed), fields);
    }
}

void TestProtobuf::parseStopsAtTheEndOfItsView() {
    // The byte after the view would complete both the varint and the 32-bit field.
    const QByteArray memory = hex("08 96 01 0d 01 02 03 04");
    QVERIFY(!Protobuf::parse(QByteArrayView(memory).first(2)));
    QVERIFY(!Protobuf::parse(QByteArrayView(memory).first(7)));
    const auto whole = Protobuf::parse(memory);
    QVERIFY(whole);
    QCOMPARE(describe(*whole), QStringLiteral("1/0=150 1/5:01020304"));
}

void TestProtobuf::reencode_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray minimal = hex("08 96 01 12 00 0d 00 00 80 3f 19 01 02 03 04 05 06 07 08"
                                   "22 05 08 ff ff ff 0f f8 ff ff ff ff ff ff ff ff 01 00");
    QTest::newRow("minimal bytes come back byte for byte") << minimal << minimal;
    QTest::newRow("12 00 comes back as 12 00") << hex("12 00") << hex("12 00");
    QTest::newRow("a non-minimal value is written back minimal") << hex("08 80 00") << hex("08 00");
    QTest::newRow("a non-minimal key is written back minimal") << hex("88 00 01") << hex("08 01");
    QTest::newRow("a non-minimal length is written back minimal") << hex("0a 81 00 41") << hex("0a 01 41");
    QTest::newRow("nested bytes are kept as they stand, padding and all")
        << hex("0a 03 08 80 00") << hex("0a 03 08 80 00");
}

void TestProtobuf::reencode() {
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    const auto parsed = Protobuf::parse(input);
    QVERIFY(parsed);
    QCOMPARE(Protobuf::encode(*parsed).toHex(' '), expected.toHex(' '));
}

void TestProtobuf::encode_data() {
    QTest::addColumn<QList<Field>>("fields");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("no fields give no bytes") << QList<Field>{} << QByteArray();
    QTest::newRow("127 takes one byte") << QList<Field>{Field::makeVarint(1, 127)} << hex("08 7f");
    QTest::newRow("128 takes two bytes") << QList<Field>{Field::makeVarint(1, 128)} << hex("08 80 01");
    QTest::newRow("2^64 - 1 takes ten bytes")
        << QList<Field>{Field::makeVarint(1, ~quint64(0))} << hex("08 ff ff ff ff ff ff ff ff ff 01");
    QTest::newRow("field 16 needs a two-byte key")
        << QList<Field>{Field::makeVarint(16, 1)} << hex("80 01 01");
    QTest::newRow("an empty length-delimited field") << QList<Field>{Field::makeBytes(2, {})} << hex("12 00");
    QTest::newRow("a 300-byte field has a two-byte length")
        << QList<Field>{Field::makeBytes(3, QByteArray(300, 'x'))} << hex("1a ac 02") + QByteArray(300, 'x');
    QTest::newRow("fixed-width fields are written without a length")
        << QList<Field>{Field{1, Protobuf::Fixed32, 0, hex("00 00 80 3f")},
                        Field{2, Protobuf::Fixed64, 0, hex("00 00 00 00 00 00 f0 3f")}}
        << hex("0d 00 00 80 3f 11 00 00 00 00 00 00 f0 3f");
}

void TestProtobuf::encode() {
    QFETCH(QList<Field>, fields);
    QFETCH(QByteArray, expected);
    QCOMPARE(Protobuf::encode(fields).toHex(' '), expected.toHex(' '));
}

void TestProtobuf::protocReadsWhatEncodeWrites() {
    const QByteArray inner = Protobuf::encode(
        {Field::makeVarint(1, 2), Field::makeBytes(5, QByteArrayLiteral("Tonewharf/Warm.cube"))});
    const QByteArray message = Protobuf::encode({
        Field::makeVarint(1, 150),
        Field::makeVarint(2, ~quint64(0)),
        Field{3, Protobuf::Fixed32, 0, fixed32(1.5f)},
        Field{4, Protobuf::Fixed64, 0, hex("00 00 00 00 00 00 f0 3f")},
        Field::makeBytes(7, inner),
        Field::makeBytes(7, inner),
        Field::makeVarint(300, 1),
    });

    QProcess protoc;
    protoc.start(QStringLiteral("protoc"), {QStringLiteral("--decode_raw")});
    QVERIFY2(protoc.waitForStarted(10000), "protoc (Debian package protobuf-compiler) must be installed");
    protoc.write(message);
    protoc.closeWriteChannel();
    QVERIFY(protoc.waitForFinished(30000));
    QCOMPARE(protoc.exitCode(), 0);
    const QString expected = QStringLiteral("1: 150\n"
                                            "2: 18446744073709551615\n"
                                            "3: 0x3fc00000\n"
                                            "4: 0x3ff0000000000000\n"
                                            "7 {\n  1: 2\n  5: \"Tonewharf/Warm.cube\"\n}\n"
                                            "7 {\n  1: 2\n  5: \"Tonewharf/Warm.cube\"\n}\n"
                                            "300: 1\n");
    QCOMPARE(QString::fromUtf8(protoc.readAllStandardOutput()), expected);
}

void TestProtobuf::arbitraryBytesNeverCrashAndRoundTrip() {
    // Encoded random messages, then damaged half of the time: a byte changed, a tail cut off
    // or random bytes appended, so that parse meets both good and broken input near the edges.
    QRandomGenerator random(20261206);
    int wellFormed = 0;
    int malformed = 0;
    for (int round = 0; round < 20000; ++round) {
        QList<Field> fields;
        const int count = random.bounded(0, 6);
        for (int index = 0; index < count; ++index) {
            const qint64 number = random.bounded(1, 40);
            switch (random.bounded(4)) {
            case 0:
                fields.append(Field::makeVarint(number, random.generate64() >> random.bounded(64)));
                break;
            case 1:
                fields.append(Field{number, Protobuf::Fixed32, 0, QByteArray(4, char(random.bounded(256)))});
                break;
            case 2:
                fields.append(Field{number, Protobuf::Fixed64, 0, QByteArray(8, char(random.bounded(256)))});
                break;
            default:
                fields.append(Field::makeBytes(number, QByteArray(random.bounded(0, 20), char(0x80))));
                break;
            }
        }
        QByteArray input = Protobuf::encode(fields);
        switch (random.bounded(6)) {
        case 0:
            if (!input.isEmpty()) {
                input[random.bounded(int(input.size()))] = char(random.bounded(256));
            }
            break;
        case 1:
            input.chop(random.bounded(int(input.size()) + 1));
            break;
        case 2:
            for (int extra = random.bounded(1, 12); extra > 0; --extra) {
                input.append(char(random.bounded(256)));
            }
            break;
        default:
            break;
        }

        const auto parsed = Protobuf::parse(input);
        if (!parsed) {
            ++malformed;
            continue;
        }
        ++wellFormed;
        // Whatever parses re-encodes to bytes that parse to the same fields, and stays put.
        const QByteArray encoded = Protobuf::encode(*parsed);
        const auto again = Protobuf::parse(encoded);
        QVERIFY2(again, input.toHex(' ').constData());
        QVERIFY2(*again == *parsed, input.toHex(' ').constData());
        QCOMPARE(Protobuf::encode(*again), encoded);
        QVERIFY(encoded.size() <= input.size());
    }
    QVERIFY2(wellFormed > 5000 && malformed > 2000,
             qPrintable(QStringLiteral("%1 well formed, %2 malformed").arg(wellFormed).arg(malformed)));
}

QTEST_GUILESS_MAIN(TestProtobuf)
#include "TestProtobuf.moc"
