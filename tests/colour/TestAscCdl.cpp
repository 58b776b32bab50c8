#include "colour/Ale.h"
#include "colour/AscCdl.h"
#include "platform/FileSystem.h"
#include "support/RunProgram.h"

#include <OpenColorIO/OpenColorIO.h>

#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sstream>

namespace OCIO = OCIO_NAMESPACE;

static std::vector<float> processedByOpenColorIo(const OCIO::ConstTransformRcPtr& transform,
                                                 std::vector<float> pixels) {
    OCIO::PackedImageDesc image(pixels.data(), long(pixels.size() / 3), 1, 3);
    OCIO::Config::CreateRaw()
        ->getProcessor(transform)
        ->getOptimizedCPUProcessor(OCIO::BIT_DEPTH_F32, OCIO::BIT_DEPTH_F32, OCIO::OPTIMIZATION_NONE)
        ->apply(image);
    return pixels;
}

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
    std::vector<float> in;
    for (int i = 0; i < 512; ++i) {
        in.insert(in.end(), {levels[i / 64], levels[i / 8 % 8], levels[i % 8]});
    }
    transform->setStyle(OCIO::CDL_ASC);
    const std::vector<float> pixels = processedByOpenColorIo(transform, in);
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
    // In a collection the look sits behind a decoy, so that OpenColorIO has to find it by its id, and a
    // reference to it comes first, so that ours resolves it after reading the whole file.
    void openColorIoAgreesWithEveryFileWeWrite() {
        // Awkward numbers, a zero slope, and a power and saturation that clamp.
        const Cdl cdl{{1. / 3, .1 + .2, 0}, {1e-7, -1. / 7, 5e-300}, {2.6, 3. / 7, 1 + 0x1p-52}, 1.9};
        const QString id = QStringLiteral("A001C003 \"warm\" & <safe>");
        const AscCdl::Notes notes{{"Shot 12 <night> & rain, é\r\nday\r3"}, "ARRI LogC3", {}};
        for (const auto format :
             {AscCdl::Format::correction, AscCdl::Format::collection, AscCdl::Format::decisionList}) {
            AscCdl::Document document{
                format, {}, {{id, notes, {"first\nsecond line"}, {}, {}, cdl, false}}, {}};
            if (format != AscCdl::Format::correction) {
                document.notes = {{QStringLiteral("Dailies, day 3")}, {}, QStringLiteral("Rec.709 monitor")};
                document.corrections.prepend(
                    {"decoy", {}, {}, {}, {}, Cdl{{2.0, 2.0, 2.0}, {}, {1, 1, 1}, 0.5}, false});
                AscCdl::Correction reference = document.corrections.last();
                reference.reference = true;
                if (format == AscCdl::Format::decisionList) {
                    document.corrections.last().mediaRef = QStringLiteral("file:///media/A001C003.mov");
                    reference.mediaRef = QStringLiteral("file:///media/A001C003 retake.mov");
                }
                document.corrections.prepend(reference);
            }
            const auto bytes = AscCdl::write(document);
            QVERIFY2(bytes.ok() && bytes->contains("é&#13;\nday&#13;3"), qPrintable(bytes.error()));
            const auto again = AscCdl::read(*bytes);
            QVERIFY2(again.ok() && *again == document, qPrintable(again.error()));
            const QString path = m_dir.filePath(QStringLiteral("ours.") + AscCdl::suffix(format));
            QVERIFY(FileSystem::writeAtomically(path, *bytes));
            judgeWithOpenColorIo(path, id, cdl);
        }
    }

    void filesOtherToolsWriteAreReadAsOpenColorIoReadsThem_data() {
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<int>("corrections");
        QTest::addColumn<QString>("unresolved");
        const auto row = [](const QString& name, const QString& suffix, const QByteArray& xml,
                            int corrections, const QString& unresolved = {}) {
            QTest::newRow(qPrintable(name)) << suffix << xml << corrections << unresolved;
        };
        const QByteArray
            sop = "<SOPNode><Slope>1.2 1 0.8</Slope><Offset>0.1 0 0</Offset><Power>1 1 2</Power></SOPNode>",
            sat = "<SatNode><Saturation>0.4</Saturation></SatNode>";
        row("a correction with only a SatNode", "cc",
            "<ColorCorrection id=\"a\">" + sat + "</ColorCorrection>", 1);
        row("a vendor's SOPNode beside the correction's own", "cc",
            "<ColorCorrection id=\"a\" xmlns:v=\"urn:vendor\"><v:SOPNode><v:Slope>9</v:Slope></v:SOPNode>" +
                sop + sat + "</ColorCorrection>",
            1);
        row("a collection that refers to a correction it holds further on", "ccc",
            "<ColorCorrectionCollection><ColorCorrectionRef ref=\"a\"/><ColorCorrection id=\"a\">" + sop +
                sat + "</ColorCorrection></ColorCorrectionCollection>",
            2);
        row("decisions that refer to a correction of the list, and to one it does not hold", "cdl",
            "<ColorDecisionList xmlns=\"urn:ASC:CDL:v1.01\"><ColorDecision><ColorCorrection id=\"a\">" + sop +
                "</ColorCorrection></ColorDecision><ColorDecision><ColorCorrectionRef ref=\"lost&#9;\"/>"
                "</ColorDecision><ColorDecision><MediaRef ref=\"b.mov\"/><ColorCorrectionRef ref=\"a\"/>"
                "</ColorDecision></ColorDecisionList>",
            2, "ColorDecision 2 refers to ColorCorrection \"lost\\t\", which the file does not hold");
        // OpenColorIO writes 16 digits, too few for some doubles: ours must read exactly what it reads.
        const char* const elements[] = {"ColorCorrection", "ColorCorrectionCollection", "ColorDecisionList"};
        for (const auto format :
             {AscCdl::Format::correction, AscCdl::Format::collection, AscCdl::Format::decisionList}) {
            const auto group = OCIO::GroupTransform::Create();
            const int count = format == AscCdl::Format::correction ? 1 : 2;
            for (int i = 0; i < count; ++i) {
                const double sop[] = {1.1 + i, 1.0 / 3, 0.9, 0.1 + 0.2, 0.0, -0.02 * i, 1.0, 2.5, 1.0 / 7};
                const auto cdl = OCIO::CDLTransform::Create();
                cdl->setSOP(sop);
                cdl->setSat(0.7 + i);
                cdl->setID(qPrintable(QStringLiteral("shot%1").arg(i + 1)));
                group->appendTransform(cdl);
            }
            std::ostringstream out;
            group->write(OCIO::Config::CreateRaw(), elements[int(format)], out);
            row(QStringLiteral("a .%1 as OpenColorIO writes it").arg(AscCdl::suffix(format)),
                AscCdl::suffix(format), QByteArray::fromStdString(out.str()), count);
        }
    }

    // A reference is judged by the values OpenColorIO reads for the correction of its id.
    void filesOtherToolsWriteAreReadAsOpenColorIoReadsThem() {
        QFETCH(QString, suffix);
        QFETCH(QByteArray, xml);
        QFETCH(int, corrections);
        QFETCH(QString, unresolved);
        const QString path = m_dir.filePath(QStringLiteral("theirs.") + suffix);
        QVERIFY(FileSystem::writeAtomically(path, xml));
        const auto document = AscCdl::read(xml);
        QVERIFY2(document.ok(), qPrintable(document.error()));
        QCOMPARE(AscCdl::suffix(document->format), suffix);
        QCOMPARE(document->corrections.size(), corrections);
        QCOMPARE(document->unresolved.join(u'\n'), unresolved);
        for (const AscCdl::Correction& correction : document->corrections) {
            judgeWithOpenColorIo(path, correction.id, correction.cdl);
        }
    }

    // OpenColorIO, loading the .cube baked from a look, gives at every lattice point what it computes
    // from the CDL, and what our model gives to the precision of a float.
    void commandBakesACubeThatOpenColorIoReadsAsTheCdl() {
        const Cdl cdl{{1.4, 1.0, 0.6}, {-0.05, 0.02, 0.1}, {0.8, 1.0, 1.7}, 1.3};
        const QByteArray look = QJsonDocument(cdl.toLook("Day \"3\"", {}).toJson()).toJson();
        const QString cube = m_dir.filePath("baked.cube");
        QVERIFY(!runProgram(TONEWHARF_CDL_COMMAND, {"-", cube, "--size", "5"}, look).isNull());
        const QByteArray text = *FileSystem::readAll(cube);
        QVERIFY2(text.startsWith("TITLE \"Day  3\"\nLUT_3D_SIZE 5\n"), text.left(40).constData());
        std::vector<float> lattice;
        for (int i = 0; i < 125; ++i) {
            lattice.insert(lattice.end(), {i % 5 / 4.0f, i / 5 % 5 / 4.0f, i / 25 / 4.0f});
        }
        const auto file = OCIO::FileTransform::Create();
        file->setSrc(cube.toStdString().c_str());
        const auto fromCdl = OCIO::CDLTransform::Create();
        fromCdl->setSOP(std::array{1.4, 1.0, 0.6, -0.05, 0.02, 0.1, 0.8, 1.0, 1.7}.data());
        fromCdl->setSat(1.3);
        fromCdl->setStyle(OCIO::CDL_ASC);
        const std::vector<float> baked = processedByOpenColorIo(file, lattice),
                                 computed = processedByOpenColorIo(fromCdl, lattice);
        for (size_t i = 0; i < lattice.size(); ++i) {
            const size_t pixel = i - i % 3;
            const double ours = cdl.apply({lattice[pixel], lattice[pixel + 1], lattice[pixel + 2]})[i % 3];
            QVERIFY2(std::abs(baked[i] - computed[i]) < 1e-6 && std::abs(baked[i] - ours) < 1e-7,
                     qPrintable(QStringLiteral("%1 %2 %3").arg(baked[i]).arg(computed[i]).arg(ours)));
        }
        // Without --size, 33 points per edge.
        const QByteArray standard = runProgram(TONEWHARF_CDL_COMMAND, {"-", "-", "--format", "cube"}, look);
        QCOMPARE(standard.count('\n'), 2 + 33 * 33 * 33);
    }

    // An editor's log, as Avid writes it, becomes a .cdl that OpenColorIO reads with the log's values,
    // and one of its corrections goes back into a log.
    void commandCarriesAnEditorsLogIntoCdlAndBack() {
        const QByteArray log =
            "Heading\r\nFIELD_DELIM\tTABS\r\nVIDEO_FORMAT\t1080\r\nAUDIO_"
            "FORMAT\t48khz\r\nFPS\t25\r\n\r\nColumn\r\n"
            "Name\tTracks\tStart\tEnd\tTape\tScene\tSource File\tASC_SAT\tASC_SOP\t\r\n\r\nData\r\n"
            "A001C003\tV\t01:00:00:00\t01:00:04:12\tA001\t12\tA001C003.mov\t0.9\t(1.1 1 0.9) (0.01 0 -0.01) "
            "(1 1 1.2)\t\r\n"
            "A001C004\tV\t01:00:04:12\t01:00:09:00\tA001\t12A\t\t\t( 2 2 2 )( 0 0 0 )( 1 1 1 )\t\r\n";
        const Cdl first{{1.1, 1, 0.9}, {0.01, 0, -0.01}, {1, 1, 1.2}, 0.9},
            second{{2, 2, 2}, {}, {1, 1, 1}, 1};
        const QString cdlPath = m_dir.filePath("from log.cdl");
        QVERIFY(!runProgram(TONEWHARF_CDL_COMMAND, {"-", cdlPath}, log).isNull());
        const auto document = AscCdl::read(*FileSystem::readAll(cdlPath));
        QVERIFY2(document.ok() && document->corrections.size() == 2, qPrintable(document.error()));
        QCOMPARE(document->corrections[0].mediaRef, "A001C003.mov");
        judgeWithOpenColorIo(cdlPath, "A001C003", first);
        judgeWithOpenColorIo(cdlPath, "A001C004", second);
        const auto back = Ale::read(runProgram(
            TONEWHARF_CDL_COMMAND, {cdlPath, "-", "--format", "ale", "--id", "A001C004", "--tape", "A001",
                                    "--start", "01:00:04:12", "--end", "01:00:09:00", "--fps", "25"}));
        QVERIFY2(back.ok(), qPrintable(back.error()));
        QCOMPARE(back->clips,
                 (QList<Ale::Clip>{{"A001C004", "A001", {}, "01:00:04:12", "01:00:09:00", second}}));
    }

    // What the command cannot do, and files or clips its readers and writers refuse, each named on
    // standard error.
    void commandRefusesWhatItCannotDo_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("mentions");
        const auto row = [](const char* name, const QByteArray& input, const QString& mentions,
                            const QStringList& arguments = {"-", "-", "--format", "cube"}) {
            QTest::newRow(name) << arguments << input << mentions;
        };
        const QByteArray look =
            R"({"name":"Warm","space":"","slope":[1,1,1],"offset":[0,0,0],"power":[1,1,1],"saturation":1})";
        const QString slope = "<Slope>1 1 1</Slope>", offset = "<Offset>0 0 0</Offset>",
                      power = "<Power>1 1 1</Power>";
        const QByteArray two = "<ColorCorrectionCollection>" + cc(slope + offset + power) +
                               cc("<Slope>2 2 2</Slope>" + offset + power, " id=\"y\"") +
                               "</ColorCorrectionCollection>";
        row("a size for an output that is not a cube", look, "--size applies to a .cube output only",
            {"-", "-", "--format", "cc", "--size", "17"});
        row("a collection of two written to a log without --id", two,
            "holds 2 corrections (\"x\", \"y\"); an ALE clip needs timecodes of its own",
            {"-", "-", "--format", "ale", "--start", "01:00:00:00"});
        row("a log row without timecodes", look, "An ALE row needs --start and --end",
            {"-", "-", "--format", "ale", "--source-file", "A.mov"});
        row("an id the file does not hold, its control characters escaped", two,
            "holds nothing named \"z\\x1b[2J\"; it holds \"x\", \"y\"",
            {"-", "-", "--format", "cube", "--id", "z\x1b[2J"});
        row("a look whose name holds a NUL",
            R"({"name":"a\u0000b","space":"","slope":[1],"offset":[0,0,0],"power":[1,1,1],"saturation":1})",
            "The look \"a\\x00b\" has 1 slope values", {"-", "-", "--format", "cc"});
        row("a root element of another vendor", "<v:ColorCorrection xmlns:v=\"urn:vendor\"/>",
            "its root element is \"v:ColorCorrection\"");
        row("a slope with two numbers", cc("<Slope>1 1</Slope>" + offset + power),
            "\"x\": the Slope holds 2 numbers; it needs 3 (line 3)");
        row("a negative slope", cc("<Slope>1 -0.5 1</Slope>" + offset + power),
            "the Slope holds -0.5; it must be zero or more");
        row("text where a number belongs", cc(slope + "<Offset>0 zero 0</Offset>" + power),
            "the Offset holds \"zero\" where a number belongs");
        row("a power of zero", cc(slope + offset + "<Power>1 1 0</Power>"),
            "the Power holds 0; it must be more than zero");
        row("a list whose one decision refers to a correction it does not hold",
            "<ColorDecisionList><ColorDecision><ColorCorrectionRef ref=\"cc7\"/></ColorDecision>"
            "</ColorDecisionList>",
            "ColorDecision 1 refers to ColorCorrection \"cc7\", which the file does not hold");
        row("a decision with a correction and a reference",
            "<ColorDecisionList><ColorDecision><ColorCorrectionRef ref=\"x\"/>" + cc(slope + offset + power) +
                "</ColorDecision></ColorDecisionList>",
            "ColorDecision 1 holds two ColorCorrections");
        const QByteArray columns = "Heading\nFPS\t24\nColumn\nName\tStart\tEnd\tTape\tASC_SOP\nData\n";
        row("a log without CDL columns", "Heading\nFPS\t24\nColumn\nName\tStart\tEnd\tTape\n",
            "Line 4: the columns need");
        row("an ASC_SOP with two groups", columns + "A\t01:00:00:00\t01:00:01:00\tT\t(1 1 1)(0 0 0)\n",
            "Line 6: the ASC_SOP \"(1 1 1)(0 0 0)\" is not of the form");
        row("a clip with more fields than columns", columns + "A\t01:00:00:00\t01:00:01:00\tT\t\tB\n",
            "Line 6: the clip has more fields");
        const auto clip = [](const char* fps, const char* start, const char* end) {
            return QStringList{"-",     "-", "--format", "ale", "--tape", "A001",
                               "--fps", fps, "--start",  start, "--end",  end};
        };
        row("a frame label past the rate", look, "does not exist at 24 fps",
            clip("24", "01:00:00:24", "01:00:01:00"));
        row("a label drop frame skips", look, "drop frame skips",
            clip("29.97", "00:01:00;01", "00:01:00;02"));
        row("a drop-frame start with a non-drop end", look, "both must count the same way",
            clip("29.97", "00:59:58;00", "01:00:00:00"));
        row("an end at the start", look, "not after its start", clip("24", "01:00:01:00", "01:00:01:00"));
    }

    void commandRefusesWhatItCannotDo() {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(QString, mentions);
        QProcess process;
        process.start(TONEWHARF_CDL_COMMAND, arguments);
        process.write(input);
        process.closeWriteChannel();
        QVERIFY(process.waitForFinished());
        const QString said = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(process.exitCode() != 0 && said.contains(mentions), qPrintable(said));
    }
};

QTEST_GUILESS_MAIN(TestAscCdl)
#include "TestAscCdl.moc"
