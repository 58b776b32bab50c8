#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "support/CloudTestService.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

#include <QCoroTask>

using namespace Qt::StringLiterals;

namespace {

const QByteArray warmCube = "TITLE \"Warm\"\nLUT_3D_SIZE 33\n0 0 0\n";
const QString records = u"/api/collections/tintara_luts/records"_s;

} // namespace

// The engine against the test cloud service: the ledger decisions of the pull, removals, the
// inbox push, and requests that must reach the service at most once.
class TestCloudFlows : public QObject {
    Q_OBJECT

    std::unique_ptr<CloudTestService> m_service; // a fresh one per test: no records carried over
    std::unique_ptr<EngineFixture> m_fixture;
    std::unique_ptr<SyncEngine> m_engine;

    QString createRecord(const QString& name, const QByteArray& file, QJsonObject fields = {}) {
        fields.insert("name", name);
        const QJsonObject body{{"collection", "tintara_luts"},
                               {"fields", fields},
                               {"fileName", name + ".cube"},
                               {"fileBase64", QString::fromLatin1(file.toBase64())}};
        return m_service->control("POST", "/_test/records", body).toObject().value("id").toString();
    }
    void fail(QJsonObject failure) { m_service->control("POST", "/_test/fail", failure); }
    QString lut(const QString& name) const { return QDir(m_engine->lutFolderPath()).filePath(name); }
    // The requests since the last call, as "METHOD path".
    QStringList requestLines() {
        QStringList lines;
        for (const QJsonValue& request : m_service->requests()) {
            lines << request["method"].toString() + ' ' + request["path"].toString();
        }
        m_service->clearRequests();
        return lines;
    }
    QStringList texts() const { return EngineFixture::texts(*m_engine); }
    void sync() { QCoro::waitFor(m_engine->syncNow()); }
    void scan() { QCoro::waitFor(m_engine->scanInbox()); }

private slots:
    void init() {
        m_service = std::make_unique<CloudTestService>();
        QVERIFY(m_service->start());
        m_fixture = std::make_unique<EngineFixture>();
        EngineServices services = m_fixture->services();
        services.cloudUrl = m_service->baseUrl();
        m_engine = std::make_unique<SyncEngine>(services);
        m_engine->setLutFolderPath(m_fixture->path("LUT"));
        m_service->createUser("ana@example.com", "secret");
        QVERIFY(QCoro::waitFor(m_engine->cloud()->signIn("ana@example.com", "secret")));
        m_service->clearRequests();
    }

    void cleanup() { m_engine.reset(); }

    void pullDecidesByTheLedger() {
        const QString warm = createRecord("Warm", warmCube, {{"resolve", true}});
        const QString cool = createRecord("Cool", "cool", {{"resolve", true}});
        createRecord("Ignored", "never");
        // Paused, a sync asks nothing; resuming syncs.
        m_engine->setPaused(true);
        sync();
        QCOMPARE(requestLines(), QStringList());
        m_engine->setPaused(false);
        QTRY_VERIFY(m_engine->lastSync());
        QCOMPARE(requestLines().filter("/api/files/").size(), 2);
        QCOMPARE(FileSystem::readAll(lut("Warm.cube")), warmCube);
        QVERIFY(!QFile::exists(lut("Ignored.cube")));

        // A deleted cube is a removal: the cloud is told once, and the cube is not written again.
        QVERIFY(QFile::remove(lut("Cool.cube")));
        sync();
        QCOMPARE(requestLines().filter("/records/" + cool), QStringList{"PATCH " + records + '/' + cool});
        QVERIFY(!QFile::exists(lut("Cool.cube")) && !m_engine->ledger().pulled.contains(cool));
        QVERIFY(texts().contains("Cool.cube removed from Resolve — no longer sent to DaVinci"));
        const auto listing = QCoro::waitFor(m_engine->cloud()->listRecords());
        QVERIFY(listing && std::any_of(listing->cbegin(), listing->cend(), [&](const LUTRecord& record) {
                    return record.id == cool && record.resolve == false;
                }));

        // A look replaced in the cloud comes down again; a record gone from the cloud is forgotten
        // and its files stay.
        QVERIFY(
            QCoro::waitFor(m_engine->cloud()->uploadLUT("Warm", "Warm.cube", QByteArray("warmer"), {}, warm))
                .record);
        sync();
        QCOMPARE(FileSystem::readAll(lut("Warm.cube")), QByteArray("warmer"));
        m_service->control("DELETE", "/_test/records/tintara_luts/" + warm);
        sync();
        QVERIFY(m_engine->ledger().pulled.isEmpty());
        QVERIFY(QFile::exists(lut("Warm.cube")));
    }

    // A failed download is reported and tried again; a failed listing is reported and is no sync.
    void failuresAreReportedAndRetried() {
        createRecord("Warm", warmCube, {{"resolve", true}});
        fail({{"method", "GET"}, {"path", "/api/files/"}, {"status", 404}});
        sync();
        QVERIFY(texts().contains("Could not download Warm") && m_engine->ledger().pulled.isEmpty());
        sync();
        QCOMPARE(FileSystem::readAll(lut("Warm.cube")), warmCube);

        const QByteArray refusal = R"({"message":"Nope."})";
        fail({{"method", "GET"},
              {"path", records},
              {"status", 400},
              {"bodyBase64", QString(refusal.toBase64())}});
        const auto lastSync = m_engine->lastSync();
        sync();
        QCOMPARE(texts().last(), u"Could not reach the cloud: Nope."_s);
        QCOMPARE(m_engine->lastSync(), lastSync);
        QVERIFY(!m_engine->syncing());
    }

    void inboxIsPushedOncePerChange() {
        const QString inbox = m_engine->inboxFolderPath();
        const QString older = createRecord("B.cube", "an older grade");
        QVERIFY(FileSystem::writeAtomically(inbox + "/a.cube", warmCube));
        QVERIFY(FileSystem::writeAtomically(inbox + "/B.cube", "b"));
        QVERIFY(FileSystem::writeAtomically(inbox + "/notes.txt", "not a grade"));
        QCoro::Task<> first = m_engine->scanInbox();
        // A scan asked for while one runs is run once, after it.
        QVERIFY(FileSystem::writeAtomically(inbox + "/c.cube", "c"));
        scan();
        QCoro::waitFor(first);
        QCOMPARE(m_engine->inboxSnapshot().seq, 2);
        QCOMPARE(texts(), (QStringList{"B.cube → TINTARA", "a.cube → TINTARA", "c.cube → TINTARA"}));
        // The first pass lists once and replaces the record of the same name.
        const QJsonArray sent = m_service->requests();
        QCOMPARE(requestLines(), (QStringList{"GET " + records, "PATCH " + records + '/' + older,
                                              "POST " + records, "GET " + records, "POST " + records}));
        QVERIFY(CloudTestService::body(sent[2]).contains("name=\"size\"\r\n\r\n33\r\n"));
        scan();
        QCOMPARE(requestLines(), QStringList());
        QCOMPARE(m_engine->inboxSnapshot().seq, 2);

        // A changed grade replaces its record; when that record is gone, a fresh one is made.
        QVERIFY(FileSystem::writeAtomically(inbox + "/B.cube", "b2"));
        scan();
        QCOMPARE(requestLines(), QStringList{"PATCH " + records + '/' + older});
        m_service->control("DELETE", "/_test/records/tintara_luts/" + older);
        QVERIFY(FileSystem::writeAtomically(inbox + "/B.cube", "b3"));
        scan();
        QCOMPARE(requestLines(), (QStringList{"PATCH " + records + '/' + older, "POST " + records}));
        QVERIFY(m_engine->ledger().pushed.value("B.cube").recordID != older);

        QVERIFY(QFile::remove(inbox + "/B.cube"));
        scan();
        QVERIFY(!m_engine->ledger().pushed.contains("B.cube"));
        QCOMPARE(m_engine->inboxSnapshot().seq, 5);
    }

    // Qt sends a request again when the connection closes before the answer: a second record.
    void anUploadReachesTheServiceAtMostOnce() {
        fail({{"method", "POST"}, {"path", records}, {"close", true}, {"count", 5}});
        QVERIFY(!QCoro::waitFor(m_engine->cloud()->uploadLUT("Day2", "Day2.cube", QByteArray("x"))).record);
        QCOMPARE(requestLines().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCloudFlows)
#include "TestCloudFlows.moc"
