#include "records/CloudRecords.h"
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
const auto bodyOf = &CloudTestService::body;

QString describe(const RealtimeEvent& event) {
    return u"%1 %2 %3 raw=%4"_s.arg(EventStream::actionText(event.action), event.collection, event.recordID,
                                    QString::fromUtf8(event.raw));
}

QByteArray changeBlock(const QByteArray& event, const QByteArray& action, const QByteArray& id) {
    return "id:x\nevent:" + event + "\ndata:{\"action\":\"" + action + "\",\"record\":{\"id\":\"" + id +
           "\"}}\n\n";
}

// What the handler shows for a change made with changeBlock.
QString changeSeen(const QString& action, const QString& collection, const QString& id) {
    return QStringLiteral(R"(%1 %2 %3 raw={"action":"%1","record":{"id":"%3"}})").arg(action, collection, id);
}

QJsonObject chunk(const QByteArray& bytes, int delayMs = 0) {
    return QJsonObject{{u"base64"_s, QString::fromLatin1(bytes.toBase64())}, {u"delayMs"_s, delayMs}};
}

QJsonObject scriptedStream(const QJsonArray& chunks, bool close = false) {
    return QJsonObject{{u"chunks"_s, chunks}, {u"close"_s, close}};
}

// How long a scripted stream that ends stays open after its answer's head. When the head and the
// end reach Qt together (or the connection drops before any answer), Qt's HTTP layer may resend
// the request by itself, which would muddle the counting of opens; this wait keeps them apart
// even on a busy machine.
constexpr int holdMs = 100;

// A stream answered and ended without a byte of body.
QJsonObject endedWithoutBody() {
    return scriptedStream({chunk({}, holdMs)}, true);
}

// The waits the client itself made between the streams the service saw opened, each after a
// stream ended by the service (which holds it for holdMs first). Now and then Qt's HTTP layer
// sends a request of its own just after the service ends a connection, one the client never made
// and whose answer reaches nobody; it follows the end within milliseconds, sooner than the client
// ever reopens, and is left out.
QList<int> clientWaits(const QList<double>& times) {
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

// Python's time.monotonic(), which stamps the service's stream opens, reads this same clock.
double monotonicSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Collects what reaches the handler, and on which thread.
struct Received {
    QStringList events;
    QList<RealtimeEvent> raw;
    bool allOnCreatingThread = true;
};

RealtimeClient::Timings fast() {
    RealtimeClient::Timings timings;
    timings.firstRetryDelay = 50ms;
    timings.maxRetryDelay = 800ms;
    timings.streamTimeout = 30s;
    timings.subscribeTimeout = 5s;
    return timings;
}

} // namespace

class TestRealtimeClient : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<CloudTestService> m_service;
    Received m_received;

    std::unique_ptr<RealtimeClient> makeClient(RealtimeClient::Timings timings = fast()) {
        auto client = std::make_unique<RealtimeClient>(m_service->baseUrl(), timings);
        QThread* creator = QThread::currentThread();
        Received* received = &m_received;
        client->setOnEvent([received, creator](const RealtimeEvent& event) {
            received->events.append(describe(event));
            received->raw.append(event);
            received->allOnCreatingThread =
                received->allOnCreatingThread && QThread::currentThread() == creator;
        });
        return client;
    }

    void script(const QJsonArray& streams) {
        m_service->control("POST", u"/_test/realtime/script"_s, QJsonObject{{u"streams"_s, streams}});
        QCOMPARE(m_service->lastStatus(), 200);
    }

    QList<double> openTimes() {
        QList<double> times;
        for (const QJsonValue& time :
             m_service->control("GET", u"/_test/realtime/opens"_s).toObject().value(u"times"_s).toArray()) {
            times.append(time.toDouble());
        }
        return times;
    }

    int openCount() { return int(openTimes().size()); }

    int send(const QByteArray& bytes) {
        // Every stream the service still holds open gets the bytes; it answers how many there were.
        return m_service
            ->control("POST", u"/_test/realtime/send"_s,
                      QJsonObject{{u"base64"_s, QString::fromLatin1(bytes.toBase64())}})
            .toObject()
            .value(u"streams"_s)
            .toInt(-1);
    }

    bool waitForOpenStreams(int expected) {
        // The service notices a stream closed by its peer only after half a second without writes to
        // it, and every probe is a write; so the probes are spaced further apart than that.
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (send({}) == expected) {
                return true;
            }
            QTest::qWait(700);
        }
        return false;
    }

    QJsonArray requestsTo(const QByteArray& method) {
        QJsonArray matching;
        for (const QJsonValue& request : m_service->requests()) {
            const QJsonObject object = request.toObject();
            if (object.value(u"method"_s).toString().toUtf8() == method &&
                object.value(u"path"_s).toString() == u"/api/realtime") {
                matching.append(object);
            }
        }
        return matching;
    }

private slots:
    void init() {
        m_service = std::make_unique<CloudTestService>();
        QVERIFY(m_service->start());
        m_received = {};
    }

    void cleanup() { m_service.reset(); }

    void appendsTheEndpointToTheBase_data() {
        QTest::addColumn<QUrl>("base");
        QTest::addColumn<QUrl>("endpoint");
        QTest::newRow("a host with a slash")
            << QUrl("http://127.0.0.1:8090/") << QUrl("http://127.0.0.1:8090/api/realtime");
        QTest::newRow("a base path without a trailing slash")
            << QUrl("http://127.0.0.1/pb") << QUrl("http://127.0.0.1/pb/api/realtime");
    }

    void appendsTheEndpointToTheBase() {
        QFETCH(QUrl, base);
        QFETCH(QUrl, endpoint);
        QCOMPARE(RealtimeClient::endpoint(base), endpoint);
    }

    void subscribesOnceAfterASplitConnect() {
        // The first piece ends inside the data line; a complete change before it shows when the
        // client has read the piece.
        script({scriptedStream({chunk(changeBlock("tintara_luts", "create", "before") +
                                      "id:abc\nevent:PB_CONNECT\ndata:{\"clientId\":")})});
        auto client = makeClient();
        client->connect(u"token-1"_s);

        QTRY_COMPARE(m_received.events.size(), 1);
        // A subscription would follow the read at once; give it time to show before ruling it out.
        QTest::qWait(200);
        QCOMPARE(requestsTo("POST").size(), 0);

        send("\"abc\"}\n\n");
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        const QJsonValue post = requestsTo("POST").first();
        QCOMPARE(bodyOf(post), R"({"clientId":"abc","subscriptions":["tintara_looks","tintara_luts",)"
                               R"("tintara_projects","tintara_shots"]})");
        QCOMPARE(header(post, "content-type"), u"application/json"_s);
        QCOMPARE(header(post, "authorization"), u"Bearer token-1"_s);
        const QJsonArray gets = requestsTo("GET");
        QCOMPARE(gets.size(), 1);
        QCOMPARE(header(gets.first(), "accept"), u"text/event-stream"_s);
        QCOMPARE(header(gets.first(), "authorization"), u"Bearer token-1"_s);

        // A later change on the same stream neither resubscribes nor is lost.
        send(changeBlock("tintara_luts", "update", "after"));
        QTRY_COMPARE(m_received.events.size(), 2);
        QCOMPARE(requestsTo("POST").size(), 1);
    }

    void deliversOnlyWellFormedChanges_data() {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("two and a half blocks in one piece give two changes, and the half waits for its end")
            << QList<QByteArray>{changeBlock("tintara_luts", "create", "one") +
                                     changeBlock("tintara_shots/two", "update", "two") +
                                     "event:tintara_looks\ndata:{\"action\":\"delete\",",
                                 "\"record\":{\"id\":\"three\"}}\n\n"}
            << QStringList{changeSeen("create", "tintara_luts", "one"),
                           changeSeen("update", "tintara_shots", "two"),
                           changeSeen("delete", "tintara_looks", "three")};
        QTest::newRow("a delete named after collection and record id keeps the space in raw")
            << QList<QByteArray>{"event:tintara_luts/r1\ndata: "
                                 "{\"action\":\"delete\",\"record\":{\"id\":\"r1\"}}"
                                 "\n\n"}
            << QStringList{R"(delete tintara_luts r1 raw= {"action":"delete","record":{"id":"r1"}})"};
        QTest::newRow("CR LF separated blocks are not recognised")
            << QList<QByteArray>{"event:tintara_luts\r\ndata:{\"action\":\"create\",\"record\":{\"id\":"
                                 "\"c1\"}}\r\n\r\n"
                                 "event:tintara_luts\r\ndata:{\"action\":\"create\",\"record\":{\"id\":"
                                 "\"c2\"}}\r\n\r\n\n\n"}
            << QStringList{};
        QTest::newRow("an unknown collection and an unknown action are dropped and the stream goes on")
            << QList<QByteArray>{changeBlock("users", "create", "u1") +
                                 changeBlock("tintara_luts", "created", "u2") +
                                 changeBlock("tintara_projects", "update", "p1")}
            << QStringList{changeSeen("update", "tintara_projects", "p1")};
        QTest::newRow("invalid UTF-8 and JSON of the wrong shape are dropped")
            << QList<
                   QByteArray>{"event:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":\"\xff\"}}"
                               "\n\n"
                               "event:tintara_luts\ndata:[1,2]\n\nevent:tintara_luts\ndata:{\"action\":\n\n"}
            << QStringList{};
    }

    void deliversOnlyWellFormedChanges() {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QStringList, expected);

        // A well-formed change after the bytes under test marks the point where all of them were read.
        QJsonArray chunks;
        for (const QByteArray& piece : pieces) {
            chunks.append(chunk(piece, 20));
        }
        chunks.append(chunk(changeBlock("tintara_luts", "update", "marker"), 20));
        script({scriptedStream(chunks)});
        auto client = makeClient();
        client->connect(std::nullopt);

        expected.append(changeSeen("update", "tintara_luts", "marker"));
        QTRY_COMPARE(m_received.events.size(), expected.size());
        QCOMPARE(m_received.events, expected);
        QVERIFY(m_received.allOnCreatingThread);
    }

    void aReopenedStreamStartsAfresh() {
        // The first stream ends inside a block; were its bytes kept, they would swallow the next
        // stream's PB_CONNECT and no subscription would follow.
        script({scriptedStream(
            {chunk("id:old\nevent:PB_CONNECT\ndata:{\"clientId\":\"old", 30), chunk({}, 30)}, true)});
        auto client = makeClient();
        client->connect(std::nullopt);
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        const QJsonArray clients = m_service->control("GET", u"/_test/realtime/clients"_s).toArray();
        QCOMPARE(clients.size(), 1);
        QCOMPARE(QJsonDocument::fromJson(bodyOf(requestsTo("POST").first())).object().value("clientId"),
                 clients.first().toObject().value(u"clientId"_s));
    }

    void connectReplacesTheOpenStream() {
        auto client = makeClient();
        // Any thread may ask for the stream; the work happens on the client's own.
        std::thread caller([&client] { client->connect(std::nullopt); });
        caller.join();
        QTRY_COMPARE(requestsTo("POST").size(), 1);
        QCOMPARE(header(requestsTo("GET").first(), "authorization"), u"(absent)"_s);
        QCOMPARE(header(requestsTo("POST").first(), "authorization"), u"(absent)"_s);

        client->connect(u"second"_s);
        QTRY_COMPARE(requestsTo("POST").size(), 2);
        QCOMPARE(requestsTo("GET").size(), 2);
        QCOMPARE(header(requestsTo("GET").last(), "authorization"), u"Bearer second"_s);
        // The old stream is let go of, and its end schedules nothing.
        QVERIFY(waitForOpenStreams(1));
        QTest::qWait(300);
        QCOMPARE(openCount(), 2);

        // A token that would smuggle a header of its own into the request is not sent.
        client->connect(u"third\r\nX-Injected: yes"_s);
        QTRY_COMPARE(requestsTo("POST").size(), 3);
        for (const QJsonArray& requests : {requestsTo("GET"), requestsTo("POST")}) {
            QCOMPARE(header(requests.last(), "authorization"), u"(absent)"_s);
            QCOMPARE(header(requests.last(), "x-injected"), u"(absent)"_s);
        }
    }

    void backsOffBetweenFailedStreams() {
        // Streams that end without a byte, then a normal one.
        QJsonArray streams;
        for (int i = 0; i < 7; ++i) {
            streams.append(endedWithoutBody());
        }
        script(streams);

        auto client = makeClient();
        client->connect(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 10000);

        const QList<int> waits = clientWaits(openTimes());
        QVERIFY2(waits.size() >= 5, QByteArray::number(waits.size()).constData());
        for (qsizetype i = 0; i < waits.size(); ++i) {
            const int expected = std::min(50 << i, 800);
            const QByteArray where = QByteArray("wait ") + QByteArray::number(i) + ": " +
                                     QByteArray::number(waits[i]) + " ms, expected " +
                                     QByteArray::number(expected);
            QVERIFY2(waits[i] >= expected - 5 && waits[i] < expected + 250, where.constData());
        }

        // The bytes of the normal stream brought the wait back to the first one: cut it, and the
        // client is back within about 50 ms rather than 800.
        const int opensBefore = openCount();
        m_service->control("POST", u"/_test/realtime/cut"_s);
        const double cutAt = monotonicSeconds();
        QTRY_COMPARE(requestsTo("POST").size(), 2);
        QList<double> after = openTimes().mid(opensBefore);
        // Leave out a request Qt may send of its own at the very moment of the cut.
        after.removeIf([cutAt](double time) { return time < cutAt + 0.025; });
        QVERIFY(!after.isEmpty());
        const int wait = int((after.first() - cutAt) * 1000);
        QVERIFY2(wait >= 40 && wait < 300, QByteArray::number(wait).constData());
    }

    void waitsTwoSecondsBeforeTheFirstReconnect() {
        script({endedWithoutBody()});
        auto client = makeClient(RealtimeClient::Timings{});
        client->connect(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 5000);
        const QList<int> waits = clientWaits(openTimes());
        QCOMPARE(waits.size(), 1);
        QVERIFY2(waits.first() >= 1990 && waits.first() < 2500,
                 QByteArray::number(waits.first()).constData());
    }

    void pendingReconnectFindsANewerGeneration_data() {
        QTest::addColumn<bool>("reconnect");
        QTest::newRow("disconnect while a reconnect is pending leaves the client idle") << false;
        QTest::newRow("connect while a reconnect is pending opens one stream only") << true;
    }

    void pendingReconnectFindsANewerGeneration() {
        QFETCH(bool, reconnect);
        RealtimeClient::Timings timings = fast();
        timings.firstRetryDelay = 800ms;
        script({endedWithoutBody()});
        auto client = makeClient(timings);
        client->connect(std::nullopt);
        QTRY_COMPARE(openCount(), 1);
        // The ended stream's end reaches the client well within this; its reconnect is then pending.
        QTest::qWait(holdMs + 150);

        if (reconnect) {
            client->connect(std::nullopt);
            QTRY_COMPARE(requestsTo("POST").size(), 1);
        } else {
            client->disconnect();
        }
        // Past the moment the pending reconnect was due.
        QTest::qWait(1000);
        QCOMPARE(clientWaits(openTimes()).size(), reconnect ? 1 : 0);

        if (!reconnect) {
            // Idle is not broken: a later connect works.
            client->connect(std::nullopt);
            QTRY_COMPARE(requestsTo("POST").size(), 1);
            QCOMPARE(clientWaits(openTimes()).size(), 1);
        }
    }

    void handlerClearedWhileAnEventIsOnItsWayIsNotCalled() {
        auto client = std::make_unique<RealtimeClient>(m_service->baseUrl(), fast());
        RealtimeClient* raw = client.get();
        QStringList calls;
        client->setOnEvent([&calls, raw](const RealtimeEvent& event) {
            calls.append(event.recordID);
            // Both events were read from one piece, so the second is queued behind this call by the
            // time it ends; holding this thread a moment makes sure of it.
            QThread::msleep(100);
            // Called without the lock held, so the handler may replace itself.
            raw->setOnEvent(nullptr);
        });
        script({scriptedStream({chunk(changeBlock("tintara_luts", "create", "first") +
                                      changeBlock("tintara_luts", "create", "second"))})});
        client->connect(std::nullopt);
        QTRY_COMPARE(calls.size(), 1);
        QCOMPARE(calls.first(), u"first"_s);

        // A new handler receives what comes next, and nothing of the event that was on its way.
        QStringList later;
        client->setOnEvent([&later](const RealtimeEvent& event) { later.append(event.recordID); });
        send(changeBlock("tintara_luts", "create", "third"));
        QTRY_COMPARE(later.size(), 1);
        QCOMPARE(later, QStringList{u"third"_s});
        QCOMPARE(calls.size(), 1);
    }

    void recordChangesReachTheHandlerWithinASecond() {
        auto client = makeClient();
        client->connect(std::nullopt);
        QTRY_VERIFY([this] {
            const QJsonArray clients = m_service->control("GET", u"/_test/realtime/clients"_s).toArray();
            return clients.size() == 1 && clients.first().toObject().value(u"subscriptions"_s) ==
                                              QJsonArray::fromStringList(RealtimeClient::collections());
        }());

        const QString id =
            m_service
                ->control("POST", u"/_test/records"_s,
                          QJsonObject{{u"collection"_s, "tintara_luts"},
                                      {u"fields"_s, QJsonObject{{u"name"_s, "Warm"}, {u"resolve"_s, true}}}})
                .toObject()
                .value(u"id"_s)
                .toString();
        QVERIFY(!id.isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(m_received.raw.size(), 1, 1000);
        QCOMPARE(m_received.events.first().section(u' ', 0, 2), u"create tintara_luts "_s + id);
        // What the engine reads from the raw payload: the full record.
        const auto message = RealtimeClient::Event::FullMsg<LUTRecord>::decode(m_received.raw.first().raw);
        QVERIFY2(message.ok(), qPrintable(message.error()));
        QCOMPARE(message->record.name, u"Warm"_s);
        QCOMPARE(message->record.resolve, std::optional<bool>(true));

        m_service->control("PATCH", u"/_test/records/tintara_luts/"_s + id, QJsonObject{{u"name"_s, "Cool"}});
        QTRY_COMPARE_WITH_TIMEOUT(m_received.raw.size(), 2, 1000);
        m_service->control("DELETE", u"/_test/records/tintara_luts/"_s + id);
        QTRY_COMPARE_WITH_TIMEOUT(m_received.raw.size(), 3, 1000);
        QCOMPARE(m_received.events[1].section(u' ', 0, 2), u"update tintara_luts "_s + id);
        QCOMPARE(m_received.events[2].section(u' ', 0, 2), u"delete tintara_luts "_s + id);
        QVERIFY(m_received.allOnCreatingThread);
    }

    void dropsAStreamThatGoesNowhereAndReopens_data() {
        QTest::addColumn<bool>("flood");
        QTest::newRow("a stream silent for the stream timeout is given up") << false;
        QTest::newRow("a stream past the buffer limit without a separator is dropped, twice") << true;
    }

    void dropsAStreamThatGoesNowhereAndReopens() {
        QFETCH(bool, flood);
        RealtimeClient::Timings timings = fast();
        timings.firstRetryDelay = 200ms;
        timings.streamTimeout = 400ms;
        QJsonArray streams{scriptedStream({})}; // answered, then silent and held open
        if (flood) {
            // Streams that never end a block; each sends more than the limit, then stays open.
            timings.streamTimeout = 30s;
            timings.bufferLimit = 256 * 1024;
            QJsonArray chunks;
            for (int i = 0; i < 8; ++i) {
                chunks.append(chunk(QByteArray(64 * 1024, 'x')));
            }
            streams = {scriptedStream(chunks), scriptedStream(chunks)};
        }
        script(streams);
        auto client = makeClient(timings);
        client->connect(std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 5000);
        const QList<double> times = openTimes();
        QCOMPARE(times.size(), flood ? 3 : 2);
        // The dropped streams were let go of by the client; only the normal one is left.
        QVERIFY(waitForOpenStreams(1));
        if (flood) {
            // A dropped flood counts as a failed attempt: the second one waits twice as long.
            QVERIFY2(times[1] - times[0] >= 0.195, QByteArray::number(times[1] - times[0]).constData());
            QVERIFY2(times[2] - times[1] >= 0.395, QByteArray::number(times[2] - times[1]).constData());
        } else {
            // The silence timeout (a coarse timer, which may fire up to 5% early), then the first wait.
            QVERIFY2(times[1] - times[0] >= 0.55, QByteArray::number(times[1] - times[0]).constData());
        }

        // And the reopened stream works.
        m_service->control("POST", u"/_test/records"_s,
                           QJsonObject{{u"collection"_s, "tintara_shots"}, {u"fields"_s, {}}});
        QTRY_COMPARE_WITH_TIMEOUT(m_received.raw.size(), 1, 1000);
        QCOMPARE(m_received.raw.first().collection, u"tintara_shots"_s);
    }

    void destructionStopsEverything_data() {
        QTest::addColumn<QString>("state");
        QTest::newRow("an idle client") << u"idle"_s;
        QTest::newRow("a client with its stream open") << u"open"_s;
        QTest::newRow("a client waiting to reconnect") << u"waiting"_s;
        QTest::newRow("a client with an event on its way") << u"delivering"_s;
    }

    void destructionStopsEverything() {
        QFETCH(QString, state);
        RealtimeClient::Timings timings = fast();
        timings.firstRetryDelay = 300ms;
        auto client = makeClient(timings);
        if (state == u"open") {
            client->connect(std::nullopt);
            QTRY_COMPARE(requestsTo("POST").size(), 1);
        } else if (state == u"waiting") {
            script({endedWithoutBody()});
            client->connect(std::nullopt);
            QTRY_COMPARE(openCount(), 1);
            QTest::qWait(holdMs + 150);
        } else if (state == u"delivering") {
            script({scriptedStream({chunk(changeBlock("tintara_luts", "create", "late"))})});
            client->connect(std::nullopt);
            // Waits without running this thread's event loop, so the event read by the client's own
            // thread is queued here but not delivered.
            QElapsedTimer waited;
            waited.start();
            while (send({}) != 1 && waited.elapsed() < 5000) {
                QThread::msleep(10);
            }
            QCOMPARE(send({}), 1);
            QThread::msleep(200);
        }
        const int opensBefore = openCount();

        QElapsedTimer timer;
        timer.start();
        client.reset();
        QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()).constData());

        // Nothing of the client is left: no stream, no reconnect, no late delivery.
        QVERIFY(waitForOpenStreams(0));
        QTest::qWait(500);
        QCOMPARE(openCount(), opensBefore);
        QCOMPARE(m_received.events.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestRealtimeClient)
#include "TestRealtimeClient.moc"
