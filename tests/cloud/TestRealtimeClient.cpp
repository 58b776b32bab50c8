#include "cloud/CloudRecords.h"
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

namespace {

const QByteArray subscriptionBody =
    R"({"clientId":"abc","subscriptions":["tintara_looks","tintara_luts","tintara_projects","tintara_shots"]})";

QString describe(const RealtimeEvent& event) {
    return QStringLiteral("%1 %2 %3 raw=%4")
        .arg(EventStream::actionText(event.action), event.collection, event.recordID,
             QString::fromUtf8(event.raw));
}

QByteArray changeBlock(const QByteArray& event, const QByteArray& action, const QByteArray& id) {
    return "id:x\nevent:" + event + "\ndata:{\"action\":\"" + action + "\",\"record\":{\"id\":\"" + id +
           "\"}}\n\n";
}

QJsonObject chunk(const QByteArray& bytes, int delayMs = 0) {
    return QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(bytes.toBase64())},
                       {QStringLiteral("delayMs"), delayMs}};
}

QJsonObject scriptedStream(const QJsonArray& chunks, bool close) {
    return QJsonObject{{QStringLiteral("chunks"), chunks}, {QStringLiteral("close"), close}};
}

// How long a scripted stream that ends stays open after its answer's head. When the head and the
// end reach Qt together (or the connection drops before any answer), Qt's HTTP layer may resend
// the request by itself, which would muddle the counting of opens; this wait keeps them apart
// even on a busy machine.
constexpr int holdMs = 100;

// A stream answered and ended without a byte of body.
QJsonObject endedWithoutBody() {
    return QJsonObject{{QStringLiteral("chunks"), QJsonArray{chunk({}, holdMs)}},
                       {QStringLiteral("close"), true}};
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

} // namespace

class TestRealtimeClient : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void appendsTheEndpointToTheBase_data();
    void appendsTheEndpointToTheBase();
    void subscribesOnceAfterASplitConnect();
    void keepsHalfABlockForLater();
    void deliversOnlyWellFormedChanges_data();
    void deliversOnlyWellFormedChanges();
    void aReopenedStreamStartsAfresh();
    void connectReplacesTheOpenStream();
    void backsOffBetweenFailedStreams();
    void waitsTwoSecondsBeforeTheFirstReconnect();
    void givesUpOnASilentStream();
    void pendingReconnectFindsANewerGeneration_data();
    void pendingReconnectFindsANewerGeneration();
    void handlerClearedWhileAnEventIsOnItsWayIsNotCalled();
    void recordChangesReachTheHandlerWithinASecond();
    void endlessStreamIsDroppedAndReopened();
    void destructionStopsEverything_data();
    void destructionStopsEverything();

private:
    std::unique_ptr<RealtimeClient> makeClient(RealtimeClient::Timings timings = fast());
    static RealtimeClient::Timings fast();
    void script(const QJsonArray& streams);
    QList<double> openTimes();
    int openCount() { return int(openTimes().size()); }
    int openStreams();
    bool waitForOpenStreams(int expected);
    QJsonArray requestsTo(const QByteArray& method);
    void send(const QByteArray& bytes);

    std::unique_ptr<CloudTestService> m_service;
    Received m_received;
};

void TestRealtimeClient::init() {
    m_service = std::make_unique<CloudTestService>();
    QVERIFY(m_service->start());
    m_received = {};
}

void TestRealtimeClient::cleanup() {
    m_service.reset();
}

RealtimeClient::Timings TestRealtimeClient::fast() {
    RealtimeClient::Timings timings;
    timings.firstRetryDelay = 50ms;
    timings.maxRetryDelay = 800ms;
    timings.streamTimeout = 30s;
    timings.subscribeTimeout = 5s;
    return timings;
}

std::unique_ptr<RealtimeClient> TestRealtimeClient::makeClient(RealtimeClient::Timings timings) {
    auto client = std::make_unique<RealtimeClient>(m_service->baseUrl(), timings);
    QThread* creator = QThread::currentThread();
    Received* received = &m_received;
    client->setOnEvent([received, creator](const RealtimeEvent& event) {
        received->events.append(describe(event));
        received->raw.append(event);
        received->allOnCreatingThread = received->allOnCreatingThread && QThread::currentThread() == creator;
    });
    return client;
}

void TestRealtimeClient::script(const QJsonArray& streams) {
    m_service->control("POST", QStringLiteral("/_test/realtime/script"),
                       QJsonObject{{QStringLiteral("streams"), streams}});
    QCOMPARE(m_service->lastStatus(), 200);
}

QList<double> TestRealtimeClient::openTimes() {
    QList<double> times;
    for (const QJsonValue& time : m_service->control("GET", QStringLiteral("/_test/realtime/opens"))
                                      .toObject()
                                      .value(QStringLiteral("times"))
                                      .toArray()) {
        times.append(time.toDouble());
    }
    return times;
}

int TestRealtimeClient::openStreams() {
    // Sending nothing reaches every stream the service still holds open and counts them.
    return m_service
        ->control("POST", QStringLiteral("/_test/realtime/send"), QJsonObject{{QStringLiteral("base64"), ""}})
        .toObject()
        .value(QStringLiteral("streams"))
        .toInt(-1);
}

bool TestRealtimeClient::waitForOpenStreams(int expected) {
    // The service notices a stream closed by its peer only after half a second without writes to
    // it, and every probe is a write; so the probes are spaced further apart than that.
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (openStreams() == expected) {
            return true;
        }
        QTest::qWait(700);
    }
    return false;
}

QJsonArray TestRealtimeClient::requestsTo(const QByteArray& method) {
    QJsonArray matching;
    for (const QJsonValue& request : m_service->requests()) {
        const QJsonObject object = request.toObject();
        if (object.value(QStringLiteral("method")).toString().toUtf8() == method &&
            object.value(QStringLiteral("path")).toString() == u"/api/realtime") {
            matching.append(object);
        }
    }
    return matching;
}

void TestRealtimeClient::send(const QByteArray& bytes) {
    m_service->control("POST", QStringLiteral("/_test/realtime/send"),
                       QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(bytes.toBase64())}});
    QCOMPARE(m_service->lastStatus(), 200);
}

void TestRealtimeClient::appendsTheEndpointToTheBase_data() {
    QTest::addColumn<QUrl>("base");
    QTest::addColumn<QUrl>("endpoint");

    QTest::newRow("a bare host") << QUrl("http://127.0.0.1:8090")
                                 << QUrl("http://127.0.0.1:8090/api/realtime");
    QTest::newRow("a host with a slash")
        << QUrl("http://127.0.0.1:8090/") << QUrl("http://127.0.0.1:8090/api/realtime");
    QTest::newRow("a base with a path of its own")
        << QUrl("http://127.0.0.1/pb/") << QUrl("http://127.0.0.1/pb/api/realtime");
    QTest::newRow("a base path without a trailing slash")
        << QUrl("http://127.0.0.1/pb") << QUrl("http://127.0.0.1/pb/api/realtime");
}

void TestRealtimeClient::appendsTheEndpointToTheBase() {
    QFETCH(QUrl, base);
    QFETCH(QUrl, endpoint);
    QCOMPARE(RealtimeClient::endpoint(base), endpoint);
}

void TestRealtimeClient::subscribesOnceAfterASplitConnect() {
    // The first piece ends inside the data line; a complete change before it shows when the
    // client has read the piece.
    script({scriptedStream({chunk(changeBlock("tintara_luts", "create", "before") +
                                  "id:abc\nevent:PB_CONNECT\ndata:{\"clientId\":")},
                           false)});
    auto client = makeClient();
    client->connect(QStringLiteral("token-1"));

    QTRY_COMPARE(m_received.events.size(), 1);
    // A subscription would follow the read at once; give it time to show before ruling it out.
    QTest::qWait(200);
    QCOMPARE(requestsTo("POST").size(), 0);

    send("\"abc\"}\n\n");
    QTRY_COMPARE(requestsTo("POST").size(), 1);
    const QJsonObject post = requestsTo("POST").first().toObject();
    QCOMPARE(QByteArray::fromBase64(post.value(QStringLiteral("bodyBase64")).toString().toLatin1()),
             subscriptionBody);
    const QJsonObject postHeaders = post.value(QStringLiteral("headers")).toObject();
    QCOMPARE(postHeaders.value(QStringLiteral("content-type")).toString(),
             QStringLiteral("application/json"));
    QCOMPARE(postHeaders.value(QStringLiteral("authorization")).toString(), QStringLiteral("Bearer token-1"));

    const QJsonArray gets = requestsTo("GET");
    QCOMPARE(gets.size(), 1);
    const QJsonObject getHeaders = gets.first().toObject().value(QStringLiteral("headers")).toObject();
    QCOMPARE(getHeaders.value(QStringLiteral("accept")).toString(), QStringLiteral("text/event-stream"));
    QCOMPARE(getHeaders.value(QStringLiteral("authorization")).toString(), QStringLiteral("Bearer token-1"));

    // A later change on the same stream neither resubscribes nor is lost.
    send(changeBlock("tintara_luts", "update", "after"));
    QTRY_COMPARE(m_received.events.size(), 2);
    QCOMPARE(requestsTo("POST").size(), 1);
}

void TestRealtimeClient::keepsHalfABlockForLater() {
    script({scriptedStream({chunk(changeBlock("tintara_luts", "create", "one") +
                                  changeBlock("tintara_shots/two", "update", "two") +
                                  "event:tintara_looks\ndata:{\"action\":\"delete\",")},
                           false)});
    auto client = makeClient();
    client->connect(std::nullopt);

    QTRY_COMPARE(m_received.events.size(), 2);
    QCOMPARE(m_received.events,
             (QStringList{R"(create tintara_luts one raw={"action":"create","record":{"id":"one"}})",
                          R"(update tintara_shots two raw={"action":"update","record":{"id":"two"}})"}));

    send("\"record\":{\"id\":\"three\"}}\n\n");
    QTRY_COMPARE(m_received.events.size(), 3);
    QCOMPARE(m_received.events.last(),
             QStringLiteral(R"(delete tintara_looks three raw={"action":"delete","record":{"id":"three"}})"));
    QVERIFY(m_received.allOnCreatingThread);
}

void TestRealtimeClient::deliversOnlyWellFormedChanges_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("a delete named after collection and record id keeps the space in raw")
        << QByteArray("event:tintara_luts/r1\ndata: {\"action\":\"delete\",\"record\":{\"id\":\"r1\"}}\n\n")
        << QStringList{R"(delete tintara_luts r1 raw= {"action":"delete","record":{"id":"r1"}})"};
    QTest::newRow("CR LF separated blocks are not recognised")
        << QByteArray(
               "event:tintara_luts\r\ndata:{\"action\":\"create\",\"record\":{\"id\":\"c1\"}}\r\n\r\n"
               "event:tintara_luts\r\ndata:{\"action\":\"create\",\"record\":{\"id\":\"c2\"}}\r\n\r\n\n\n")
        << QStringList{};
    QTest::newRow("an unknown collection and an unknown action are dropped and the stream goes on")
        << (changeBlock("users", "create", "u1") + changeBlock("tintara_luts", "created", "u2") +
            changeBlock("tintara_projects", "update", "p1"))
        << QStringList{R"(update tintara_projects p1 raw={"action":"update","record":{"id":"p1"}})"};
    QTest::newRow("a block lacking the record or the event line is dropped")
        << QByteArray("event:tintara_luts\ndata:{\"action\":\"create\"}\n\n"
                      "data:{\"action\":\"create\",\"record\":{\"id\":\"m\"}}\n\n")
        << QStringList{};
    QTest::newRow("invalid UTF-8 and JSON of the wrong shape are dropped")
        << QByteArray("event:tintara_luts\ndata:{\"action\":\"create\",\"record\":{\"id\":\"\xff\"}}\n\n"
                      "event:tintara_luts\ndata:[1,2]\n\nevent:tintara_luts\ndata:{\"action\":\n\n")
        << QStringList{};
}

void TestRealtimeClient::deliversOnlyWellFormedChanges() {
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, expected);

    // A well-formed change after the bytes under test marks the point where all of them were read.
    const QByteArray marker = changeBlock("tintara_luts", "update", "marker");
    script({scriptedStream({chunk(bytes), chunk(marker, 20)}, false)});
    auto client = makeClient();
    client->connect(std::nullopt);

    expected.append(R"(update tintara_luts marker raw={"action":"update","record":{"id":"marker"}})");
    QTRY_COMPARE(m_received.events.size(), expected.size());
    QCOMPARE(m_received.events, expected);
}

void TestRealtimeClient::aReopenedStreamStartsAfresh() {
    // The first stream ends inside a block; were its bytes kept, they would swallow the next
    // stream's PB_CONNECT and no subscription would follow.
    script({scriptedStream({chunk("id:old\nevent:PB_CONNECT\ndata:{\"clientId\":\"old", 30), chunk({}, 30)},
                           true)});
    auto client = makeClient();
    client->connect(std::nullopt);
    QTRY_COMPARE(requestsTo("POST").size(), 1);
    const QJsonObject body =
        QJsonDocument::fromJson(QByteArray::fromBase64(requestsTo("POST")
                                                           .first()
                                                           .toObject()
                                                           .value(QStringLiteral("bodyBase64"))
                                                           .toString()
                                                           .toLatin1()))
            .object();
    const QJsonArray clients = m_service->control("GET", QStringLiteral("/_test/realtime/clients")).toArray();
    QCOMPARE(clients.size(), 1);
    QCOMPARE(body.value(QStringLiteral("clientId")),
             clients.first().toObject().value(QStringLiteral("clientId")));
}

void TestRealtimeClient::connectReplacesTheOpenStream() {
    auto client = makeClient();
    // Any thread may ask for the stream; the work happens on the client's own.
    std::thread caller([&client] { client->connect(std::nullopt); });
    caller.join();
    QTRY_COMPARE(requestsTo("POST").size(), 1);
    const QJsonObject first = requestsTo("GET").first().toObject();
    QVERIFY(!first.value(QStringLiteral("headers")).toObject().contains(QStringLiteral("authorization")));
    QVERIFY(!requestsTo("POST")
                 .first()
                 .toObject()
                 .value(QStringLiteral("headers"))
                 .toObject()
                 .contains(QStringLiteral("authorization")));

    client->connect(QStringLiteral("second"));
    QTRY_COMPARE(requestsTo("POST").size(), 2);
    QCOMPARE(requestsTo("GET").size(), 2);
    QCOMPARE(requestsTo("GET")
                 .last()
                 .toObject()
                 .value(QStringLiteral("headers"))
                 .toObject()
                 .value(QStringLiteral("authorization"))
                 .toString(),
             QStringLiteral("Bearer second"));
    // The old stream is let go of, and its end schedules nothing.
    QVERIFY(waitForOpenStreams(1));
    QTest::qWait(300);
    QCOMPARE(openCount(), 2);

    // A token that would smuggle a header of its own into the request is not sent.
    client->connect(QStringLiteral("third\r\nX-Injected: yes"));
    QTRY_COMPARE(requestsTo("POST").size(), 3);
    for (const QJsonArray& requests : {requestsTo("GET"), requestsTo("POST")}) {
        const QJsonObject headers = requests.last().toObject().value(QStringLiteral("headers")).toObject();
        QVERIFY(!headers.contains(QStringLiteral("authorization")));
        QVERIFY(!headers.contains(QStringLiteral("x-injected")));
    }
}

void TestRealtimeClient::backsOffBetweenFailedStreams() {
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
    m_service->control("POST", QStringLiteral("/_test/realtime/cut"));
    const double cutAt = monotonicSeconds();
    QTRY_COMPARE(requestsTo("POST").size(), 2);
    QList<double> after = openTimes().mid(opensBefore);
    // Leave out a request Qt may send of its own at the very moment of the cut.
    after.removeIf([cutAt](double time) { return time < cutAt + 0.025; });
    QVERIFY(!after.isEmpty());
    const int wait = int((after.first() - cutAt) * 1000);
    QVERIFY2(wait >= 40 && wait < 300, QByteArray::number(wait).constData());
}

void TestRealtimeClient::waitsTwoSecondsBeforeTheFirstReconnect() {
    script({endedWithoutBody()});
    auto client = makeClient(RealtimeClient::Timings{});
    client->connect(std::nullopt);
    QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 5000);
    const QList<int> waits = clientWaits(openTimes());
    QCOMPARE(waits.size(), 1);
    QVERIFY2(waits.first() >= 1990 && waits.first() < 2500, QByteArray::number(waits.first()).constData());
}

void TestRealtimeClient::givesUpOnASilentStream() {
    RealtimeClient::Timings timings = fast();
    timings.streamTimeout = 400ms;
    // Answered, then silent and held open; the stream after it is a normal one.
    script({scriptedStream({}, false)});
    auto client = makeClient(timings);
    client->connect(std::nullopt);
    QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 5000);
    const QList<double> times = openTimes();
    QCOMPARE(times.size(), 2);
    // The silence timeout (a coarse timer, which may fire up to 5% early), then the first back-off wait.
    QVERIFY2(times[1] - times[0] >= 0.42, QByteArray::number(times[1] - times[0]).constData());
    QVERIFY(waitForOpenStreams(1));
}

void TestRealtimeClient::pendingReconnectFindsANewerGeneration_data() {
    QTest::addColumn<bool>("reconnect");
    QTest::newRow("disconnect while a reconnect is pending leaves the client idle") << false;
    QTest::newRow("connect while a reconnect is pending opens one stream only") << true;
}

void TestRealtimeClient::pendingReconnectFindsANewerGeneration() {
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

void TestRealtimeClient::handlerClearedWhileAnEventIsOnItsWayIsNotCalled() {
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
                                  changeBlock("tintara_luts", "create", "second"))},
                           false)});
    client->connect(std::nullopt);
    QTRY_COMPARE(calls.size(), 1);
    QCOMPARE(calls.first(), QStringLiteral("first"));

    // A new handler receives what comes next, and nothing of the event that was on its way.
    QStringList later;
    client->setOnEvent([&later](const RealtimeEvent& event) { later.append(event.recordID); });
    send(changeBlock("tintara_luts", "create", "third"));
    QTRY_COMPARE(later.size(), 1);
    QCOMPARE(later, QStringList{QStringLiteral("third")});
    QCOMPARE(calls.size(), 1);
}

void TestRealtimeClient::recordChangesReachTheHandlerWithinASecond() {
    auto client = makeClient();
    client->connect(std::nullopt);
    QTRY_VERIFY([this] {
        const QJsonArray clients =
            m_service->control("GET", QStringLiteral("/_test/realtime/clients")).toArray();
        return clients.size() == 1 && clients.first().toObject().value(QStringLiteral("subscriptions")) ==
                                          QJsonArray::fromStringList(RealtimeClient::collections());
    }());

    const QJsonObject created =
        m_service
            ->control("POST", QStringLiteral("/_test/records"),
                      QJsonObject{{QStringLiteral("collection"), "tintara_luts"},
                                  {QStringLiteral("fields"), QJsonObject{{QStringLiteral("name"), "Warm"},
                                                                         {QStringLiteral("resolve"), true}}}})
            .toObject();
    const QString id = created.value(QStringLiteral("id")).toString();
    QVERIFY(!id.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_received.raw.size(), 1, 1000);
    const RealtimeEvent event = m_received.raw.first();
    QCOMPARE(event.action, RealtimeEvent::Action::create);
    QCOMPARE(event.collection, QStringLiteral("tintara_luts"));
    QCOMPARE(event.recordID, id);
    // What the engine reads from the raw payload: the full record.
    const auto message = RealtimeClient::Event::FullMsg<LUTRecord>::decode(event.raw);
    QVERIFY2(message.ok(), qPrintable(message.error()));
    QCOMPARE(message->record.id, id);
    QCOMPARE(message->record.name, QStringLiteral("Warm"));
    QCOMPARE(message->record.resolve, std::optional<bool>(true));

    m_service->control("PATCH", QStringLiteral("/_test/records/tintara_luts/") + id,
                       QJsonObject{{QStringLiteral("name"), "Cool"}});
    QTRY_COMPARE_WITH_TIMEOUT(m_received.raw.size(), 2, 1000);
    m_service->control("DELETE", QStringLiteral("/_test/records/tintara_luts/") + id);
    QTRY_COMPARE_WITH_TIMEOUT(m_received.raw.size(), 3, 1000);
    QCOMPARE(m_received.raw[1].action, RealtimeEvent::Action::update);
    QCOMPARE(m_received.raw[2].action, RealtimeEvent::Action::delete_);
    QCOMPARE(m_received.raw[2].recordID, id);
    QVERIFY(m_received.allOnCreatingThread);
}

void TestRealtimeClient::endlessStreamIsDroppedAndReopened() {
    RealtimeClient::Timings timings = fast();
    timings.firstRetryDelay = 200ms;
    timings.bufferLimit = 256 * 1024;
    // Two streams that never end a block; each sends more than the limit, then stays open.
    QJsonArray flood;
    for (int i = 0; i < 8; ++i) {
        flood.append(chunk(QByteArray(64 * 1024, 'x')));
    }
    script({scriptedStream(flood, false), scriptedStream(flood, false)});

    auto client = makeClient(timings);
    client->connect(std::nullopt);
    QTRY_COMPARE_WITH_TIMEOUT(requestsTo("POST").size(), 1, 5000);
    QCOMPARE(openCount(), 3);
    // The flooding streams were let go of by the client; only the normal one is left.
    QVERIFY(waitForOpenStreams(1));

    // A dropped flood counts as a failed attempt: the second one waits twice as long.
    const QList<double> times = openTimes();
    QVERIFY2(times[1] - times[0] >= 0.195, QByteArray::number(times[1] - times[0]).constData());
    QVERIFY2(times[2] - times[1] >= 0.395, QByteArray::number(times[2] - times[1]).constData());

    // And the reopened stream works.
    m_service->control(
        "POST", QStringLiteral("/_test/records"),
        QJsonObject{{QStringLiteral("collection"), "tintara_shots"}, {QStringLiteral("fields"), {}}});
    QTRY_COMPARE_WITH_TIMEOUT(m_received.raw.size(), 1, 1000);
    QCOMPARE(m_received.raw.first().collection, QStringLiteral("tintara_shots"));
}

void TestRealtimeClient::destructionStopsEverything_data() {
    QTest::addColumn<QString>("state");
    QTest::newRow("an idle client") << QStringLiteral("idle");
    QTest::newRow("a client with its stream open") << QStringLiteral("open");
    QTest::newRow("a client waiting to reconnect") << QStringLiteral("waiting");
    QTest::newRow("a client with an event on its way") << QStringLiteral("delivering");
}

void TestRealtimeClient::destructionStopsEverything() {
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
        script({scriptedStream({chunk(changeBlock("tintara_luts", "create", "late"))}, false)});
        client->connect(std::nullopt);
        // Waits without running this thread's event loop, so the event read by the client's own
        // thread is queued here but not delivered.
        QElapsedTimer waited;
        waited.start();
        while (openStreams() != 1 && waited.elapsed() < 5000) {
            QThread::msleep(10);
        }
        QCOMPARE(openStreams(), 1);
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

QTEST_GUILESS_MAIN(TestRealtimeClient)
#include "TestRealtimeClient.moc"
