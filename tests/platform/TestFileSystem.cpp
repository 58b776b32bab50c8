#include "platform/FileSystem.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

class TestFileSystem : public QObject {
    Q_OBJECT

private slots:
    void writesWholeFilesOrNothing() {
        QTemporaryDir dir;
        const QString path = dir.filePath("Warm.cube");
        QVERIFY(FileSystem::writeAtomically(path, QByteArray(100000, 'a')));
        QVERIFY(FileSystem::writeAtomically(path, "short"));
        QCOMPARE(FileSystem::readAll(path), std::optional<QByteArray>("short"));
        // Nothing but the file itself is left behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Warm.cube"});
        // A folder, or a file in the way of one, fails with a reason and leaves what is there.
        for (const char* blocked : {"missing/Warm.cube", "Warm.cube/Warm.cube", ""}) {
            const WriteResult result = FileSystem::writeAtomically(dir.filePath(blocked), "bytes");
            QVERIFY2(!result.ok && !result.error.isEmpty(), blocked);
        }
        QCOMPARE(FileSystem::readAll(path), std::optional<QByteArray>("short"));
    }

    void makesFoldersOrSaysWhatIsInTheWay() {
        QTemporaryDir dir;
        QVERIFY(FileSystem::makeFolder(dir.filePath("a/b/c")));
        QVERIFY(FileSystem::makeFolder(dir.filePath("a/b/c")));
        QVERIFY(FileSystem::writeAtomically(dir.filePath("file"), "x"));
        QCOMPARE(FileSystem::makeFolder(dir.filePath("file/sub/folder")).error,
                 dir.filePath("file") + " is not a folder");
    }

    void readsOnlyReadableFilesWithinTheLimit() {
        QTemporaryDir dir;
        QVERIFY(FileSystem::writeAtomically(dir.filePath("ten"), "0123456789"));
        QCOMPARE(FileSystem::readAll(dir.filePath("ten"), 10), std::optional<QByteArray>("0123456789"));
        QCOMPARE(FileSystem::readAll(dir.filePath("ten"), 9), std::nullopt);
        QCOMPARE(FileSystem::readAll(dir.filePath("missing")), std::nullopt);
        QCOMPARE(FileSystem::readAll(dir.path()), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestFileSystem)
#include "TestFileSystem.moc"
