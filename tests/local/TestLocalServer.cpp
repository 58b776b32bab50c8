#include "local/LocalServer.h"
#include "platform/ServiceAdvertiser.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <qcoro/qcorotimer.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

// Records what the server asks of discovery. The server calls from its own thread; the records
// are kept on the test's thread.
class RecordingAdvertiser : public ServiceAdvertiser {
public:
    using ServiceAdvertiser::ServiceAdvertiser;
    QList<Service> advertised;
    int withdrawals = 0;

    void advertise(const Service& service) override {
        QMetaObject::invokeMethod(this, [this, service] { advertised.append(service); });
    }
    void withdraw() override {
        QMetaObject::invokeMethod(this, [this] { ++withdrawals; });
    }
};

// An inbox file far larger than a loopback socket's send buffer.
QByteArray bigFile() {
    static const QByteArray bytes = QByteArray("0.125 0.250 0.500\n").repeated(700000);
    return bytes;
}

// A server with callbacks that behave like the engine's, and a record of what they were asked.
struct Harness {
    RecordingAdvertiser advertiser;
    std::unique_ptr<LocalServer> server;
    QList<std::optional<quint16>> ports;
    InboxSnapshot snapshot{3, {{QStringLiteral("Day2.cube"), QString(64, u'a'), 12}}};
    int inboxCalls = 0;
    QList<Incoming> received;
    QMap<QString, QByteArray> files{{QStringLiteral("Day2.cube"), QByteArray("LUT_3D_SIZE 2\n")},
                                    {QStringLiteral("My Look.cube"), QByteArray("TITLE \"My Look\"\n")},
                                    {QStringLiteral("Big.cube"), bigFile()}};

    explicit Harness(quint16 preferredPort = 0, std::chrono::milliseconds longPoll = 25s,
                     std::chrono::milliseconds requestTimeout = 60s) {
        server = std::make_unique<LocalServer>(&advertiser, QStringLiteral("Studio Mac"), preferredPort,
                                               longPoll, requestTimeout);
        server->identity = [] {
            return QMap<QString, QString>{{QStringLiteral("app"), QStringLiteral("Tonewharf")},
                                          {QStringLiteral("mac"), QStringLiteral("Studio Mac")},
                                          {QStringLiteral("version"), QStringLiteral("0.1.0")}};
        };
        server->receiveLUT = [this](Incoming incoming) -> QCoro::Task<bool> {
            co_await QCoro::sleepFor(5ms); // the engine answers later, after writing
            received.append(incoming);
            co_return incoming.name != QStringLiteral("Refused");
        };
        server->inbox = [this] {
            ++inboxCalls;
            return snapshot;
        };
        server->inboxFile = [this](const QString& name) -> std::optional<QByteArray> {
            if (name.isEmpty() || name.contains(u'/') || name.contains(u'\\') || name == u"." ||
                name == u"..") {
                return std::nullopt;
            }
            if (!files.contains(name)) {
                return std::nullopt;
            }
            return files.value(name);
        };
        server->onPortChange = [this](std::optional<quint16> port) { ports.append(port); };
    }

    bool start() {
        const qsizetype before = ports.size();
        server->start();
        return QTest::qWaitFor([&] { return ports.size() > before; }, 5000) && ports.last().has_value();
    }
    quint16 port() const { return ports.isEmpty() ? 0 : ports.last().value_or(0); }
};

QByteArray answer(const QByteArray& statusLine, const QByteArray& contentType, const QByteArray& body) {
    return "HTTP/1.1 " + statusLine + "\r\nContent-Type: " + contentType +
           "; charset=utf-8\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n" + body;
}

const QByteArray helloAnswer =
    answer("200 OK", "application/json", R"({"app":"Tonewharf","mac":"Studio Mac","version":"0.1.0"})");
const QByteArray notFound = answer("404 Not Found", "text/plain", "not found");
const QByteArray badRequest = answer("400 Bad Request", "text/plain", "bad request");
const QByteArray okTrue = answer("200 OK", "application/json", R"({"ok":true})");
const QByteArray okFalse = answer("500 Internal Server Error", "application/json", R"({"ok":false})");
const QByteArray tooLarge = answer("413 Payload Too Large", "text/plain", "too large");
const QByteArray lookBody = R"({"name":"Warm","cube":"LUT_3D_SIZE 2\n"})";

QByteArray inboxAnswer(qint64 seq) {
    return answer("200 OK", "application/json",
                  R"({"items":[{"hash":")" + QByteArray(64, 'a') +
                      R"(","name":"Day2.cube","size":12}],"seq":)" + QByteArray::number(seq) + "}");
}

// Python clients on raw sockets: each connection sends its parts with short pauses (so they
// arrive as separate reads), optionally a generated JSON body of an exact size and a half-close,
// prints "sent" once every connection has sent, then reads each one to its end.
const char* rawClientScript = R"PY(
import base64, json, socket, sys, time
plan = json.load(sys.stdin)
sockets = []
for conn in plan["connections"]:
    s = socket.create_connection(("127.0.0.1", plan["port"]))
    s.settimeout(plan.get("timeout", 10))
    for i, part in enumerate(conn.get("parts", [])):
        if i:
            time.sleep(0.1)
        s.sendall(base64.b64decode(part))
    size = conn.get("bodySize")
    if size:
        prefix, suffix = b'{"name":"Big","cube":"', b'"}'
        s.sendall(prefix + b"x" * (size - len(prefix) - len(suffix)) + suffix)
    if conn.get("halfClose"):
        s.shutdown(socket.SHUT_WR)
    sockets.append(s)
print("sent", flush=True)
results = []
for s in sockets:
    data, ending = bytearray(), "eof"
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        ending = "timeout"
    except ConnectionResetError:
        ending = "reset"
    results.append({"ending": ending, "response": base64.b64encode(bytes(data)).decode()})
print(json.dumps(results), flush=True)
)PY";

struct Exchange {
    QString ending; // "eof", "reset" or "timeout"
    QByteArray response;
};

class RawClient {
public:
    struct Connection {
        QByteArrayList parts;
        bool halfClose = false;
        qint64 bodySize = 0;
    };

    void start(quint16 port, const QList<Connection>& connections, double timeoutSeconds = 10) {
        QJsonArray list;
        for (const Connection& connection : connections) {
            QJsonArray parts;
            for (const QByteArray& part : connection.parts) {
                parts.append(QString::fromLatin1(part.toBase64()));
            }
            list.append(QJsonObject{
                {"parts", parts}, {"halfClose", connection.halfClose}, {"bodySize", connection.bodySize}});
        }
        const QJsonObject plan{{"port", port}, {"timeout", timeoutSeconds}, {"connections", list}};
        m_process.start(QStringLiteral(TONEWHARF_PYTHON3),
                        {QStringLiteral("-c"), QString::fromUtf8(rawClientScript)});
        m_process.write(QJsonDocument(plan).toJson(QJsonDocument::Compact));
        m_process.closeWriteChannel();
    }

    bool waitSent(int timeoutMs = 30000) {
        return QTest::qWaitFor(
            [&] { return m_output.append(m_process.readAllStandardOutput()).contains("sent\n"); }, timeoutMs);
    }

    // Waits for the client to finish; the event loop keeps running so that the server's
    // callbacks, which run on this thread, can answer.
    QList<Exchange> finish(int timeoutMs = 30000) {
        if (m_process.state() != QProcess::NotRunning) {
            QSignalSpy finished(&m_process, &QProcess::finished);
            finished.wait(timeoutMs);
        }
        m_output.append(m_process.readAllStandardOutput());
        QList<Exchange> exchanges;
        const QByteArray last = m_output.trimmed().split('\n').last();
        for (const QJsonValue value : QJsonDocument::fromJson(last).array()) {
            exchanges.append(
                {value[QStringLiteral("ending")].toString(),
                 QByteArray::fromBase64(value[QStringLiteral("response")].toString().toLatin1())});
        }
        if (exchanges.isEmpty()) {
            qWarning() << "python client said" << m_output << m_process.readAllStandardError();
        }
        return exchanges;
    }

private:
    QProcess m_process;
    QByteArray m_output;
};

QByteArray runCurl(const QStringList& arguments, const QByteArray& input = {}) {
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               QStringList{"-s", "-i", "--max-time", "10", "-H", "Expect:"} + arguments);
    curl.write(input);
    curl.closeWriteChannel();
    QSignalSpy finished(&curl, &QProcess::finished);
    if (curl.state() != QProcess::NotRunning) {
        finished.wait(20000);
    }
    return curl.readAllStandardOutput();
}

} // namespace

class TestLocalServer : public QObject {
    Q_OBJECT

private slots:
    void answersCurl_data();
    void answersCurl();
    void readsRawRequests_data();
    void readsRawRequests();
    void acceptsTheLargestBodyAndRefusesOneByteMore();
    void longPollIsAnsweredByWakeOrTimeout();
    void parkedRequestGetsALargeAnswerWhole();
    void stopClosesParkedRequestsAndStartListensAgain();
    void closesConnectionsThatNeverCompleteTheirRequest();
    void leavesNoDescriptorBehind();
    void fallsBackWhenThePreferredPortIsTaken();
};

void TestLocalServer::answersCurl_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QStringList>("receivedNames");

    const auto url = [](const char* target) { return QStringLiteral("http://127.0.0.1:PORT") + target; };
    const auto post = [&](const char* target) { return QStringList{"--data-binary", "@-", url(target)}; };

    QTest::newRow("GET /v1/hello answers the identity as a JSON object")
        << QStringList{url("/v1/hello")} << QByteArray() << helloAnswer << QStringList{};
    QTest::newRow("a look that is taken is answered 200 ok true")
        << post("/v1/luts") << lookBody << okTrue << QStringList{"Warm"};
    QTest::newRow("a refused look is answered 500 ok false")
        << post("/v1/luts") << QByteArray(R"({"name":"Refused","cube":"x"})") << okFalse
        << QStringList{"Refused"};
    QTest::newRow("extra keys in a look are ignored")
        << post("/v1/luts") << QByteArray(R"({"name":"Warm","cube":"x","size":33,"extra":[1]})") << okTrue
        << QStringList{"Warm"};
    QTest::newRow("a look without cube is answered 400")
        << post("/v1/luts") << QByteArray(R"({"name":"Warm"})") << badRequest << QStringList{};
    QTest::newRow("a look whose size is a string is answered 400")
        << post("/v1/luts") << QByteArray(R"({"name":"Warm","cube":"x","size":"33"})") << badRequest
        << QStringList{};
    QTest::newRow("a body that is not JSON is answered 400")
        << post("/v1/luts") << QByteArray("name=Warm") << badRequest << QStringList{};
    QTest::newRow("GET /v1/inbox without since is answered at once")
        << QStringList{url("/v1/inbox")} << QByteArray() << inboxAnswer(3) << QStringList{};
    QTest::newRow("since that is not a number is answered at once")
        << QStringList{url("/v1/inbox?since=abc")} << QByteArray() << inboxAnswer(3) << QStringList{};
    QTest::newRow("since other than the current sequence is answered at once")
        << QStringList{url("/v1/inbox?since=2")} << QByteArray() << inboxAnswer(3) << QStringList{};
    QTest::newRow("an inbox file is answered with its bytes as text")
        << QStringList{url("/v1/inbox/Day2.cube")} << QByteArray()
        << answer("200 OK", "text/plain", "LUT_3D_SIZE 2\n") << QStringList{};
    QTest::newRow("an inbox file name is percent-decoded")
        << QStringList{url("/v1/inbox/My%20Look.cube")} << QByteArray()
        << answer("200 OK", "text/plain", "TITLE \"My Look\"\n") << QStringList{};
    QTest::newRow("a missing inbox file is answered 404")
        << QStringList{url("/v1/inbox/Nope.cube")} << QByteArray() << notFound << QStringList{};
    QTest::newRow("an empty inbox file name is answered 404")
        << QStringList{url("/v1/inbox/")} << QByteArray() << notFound << QStringList{};
    QTest::newRow("a name that decodes to one with a slash is answered 404")
        << QStringList{url("/v1/inbox/x%2FDay2.cube")} << QByteArray() << notFound << QStringList{};
    QTest::newRow("a name with a backslash is answered 404")
        << QStringList{url("/v1/inbox/x%5CDay2.cube")} << QByteArray() << notFound << QStringList{};
    QTest::newRow("the name dot-dot is answered 404")
        << QStringList{"--path-as-is", url("/v1/inbox/..")} << QByteArray() << notFound << QStringList{};
    QTest::newRow("POST /v1/hello is answered 404")
        << post("/v1/hello") << QByteArray("{}") << notFound << QStringList{};
    QTest::newRow("GET /v1/luts is answered 404")
        << QStringList{url("/v1/luts")} << QByteArray() << notFound << QStringList{};
    QTest::newRow("PUT /v1/inbox is answered 404")
        << QStringList{"-X", "PUT", url("/v1/inbox")} << QByteArray() << notFound << QStringList{};
    QTest::newRow("OPTIONS is answered 404")
        << QStringList{"-X", "OPTIONS", url("/v1/hello")} << QByteArray() << notFound << QStringList{};
    QTest::newRow("paths are matched with their case")
        << QStringList{url("/V1/hello")} << QByteArray() << notFound << QStringList{};
}

void TestLocalServer::answersCurl() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);
    QFETCH(QStringList, receivedNames);

    Harness harness;
    QVERIFY(harness.start());
    arguments.replaceInStrings(QStringLiteral("PORT"), QString::number(harness.port()));
    QCOMPARE(runCurl(arguments, input), expected);
    QStringList names;
    for (const Incoming& incoming : std::as_const(harness.received)) {
        names.append(incoming.name);
    }
    QCOMPARE(names, receivedNames);
}

void TestLocalServer::readsRawRequests_data() {
    QTest::addColumn<QByteArrayList>("parts");
    QTest::addColumn<bool>("halfClose");
    QTest::addColumn<QByteArray>("expected"); // empty: closed without an answer
    QTest::addColumn<QStringList>("receivedNames");

    const QByteArray post = "POST /v1/luts HTTP/1.1\r\n";
    const QByteArray length = "Content-Length: " + QByteArray::number(lookBody.size()) + "\r\n";

    QTest::newRow("a head that arrives in three reads is answered once complete")
        << QByteArrayList{"GET /v1/hel", "lo HTTP/1.1\r\nHost: x\r\n", "\r\n"} << false << helloAnswer
        << QStringList{};
    QTest::newRow("a blank line split after its first CR is found")
        << QByteArrayList{"GET /v1/hello HTTP/1.1\r\n\r", "\n"} << false << helloAnswer << QStringList{};
    QTest::newRow("a blank line split in its middle is found")
        << QByteArrayList{"GET /v1/hello HTTP/1.1\r\n", "\r\n"} << false << helloAnswer << QStringList{};
    QTest::newRow("a blank line split before its last LF is found")
        << QByteArrayList{"GET /v1/hello HTTP/1.1\r", "\n\r", "\n"} << false << helloAnswer << QStringList{};
    QTest::newRow("a lower-case method is routed as GET")
        << QByteArrayList{"get /v1/hello HTTP/1.1\r\n\r\n"} << false << helloAnswer << QStringList{};
    QTest::newRow("a client that half-closes after its request still gets the answer")
        << QByteArrayList{"GET /v1/hello HTTP/1.1\r\n\r\n"} << true << helloAnswer << QStringList{};
    QTest::newRow("a look sent by a client that half-closes is still answered")
        << QByteArrayList{post + length + "\r\n" + lookBody} << true << okTrue << QStringList{"Warm"};
    QTest::newRow("a client that half-closes gets all of an answer larger than a socket takes at once")
        << QByteArrayList{"GET /v1/inbox/Big.cube HTTP/1.1\r\n\r\n"} << true
        << answer("200 OK", "text/plain", bigFile()) << QStringList{};
    QTest::newRow("a body split across reads is routed once complete")
        << QByteArrayList{post + length + "\r\n" + lookBody.left(10), lookBody.mid(10)} << false << okTrue
        << QStringList{"Warm"};
    QTest::newRow("bytes beyond Content-Length, such as a second request, are ignored")
        << QByteArrayList{post + length + "\r\n" + lookBody + "GET /v1/hello HTTP/1.1\r\n\r\n"} << false
        << okTrue << QStringList{"Warm"};
    QTest::newRow("content-LENGTH with blanks around the value reads exactly that many bytes")
        << QByteArrayList{post + "content-LENGTH:  " + QByteArray::number(lookBody.size()) + " \r\n\r\n" +
                          lookBody + "trailing"}
        << false << okTrue << QStringList{"Warm"};
    QTest::newRow("of two Content-Length lines the last one counts")
        << QByteArrayList{post + "Content-Length: 2\r\n" + length + "\r\n" + lookBody} << false << okTrue
        << QStringList{"Warm"};
    QTest::newRow("a Content-Length line with nothing after the colon keeps the earlier value")
        << QByteArrayList{post + length + "Content-Length:\r\n\r\n" + lookBody} << false << okTrue
        << QStringList{"Warm"};
    QTest::newRow("Content-Length abc gives an empty body")
        << QByteArrayList{post + "Content-Length: abc\r\n\r\n" + lookBody} << false << badRequest
        << QStringList{};
    QTest::newRow("a negative Content-Length is answered 400")
        << QByteArrayList{post + "Content-Length: -5\r\n\r\n" + lookBody} << false << badRequest
        << QStringList{};
    QTest::newRow("a one-token request line is closed unanswered when the peer finishes")
        << QByteArrayList{"GET\r\n\r\n"} << true << QByteArray() << QStringList{};
    QTest::newRow("a head cut short by the peer is closed unanswered")
        << QByteArrayList{"GET /v1/hello HTTP/1.1\r\n"} << true << QByteArray() << QStringList{};
    QTest::newRow("a body cut short by the peer is closed unanswered")
        << QByteArrayList{post + length + "\r\n" + lookBody.left(5)} << true << QByteArray() << QStringList{};
    QTest::newRow("more than 64 KiB without a blank line is closed unanswered")
        << QByteArrayList{"GET /v1/hello HTTP/1.1\r\nX: " + QByteArray(65536, 'a')} << false << QByteArray()
        << QStringList{};
    QTest::newRow("more than 64 KiB after a one-token request line is closed unanswered")
        << QByteArrayList{"GET\r\n\r\n", QByteArray(65536, 'a')} << false << QByteArray() << QStringList{};
    QTest::newRow("more than 64 KiB after a head that is not UTF-8 is closed unanswered")
        << QByteArrayList{"GET /\xff HTTP/1.1\r\n\r\n" + QByteArray(65536, 'a')} << false << QByteArray()
        << QStringList{};
}

void TestLocalServer::readsRawRequests() {
    QFETCH(QByteArrayList, parts);
    QFETCH(bool, halfClose);
    QFETCH(QByteArray, expected);
    QFETCH(QStringList, receivedNames);

    Harness harness;
    QVERIFY(harness.start());
    RawClient client;
    client.start(harness.port(), {{parts, halfClose, 0}});
    const QList<Exchange> exchanges = client.finish();
    QCOMPARE(exchanges.size(), 1);
    QCOMPARE(exchanges[0].response, expected);
    // Answered or not, the server ends the connection itself.
    QVERIFY2(exchanges[0].ending != u"timeout", qPrintable(exchanges[0].ending));
    QStringList names;
    for (const Incoming& incoming : std::as_const(harness.received)) {
        names.append(incoming.name);
    }
    QCOMPARE(names, receivedNames);
}

void TestLocalServer::acceptsTheLargestBodyAndRefusesOneByteMore() {
    Harness harness;
    QVERIFY(harness.start());
    const qint64 largest = LocalHttp::maxBodyBytes;
    QCOMPARE(largest, qint64(67108864));

    RawClient client;
    client.start(
        harness.port(),
        {{{"POST /v1/luts HTTP/1.1\r\nContent-Length: " + QByteArray::number(largest) + "\r\n\r\n"},
          false,
          largest},
         {{"POST /v1/luts HTTP/1.1\r\nContent-Length: " + QByteArray::number(largest + 1) + "\r\n\r\n"},
          false,
          0}},
        30);
    const QList<Exchange> exchanges = client.finish(60000);
    QCOMPARE(exchanges.size(), 2);
    QCOMPARE(exchanges[0].response, okTrue);
    QCOMPARE(harness.received.size(), 1);
    QCOMPARE(harness.received[0].cube.size(),
             largest - qsizetype(strlen("{\"name\":\"Big\",\"cube\":\"\"}")));
    // The refused one sent no body; it is answered without waiting for one.
    QCOMPARE(exchanges[1].response, tooLarge);
    QCOMPARE(exchanges[1].ending, QStringLiteral("eof"));
}

void TestLocalServer::longPollIsAnsweredByWakeOrTimeout() {
    Harness harness(0, 600ms);
    QVERIFY(harness.start());
    const QByteArray poll = "GET /v1/inbox?since=3 HTTP/1.1\r\n\r\n";

    // Two iPads parked on the current sequence are both answered by one wake, with the new listing.
    RawClient woken;
    woken.start(harness.port(), {{{poll}, false, 0}, {{poll}, false, 0}});
    QVERIFY(woken.waitSent());
    QTRY_COMPARE(harness.inboxCalls, 2);
    harness.snapshot.seq = 4;
    QElapsedTimer clock;
    clock.start();
    harness.server->notifyInboxChanged();
    const QList<Exchange> wokenExchanges = woken.finish();
    QCOMPARE(wokenExchanges.size(), 2);
    QCOMPARE(wokenExchanges[0].response, inboxAnswer(4));
    QCOMPARE(wokenExchanges[1].response, inboxAnswer(4));
    QVERIFY2(clock.elapsed() < 500, "a wake answers at once, not at the timeout");

    // Nobody waits now: a wake without waiters changes nothing, and the next poll parks again
    // until its timeout gives the unchanged listing.
    harness.server->notifyInboxChanged();
    RawClient timedOut;
    clock.restart();
    timedOut.start(harness.port(), {{{"GET /v1/inbox?since=4 HTTP/1.1\r\n\r\n"}, false, 0}});
    const QList<Exchange> timedOutExchanges = timedOut.finish();
    QCOMPARE(timedOutExchanges.size(), 1);
    QCOMPARE(timedOutExchanges[0].response, inboxAnswer(4));
    QVERIFY2(clock.elapsed() >= 550, qPrintable(QString::number(clock.elapsed())));
}

void TestLocalServer::parkedRequestGetsALargeAnswerWhole() {
    // Far more than a socket takes at once: the rest must follow once the client reads.
    Harness harness;
    QVERIFY(harness.start());
    RawClient parked;
    parked.start(harness.port(), {{{"GET /v1/inbox?since=3 HTTP/1.1\r\n\r\n"}, false, 0}});
    QVERIFY(parked.waitSent());
    QTRY_COMPARE(harness.inboxCalls, 1);
    harness.snapshot.seq = 4;
    for (int i = 0; i < 80000; ++i) {
        harness.snapshot.items.append({QStringLiteral("Grade %1.cube").arg(i), QString(64, u'b'), i});
    }
    harness.server->notifyInboxChanged();
    const QList<Exchange> exchanges = parked.finish();
    QCOMPARE(exchanges.size(), 1);
    const QByteArray body = harness.snapshot.encode();
    QVERIFY(body.size() > 8 * 1024 * 1024);
    QVERIFY(exchanges[0].response == answer("200 OK", "application/json", body));
}

void TestLocalServer::stopClosesParkedRequestsAndStartListensAgain() {
    Harness harness;
    QVERIFY(harness.start());
    // A second start while listening changes nothing: the request behind it is served on the
    // same port and no new port is reported.
    harness.server->start();
    QCOMPARE(runCurl({QStringLiteral("http://127.0.0.1:%1/v1/hello").arg(harness.port())}), helloAnswer);
    QCOMPARE(harness.ports.size(), 1);

    RawClient parked;
    parked.start(harness.port(), {{{"GET /v1/inbox?since=3 HTTP/1.1\r\n\r\n"}, false, 0}});
    QVERIFY(parked.waitSent());
    QTRY_COMPARE(harness.inboxCalls, 1);
    harness.server->stop();
    const QList<Exchange> exchanges = parked.finish();
    QCOMPARE(exchanges.size(), 1);
    QCOMPARE(exchanges[0].response, QByteArray());
    QVERIFY2(exchanges[0].ending != u"timeout", qPrintable(exchanges[0].ending));
    QTRY_COMPARE(harness.ports.last(), std::optional<quint16>());
    QTRY_COMPARE(harness.advertiser.withdrawals, 1);

    // A wake after the stop finds nobody to answer, and a new start serves again.
    harness.server->notifyInboxChanged();
    QVERIFY(harness.start());
    QCOMPARE(runCurl({QStringLiteral("http://127.0.0.1:%1/v1/hello").arg(harness.port())}), helloAnswer);
    QTRY_COMPARE(harness.advertiser.advertised.size(), 2);
}

void TestLocalServer::closesConnectionsThatNeverCompleteTheirRequest() {
    Harness harness(0, 25s, 400ms);
    QVERIFY(harness.start());
    RawClient client;
    QElapsedTimer clock;
    clock.start();
    client.start(harness.port(),
                 {{{"GET /v1/hel"}, false, 0},
                  {{"POST /v1/luts HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"name\""}, false, 0},
                  {{"GET /v1/hello HTTP/1.1\r\n\r\n"}, false, 0}},
                 5);
    const QList<Exchange> exchanges = client.finish();
    QCOMPARE(exchanges.size(), 3);
    QCOMPARE(exchanges[0].response, QByteArray());
    QVERIFY2(exchanges[0].ending != u"timeout", qPrintable(exchanges[0].ending));
    QCOMPARE(exchanges[1].response, QByteArray());
    QVERIFY2(exchanges[1].ending != u"timeout", qPrintable(exchanges[1].ending));
    QCOMPARE(exchanges[2].response, helloAnswer);
    QVERIFY(clock.elapsed() < 4000);
}

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

void TestLocalServer::leavesNoDescriptorBehind() {
    const int before = openDescriptors();
    {
        Harness harness(0, 25s, 300ms);
        QVERIFY(harness.start());
        RawClient client;
        client.start(harness.port(),
                     {{{"GET /v1/hello HTTP/1.1\r\n\r\n"}, false, 0},
                      {{"GET /v1/inbox?since=3 HTTP/1.1\r\n\r\n"}, false, 0},
                      {{"POST /v1/luts HTTP/1.1\r\nContent-Length: 9\r\n\r\n{"}, true, 0},
                      {{"GET /v1/hel"}, false, 0},
                      {{"GET /nowhere HTTP/1.1\r\n\r\n"}, false, 0}},
                     5);
        QVERIFY(client.waitSent());
        QTRY_COMPARE(harness.inboxCalls, 1);
        // The parked one is still open when the server goes away with its owner.
        harness.server.reset();
        const QList<Exchange> exchanges = client.finish();
        QCOMPARE(exchanges.size(), 5);
        QCOMPARE(exchanges[0].response, helloAnswer);
        QCOMPARE(exchanges[1].response, QByteArray());
        QCOMPARE(exchanges[4].response, notFound);
        for (const Exchange& exchange : exchanges) {
            QVERIFY2(exchange.ending != u"timeout", qPrintable(exchange.ending));
        }
    }
    QTRY_COMPARE(openDescriptors(), before);
}

void TestLocalServer::fallsBackWhenThePreferredPortIsTaken() {
    // Whoever holds 7420, this socket or another program, the server must fall back.
    QTcpServer blocker;
    const bool heldHere = blocker.listen(QHostAddress::LocalHost, LocalServer::defaultPreferredPort);
    if (!heldHere) {
        qInfo() << "port 7420 is already held elsewhere:" << blocker.errorString();
    }

    Harness harness(LocalServer::defaultPreferredPort);
    QVERIFY(harness.start());
    QCOMPARE(harness.ports.size(), 1);
    const quint16 fallback = harness.port();
    QVERIFY(fallback != 0);
    QVERIFY(fallback != LocalServer::defaultPreferredPort);
    QCOMPARE(runCurl({QStringLiteral("http://127.0.0.1:%1/v1/hello").arg(fallback)}), helloAnswer);

    QTRY_COMPARE(harness.advertiser.advertised.size(), 1);
    const ServiceAdvertiser::Service service = harness.advertiser.advertised.first();
    QCOMPARE(service.name, QStringLiteral("Studio Mac"));
    QCOMPARE(service.type, QStringLiteral("_tonewharf._tcp"));
    QCOMPARE(service.port, fallback);
    QCOMPARE(service.txt, (QList<QPair<QByteArray, QByteArray>>{{"v", "1"}}));

    harness.server->stop();
    QTRY_COMPARE(harness.ports.size(), 2);
    QCOMPARE(harness.ports.last(), std::optional<quint16>());
    QTRY_COMPARE(harness.advertiser.withdrawals, 1);
}

QTEST_GUILESS_MAIN(TestLocalServer)
#include "TestLocalServer.moc"
