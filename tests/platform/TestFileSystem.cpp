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
        // Nothing but the file itself is left behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{"Warm.cube"});
        // A folder, or a file in the way of one, fails with a reason and leaves what is there.
        for (const char* blocked : {"missing/Warm.cube", "Warm.cube/Warm.cube"}) {
            const WriteResult result = FileSystem::writeAtomically(dir.filePath(blocked), "bytes");
            QVERIFY2(!result.ok && !result.error.isEmpty(), blocked);
        }
        QCOMPARE(FileSystem::makeFolder(dir.filePath("Warm.cube/sub")).error, path + " is not a folder");
        QCOMPARE(FileSystem::readAll(path, 5), std::optional<QByteArray>("short"));
        QCOMPARE(FileSystem::readAll(path, 4), std::nullopt);
        QCOMPARE(FileSystem::readAll(dir.path()), std::nullopt);
        // What a look is compared with before it is written again: the same bytes, not the same size.
        QVERIFY(FileSystem::holds(path, "short"));
        QVERIFY(!FileSystem::holds(path, "shore") && !FileSystem::holds(path, "shor") &&
                !FileSystem::holds(path, "shortr"));
    }
};

QTEST_GUILESS_MAIN(TestFileSystem)
#include "TestFileSystem.moc"
