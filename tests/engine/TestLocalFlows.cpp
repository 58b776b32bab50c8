#include "engine/FileDigest.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>
#include <atomic>

using namespace Qt::StringLiterals;

namespace {

// Counts what the local server asks of discovery, from the server's thread.
struct CountingAdvertiser final : ServiceAdvertiser {
    std::atomic<int> advertised = 0, withdrawn = 0;
    void advertise(const Service&) override { ++advertised; }
    void withdraw() override { ++withdrawn; }
};

} // namespace

// An iPad's side of the local network against the running engine: looks sent in, the inbox
// listed, long-polled and downloaded, and the server following its setting.
class TestLocalFlows : public QObject {
    Q_OBJECT

    EngineFixture m_fixture;
    std::shared_ptr<CountingAdvertiser> m_advertiser = std::make_shared<CountingAdvertiser>();
    std::unique_ptr<SyncEngine> m_engine;
    QNetworkAccessManager m_network;

    QUrl url(const QString& path) const {
        return QUrl(u"http://127.0.0.1:%1%2"_s.arg(*m_engine->localPort()).arg(path));
    }
    QNetworkReply* get(const QString& path) { return m_network.get(QNetworkRequest(url(path))); }
    static std::unique_ptr<QNetworkReply> finished(QNetworkReply* reply) {
        [[maybe_unused]] const bool done = QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
        return std::unique_ptr<QNetworkReply>(reply);
    }
    static int status(const std::unique_ptr<QNetworkReply>& reply) {
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    int post(const QString& name, const QByteArray& cube) {
        QNetworkRequest request(url("/v1/luts"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        const QJsonObject look{{"name", name}, {"cube", QString::fromUtf8(cube)}};
        return status(finished(m_network.post(request, QJsonDocument(look).toJson())));
    }
    QString lut(const QString& name) const { return QDir(m_engine->lutFolderPath()).filePath(name); }

private slots:
    void initTestCase() {
        EngineServices services = m_fixture.services();
        services.inboxSettle = std::chrono::milliseconds(300);
        services.advertiser = m_advertiser;
        m_engine = std::make_unique<SyncEngine>(services);
        m_engine->setLutFolderPath(m_fixture.path("box/LUT"));
        m_engine->start();
        QTRY_VERIFY(m_engine->localPort().has_value());
    }

    void looksLandInsideTheLutFolder_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("landed");
        QTest::newRow("a plain name gains its ending") << "Warm" << 200 << "Warm.cube";
        QTest::newRow("an ending in capitals is kept") << "Day2.CUBE" << 200 << "Day2.CUBE";
        QTest::newRow("a path is reduced to its last part") << "../../etc/x" << 200 << "x.cube";
        QTest::newRow("two dots are refused") << ".." << 500 << "";
        QTest::newRow("a backslash is refused") << "..\\escape" << 500 << "";
        QTest::newRow("a trailing slash leaves no name") << "a/" << 500 << "";
    }

    void looksLandInsideTheLutFolder() {
        QFETCH(QString, name);
        QFETCH(int, status);
        QFETCH(QString, landed);
        const QStringList before = QDir(m_fixture.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        QCOMPARE(post(name, "LUT_3D_SIZE 2\n"), status);
        if (!landed.isEmpty()) {
            QCOMPARE(FileSystem::readAll(lut(landed)), QByteArray("LUT_3D_SIZE 2\n"));
            QVERIFY(QFile::remove(lut(landed)));
        }
        QCOMPARE(QDir(m_fixture.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        QCOMPARE(QDir(lut({})).entryList(QDir::Files), QStringList());
        QVERIFY(!QFile::exists(m_fixture.path("box/escape.cube")));
    }

    void pausedRefusesAndSaysSo() {
        m_engine->setPaused(true);
        QCOMPARE(post("Later", "b"), 500);
        m_engine->setPaused(false);
        QCOMPARE(m_engine->activity().first().text, u"Later refused — paused"_s);
    }

    void aParkedInboxRequestWakesOnceForABurst() {
        const qint64 seq = m_engine->inboxSnapshot().seq;
        QNetworkReply* parked = get(u"/v1/inbox?since=%1"_s.arg(seq));
        QTest::qWait(100);
        QVERIFY(!parked->isFinished());

        const QString inbox = m_engine->inboxFolderPath();
        for (const char* name : {"Day2.cube", "Day3.cube", "Day1.cube"}) {
            QVERIFY(FileSystem::writeAtomically(QDir(inbox).filePath(name), name));
        }
        const QJsonObject listing = QJsonDocument::fromJson(finished(parked)->readAll()).object();
        QCOMPARE(listing["seq"].toInteger(), seq + 1);
        QCOMPARE(listing["items"].toArray().size(), 3);
        QCOMPARE(listing["items"][0]["name"].toString(), u"Day1.cube"_s);
        QTest::qWait(500);
        QCOMPARE(m_engine->inboxSnapshot().seq, seq + 1); // one scan for the burst

        QCOMPARE(finished(get("/v1/inbox/Day2.cube"))->readAll(), QByteArray("Day2.cube"));
        QCOMPARE(status(finished(get("/v1/inbox/..%2F..%2Fledger.json"))), 404);
    }

    void aFileWrittenInPlaceIsScannedWhenFinished() {
        QFile slow(QDir(m_engine->inboxFolderPath()).filePath("Slow.cube"));
        QVERIFY(slow.open(QIODevice::WriteOnly));
        slow.write("first half ");
        slow.flush();
        QTest::qWait(500); // longer than the settle: the first scan sees half the file
        slow.write("second half");
        slow.close();
        QTRY_VERIFY_WITH_TIMEOUT(m_engine->inboxSnapshot().items.contains(
                                     InboxItem{"Slow.cube", sha256Hex("first half second half"), 22}),
                                 3000);
    }

    void theServerFollowsItsSettingAndSigningOut() {
        QTRY_COMPARE(m_advertiser->advertised.load(), 1);
        m_engine->signOut();
        QCOMPARE(m_engine->activity().first().text, u"Signed out"_s);
        QCOMPARE(m_engine->watcher(), nullptr);
        QVERIFY(m_engine->localPort().has_value());

        m_engine->setLocalEnabled(false);
        QTRY_COMPARE(m_engine->localPort(), std::nullopt);
        QTRY_COMPARE(m_advertiser->withdrawn.load(), 1);
        // Stored off, a restarted engine stays silent.
        m_engine.reset();
        m_engine = std::make_unique<SyncEngine>(m_fixture.services());
        m_engine->start();
        QTest::qWait(200);
        QCOMPARE(m_engine->localPort(), std::nullopt);
    }

    void cleanupTestCase() { m_engine.reset(); }
};

QTEST_GUILESS_MAIN(TestLocalFlows)
#include "TestLocalFlows.moc"
