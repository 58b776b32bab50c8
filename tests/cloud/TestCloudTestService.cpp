#include "support/CloudTestService.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

namespace {

// Reads from a blocking socket until `needle` has arrived; gives everything read so far.
QByteArray readUntil(QTcpSocket& socket, QByteArray& buffer, const QByteArray& needle, int timeoutMs = 5000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!buffer.contains(needle) && !deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime()))) {
            break;
        }
        buffer += socket.readAll();
    }
    const qsizetype end = buffer.indexOf(needle);
    if (end < 0) {
        return {};
    }
    const QByteArray taken = buffer.left(end + needle.size());
    buffer.remove(0, taken.size());
    return taken;
}

QByteArray readToEnd(QTcpSocket& socket, QByteArray& buffer, int timeoutMs = 5000) {
    const QDeadlineTimer deadline(timeoutMs);
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(std::min<qint64>(deadline.remainingTime(), 200)));
        buffer += socket.readAll();
    }
    buffer += socket.readAll();
    return std::exchange(buffer, {});
}

bool openStream(QTcpSocket& socket, QByteArray& buffer, quint16 port) {
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000)) {
        return false;
    }
    socket.write("GET /api/realtime HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/event-stream\r\n\r\n");
    const QByteArray head = readUntil(socket, buffer, "\r\n\r\n");
    return head.startsWith("HTTP/1.1 200") && head.contains("Content-Type: text/event-stream\r\n");
}

} // namespace

// The test service keeps the contract the cloud and realtime tests are written against.
class TestCloudTestService : public QObject {
    Q_OBJECT

private:
    CloudTestService m_service;

private slots:
    void initTestCase() { QVERIFY(m_service.start()); }

    void startsAndRecords() {
        QVERIFY(m_service.baseUrl().port() > 0);
        QCOMPARE(m_service.baseUrl().host(), QStringLiteral("127.0.0.1"));
        const QString id = m_service.createUser(QStringLiteral("a@b.c"), QStringLiteral("pw"));
        QCOMPARE(id.size(), 15);
        QCOMPARE(m_service.requests().size(), 0);
        QCOMPARE(m_service.control("GET", QStringLiteral("/_test/nothing")).toObject().value("code").toInt(),
                 404);
        QCOMPARE(m_service.lastStatus(), 404);
    }

    void streamsRecordChangesToSubscribers() {
        QTcpSocket stream;
        QByteArray buffer;
        QVERIFY(openStream(stream, buffer, m_service.port()));
        const QByteArray connect = readUntil(stream, buffer, "\n\n");
        const QList<QByteArray> lines = connect.split('\n');
        QVERIFY(lines.size() == 5 && lines[0].startsWith("id:"));
        const QByteArray clientId = lines[0].mid(3);
        QCOMPARE(connect,
                 "id:" + clientId + "\nevent:PB_CONNECT\ndata:{\"clientId\":\"" + clientId + "\"}\n\n");

        QTcpSocket subscribe;
        subscribe.connectToHost(QStringLiteral("127.0.0.1"), m_service.port());
        QVERIFY(subscribe.waitForConnected(5000));
        const QByteArray body =
            "{\"clientId\":\"" + clientId + "\",\"subscriptions\":[\"tintara_looks\",\"tintara_luts\"]}";
        subscribe.write("POST /api/realtime HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                        "Content-Length: " +
                        QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QByteArray answer;
        QVERIFY(readUntil(subscribe, answer, "\r\n\r\n").startsWith("HTTP/1.1 204"));

        const QJsonObject created =
            m_service
                .control("POST", QStringLiteral("/_test/records"),
                         QJsonObject{{"collection", "tintara_luts"},
                                     {"fields", QJsonObject{{"id", "r1"}, {"name", "Cool"}}},
                                     {"fileName", "Cool Look.cube"},
                                     {"fileBase64", QString::fromLatin1(QByteArray("abc").toBase64())}})
                .toObject();
        QCOMPARE(created.value("id").toString(), QStringLiteral("r1"));
        QVERIFY(created.value("file").toString().startsWith(QStringLiteral("cool_look_")));
        // A change in a collection nobody subscribed to sends nothing.
        m_service.control(
            "POST", QStringLiteral("/_test/records"),
            QJsonObject{{"collection", "tintara_shots"}, {"fields", QJsonObject{{"id", "s1"}}}});
        m_service.control("PATCH", QStringLiteral("/_test/records/tintara_luts/r1"),
                          QJsonObject{{"resolve", true}});
        m_service.control("DELETE", QStringLiteral("/_test/records/tintara_luts/r1"));

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

        const QJsonArray clients =
            m_service.control("GET", QStringLiteral("/_test/realtime/clients")).toArray();
        QCOMPARE(clients.last().toObject().value("subscriptions").toArray(),
                 QJsonArray({"tintara_looks", "tintara_luts"}));
        QCOMPARE(clients.last().toObject().value("open").toBool(), true);

        m_service.control("POST", QStringLiteral("/_test/realtime/send"),
                          QJsonObject{{"base64", "OnBpbmcKCg=="}});
        m_service.control("POST", QStringLiteral("/_test/realtime/cut"));
        QCOMPARE(readToEnd(stream, buffer), QByteArray(":ping\n\n"));
        QCOMPARE(stream.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(m_service.control("GET", QStringLiteral("/_test/realtime/clients"))
                         .toArray()
                         .last()
                         .toObject()
                         .value("open")
                         .toBool(),
                     false);
    }

    void playsScriptedStreams() {
        const int opensBefore = m_service.control("GET", QStringLiteral("/_test/realtime/opens"))
                                    .toObject()
                                    .value("count")
                                    .toInt();
        const QJsonArray chunks{
            QJsonObject{{"base64", QString::fromLatin1(QByteArray("id:x\nev").toBase64())}},
            QJsonObject{{"base64", QString::fromLatin1(QByteArray("ent:PB_CONNECT\n\n").toBase64())},
                        {"delayMs", 100}}};
        m_service.control("POST", QStringLiteral("/_test/realtime/script"),
                          QJsonObject{{"streams", QJsonArray{QJsonObject{{"chunks", chunks}, {"close", true}},
                                                             QJsonObject{{"closeImmediately", true}}}}});

        QTcpSocket scripted;
        QByteArray buffer;
        QVERIFY(openStream(scripted, buffer, m_service.port()));
        QCOMPARE(readToEnd(scripted, buffer), QByteArray("id:x\nevent:PB_CONNECT\n\n"));

        QTcpSocket closed;
        closed.connectToHost(QStringLiteral("127.0.0.1"), m_service.port());
        QVERIFY(closed.waitForConnected(5000));
        closed.write("GET /api/realtime HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QByteArray nothing;
        QCOMPARE(readToEnd(closed, nothing), QByteArray());

        const QJsonObject opens =
            m_service.control("GET", QStringLiteral("/_test/realtime/opens")).toObject();
        QCOMPARE(opens.value("count").toInt(), opensBefore + 2);
        QCOMPARE(opens.value("times").toArray().size(), opensBefore + 2);
    }
};

QTEST_GUILESS_MAIN(TestCloudTestService)
#include "TestCloudTestService.moc"
