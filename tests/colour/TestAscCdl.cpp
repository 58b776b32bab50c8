#include "colour/AscCdl.h"
#include "platform/FileSystem.h"
#include "support/RunProgram.h"

#include <OpenColorIO/OpenColorIO.h>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <sstream>
#include <vector>

namespace OCIO = OCIO_NAMESPACE;

Q_DECLARE_METATYPE(Cdl)

namespace {

// OpenColorIO applies a CDL in 32-bit floats: the rows below differ from our doubles by 1.1e-7 at
// most, while a slip in the formula shows as 1e-3 or more.
constexpr double floatTolerance = 1e-6;

// OpenColorIO's own reading of one correction of a file, or nothing when it refuses the file.
OCIO::CDLTransformRcPtr openWithOpenColorIo(const QString& path, const QString& id) {
    try {
        OCIO::ClearAllCaches();
        return OCIO::CDLTransform::CreateFromFile(path.toStdString().c_str(), id.toStdString().c_str());
    } catch (const OCIO::Exception& error) {
        qWarning() << "OpenColorIO:" << error.what();
        return {};
    }
}

Cdl valuesOf(const OCIO::ConstCDLTransformRcPtr& transform) {
    double v[9];
    transform->getSOP(v);
    return {{v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]}, transform->getSat()};
}

// The largest difference between OpenColorIO's rendering and our model on a grid of pixels that
// reaches below 0 and above 1. OpenColorIO reads CDL files in its unclamped style by default; the
// ASC v1.2 formula with its clamps is its CDL_ASC style.
double largestDifference(const OCIO::CDLTransformRcPtr& transform, const Cdl& cdl) {
    const float levels[] = {-0.25f, 0.0f, 0.02f, 0.18f, 0.5f, 0.83f, 1.0f, 1.3f};
    std::vector<float> pixels;
    for (int i = 0; i < 512; ++i) {
        pixels.insert(pixels.end(), {levels[i / 64], levels[i / 8 % 8], levels[i % 8]});
    }
    const std::vector<float> in = pixels;
    transform->setStyle(OCIO::CDL_ASC);
    const auto cpu = OCIO::Config::CreateRaw()->getProcessor(transform)->getOptimizedCPUProcessor(
        OCIO::BIT_DEPTH_F32, OCIO::BIT_DEPTH_F32, OCIO::OPTIMIZATION_NONE);
    OCIO::PackedImageDesc image(pixels.data(), long(pixels.size() / 3), 1, 3);
    cpu->apply(image);
    double largest = 0.0;
    for (size_t i = 0; i < in.size(); i += 3) {
        const Rgb ours = cdl.apply({in[i], in[i + 1], in[i + 2]});
        for (size_t c = 0; c < 3; ++c) {
            largest = std::max(largest, std::abs(ours[c] - pixels[i + c]));
        }
    }
    return largest;
}

// OpenColorIO finds the correction, reads our doubles exactly and renders what our model does.
void judgeWithOpenColorIo(const QString& path, const QString& id, const Cdl& cdl) {
    const OCIO::CDLTransformRcPtr transform = openWithOpenColorIo(path, id);
    QVERIFY(transform);
    QCOMPARE(valuesOf(transform), cdl);
    const double difference = largestDifference(transform, cdl);
    QVERIFY2(difference < floatTolerance, qPrintable(QString::number(difference)));
}

AscCdl::Correction correction(const QString& id, const Cdl& cdl) {
    const AscCdl::Notes notes{{"Shot 12 <night> & rain, é"}, "ARRI LogC3", {}};
    return {id, notes, {"first\nsecond line"}, {}, {}, cdl};
}

QByteArray cc(const QString& sop, const QString& attributes = QStringLiteral(" id=\"x\"")) {
    return QStringLiteral("<ColorCorrection%1>\n<SOPNode>\n%2</SOPNode>\n"
                          "<SatNode><Saturation>1</Saturation></SatNode></ColorCorrection>")
        .arg(attributes, sop)
        .toUtf8();
}

} // namespace

class TestAscCdl : public QObject {
    Q_OBJECT

private slots:
    void openColorIoAgreesWithEveryFileWeWrite_data();
    void openColorIoAgreesWithEveryFileWeWrite();
    void ourReaderLoadsWhatOpenColorIoWrites_data();
    void ourReaderLoadsWhatOpenColorIoWrites();
    void malformedFilesAreRefusedNamingTheElement_data();
    void malformedFilesAreRefusedNamingTheElement();
    void commandTurnsALookIntoACcThatOpenColorIoOpens();

private:
    QTemporaryDir m_dir;
};

void TestAscCdl::openColorIoAgreesWithEveryFileWeWrite_data() {
    QTest::addColumn<AscCdl::Format>("format");
    QTest::addColumn<Cdl>("cdl");

    const std::pair<const char*, Cdl> cdls[] = {
        {"a warm look", {{1.1, 1, 0.9}, {0.01, 0, -0.01}, {1, 1, 1.2}, 1.05}},
        {"power and saturation that clamp", {{1.8, 0.6, 1.25}, {-0.2, 0.15, 0.05}, {2.6, 0.35, 1}, 1.9}},
        {"a zero slope and no saturation", {{0, 1, 0.5}, {0.3, 0, 0}, {0.8, 1, 1.5}, 0}},
        {"awkward numbers",
         {{1. / 3, .1 + .2, 2. / 3}, {1e-7, -1. / 7, 5e-300}, {1 + 0x1p-52, 3. / 7, 1}, 1. / 3}},
    };
    for (const auto& [name, cdl] : cdls) {
        for (const AscCdl::Format format :
             {AscCdl::Format::correction, AscCdl::Format::collection, AscCdl::Format::decisionList}) {
            QTest::addRow("%s in a .%s", name, qPrintable(AscCdl::suffix(format))) << format << cdl;
        }
    }
}

void TestAscCdl::openColorIoAgreesWithEveryFileWeWrite() {
    QFETCH(AscCdl::Format, format);
    QFETCH(Cdl, cdl);

    // In a collection the look sits behind a decoy, so that OpenColorIO has to find it by its id.
    const QString id = QStringLiteral("A001C003 \"warm\" & <safe>");
    AscCdl::Document document{format, {}, {correction(id, cdl)}};
    if (format != AscCdl::Format::correction) {
        document.notes = {{QStringLiteral("Dailies, day 3")}, {}, QStringLiteral("Rec.709 monitor")};
        document.corrections.prepend(
            correction(QStringLiteral("decoy"), Cdl{{2.0, 2.0, 2.0}, {}, {1, 1, 1}, 0.5}));
        document.corrections.last().mediaRef =
            format == AscCdl::Format::decisionList ? QStringLiteral("file:///media/A001C003.mov") : QString();
    }
    const auto bytes = AscCdl::write(document);
    QVERIFY2(bytes.ok(), qPrintable(bytes.error()));
    const auto again = AscCdl::read(*bytes);
    QVERIFY2(again.ok() && *again == document, qPrintable(again.error()));

    const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_'));
    QVERIFY(FileSystem::writeAtomically(path, *bytes));
    judgeWithOpenColorIo(path, id, cdl);
}

void TestAscCdl::ourReaderLoadsWhatOpenColorIoWrites_data() {
    QTest::addColumn<AscCdl::Format>("format");
    QTest::newRow("a ColorCorrection") << AscCdl::Format::correction;
    QTest::newRow("a ColorCorrectionCollection") << AscCdl::Format::collection;
    QTest::newRow("a ColorDecisionList") << AscCdl::Format::decisionList;
}

void TestAscCdl::ourReaderLoadsWhatOpenColorIoWrites() {
    QFETCH(AscCdl::Format, format);

    const int count = format == AscCdl::Format::correction ? 1 : 2;
    const auto group = OCIO::GroupTransform::Create();
    for (int i = 0; i < count; ++i) {
        const double sop[] = {1.1 + i, 1.0 / 3, 0.9, 0.1 + 0.2, 0.0, -0.02 * i, 1.0, 2.5, 1.0 / 7};
        const auto cdl = OCIO::CDLTransform::Create();
        cdl->setSOP(sop);
        cdl->setSat(0.7 + i);
        cdl->setID(qPrintable(QStringLiteral("shot%1").arg(i + 1)));
        cdl->setFirstSOPDescription("balanced on the chart");
        group->appendTransform(cdl);
    }
    std::ostringstream out;
    const char* const names[] = {"ColorCorrection", "ColorCorrectionCollection", "ColorDecisionList"};
    group->write(OCIO::Config::CreateRaw(), names[int(format)], out);
    const QByteArray bytes = QByteArray::fromStdString(out.str());
    const QString path = m_dir.filePath(QStringLiteral("written-by-ocio.") + AscCdl::suffix(format));
    QVERIFY(FileSystem::writeAtomically(path, bytes));

    const auto document = AscCdl::read(bytes);
    QVERIFY2(document.ok(), qPrintable(document.error()));
    QCOMPARE(document->format, format);
    QCOMPARE(document->corrections.size(), count);
    for (int i = 0; i < count; ++i) {
        // OpenColorIO writes 16 digits, too few for some doubles: ours must read what it reads.
        const AscCdl::Correction& read = document->corrections[i];
        QCOMPARE(read.id, QStringLiteral("shot%1").arg(i + 1));
        QCOMPARE(read.sopDescriptions, QStringList{"balanced on the chart"});
        const auto theirs = openWithOpenColorIo(path, read.id);
        QVERIFY(theirs);
        QCOMPARE(read.cdl, valuesOf(theirs));
    }
}

void TestAscCdl::malformedFilesAreRefusedNamingTheElement_data() {
    QTest::addColumn<QByteArray>("xml");
    QTest::addColumn<QString>("mentions");

    const QString slope = "<Slope>1 1 1</Slope>", offset = "<Offset>0 0 0</Offset>",
                  power = "<Power>1 1 1</Power>";
    QTest::newRow("a ColorCorrection without a SOPNode")
        << QByteArray(
               "<ColorCorrection id=\"x\"><SatNode><Saturation>1</Saturation></SatNode></ColorCorrection>")
        << "ColorCorrection \"x\" has no SOPNode";
    QTest::newRow("a slope with two numbers") << cc("<Slope>1 1</Slope>" + offset + power)
                                              << "\"x\": the Slope holds 2 numbers; it needs 3 (line 3)";
    QTest::newRow("a negative slope")
        << cc("<Slope>1 -0.5 1</Slope>" + offset + power) << "the Slope holds -0.5; it must be zero or more";
    QTest::newRow("text where a number belongs") << cc(slope + "<Offset>0 zero 0</Offset>" + power)
                                                 << "the Offset holds \"zero\" where a number belongs";
    QTest::newRow("a negative power")
        << cc(slope + offset + "<Power>1 1 -2</Power>") << "the Power holds -2; it must be more than zero";
    QTest::newRow("the second correction of a collection, named by its place")
        << "<ColorCorrectionCollection>" + cc(slope + offset + power) +
               cc(slope + "<Offset>0 0</Offset>" + power, {}) + "</ColorCorrectionCollection>"
        << "ColorCorrection 2: the Offset holds 2 numbers";
    QTest::newRow("a decision that refers to another file")
        << QByteArray("<ColorDecisionList><ColorDecision><ColorCorrectionRef ref=\"cc7\"/></ColorDecision>"
                      "</ColorDecisionList>")
        << "ColorDecision 1 refers to ColorCorrection \"cc7\" in another file";
    QTest::newRow("XML cut short") << cc(slope).left(40) << "not well-formed XML";
}

void TestAscCdl::malformedFilesAreRefusedNamingTheElement() {
    QFETCH(QByteArray, xml);
    QFETCH(QString, mentions);

    const auto document = AscCdl::read(xml);
    QVERIFY2(!document.ok() && document.error().contains(mentions), qPrintable(document.error()));
}

void TestAscCdl::commandTurnsALookIntoACcThatOpenColorIoOpens() {
    const QString output = m_dir.filePath("warm.cc");
    QVERIFY(
        !runProgram(TONEWHARF_CDL_COMMAND, {"-", output},
                    R"({"name":"Day 3 — warm","space":"rec709","slope":[1.1,1,0.9],"offset":[0.01,0,-0.01],
                            "power":[1,1,1.2],"saturation":1.05,"contrast":1.2})")
             .isNull());
    judgeWithOpenColorIo(output, {}, {{1.1, 1.0, 0.9}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.2}, 1.05});

    // A look that is not a CDL leaves nothing behind.
    const QString refused = m_dir.filePath("short.cc");
    QVERIFY(
        runProgram(
            TONEWHARF_CDL_COMMAND, {"-", refused},
            R"({"name":"short","space":"","slope":[1,1],"offset":[0,0,0],"power":[1,1,1],"saturation":1})")
            .isNull());
    QVERIFY(!QFile::exists(refused));
}

QTEST_GUILESS_MAIN(TestAscCdl)
#include "TestAscCdl.moc"
