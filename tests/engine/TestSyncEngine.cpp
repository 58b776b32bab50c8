#include "engine/FolderWatcher.h"
#include "engine/LookFileNames.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "platform/HostInfo.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;
using CubeWrite = SyncEngine::CubeWrite;

namespace {

const LUTLook warmLook{"Warm", "rec709", {1.1, 1.0, 0.9}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.2}, 1.05, {},
                       {},     {}};

// A login item whose every change the platform refuses.
struct RefusingLoginItem final : LoginItem {
    int changes = 0;
    bool isEnabled() const override { return true; }
    QString setEnabled(bool) override {
        ++changes;
        return u"The operation couldn't be completed."_s;
    }
};

// The activity, oldest first.
QStringList texts(const SyncEngine& engine) {
    QStringList lines;
    for (const Activity& entry : engine.activity()) {
        lines.prepend(entry.text);
    }
    return lines;
}

} // namespace

// The engine without its networks: settings, the support files, the activity log, writing looks
// into the LUT folder and the tasks around that folder.
class TestSyncEngine : public QObject {
    Q_OBJECT

private slots:
    // The settings file is plain text that anyone may edit.
    void handEditedSettingsReadAsTheDefaults() {
        EngineFixture fixture;
        fixture.settings()->setValue("tonewharf.local", "x");
        fixture.settings()->setValue("tonewharf.lutFolder", "LUTs");
        SyncEngine engine(fixture.services());
        QVERIFY(engine.localEnabled());
        QCOMPARE(engine.lutFolderPath(), fixture.resolveRoot() + "/LUT/Tonewharf");
    }

    void folderAssignmentPublishesTheInbox() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        engine.setLutFolderPath(fixture.path("X/LUT/"));
        engine.setLutFolderPath("relative/LUT");
        const QJsonObject config =
            QJsonDocument::fromJson(FileSystem::readAll(engine.configFilePath()).value_or("")).object();
        QCOMPARE(config, (QJsonObject{{"inbox", fixture.path("X/LUT/To TINTARA")},
                                      {"lutFolder", fixture.path("X/LUT/")}}));

        // The same folder again still checks it: a removed inbox comes back.
        QVERIFY(QDir(fixture.path("X/LUT/To TINTARA")).removeRecursively());
        engine.setLutFolderPath(engine.lutFolderPath());
        QVERIFY(QFileInfo(fixture.path("X/LUT/To TINTARA")).isDir());
    }

    void ledgerIsKeptAndDamageSetAside_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("setAside");
        QTest::newRow("a whole ledger is kept as it is")
            << QByteArray(R"({"pulled":{"r1":{"drxFile":"W.drx","fileName":"W.cube","remoteFile":"w"},)"
                          R"("r2":{"fileName":"C.cube","remoteFile":"c"}},)"
                          R"("pushed":{"A.cube":{"hash":"h","recordID":"r3"}}})")
            << true << false;
        QTest::newRow("a truncated ledger is set aside")
            << QByteArray(R"({"pulled":{"r1":{"fileName")") << false << true;
        QTest::newRow("an empty file is no damage") << QByteArray() << false << false;
    }

    void ledgerIsKeptAndDamageSetAside() {
        QFETCH(QByteArray, contents);
        QFETCH(bool, kept);
        QFETCH(bool, setAside);
        EngineFixture fixture;
        const QString path = fixture.supportFolder() + "/ledger.json";
        QVERIFY(FileSystem::makeFolder(fixture.supportFolder()) &&
                FileSystem::writeAtomically(path, contents));
        SyncEngine(fixture.services()).saveLedger();
        QCOMPARE(FileSystem::readAll(path + ".corrupt"), setAside ? std::optional(contents) : std::nullopt);
        QCOMPARE(FileSystem::readAll(path), kept ? contents : QByteArray(R"({"pulled":{},"pushed":{}})"));
    }

    void activityKeepsTheNewestThirty() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        for (int i = 1; i <= 31; ++i) {
            engine.log(QString::number(i), true);
        }
        QCOMPARE(engine.activity().size(), 30);
        QCOMPARE(engine.activity().last().text, u"2"_s);
    }

    void cloudNamesBecomeOneFileName_data() {
        QTest::addColumn<QString>("recordName");
        QTest::addColumn<QString>("cube"); // empty: the record is skipped
        QTest::newRow("an upper-case ending gains the extension") << "Warm.CUBE"
                                                                  << "Warm.CUBE.cube";
        QTest::newRow("a path keeps its last part") << "../../etc/x"
                                                    << "x.cube";
        QTest::newRow("two dots are skipped") << ".."
                                              << "";
    }

    void cloudNamesBecomeOneFileName() {
        QFETCH(QString, recordName);
        QFETCH(QString, cube);
        QCOMPARE(LookFileNames::cloudCubeFileName(recordName).value_or(QString()), cube);
    }

    // In the default folder the still names its cube relative to the master LUT folder; a still
    // that cannot be written is no problem of the LUT folder.
    void stillRefersToItsCube() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        QVERIFY(engine.writeStill(warmLook, "Warm.cube", engine.stillPath("Warm.cube")));
        // The reference is a text parameter: tag 0x2A, a one-byte length, the UTF-8 bytes, in hex.
        const QByteArray reference = QByteArray("\x2a\x13Tonewharf/Warm.cube").toHex();
        QVERIFY(
            FileSystem::readAll(engine.stillsFolderPath() + "/Warm.drx").value_or("").contains(reference));
        QCOMPARE(engine.activity().first().text, u"Warm.drx → Resolve (gallery import)"_s);

        QVERIFY(QDir(engine.stillsFolderPath()).removeRecursively());
        QVERIFY(FileSystem::writeAtomically(engine.stillsFolderPath(), "in the way"));
        QVERIFY(!engine.writeStill(warmLook, "Warm.cube", engine.stillPath("Warm.cube")));
        QCOMPARE(engine.folderProblem(), std::nullopt);
    }

    // The tests run as root: a plain shell stands in for pkexec and really creates and re-owns.
    void hostileNamesReachMkdirAndChownLiterally_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("user");
        QTest::newRow("quotes, expansions, a backslash and a line break in the folder")
            << u"it's \"graded\" $(touch ran) `touch ran` $HOME back\\slash\nnext line; touch ran"_s
            << HostInfo::userName();
        QTest::newRow("a quote in the user name fails without running anything")
            << u"LUT"_s << u"x' 'y'; touch ran; echo '"_s;
    }

    void hostileNamesReachMkdirAndChownLiterally() {
        QFETCH(QString, folder);
        QFETCH(QString, user);
        EngineFixture fixture;
        QFile::remove("ran"); // where an injected command would leave its mark
        const QString lut = fixture.path("area/" + folder);
        ProcessPrivilegedRunner shell(u"/bin/sh"_s, {u"-c"_s});
        QCoro::Task<bool> run = shell.run(SyncEngine::folderCreationCommand(lut + "/To TINTARA", user, lut));
        QCOMPARE(QCoro::waitFor(run), user == HostInfo::userName());
        QCOMPARE(QDir(fixture.path("area")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{folder});
        QVERIFY(QFileInfo(lut + "/To TINTARA").isDir());
        QVERIFY(!QFile::exists("ran"));
    }

    // A LUT folder under a file: everything that needs it fails and says so, and recovers once the
    // way is clear. A plain shell plays the administrator's rights.
    void folderFailuresAreReportedAndRecovered() {
        EngineFixture fixture;
        QVERIFY(FileSystem::writeAtomically(fixture.path("locked"), "a file where a folder should be"));
        const auto loginItem = std::make_shared<RefusingLoginItem>();
        EngineServices services = fixture.services();
        services.userName = HostInfo::userName();
        services.privilegedRunner =
            std::make_shared<ProcessPrivilegedRunner>(u"/bin/sh"_s, QStringList{"-c"});
        services.loginItem = loginItem;
        services.resolveProfile.colourPageScripts = fixture.path("locked/Color");
        SyncEngine engine(services);
        engine.setLutFolderPath(fixture.path("locked/LUT"));
        QCOMPARE(engine.folderProblem(), "Can't create " + fixture.path("locked/LUT"));
        QCOMPARE(engine.writeCube("a", "Warm.cube", "Warm.cube written"), CubeWrite::failed);
        QCOMPARE(engine.folderProblem(), "Can't write to " + fixture.path("locked/LUT"));
        QVERIFY(!engine.writeStill(warmLook, "Warm.cube", engine.stillPath("Warm.cube")));
        QCoro::waitFor(engine.createFolderWithAdmin());
        QCOMPARE(engine.watcher(), nullptr);
        engine.installResolveScript();
        QVERIFY(!engine.resolveScriptInstalled());
        engine.setLaunchAtLogin(false);
        QVERIFY(engine.launchAtLogin());
        QCOMPARE(loginItem->changes, 1); // reading registers nothing

        QVERIFY(QFile::remove(fixture.path("locked")));
        QCOMPARE(engine.writeCube("a", "../escape.cube", "escaped"), CubeWrite::failed);
        QCOMPARE(engine.writeCube("a", "Warm.cube", "Warm.cube written"), CubeWrite::written);
        QCOMPARE(engine.folderProblem(), std::nullopt);
        QCoro::waitFor(engine.createFolderWithAdmin());
        QVERIFY(engine.watcher() && engine.watcher()->isWatching());
        // The script goes in once, and again only when it differs.
        engine.installResolveScript();
        QVERIFY(FileSystem::writeAtomically(fixture.path("locked/Color/Send to TINTARA.py"), "edited"));
        engine.installResolveScript();
        engine.installResolveScript();
        QCOMPARE(FileSystem::readAll(fixture.path("locked/Color/Send to TINTARA.py")),
                 FileSystem::readAll(TONEWHARF_RESOURCE_DIR "/Send to TINTARA.py"));

        const QStringList expected{"Can't write Warm.cube — check the LUT folder",
                                   "Could not write the Resolve still for Warm: ",
                                   "Folder creation cancelled or failed",
                                   "Could not install the Resolve script: ",
                                   "Launch at login: The operation couldn't be completed.",
                                   "Warm.cube written",
                                   "LUT folder ready",
                                   "“Send to TINTARA” installed in Resolve's scripts",
                                   "“Send to TINTARA” installed in Resolve's scripts"};
        const QStringList logged = texts(engine);
        QCOMPARE(logged.size(), expected.size());
        for (qsizetype i = 0; i < logged.size(); ++i) {
            QVERIFY2(logged[i].startsWith(expected[i]), qPrintable(logged[i]));
        }
        QVERIFY(!QFile::exists(fixture.path("locked/escape.cube")));
    }
};

QTEST_GUILESS_MAIN(TestSyncEngine)
#include "TestSyncEngine.moc"
