#include "local/HttpRequest.h"
#include "local/RequestReceipt.h"

#include <QTest>

class TestHttpParsing : public QObject {
    Q_OBJECT

private slots:
    void parsesHeads_data();
    void parsesHeads();
    void receivesWithinTheLimits_data();
    void receivesWithinTheLimits();
};

void TestHttpParsing::parsesHeads_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QVariantMap>("query");
    QTest::addColumn<qint64>("contentLength");

    const auto row = [](const char* name, const QByteArray& target, const QByteArray& headers,
                        const QString& path, const QVariantMap& query = {}, qint64 length = 0) {
        QTest::newRow(name) << "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n"
                            << path << query << length;
    };
    row("the header name is matched in any case and the value trimmed of spaces", "/v1/luts",
        "Content-Type: a\r\ncontent-LENGTH:  5 \r\n", "/v1/luts", {}, 5);
    row("tabs around the name and the value are trimmed too", "/v1/luts", "\tContent-Length\t:\t9\t\r\n",
        "/v1/luts", {}, 9);
    row("a length beyond 64 bits gives 0", "/v1/luts", "Content-Length: 9223372036854775808\r\n", "/v1/luts");
    row("values are percent-decoded but keys are not, and a later key replaces an earlier one",
        "/v1/inbox?%41=1&%41=%41=", {}, "/v1/inbox", {{"%41", "A="}});
    row("escapes in the path, a space, a slash and UTF-8 among them, are decoded; plus stays plus",
        "/v1/inbox/My%20Caf%C3%A9%2Fa+b", {}, "/v1/inbox/My Caf\u00e9/a+b");
}

void TestHttpParsing::parsesHeads() {
    QFETCH(QByteArray, bytes);
    const std::optional<LocalHttp::Request> request = LocalHttp::parseRequest(bytes + "body");
    QVERIFY(request.has_value());
    QTEST(request->path, "path");
    QVariantMap query;
    for (auto it = request->query.cbegin(); it != request->query.cend(); ++it) {
        query.insert(it.key(), it.value());
    }
    QTEST(query, "query");
    QTEST(request->contentLength, "contentLength");
    QCOMPARE(request->headerEnd, bytes.size());
}

void TestHttpParsing::receivesWithinTheLimits_data() {
    QTest::addColumn<QByteArrayList>("reads");
    QTest::addColumn<LocalHttp::RequestReceipt::State>("state");

    using State = LocalHttp::RequestReceipt::State;
    const auto post = [](const char* length) {
        return "POST /v1/luts HTTP/1.1\r\nContent-Length: " + QByteArray(length) + "\r\n\r\n{\"name\"";
    };
    QTest::newRow("the largest body is awaited") << QByteArrayList{post("67108864")} << State::Body;
    QTest::newRow("a negative length is a bad request") << QByteArrayList{post("-5")} << State::BadRequest;
    QTest::newRow("more than 64 KiB without a blank line overflow")
        << QByteArrayList{"GET / HTTP/1.1\r\nX: " + QByteArray(65536, 'a')} << State::Overflow;
    QTest::newRow("more than 64 KiB after an unparseable head overflow")
        << QByteArrayList{"GET\r\n\r\n", QByteArray(65536, 'a')} << State::Overflow;
}

void TestHttpParsing::receivesWithinTheLimits() {
    QFETCH(QByteArrayList, reads);
    LocalHttp::RequestReceipt receipt;
    for (QByteArrayView rest : reads) {
        while (!rest.isEmpty() && receipt.reading()) {
            receipt.readOnce([&](char* into, qint64 capacity) {
                const qint64 taken = std::min<qint64>(capacity, rest.size());
                std::copy_n(rest.data(), taken, into);
                rest = rest.sliced(taken);
                return taken;
            });
        }
    }
    receipt.readOnce([](char*, qint64) { return qint64(0); }); // asks for room, as a socket read does
    QTEST(receipt.state(), "state"); // and a head that declares a large body holds no more than arrived
    QVERIFY2(receipt.reservedBytes() <= 2 * LocalHttp::readChunkBytes,
             qPrintable(QString::number(receipt.reservedBytes())));
}

QTEST_GUILESS_MAIN(TestHttpParsing)
#include "TestHttpParsing.moc"
