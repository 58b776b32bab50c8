#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

class FakeLoginItem final : public LoginItem {
public:
    bool enabled = true;
    QString refusal; // when set, every change fails with this text
    int calls = 0;

    bool isEnabled() const override { return enabled; }
    QString setEnabled(bool value) override {
        ++calls;
        if (refusal.isEmpty()) {
            enabled = value;
        }
        return refusal;
    }
};

} // namespace

// Settings, the support files and the activity log; the flows have tests of their own.
class TestSyncEngine : public QObject {
    Q_OBJECT

private slots:
    void storedSettingsAreRead_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QVariant>("expected");
        QTest::newRow("nothing stored turns the local network on") << "" << QVariant() << QVariant(true);
        QTest::newRow("a stored false is honoured")
            << "tonewharf.local" << QVariant(false) << QVariant(false);
        QTest::newRow("a value of another type reads as on")
            << "tonewharf.local" << QVariant("x") << QVariant(true);
        QTest::newRow("a stored pause") << "tonewharf.paused" << QVariant(true) << QVariant(true);
        QTest::newRow("a stored folder")
            << "tonewharf.lutFolder" << QVariant("/a/LUTs") << QVariant("/a/LUTs");
        QTest::newRow("a relative folder reads as the default")
            << "tonewharf.lutFolder" << QVariant("LUTs") << QVariant("<default>");
    }

    void storedSettingsAreRead() {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(QVariant, expected);
        EngineFixture fixture;
        if (!key.isEmpty()) {
            fixture.settings()->setValue(key, stored);
        }
        SyncEngine engine(fixture.services());
        const QVariant read = key == "tonewharf.paused"      ? QVariant(engine.paused())
                              : key == "tonewharf.lutFolder" ? QVariant(engine.lutFolderPath())
                                                             : QVariant(engine.localEnabled());
        QCOMPARE(read,
                 expected == "<default>" ? QVariant(fixture.resolveRoot() + "/LUT/Tonewharf") : expected);
        QCOMPARE(fixture.settings()->contains("tonewharf.local"), key == "tonewharf.local");
    }

    void folderAssignmentChecksAndPublishes() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        engine.setLutFolderPath(fixture.path("X/LUT/"));
        const QJsonObject config =
            QJsonDocument::fromJson(FileSystem::readAll(engine.configFilePath()).value_or("")).object();
        QCOMPARE(config, (QJsonObject{{"inbox", fixture.path("X/LUT/To TINTARA")},
                                      {"lutFolder", fixture.path("X/LUT/")}}));
        QVERIFY(QFileInfo(fixture.path("X/LUT/To TINTARA")).isDir());
        QVERIFY(engine.watcher());

        engine.setLutFolderPath("relative/LUT");
        QCOMPARE(engine.lutFolderPath(), fixture.path("X/LUT/"));
        QVERIFY(!QFile::exists("relative"));

        // The same folder again still checks it: a removed inbox comes back.
        QVERIFY(QDir(fixture.path("X/LUT/To TINTARA")).removeRecursively());
        engine.setLutFolderPath(engine.lutFolderPath());
        QVERIFY(QFileInfo(fixture.path("X/LUT/To TINTARA")).isDir());
    }

    void ledgerSurvivesAndDamageIsKeptAside_data() {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("pulled");
        QTest::addColumn<bool>("keptAside");
        QTest::newRow("a ledger without a still")
            << QByteArray(R"({"pulled":{"r1":{"fileName":"Warm.cube","remoteFile":"w"}},"pushed":{}})") << 1
            << false;
        QTest::newRow("a truncated ledger") << QByteArray(R"({"pulled":{"r1":{"fileName")") << 0 << true;
        QTest::newRow("an entry without remoteFile")
            << QByteArray(R"({"pulled":{"r":{"fileName":"a"}},"pushed":{}})") << 0 << true;
        QTest::newRow("an empty file") << QByteArray() << 0 << false;
    }

    void ledgerSurvivesAndDamageIsKeptAside() {
        QFETCH(QByteArray, contents);
        QFETCH(int, pulled);
        QFETCH(bool, keptAside);
        EngineFixture fixture;
        const QString path = fixture.supportFolder() + "/ledger.json";
        QVERIFY(FileSystem::makeFolder(fixture.supportFolder()));
        QVERIFY(FileSystem::writeAtomically(path, contents));
        {
            SyncEngine engine(fixture.services());
            QCOMPARE(engine.ledger().pulled.size(), pulled);
            QVERIFY(engine.activity().isEmpty());
            engine.saveLedger();
        }
        QCOMPARE(FileSystem::readAll(path + ".corrupt"), keptAside ? std::optional(contents) : std::nullopt);
        const QByteArray saved = FileSystem::readAll(path).value_or("");
        QCOMPARE(saved, pulled ? contents : QByteArray(R"({"pulled":{},"pushed":{}})"));
    }

    void activityKeepsTheNewestThirty() {
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        for (int i = 1; i <= 31; ++i) {
            engine.log(QString::number(i), i % 2 == 0);
        }
        QCOMPARE(engine.activity().size(), 30);
        QCOMPARE(engine.activity().first().text, u"31"_s);
        QCOMPARE(engine.activity().last().text, u"2"_s);
        QVERIFY(engine.activity()[0].id != engine.activity()[1].id);
    }

    void unwritableSupportFolderLeavesTheEngineRunning() {
        EngineFixture fixture;
        QVERIFY(FileSystem::writeAtomically(fixture.path("blocker"), "a file where a folder should be"));
        EngineServices services = fixture.services();
        services.supportFolder = fixture.path("blocker/Tonewharf");
        SyncEngine engine(services);
        engine.start();
        QVERIFY(engine.started());
        QVERIFY(!QFile::exists(services.supportFolder));
    }

    void launchAtLoginShowsWhatThePlatformDid() {
        EngineFixture fixture;
        auto loginItem = std::make_shared<FakeLoginItem>();
        EngineServices services = fixture.services();
        services.loginItem = loginItem;
        SyncEngine engine(services);
        QVERIFY(engine.launchAtLogin());
        QCOMPARE(loginItem->calls, 0); // reading registers nothing

        loginItem->refusal = u"The operation couldn't be completed."_s;
        engine.setLaunchAtLogin(false);
        QVERIFY(engine.launchAtLogin());
        QCOMPARE(engine.activity().first().text, u"Launch at login: The operation couldn't be completed."_s);
        QVERIFY(!engine.activity().first().ok);
    }
};

QTEST_GUILESS_MAIN(TestSyncEngine)
#include "TestSyncEngine.moc"
