#include "support/CloudTestService.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

namespace {

// Reads from a blocking socket until `needle` has arrived; gives everything up to it, or nothing.
QByteArray readUntil(QTcpSocket& socket, QByteArray& buffer, const QByteArray& needle) {
    const QDeadlineTimer deadline(5000);
    while (!buffer.contains(needle) &&
           (socket.bytesAvailable() > 0 || socket.waitForReadyRead(int(deadline.remainingTime())))) {
        buffer += socket.readAll();
    }
    const qsizetype end = buffer.indexOf(needle);
    return end < 0 ? QByteArray()
                   : std::exchange(buffer, buffer.mid(end + needle.size())).left(end + needle.size());
}

// Sends a raw request on a fresh connection to the service; false when it cannot connect.
bool request(QTcpSocket& socket, quint16 port, const QByteArray& head, const QByteArray& body = {}) {
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000)) {
        return false;
    }
    socket.write(head + "Host: 127.0.0.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
                 body);
    return true;
}

} // namespace

// The test service keeps the PocketBase realtime contract the realtime tests are written against.
class TestCloudTestService : public QObject {
    Q_OBJECT

private slots:
    void streamsRecordChangesToSubscribers() {
        CloudTestService service;
        QVERIFY(service.start());
        QTcpSocket stream;
        QByteArray buffer;
        QVERIFY(
            request(stream, service.port(), "GET /api/realtime HTTP/1.1\r\nAccept: text/event-stream\r\n"));
        const QByteArray head = readUntil(stream, buffer, "\r\n\r\n");
        QVERIFY2(head.startsWith("HTTP/1.1 200") && head.contains("Content-Type: text/event-stream\r\n"),
                 head.constData());
        // PB_CONNECT first, its id line naming the client.
        const QByteArray connect = readUntil(stream, buffer, "\n\n");
        QVERIFY2(connect.startsWith("id:"), connect.constData());
        const QByteArray clientId = connect.mid(3, connect.indexOf('\n') - 3);
        QCOMPARE(connect,
                 "id:" + clientId + "\nevent:PB_CONNECT\ndata:{\"clientId\":\"" + clientId + "\"}\n\n");

        QTcpSocket subscribe;
        QByteArray answer;
        QVERIFY(request(
            subscribe, service.port(), "POST /api/realtime HTTP/1.1\r\nContent-Type: application/json\r\n",
            "{\"clientId\":\"" + clientId + "\",\"subscriptions\":[\"tintara_looks\",\"tintara_luts\"]}"));
        QVERIFY(readUntil(subscribe, answer, "\r\n\r\n").startsWith("HTTP/1.1 204"));

        // Changes made by the test itself, as the iPad would; tintara_shots has no subscriber.
        service.control("POST", QStringLiteral("/_test/records"),
                        QJsonObject{{"collection", "tintara_luts"},
                                    {"fields", QJsonObject{{"id", "r1"}, {"name", "Cool"}}}});
        service.control("POST", QStringLiteral("/_test/records"),
                        QJsonObject{{"collection", "tintara_shots"}, {"fields", QJsonObject{{"id", "s1"}}}});
        service.control("PATCH", QStringLiteral("/_test/records/tintara_luts/r1"),
                        QJsonObject{{"resolve", true}});
        service.control("DELETE", QStringLiteral("/_test/records/tintara_luts/r1"));
        for (const char* action : {"create", "update", "delete"}) {
            const QByteArray block = readUntil(stream, buffer, "\n\n");
            const QByteArray prefix = "id:" + clientId + "\nevent:tintara_luts\ndata:";
            QVERIFY2(block.startsWith(prefix), block.constData());
            const QJsonObject data = QJsonDocument::fromJson(block.mid(prefix.size())).object();
            QCOMPARE(data.value("action").toString(), QLatin1String(action));
            QCOMPARE(data.value("record").toObject().value("id").toString(), QStringLiteral("r1"));
            QCOMPARE(data.value("record").toObject().value("resolve").toBool(),
                     qstrcmp(action, "create") != 0);
        }
        QCOMPARE(service.control("GET", QStringLiteral("/_test/realtime/clients"))
                     .toArray()
                     .last()["subscriptions"],
                 QJsonArray({"tintara_looks", "tintara_luts"}));

        // Told to cut the stream, it ends the connection.
        service.control("POST", QStringLiteral("/_test/realtime/cut"));
        QTRY_COMPARE(stream.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(stream.readAll(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestCloudTestService)
#include "TestCloudTestService.moc"
