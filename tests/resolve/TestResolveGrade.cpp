#include "platform/FileSystem.h"
#include "platform/ResolveProfile.h"
#include "platform/Resources.h"
#include "resolve/Protobuf.h"
#include "resolve/ResolveGrade.h"
#include "support/RunProgram.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <bit>

using Protobuf::Field;
using namespace ResolveGrade;

namespace {

QByteArray zstdDecode(const QByteArray& frame) {
    return runProgram(QStringLiteral("zstd"), {"-d", "-c", "-q"}, frame);
}

// Building blocks of synthetic grade bodies, in the layout the writer walks.
QByteArray entry(quint64 identifier, float value) {
    const QByteArray bits(reinterpret_cast<const char*>(&value), 4); // little-endian, as is the wire
    return Protobuf::encode({Field::makeVarint(1, identifier),
                             Field::makeBytes(2, Protobuf::encode({Field{1, Protobuf::Fixed32, 0, bits}}))});
}

QByteArray parameterList(const QList<QByteArray>& entries, const QList<Field>& extra = {}) {
    QList<Field> fields{Field::makeVarint(1, 1)};
    for (const QByteArray& bytes : entries) {
        fields.append(Field::makeBytes(3, bytes));
    }
    return Protobuf::encode(fields + extra);
}

// A node whose chain 9 -> 1 -> 6 -> 2 ends in the parameter list.
QByteArray node(qint64 identifier, const QByteArray& parameters) {
    QByteArray inner = parameters;
    for (const qint64 number : {2, 6, 1, 9}) {
        inner = Protobuf::encode({Field::makeVarint(3, 1), Field::makeBytes(number, inner)});
    }
    return Protobuf::encode({Field::makeVarint(1, quint64(identifier)), Field::makeBytes(6, "Node")}) + inner;
}

QByteArray body(const QList<QByteArray>& nodes) {
    QList<Field> grade{Field::makeVarint(1, 6)};
    for (const QByteArray& bytes : nodes) {
        grade.append(Field::makeBytes(7, bytes));
    }
    grade.append(Field::makeVarint(12, 1234));
    return Protobuf::encode({Field::makeBytes(1, Protobuf::encode(grade)), Field::makeBytes(3, "\x20\x01")});
}

// A body with nodes 2 and 6 fully populated, except for the identifier left out.
QByteArray completeBody(quint64 leaveOut = 0, bool withLutNode = true) {
    QList<QByteArray> cdl, lut;
    for (quint64 identifier :
         {kSaturationParam, kOffsetShareParams[0], kOffsetShareParams[1], kOffsetShareParams[2],
          kScaledSlopeParams[0], kScaledSlopeParams[1], kScaledSlopeParams[2], kPowerOffsetParams[0],
          kPowerOffsetParams[1], kPowerOffsetParams[2]}) {
        cdl.append(identifier == leaveOut ? QByteArray() : entry(identifier, 0.5f));
    }
    lut.append(leaveOut == kLutPathParam ? QByteArray()
                                         : textEntry(kLutPathParam, QStringLiteral("old.cube")));
    const QByteArray cdlNode = node(kCdlNode, parameterList(cdl));
    return withLutNode ? body({cdlNode, node(kLutNode, parameterList(lut))}) : body({cdlNode});
}

const Look warmLook{QStringLiteral("Warm"),
                    {1.1, 1.0, 0.9},
                    {0.05, 0.0, -0.02},
                    {0.9, 1.0, 1.2},
                    1.15,
                    QStringLiteral("Tonewharf/Warm.cube")};

} // namespace

class TestResolveGrade : public QObject {
    Q_OBJECT

private slots:

    void rawZstdFrame_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("start"); // the frame header and the first block header
        const auto row = [](const char* name, int size, const char* start) {
            QTest::newRow(name) << size << QByteArray::fromHex(start);
        };
        row("255 bytes still have a one-byte size", 255, "28b52ffd20fff90700");
        row("256 bytes have a two-byte size less 256", 256, "28b52ffd6000000108");
        row("65791 bytes are the largest two-byte size", 65791, "28b52ffd60fffff90708");
        row("65792 bytes have a four-byte size", 65792, "28b52ffda00001010001");
        row("131073 bytes need a second block after a full one", 131073, "28b52ffda00100020000");
    }

    void rawZstdFrame() {
        QFETCH(int, size);
        QFETCH(QByteArray, start);
        QByteArray input;
        for (int index = 0; index < size; ++index) {
            input += char(index % 251); // no block boundary falls on a period
        }
        const QByteArray frame = ResolveGrade::rawZstdFrame(input);
        QCOMPARE(frame.first(start.size()).toHex(' '), start.toHex(' '));
        // zstd refuses blocks over 128 KiB and checks the content size.
        QVERIFY(zstdDecode(frame) == input);
    }

    void patchNodeReplacesOnlyTheNamedEntries() {
        const QByteArray a = entry(0x6000018, 1.0f), secondA = entry(0x6000018, 3.0f),
                         b = entry(0x6000019, 1.0f), other = entry(0x6000005, 1.0f), broken("\x0f\x00", 2);
        const QList<Field> extra{Field::makeVarint(4, 9), Field::makeBytes(3, "\x10\x01")};
        const QByteArray newA = entry(0x6000018, -1.0f);
        const QByteArray newB = textEntry(0x6000019, QStringLiteral("replaced"));

        const auto patched =
            patchNode(body({node(2, parameterList({broken, a, other, secondA, b}, extra)),
                            node(6, parameterList({a, b})), "\x0f", node(2, parameterList({b, a}))}),
                      2, {{0x6000018, newA}, {0x6000019, newB}});
        // Every node 2 is patched; a second entry with a replaced identifier, entries not named,
        // broken entries, node 6 and the fields around the nodes all stay as they were.
        const QByteArray expected =
            body({node(2, parameterList({broken, newA, other, secondA, newB}, extra)),
                  node(6, parameterList({a, b})), "\x0f", node(2, parameterList({newB, newA}))});
        QCOMPARE(patched.value().toHex(' '), expected.toHex(' '));
    }

    void makeStillProducesAStillResolveCanRead() {
        Look look = warmLook;
        // Characters XML forbids are left out of the label (one C0 control, a lone surrogate, U+FFFE);
        // the rest is escaped, and a placeholder in it stays as it is.
        look.name = QStringLiteral("Shot & \"<1>\" @@TINTARA_BODY@@\x01\xd800\xfffe");
        const Resources resources(QStringLiteral(TONEWHARF_RESOURCE_DIR));
        const auto still = makeStill(look, resources);
        QVERIFY2(still.ok(), qPrintable(still.failure().description()));
        const QString text = QString::fromUtf8(still.value());
        QVERIFY(text.startsWith(QStringLiteral("<?xml")) && text.count(QStringLiteral("@@TINTARA_")) == 2);
        QVERIFY(text.contains(
            QStringLiteral("<Label>Shot &amp; &quot;&lt;1&gt;&quot; @@TINTARA_BODY@@</Label>")));

        // An XML parser without namespace processing (Resolve's element names hold "::") and strict
        // about UTF-8 reads it.
        QVERIFY2(!runProgram(TONEWHARF_PYTHON3,
                             {"-c", "import sys, xml.parsers.expat as e; "
                                    "e.ParserCreate().Parse(sys.stdin.buffer.read(), True)"},
                             still.value())
                      .isNull(),
                 "the still is not well-formed XML");

        static const QRegularExpression bodyElement(QStringLiteral("<Body>81([0-9a-f]*)</Body>"));
        const QByteArray decoded =
            zstdDecode(QByteArray::fromHex(bodyElement.match(text).captured(1).toLatin1()));

        // protoc reads the eleven values the look gave, rounded to 32-bit floats, and nothing else changed.
        const QString protoc = QString::fromUtf8(runProgram("protoc", {"--decode_raw"}, decoded));
        static const QRegularExpression parameter(
            QStringLiteral("1: (\\d+)\\n\\s*2 \\{\\n\\s*(?:1: 0x([0-9a-f]{8})|5: \"([^\"\\n]*)\")\\n"));
        QMap<quint64, QString> values;
        for (const auto& match : parameter.globalMatch(protoc)) {
            values.insert(match.captured(1).toULongLong(), match.captured(2) + match.captured(3));
        }
        const auto bits = [](double value) {
            return QString::number(std::bit_cast<quint32>(float(value)), 16).rightJustified(8, '0');
        };
        QMap<quint64, QString> expected{{kSaturationParam, bits(1.15)},
                                        {kLutPathParam, "Tonewharf/Warm.cube"}};
        const double shares[] = {0.05 / 1.15, 0.0, -0.02 / 0.88}, scaled[] = {1.1 / 0.95, 1.0, 0.9 / 1.02},
                     powered[] = {1.0 / 0.9 - 1.0, 0.0, 1.0 - 1.2};
        for (int channel = 0; channel < 3; ++channel) {
            expected.insert(kOffsetShareParams[channel], bits(shares[channel]));
            expected.insert(kScaledSlopeParams[channel], bits(scaled[channel]));
            expected.insert(kPowerOffsetParams[channel], bits(powered[channel]));
        }
        QCOMPARE(values, expected);

        // A second still of the same look differs only in its fresh lower-case UUID.
        static const QRegularExpression id(
            QStringLiteral("DbId=\"([0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12})\""));
        const QString again = QString::fromUtf8(makeStill(look, resources).value());
        QVERIFY(id.match(text).hasMatch() && id.match(text).captured() != id.match(again).captured());
        QCOMPARE(QString(again).replace(id, "ID"), QString(text).replace(id, "ID"));
    }

    void makeStillFailures() {
        const QByteArray xml = "<Still id=\"@@TINTARA_DBID@@\">@@TINTARA_LABEL@@ @@TINTARA_BODY@@</Still>";
        Look look = warmLook;
        const auto failure = [&look](const QByteArray& xml, const QByteArray& body) {
            const auto still = makeStill(look, Template{xml, body});
            return still.ok() ? QStringLiteral("made") : still.failure().description();
        };
        QCOMPARE(failure("<Still>\xff\xfe @@TINTARA_BODY@@</Still>", completeBody()), "templateMissing");
        QCOMPARE(failure(xml, "\x0b"), "templateMalformed");
        QCOMPARE(failure(xml, completeBody(0, false)), "nodeMissing(6)");
        QCOMPARE(failure(xml, completeBody(kLutPathParam)), "paramMissing(0x860000a1)");
        // Lists of the wrong length, and values that are not finite as 32-bit floats: NaN, beyond
        // float's range, or a power so small that the parameter made from it is.
        for (const auto& [slope, offset, power] :
             QList<std::tuple<QList<double>, double, double>>{{{1, 1}, 0, 1},
                                                              {{1, 1, 1, 1}, 0, 1},
                                                              {{qQNaN(), 1, 1}, 0, 1},
                                                              {{1e39, 1, 1}, 0, 1},
                                                              {{1, 1, 1}, -1e39, 1},
                                                              {{1, 1, 1}, 0, 1e-39}}) {
            look.slope = slope;
            look.offset[0] = offset;
            look.power[0] = power;
            QCOMPARE(failure(xml, completeBody()), "templateMalformed");
        }
        // Only the XML template on disk.
        QTemporaryDir dir;
        QVERIFY(FileSystem::writeAtomically(dir.filePath("ResolveGradeTemplate.xml"), xml));
        QCOMPARE(makeStill(warmLook, Resources(dir.path())).failure(), Failure::templateMissing());
    }

    void conversionsAtTheirEdges() {
        // Ordinary values are judged through the still protoc reads; these are the guarded cases.
        QCOMPARE(powerOffset(0.0), 0.0);
        // A slope and offset that cancel give no offset share.
        QCOMPARE(offsetShare(-0.2, 0.2), 0.0);
        // The LUT reference is relative inside Resolve's LUT folder; a sibling folder sharing the
        // prefix text, or the folder in other letter case, keeps the full path.
        const ResolveProfile mac = ResolveProfile::macOS(QStringLiteral("/Users/a"));
        const QString folder =
            QStringLiteral("/Library/Application Support/Blackmagic Design/DaVinci Resolve/LUT");
        QCOMPARE(ResolveGrade::stillLutPath(folder + "/Tonewharf/Warm.cube", mac),
                 QStringLiteral("Tonewharf/Warm.cube"));
        QCOMPARE(ResolveGrade::stillLutPath(folder + "s/Warm.cube", mac), folder + "s/Warm.cube");
        QCOMPARE(ResolveGrade::stillLutPath(folder.toLower() + "/Warm.cube", mac),
                 folder.toLower() + "/Warm.cube");
    }
};

QTEST_GUILESS_MAIN(TestResolveGrade)
#include "TestResolveGrade.moc"
