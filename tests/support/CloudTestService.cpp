#include "support/CloudTestService.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

namespace {

constexpr int startTimeoutMs = 10000;
constexpr int controlTimeoutMs = 10000;

} // namespace

CloudTestService::CloudTestService() {
    m_process.setProgram(QStringLiteral(TONEWHARF_PYTHON3));
    m_process.setArguments({QStringLiteral(TONEWHARF_TEST_SUPPORT_DIR "/pocketbase_service.py"),
                            QStringLiteral("--port"), QStringLiteral("0")});
    // Tracebacks of the service show up in the test output.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

CloudTestService::~CloudTestService() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool CloudTestService::start() {
    m_process.start();
    // The first line the service prints is "LISTENING <port>".
    const QDeadlineTimer deadline(startTimeoutMs);
    while (!m_process.canReadLine() && m_process.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    const QByteArray line = m_process.readLine().trimmed();
    m_port = line.startsWith("LISTENING ") ? quint16(line.mid(10).toUInt()) : 0;
    return m_port != 0;
}

QUrl CloudTestService::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

QJsonValue CloudTestService::control(const QByteArray& method, const QString& path, const QJsonValue& body) {
    m_lastStatus = 0;
    const QByteArray payload =
        body.isObject() ? QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact) : QByteArray();

    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
    if (!socket.waitForConnected(controlTimeoutMs)) {
        return QJsonValue::Undefined;
    }
    socket.write(method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                 "Content-Length: " + QByteArray::number(payload.size()) + "\r\n\r\n" + payload);
    // The service closes the connection after the answer.
    QByteArray answer;
    const QDeadlineTimer deadline(controlTimeoutMs);
    while (socket.waitForReadyRead(int(deadline.remainingTime()))) {
        answer += socket.readAll();
    }
    answer += socket.readAll();
    const qsizetype headEnd = answer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return QJsonValue::Undefined;
    }
    m_lastStatus = answer.mid(9, 3).toInt(); // "HTTP/1.1 200 OK"
    const QJsonDocument document = QJsonDocument::fromJson(answer.mid(headEnd + 4));
    return document.isObject()  ? QJsonValue(document.object())
           : document.isArray() ? QJsonValue(document.array())
                                : QJsonValue::Undefined;
}

QString CloudTestService::createUser(const QString& email, const QString& password) {
    return control("POST", QStringLiteral("/_test/users"),
                   QJsonObject{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}})
        .toObject()
        .value(QStringLiteral("id"))
        .toString();
}

QJsonArray CloudTestService::requests() {
    return control("GET", QStringLiteral("/_test/requests")).toArray();
}

void CloudTestService::clearRequests() {
    control("DELETE", QStringLiteral("/_test/requests"));
}

QString CloudTestService::header(const QJsonValue& request, const char* name) {
    const QJsonObject headers = request.toObject().value(QStringLiteral("headers")).toObject();
    return headers.contains(QLatin1String(name)) ? headers.value(QLatin1String(name)).toString()
                                                 : QStringLiteral("(absent)");
}

QByteArray CloudTestService::body(const QJsonValue& request) {
    return QByteArray::fromBase64(
        request.toObject().value(QStringLiteral("bodyBase64")).toString().toLatin1());
}
