#include "platform/ResolveProfile.h"
#include "platform/Resources.h"
#include "resolve/Protobuf.h"
#include "resolve/ResolveGrade.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStringDecoder>
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

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(seed);
    for (char& byte : bytes) {
        byte = char(random.bounded(256));
    }
    return bytes;
}

// Runs a judge that is not our own code; its standard output, or a null array on failure.
QByteArray runJudge(const QString& program, const QStringList& arguments, const QByteArray& input = {}) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        qWarning() << program << "could not be started";
        return {};
    }
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning() << program << process.readAllStandardError();
        return {};
    }
    QByteArray output = process.readAllStandardOutput();
    return output.isNull() ? QByteArray("") : output;
}

// zstd -d on a file holding the frame.
QByteArray zstdDecode(const QByteArray& frame) {
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("frame.zst")));
    if (!file.open(QIODevice::WriteOnly) || file.write(frame) != frame.size()) {
        return {};
    }
    file.close();
    return runJudge(QStringLiteral("zstd"),
                    {QStringLiteral("-d"), QStringLiteral("-c"), QStringLiteral("-q"), file.fileName()});
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
        QString::fromUtf8(runJudge(QStringLiteral("protoc"), {QStringLiteral("--decode_raw")}, body));
    static const QRegularExpression numeric(
        QStringLiteral("1: (\\d+)\\n\\s*2 \\{\\n\\s*1: 0x([0-9a-f]{8})\\n"));
    for (const auto& match : numeric.globalMatch(text)) {
        view.floats.insert(match.captured(1).toULongLong(), match.captured(2).toUInt(nullptr, 16));
    }
    static const QRegularExpression textual(
        QStringLiteral("1: (\\d+)\\n\\s*2 \\{\\n\\s*5: \"([^\"\\n]*)\"\\n"));
    for (const auto& match : textual.globalMatch(text)) {
        view.texts.insert(match.captured(1).toULongLong(), match.captured(2));
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

QList<quint64> cdlIdentifiers() {
    QList<quint64> identifiers{kSaturationParam};
    for (int channel = 0; channel < 3; ++channel) {
        identifiers << kOffsetShareParams[channel] << kScaledSlopeParams[channel]
                    << kPowerOffsetParams[channel];
    }
    return identifiers;
}

// A body with nodes 2 and 6 fully populated, except for the identifiers left out.
QByteArray completeBody(const QList<quint64>& leaveOut = {}, bool withLutNode = true) {
    QList<QByteArray> cdl;
    for (quint64 identifier : cdlIdentifiers()) {
        if (!leaveOut.contains(identifier)) {
            cdl.append(entry(identifier, 0.5f));
        }
    }
    QList<QByteArray> lut;
    if (!leaveOut.contains(kLutPathParam)) {
        lut.append(textEntry(kLutPathParam, QStringLiteral("old.cube")));
    }
    if (!withLutNode) {
        return body({node(kCdlNode, parameterList(cdl))});
    }
    return body({node(kCdlNode, parameterList(cdl)), node(kLutNode, parameterList(lut))});
}

Look warmLook() {
    Look look;
    look.name = QStringLiteral("Warm");
    look.slope = {1.1, 1.0, 0.9};
    look.offset = {0.05, 0.0, -0.02};
    look.power = {0.9, 1.0, 1.2};
    look.saturation = 1.15;
    look.lutPath = QStringLiteral("Tonewharf/Warm.cube");
    return look;
}

Template shippedTemplate() {
    auto loaded = templateFromFiles(Resources(QStringLiteral(TONEWHARF_RESOURCE_DIR)));
    return loaded.value();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

} // namespace

class TestResolveGrade : public QObject {
    Q_OBJECT

private slots:
    void conversions_data();
    void conversions();
    void failureDescriptions_data();
    void failureDescriptions();
    void labelEscaping_data();
    void labelEscaping();
    void placeholdersAreFilledInOrderAndNotRescanned();
    void rawZstdFrame_data();
    void rawZstdFrame();
    void rawZstdFrameOf300BytesMatchesTheExample();
    void patchNodeFailures_data();
    void patchNodeFailures();
    void patchNodeReplacesOnlyTheNamedEntries();
    void patchNodeSurvivesDeepNesting();
    void buildBodyWritesTheElevenValues();
    void buildBodyTouchesNothingElse();
    void makeStillProducesAStillResolveCanRead();
    void makeStillMakesAFreshIdentifierEachTime();
    void makeStillFailures_data();
    void makeStillFailures();
    void generatorMatchesTheShippedTemplate();
    void stillLutPath_data();
    void stillLutPath();
};

void TestResolveGrade::conversions_data() {
    QTest::addColumn<double>("slope");
    QTest::addColumn<double>("offset");
    QTest::addColumn<double>("power");
    QTest::addColumn<double>("share");
    QTest::addColumn<double>("scaled");
    QTest::addColumn<double>("powered");

    QTest::newRow("an identity look is neutral on every parameter") << 1.0 << 0.0 << 1.0 << 0.0 << 1.0 << 0.0;
    QTest::newRow("power one half gives a power offset of one") << 1.0 << 0.0 << 0.5 << 0.0 << 1.0 << 1.0;
    QTest::newRow("power two gives a power offset of minus one") << 1.0 << 0.0 << 2.0 << 0.0 << 1.0 << -1.0;
    QTest::newRow("power zero gives no power offset") << 1.0 << 0.0 << 0.0 << 0.0 << 1.0 << 0.0;
    QTest::newRow("a negative power gives no power offset") << 1.0 << 0.0 << -3.0 << 0.0 << 1.0 << 0.0;
    QTest::newRow("an offset of exactly one leaves the slope as it is")
        << 1.5 << 1.0 << 1.0 << 0.4 << 1.5 << 0.0;
    QTest::newRow("a slope and offset that cancel give no offset share")
        << -0.2 << 0.2 << 1.0 << 0.0 << -0.25 << 0.0;
    QTest::newRow("a warm red channel") << 1.1 << 0.1 << 0.8 << 1.0 / 12.0 << 11.0 / 9.0 << 0.25;
}

void TestResolveGrade::conversions() {
    QFETCH(double, slope);
    QFETCH(double, offset);
    QFETCH(double, power);
    QFETCH(double, share);
    QFETCH(double, scaled);
    QFETCH(double, powered);
    QCOMPARE(offsetShare(slope, offset), share);
    QCOMPARE(scaledSlope(slope, offset), scaled);
    QCOMPARE(powerOffset(power), powered);
}

void TestResolveGrade::failureDescriptions_data() {
    QTest::addColumn<Failure>("failure");
    QTest::addColumn<QString>("description");
    QTest::newRow("a missing node names its identifier") << Failure::nodeMissing(2) << "nodeMissing(2)";
    QTest::newRow("a missing parameter names its identifier in hexadecimal")
        << Failure::paramMissing(0x6000019) << "paramMissing(0x6000019)";
    QTest::newRow("the LUT path parameter keeps all its digits")
        << Failure::paramMissing(0x860000a1) << "paramMissing(0x860000a1)";
    QTest::newRow("a missing template") << Failure::templateMissing() << "templateMissing";
    QTest::newRow("a malformed template") << Failure::templateMalformed() << "templateMalformed";
}

void TestResolveGrade::failureDescriptions() {
    QFETCH(Failure, failure);
    QFETCH(QString, description);
    QCOMPARE(failure.description(), description);
}

void TestResolveGrade::labelEscaping_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("label");
    QTest::newRow("markup characters are escaped once each")
        << QStringLiteral("Shot & \"A\" <1>") << QStringLiteral("Shot &amp; &quot;A&quot; &lt;1&gt;");
    QTest::newRow("an entity in the name is escaped, not kept")
        << QStringLiteral("R&amp;D") << QStringLiteral("R&amp;amp;D");
    QTest::newRow("apostrophes are left alone")
        << QStringLiteral("Director's cut") << QStringLiteral("Director's cut");
    QTest::newRow("text beyond ASCII passes through")
        << QStringLiteral("Dämmerung → Blau") << QStringLiteral("Dämmerung → Blau");
}

void TestResolveGrade::labelEscaping() {
    QFETCH(QString, name);
    QFETCH(QString, label);
    QCOMPARE(escapeLabel(name), label);
    const QByteArray filled =
        fillPlaceholders(QByteArrayLiteral("<Label>@@TINTARA_LABEL@@</Label>"), "", {}, name);
    QCOMPARE(QString::fromUtf8(filled), QStringLiteral("<Label>%1</Label>").arg(label));
}

void TestResolveGrade::placeholdersAreFilledInOrderAndNotRescanned() {
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
    QTest::addColumn<QByteArray>("header");

    QTest::newRow("an empty input has one empty last block") << 0 << hex("28 b5 2f fd 20 00");
    QTest::newRow("one byte") << 1 << hex("28 b5 2f fd 20 01");
    QTest::newRow("255 bytes still have a one-byte size") << 255 << hex("28 b5 2f fd 20 ff");
    QTest::newRow("256 bytes have a two-byte size less 256") << 256 << hex("28 b5 2f fd 60 00 00");
    QTest::newRow("300 bytes") << 300 << hex("28 b5 2f fd 60 2c 00");
    QTest::newRow("65791 bytes are the largest two-byte size") << 65791 << hex("28 b5 2f fd 60 ff ff");
    QTest::newRow("65792 bytes have a four-byte size") << 65792 << hex("28 b5 2f fd a0 00 01 01 00");
    QTest::newRow("131072 bytes fill exactly one block") << 131072 << hex("28 b5 2f fd a0 00 00 02 00");
    QTest::newRow("131073 bytes need a second block") << 131073 << hex("28 b5 2f fd a0 01 00 02 00");
    QTest::newRow("a few MiB in many blocks") << 3 * 1024 * 1024 + 7 << hex("28 b5 2f fd a0 07 00 30 00");
}

void TestResolveGrade::rawZstdFrame() {
    QFETCH(int, size);
    QFETCH(QByteArray, header);
    const QByteArray input = randomBytes(size, quint32(size) + 1);
    const QByteArray frame = ResolveGrade::rawZstdFrame(input);
    QCOMPARE(frame.first(header.size()).toHex(' '), header.toHex(' '));

    // Walk the blocks: all raw, full-sized but the last, which alone carries the last flag.
    qsizetype position = header.size();
    qsizetype carried = 0;
    bool last = false;
    while (!last) {
        QVERIFY(position + 3 <= frame.size());
        const auto* bytes = reinterpret_cast<const unsigned char*>(frame.constData() + position);
        const quint32 value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16);
        last = value & 1;
        QCOMPARE((value >> 1) & 3, 0u);
        const qsizetype length = value >> 3;
        QVERIFY(length <= 131072);
        QVERIFY(last || length == 131072);
        QCOMPARE(frame.mid(position + 3, length), input.mid(carried, length));
        position += 3 + length;
        carried += length;
    }
    QCOMPARE(position, frame.size());
    QCOMPARE(carried, input.size());

    const QByteArray decoded = zstdDecode(frame);
    QVERIFY2(!decoded.isNull(), "zstd -d must accept the frame");
    QCOMPARE(decoded.size(), input.size());
    QVERIFY(decoded == input);
}

void TestResolveGrade::rawZstdFrameOf300BytesMatchesTheExample() {
    const QByteArray input = randomBytes(300, 7);
    const QByteArray frame = ResolveGrade::rawZstdFrame(input);
    QCOMPARE(frame.size(), 10 + 300);
    QCOMPARE(frame.first(10).toHex(' '), QByteArray("28 b5 2f fd 60 2c 00 61 09 00"));
    QCOMPARE(frame.mid(10), input);
}

void TestResolveGrade::patchNodeFailures_data() {
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<qint64>("node");
    QTest::addColumn<QString>("failure");

    const QByteArray entryA = entry(0x6000018, 1.0f);
    const QByteArray healthy = node(2, parameterList({entryA}));
    const auto nodeWithout = [](qint64 identifier, int missingDepth) {
        // Rebuild node() level by level, dropping one level of the chain.
        QByteArray inner = parameterList({entry(0x6000018, 1.0f)});
        const qint64 path[] = {2, 6, 1, 9};
        for (int depth = 0; depth < 4; ++depth) {
            const qint64 number = depth == missingDepth ? 15 : path[depth];
            inner = Protobuf::encode({Field::makeBytes(number, inner)});
        }
        return Protobuf::encode({Field::makeVarint(1, quint64(identifier))}) + inner;
    };

    QTest::newRow("a body that does not parse is malformed") << hex("0b") << qint64(2) << "templateMalformed";
    QTest::newRow("a body without a grade is malformed")
        << Protobuf::encode({Field::makeBytes(3, healthy)}) << qint64(2) << "templateMalformed";
    QTest::newRow("a grade given as a varint does not count")
        << Protobuf::encode({Field::makeVarint(1, 7)}) << qint64(2) << "templateMalformed";
    QTest::newRow("a grade whose bytes do not parse is malformed")
        << Protobuf::encode({Field::makeBytes(1, hex("0f"))}) << qint64(2) << "templateMalformed";
    QTest::newRow("no node with the identifier")
        << body({node(6, parameterList({entryA}))}) << qint64(2) << "nodeMissing(2)";
    QTest::newRow("an empty grade has no nodes") << body({}) << qint64(6) << "nodeMissing(6)";
    QTest::newRow("nodes that do not parse or carry no identifier are skipped")
        << body({hex("0f"), Protobuf::encode({Field::makeVarint(2, 2)})}) << qint64(2) << "nodeMissing(2)";
    QTest::newRow("a node without field 9") << body({nodeWithout(2, 3)}) << qint64(2) << "nodeMissing(2)";
    QTest::newRow("a node without the level in field 9")
        << body({nodeWithout(2, 2)}) << qint64(2) << "nodeMissing(2)";
    QTest::newRow("a node without the level in field 6")
        << body({nodeWithout(2, 1)}) << qint64(2) << "nodeMissing(2)";
    QTest::newRow("a node without a parameter list")
        << body({nodeWithout(2, 0)}) << qint64(2) << "nodeMissing(2)";
    QTest::newRow("a level that does not parse")
        << body({Protobuf::encode({Field::makeVarint(1, 2), Field::makeBytes(9, hex("0a 01 0f"))})})
        << qint64(2) << "nodeMissing(2)";
    QTest::newRow("a second node with the identifier but no chain fails the whole patch")
        << body({healthy, nodeWithout(2, 1)}) << qint64(2) << "nodeMissing(2)";
    QTest::newRow("an empty parameter list lacks the identifier")
        << body({node(2, parameterList({}))}) << qint64(2) << "paramMissing(0x6000018)";
    QTest::newRow("an entry with another identifier does not count")
        << body({node(2, parameterList({entry(0x6000019, 1.0f)}))}) << qint64(2) << "paramMissing(0x6000018)";
    QTest::newRow("an entry given as a varint does not count")
        << body({node(2, parameterList({}, {Field::makeVarint(3, 0x6000018)}))}) << qint64(2)
        << "paramMissing(0x6000018)";
}

void TestResolveGrade::patchNodeFailures() {
    QFETCH(QByteArray, input);
    QFETCH(qint64, node);
    QFETCH(QString, failure);
    QMap<quint64, QByteArray> entries;
    entries.insert(0x6000018, entry(0x6000018, 2.0f));
    const auto result = patchNode(input, node, entries);
    QVERIFY(!result.ok());
    QCOMPARE(result.failure().description(), failure);
    QVERIFY(result.value().isEmpty());
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

    const QByteArray input = body({
        node(2, parameterList({broken, a, other, secondA, b}, extra)),
        node(6, parameterList({a, b})),
        hex("0f"),
        node(2, parameterList({b, a})),
    });
    QMap<quint64, QByteArray> entries;
    entries.insert(0x6000018, newA);
    entries.insert(0x6000019, newB);
    const auto patched = patchNode(input, 2, entries);
    QVERIFY(patched.ok());

    // Every node 2 is patched; a second entry with a replaced identifier, entries not named,
    // broken entries, node 6 and the fields around the nodes all stay as they were.
    const QByteArray expected = body({
        node(2, parameterList({broken, newA, other, secondA, newB}, extra)),
        node(6, parameterList({a, b})),
        hex("0f"),
        node(2, parameterList({newB, newA})),
    });
    QCOMPARE(patched.value().toHex(' '), expected.toHex(' '));
}

void TestResolveGrade::patchNodeSurvivesDeepNesting() {
    // 200000 levels of field 1 inside field 1, written outside in without quadratic copying.
    constexpr int kDepth = 200000;
    QList<quint64> lengths(kDepth);
    quint64 length = 0;
    for (int level = 0; level < kDepth; ++level) {
        lengths[level] = length;
        int varintBytes = 1;
        for (quint64 rest = length; rest >= 0x80; rest >>= 7) {
            ++varintBytes;
        }
        length += 1 + quint64(varintBytes);
    }
    QByteArray nested;
    nested.reserve(qsizetype(length));
    for (int level = kDepth - 1; level >= 0; --level) {
        nested.append(char(0x0a));
        Protobuf::appendVarint(nested, lengths[level]);
    }
    QCOMPARE(quint64(nested.size()), length);

    QMap<quint64, QByteArray> entries;
    entries.insert(0x6000018, entry(0x6000018, 2.0f));
    const auto asBody = patchNode(nested, 2, entries);
    QVERIFY(!asBody.ok());
    QCOMPARE(asBody.failure(), Failure::nodeMissing(2)); // the grade holds no field 7

    const QByteArray deepNode = Protobuf::encode({Field::makeVarint(1, 2), Field::makeBytes(9, nested)});
    const auto asNode = patchNode(body({deepNode}), 2, entries);
    QVERIFY(!asNode.ok());
    QCOMPARE(asNode.failure(), Failure::nodeMissing(2));
}

void TestResolveGrade::buildBodyWritesTheElevenValues() {
    const Look look = warmLook();
    const auto built = buildBody(shippedTemplate().body, look);
    QVERIFY2(built.ok(), qPrintable(built.failure().description()));

    const ProtocView view = protocView(built.value());
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
}

void TestResolveGrade::buildBodyTouchesNothingElse() {
    // Patching the template's own entries back into a built body restores the template
    // byte for byte: nothing but the eleven entries changed.
    const QByteArray original = shippedTemplate().body;
    const auto built = buildBody(original, warmLook());
    QVERIFY(built.ok());
    QVERIFY(built.value() != original);

    const auto entriesOf = [&](qint64 wanted) {
        QMap<quint64, QByteArray> entries;
        const auto grade = Protobuf::parse(Protobuf::find(*Protobuf::parse(original), 1, 2)->bytes);
        for (const Field& field : *grade) {
            const auto nodeFields = Protobuf::parse(field.bytes);
            if (field.number != 7 || !nodeFields ||
                qint64(Protobuf::find(*nodeFields, 1, 0)->varint) != wanted) {
                continue;
            }
            QByteArray level = Protobuf::find(*nodeFields, 9, 2)->bytes;
            for (qint64 number : {1, 6, 2}) {
                level = Protobuf::find(*Protobuf::parse(level), number, 2)->bytes;
            }
            const auto parameters = Protobuf::parse(level);
            for (const Field& parameter : *parameters) {
                if (parameter.number == 3) {
                    entries.insert(Protobuf::find(*Protobuf::parse(parameter.bytes), 1, 0)->varint,
                                   parameter.bytes);
                }
            }
        }
        return entries;
    };
    const QMap<quint64, QByteArray> cdl = entriesOf(kCdlNode);
    QCOMPARE(QList<quint64>(cdl.keyBegin(), cdl.keyEnd()).size(), 10);
    QMap<quint64, QByteArray> lut = entriesOf(kLutNode);
    QVERIFY(lut.contains(kLutPathParam));
    const auto restoredCdl = patchNode(built.value(), kCdlNode, cdl);
    QVERIFY(restoredCdl.ok());
    const auto restored = patchNode(restoredCdl.value(), kLutNode, lut);
    QVERIFY(restored.ok());
    QCOMPARE(restored.value().toHex(' '), original.toHex(' '));
}

void TestResolveGrade::makeStillProducesAStillResolveCanRead() {
    Look look = warmLook();
    look.name = QStringLiteral("Shot & \"A\" <1>");
    const auto still = makeStill(look, Resources(QStringLiteral(TONEWHARF_RESOURCE_DIR)));
    QVERIFY2(still.ok(), qPrintable(still.failure().description()));

    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8(still.value());
    QVERIFY(!utf8.hasError());
    QVERIFY(!text.contains(QStringLiteral("@@TINTARA_")));
    QVERIFY(text.startsWith(QStringLiteral("<?xml")));
    QVERIFY(text.contains(QStringLiteral("<Label>Shot &amp; &quot;A&quot; &lt;1&gt;</Label>")));
    static const QRegularExpression dbId(QStringLiteral(
        "<Gallery::GyStill DbId=\"([0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})\">"));
    QVERIFY(dbId.match(text).hasMatch());

    // An XML parser without namespace processing (Resolve's element names hold "::") reads it.
    const QByteArray expat = runJudge(
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
    QCOMPARE(decoded, buildBody(shippedTemplate().body, look).value());

    const ProtocView view = protocView(decoded);
    QCOMPARE(view.floats.size(), 10);
    QCOMPARE(view.floats.value(kSaturationParam), floatBits(1.15));
    QCOMPARE(view.floats.value(kScaledSlopeParams[0]), floatBits(1.1 / 0.95));
    QCOMPARE(view.texts.value(kLutPathParam), QStringLiteral("Tonewharf/Warm.cube"));
}

void TestResolveGrade::makeStillMakesAFreshIdentifierEachTime() {
    const Template stillTemplate = shippedTemplate();
    const auto first = makeStill(warmLook(), stillTemplate);
    const auto second = makeStill(warmLook(), stillTemplate);
    QVERIFY(first.ok() && second.ok());
    static const QRegularExpression dbId(QStringLiteral("DbId=\"([^\"]*)\""));
    const QString firstId = dbId.match(QString::fromUtf8(first.value())).captured(1);
    const QString secondId = dbId.match(QString::fromUtf8(second.value())).captured(1);
    QCOMPARE(firstId.size(), 36);
    QVERIFY(firstId != secondId);
    QCOMPARE(QString::fromUtf8(first.value()).replace(firstId, QStringLiteral("ID")),
             QString::fromUtf8(second.value()).replace(secondId, QStringLiteral("ID")));
}

void TestResolveGrade::makeStillFailures_data() {
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QByteArray>("pb");
    QTest::addColumn<int>("slopes");
    QTest::addColumn<QString>("failure");

    const QByteArray xml = "<Still id=\"@@TINTARA_DBID@@\">@@TINTARA_LABEL@@ @@TINTARA_BODY@@</Still>";
    const QByteArray absent; // a null array: the file is not written
    QTest::newRow("no template files at all") << absent << absent << 3 << "templateMissing";
    QTest::newRow("only the XML template") << xml << absent << 3 << "templateMissing";
    QTest::newRow("only the body template") << absent << completeBody() << 3 << "templateMissing";
    QTest::newRow("an XML template that is not UTF-8")
        << QByteArray("<Still>\xff\xfe @@TINTARA_BODY@@</Still>") << completeBody() << 3 << "templateMissing";
    QTest::newRow("a body template that does not parse") << xml << hex("0b") << 3 << "templateMalformed";
    QTest::newRow("a look with two slopes") << xml << completeBody() << 2 << "templateMalformed";
    QTest::newRow("a look with four slopes") << xml << completeBody() << 4 << "templateMalformed";
    QTest::newRow("a body without node 6") << xml << completeBody({}, false) << 3 << "nodeMissing(6)";
    QTest::newRow("node 2 lacks a numeric parameter though node 6 is fine")
        << xml << completeBody({kScaledSlopeParams[1]}) << 3 << "paramMissing(0x600001e)";
    QTest::newRow("node 6 lacks the LUT path")
        << xml << completeBody({kLutPathParam}) << 3 << "paramMissing(0x860000a1)";
}

void TestResolveGrade::makeStillFailures() {
    QFETCH(QByteArray, xml);
    QFETCH(QByteArray, pb);
    QFETCH(int, slopes);
    QFETCH(QString, failure);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!xml.isNull()) {
        writeFile(dir.filePath(QStringLiteral("ResolveGradeTemplate.xml")), xml);
    }
    if (!pb.isNull()) {
        writeFile(dir.filePath(QStringLiteral("ResolveGradeTemplate.pb")), pb);
    }
    Look look = warmLook();
    look.slope = QList<double>(slopes, 1.0);
    const auto still = makeStill(look, Resources(dir.path()));
    QVERIFY(!still.ok());
    QCOMPARE(still.failure().description(), failure);
    QVERIFY(still.value().isEmpty());
}

void TestResolveGrade::generatorMatchesTheShippedTemplate() {
    // The shipped .pb and .xml are exactly what the generator script writes.
    const QString script = QStringLiteral(TONEWHARF_SOURCE_DIR "/scripts/make_grade_template.py");
    const QByteArray output =
        runJudge(QStringLiteral(TONEWHARF_PYTHON3),
                 {script, QStringLiteral("--check"), QStringLiteral(TONEWHARF_RESOURCE_DIR)});
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

    QTest::newRow("a cube in the macOS default folder is relative")
        << QStringLiteral(
               "/Library/Application Support/Blackmagic Design/DaVinci Resolve/LUT/Tonewharf/Warm.cube")
        << mac << QStringLiteral("Tonewharf/Warm.cube");
    QTest::newRow("a cube in the Linux default folder is relative")
        << QStringLiteral("/opt/resolve/LUT/Tonewharf/Warm.cube") << linux
        << QStringLiteral("Tonewharf/Warm.cube");
    QTest::newRow("a cube under a moved Resolve installation is relative")
        << QStringLiteral("/srv/resolve/LUT/Looks/Night.cube") << elsewhere
        << QStringLiteral("Looks/Night.cube");
    QTest::newRow("a cube in a folder elsewhere keeps its full path")
        << QStringLiteral("/Users/a/LUTs/Warm.cube") << mac << QStringLiteral("/Users/a/LUTs/Warm.cube");
    QTest::newRow("a sibling folder sharing the prefix text keeps its full path")
        << QStringLiteral("/opt/resolve/LUTs/Warm.cube") << linux
        << QStringLiteral("/opt/resolve/LUTs/Warm.cube");
    QTest::newRow("the macOS folder in other letter case keeps its full path")
        << QStringLiteral("/library/application support/blackmagic design/davinci resolve/lut/Warm.cube")
        << mac
        << QStringLiteral("/library/application support/blackmagic design/davinci resolve/lut/Warm.cube");
    QTest::newRow("the Linux folder does not apply to a macOS path")
        << QStringLiteral("/Library/Application Support/Blackmagic Design/DaVinci Resolve/LUT/Warm.cube")
        << linux
        << QStringLiteral("/Library/Application Support/Blackmagic Design/DaVinci Resolve/LUT/Warm.cube");
}

void TestResolveGrade::stillLutPath() {
    QFETCH(QString, cubePath);
    QFETCH(ResolveProfile, profile);
    QFETCH(QString, reference);
    QCOMPARE(ResolveGrade::stillLutPath(cubePath, profile), reference);
}

QTEST_GUILESS_MAIN(TestResolveGrade)
#include "TestResolveGrade.moc"
