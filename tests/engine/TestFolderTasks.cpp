#include "cloud/CloudStore.h"
#include "engine/FolderWatcher.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "platform/HostInfo.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;

namespace {

// Everything below `root`, as relative paths.
QStringList tree(const QString& root) {
    QStringList paths;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        paths << QDir(root).relativeFilePath(it.next());
    }
    paths.sort();
    return paths;
}

} // namespace

class TestFolderTasks : public QObject {
    Q_OBJECT

private slots:
    // The tests run as root: a plain shell stands in for pkexec and really creates and re-owns.
    void hostileNamesReachMkdirAndChownLiterally_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("created");
        const QString user = HostInfo::userName();
        QTest::newRow("quotes of both kinds") << u"it's \"graded\""_s << user << true;
        QTest::newRow("shell expansions stay text") << u"$(touch ran) `touch ran` $HOME"_s << user << true;
        QTest::newRow("a backslash and a line break")
            << u"back\\slash\nnext line; touch ran"_s << user << true;
        QTest::newRow("a quote in the user name fails without running anything")
            << u"LUT"_s << u"x' 'y'; touch ran; echo '"_s << false;
    }

    void hostileNamesReachMkdirAndChownLiterally() {
        QFETCH(QString, folder);
        QFETCH(QString, user);
        QFETCH(bool, created);
        EngineFixture fixture;
        QFile::remove("ran"); // where an injected command would leave its mark
        const QString lut = fixture.path("area/" + folder);
        ProcessPrivilegedRunner shell(u"/bin/sh"_s, {u"-c"_s});
        const QString command = SyncEngine::folderCreationCommand(lut + "/To TINTARA", user, lut);
        QCoro::Task<bool> run = shell.run(command);
        QCOMPARE(QCoro::waitFor(run), created);
        const QString made = created ? folder : u"LUT"_s;
        QCOMPARE(tree(fixture.path("area")), (QStringList{made, made + "/To TINTARA"}));
        QVERIFY(!QFile::exists("ran"));
    }

    void adminCreationReportsAndRecovers() {
        EngineFixture fixture;
        QVERIFY(FileSystem::writeAtomically(fixture.path("locked"), "a file where a folder should be"));
        EngineServices services = fixture.services();
        services.userName = HostInfo::userName();
        services.privilegedRunner =
            std::make_shared<ProcessPrivilegedRunner>(u"/bin/sh"_s, QStringList{"-c", "exit 126"});
        SyncEngine engine(services);
        engine.setLutFolderPath(fixture.path("locked/LUT"));
        QCOMPARE(engine.folderProblem(), u"Can't create "_s + fixture.path("locked/LUT"));

        QCoro::waitFor(engine.createFolderWithAdmin());
        QCOMPARE(engine.activity().first().text, u"Folder creation cancelled or failed"_s);
        QVERIFY(engine.folderProblem().has_value());
        QCOMPARE(engine.watcher(), nullptr);

        // What the administrator's rights achieve, played by a plain shell once the way is clear.
        QVERIFY(QFile::remove(fixture.path("locked")));
        services.privilegedRunner =
            std::make_shared<ProcessPrivilegedRunner>(u"/bin/sh"_s, QStringList{"-c"});
        SyncEngine again(services); // reads the stored folder without creating it
        QCoro::waitFor(again.createFolderWithAdmin());
        QCOMPARE(again.activity().first().text, u"LUT folder ready"_s);
        QCOMPARE(again.folderProblem(), std::nullopt);
        QVERIFY(again.watcher() && again.watcher()->isWatching());
    }

    void theScriptIsInstalledOnlyWhenItDiffers() {
        EngineFixture fixture;
        QVERIFY(FileSystem::makeFolder(fixture.path("res")));
        QVERIFY(FileSystem::writeAtomically(fixture.path("res/Send to TINTARA.py"), "print('export')\n"));
        EngineServices services = fixture.services();
        services.resources = Resources(fixture.path("res"));
        SyncEngine engine(services);
        const QString installed = services.resolveProfile.colourPageScripts + "/Send to TINTARA.py";

        engine.installResolveScript();
        engine.installResolveScript();
        QCOMPARE(engine.activity().size(), 1);
        QCOMPARE(engine.activity().first().text, u"“Send to TINTARA” installed in Resolve's scripts"_s);
        QCOMPARE(FileSystem::readAll(installed), QByteArray("print('export')\n"));
        QVERIFY(engine.resolveScriptInstalled());

        QVERIFY(FileSystem::writeAtomically(installed, "edited by the user"));
        engine.installResolveScript();
        QCOMPARE(engine.activity().size(), 2);
        QCOMPARE(FileSystem::readAll(installed), QByteArray("print('export')\n"));

        services.resolveProfile.colourPageScripts = fixture.path("res/Send to TINTARA.py/Color");
        SyncEngine blocked(services);
        blocked.installResolveScript();
        QVERIFY(blocked.activity().first().text.startsWith(u"Could not install the Resolve script: "_s));
        QVERIFY(!blocked.activity().first().ok);
        QVERIFY(!blocked.resolveScriptInstalled());
    }

    void signingOutKeepsTheLocalNetwork() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        engine.start();
        QTRY_VERIFY(engine.localPort().has_value());
        QVERIFY(engine.watcher());
        engine.signOut();
        QCOMPARE(engine.activity().first().text, u"Signed out"_s);
        QCOMPARE(engine.watcher(), nullptr);
        QVERIFY(!engine.cloud()->signedIn());
        QVERIFY(engine.localPort().has_value());
    }
};

QTEST_GUILESS_MAIN(TestFolderTasks)
#include "TestFolderTasks.moc"
