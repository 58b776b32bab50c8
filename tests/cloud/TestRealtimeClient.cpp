#include "cloud/RealtimeClient.h"
#include "support/CloudTestService.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QThread>

#include <memory>
#include <thread>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const auto header = &CloudTestService::header;

QByteArray changeBlock(const QByteArray& id) {
    return "id:x\nevent:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":\"" + id + "\"}}\n\n";
}

QJsonObject chunk(const QByteArray& bytes, int delayMs = 0) {
    return QJsonObject{{u"base64"_s, QString::fromLatin1(bytes.toBase64())}, {u"delayMs"_s, delayMs}};
}

// How long a scripted stream that ends stays open after its answer's head. When the head and the
// end reach Qt together, Qt's HTTP layer may resend the request by itself, which would muddle the
// counting of opens; this wait keeps them apart even on a busy machine.
constexpr int holdMs = 100;

// A stream answered and ended without a byte of body.
const QJsonObject endedWithoutBody{{u"chunks"_s, QJsonArray{chunk({}, holdMs)}}, {u"close"_s, true}};

RealtimeClient::Timings fast(std::chrono::milliseconds firstRetryDelay = 50ms) {
    RealtimeClient::Timings timings;
    timings.firstRetryDelay = firstRetryDelay;
    timings.maxRetryDelay = 400ms;
    timings.streamTimeout = 30s;
    timings.subscribeTimeout = 5s;
    return timings;
}

} // namespace

class TestRealtimeClient : public QObject {
    Q_OBJECT

    std::unique_ptr<CloudTestService> m_service;
    QStringList m_received; // record ids, as the handler saw them
    bool m_allOnCreatingThread = true;

    std::unique_ptr<RealtimeClient> makeClient(RealtimeClient::Timings timings = fast()) {
        auto client = std::make_unique<RealtimeClient>(m_service->baseUrl(), timings);
        client->setOnEvent([this, creator = QThread::currentThread()](const RealtimeEvent& event) {
            m_received.append(event.recordID);
            m_allOnCreatingThread = m_allOnCreatingThread && QThread::currentThread() == creator;
        });
        return client;
    }

    void script(const QJsonArray& streams) {
        m_service->control("POST", u"/_test/realtime/script"_s, QJsonObject{{u"streams"_s, streams}});
    }

    // The times the service saw streams opened, and the waits between them less the hold of an ended
    // stream. Now and then Qt's HTTP layer sends a request of its own just after the service ends a
    // connection, one the client never made; it follows the end within milliseconds and is left out.
    QList<double> openTimes() {
        QList<double> times;
        for (const QJsonValue time :
             m_service->control("GET", u"/_test/realtime/opens"_s)[u"times"_s].toArray()) {
            times.append(time.toDouble());
        }
        return times;
    }
    QList<int> clientWaits() {
        const QList<double> times = openTimes();
        QList<int> waits;
        for (qsizetype i = 1, last = 0; i < times.size(); ++i) {
            const int wait = int((times[i] - times[last]) * 1000) - holdMs;
            if (wait >= 25) {
                waits.append(wait);
                last = i;
            }
        }
        return waits;
    }

    // Every stream the service holds open gets the bytes; the answer is how many there were.
    int send(const QByteArray& bytes) {
        return m_service
            ->control("POST", u"/_test/realtime/send"_s,
                      QJsonObject{{u"base64"_s, QString::fromLatin1(bytes.toBase64())}})[u"streams"_s]
            .toInt(-1);
    }

    QJsonArray requestsTo(const char* method) {
        QJsonArray matching;
        for (const QJsonValue request : m_service->requests()) {
            if (request[u"method"_s].toString() == QLatin1String(method) &&
                request[u"path"_s].toString() == u"/api/realtime") {
                matching.append(request);
            }
        }
        return matching;
    }

private slots:
    void initTestCase() {
        m_service = std::make_unique<CloudTestService>();
        QVERIFY(m_service->start());
    }

    void init() {
        // Streams of the previous test may still be closing.
        QTRY_COMPARE(send({}), 0);
        m_service->clearRequests();
        m_received.clear();
        m_allOnCreatingThread = true;
    }

    void appendsTheEndpointToTheBase() {
        QCOMPARE(RealtimeClient::endpoint(QUrl(u"http://127.0.0.1:8090/"_s)),
                 QUrl(u"http://127.0.0.1:8090/api/realtime"_s));
        QCOMPARE(RealtimeClient::endpoint(QUrl(u"http://127.0.0.1/pb"_s)),
                 QUrl(u"http://127.0.0.1/pb/api/realtime"_s));
    }

    void subscribesOnceAfterTheConnectMessage() {
        // The first piece ends inside the data line; a complete change before it shows when the
        // client has read the piece.
        script({QJsonObject{
            {u"chunks"_s,
             QJsonArray{chunk(changeBlock("before") + "id:abc\nevent:PB_CONNECT\ndata:{\"clientId\":")}}}});
        auto client = makeClient();
        // Any thread may ask for the stream; the work happens on the client's own.
        std::thread([&client] { client->connect(u"token-1"_s); }).join();
        QTRY_COMPARE(m_received, QStringList{u"before"_s});
        // A subscription would follow the read at once; give it time to show before ruling it out.
        QTest::qWait(100);
        QCOMPARE(requestsTo("POST").size(), 0);

        send("\"abc\"}\n\n");
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        const QJsonValue post = requestsTo("POST").first();
        QCOMPARE(CloudTestService::body(post),
                 R"({"clientId":"abc","subscriptions":["tintara_looks","tintara_luts",)"
                 R"("tintara_projects","tintara_shots"]})");
        QCOMPARE(header(post, "content-type"), u"application/json"_s);
        QCOMPARE(header(post, "authorization"), u"Bearer token-1"_s);
        const QJsonValue get = requestsTo("GET").first();
        QCOMPARE(header(get, "accept"), u"text/event-stream"_s);
        QCOMPARE(header(get, "authorization"), u"Bearer token-1"_s);

        // A later change on the same stream neither resubscribes nor is lost.
        send(changeBlock("after"));
        QTRY_COMPARE(m_received, (QStringList{u"before"_s, u"after"_s}));
        QCOMPARE(requestsTo("POST").size(), 1);
        QVERIFY(m_allOnCreatingThread);

        // A new connect replaces the stream; the old one is let go of and its end schedules nothing.
        client->connect(u"second"_s);
        QTRY_COMPARE(requestsTo("POST").size(), 2);
        QCOMPARE(header(requestsTo("GET").last(), "authorization"), u"Bearer second"_s);
        QTRY_COMPARE(send({}), 1);
        QTest::qWait(200);
        QCOMPARE(openTimes().size(), 2);

        // A token that would smuggle a header of its own into the request is not sent.
        client->connect(u"third\r\nX-Injected: yes"_s);
        QTRY_COMPARE(requestsTo("POST").size(), 3);
        for (const QJsonArray& requests : {requestsTo("GET"), requestsTo("POST")}) {
            QCOMPARE(header(requests.last(), "authorization"), u"(absent)"_s);
            QCOMPARE(header(requests.last(), "x-injected"), u"(absent)"_s);
        }
    }

    void aReopenedStreamStartsAfresh() {
        // The first stream ends inside a block; were its bytes kept, they would swallow the next
        // stream's PB_CONNECT and no subscription would follow.
        script({QJsonObject{
            {u"chunks"_s,
             QJsonArray{chunk("id:old\nevent:PB_CONNECT\ndata:{\"clientId\":\"old", 30), chunk({}, holdMs)}},
            {u"close"_s, true}}});
        auto client = makeClient();
        client->connect(std::nullopt);
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        QVERIFY(!CloudTestService::body(requestsTo("POST").first()).contains("old"));
    }

    void backsOffBetweenFailedStreams() {
        QCOMPARE(RealtimeClient::Timings{}.firstRetryDelay, 2s);
        QCOMPARE(RealtimeClient::Timings{}.maxRetryDelay, 60s);
        // Streams that end without a byte, then a normal one.
        script(QJsonArray{endedWithoutBody, endedWithoutBody, endedWithoutBody, endedWithoutBody,
                          endedWithoutBody});
        auto client = makeClient();
        client->connect(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 10000);
        const QList<int> waits = clientWaits();
        QCOMPARE(waits.size(), 5);
        for (qsizetype i = 0; i < waits.size(); ++i) {
            const int expected = std::min(50 << i, 400);
            QVERIFY2(waits[i] >= expected - 5 && waits[i] < expected + 200,
                     qPrintable(u"wait %1: %2 ms, expected %3"_s.arg(i).arg(waits[i]).arg(expected)));
        }

        // The bytes of the normal stream brought the wait back to the first one: cut it, and the
        // client is back within about 50 ms rather than 400.
        m_service->clearRequests();
        // Python's time.monotonic(), which stamps the stream opens, reads the same clock.
        const double cutAt =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        m_service->control("POST", u"/_test/realtime/cut"_s);
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        const double wait = openTimes().last() - cutAt;
        QVERIFY2(wait >= 0.04 && wait < 0.3, qPrintable(QString::number(wait)));
    }

    void aConnectWhileAReconnectIsPendingOpensOneStream() {
        script({endedWithoutBody});
        auto client = makeClient(fast(300ms));
        client->connect(std::nullopt);
        QTRY_COMPARE(openTimes().size(), 1);
        // The ended stream's end reaches the client well within this; its reconnect is then pending.
        QTest::qWait(holdMs + 100);
        client->connect(std::nullopt);
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        // Past the moment the pending reconnect was due.
        QTest::qWait(400);
        QCOMPARE(clientWaits().size(), 1);
    }

    void aHandlerClearedWhileAnEventIsOnItsWayIsNotCalled() {
        auto client = std::make_unique<RealtimeClient>(m_service->baseUrl(), fast());
        QStringList calls;
        client->setOnEvent([&calls, raw = client.get()](const RealtimeEvent& event) {
            calls.append(event.recordID);
            // Both events were read from one piece, so the second is queued behind this call by the
            // time it ends; holding this thread a moment makes sure of it.
            QThread::msleep(100);
            // Called without the lock held, so the handler may replace itself.
            raw->setOnEvent(nullptr);
        });
        script({QJsonObject{{u"chunks"_s, QJsonArray{chunk(changeBlock("first") + changeBlock("second"))}}}});
        client->connect(std::nullopt);
        QTRY_COMPARE(calls, QStringList{u"first"_s});

        // A new handler receives what comes next, and nothing of the event that was on its way.
        QStringList later;
        client->setOnEvent([&later](const RealtimeEvent& event) { later.append(event.recordID); });
        send(changeBlock("third"));
        QTRY_COMPARE(later, QStringList{u"third"_s});
        QCOMPARE(calls.size(), 1);
    }

    void dropsAStreamThatGoesNowhereAndReopens_data() {
        QTest::addColumn<bool>("flood");
        QTest::newRow("a stream silent for the stream timeout is given up") << false;
        QTest::newRow("a stream past the buffer limit without a separator is dropped, twice") << true;
    }

    void dropsAStreamThatGoesNowhereAndReopens() {
        QFETCH(bool, flood);
        RealtimeClient::Timings timings = fast(100ms);
        timings.streamTimeout = 300ms;
        QJsonArray streams{QJsonObject{}}; // answered, then silent and held open
        if (flood) {
            // Streams that never end a block; each sends more than the limit, then stays open.
            timings.streamTimeout = 30s;
            timings.bufferLimit = 256 * 1024;
            QJsonArray chunks;
            for (int i = 0; i < 5; ++i) {
                chunks.append(chunk(QByteArray(64 * 1024, 'x')));
            }
            streams = {QJsonObject{{u"chunks"_s, chunks}}, QJsonObject{{u"chunks"_s, chunks}}};
        }
        script(streams);
        auto client = makeClient(timings);
        client->connect(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 5000);
        const QList<double> times = openTimes();
        QCOMPARE(times.size(), flood ? 3 : 2);
        // The dropped streams were let go of by the client; only the normal one is left.
        QTRY_COMPARE(send({}), 1);
        if (flood) {
            // A dropped flood counts as a failed attempt: the second one waits twice as long.
            QVERIFY2(times[1] - times[0] >= 0.095, qPrintable(QString::number(times[1] - times[0])));
            QVERIFY2(times[2] - times[1] >= 0.195, qPrintable(QString::number(times[2] - times[1])));
        } else {
            // The silence timeout (a coarse timer, which may fire up to 5% early), then the first wait.
            QVERIFY2(times[1] - times[0] >= 0.38, qPrintable(QString::number(times[1] - times[0])));
        }
        // And the reopened stream works.
        send(changeBlock("reopened"));
        QTRY_COMPARE(m_received, QStringList{u"reopened"_s});
    }

    void destructionDropsAnEventOnItsWay() {
        auto client = makeClient(fast(300ms));
        script({QJsonObject{{u"chunks"_s, QJsonArray{chunk(changeBlock("late"))}}}});
        client->connect(std::nullopt);
        // Waits without running this thread's event loop, so the event read by the client's own
        // thread is queued here but not delivered.
        QElapsedTimer waited;
        waited.start();
        while (send({}) != 1 && waited.elapsed() < 5000) {
            QThread::msleep(10);
        }
        QThread::msleep(200);
        QElapsedTimer timer;
        timer.start();
        client.reset();
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));

        // Nothing of the client is left: no stream, no reconnect, no late delivery.
        QTRY_COMPARE(send({}), 0);
        QTest::qWait(300);
        QCOMPARE(openTimes().size(), 1);
        QCOMPARE(m_received, QStringList());
    }
};

QTEST_GUILESS_MAIN(TestRealtimeClient)
#include "TestRealtimeClient.moc"
