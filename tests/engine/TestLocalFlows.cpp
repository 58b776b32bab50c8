#include "engine/FileDigest.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "support/EngineFixture.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>

using namespace Qt::StringLiterals;

// An iPad's side of the local network against the running engine: looks sent in, the inbox
// listed, long-polled and downloaded.
class TestLocalFlows : public QObject {
    Q_OBJECT

    EngineFixture m_fixture;
    std::unique_ptr<SyncEngine> m_engine;
    QNetworkAccessManager m_network;

    QUrl url(const QString& path) const {
        return QUrl(u"http://127.0.0.1:%1%2"_s.arg(*m_engine->localPort()).arg(path));
    }
    QNetworkReply* get(const QString& path) { return m_network.get(QNetworkRequest(url(path))); }
    static QNetworkReply* finished(QNetworkReply* reply) {
        [[maybe_unused]] const bool done = QTest::qWaitFor([reply] { return reply->isFinished(); }, 10000);
        return reply;
    }
    int post(const QString& name, const QByteArray& cube) {
        QNetworkRequest request(url("/v1/luts"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        const QJsonObject look{{"name", name}, {"cube", QString::fromUtf8(cube)}};
        std::unique_ptr<QNetworkReply> reply(finished(m_network.post(request, QJsonDocument(look).toJson())));
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    }
    QString lut(const QString& name) const { return QDir(m_engine->lutFolderPath()).filePath(name); }

private slots:
    void initTestCase() {
        EngineServices services = m_fixture.services();
        services.inboxSettle = std::chrono::milliseconds(500);
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

    void theSameLookTwiceIsWrittenOnceAndPausingRefuses() {
        QCOMPARE(post("Twice", "a"), 200);
        const qsizetype logged = m_engine->activity().size();
        QCOMPARE(post("Twice", "a"), 200);
        QCOMPARE(m_engine->activity().size(), logged);

        m_engine->setPaused(true);
        QCOMPARE(post("Later", "b"), 500);
        QCOMPARE(m_engine->activity().first().text, u"Later refused — paused"_s);
        QVERIFY(!QFile::exists(lut("Later.cube")));
        m_engine->setPaused(false);
    }

    void aParkedInboxRequestWakesOnceForABurst() {
        const qint64 seq = m_engine->inboxSnapshot().seq;
        std::unique_ptr<QNetworkReply> parked(get(u"/v1/inbox?since=%1"_s.arg(seq)));
        QTest::qWait(300);
        QVERIFY(!parked->isFinished());

        const QString inbox = m_engine->inboxFolderPath();
        for (const char* name : {"Day2.cube", "Day3.cube", "Day1.cube"}) {
            QVERIFY(FileSystem::writeAtomically(QDir(inbox).filePath(name), name));
        }
        QTRY_VERIFY_WITH_TIMEOUT(parked->isFinished(), 5000);
        const QJsonObject listing = QJsonDocument::fromJson(parked->readAll()).object();
        QCOMPARE(listing["seq"].toInteger(), seq + 1);
        QCOMPARE(listing["items"].toArray().size(), 3);
        QCOMPARE(listing["items"][0]["name"].toString(), u"Day1.cube"_s);
        QTest::qWait(700);
        QCOMPARE(m_engine->inboxSnapshot().seq, seq + 1); // one scan for the burst

        std::unique_ptr<QNetworkReply> file(finished(get("/v1/inbox/Day2.cube")));
        QCOMPARE(file->readAll(), QByteArray("Day2.cube"));
        std::unique_ptr<QNetworkReply> escape(finished(get("/v1/inbox/..%2F..%2Fledger.json")));
        QCOMPARE(escape->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
    }

    void aFileWrittenInPlaceIsScannedWhenFinished() {
        QFile slow(QDir(m_engine->inboxFolderPath()).filePath("Slow.cube"));
        QVERIFY(slow.open(QIODevice::WriteOnly));
        slow.write("first half ");
        slow.flush();
        QTest::qWait(700); // longer than the settle: the first scan sees half the file
        slow.write("second half");
        slow.close();
        QTRY_VERIFY_WITH_TIMEOUT(m_engine->inboxSnapshot().items.contains(
                                     InboxItem{"Slow.cube", sha256Hex("first half second half"), 22}),
                                 3000);
    }

    void cleanupTestCase() { m_engine.reset(); }
};

QTEST_GUILESS_MAIN(TestLocalFlows)
#include "TestLocalFlows.moc"
