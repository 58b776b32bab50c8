#include "local/LocalServer.h"
#include "platform/ServiceAdvertiser.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <qcoro/qcorotimer.h>

#include <atomic>
#include <deque>
#include <memory>

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The accept4 the server's listener reaches through Qt. A test makes the next calls fail the way a
// connection aborted between its arrival and its acceptance fails.
std::atomic<int> abortedAccepts{0};

extern "C" int accept4(int listener, sockaddr* address, socklen_t* length, int flags) {
    using Accept4 = int (*)(int, sockaddr*, socklen_t*, int);
    static const auto real = reinterpret_cast<Accept4>(::dlsym(RTLD_NEXT, "accept4"));
    const int accepted = real(listener, address, length, flags);
    if (accepted >= 0 && abortedAccepts > 0) {
        --abortedAccepts;
        ::close(accepted);
        errno = ECONNABORTED;
        return -1;
    }
    return accepted;
}

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
    QStringList received; // the names of the looks handed over
    qsizetype lastCubeSize = 0;
    QMap<QString, QByteArray> files{{QStringLiteral("Day2.cube"), QByteArray("LUT_3D_SIZE 2\n")},
                                    {QStringLiteral("My Look.cube"), QByteArray("TITLE \"My Look\"\n")},
                                    {QStringLiteral("Big.cube"), bigFile()}};

    explicit Harness(quint16 preferredPort = 0, std::chrono::milliseconds longPoll = 25s,
                     std::chrono::milliseconds requestTimeout = 60s)
        : server(std::make_unique<LocalServer>(&advertiser, QStringLiteral("Studio Mac"), preferredPort,
                                               longPoll, requestTimeout)) {
        server->identity = [] {
            return QMap<QString, QString>{{"app", "Tonewharf"}, {"mac", "Studio Mac"}, {"version", "0.1.0"}};
        };
        server->receiveLUT = [this](Incoming incoming) -> QCoro::Task<bool> {
            co_await QCoro::sleepFor(5ms); // the engine answers later, after writing
            received.append(incoming.name);
            lastCubeSize = incoming.cube.size();
            co_return incoming.name != QStringLiteral("Refused");
        };
        server->inbox = [this] {
            ++inboxCalls;
            return snapshot;
        };
        server->inboxFile = [this](const QString& name) {
            return files.contains(name) ? std::optional(files.value(name)) : std::nullopt;
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
const QByteArray lookBody = R"({"name":"Warm","cube":"LUT_3D_SIZE 2\n"})";
const QByteArray helloRequest = "GET /v1/hello HTTP/1.1\r\n\r\n";
const QByteArray pollRequest = "GET /v1/inbox?since=3 HTTP/1.1\r\n\r\n";

QByteArray inboxAnswer(qint64 seq) {
    return answer("200 OK", "application/json",
                  R"({"items":[{"hash":")" + QByteArray(64, 'a') +
                      R"(","name":"Day2.cube","size":12}],"seq":)" + QByteArray::number(seq) + "}");
}

// Raw loopback connections made from this thread: each sends its parts with short pauses (so they
// arrive as separate reads), optionally a generated JSON body of an exact size and a half-close.
// Every wait keeps the event loop running, so that the server's callbacks on this thread can answer.
struct Connection {
    QByteArrayList parts;
    bool halfClose = false;
    qint64 bodySize = 0;
};

struct Exchange {
    bool closedByServer = false; // before the client gave up waiting
    QByteArray response;
};

// Answered or not, the server must end every connection itself.
bool allClosedByServer(const QList<Exchange>& exchanges) {
    return std::all_of(exchanges.begin(), exchanges.end(),
                       [](const Exchange& e) { return e.closedByServer; });
}

class RawClient {
public:
    RawClient(quint16 port, const QList<Connection>& connections) {
        for (const Connection& connection : connections) {
            auto* socket = new QTcpSocket(&m_sockets);
            auto* response = &m_responses.emplace_back();
            QObject::connect(socket, &QTcpSocket::readyRead, socket,
                             [=] { response->append(socket->readAll()); });
            socket->connectToHost(QHostAddress::LocalHost, port);
            socket->waitForConnected(5000);
            QByteArrayList parts = connection.parts;
            if (connection.bodySize > 0) {
                const QByteArray prefix = R"({"name":"Big","cube":")", suffix = R"("})";
                parts.append(prefix + QByteArray(connection.bodySize - prefix.size() - suffix.size(), 'x') +
                             suffix);
            }
            for (qsizetype i = 0; i < parts.size(); ++i) {
                QTest::qWait(i > 0 && i < connection.parts.size() ? 100 : 0);
                socket->write(parts[i]);
                if (!QTest::qWaitFor([&] { return socket->bytesToWrite() == 0; }, 30000)) {
                    qWarning() << "the client could not send all of its request";
                }
            }
            if (connection.halfClose) {
                ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
            }
        }
    }

    QList<Exchange> finish(int timeoutMs = 10000) {
        QDeadlineTimer deadline(timeoutMs);
        QList<Exchange> exchanges;
        const QList<QTcpSocket*> sockets = m_sockets.findChildren<QTcpSocket*>();
        for (qsizetype i = 0; i < sockets.size(); ++i) {
            const bool closed =
                QTest::qWaitFor([&] { return sockets[i]->state() == QAbstractSocket::UnconnectedState; },
                                int(deadline.remainingTime()));
            exchanges.append({closed, m_responses[size_t(i)]});
        }
        return exchanges;
    }

private:
    QObject m_sockets;
    std::deque<QByteArray> m_responses;
};

QByteArray runCurl(const QStringList& arguments, const QByteArray& input = {}) {
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               QStringList{"-s", "-i", "--max-time", "10", "-H", "Expect:"} + arguments);
    curl.write(input);
    curl.closeWriteChannel();
    if (curl.state() != QProcess::NotRunning) {
        QSignalSpy(&curl, &QProcess::finished).wait(20000);
    }
    return curl.readAllStandardOutput();
}

QByteArray curlHello(quint16 port) {
    return runCurl({QStringLiteral("http://127.0.0.1:%1/v1/hello").arg(port)});
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
    void parkedRequestsAreAnsweredWholeOrClosedByStop();
    void endsStalledConnectionsAndLeavesNoDescriptorBehind();
    void aSlowReaderGetsAllOfAnAnswerAndAStalledOneIsClosed();
    void fallsBackWhenThePreferredPortIsTaken();
    void aFailedAcceptCostsOnlyThatConnection();
};

void TestLocalServer::answersCurl_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QStringList>("receivedNames");

    const auto url = [](const char* target) { return QStringLiteral("http://127.0.0.1:PORT") + target; };
    const auto get = [&](const char* target) { return QStringList{url(target)}; };
    const auto post = [&](const char* target) { return QStringList{"--data-binary", "@-", url(target)}; };
    const auto row = [](const char* name, const QStringList& arguments, const QByteArray& expected,
                        const QByteArray& input = {}, const QStringList& names = {}) {
        QTest::newRow(name) << arguments << input << expected << names;
    };

    row("GET /v1/hello answers the identity as a JSON object", get("/v1/hello"), helloAnswer);
    row("a look that is taken is answered 200 ok true", post("/v1/luts"), okTrue, lookBody, {"Warm"});
    row("a refused look is answered 500 ok false", post("/v1/luts"),
        answer("500 Internal Server Error", "application/json", R"({"ok":false})"),
        R"({"name":"Refused","cube":"x"})", {"Refused"});
    row("extra keys in a look are ignored", post("/v1/luts"), okTrue,
        R"({"name":"Warm","cube":"x","size":33,"extra":[1]})", {"Warm"});
    row("a look without cube is answered 400", post("/v1/luts"), badRequest, R"({"name":"Warm"})");
    row("a look whose size is a string is answered 400", post("/v1/luts"), badRequest,
        R"({"name":"Warm","cube":"x","size":"33"})");
    row("GET /v1/inbox without since is answered at once", get("/v1/inbox"), inboxAnswer(3));
    row("since that is not a number is answered at once", get("/v1/inbox?since=abc"), inboxAnswer(3));
    row("since other than the current sequence is answered at once", get("/v1/inbox?since=2"),
        inboxAnswer(3));
    row("an inbox file is answered with its bytes as text", get("/v1/inbox/Day2.cube"),
        answer("200 OK", "text/plain", "LUT_3D_SIZE 2\n"));
    row("an inbox file name is percent-decoded", get("/v1/inbox/My%20Look.cube"),
        answer("200 OK", "text/plain", "TITLE \"My Look\"\n"));
    row("a missing inbox file is answered 404", get("/v1/inbox/Nope.cube"), notFound);
    row("an empty inbox file name is asked of the engine, not routed as the listing", get("/v1/inbox/"),
        notFound);
    row("POST /v1/hello is answered 404", post("/v1/hello"), notFound, "{}");
    row("GET /v1/luts is answered 404", get("/v1/luts"), notFound);
    row("PUT /v1/inbox is answered 404", QStringList{"-X", "PUT", url("/v1/inbox")}, notFound);
    row("OPTIONS is answered 404", QStringList{"-X", "OPTIONS", url("/v1/hello")}, notFound);
    row("paths are matched with their case", get("/V1/hello"), notFound);
}

void TestLocalServer::answersCurl() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);

    Harness harness;
    QVERIFY(harness.start());
    arguments.replaceInStrings(QStringLiteral("PORT"), QString::number(harness.port()));
    QTEST(runCurl(arguments, input), "expected");
    QTEST(harness.received, "receivedNames");
}

void TestLocalServer::readsRawRequests_data() {
    QTest::addColumn<QByteArrayList>("parts");
    QTest::addColumn<bool>("halfClose");
    QTest::addColumn<QByteArray>("expected"); // empty: closed without an answer
    QTest::addColumn<QStringList>("receivedNames");

    const QByteArray post = "POST /v1/luts HTTP/1.1\r\n";
    const QByteArray look = post + "Content-Length: " + QByteArray::number(lookBody.size()) + "\r\n\r\n";
    const auto row = [](const char* name, const QByteArrayList& parts, bool halfClose,
                        const QByteArray& expected, const QStringList& names = {}) {
        QTest::newRow(name) << parts << halfClose << expected << names;
    };

    row("a head that arrives in three reads is answered once complete",
        {"GET /v1/hel", "lo HTTP/1.1\r\nHost: x\r\n", "\r\n"}, false, helloAnswer);
    row("a blank line split after its CR and before its last LF is found",
        {"GET /v1/hello HTTP/1.1\r", "\n\r", "\n"}, false, helloAnswer);
    row("a lower-case method is routed as GET", {"get /v1/hello HTTP/1.1\r\n\r\n"}, false, helloAnswer);
    row("a look sent by a client that half-closes is still answered", {look + lookBody}, true, okTrue,
        {"Warm"});
    row("a client that half-closes gets all of an answer larger than a socket takes at once",
        {"GET /v1/inbox/Big.cube HTTP/1.1\r\n\r\n"}, true, answer("200 OK", "text/plain", bigFile()));
    row("a body split across reads is routed once complete", {look + lookBody.left(10), lookBody.mid(10)},
        false, okTrue, {"Warm"});
    row("bytes beyond Content-Length, such as a second request, are ignored",
        {look + lookBody + helloRequest}, false, okTrue, {"Warm"});
    row("a negative Content-Length is answered 400", {post + "Content-Length: -5\r\n\r\n" + lookBody}, false,
        badRequest);
    row("a one-token request line is closed unanswered when the peer finishes", {"GET\r\n\r\n"}, true, {});
    row("a head cut short by the peer is closed unanswered", {"GET /v1/hello HTTP/1.1\r\n"}, true, {});
    row("a body cut short by the peer is closed unanswered", {look + lookBody.left(5)}, true, {});
    row("more than 64 KiB without a blank line is closed unanswered",
        {"GET /v1/hello HTTP/1.1\r\nX: " + QByteArray(65536, 'a')}, false, {});
    row("more than 64 KiB after a one-token request line is closed unanswered",
        {"GET\r\n\r\n", QByteArray(65536, 'a')}, false, {});
}

void TestLocalServer::readsRawRequests() {
    QFETCH(QByteArrayList, parts);
    QFETCH(bool, halfClose);

    Harness harness;
    QVERIFY(harness.start());
    const QList<Exchange> exchanges = RawClient(harness.port(), {{parts, halfClose}}).finish();
    QCOMPARE(exchanges.size(), 1);
    QTEST(exchanges[0].response, "expected");
    QVERIFY(allClosedByServer(exchanges));
    QTEST(harness.received, "receivedNames");
}

void TestLocalServer::acceptsTheLargestBodyAndRefusesOneByteMore() {
    Harness harness;
    QVERIFY(harness.start());
    const qint64 largest = 67108864;
    const auto head = [](qint64 length) {
        return "POST /v1/luts HTTP/1.1\r\nContent-Length: " + QByteArray::number(length) + "\r\n\r\n";
    };
    const QList<Exchange> exchanges =
        RawClient(harness.port(), {{{head(largest)}, false, largest}, {{head(largest + 1)}}}).finish(60000);
    QCOMPARE(exchanges.size(), 2);
    QCOMPARE(exchanges[0].response, okTrue);
    QCOMPARE(harness.received, QStringList{"Big"});
    QCOMPARE(harness.lastCubeSize, largest - qsizetype(strlen("{\"name\":\"Big\",\"cube\":\"\"}")));
    // The refused one sent no body; it is answered without waiting for one.
    QCOMPARE(exchanges[1].response, answer("413 Payload Too Large", "text/plain", "too large"));
    QVERIFY(allClosedByServer(exchanges));
}

void TestLocalServer::longPollIsAnsweredByWakeOrTimeout() {
    Harness harness(0, 600ms);
    QVERIFY(harness.start());

    // Two iPads parked on the current sequence are both answered by one wake, with the new listing.
    RawClient woken(harness.port(), {{{pollRequest}}, {{pollRequest}}});
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
    clock.restart();
    const QList<Exchange> timedOut =
        RawClient(harness.port(), {{{"GET /v1/inbox?since=4 HTTP/1.1\r\n\r\n"}}}).finish();
    QCOMPARE(timedOut.size(), 1);
    QCOMPARE(timedOut[0].response, inboxAnswer(4));
    QVERIFY2(clock.elapsed() >= 550, qPrintable(QString::number(clock.elapsed())));
}

void TestLocalServer::parkedRequestsAreAnsweredWholeOrClosedByStop() {
    Harness harness;
    QVERIFY(harness.start());
    // A second start while listening changes nothing: the request behind it is served on the
    // same port and no new port is reported.
    harness.server->start();
    QCOMPARE(curlHello(harness.port()), helloAnswer);
    QCOMPARE(harness.ports.size(), 1);

    // A listing far larger than a socket takes at once: the rest must follow once the client reads.
    RawClient woken(harness.port(), {{{pollRequest}}});
    QTRY_COMPARE(harness.inboxCalls, 1);
    harness.snapshot.seq = 4;
    for (int i = 0; i < 80000; ++i) {
        harness.snapshot.items.append({QStringLiteral("Grade %1.cube").arg(i), QString(64, u'b'), i});
    }
    harness.server->notifyInboxChanged();
    QList<Exchange> exchanges = woken.finish();
    QCOMPARE(exchanges.size(), 1);
    const QByteArray body = harness.snapshot.encode();
    QVERIFY(body.size() > 8 * 1024 * 1024);
    QVERIFY(exchanges[0].response == answer("200 OK", "application/json", body));

    const int calls = harness.inboxCalls; // the wake asked for the listing too
    RawClient parked(harness.port(), {{{"GET /v1/inbox?since=4 HTTP/1.1\r\n\r\n"}}});
    QTRY_COMPARE(harness.inboxCalls, calls + 1);
    harness.server->stop();
    exchanges = parked.finish();
    QCOMPARE(exchanges.size(), 1);
    QCOMPARE(exchanges[0].response, QByteArray());
    QVERIFY(allClosedByServer(exchanges));
    QTRY_COMPARE(harness.ports.last(), std::optional<quint16>());
    QTRY_COMPARE(harness.advertiser.withdrawals, 1);

    // A wake after the stop finds nobody to answer, and a new start serves again.
    harness.server->notifyInboxChanged();
    QVERIFY(harness.start());
    QCOMPARE(curlHello(harness.port()), helloAnswer);
    QTRY_COMPARE(harness.advertiser.advertised.size(), 2);
}

QStringList openDescriptors() {
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
}

// Descriptors opened since `earlier` that a child process would inherit.
QStringList inheritedByChildren(const QStringList& earlier) {
    QStringList inherited;
    for (const QString& name : openDescriptors()) {
        const int flags = ::fcntl(name.toInt(), F_GETFD);
        if (!earlier.contains(name) && flags >= 0 && !(flags & FD_CLOEXEC)) {
            inherited.append(name);
        }
    }
    return inherited;
}

void TestLocalServer::endsStalledConnectionsAndLeavesNoDescriptorBehind() {
    const QStringList before = openDescriptors();
    {
        Harness harness(0, 25s, 400ms);
        QVERIFY(harness.start());
        // Connections that never complete their request are closed at the (shortened) deadline; a
        // complete one beside them is answered as usual.
        QList<Exchange> exchanges =
            RawClient(harness.port(), {{{"GET /v1/hel"}},
                                       {{"POST /v1/luts HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"name\""}},
                                       {{helloRequest}},
                                       {{"GET /nowhere HTTP/1.1\r\n\r\n"}}})
                .finish(5000);
        QCOMPARE(exchanges.size(), 4);
        QCOMPARE(exchanges[0].response, QByteArray());
        QCOMPARE(exchanges[1].response, QByteArray());
        QCOMPARE(exchanges[2].response, helloAnswer);
        QCOMPARE(exchanges[3].response, notFound);
        QVERIFY(allClosedByServer(exchanges));

        // A parked request is still open when the server goes away with its owner.
        RawClient parked(harness.port(), {{{pollRequest}}});
        QTRY_COMPARE(harness.inboxCalls, 1);
        // Nothing the server holds, the parked connection least of all, reaches a child process.
        QCOMPARE(inheritedByChildren(before), QStringList());
        harness.server.reset();
        exchanges = parked.finish(5000);
        QCOMPARE(exchanges.size(), 1);
        QCOMPARE(exchanges[0].response, QByteArray());
        QVERIFY(allClosedByServer(exchanges));
    }
    QTRY_COMPARE(openDescriptors(), before);
}

// A client whose receive window is small, so that an answer moves only as fast as it reads.
int connectWithSmallWindow(quint16 port, const QByteArray& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int window = 16384;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::send(fd, request.constData(), size_t(request.size()), 0) != request.size()) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads at most `limit` bytes of what has arrived; false once the server has closed the connection.
bool readSome(int fd, QByteArray& into, qsizetype limit) {
    char chunk[16384];
    for (qsizetype taken = 0; taken < limit;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            return false;
        }
        if (n < 0) {
            return true;
        }
        into.append(chunk, n);
        taken += n;
    }
    return true;
}

void TestLocalServer::aSlowReaderGetsAllOfAnAnswerAndAStalledOneIsClosed() {
    Harness harness(0, 25s, 1000ms);
    QVERIFY(harness.start());
    const QByteArray request = "GET /v1/inbox/Big.cube HTTP/1.1\r\n\r\n";
    const int slow = connectWithSmallWindow(harness.port(), request);
    const int stalled = connectWithSmallWindow(harness.port(), request);
    QVERIFY(slow >= 0 && stalled >= 0);

    // About 80 KiB every 20 ms: a few times the (shortened) timeout in all, never a pause near it.
    QByteArray received;
    QElapsedTimer clock;
    clock.start();
    while (readSome(slow, received, 80 * 1024) && clock.elapsed() < 20000) {
        QTest::qWait(20);
    }
    ::close(slow);
    QVERIFY(received == answer("200 OK", "text/plain", bigFile()));
    QVERIFY2(clock.elapsed() > 2500, "the answer must take longer than the timeout to read");

    // The one that never read is closed once it has made no progress for the timeout.
    QByteArray rest;
    QVERIFY(QTest::qWaitFor([&] { return !readSome(stalled, rest, bigFile().size()); }, 5000));
    ::close(stalled);
    QVERIFY(rest.size() < bigFile().size());
}

void TestLocalServer::fallsBackWhenThePreferredPortIsTaken() {
    // Whoever holds 7420, this socket or another program, the server must fall back.
    QTcpServer blocker;
    if (!blocker.listen(QHostAddress::LocalHost, LocalServer::defaultPreferredPort)) {
        qInfo() << "port 7420 is already held elsewhere:" << blocker.errorString();
    }

    Harness harness(LocalServer::defaultPreferredPort);
    QVERIFY(harness.start());
    QCOMPARE(harness.ports.size(), 1);
    const quint16 fallback = harness.port();
    QVERIFY(fallback != 0 && fallback != LocalServer::defaultPreferredPort);
    QCOMPARE(curlHello(fallback), helloAnswer);

    QTRY_COMPARE(harness.advertiser.advertised.size(), 1);
    const ServiceAdvertiser::Service service = harness.advertiser.advertised.first();
    QCOMPARE(service.name, QStringLiteral("Studio Mac"));
    QCOMPARE(service.type, QStringLiteral("_tonewharf._tcp"));
    QCOMPARE(service.port, fallback);
    QCOMPARE(service.txt, (QList<QPair<QByteArray, QByteArray>>{{"v", "1"}}));
}

void TestLocalServer::aFailedAcceptCostsOnlyThatConnection() {
    Harness harness;
    QVERIFY(harness.start());
    abortedAccepts = 1;
    QCOMPARE(curlHello(harness.port()), QByteArray()); // the aborted one
    QCOMPARE(abortedAccepts.load(), 0);
    // The listener goes on answering on its port; nothing is withdrawn or reported again.
    QCOMPARE(curlHello(harness.port()), helloAnswer);
    QCOMPARE(harness.ports.size(), 1);
    QCOMPARE(harness.advertiser.withdrawals, 0);
}

QTEST_GUILESS_MAIN(TestLocalServer)
#include "TestLocalServer.moc"
