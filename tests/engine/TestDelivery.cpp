#include "engine/LookFileNames.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

ino_t inode(const QString& path) {
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

LUTLook warmLook() {
    return LUTLook{"Warm", "rec709", {1.1, 1.0, 0.9}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.2}, 1.05, {}, {}, {}};
}

// The still stores its LUT reference as a text parameter (field 5: tag 0x2A, a one-byte length,
// the UTF-8 bytes); its hexadecimal form with the length prefix names it exactly.
bool stillRefersTo(const QByteArray& still, const QString& lutPath) {
    const QByteArray utf8 = lutPath.toUtf8();
    return utf8.size() < 128 && still.contains((QByteArray("\x2a") + char(utf8.size()) + utf8).toHex());
}

} // namespace

// Writing looks into the LUT folder: the names, the cube, the still and the folder problem.
class TestDelivery : public QObject {
    Q_OBJECT

private slots:
    void names_data() {
        QTest::addColumn<QString>("lookName");
        QTest::addColumn<QString>("cloudCube"); // empty: the record is skipped
        QTest::addColumn<QString>("localCube");
        QTest::addColumn<QString>("still");
        QTest::newRow("a plain name gets the extension") << "Warm"
                                                         << "Warm.cube"
                                                         << "Warm.cube"
                                                         << "Warm.drx";
        QTest::newRow("an upper-case extension is kept only locally") << "Warm.CUBE"
                                                                      << "Warm.CUBE.cube"
                                                                      << "Warm.CUBE"
                                                                      << "Warm.drx";
        QTest::newRow("a cloud path keeps its last part") << "../../etc/x"
                                                          << "x.cube"
                                                          << ""
                                                          << "";
        QTest::newRow("a cloud name of two dots is skipped") << ".."
                                                             << ""
                                                             << ""
                                                             << "";
        QTest::newRow("a cloud name with a backslash is skipped") << "..\\x"
                                                                  << ""
                                                                  << ""
                                                                  << "";
    }

    void names() {
        QFETCH(QString, lookName);
        QFETCH(QString, cloudCube);
        QFETCH(QString, localCube);
        QFETCH(QString, still);
        QCOMPARE(LookFileNames::cloudCubeFileName(lookName).value_or(QString()), cloudCube);
        if (!localCube.isEmpty()) {
            QCOMPARE(LookFileNames::cubeFileName(lookName, Qt::CaseInsensitive), localCube);
            QCOMPARE(LookFileNames::stillFileName(localCube), still);
        }
    }

    void sameBytesAreWrittenOnceAndFailuresMarkTheFolder() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        engine.setLutFolderPath(fixture.path("LUT"));
        QCOMPARE(engine.writeCube("a", "Warm.cube", "Warm.cube → Resolve"), SyncEngine::CubeWrite::written);
        const ino_t first = inode(fixture.path("LUT/Warm.cube"));
        QCOMPARE(engine.writeCube("a", "Warm.cube", "Warm.cube → Resolve"), SyncEngine::CubeWrite::unchanged);
        QCOMPARE(engine.activity().size(), 1);
        QCOMPARE(inode(fixture.path("LUT/Warm.cube")), first); // an atomic rewrite would be a new file
        QCOMPARE(engine.writeCube("x", "../escape.cube", "written"), SyncEngine::CubeWrite::failed);
        QVERIFY(!QFile::exists(fixture.path("escape.cube")));

        QVERIFY(FileSystem::writeAtomically(fixture.path("blocker"), "a file where a folder should be"));
        engine.setLutFolderPath(fixture.path("blocker/LUT"));
        QCOMPARE(engine.writeCube("a", "Warm.cube", "Warm.cube → Resolve"), SyncEngine::CubeWrite::failed);
        QCOMPARE(engine.folderProblem(), "Can't write to " + fixture.path("blocker/LUT"));
        QCOMPARE(engine.activity().first().text, u"Can't write Warm.cube — check the LUT folder"_s);
        engine.setLutFolderPath(fixture.path("LUT2"));
        QCOMPARE(engine.writeCube("a", "Warm.cube", "ok"), SyncEngine::CubeWrite::written);
        QCOMPARE(engine.folderProblem(), std::nullopt);
    }

    void stillRefersToItsCube_data() {
        QTest::addColumn<QString>("lutFolder");
        QTest::addColumn<QString>("reference");
        QTest::newRow("in the default folder, relative to the master LUT folder") << ""
                                                                                  << "Tonewharf/Warm.cube";
        QTest::newRow("elsewhere, by its full path") << "LUTs"
                                                     << "<folder>/Warm.cube";
    }

    void stillRefersToItsCube() {
        QFETCH(QString, lutFolder);
        QFETCH(QString, reference);
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        if (!lutFolder.isEmpty()) {
            engine.setLutFolderPath(fixture.path(lutFolder));
        }
        reference.replace("<folder>", engine.lutFolderPath());
        QVERIFY(engine.writeStill(warmLook(), "Warm.cube", engine.stillPath("Warm.cube")));
        QVERIFY(stillRefersTo(FileSystem::readAll(engine.stillsFolderPath() + "/Warm.drx").value_or(""),
                              reference));
        QCOMPARE(engine.activity().first().text, u"Warm.drx → Resolve (gallery import)"_s);
    }

    void stillFailureKeepsTheCube() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        engine.setLutFolderPath(fixture.path("LUT"));
        QCOMPARE(engine.writeCube("x", "Warm.cube", "Warm.cube → Resolve"), SyncEngine::CubeWrite::written);
        QVERIFY(FileSystem::writeAtomically(fixture.path("LUT/Looks"), "in the way"));
        QVERIFY(!engine.writeStill(warmLook(), "Warm.cube", engine.stillPath("Warm.cube")));
        QVERIFY(engine.activity().first().text.startsWith("Could not write the Resolve still for Warm: "));
        QVERIFY(QFile::exists(fixture.path("LUT/Warm.cube")));
        QCOMPARE(engine.folderProblem(), std::nullopt);

        LUTLook twoChannels = warmLook();
        twoChannels.slope.removeLast();
        QVERIFY(!engine.writeStill(twoChannels, "Warm.cube", fixture.path("elsewhere.drx")));
        QCOMPARE(engine.activity().first().text,
                 u"Could not write the Resolve still for Warm: templateMalformed"_s);
    }
};

QTEST_GUILESS_MAIN(TestDelivery)
#include "TestDelivery.moc"
