#include "local/HttpRequest.h"
#include "local/RequestReceipt.h"

#include <QTest>

#include <limits>

class TestHttpParsing : public QObject {
    Q_OBJECT

private slots:
    void parsesHeads_data();
    void parsesHeads();
    void incompleteOrMalformedHeadsAreNoRequest_data();
    void incompleteOrMalformedHeadsAreNoRequest();
    void reservesOnlyTheBodyBytesThatArrived();
    void writesAnswersByteForByte_data();
    void writesAnswersByteForByte();
};

void TestHttpParsing::parsesHeads_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QVariantMap>("query");
    QTest::addColumn<qint64>("contentLength");
    QTest::addColumn<qint64>("headerEnd");

    const auto row = [](const char* name, const QByteArray& bytes, const QString& method, const QString& path,
                        const QVariantMap& query = {}, qint64 length = 0, qint64 headerEnd = -1) {
        QTest::newRow(name) << bytes << method << path << query << length
                            << (headerEnd < 0 ? qint64(bytes.size()) : headerEnd);
    };
    row("a plain GET ends its head after the blank line", "GET /v1/hello HTTP/1.1\r\nHost: mac.local\r\n\r\n",
        "GET", "/v1/hello");
    row("a lower-case method is upper-cased and the path keeps its case", "get /V1/Hello HTTP/1.1\r\n\r\n",
        "GET", "/V1/Hello");
    row("runs of spaces in the request line are one separator", "POST   /v1/luts    HTTP/1.1\r\n\r\n", "POST",
        "/v1/luts");
    row("a request line without a protocol version still parses", "GET /x\r\n\r\n", "GET", "/x");
    row("the head ends at the first blank line and the body follows it",
        "POST /v1/luts HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody\r\n\r\n", "POST", "/v1/luts", {}, 4, 45);

    const auto lengthRow = [&](const char* name, const QByteArray& headers, qint64 length) {
        row(name, "POST /v1/luts HTTP/1.1\r\n" + headers + "\r\n", "POST", "/v1/luts", {}, length);
    };
    lengthRow("other headers are ignored and Content-Length is read as a decimal number",
              "Content-Type: application/json\r\nContent-Length: 3\r\nX: 9\r\n", 3);
    lengthRow("the header name is matched in any case and the value trimmed of spaces",
              "content-LENGTH:  5 \r\n", 5);
    lengthRow("tabs around the name and the value are trimmed too", "\tContent-Length\t:\t9\t\r\n", 9);
    lengthRow("a Content-Length that is not a number gives 0", "Content-Length: abc\r\n", 0);
    lengthRow("an empty value after blanks gives 0", "Content-Length: 12\r\nContent-Length:   \r\n", 0);
    lengthRow("of two Content-Length lines the last one counts",
              "Content-Length: 2\r\nContent-Length: 23\r\n", 23);
    lengthRow("an invalid last Content-Length line wins and gives 0",
              "Content-Length: 23\r\nContent-Length: 2x\r\n", 0);
    lengthRow("a Content-Length line with nothing after the colon leaves the earlier value",
              "Content-Length: 23\r\nContent-Length:\r\n", 23);
    lengthRow("a colon before the name makes a one-piece line that is ignored",
              "Content-Length: 7\r\n:Content-Length\r\n", 7);
    lengthRow("a plus sign is accepted", "Content-Length: +7\r\n", 7);
    lengthRow("a negative number passes the number check", "Content-Length: -5\r\n", -5);
    lengthRow("the largest 64-bit value is read exactly", "Content-Length: 9223372036854775807\r\n",
              std::numeric_limits<qint64>::max());
    lengthRow("a value beyond 64 bits gives 0", "Content-Length: 9223372036854775808\r\n", 0);
    lengthRow("a lone sign gives 0", "Content-Length: -\r\n", 0);
    lengthRow("digits with inner spaces give 0", "Content-Length: 1 2\r\n", 0);
    lengthRow("a bare LF does not end a header line", "Content-Length: 5\nX-Other: 1\r\n", 0);
    lengthRow("a second colon stays in the value", "Content-Length::5\r\n", 0);

    const auto targetRow = [&](const char* name, const QByteArray& target, const QString& path,
                               const QVariantMap& query = {}) {
        row(name, "GET " + target + " HTTP/1.1\r\n\r\n", "GET", path, query);
    };
    targetRow("a later parameter with the same key replaces the earlier one", "/v1/inbox?since=5&since=7",
              "/v1/inbox", {{"since", "7"}});
    targetRow("a key without a value gets the empty value", "/v1/inbox?a", "/v1/inbox", {{"a", ""}});
    targetRow("only the first equals sign splits a piece", "/v1/inbox?a==b=c", "/v1/inbox", {{"a", "=b=c"}});
    targetRow("a piece starting with an equals sign names its value as the key", "/v1/inbox?=x", "/v1/inbox",
              {{"x", ""}});
    targetRow("values are percent-decoded but keys are not", "/v1/inbox?%41=%41", "/v1/inbox",
              {{"%41", "A"}});
    targetRow("a value with an invalid escape is kept as written", "/v1/inbox?k=%zz", "/v1/inbox",
              {{"k", "%zz"}});
    targetRow("empty pieces between ampersands are dropped", "/v1/inbox?&&a=1&&b=2&", "/v1/inbox",
              {{"a", "1"}, {"b", "2"}});
    targetRow("pieces made only of equals signs name nothing and are skipped", "/v1/inbox?=&==&since=4",
              "/v1/inbox", {{"since", "4"}});
    targetRow("a second question mark belongs to the query", "/v1/inbox?a=1?b", "/v1/inbox", {{"a", "1?b"}});
    targetRow("an empty query gives no parameters", "/v1/inbox?", "/v1/inbox");
    targetRow("escapes in the path, a space, a slash and UTF-8 among them, are decoded; plus stays plus",
              "/v1/inbox/My%20Caf%C3%A9%2Fa+b", "/v1/inbox/My Caf\u00e9/a+b");
    targetRow("a path with an invalid escape is kept as written", "/v1/inbox/50%", "/v1/inbox/50%");
    targetRow("a path whose escapes are not UTF-8 is kept as written", "/v1/inbox/%C3", "/v1/inbox/%C3");
    targetRow("only the path is decoded before the question mark", "/v1/a%3Fb?c=%3F", "/v1/a?b",
              {{"c", "?"}});
}

void TestHttpParsing::parsesHeads() {
    QFETCH(QByteArray, bytes);
    const std::optional<LocalHttp::Request> request = LocalHttp::parseRequest(bytes);
    QVERIFY(request.has_value());
    QTEST(request->method, "method");
    QTEST(request->path, "path");
    QVariantMap query;
    for (auto it = request->query.cbegin(); it != request->query.cend(); ++it) {
        query.insert(it.key(), it.value());
    }
    QTEST(query, "query");
    QTEST(request->contentLength, "contentLength");
    QTEST(request->headerEnd, "headerEnd");
}

void TestHttpParsing::incompleteOrMalformedHeadsAreNoRequest_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("no bytes at all") << QByteArray();
    QTest::newRow("a head without its blank line") << QByteArray("GET /v1/hello HTTP/1.1\r\nHost: x\r\n");
    QTest::newRow("a blank line written with bare LFs") << QByteArray("GET /v1/hello HTTP/1.1\n\n");
    QTest::newRow("a request line of one token") << QByteArray("GET\r\n\r\n");
    QTest::newRow("a request line of one token padded with spaces")
        << QByteArray("  GET   \r\nHost: x\r\n\r\n");
    QTest::newRow("an empty request line") << QByteArray("\r\n\r\n");
    QTest::newRow("a head that is not UTF-8") << QByteArray("GET /\xff\xfe HTTP/1.1\r\n\r\n");
    QTest::newRow("a tab does not separate the tokens") << QByteArray("GET\t/v1/hello\r\n\r\n");
}

void TestHttpParsing::incompleteOrMalformedHeadsAreNoRequest() {
    QFETCH(QByteArray, bytes);
    QVERIFY(!LocalHttp::parseRequest(bytes).has_value());
}

void TestHttpParsing::reservesOnlyTheBodyBytesThatArrived() {
    // A head that declares the largest body holds no more than what came with it.
    const QByteArray bytes = "POST /v1/luts HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n{\"name\"";
    LocalHttp::RequestReceipt receipt;
    receipt.readOnce([&](char* into, qint64) {
        std::copy(bytes.begin(), bytes.end(), into);
        return bytes.size();
    });
    QCOMPARE(receipt.state(), LocalHttp::RequestReceipt::State::Body);
    QVERIFY2(receipt.reservedBytes() <= 2 * LocalHttp::readChunkBytes,
             qPrintable(QString::number(receipt.reservedBytes())));
}

void TestHttpParsing::writesAnswersByteForByte_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("the documented 200 JSON answer")
        << 200 << QByteArray("{\"ok\":true}") << QByteArray("application/json")
        << QByteArray(
               "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 11\r\n"
               "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n{\"ok\":true}");
    const auto textRow = [](const char* name, int status, const QByteArray& body,
                            const QByteArray& statusLine, const QByteArray& length) {
        QTest::newRow(name) << status << body << QByteArray("text/plain")
                            << "HTTP/1.1 " + statusLine + "\r\nContent-Type: text/plain; charset=utf-8\r\n" +
                                   "Content-Length: " + length +
                                   "\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n" + body;
    };
    textRow("413 carries its phrase and the short text", 413, "too large", "413 Payload Too Large", "9");
    textRow("503 carries its phrase with an empty body", 503, {}, "503 Service Unavailable", "0");
    textRow("a status the table does not know is written with OK", 418, "x", "418 OK", "1");
    textRow("the length counts bytes, not characters", 200, "caf\xc3\xa9", "200 OK", "5");
}

void TestHttpParsing::writesAnswersByteForByte() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QTEST(LocalHttp::responseBytes(status, body, contentType), "expected");
}

QTEST_GUILESS_MAIN(TestHttpParsing)
#include "TestHttpParsing.moc"
