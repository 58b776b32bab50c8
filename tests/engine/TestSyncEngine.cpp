#include "cloud/CredentialService.h"
#include "engine/FileDigest.h"
#include "engine/FolderWatcher.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "platform/HostInfo.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

#include <QCoroTask>

#include <fcntl.h>
#include <sys/resource.h>

using namespace Qt::StringLiterals;
using CubeWrite = SyncEngine::CubeWrite;

namespace {

// A login item whose every change the platform refuses.
struct RefusingLoginItem final : LoginItem {
    int changes = 0;
    bool isEnabled() const override { return true; }
    QString setEnabled(bool) override {
        ++changes;
        return u"The operation couldn't be completed."_s;
    }
};

// GET /v1/hello, while this thread's event loop serves the engine.
QByteArray hello(quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write("GET /v1/hello HTTP/1.1\r\n\r\n");
    QByteArray answer;
    const bool closed = QTest::qWaitFor(
        [&] { return (answer += socket.readAll(), socket.state() == QAbstractSocket::UnconnectedState); });
    return closed ? answer : QByteArray("no answer");
}

} // namespace

// The engine without the cloud: settings, support files, looks written into the LUT folder, the
// inbox watcher, the local server's setting and the folder tasks. Whole roads are the system tests'.
class TestSyncEngine : public QObject {
    Q_OBJECT

private slots:
    // A relative folder, hand-written into the settings or assigned, is refused.
    void folderAssignmentPublishesTheInbox() {
        EngineFixture fixture;
        fixture.settings()->setValue("tonewharf.lutFolder", "LUTs");
        SyncEngine engine(fixture.services());
        QCOMPARE(engine.lutFolderPath(), fixture.resolveRoot() + "/LUT/Tonewharf");
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
        QTest::newRow("a whole ledger is kept as it is")
            << QByteArray(R"({"pulled":{"r1":{"drxFile":"W.drx","fileName":"W.cube","folder":"/L",)"
                          R"("folderID":"7@1.2","remoteFile":"w","unflagged":true},)"
                          R"("r2":{"fileName":"C.cube","remoteFile":"c"}},)"
                          R"("pushed":{"A.cube":{"hash":"h","recordID":"r3"}}})")
            << true;
        QTest::newRow("a truncated ledger is set aside")
            << QByteArray(R"({"pulled":{"r1":{"fileName")") << false;
    }

    void ledgerIsKeptAndDamageSetAside() {
        QFETCH(QByteArray, contents);
        QFETCH(bool, kept);
        EngineFixture fixture;
        const QString path = fixture.supportFolder() + "/ledger.json";
        QVERIFY(FileSystem::makeFolder(fixture.supportFolder()) &&
                FileSystem::writeAtomically(path, contents));
        SyncEngine(fixture.services()).saveLedger();
        QCOMPARE(FileSystem::readAll(path + ".corrupt"), kept ? std::nullopt : std::optional(contents));
        QCOMPARE(FileSystem::readAll(path), kept ? contents : QByteArray(R"({"pulled":{},"pushed":{}})"));
    }

    void looksLandInsideTheLutFolder_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("landed"); // empty: refused
        QTest::newRow("an ending in capitals is kept") << "Day2.CUBE" << u"Day2.CUBE"_s;
        QTest::newRow("a backslash is refused") << "..\\escape" << u""_s;
        QTest::newRow("a trailing slash leaves no name") << "a/" << u""_s;
    }

    void looksLandInsideTheLutFolder() {
        QFETCH(QString, name);
        QFETCH(QString, landed);
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        QCOMPARE(QCoro::waitFor(engine.receiveLUT({name, "LUT_3D_SIZE 2\n", {}, {}})), !landed.isEmpty());
        QCOMPARE(QDir(engine.lutFolderPath()).entryList(QDir::Files | QDir::Hidden),
                 landed.isEmpty() ? QStringList() : QStringList{landed});
    }

    // Out of descriptors, no folder is blamed, and a scan keeps the inbox it knew until it can look again.
    void runningOutOfDescriptorsBlamesNothing() {
        EngineFixture fixture;
        EngineServices services = fixture.services();
        services.inboxSettle = std::chrono::milliseconds(100); // how soon the scan is tried again
        SyncEngine engine(services);
        const QDir inbox(engine.inboxFolderPath());
        QVERIFY(FileSystem::makeFolder(inbox.path()) &&
                FileSystem::writeAtomically(inbox.filePath("1.cube"), "1"));
        QCoro::waitFor(engine.scanInbox());
        QVERIFY(FileSystem::writeAtomically(inbox.filePath("2.cube"), "2"));
        rlimit kept{}, none{};
        ::getrlimit(RLIMIT_NOFILE, &kept);
        none = {rlim_t(::open("/dev/null", O_RDONLY)), kept.rlim_max}; // the lowest free descriptor
        ::close(int(none.rlim_cur));
        ::setrlimit(RLIMIT_NOFILE, &none);
        QCoro::waitFor(engine.scanInbox());
        const CubeWrite written = engine.writeCube("a", "Warm.cube", "Warm.cube written");
        ::setrlimit(RLIMIT_NOFILE, &kept);
        QVERIFY(written == CubeWrite::failed && !engine.folderProblem());
        QCOMPARE(engine.inboxSnapshot().items.size(), 1);
        QTRY_COMPARE(engine.inboxSnapshot().items.size(), 2);
    }

    // Exports closer together than the settle make one scan; a file written in place, one more.
    void theInboxIsScannedOnceSettled() {
        EngineFixture fixture;
        EngineServices services = fixture.services();
        services.inboxSettle = std::chrono::milliseconds(300);
        SyncEngine engine(services);
        engine.setLutFolderPath(fixture.path("LUT"));
        const QDir inbox(engine.inboxFolderPath());
        for (const char* name : {"Day2.cube", "Day3.cube", "Day1.cube"}) {
            QVERIFY(FileSystem::writeAtomically(inbox.filePath(name), name));
            QTest::qWait(200);
        }
        QTRY_COMPARE(engine.inboxSnapshot().seq, 1);
        QTest::qWait(500);
        QCOMPARE(engine.inboxSnapshot().seq, 1);

        QFile slow(inbox.filePath("Slow.cube"));
        QVERIFY(slow.open(QIODevice::WriteOnly));
        slow.write("first half ");
        slow.flush();
        QTest::qWait(500); // longer than the settle: the first scan sees half the file
        slow.write("second half");
        slow.close();
        QTRY_VERIFY_WITH_TIMEOUT(engine.inboxSnapshot().items.contains(
                                     InboxItem{"Slow.cube", sha256Hex("first half second half"), 22}),
                                 3000);
    }

    void theServerFollowsItsSettingAndSigningOut() {
        EngineFixture fixture;
        for (const auto& [account, value] :
             {std::pair{"token", "t"}, {"userID", "u"}, {"email", "ana@example.com"}}) {
            fixture.credentials()->write(CredentialService::name(), account, value);
        }
        auto engine = std::make_unique<SyncEngine>(fixture.services());
        engine->start();
        QTRY_VERIFY(engine->localPort() && engine->watcher());
        QVERIFY(hello(*engine->localPort()).contains("\"account\":\"ana@example.com\""));
        engine->signOut();
        QVERIFY(!hello(*engine->localPort()).contains("account")); // the server's answer follows the account
        QCOMPARE(engine->watcher(), nullptr);
        QVERIFY(engine->localPort().has_value());
        engine->setLocalEnabled(false);
        QTRY_COMPARE(engine->localPort(), std::nullopt);
        // Stored off, a restarted engine stays silent.
        engine = std::make_unique<SyncEngine>(fixture.services());
        engine->start();
        QTest::qWait(200);
        QCOMPARE(engine->localPort(), std::nullopt);
    }

    // A LUT folder under a file: everything that needs it fails and says so, and recovers once the
    // way is clear. A plain shell plays the administrator's rights (the tests run as root).
    void folderFailuresAreReportedAndRecovered() {
        EngineFixture fixture;
        QVERIFY(FileSystem::writeAtomically(fixture.path("locked"), "a file where a folder should be"));
        const QString lut = fixture.path("locked/LUT");
        const auto loginItem = std::make_shared<RefusingLoginItem>();
        EngineServices services = fixture.services();
        services.userName = HostInfo::userName();
        services.privilegedRunner =
            std::make_shared<ProcessPrivilegedRunner>(u"/bin/sh"_s, QStringList{"-c"});
        services.loginItem = loginItem;
        services.resolveProfile.colourPageScripts = fixture.path("locked/Color");
        SyncEngine engine(services);
        engine.setLutFolderPath(lut);
        QCOMPARE(engine.folderProblem(), "Can't create " + lut);
        QCOMPARE(engine.writeCube("a", "Warm.cube", "Warm.cube written"), CubeWrite::failed);
        QCOMPARE(engine.folderProblem(), "Can't write to " + lut);
        QCoro::waitFor(engine.createFolderWithAdmin());
        QCOMPARE(engine.watcher(), nullptr);
        engine.installResolveScript();
        QVERIFY(!engine.resolveScriptInstalled());
        engine.setLaunchAtLogin(false);
        QVERIFY(engine.launchAtLogin());
        QCOMPARE(loginItem->changes, 1); // reading registers nothing

        QVERIFY(QFile::remove(fixture.path("locked")));
        QCOMPARE(engine.writeCube("a", "../escape.cube", "escaped"), CubeWrite::failed);
        QCoro::waitFor(engine.createFolderWithAdmin());
        QVERIFY(engine.watcher() && engine.watcher()->isWatching());
        QCOMPARE(engine.writeCube("a", "Warm.cube", "Warm.cube written"), CubeWrite::written);
        QCOMPARE(engine.folderProblem(), std::nullopt);
        // The script goes in once, and again only when it differs.
        engine.installResolveScript();
        QVERIFY(FileSystem::writeAtomically(fixture.path("locked/Color/Send to TINTARA.py"), "edited"));
        engine.installResolveScript();
        engine.installResolveScript();
        QCOMPARE(FileSystem::readAll(fixture.path("locked/Color/Send to TINTARA.py")),
                 FileSystem::readAll(TONEWHARF_RESOURCE_DIR "/Send to TINTARA.py"));

        const QStringList expected{"Can't write Warm.cube — check the LUT folder",
                                   "Folder creation cancelled or failed",
                                   "Could not install the Resolve script: ",
                                   "Launch at login: The operation couldn't be completed.",
                                   "LUT folder ready",
                                   "Warm.cube written",
                                   "“Send to TINTARA” installed in Resolve's scripts",
                                   "“Send to TINTARA” installed in Resolve's scripts"};
        const QStringList logged = EngineFixture::texts(engine);
        QCOMPARE(logged.size(), expected.size());
        for (qsizetype i = 0; i < logged.size(); ++i) {
            QVERIFY2(logged[i].startsWith(expected[i]), qPrintable(logged[i]));
        }
        QVERIFY(!QFile::exists(fixture.path("locked/escape.cube")));
    }
};

QTEST_GUILESS_MAIN(TestSyncEngine)
#include "TestSyncEngine.moc"
