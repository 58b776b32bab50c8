#include "cloud/CloudStore.h"
#include "cloud/CredentialService.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSignalSpy>
#include <QTest>

namespace {

// Exposes the engine's own mutators, which the operations built on it use.
class TestableEngine : public SyncEngine {
public:
    using SyncEngine::mutableLedger;
    using SyncEngine::SyncEngine;
};

class FakeLoginItem final : public LoginItem {
public:
    bool enabled = false;
    QString refusal; // when set, every change fails with this text and leaves `enabled` alone
    int calls = 0;

    bool isEnabled() const override { return enabled; }
    QString setEnabled(bool value) override {
        ++calls;
        if (!refusal.isEmpty()) {
            return refusal;
        }
        enabled = value;
        return {};
    }
};

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

class TestSyncEngine : public QObject {
    Q_OBJECT

private slots:
    void defaultsWithNoSettingsStored();
    void storedSettingsAreRead_data();
    void storedSettingsAreRead();
    void settingsSurviveANewEngine();
    void assigningStoresTheKeyAndNotifiesOnlyOnChange();
    void assigningTheSameFolderStillRewritesTheConfiguration();
    void configurationNamesTheInboxInsideTheLutFolder_data();
    void configurationNamesTheInboxInsideTheLutFolder();
    void ledgerRoundTrip();
    void damagedLedgerGivesAnEmptyLedger_data();
    void damagedLedgerGivesAnEmptyLedger();
    void activityKeepsTheNewestThirty();
    void unwritableSupportFolderLeavesTheEngineRunning();
    void launchAtLogin();
    void startWritesTheSupportFilesOnce();
    void storedSessionIsRestoredAtConstruction();
};

void TestSyncEngine::defaultsWithNoSettingsStored() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    QCOMPARE(engine.localEnabled(), true);
    QCOMPARE(engine.paused(), false);
    QCOMPARE(engine.lutFolderPath(), fixture.resolveRoot() + "/LUT/Tonewharf");
    QCOMPARE(engine.inboxFolderPath(), fixture.resolveRoot() + "/LUT/Tonewharf/To TINTARA");
    QCOMPARE(engine.stillsFolderPath(), fixture.resolveRoot() + "/LUT/Tonewharf/Looks");
    QVERIFY(engine.activity().isEmpty());
    QCOMPARE(engine.syncing(), false);
    QCOMPARE(engine.lastSync(), std::nullopt);
    QCOMPARE(engine.folderProblem(), std::nullopt);
    QCOMPARE(engine.localPort(), std::nullopt);
    QCOMPARE(engine.inboxSnapshot(), InboxSnapshot{});
    QCOMPARE(engine.started(), false);
    // Reading settings must not store anything: absence of "tonewharf.local" has to stay observable.
    QVERIFY(!fixture.settings()->contains("tonewharf.local"));
}

void TestSyncEngine::storedSettingsAreRead_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("a stored false for the local network is honoured")
        << "tonewharf.local" << QVariant(false) << QVariant(false);
    QTest::newRow("a stored true for the local network")
        << "tonewharf.local" << QVariant(true) << QVariant(true);
    QTest::newRow("a local network value of the wrong type reads as on")
        << "tonewharf.local" << QVariant("banana") << QVariant(true);
    QTest::newRow("a stored pause is honoured") << "tonewharf.paused" << QVariant(true) << QVariant(true);
    QTest::newRow("a pause value of the wrong type reads as not paused")
        << "tonewharf.paused" << QVariant(QStringList{"true", "true"}) << QVariant(false);
    QTest::newRow("a stored LUT folder is used")
        << "tonewharf.lutFolder" << QVariant("/Users/a/LUTs") << QVariant("/Users/a/LUTs");
    QTest::newRow("a relative LUT folder reads as the default")
        << "tonewharf.lutFolder" << QVariant("LUTs") << QVariant("<default>");
    QTest::newRow("a LUT folder list reads as the default")
        << "tonewharf.lutFolder" << QVariant(QStringList{"/a", "/b"}) << QVariant("<default>");
}

void TestSyncEngine::storedSettingsAreRead() {
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QVariant, expected);

    EngineFixture fixture;
    fixture.settings()->setValue(key, stored);
    SyncEngine engine(fixture.services());
    if (key == "tonewharf.local") {
        QCOMPARE(engine.localEnabled(), expected.toBool());
    } else if (key == "tonewharf.paused") {
        QCOMPARE(engine.paused(), expected.toBool());
    } else {
        const QString folder = expected.toString() == "<default>" ? fixture.resolveRoot() + "/LUT/Tonewharf"
                                                                  : expected.toString();
        QCOMPARE(engine.lutFolderPath(), folder);
    }
}

void TestSyncEngine::settingsSurviveANewEngine() {
    EngineFixture fixture;
    {
        SyncEngine engine(fixture.services());
        engine.setPaused(true);
        engine.setLocalEnabled(false);
        engine.setLutFolderPath(fixture.path("My LUTs"));
    }
    SyncEngine again(fixture.services());
    QCOMPARE(again.paused(), true);
    QCOMPARE(again.localEnabled(), false);
    QCOMPARE(again.lutFolderPath(), fixture.path("My LUTs"));
}

void TestSyncEngine::assigningStoresTheKeyAndNotifiesOnlyOnChange() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    QSignalSpy localSpy(&engine, &SyncEngine::localEnabledChanged);
    QSignalSpy pausedSpy(&engine, &SyncEngine::pausedChanged);

    // The value already held: no notification, but the key is stored all the same.
    engine.setLocalEnabled(true);
    engine.setPaused(false);
    QCOMPARE(localSpy.count(), 0);
    QCOMPARE(pausedSpy.count(), 0);
    auto settings = fixture.settings();
    QCOMPARE(settings->value("tonewharf.local").toString(), QStringLiteral("true"));
    QCOMPARE(settings->value("tonewharf.paused").toString(), QStringLiteral("false"));

    engine.setLocalEnabled(false);
    engine.setPaused(true);
    QCOMPARE(localSpy.count(), 1);
    QCOMPARE(pausedSpy.count(), 1);
    settings = fixture.settings();
    QCOMPARE(settings->value("tonewharf.local").toString(), QStringLiteral("false"));
    QCOMPARE(settings->value("tonewharf.paused").toString(), QStringLiteral("true"));
}

void TestSyncEngine::assigningTheSameFolderStillRewritesTheConfiguration() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    QSignalSpy spy(&engine, &SyncEngine::lutFolderPathChanged);
    QVERIFY(!QFile::exists(engine.configFilePath()));

    engine.setLutFolderPath(engine.lutFolderPath());
    QCOMPARE(spy.count(), 0);
    QVERIFY(QFile::exists(engine.configFilePath()));
    QCOMPARE(fixture.settings()->value("tonewharf.lutFolder").toString(), engine.lutFolderPath());
}

void TestSyncEngine::configurationNamesTheInboxInsideTheLutFolder_data() {
    QTest::addColumn<QString>("lutFolder");
    QTest::addColumn<QString>("inbox");

    QTest::newRow("a plain folder") << "/X/LUT/Tonewharf"
                                    << "/X/LUT/Tonewharf/To TINTARA";
    QTest::newRow("a folder with a trailing slash gets no double slash") << "/X/LUT/"
                                                                         << "/X/LUT/To TINTARA";
    QTest::newRow("quotes and non-ASCII letters are kept") << "/Users/zoë/\"LUTs\""
                                                           << "/Users/zoë/\"LUTs\"/To TINTARA";
}

void TestSyncEngine::configurationNamesTheInboxInsideTheLutFolder() {
    QFETCH(QString, lutFolder);
    QFETCH(QString, inbox);

    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    engine.setLutFolderPath(lutFolder);

    const QByteArray bytes = readFile(engine.configFilePath());
    QVERIFY2(bytes.contains("\n    \""), "config.json is pretty-printed");
    const QJsonObject config = QJsonDocument::fromJson(bytes).object();
    QCOMPARE(config.keys(), (QStringList{"inbox", "lutFolder"}));
    QCOMPARE(config.value("lutFolder").toString(), lutFolder);
    QCOMPARE(config.value("inbox").toString(), inbox);
}

void TestSyncEngine::ledgerRoundTrip() {
    EngineFixture fixture;
    const QString ledgerPath = fixture.supportFolder() + "/ledger.json";
    writeFile(ledgerPath, R"({"pulled":{"r1":{"fileName":"Warm.cube","remoteFile":"warm_x.cube"},)"
                          R"("r2":{"fileName":"Cool.cube","remoteFile":"cool_y.cube","drxFile":"Cool.drx"}},)"
                          R"("pushed":{"Day2.cube":{"recordID":"p1","hash":")" +
                              QByteArray(64, 'f') + R"("}}})");
    {
        TestableEngine engine(fixture.services());
        QCOMPARE(engine.ledger().pulled.value("r1").drxFile, std::nullopt);
        QCOMPARE(engine.ledger().pulled.value("r2").drxFile, std::optional<QString>("Cool.drx"));
        QCOMPARE(engine.ledger().pushed.value("Day2.cube").recordID, QStringLiteral("p1"));

        engine.mutableLedger().pushed.insert("New.cube", {"p2", QString(64, '0')});
        engine.saveLedger();
    }
    const QByteArray saved = readFile(ledgerPath);
    QVERIFY2(!saved.contains('\n') && !saved.contains(": "), "ledger.json is compact");
    const QJsonObject r1 = QJsonDocument::fromJson(saved).object()["pulled"].toObject()["r1"].toObject();
    QCOMPARE(r1.keys(), (QStringList{"fileName", "remoteFile"}));

    TestableEngine again(fixture.services());
    QCOMPARE(again.ledger().pulled.size(), 2);
    QCOMPARE(again.ledger().pushed.value("New.cube"), (Ledger::Pushed{"p2", QString(64, '0')}));
}

void TestSyncEngine::damagedLedgerGivesAnEmptyLedger_data() {
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<qint64>("sparseSize");
    QTest::addColumn<bool>("keptAside");

    const QByteArray good = R"({"pulled":{"r1":{"fileName":"Warm.cube","remoteFile":"w"}},"pushed":{}})";
    QTest::newRow("a truncated ledger") << good.left(good.size() - 3) << qint64(0) << true;
    QTest::newRow("text that is not JSON") << QByteArray("ledger") << qint64(0) << true;
    QTest::newRow("an array instead of an object") << QByteArray("[]") << qint64(0) << true;
    QTest::newRow("pulled given as an array")
        << QByteArray(R"({"pulled":[],"pushed":{}})") << qint64(0) << true;
    QTest::newRow("an entry without remoteFile")
        << QByteArray(R"({"pulled":{"r":{"fileName":"a"}},"pushed":{}})") << qint64(0) << true;
    QTest::newRow("a drxFile that is a number")
        << QByteArray(R"({"pulled":{"r":{"fileName":"a","remoteFile":"b","drxFile":3}},"pushed":{}})")
        << qint64(0) << true;
    QTest::newRow("a ledger without pushed") << QByteArray(R"({"pulled":{}})") << qint64(0) << true;
    QTest::newRow("an empty file") << QByteArray() << qint64(0) << false;
    QTest::newRow("a file larger than any ledger") << QByteArray() << SyncEngine::ledgerByteLimit + 1 << true;
}

void TestSyncEngine::damagedLedgerGivesAnEmptyLedger() {
    QFETCH(QByteArray, contents);
    QFETCH(qint64, sparseSize);
    QFETCH(bool, keptAside);

    EngineFixture fixture;
    const QString ledgerPath = fixture.supportFolder() + "/ledger.json";
    writeFile(ledgerPath, contents);
    if (sparseSize > 0) {
        QVERIFY(QFile::resize(ledgerPath, sparseSize));
    }

    SyncEngine engine(fixture.services());
    QCOMPARE(engine.ledger(), Ledger{});
    QVERIFY(engine.activity().isEmpty());
    // The damaged file is kept for inspection and replaced by a valid empty ledger.
    QCOMPARE(QFile::exists(ledgerPath + ".corrupt"), keptAside);
    if (keptAside && sparseSize == 0) {
        QCOMPARE(readFile(ledgerPath + ".corrupt"), contents);
    }
    QCOMPARE(Ledger::decode(readFile(ledgerPath)), std::optional<Ledger>(Ledger{}));
}

void TestSyncEngine::activityKeepsTheNewestThirty() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    QSignalSpy spy(&engine, &SyncEngine::activityChanged);
    for (int i = 1; i <= 31; ++i) {
        engine.log(QStringLiteral("message %1").arg(i), i % 2 == 0);
    }
    QCOMPARE(spy.count(), 31);
    QCOMPARE(engine.activity().size(), 30);
    QCOMPARE(engine.activity().first().text, QStringLiteral("message 31"));
    QCOMPARE(engine.activity().first().ok, false);
    QCOMPARE(engine.activity().last().text, QStringLiteral("message 2"));
    QSet<QUuid> ids;
    for (const Activity& entry : engine.activity()) {
        ids.insert(entry.id);
        QVERIFY(entry.date.isValid());
    }
    QCOMPARE(ids.size(), 30);
}

void TestSyncEngine::unwritableSupportFolderLeavesTheEngineRunning() {
    EngineFixture fixture;
    writeFile(fixture.path("blocker"), "a regular file where a folder should be");
    EngineServices services = fixture.services();
    services.supportFolder = fixture.path("blocker/Tonewharf");

    TestableEngine engine(services);
    engine.start();
    engine.mutableLedger().pushed.insert("a.cube", {"r", "h"});
    engine.saveLedger();
    engine.setLutFolderPath(fixture.path("LUT"));
    engine.log("still logging", true);
    QCOMPARE(engine.activity().size(), 1);
    QVERIFY(!QFile::exists(services.supportFolder));
    QCOMPARE(engine.ledger().pushed.size(), 1); // the in-memory ledger stays authoritative
}

void TestSyncEngine::launchAtLogin() {
    EngineFixture fixture;
    auto loginItem = std::make_shared<FakeLoginItem>();
    loginItem->enabled = true;
    EngineServices services = fixture.services();
    services.loginItem = loginItem;

    SyncEngine engine(services);
    QCOMPARE(engine.launchAtLogin(), true);
    QCOMPARE(loginItem->calls, 0); // reading the platform's state registers nothing

    engine.setLaunchAtLogin(false);
    QCOMPARE(loginItem->enabled, false);
    QVERIFY(engine.activity().isEmpty());

    loginItem->refusal = QStringLiteral("The operation couldn't be completed.");
    QSignalSpy spy(&engine, &SyncEngine::launchAtLoginChanged);
    engine.setLaunchAtLogin(true);
    QCOMPARE(engine.launchAtLogin(), false);
    QCOMPARE(engine.activity().first().text,
             QStringLiteral("Launch at login: The operation couldn't be completed."));
    QCOMPARE(engine.activity().first().ok, false);
    QCOMPARE(loginItem->calls, 2);
}

void TestSyncEngine::startWritesTheSupportFilesOnce() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    engine.start();
    QVERIFY(engine.started());
    QVERIFY(QFile::exists(engine.ledgerFilePath()));
    const QJsonObject config = QJsonDocument::fromJson(readFile(engine.configFilePath())).object();
    QCOMPARE(config.value("lutFolder").toString(), engine.lutFolderPath());
    engine.start();
    QVERIFY(engine.started());
}

void TestSyncEngine::storedSessionIsRestoredAtConstruction() {
    EngineFixture fixture;
    {
        SyncEngine signedOut(fixture.services());
        QCOMPARE(signedOut.cloud()->token(), std::nullopt);
        QCOMPARE(signedOut.cloud()->email(), QString());
    }
    const QString service = CredentialService::name();
    fixture.credentials()->write(service, "token", QStringLiteral("tok-1"));
    fixture.credentials()->write(service, "userID", QStringLiteral("u1"));
    fixture.credentials()->write(service, "email", QStringLiteral("ana@example.com"));

    SyncEngine engine(fixture.services());
    QCOMPARE(engine.cloud()->token(), std::optional<QString>("tok-1"));
    QCOMPARE(engine.cloud()->userID(), std::optional<QString>("u1"));
    QCOMPARE(engine.cloud()->email(), QStringLiteral("ana@example.com"));
    QCOMPARE(engine.cloud()->status(), QString());
}

QTEST_GUILESS_MAIN(TestSyncEngine)
#include "TestSyncEngine.moc"
