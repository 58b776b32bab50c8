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

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray warmCube = "TITLE \"Warm\"\nLUT_3D_SIZE 33\n0 0 0\n";
const QString records = u"/api/collections/tintara_luts/records"_s;
const LUTLook warmLook{"Warm", "rec709", {1.1, 1.0, 0.9}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.2}, 1.05, {},
                       {},     {}};

} // namespace

// The engine against the test cloud service: the ledger decisions of the pull, removals, the
// inbox push, and requests that must reach the service at most once.
class TestCloudFlows : public QObject {
    Q_OBJECT

    std::unique_ptr<CloudTestService> m_service; // a fresh one per test: no records carried over
    std::unique_ptr<EngineFixture> m_fixture;
    EngineServices m_services;
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
    QJsonObject patchRecord(const QString& id, const QJsonObject& fields) {
        return m_service->control("PATCH", "/_test/records/tintara_luts/" + id, fields).toObject();
    }
    // The files of a folder in code-point order.
    static QStringList files(const QString& folder) {
        QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::NoSort);
        names.sort();
        return names;
    }
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
        m_services = m_fixture->services();
        m_services.cloudUrl = m_service->baseUrl();
        m_engine = std::make_unique<SyncEngine>(m_services);
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

        // A changed grade replaces its record.
        QVERIFY(FileSystem::writeAtomically(inbox + "/B.cube", "b2"));
        scan();
        QCOMPARE(requestLines(), QStringList{"PATCH " + records + '/' + older});

        QVERIFY(QFile::remove(inbox + "/B.cube"));
        scan();
        QVERIFY(!m_engine->ledger().pushed.contains("B.cube"));
        QCOMPARE(m_engine->inboxSnapshot().seq, 4);
    }

    void aFailedReplacementMakesNoSecondRecord_data() {
        QTest::addColumn<QJsonObject>("failure"); // none: the record is deleted from the cloud
        QTest::addColumn<QString>("status");
        QTest::newRow("a 500 is tried again on the same record")
            << QJsonObject{{"status", 500}} << u"Could not upload the LUT"_s;
        QTest::newRow("a dropped connection is tried again on the same record")
            << QJsonObject{{"close", true}, {"count", 5}} << u"Connection closed before the cloud answered"_s;
        QTest::newRow("a record gone from the cloud is made anew") << QJsonObject{} << QString();
    }

    void aFailedReplacementMakesNoSecondRecord() {
        QFETCH(QJsonObject, failure);
        QFETCH(QString, status);
        const QString grade = m_engine->inboxFolderPath() + "/B.cube";
        QVERIFY(FileSystem::writeAtomically(grade, "b"));
        scan();
        const Ledger::Pushed first = m_engine->ledger().pushed.value("B.cube");
        QVERIFY(FileSystem::writeAtomically(grade, "b2"));
        if (failure.isEmpty()) {
            m_service->control("DELETE", "/_test/records/tintara_luts/" + first.recordID);
        } else {
            failure.insert("method", "PATCH");
            fail(failure);
        }
        requestLines();
        scan();
        const QString replace = "PATCH " + records + '/' + first.recordID;
        if (failure.isEmpty()) {
            QCOMPARE(requestLines(), (QStringList{replace, "POST " + records}));
            QVERIFY(m_engine->ledger().pushed.value("B.cube").recordID != first.recordID);
            return;
        }
        QCOMPARE(requestLines(), QStringList{replace});
        QCOMPARE(texts().last(), "Could not upload B.cube: " + status);
        QCOMPARE(m_engine->ledger().pushed.value("B.cube"), first);
        scan();
        QCOMPARE(requestLines(), QStringList{replace});
        QCOMPARE(m_engine->ledger().pushed.value("B.cube").recordID, first.recordID);
    }

    // Only regular files go up, and only while they are still there as they were hashed.
    void onlyGradesStillInTheInboxGoUp() {
        const QDir inbox(m_engine->inboxFolderPath());
        QVERIFY(FileSystem::writeAtomically(m_fixture->path("outside.cube"), warmCube));
        QVERIFY(QFile::link(m_fixture->path("outside.cube"), inbox.filePath("link.cube")));
        QCOMPARE(::mkfifo(QFile::encodeName(inbox.filePath("pipe.cube")).constData(), 0600), 0);
        QVERIFY(FileSystem::writeAtomically(inbox.filePath("A.cube"), "a"));
        QVERIFY(FileSystem::writeAtomically(inbox.filePath("B.cube"), "b"));
        connect(m_engine.get(), &SyncEngine::activityChanged, this, [&] {
            if (texts().last() == u"A.cube → TINTARA"_s) {
                QFile::remove(inbox.filePath("B.cube"));
            }
        });
        scan();
        QCOMPARE(m_engine->inboxSnapshot().items.size(), 2); // A and B, as they were at the listing
        QCOMPARE(requestLines(), (QStringList{"GET " + records, "POST " + records}));
        QCOMPARE(m_engine->ledger().pushed.keys(), QStringList{"A.cube"});
    }

    // A folder that went away, was made anew or was swapped for another holds no removals: its
    // looks come again, and the cloud keeps every flag. Deletions from then on are the user's.
    void aLostFolderClearsNoFlag_data() {
        QTest::addColumn<QString>("loss");
        QTest::newRow("the folder removed and the engine restarted") << u"removed"_s;
        QTest::newRow("the folder moved away and an empty one made in its place") << u"replaced"_s;
        QTest::newRow("another folder chosen in the settings") << u"chosen"_s;
    }

    void aLostFolderClearsNoFlag() {
        QFETCH(QString, loss);
        const QString warm = createRecord("Warm", warmCube, {{"resolve", true}, {"look", warmLook.toJson()}});
        sync();
        const QString folder = m_engine->lutFolderPath();
        if (loss == u"removed") {
            m_engine.reset();
            QVERIFY(QDir(folder).removeRecursively());
            m_engine = std::make_unique<SyncEngine>(m_services);
            m_engine->start();
            QTRY_VERIFY(m_engine->lastSync());
        } else if (loss == u"replaced") {
            QVERIFY(QDir().rename(folder, folder + " moved away") && QDir().mkpath(folder));
            sync();
        } else {
            m_engine->setLutFolderPath(m_fixture->path("Other LUT"));
            sync();
        }
        QCOMPARE(FileSystem::readAll(lut("Warm.cube")), warmCube);
        QVERIFY(QFile::exists(m_engine->stillPath("Warm.cube")));
        QCOMPARE(requestLines().filter("PATCH"), QStringList());

        QVERIFY(QFile::remove(lut("Warm.cube")));
        sync();
        QCOMPARE(requestLines().filter("PATCH"), QStringList{"PATCH " + records + '/' + warm});
    }

    // A look unmarked on the iPad, its file deleted, then marked again, is delivered again.
    void aReflaggedLookArrives_data() {
        QTest::addColumn<bool>("realtime");
        QTest::newRow("the unmarking seen by a sync") << false;
        QTest::newRow("the unmarking seen on the realtime stream") << true;
    }

    void aReflaggedLookArrives() {
        QFETCH(bool, realtime);
        const QString warm = createRecord("Warm", warmCube, {{"resolve", true}});
        sync();
        const QJsonObject unmarked = patchRecord(warm, {{"resolve", false}});
        if (realtime) {
            m_engine->handle({RealtimeEvent::Action::update, "tintara_luts", warm,
                              Json::compact(QJsonObject{{"action", "update"}, {"record", unmarked}})});
        } else {
            sync();
        }
        QVERIFY(QFile::remove(lut("Warm.cube")));
        patchRecord(warm, {{"resolve", true}});
        requestLines();
        sync();
        QCOMPARE(FileSystem::readAll(lut("Warm.cube")), warmCube);
        QCOMPARE(requestLines().filter("PATCH"), QStringList());
    }

    // Names no file can carry are skipped without blaming the folder; names that meet on one file
    // are numbered, and a deletion reports exactly the record whose file went.
    void namesGiveEachRecordFilesOfItsOwn_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("cubes");
        QTest::addColumn<QStringList>("stills");
        QTest::newRow("a NUL cuts no name short")
            << QStringList{u"nul\0byte"_s, u"tab\tname"_s} << QStringList() << QStringList();
        QTest::newRow("a name of 256 bytes is skipped")
            << QStringList{QString(251, u'a')} << QStringList() << QStringList();
        QTest::newRow("three looks of one name are numbered")
            << QStringList{"Warm", "Warm", "Warm.cube"}
            << QStringList{"Warm 2.cube", "Warm 3.cube", "Warm.cube"}
            << QStringList{"Warm 2.drx", "Warm 3.drx", "Warm.drx"};
        QTest::newRow("names differing in case only are numbered")
            << QStringList{"Warm", "WARM"} << QStringList{"WARM 2.cube", "Warm.cube"}
            << QStringList{"WARM 2.drx", "Warm.drx"};
        QTest::newRow("Warm and Warm.CUBE keep a still each")
            << QStringList{"Warm", "Warm.CUBE"} << QStringList{"Warm.CUBE.cube", "Warm.cube"}
            << QStringList{"Warm.CUBE.drx", "Warm.drx"};
    }

    void namesGiveEachRecordFilesOfItsOwn() {
        QFETCH(QStringList, names);
        QFETCH(QStringList, cubes);
        QFETCH(QStringList, stills);
        QMap<QString, QString> named; // record id to name, which is also the record's file content
        for (const QString& name : names) {
            named.insert(createRecord(name, name.toUtf8(), {{"resolve", true}, {"look", warmLook.toJson()}}),
                         name);
        }
        sync();
        sync();
        QCOMPARE(requestLines().filter("/api/files/").size(), cubes.size()); // each downloaded once
        QCOMPARE(m_engine->folderProblem(), std::nullopt);
        const QDir folder(m_engine->lutFolderPath());
        QCOMPARE(files(folder.path()), cubes);
        QCOMPARE(files(m_engine->stillsFolderPath()), stills);
        if (cubes.isEmpty()) { // logged by each sync
            QCOMPARE(texts().filter("skipped — not a usable file name").size(), 2 * names.size());
            return;
        }
        QString removed;
        for (auto it = m_engine->ledger().pulled.cbegin(); it != m_engine->ledger().pulled.cend(); ++it) {
            QCOMPARE(FileSystem::readAll(folder.filePath(it->fileName)), named.value(it.key()).toUtf8());
            removed = it->fileName == cubes.first() ? it.key() : removed;
        }
        QVERIFY(QFile::remove(folder.filePath(cubes.first())));
        sync();
        QCOMPARE(requestLines().filter("PATCH"), QStringList{"PATCH " + records + '/' + removed});
    }

    // Qt sends a request again when the connection closes before the answer: a second record.
    void anUploadReachesTheServiceAtMostOnce() {
        fail({{"method", "POST"}, {"path", records}, {"close", true}, {"count", 5}});
        QVERIFY(!QCoro::waitFor(m_engine->cloud()->uploadLUT("Day2", "Day2.cube", QByteArray("x"))).record);
        QCOMPARE(requestLines().size(), 1);
        QCOMPARE(m_engine->cloud()->status(), u"Connection closed before the cloud answered"_s);
    }
};

QTEST_GUILESS_MAIN(TestCloudFlows)
#include "TestCloudFlows.moc"
