#include "colour/AscCdl.h"
#include "platform/FileSystem.h"

#include <OpenColorIO/OpenColorIO.h>

#include <QTemporaryDir>
#include <QTest>

namespace OCIO = OCIO_NAMESPACE;

// OpenColorIO's own reading of one correction of a file, or nothing when it refuses the file.
// OpenColorIO finds the correction, reads our doubles exactly and renders, with the ASC v1.2 clamps (its
// CDL_ASC style), what our model does; its floats are 1.1e-7 from our doubles, a slip in the formula 1e-3.
static void judgeWithOpenColorIo(const QString& path, const QString& id, const Cdl& cdl) {
    OCIO::ClearAllCaches();
    const auto transform =
        OCIO::CDLTransform::CreateFromFile(path.toStdString().c_str(), id.toStdString().c_str());
    double v[9];
    transform->getSOP(v);
    QCOMPARE((Cdl{{v[0], v[1], v[2]}, {v[3], v[4], v[5]}, {v[6], v[7], v[8]}, transform->getSat()}), cdl);
    const float levels[] = {-0.25f, 0.0f, 0.02f, 0.18f, 0.5f, 0.83f, 1.0f, 1.3f};
    std::vector<float> pixels;
    for (int i = 0; i < 512; ++i) {
        pixels.insert(pixels.end(), {levels[i / 64], levels[i / 8 % 8], levels[i % 8]});
    }
    const std::vector<float> in = pixels;
    transform->setStyle(OCIO::CDL_ASC);
    OCIO::PackedImageDesc image(pixels.data(), long(pixels.size() / 3), 1, 3);
    OCIO::Config::CreateRaw()
        ->getProcessor(transform)
        ->getOptimizedCPUProcessor(OCIO::BIT_DEPTH_F32, OCIO::BIT_DEPTH_F32, OCIO::OPTIMIZATION_NONE)
        ->apply(image);
    for (size_t i = 0; i < in.size(); ++i) {
        const size_t pixel = i - i % 3;
        const double ours = cdl.apply({in[pixel], in[pixel + 1], in[pixel + 2]})[i % 3];
        QVERIFY2(std::abs(ours - pixels[i]) < 1e-6, qPrintable(QString::number(ours - pixels[i])));
    }
}

static QByteArray cc(const QString& sop, const QString& attributes = QStringLiteral(" id=\"x\"")) {
    return QStringLiteral("<ColorCorrection%1>\n<SOPNode>\n%2</SOPNode>\n<SatNode><Saturation>1</"
                          "Saturation></SatNode></ColorCorrection>")
        .arg(attributes, sop)
        .toUtf8();
}

class TestAscCdl : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    // In a collection the look sits behind a decoy, so that OpenColorIO has to find it by its id.
    void openColorIoAgreesWithEveryFileWeWrite() {
        // Awkward numbers, a zero slope, and a power and saturation that clamp.
        const Cdl cdl{{1. / 3, .1 + .2, 0}, {1e-7, -1. / 7, 5e-300}, {2.6, 3. / 7, 1 + 0x1p-52}, 1.9};
        const QString id = QStringLiteral("A001C003 \"warm\" & <safe>");
        const AscCdl::Notes notes{{"Shot 12 <night> & rain, é"}, "ARRI LogC3", {}};
        for (const auto format :
             {AscCdl::Format::correction, AscCdl::Format::collection, AscCdl::Format::decisionList}) {
            AscCdl::Document document{format, {}, {{id, notes, {"first\nsecond line"}, {}, {}, cdl}}};
            if (format != AscCdl::Format::correction) {
                document.notes = {{QStringLiteral("Dailies, day 3")}, {}, QStringLiteral("Rec.709 monitor")};
                document.corrections.prepend(
                    {"decoy", {}, {}, {}, {}, Cdl{{2.0, 2.0, 2.0}, {}, {1, 1, 1}, 0.5}});
                document.corrections.last().mediaRef = format == AscCdl::Format::decisionList
                                                           ? QStringLiteral("file:///media/A001C003.mov")
                                                           : QString();
            }
            const auto bytes = AscCdl::write(document);
            QVERIFY2(bytes.ok(), qPrintable(bytes.error()));
            const auto again = AscCdl::read(*bytes);
            QVERIFY2(again.ok() && *again == document, qPrintable(again.error()));
            const QString path = m_dir.filePath(QStringLiteral("ours.") + AscCdl::suffix(format));
            QVERIFY(FileSystem::writeAtomically(path, *bytes));
            judgeWithOpenColorIo(path, id, cdl);
        }
    }

    void malformedFilesAreRefusedNamingTheElement_data() {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<QString>("mentions");
        const QString slope = "<Slope>1 1 1</Slope>", offset = "<Offset>0 0 0</Offset>",
                      power = "<Power>1 1 1</Power>";
        QTest::newRow("a ColorCorrection without a SOPNode")
            << QByteArray("<ColorCorrection "
                          "id=\"x\"><SatNode><Saturation>1</Saturation></SatNode></ColorCorrection>")
            << "ColorCorrection \"x\" has no SOPNode";
        QTest::newRow("a slope with two numbers") << cc("<Slope>1 1</Slope>" + offset + power)
                                                  << "\"x\": the Slope holds 2 numbers; it needs 3 (line 3)";
        QTest::newRow("a negative slope") << cc("<Slope>1 -0.5 1</Slope>" + offset + power)
                                          << "the Slope holds -0.5; it must be zero or more";
        QTest::newRow("text where a number belongs") << cc(slope + "<Offset>0 zero 0</Offset>" + power)
                                                     << "the Offset holds \"zero\" where a number belongs";
        QTest::newRow("a power of zero")
            << cc(slope + offset + "<Power>1 1 0</Power>") << "the Power holds 0; it must be more than zero";
        QTest::newRow("a decision that refers to another file")
            << QByteArray("<ColorDecisionList><ColorDecision><ColorCorrectionRef "
                          "ref=\"cc7\"/></ColorDecision></ColorDecisionList>")
            << "ColorDecision 1 refers to ColorCorrection \"cc7\" in another file";
    }

    void malformedFilesAreRefusedNamingTheElement() {
        QFETCH(QByteArray, xml);
        QFETCH(QString, mentions);
        const auto document = AscCdl::read(xml);
        QVERIFY2(!document.ok() && document.error().contains(mentions), qPrintable(document.error()));
    }
};

QTEST_GUILESS_MAIN(TestAscCdl)
#include "TestAscCdl.moc"
