#include "cloud/RealtimeClient.h"
#include "support/CloudTestService.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTest>
#include <QThread>

#include <thread>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

QByteArray changeBlock(const QByteArray& id) {
    return "id:x\nevent:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":\"" + id + "\"}}\n\n";
}

QJsonObject stream(const QByteArray& bytes, int delayMs = 0, bool end = false) {
    const QJsonObject chunk{{u"base64"_s, QString::fromLatin1(bytes.toBase64())}, {u"delayMs"_s, delayMs}};
    return {{u"chunks"_s, QJsonArray{chunk}}, {u"end"_s, end}};
}

// How long a scripted stream that ends stays open after its answer's head.
constexpr int holdMs = 100;
const QJsonObject endedWithoutBody = stream({}, holdMs, true);

RealtimeClient::Timings fast(std::chrono::milliseconds firstRetryDelay = 50ms) {
    return {firstRetryDelay, 200ms, 30s, 5s};
}

} // namespace

class TestRealtimeClient : public QObject {
    Q_OBJECT

    CloudTestService m_service;
    QStringList m_received;            // record ids, as the handler saw them
    bool m_allOnCreatingThread = true; // and without the lock held: the handler may look at itself

    std::unique_ptr<RealtimeClient> makeClient(RealtimeClient::Timings timings = fast()) {
        auto client = std::make_unique<RealtimeClient>(m_service.baseUrl(), timings);
        client->setOnEvent(
            [this, creator = QThread::currentThread(), raw = client.get()](const RealtimeEvent& event) {
                m_received.append(event.recordID);
                m_allOnCreatingThread =
                    m_allOnCreatingThread && QThread::currentThread() == creator && raw->onEvent();
            });
        return client;
    }

    void script(const QJsonArray& streams) {
        m_service.control("POST", u"/_test/realtime/script"_s, QJsonObject{{u"streams"_s, streams}});
    }

    // The times the service saw streams opened (Python's monotonic clock, steady_clock here).
    QJsonArray opens() { return m_service.control("GET", u"/_test/realtime/opens"_s)[u"times"_s].toArray(); }

    // The waits between opens less the hold. The service ends a stream with its last chunk, never
    // by hanging up, so Qt has no lost request to send again behind the client's back.
    QList<int> clientWaits() {
        const QJsonArray times = opens();
        QList<int> waits;
        for (qsizetype i = 1; i < times.size(); ++i) {
            waits.append(int((times[i].toDouble() - times[i - 1].toDouble()) * 1000) - holdMs);
        }
        return waits;
    }

    int send(const QByteArray& bytes) { // to every open stream; the answer is how many there were
        const QJsonObject body{{u"base64"_s, QString::fromLatin1(bytes.toBase64())}};
        return m_service.control("POST", u"/_test/realtime/send"_s, body)[u"streams"_s].toInt(-1);
    }

    QJsonArray requestsTo(const char* method) {
        QJsonArray matching;
        for (const QJsonValue request : m_service.requests()) {
            if (request[u"method"_s].toString() == QLatin1String(method)) {
                matching.append(request);
            }
        }
        return matching;
    }

private slots:
    void initTestCase() { QVERIFY(m_service.start()); }

    void init() {
        QTRY_COMPARE(send({}), 0); // streams of the previous test may still be closing
        m_service.clearRequests();
        m_received.clear();
        m_allOnCreatingThread = true;
    }

    void subscribesOnceAfterTheConnectMessage() {
        QCOMPARE(RealtimeClient::endpoint(QUrl(u"http://127.0.0.1/pb/"_s)),
                 QUrl(u"http://127.0.0.1/pb/api/realtime"_s));
        // The piece ends inside the data line; the complete change before it shows once it is read.
        script({stream(changeBlock("before") + "id:abc\nevent:PB_CONNECT\ndata:{\"clientId\":")});
        auto client = makeClient();
        std::thread([&client] { client->connect(u"token-1"_s); }).join(); // any thread may ask
        QTRY_COMPARE(m_received, QStringList{u"before"_s});

        send("\"abc\"}\n\n");
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        QVERIFY(CloudTestService::body(requestsTo("POST").first()).startsWith(R"({"clientId":"abc",)"));
        QCOMPARE(CloudTestService::header(requestsTo("GET").first(), "accept"), u"text/event-stream"_s);

        QVERIFY(m_allOnCreatingThread);

        // A new connect replaces the stream; the old one is let go of and its end schedules nothing.
        client->connect(u"second"_s);
        QTRY_COMPARE(requestsTo("POST").size(), 2);
        QCOMPARE(CloudTestService::header(requestsTo("GET").last(), "authorization"), u"Bearer second"_s);
        QTRY_COMPARE(send({}), 1);
        QTest::qWait(200);
        QCOMPARE(opens().size(), 2);
    }

    void backsOffBetweenFailedStreams() {
        // The last failed stream sends bytes, which bring the wait back to the first one; it ends
        // inside a block, whose bytes would swallow the next stream's PB_CONNECT were they kept.
        const QJsonObject cutShort = stream("event:PB_CONNECT\ndata:{\"clientId\":\"old", holdMs, true);
        script({endedWithoutBody, endedWithoutBody, endedWithoutBody, endedWithoutBody, cutShort});
        auto client = makeClient({150ms, 600ms, 30s, 5s});
        client->connect(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 10000);
        QVERIFY(!CloudTestService::body(requestsTo("POST").first()).contains("old"));
        // Each bound is below the wait of a client that doubled once too often, or did not stop at
        // the longest wait or start again: a late timer on a loaded machine is not taken for that.
        const QList<int> expected{150, 300, 600, 600, 150};
        const QList<int> waits = clientWaits();
        QVERIFY2(waits.size() == expected.size(), qPrintable(QDebug::toString(waits)));
        for (qsizetype i = 0; i < waits.size(); ++i) {
            QVERIFY2(waits[i] >= expected[i] - 5 && waits[i] < expected[i] + 290,
                     qPrintable(u"wait %1: %2 ms, expected %3"_s.arg(i).arg(waits[i]).arg(expected[i])));
        }
    }

    void aConnectWhileAReconnectIsPendingOpensOneStream() {
        script({endedWithoutBody});
        auto client = makeClient(fast(1500ms)); // long enough for a loaded machine to come between
        client->connect(std::nullopt);
        QTRY_COMPARE(opens().size(), 1);
        QTest::qWait(holdMs + 300); // the end has reached the client; its reconnect is pending
        client->connect(std::nullopt);
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        QTest::qWait(1500); // past the moment the pending reconnect was due
        QCOMPARE(clientWaits().size(), 1);
    }

    void dropsAStreamThatGoesNowhereAndReopens_data() {
        QTest::addColumn<bool>("flood");
        QTest::newRow("a stream silent for the stream timeout is given up") << false;
        QTest::newRow("a stream past the buffer limit without a separator is dropped, twice") << true;
    }

    void dropsAStreamThatGoesNowhereAndReopens() {
        QFETCH(bool, flood);
        RealtimeClient::Timings timings = fast(100ms);
        // Silence is also the fate of the reopened stream once connected: its timeout must outlast
        // the checks below even on a loaded machine.
        timings.streamTimeout = flood ? 30s : 1s;
        timings.bufferLimit = 256 * 1024;
        const QJsonObject flooding = stream(QByteArray(320 * 1024, 'x'));
        script(flood ? QJsonArray{flooding, flooding} : QJsonArray{QJsonObject{}}); // or silent, held open
        auto client = makeClient(timings);
        client->connect(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 5000);
        const QJsonArray times = opens();
        QCOMPARE(times.size(), flood ? 3 : 2);
        QTRY_COMPARE(send({}), 1); // the dropped streams were let go of
        // A dropped flood counts as a failed attempt: the second one waits twice as long. Silence is
        // the timeout (a coarse timer, counted from the request), then the first wait.
        const double first = times[1].toDouble() - times[0].toDouble();
        const double second = flood ? times[2].toDouble() - times[1].toDouble() : 1;
        QVERIFY2(first >= (flood ? 0.095 : 0.9) && second >= 0.195,
                 qPrintable(u"%1 %2"_s.arg(first).arg(second)));
        send(changeBlock("reopened"));
        QTRY_COMPARE(m_received, QStringList{u"reopened"_s});
    }
};

QTEST_GUILESS_MAIN(TestRealtimeClient)
#include "TestRealtimeClient.moc"
