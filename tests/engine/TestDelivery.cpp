#include "engine/LookFileNames.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

namespace {

ino_t inode(const QString& path) {
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

} // namespace

class TestDelivery : public QObject {
    Q_OBJECT

private slots:
    void cubeAndStillNames_data();
    void cubeAndStillNames();
    void safeNames_data();
    void safeNames();
    void cloudNamesStayInsideTheFolder_data();
    void cloudNamesStayInsideTheFolder();
    void sameBytesAreWrittenOnce();
    void missingLutFolderIsCreated();
    void unwritableFolderIsReportedUntilAWriteSucceeds();
    void unsafeNamesNeverLeaveTheFolder_data();
    void unsafeNamesNeverLeaveTheFolder();
};

void TestDelivery::cubeAndStillNames_data() {
    QTest::addColumn<QString>("lookName");
    QTest::addColumn<QString>("cloudCube");
    QTest::addColumn<QString>("localCube");
    QTest::addColumn<QString>("localStill");

    QTest::newRow("a plain name gets the extension") << "Warm"
                                                     << "Warm.cube"
                                                     << "Warm.cube"
                                                     << "Warm.drx";
    QTest::newRow("a lower-case extension is kept") << "Warm.cube"
                                                    << "Warm.cube"
                                                    << "Warm.cube"
                                                    << "Warm.drx";
    QTest::newRow("an upper-case extension is kept only locally") << "Warm.CUBE"
                                                                  << "Warm.CUBE.cube"
                                                                  << "Warm.CUBE"
                                                                  << "Warm.drx";
    QTest::newRow("other extensions are not recognised") << "Warm.3dl"
                                                         << "Warm.3dl.cube"
                                                         << "Warm.3dl.cube"
                                                         << "Warm.3dl.drx";
    QTest::newRow("a name that is only the extension") << ".cube"
                                                       << ".cube"
                                                       << ".cube"
                                                       << ".drx";
}

void TestDelivery::cubeAndStillNames() {
    QFETCH(QString, lookName);
    QFETCH(QString, cloudCube);
    QFETCH(QString, localCube);
    QFETCH(QString, localStill);

    QCOMPARE(LookFileNames::cubeFileName(lookName, Qt::CaseSensitive), cloudCube);
    QCOMPARE(LookFileNames::cubeFileName(lookName, Qt::CaseInsensitive), localCube);
    QCOMPARE(LookFileNames::stillFileName(localCube), localStill);
}

void TestDelivery::safeNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");

    QTest::newRow("a plain name") << "Day 2 – final.cube" << true;
    QTest::newRow("a hidden file name") << ".Warm" << true;
    QTest::newRow("three dots") << "..." << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("a dot") << "." << false;
    QTest::newRow("two dots") << ".." << false;
    QTest::newRow("a slash") << "a/b" << false;
    QTest::newRow("a backslash") << "a\\b" << false;
}

void TestDelivery::safeNames() {
    QFETCH(QString, name);
    QTEST(LookFileNames::isSafe(name), "safe");
}

void TestDelivery::cloudNamesStayInsideTheFolder_data() {
    QTest::addColumn<QString>("recordName");
    QTest::addColumn<QString>("cubeFileName"); // empty: the record is skipped

    QTest::newRow("a plain name") << "Warm"
                                  << "Warm.cube";
    QTest::newRow("folders in front are dropped") << "../../etc/x"
                                                  << "x.cube";
    QTest::newRow("an absolute path keeps its last part") << "/tmp/Warm.cube"
                                                          << "Warm.cube";
    QTest::newRow("two dots are skipped") << ".."
                                          << "";
    QTest::newRow("a trailing slash leaves nothing") << "looks/"
                                                     << "";
    QTest::newRow("a backslash is skipped") << "..\\x"
                                            << "";
    QTest::newRow("an empty name is skipped") << ""
                                              << "";
}

void TestDelivery::cloudNamesStayInsideTheFolder() {
    QFETCH(QString, recordName);
    QFETCH(QString, cubeFileName);
    const std::optional<QString> name = LookFileNames::cloudCubeFileName(recordName);
    QCOMPARE(name.value_or(QString()), cubeFileName);
}

void TestDelivery::sameBytesAreWrittenOnce() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    engine.setLutFolderPath(fixture.path("LUT"));

    QCOMPARE(engine.writeCube("LUT_3D_SIZE 2\n", "Warm.cube", "Warm.cube → Resolve"),
             SyncEngine::CubeWrite::written);
    const ino_t firstWrite = inode(fixture.path("LUT/Warm.cube"));
    QCOMPARE(engine.writeCube("LUT_3D_SIZE 2\n", "Warm.cube", "Warm.cube → Resolve"),
             SyncEngine::CubeWrite::unchanged);
    QCOMPARE(engine.activity().size(), 1);
    QCOMPARE(engine.activity().first().text, QStringLiteral("Warm.cube → Resolve"));
    QCOMPARE(inode(fixture.path("LUT/Warm.cube")), firstWrite); // an atomic rewrite would be a new file

    // A change of a single byte is a new look.
    QCOMPARE(engine.writeCube("LUT_3D_SIZE 3\n", "Warm.cube", "Warm.cube → Resolve (local network)"),
             SyncEngine::CubeWrite::written);
    QCOMPARE(engine.activity().first().text, QStringLiteral("Warm.cube → Resolve (local network)"));
    QCOMPARE(FileSystem::readAll(fixture.path("LUT/Warm.cube")),
             std::optional<QByteArray>("LUT_3D_SIZE 3\n"));
}

void TestDelivery::missingLutFolderIsCreated() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    engine.setLutFolderPath(fixture.path("deep/new/LUT"));
    QCOMPARE(engine.writeCube("x", "Warm.cube", "ok"), SyncEngine::CubeWrite::written);
    QVERIFY(QFileInfo(fixture.path("deep/new/LUT/Warm.cube")).isFile());
}

void TestDelivery::unwritableFolderIsReportedUntilAWriteSucceeds() {
    EngineFixture fixture;
    QVERIFY(FileSystem::writeAtomically(fixture.path("blocker"), "a file where a folder should be"));
    SyncEngine engine(fixture.services());
    engine.setLutFolderPath(fixture.path("blocker/LUT"));
    QSignalSpy problemSpy(&engine, &SyncEngine::folderProblemChanged);

    QCOMPARE(engine.writeCube("x", "Warm.cube", "Warm.cube → Resolve"), SyncEngine::CubeWrite::failed);
    QCOMPARE(engine.folderProblem(), std::optional<QString>("Can't write to " + fixture.path("blocker/LUT")));
    QCOMPARE(engine.activity().first().text, QStringLiteral("Can't write Warm.cube — check the LUT folder"));
    QCOMPARE(engine.activity().first().ok, false);

    QCOMPARE(engine.writeCube("x", "Cool.cube", "Cool.cube → Resolve"), SyncEngine::CubeWrite::failed);
    QCOMPARE(problemSpy.count(), 1); // the same problem again does not notify

    engine.setLutFolderPath(fixture.path("LUT"));
    QCOMPARE(engine.writeCube("x", "Warm.cube", "Warm.cube → Resolve"), SyncEngine::CubeWrite::written);
    QCOMPARE(engine.folderProblem(), std::nullopt);
    QCOMPARE(problemSpy.count(), 2);
}

void TestDelivery::unsafeNamesNeverLeaveTheFolder_data() {
    QTest::addColumn<QString>("name");
    QTest::newRow("a parent folder") << "../escape.cube";
    QTest::newRow("an absolute path") << "/tmp/escape.cube";
    QTest::newRow("two dots") << "..";
    QTest::newRow("a backslash") << "..\\escape.cube";
    QTest::newRow("nothing") << "";
}

void TestDelivery::unsafeNamesNeverLeaveTheFolder() {
    QFETCH(QString, name);
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    engine.setLutFolderPath(fixture.path("box/LUT"));
    QCOMPARE(engine.writeCube("x", name, "written"), SyncEngine::CubeWrite::failed);
    QVERIFY(!QFile::exists(fixture.path("box/escape.cube")));
    QCOMPARE(QDir(fixture.path("box/LUT")).entryList(QDir::Files), QStringList());
    QCOMPARE(engine.folderProblem(), std::nullopt);
}

QTEST_GUILESS_MAIN(TestDelivery)
#include "TestDelivery.moc"
