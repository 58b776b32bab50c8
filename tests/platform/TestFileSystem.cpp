#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestFileSystem : public QObject {
    Q_OBJECT

private slots:
    void atomicWriteReplacesWholeFiles();
    void atomicWriteFailsWithAReason_data();
    void atomicWriteFailsWithAReason();
    void makeFolder();
    void readAllRefusesWhatIsNotAReadableFile();
};

void TestFileSystem::atomicWriteReplacesWholeFiles() {
    QTemporaryDir dir;
    const QString path = dir.filePath("Warm.cube");
    QVERIFY(FileSystem::writeAtomically(path, QByteArray(100000, 'a')));
    QVERIFY(FileSystem::writeAtomically(path, "short"));
    QCOMPARE(FileSystem::readAll(path), std::optional<QByteArray>("short"));
    QVERIFY(FileSystem::writeAtomically(path, QByteArray()));
    QCOMPARE(FileSystem::readAll(path), std::optional<QByteArray>(QByteArray()));
    // Nothing but the file itself is left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"Warm.cube"});
}

void TestFileSystem::atomicWriteFailsWithAReason_data() {
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("a folder that does not exist") << "missing/Warm.cube";
    QTest::newRow("a folder under a regular file") << "file/Warm.cube";
    QTest::newRow("a path that is a folder") << "folder";
}

void TestFileSystem::atomicWriteFailsWithAReason() {
    QFETCH(QString, relativePath);
    QTemporaryDir dir;
    QVERIFY(FileSystem::writeAtomically(dir.filePath("file"), "x"));
    QVERIFY(QDir(dir.path()).mkdir("folder"));

    const WriteResult result = FileSystem::writeAtomically(dir.filePath(relativePath), "bytes");
    QVERIFY(!result.ok);
    QVERIFY(!result.error.isEmpty());
    QCOMPARE(FileSystem::readAll(dir.filePath("file")), std::optional<QByteArray>("x"));
}

void TestFileSystem::makeFolder() {
    QTemporaryDir dir;
    QVERIFY(FileSystem::makeFolder(dir.filePath("a/b/c")));
    QVERIFY(FileSystem::makeFolder(dir.filePath("a/b/c")));
    QVERIFY(FileSystem::writeAtomically(dir.filePath("file"), "x"));
    const WriteResult blocked = FileSystem::makeFolder(dir.filePath("file/sub/folder"));
    QVERIFY(!blocked.ok);
    QVERIFY2(blocked.error.contains("is not a folder"), qPrintable(blocked.error));
}

void TestFileSystem::readAllRefusesWhatIsNotAReadableFile() {
    QTemporaryDir dir;
    QVERIFY(FileSystem::writeAtomically(dir.filePath("ten"), "0123456789"));
    QCOMPARE(FileSystem::readAll(dir.filePath("ten"), 10), std::optional<QByteArray>("0123456789"));
    QCOMPARE(FileSystem::readAll(dir.filePath("ten"), 9), std::nullopt);
    QCOMPARE(FileSystem::readAll(dir.filePath("missing")), std::nullopt);
    QCOMPARE(FileSystem::readAll(dir.path()), std::nullopt);
}

QTEST_GUILESS_MAIN(TestFileSystem)
#include "TestFileSystem.moc"
