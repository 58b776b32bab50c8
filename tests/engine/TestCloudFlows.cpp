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

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray warmCube = "TITLE \"Warm\"\nLUT_3D_SIZE 33\n0 0 0\n";
const QString records = u"/api/collections/tintara_luts/records"_s;
const LUTLook warmLook{"Warm", "rec709", {1.1, 1.0, 0.9}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.2}, 1.05, {},
                       {},     {}};

// Root searches every folder; this thread gives that up for a while, to see folders as a user does.
void searchAnyFolder(bool allowed) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2]{};
    ::syscall(SYS_capget, &header, caps);
    const unsigned search = 1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH;
    caps[0].effective =
        allowed ? caps[0].effective | (caps[0].permitted & search) : caps[0].effective & ~search;
    ::syscall(SYS_capset, &header, caps);
}

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

    void cleanup() {
        m_engine.reset();
        searchAnyFolder(true);
    }

    // A failed download is reported and tried again; a record gone from the cloud is forgotten and
    // its file stays; a failed listing is reported and is no sync.
    void failuresAreRetriedAndRecordsGoneForgotten() {
        const QString warm = createRecord("Warm", warmCube, {{"resolve", true}});
        fail({{"method", "GET"}, {"path", "/api/files/"}, {"status", 404}});
        sync();
        QVERIFY(texts().contains("Could not download Warm") && m_engine->ledger().pulled.isEmpty());
        sync();
        QCOMPARE(FileSystem::readAll(lut("Warm.cube")), warmCube);
        m_service->control("DELETE", "/_test/records/tintara_luts/" + warm);
        sync();
        QVERIFY(m_engine->ledger().pulled.isEmpty() && QFile::exists(lut("Warm.cube")));

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

    // A scan asked for while one runs is run once, after it, listing the cloud once more.
    void aScanAskedForDuringAScanRunsOnceAfter() {
        const QString inbox = m_engine->inboxFolderPath();
        QVERIFY(FileSystem::writeAtomically(inbox + "/a.cube", "a") &&
                FileSystem::writeAtomically(inbox + "/b.cube", "b"));
        QCoro::Task<> first = m_engine->scanInbox();
        QVERIFY(FileSystem::writeAtomically(inbox + "/c.cube", "c"));
        scan();
        QCoro::waitFor(first);
        QCOMPARE(m_engine->inboxSnapshot().seq, 2);
        QCOMPARE(requestLines(), (QStringList{"GET " + records, "POST " + records, "POST " + records,
                                              "GET " + records, "POST " + records}));
        QVERIFY(QFile::remove(inbox + "/b.cube"));
        scan();
        QCOMPARE(m_engine->inboxSnapshot().seq, 3);
    }

    // A failed replacing upload leaves the ledger for the next scan to try the same record again.
    void aFailedReplacementMakesNoSecondRecord_data() {
        QTest::addColumn<QJsonObject>("failure");
        QTest::addColumn<QString>("logged");
        QTest::newRow("a 500") << QJsonObject{{"status", 500}} << u"B.cube: Could not upload the LUT"_s;
        QTest::newRow("a dropped connection") << QJsonObject{{"close", true}, {"count", 5}}
                                              << u"B.cube: Connection closed before the cloud answered"_s;
    }

    void aFailedReplacementMakesNoSecondRecord() {
        QFETCH(QJsonObject, failure);
        const QString grade = m_engine->inboxFolderPath() + "/B.cube";
        QVERIFY(FileSystem::writeAtomically(grade, "b"));
        scan();
        const QString replace = "PATCH " + records + '/' + m_engine->ledger().pushed.value("B.cube").recordID;
        failure.insert("method", "PATCH");
        fail(failure);
        QVERIFY(FileSystem::writeAtomically(grade, "b2"));
        requestLines();
        scan();
        QFETCH(QString, logged);
        QVERIFY2(texts().last().endsWith(logged), qPrintable(texts().last()));
        QCOMPARE(requestLines(), QStringList{replace});
        scan();
        QCOMPARE(requestLines(), QStringList{replace});
    }

    // Only regular files go up, only while they are still there as they were hashed, and a link
    // named like a look is replaced, never written through.
    void linksAndLateRemovalsAreLeftAlone() {
        const QDir inbox(m_engine->inboxFolderPath());
        const QString outside = m_fixture->path("outside.cube");
        QVERIFY(FileSystem::writeAtomically(outside, warmCube) && QFile::link(outside, lut("Warm.cube")) &&
                QFile::link(outside, inbox.filePath("link.cube")));
        QCOMPARE(::mkfifo(QFile::encodeName(inbox.filePath("pipe.cube")).constData(), 0600), 0);
        QVERIFY(FileSystem::writeAtomically(inbox.filePath("A.cube"), "a") &&
                FileSystem::writeAtomically(inbox.filePath("B.cube"), "b"));
        connect(m_engine.get(), &SyncEngine::activityChanged, this, [&] {
            if (texts().last() == u"A.cube → TINTARA"_s) {
                QFile::remove(inbox.filePath("B.cube"));
            }
        });
        scan();
        QCOMPARE(m_engine->inboxSnapshot().items.size(), 2); // A and B, as they were listed
        QCOMPARE(requestLines(), (QStringList{"GET " + records, "POST " + records}));
        QVERIFY(QCoro::waitFor(m_engine->receiveLUT({"Warm", warmCube, {}, {}})));
        QVERIFY(!QFileInfo(lut("Warm.cube")).isSymLink());
        QCOMPARE(FileSystem::readAll(outside), warmCube);
    }

    // A folder gone, made anew or swapped for another, or a file deleted while its look was not
    // marked for Resolve, holds no removal: the look comes again and the cloud keeps its flag.
    // A deletion from then on is the user's: the cloud is told once, and the cube stays away.
    void onlyTheUsersDeletionIsARemoval_data() {
        QTest::addColumn<QString>("loss");
        QTest::newRow("the folder removed and the engine restarted") << u"removed"_s;
        QTest::newRow("the folder moved away and an empty one made in its place") << u"replaced"_s;
        QTest::newRow("another folder chosen in the settings") << u"chosen"_s;
        QTest::newRow("the file deleted while its look was unmarked on the iPad") << u"unmarked"_s;
    }

    void onlyTheUsersDeletionIsARemoval() {
        QFETCH(QString, loss);
        const QString warm = createRecord("Warm", warmCube, {{"resolve", true}});
        const QString record = "/_test/records/tintara_luts/" + warm;
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
        } else if (loss == u"chosen") {
            m_engine->setLutFolderPath(m_fixture->path("Other LUT"));
        } else {
            m_service->control("PATCH", record, QJsonObject{{"resolve", false}});
            sync();
            QVERIFY(QFile::remove(lut("Warm.cube")));
            m_service->control("PATCH", record, QJsonObject{{"resolve", true}});
        }
        sync();
        QCOMPARE(FileSystem::readAll(lut("Warm.cube")), warmCube);
        QCOMPARE(requestLines().filter("PATCH " + records), QStringList());

        QVERIFY(QFile::remove(lut("Warm.cube")));
        sync();
        QCOMPARE(requestLines().filter("PATCH " + records), QStringList{"PATCH " + records + '/' + warm});
        QCOMPARE(texts().last(), u"Warm.cube removed from Resolve — no longer sent to DaVinci"_s);
        QVERIFY(!QFile::exists(lut("Warm.cube")));
    }

    // A folder that hides its looks without anyone deleting them (its permissions changed, its drive
    // unplugged) has nothing removed, and nothing downloaded again for it.
    void aFolderThatHidesItsLooksLosesNone_data() {
        QTest::addColumn<bool>("unplugged");
        QTest::newRow("a folder that may no longer be searched") << false;
        QTest::newRow("a folder whose drive is unplugged") << true;
    }

    void aFolderThatHidesItsLooksLosesNone() {
        QFETCH(bool, unplugged);
        createRecord("Warm", warmCube, {{"resolve", true}});
        sync();
        const QString folder = m_engine->lutFolderPath();
        QVERIFY(unplugged ? QDir().rename(folder, folder + " unplugged")
                          : ::chmod(QFile::encodeName(folder), 0644) == 0);
        searchAnyFolder(false);
        const QStringList before = texts();
        requestLines();
        sync();
        searchAnyFolder(true);
        QVERIFY(unplugged ? QDir().rename(folder + " unplugged", folder)
                          : ::chmod(QFile::encodeName(folder), 0755) == 0);
        QCOMPARE(requestLines(), QStringList{"GET " + records});
        QCOMPARE(texts(), before);
        QCOMPARE(m_engine->ledger().pulled.size(), 1);
    }

    // Looks of one name that come down at the same time (two events of the stream) get a file each.
    void looksOfOneNameComingDownTogetherKeepTheirOwnFiles() {
        createRecord("Warm", "first", {{"resolve", true}});
        createRecord("Warm", "second", {{"resolve", true}});
        const QList<LUTRecord> both = *QCoro::waitFor(m_engine->cloud()->listRecords());
        QCoro::Task<bool> first = m_engine->pull(both[0]);
        QVERIFY(QCoro::waitFor(m_engine->pull(both[1])) && QCoro::waitFor(first));
        const QSet<QByteArray> delivered{FileSystem::readAll(lut("Warm.cube")).value_or(""),
                                         FileSystem::readAll(lut("Warm 2.cube")).value_or("")};
        QCOMPARE(delivered, (QSet<QByteArray>{"first", "second"}));
    }

    // Names no file can carry are skipped without blaming the folder; names that meet on one file
    // are numbered, each downloaded once, and a deletion reports exactly the record whose file went.
    void namesGiveEachRecordFilesOfItsOwn_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("files"); // cubes and stills
        QTest::newRow("a NUL or a tab cuts no name short")
            << QStringList{u"nul\0byte"_s, u"tab\tname"_s} << QStringList();
        QTest::newRow("a name of 256 bytes is skipped") << QStringList{QString(251, u'a')} << QStringList();
        QTest::newRow("three looks of one name are numbered")
            << QStringList{"Warm", "Warm", "Warm.cube"}
            << QStringList{"Warm 2.cube", "Warm 2.drx", "Warm 3.cube", "Warm 3.drx", "Warm.cube", "Warm.drx"};
        QTest::newRow("names differing in case only are numbered")
            << QStringList{"Warm", "WARM"}
            << QStringList{"WARM 2.cube", "WARM 2.drx", "Warm.cube", "Warm.drx"};
    }

    void namesGiveEachRecordFilesOfItsOwn() {
        QFETCH(QStringList, names);
        QFETCH(QStringList, files);
        for (const QString& name : names) {
            createRecord(name, name.toUtf8(), {{"resolve", true}, {"look", warmLook.toJson()}});
        }
        sync();
        sync();
        QCOMPARE(requestLines().filter("/api/files/").size(), files.size() / 2);
        QCOMPARE(m_engine->folderProblem(), std::nullopt);
        QStringList found = QDir(m_engine->lutFolderPath()).entryList(QDir::Files) +
                            QDir(m_engine->stillsFolderPath()).entryList(QDir::Files);
        found.sort();
        QCOMPARE(found, files);
        QCOMPARE(texts().filter("skipped — not a usable file name").size(),
                 files.isEmpty() ? names.size() : 0); // once, not at every sync
        if (!files.isEmpty()) {
            QVERIFY(QFile::remove(lut(files.first())));
            sync();
            QCOMPARE(requestLines().filter("PATCH").size(), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TestCloudFlows)
#include "TestCloudFlows.moc"
