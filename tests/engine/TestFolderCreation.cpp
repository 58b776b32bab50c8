#include "engine/SyncEngine.h"
#include "support/EngineFixture.h"

#include <QDirIterator>
#include <QScopeGuard>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;

// The administrator's folder creation. A plain shell plays the administrator (the tests run as
// root) and `nobody` the user, so the file system shows which folders the command gave away.
class TestFolderCreation : public QObject {
    Q_OBJECT

private slots:
    void onlyTheFoldersMadeAreGiven_data() {
        QTest::addColumn<QString>("existing"); // made beforehand by root
        QTest::addColumn<QString>("lut");
        QTest::addColumn<QStringList>("given");
        QTest::newRow("a missing LUT folder and its inbox are given, the new folders above them are not")
            << "opt"
            << "opt/resolve/LUT/Tonewharf/"
            << QStringList{"opt/resolve/LUT/Tonewharf", "opt/resolve/LUT/Tonewharf/To TINTARA"};
        QTest::newRow(
            "an existing LUT folder and what it holds keep their owner; only the new inbox is given")
            << "LUT/Looks"
            << "LUT" << QStringList{"LUT/To TINTARA"};
        const QString odd = u"it's \"graded\" $(touch ran) `touch ran` back\\slash\nLUT"_s;
        QTest::newRow("quotes, expansions and a line break reach mkdir and chown literally")
            << "." << odd << QStringList{odd, odd + "/To TINTARA"};
    }

    void onlyTheFoldersMadeAreGiven() {
        QFETCH(QString, existing);
        QFETCH(QString, lut);
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(existing));
        QFile::remove("ran"); // where an injected command would leave its mark
        const QString lutFolder = root.filePath(lut);
        const QString command =
            SyncEngine::folderCreationCommand(QDir(lutFolder).filePath("To TINTARA"), "nobody", lutFolder);
        QVERIFY(QCoro::waitFor(ProcessPrivilegedRunner("/bin/sh", {"-c"}).run(command)).ok);
        QStringList given;
        for (QDirIterator it(root.path(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
             it.hasNext();) {
            if (it.nextFileInfo().ownerId() != 0) {
                given << QDir(root.path()).relativeFilePath(it.filePath());
            }
        }
        given.sort();
        QTEST(given, "given");
        QVERIFY(!QFile::exists("ran"));
    }

    // A program that is not there cannot ask for a password: no wait for it, and the user is told.
    void withoutPkexecTheUserIsTold() {
        EngineFixture fixture;
        EngineServices services = fixture.services();
        services.privilegedRunner =
            std::make_shared<ProcessPrivilegedRunner>(ProcessPrivilegedRunner::pkexec());
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&path] { qputenv("PATH", path); });
        qputenv("PATH", fixture.path().toUtf8());
        SyncEngine engine(services);
        QCoro::waitFor(engine.createFolderWithAdmin());
        QCOMPARE(EngineFixture::texts(engine).last(),
                 u"Folder creation needs pkexec, which is not installed"_s);
    }
};

QTEST_GUILESS_MAIN(TestFolderCreation)
#include "TestFolderCreation.moc"
