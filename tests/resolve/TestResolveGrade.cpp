#include "platform/ResolveProfile.h"
#include "platform/Resources.h"
#include "resolve/Protobuf.h"
#include "resolve/ResolveGrade.h"
#include "support/RunProgram.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>

using Protobuf::Field;
using namespace ResolveGrade;

namespace {

QByteArray hex(const char* text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

quint32 floatBits(double value) {
    const float single = float(value);
    quint32 bits = 0;
    std::memcpy(&bits, &single, 4);
    return bits;
}

QByteArray zstdDecode(const QByteArray& frame) {
    return runProgram(QStringLiteral("zstd"),
                      {QStringLiteral("-d"), QStringLiteral("-c"), QStringLiteral("-q")}, frame);
}

// The parameter identifiers and values protoc --decode_raw prints: floats as their bit
// patterns, texts as written.
struct ProtocView {
    QMap<quint64, quint32> floats;
    QMap<quint64, QString> texts;
};

ProtocView protocView(const QByteArray& body) {
    ProtocView view;
    const QString text =
        QString::fromUtf8(runProgram(QStringLiteral("protoc"), {QStringLiteral("--decode_raw")}, body));
    static const QRegularExpression parameter(
        QStringLiteral("1: (\\d+)\\n\\s*2 \\{\\n\\s*(?:1: 0x([0-9a-f]{8})|5: \"([^\"\\n]*)\")\\n"));
    for (const auto& match : parameter.globalMatch(text)) {
        if (match.hasCaptured(2)) {
            view.floats.insert(match.captured(1).toULongLong(), match.captured(2).toUInt(nullptr, 16));
        } else {
            view.texts.insert(match.captured(1).toULongLong(), match.captured(3));
        }
    }
    return view;
}

// Building blocks of synthetic grade bodies, in the layout the writer walks.
QByteArray entry(quint64 identifier, float value) {
    QByteArray bits(4, Qt::Uninitialized);
    std::memcpy(bits.data(), &value, 4);
    return Protobuf::encode({Field::makeVarint(1, identifier),
                             Field::makeBytes(2, Protobuf::encode({Field{1, Protobuf::Fixed32, 0, bits}}))});
}

QByteArray parameterList(const QList<QByteArray>& entries, const QList<Field>& extra = {}) {
    QList<Field> fields{Field::makeVarint(1, 1)};
    for (const QByteArray& bytes : entries) {
        fields.append(Field::makeBytes(3, bytes));
    }
    fields.append(extra);
    return Protobuf::encode(fields);
}

// A node whose chain 9 -> 1 -> 6 -> 2 ends in the given parameter list.
QByteArray node(qint64 identifier, const QByteArray& parameters) {
    const QByteArray level6 = Protobuf::encode({Field::makeBytes(2, parameters)});
    const QByteArray level1 =
        Protobuf::encode({Field::makeVarint(1, 1), Field::makeVarint(3, 1), Field::makeBytes(6, level6)});
    const QByteArray level9 =
        Protobuf::encode({Field::makeBytes(1, level1), Field::makeBytes(2, hex("03 04"))});
    return Protobuf::encode({Field::makeVarint(1, quint64(identifier)), Field::makeVarint(2, 1),
                             Field::makeBytes(6, QByteArrayLiteral("Node")), Field::makeBytes(9, level9)});
}

QByteArray body(const QList<QByteArray>& nodes) {
    QList<Field> grade{Field::makeVarint(1, 6)};
    for (const QByteArray& bytes : nodes) {
        grade.append(Field::makeBytes(7, bytes));
    }
    grade.append(Field::makeVarint(12, 1234));
    return Protobuf::encode(
        {Field::makeBytes(1, Protobuf::encode(grade)), Field::makeBytes(3, hex("20 01"))});
}

// Node 2's ten entries and node 6's LUT path as a synthetic template holds them.
QMap<quint64, QByteArray> cdlEntries() {
    QMap<quint64, QByteArray> entries{{kSaturationParam, entry(kSaturationParam, 0.5f)}};
    for (int channel = 0; channel < 3; ++channel) {
        for (quint64 identifier :
             {kOffsetShareParams[channel], kScaledSlopeParams[channel], kPowerOffsetParams[channel]}) {
            entries.insert(identifier, entry(identifier, 0.5f));
        }
    }
    return entries;
}

const QMap<quint64, QByteArray> lutEntries{
    {kLutPathParam, textEntry(kLutPathParam, QStringLiteral("old.cube"))}};

// A body with nodes 2 and 6 fully populated, except for the identifier left out.
QByteArray completeBody(quint64 leaveOut = 0, bool withLutNode = true) {
    QMap<quint64, QByteArray> cdl = cdlEntries();
    QMap<quint64, QByteArray> lut = lutEntries;
    cdl.remove(leaveOut);
    lut.remove(leaveOut);
    const QByteArray cdlNode = node(kCdlNode, parameterList(cdl.values()));
    return withLutNode ? body({cdlNode, node(kLutNode, parameterList(lut.values()))}) : body({cdlNode});
}

Look warmLook() {
    return Look{QStringLiteral("Warm"),
                {1.1, 1.0, 0.9},
                {0.05, 0.0, -0.02},
                {0.9, 1.0, 1.2},
                1.15,
                QStringLiteral("Tonewharf/Warm.cube")};
}

QString stillId(const QByteArray& still) {
    static const QRegularExpression dbId(QStringLiteral(
        "<Gallery::GyStill DbId=\"([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})\">"));
    return dbId.match(QString::fromUtf8(still)).captured(1);
}

} // namespace

class TestResolveGrade : public QObject {
    Q_OBJECT

private slots:
    void conversionsAtTheirEdges();
    void labelAndPlaceholders();
    void rawZstdFrame_data();
    void rawZstdFrame();
    void patchNodeFailures_data();
    void patchNodeFailures();
    void patchNodeReplacesOnlyTheNamedEntries();
    void patchNodeSurvivesDeepNesting();
    void buildBodyTouchesNothingElse();
    void makeStillProducesAStillResolveCanRead();
    void makeStillFailures_data();
    void makeStillFailures();
    void generatorMatchesTheShippedTemplate();
    void stillLutPath_data();
    void stillLutPath();
};

void TestResolveGrade::conversionsAtTheirEdges() {
    // Ordinary values are judged through the still protoc reads; these are the guarded cases.
    // Power zero or below gives no power offset.
    QCOMPARE(powerOffset(0.0), 0.0);
    QCOMPARE(powerOffset(-3.0), 0.0);
    // An offset of exactly one leaves the slope as it is.
    QCOMPARE(offsetShare(1.5, 1.0), 0.4);
    QCOMPARE(scaledSlope(1.5, 1.0), 1.5);
    // A slope and offset that cancel give no offset share.
    QCOMPARE(offsetShare(-0.2, 0.2), 0.0);
    QCOMPARE(scaledSlope(-0.2, 0.2), -0.25);
}

void TestResolveGrade::labelAndPlaceholders() {
    // &, <, > and " are escaped in that order (an entity in the name is escaped, not kept);
    // apostrophes and text beyond ASCII pass through.
    QCOMPARE(escapeLabel(QStringLiteral("Shot & \"A\" <1> R&amp;D's Dämmerung → Blau")),
             QStringLiteral("Shot &amp; &quot;A&quot; &lt;1&gt; R&amp;amp;D's Dämmerung → Blau"));
    // Every placeholder is filled, in the order body, identifier, label, and never rescanned.
    const QByteArray xml = "<a id=\"@@TINTARA_DBID@@\"><b>@@TINTARA_LABEL@@</b><c>@@TINTARA_BODY@@</c>"
                           "<d id=\"@@TINTARA_DBID@@\">@@TINTARA_LABEL@@</d><e>@@tintara_body@@</e></a>";
    const QString name = QStringLiteral("@@TINTARA_BODY@@ & @@TINTARA_DBID@@");
    const QByteArray filled = fillPlaceholders(xml, "81ff", QStringLiteral("0123"), name);
    QCOMPARE(filled, QByteArray("<a id=\"0123\"><b>@@TINTARA_BODY@@ &amp; @@TINTARA_DBID@@</b><c>81ff</c>"
                                "<d id=\"0123\">@@TINTARA_BODY@@ &amp; @@TINTARA_DBID@@</d>"
                                "<e>@@tintara_body@@</e></a>"));
}

void TestResolveGrade::rawZstdFrame_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("start"); // the frame header and the first block header

    QTest::newRow("an empty input has one empty last block") << 0 << hex("28 b5 2f fd 20 00 01 00 00");
    QTest::newRow("one byte") << 1 << hex("28 b5 2f fd 20 01 09 00 00");
    QTest::newRow("255 bytes still have a one-byte size") << 255 << hex("28 b5 2f fd 20 ff f9 07 00");
    QTest::newRow("256 bytes have a two-byte size less 256") << 256 << hex("28 b5 2f fd 60 00 00 01 08 00");
    QTest::newRow("300 bytes as in the example") << 300 << hex("28 b5 2f fd 60 2c 00 61 09 00");
    QTest::newRow("65791 bytes are the largest two-byte size")
        << 65791 << hex("28 b5 2f fd 60 ff ff f9 07 08");
    QTest::newRow("65792 bytes have a four-byte size") << 65792 << hex("28 b5 2f fd a0 00 01 01 00 01 08 08");
    QTest::newRow("131072 bytes fill exactly one last block")
        << 131072 << hex("28 b5 2f fd a0 00 00 02 00 01 00 10");
    QTest::newRow("131073 bytes need a second block after a full one")
        << 131073 << hex("28 b5 2f fd a0 01 00 02 00 00 00 10");
    QTest::newRow("a few MiB in many blocks")
        << 3 * 1024 * 1024 + 7 << hex("28 b5 2f fd a0 07 00 30 00 00 00 10");
}

void TestResolveGrade::rawZstdFrame() {
    QFETCH(int, size);
    QFETCH(QByteArray, start);
    QByteArray input(size, Qt::Uninitialized);
    QRandomGenerator random(quint32(size) + 1);
    for (char& byte : input) {
        byte = char(random.bounded(256));
    }
    const QByteArray frame = ResolveGrade::rawZstdFrame(input);
    QCOMPARE(frame.first(start.size()).toHex(' '), start.toHex(' '));
    // One three-byte header per started 128 KiB and the bytes as they are: raw blocks only.
    const qsizetype blocks = qMax(1, (size + 131071) / 131072);
    QCOMPARE(frame.size(), start.size() - 3 + 3 * blocks + size);

    // zstd refuses blocks over 128 KiB and checks the content size.
    const QByteArray decoded = zstdDecode(frame);
    QVERIFY2(!decoded.isNull(), "zstd -d must accept the frame");
    QVERIFY(decoded == input);
}

void TestResolveGrade::patchNodeFailures_data() {
    // Each body is patched at node 2 with a new entry 0x6000018.
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("failure");
    const auto row = [](const char* name, const QByteArray& input, const char* failure) {
        QTest::newRow(name) << input << QString::fromLatin1(failure);
    };

    const QByteArray entryA = entry(0x6000018, 1.0f);
    const QByteArray healthy = node(2, parameterList({entryA}));
    // node() rebuilt level by level, with one level of the chain 9 -> 1 -> 6 -> 2 under another number.
    const auto nodeWithout = [&](int missingDepth) {
        QByteArray inner = parameterList({entryA});
        const qint64 path[] = {2, 6, 1, 9};
        for (int depth = 0; depth < 4; ++depth) {
            inner = Protobuf::encode({Field::makeBytes(depth == missingDepth ? 15 : path[depth], inner)});
        }
        return Protobuf::encode({Field::makeVarint(1, 2)}) + inner;
    };

    row("a body that does not parse is malformed", hex("0b"), "templateMalformed");
    row("a body without a grade is malformed", Protobuf::encode({Field::makeBytes(3, healthy)}),
        "templateMalformed");
    row("a grade given as a varint does not count", Protobuf::encode({Field::makeVarint(1, 7)}),
        "templateMalformed");
    row("a grade whose bytes do not parse is malformed", Protobuf::encode({Field::makeBytes(1, hex("0f"))}),
        "templateMalformed");
    row("no node with the identifier", body({node(6, parameterList({entryA}))}), "nodeMissing(2)");
    row("nodes that do not parse or carry no identifier are skipped",
        body({hex("0f"), Protobuf::encode({Field::makeVarint(2, 2)})}), "nodeMissing(2)");
    const char* levels[] = {"a parameter list", "the level in field 6", "the level in field 9", "field 9"};
    for (int depth = 0; depth < 4; ++depth) {
        row(qPrintable(QStringLiteral("a node without %1").arg(QLatin1String(levels[depth]))),
            body({nodeWithout(depth)}), "nodeMissing(2)");
    }
    row("a level that does not parse",
        body({Protobuf::encode({Field::makeVarint(1, 2), Field::makeBytes(9, hex("0a 01 0f"))})}),
        "nodeMissing(2)");
    row("a second node with the identifier but no chain fails the whole patch",
        body({healthy, nodeWithout(1)}), "nodeMissing(2)");
    row("an empty parameter list lacks the identifier", body({node(2, parameterList({}))}),
        "paramMissing(0x6000018)");
    row("an entry with another identifier does not count",
        body({node(2, parameterList({entry(0x6000019, 1.0f)}))}), "paramMissing(0x6000018)");
    row("an entry given as a varint does not count",
        body({node(2, parameterList({}, {Field::makeVarint(3, 0x6000018)}))}), "paramMissing(0x6000018)");
}

void TestResolveGrade::patchNodeFailures() {
    QFETCH(QByteArray, input);
    QFETCH(QString, failure);
    const auto result = patchNode(input, 2, {{0x6000018, entry(0x6000018, 2.0f)}});
    QVERIFY(!result.ok());
    QCOMPARE(result.failure().description(), failure);
}

void TestResolveGrade::patchNodeReplacesOnlyTheNamedEntries() {
    const QByteArray a = entry(0x6000018, 1.0f);
    const QByteArray secondA = entry(0x6000018, 3.0f);
    const QByteArray b = entry(0x6000019, 1.0f);
    const QByteArray other = entry(0x6000005, 1.0f);
    const QByteArray broken = hex("0f 00");
    const QList<Field> extra{Field::makeVarint(4, 9), Field::makeBytes(3, hex("10 01"))};
    const QByteArray newA = entry(0x6000018, -1.0f);
    const QByteArray newB = textEntry(0x6000019, QStringLiteral("replaced"));

    const auto patched =
        patchNode(body({node(2, parameterList({broken, a, other, secondA, b}, extra)),
                        node(6, parameterList({a, b})), hex("0f"), node(2, parameterList({b, a}))}),
                  2, {{0x6000018, newA}, {0x6000019, newB}});
    QVERIFY(patched.ok());
    // Every node 2 is patched; a second entry with a replaced identifier, entries not named,
    // broken entries, node 6 and the fields around the nodes all stay as they were.
    const QByteArray expected =
        body({node(2, parameterList({broken, newA, other, secondA, newB}, extra)),
              node(6, parameterList({a, b})), hex("0f"), node(2, parameterList({newB, newA}))});
    QCOMPARE(patched.value().toHex(' '), expected.toHex(' '));
}

void TestResolveGrade::patchNodeSurvivesDeepNesting() {
    // 200000 levels of field 1 inside field 1, written outside in: lengths[k] is what level k holds.
    constexpr int kDepth = 200000;
    QList<quint64> lengths(kDepth, 0);
    QByteArray varint;
    for (int level = kDepth - 2; level >= 0; --level) {
        varint.resize(0);
        Protobuf::appendVarint(varint, lengths[level + 1]);
        lengths[level] = lengths[level + 1] + 1 + quint64(varint.size());
    }
    QByteArray nested;
    for (quint64 length : lengths) {
        nested.append(char(0x0a));
        Protobuf::appendVarint(nested, length);
    }
    QCOMPARE(Protobuf::parse(nested).value_or(QList<Field>{}).size(), 1);

    // As a body the grade holds no field 7; as node 2's field 9 no level holds a field 6.
    const QMap<quint64, QByteArray> entries{{0x6000018, entry(0x6000018, 2.0f)}};
    QCOMPARE(patchNode(nested, 2, entries).failure(), Failure::nodeMissing(2));
    const QByteArray deepNode = Protobuf::encode({Field::makeVarint(1, 2), Field::makeBytes(9, nested)});
    QCOMPARE(patchNode(body({deepNode}), 2, entries).failure(), Failure::nodeMissing(2));
}

void TestResolveGrade::buildBodyTouchesNothingElse() {
    // Patching the template's own entries back into a built body restores the template byte
    // for byte: nothing but the eleven entries changed.
    const QByteArray original = completeBody();
    const auto built = buildBody(original, warmLook());
    QVERIFY(built.ok());
    QVERIFY(built.value() != original);
    const auto restored =
        patchNode(patchNode(built.value(), kCdlNode, cdlEntries()).value(), kLutNode, lutEntries);
    QCOMPARE(restored.value().toHex(' '), original.toHex(' '));
}

void TestResolveGrade::makeStillProducesAStillResolveCanRead() {
    Look look = warmLook();
    // Characters XML forbids are left out of the label: one C0 control, a lone surrogate, U+FFFE.
    look.name = QStringLiteral("Shot & \"A\" <1>\x01\xd800\xfffe");
    const Resources resources(QStringLiteral(TONEWHARF_RESOURCE_DIR));
    const auto still = makeStill(look, resources);
    QVERIFY2(still.ok(), qPrintable(still.failure().description()));

    const QString text = QString::fromUtf8(still.value());
    QVERIFY(!text.contains(QStringLiteral("@@TINTARA_")));
    QVERIFY(text.startsWith(QStringLiteral("<?xml")));
    QVERIFY(text.contains(QStringLiteral("<Label>Shot &amp; &quot;A&quot; &lt;1&gt;</Label>")));

    // An XML parser without namespace processing (Resolve's element names hold "::") and strict
    // about UTF-8 reads it.
    const QByteArray expat = runProgram(
        QStringLiteral(TONEWHARF_PYTHON3),
        {QStringLiteral("-c"), QStringLiteral("import sys, xml.parsers.expat as e; "
                                              "e.ParserCreate().Parse(sys.stdin.buffer.read(), True)")},
        still.value());
    QVERIFY2(!expat.isNull(), "the still is not well-formed XML");

    static const QRegularExpression bodyElement(QStringLiteral("<Body>([0-9a-f]*)</Body>"));
    const auto match = bodyElement.match(text);
    QVERIFY(match.hasMatch());
    const QByteArray payload = QByteArray::fromHex(match.captured(1).toLatin1());
    QCOMPARE(payload.at(0), char(0x81));
    const QByteArray decoded = zstdDecode(payload.mid(1));
    QVERIFY2(!decoded.isNull(), "zstd -d must accept the still's frame");
    QCOMPARE(decoded, buildBody(templateFromFiles(resources).value().body, look).value());

    // protoc reads the eleven values the look gave, rounded to 32-bit floats.
    const ProtocView view = protocView(decoded);
    QCOMPARE(view.floats.size(), 10);
    QCOMPARE(view.floats.value(kSaturationParam), floatBits(1.15));
    const double shares[] = {0.05 / 1.15, 0.0, -0.02 / 0.88};
    const double scaled[] = {1.1 / 0.95, 1.0, 0.9 / 1.02};
    const double powered[] = {1.0 / 0.9 - 1.0, 0.0, 1.0 - 1.2};
    for (int channel = 0; channel < 3; ++channel) {
        QCOMPARE(view.floats.value(kOffsetShareParams[channel]), floatBits(shares[channel]));
        QCOMPARE(view.floats.value(kScaledSlopeParams[channel]), floatBits(scaled[channel]));
        QCOMPARE(view.floats.value(kPowerOffsetParams[channel]), floatBits(powered[channel]));
    }
    QCOMPARE(view.texts.value(kLutPathParam), QStringLiteral("Tonewharf/Warm.cube"));

    // A second still of the same look differs only in its fresh lower-case UUID.
    const auto again = makeStill(look, resources);
    const QString firstId = stillId(still.value());
    const QString secondId = stillId(again.value());
    QCOMPARE(firstId.size(), 36);
    QVERIFY(firstId != secondId);
    QCOMPARE(QString(text).replace(firstId, QStringLiteral("ID")),
             QString::fromUtf8(again.value()).replace(secondId, QStringLiteral("ID")));
}

void TestResolveGrade::makeStillFailures_data() {
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QByteArray>("pb");
    QTest::addColumn<int>("slopes");
    QTest::addColumn<QString>("failure");

    const QByteArray xml = "<Still id=\"@@TINTARA_DBID@@\">@@TINTARA_LABEL@@ @@TINTARA_BODY@@</Still>";
    const QByteArray absent; // a null array: the file is not written
    QTest::newRow("only the XML template") << xml << absent << 3 << "templateMissing";
    QTest::newRow("only the body template") << absent << completeBody() << 3 << "templateMissing";
    QTest::newRow("an XML template that is not UTF-8")
        << QByteArray("<Still>\xff\xfe @@TINTARA_BODY@@</Still>") << completeBody() << 3 << "templateMissing";
    QTest::newRow("a look with two slopes") << xml << completeBody() << 2 << "templateMalformed";
    QTest::newRow("a look with four slopes") << xml << completeBody() << 4 << "templateMalformed";
    QTest::newRow("a body without node 6") << xml << completeBody(0, false) << 3 << "nodeMissing(6)";
    QTest::newRow("node 2 lacks a numeric parameter though node 6 is fine")
        << xml << completeBody(kScaledSlopeParams[1]) << 3 << "paramMissing(0x600001e)";
    QTest::newRow("node 6 lacks the LUT path")
        << xml << completeBody(kLutPathParam) << 3 << "paramMissing(0x860000a1)";
}

void TestResolveGrade::makeStillFailures() {
    QFETCH(QByteArray, xml);
    QFETCH(QByteArray, pb);
    QFETCH(int, slopes);
    QFETCH(QString, failure);

    QTemporaryDir dir;
    for (const QString& suffix : {QStringLiteral("xml"), QStringLiteral("pb")}) {
        const QByteArray& bytes = suffix == QStringLiteral("xml") ? xml : pb;
        QFile file(dir.filePath(QStringLiteral("ResolveGradeTemplate.") + suffix));
        QVERIFY(bytes.isNull() || (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()));
    }
    Look look = warmLook();
    look.slope = QList<double>(slopes, 1.0);
    const auto still = makeStill(look, Resources(dir.path()));
    QVERIFY(!still.ok());
    QCOMPARE(still.failure().description(), failure);
}

void TestResolveGrade::generatorMatchesTheShippedTemplate() {
    // The shipped .pb and .xml are exactly what the generator script writes.
    const QByteArray output =
        runProgram(QStringLiteral(TONEWHARF_PYTHON3),
                   {QStringLiteral(TONEWHARF_SOURCE_DIR "/scripts/make_grade_template.py"),
                    QStringLiteral("--check"), QStringLiteral(TONEWHARF_RESOURCE_DIR)});
    QVERIFY2(!output.isNull(), "the resources differ from what scripts/make_grade_template.py writes");
    QVERIFY(QFileInfo(QStringLiteral(TONEWHARF_RESOURCE_DIR "/ResolveGradeTemplate.pb")).size() > 0);
}

void TestResolveGrade::stillLutPath_data() {
    QTest::addColumn<QString>("cubePath");
    QTest::addColumn<ResolveProfile>("profile");
    QTest::addColumn<QString>("reference");

    const ResolveProfile mac = ResolveProfile::macOS(QStringLiteral("/Users/a"));
    const ResolveProfile linux = ResolveProfile::forLinux(QStringLiteral("/home/a"), QProcessEnvironment());
    QProcessEnvironment moved;
    moved.insert(QStringLiteral("TONEWHARF_RESOLVE_DIR"), QStringLiteral("/srv/resolve"));
    const ResolveProfile elsewhere = ResolveProfile::forLinux(QStringLiteral("/home/a"), moved);
    const QString macFolder =
        QStringLiteral("/Library/Application Support/Blackmagic Design/DaVinci Resolve/LUT");

    QTest::newRow("a cube in the macOS default folder is relative")
        << macFolder + "/Tonewharf/Warm.cube" << mac << QStringLiteral("Tonewharf/Warm.cube");
    QTest::newRow("a cube under a moved Resolve installation is relative")
        << QStringLiteral("/srv/resolve/LUT/Looks/Night.cube") << elsewhere
        << QStringLiteral("Looks/Night.cube");
    QTest::newRow("a sibling folder sharing the prefix text keeps its full path")
        << QStringLiteral("/opt/resolve/LUTs/Warm.cube") << linux
        << QStringLiteral("/opt/resolve/LUTs/Warm.cube");
    QTest::newRow("the macOS folder in other letter case keeps its full path")
        << macFolder.toLower() + "/Warm.cube" << mac << macFolder.toLower() + "/Warm.cube";
}

void TestResolveGrade::stillLutPath() {
    QFETCH(QString, cubePath);
    QFETCH(ResolveProfile, profile);
    QFETCH(QString, reference);
    QCOMPARE(ResolveGrade::stillLutPath(cubePath, profile), reference);
}

QTEST_GUILESS_MAIN(TestResolveGrade)
#include "TestResolveGrade.moc"
