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
    if (!m_process.waitForStarted(startTimeoutMs)) {
        return false;
    }
    QByteArray output;
    const QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired()) {
        if (!m_process.canReadLine() && !m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            break;
        }
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            if (line.startsWith("LISTENING ")) {
                bool ok = false;
                const uint port = line.mid(10).toUInt(&ok);
                if (ok && port > 0 && port <= 65535) {
                    m_port = quint16(port);
                    return true;
                }
            }
        }
    }
    return false;
}

QUrl CloudTestService::baseUrl() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port));
}

QJsonValue CloudTestService::control(const QByteArray& method, const QString& path, const QJsonValue& body) {
    m_lastStatus = 0;
    QByteArray payload;
    if (body.isObject()) {
        payload = QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact);
    } else if (body.isArray()) {
        payload = QJsonDocument(body.toArray()).toJson(QJsonDocument::Compact);
    }

    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
    if (!socket.waitForConnected(controlTimeoutMs)) {
        return QJsonValue::Undefined;
    }
    QByteArray request = method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    request += "Connection: close\r\nContent-Type: application/json\r\n";
    request += "Content-Length: " + QByteArray::number(payload.size()) + "\r\n\r\n" + payload;
    socket.write(request);

    // The service closes the connection after the answer.
    QByteArray answer;
    const QDeadlineTimer deadline(controlTimeoutMs);
    while (!deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime()))) {
            break;
        }
        answer += socket.readAll();
    }
    answer += socket.readAll();

    const qsizetype headEnd = answer.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        return QJsonValue::Undefined;
    }
    const QList<QByteArray> statusLine = answer.left(answer.indexOf("\r\n")).split(' ');
    m_lastStatus = statusLine.size() > 1 ? statusLine.at(1).toInt() : 0;
    const QJsonDocument document = QJsonDocument::fromJson(answer.mid(headEnd + 4));
    if (document.isObject()) {
        return document.object();
    }
    if (document.isArray()) {
        return document.array();
    }
    return QJsonValue::Undefined;
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
