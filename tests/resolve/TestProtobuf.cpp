#include "resolve/Protobuf.h"
#include "support/RunProgram.h"

#include <QTest>

using Protobuf::Field;

class TestProtobuf : public QObject {
    Q_OBJECT

private slots:
    void parse_data() {
        // The input, its fields ("number/wire=varint" or "number/wire:hex", "-" when malformed) and
        // what encode writes them back as (the input itself unless given).
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("fields");
        QTest::addColumn<QByteArray>("reencoded");
        const auto row = [](const char* name, const char* input, const char* fields,
                            const char* again = nullptr) {
            const QByteArray bytes = QByteArray::fromHex(input);
            QTest::newRow(name) << bytes << fields << (again ? QByteArray::fromHex(again) : bytes);
        };
        row("0D with four bytes is a 32-bit field kept as it stands", "0d01020304", "1/5:01020304");
        row("0D with three bytes is a 32-bit field cut short", "0d010203", "-");
        row("09 with eight bytes is a 64-bit field kept as it stands", "090102030405060708",
            "1/1:0102030405060708");
        row("a lone 80 is an unterminated varint", "80", "-");
        row("a length-delimited field running one byte past the end", "0a030102", "-");
        row("a length of 2^64 - 1 does not fit a signed count", "0affffffffffffffffff01", "-");
        row("the largest ten-byte varint is 2^64 - 1", "08ffffffffffffffffff01", "1/0=18446744073709551615");
        row("a tenth varint byte with its high bit set is malformed", "0880808080808080808080", "-");
        row("a start group after good fields makes the whole input malformed", "0896010b", "-");
        row("wire type 7 is malformed", "0f00", "-");
        row("repeated numbers stay separate entries in their order", "0801100008021a0141",
            "1/0=1 2/0=0 1/0=2 3/2:41");
        row("a non-minimal key, value and length are written back minimal", "880080000a8300088000",
            "1/0=0 1/2:088000", "08000a03088000");
    }

    void parse() {
        QFETCH(QByteArray, input);
        QFETCH(QString, fields);
        QFETCH(QByteArray, reencoded);

        // The byte after the input would complete a field cut short: parse must stay inside its view.
        const QByteArray memory = input + QByteArray(8, '\x01');
        const auto parsed = Protobuf::parse(QByteArrayView(memory).first(input.size()));
        QStringList parts;
        for (const Field& field : parsed.value_or(QList<Field>{})) {
            parts << QStringLiteral("%1/%2").arg(field.number).arg(field.wire) +
                         (field.wire == Protobuf::Varint ? QStringLiteral("=%1").arg(field.varint)
                                                         : ':' + QString::fromLatin1(field.bytes.toHex()));
        }
        QCOMPARE(parsed ? parts.join(' ') : QStringLiteral("-"), fields);
        if (parsed) {
            QCOMPARE(Protobuf::encode(*parsed).toHex(' '), reencoded.toHex(' '));
        }
    }

    void protocReadsWhatEncodeWrites() {
        const QByteArray inner = Protobuf::encode(
            {Field::makeVarint(1, 2), Field::makeBytes(5, QByteArrayLiteral("Tonewharf/Warm.cube"))});
        const QByteArray message = Protobuf::encode({
            Field::makeVarint(1, 150),
            Field::makeVarint(2, ~quint64(0)),
            Field{3, Protobuf::Fixed32, 0, QByteArray::fromHex("0000c03f")},
            Field{4, Protobuf::Fixed64, 0, QByteArray::fromHex("000000000000f03f")},
            Field::makeBytes(7, inner),
            Field::makeVarint(300, 1),
            Field::makeBytes(8, QByteArray(300, '~')),
        });
        // protoc comes from the Debian package protobuf-compiler.
        QCOMPARE(QString::fromUtf8(runProgram("protoc", {"--decode_raw"}, message)),
                 QStringLiteral("1: 150\n2: 18446744073709551615\n3: 0x3fc00000\n4: 0x3ff0000000000000\n"
                                "7 {\n  1: 2\n  5: \"Tonewharf/Warm.cube\"\n}\n300: 1\n8: \"%1\"\n")
                     .arg(QString(300, u'~')));
    }
};

QTEST_GUILESS_MAIN(TestProtobuf)
#include "TestProtobuf.moc"
