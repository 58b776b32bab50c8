#include "support/CloudTestService.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <csignal>

namespace {

constexpr int timeoutMs = 10000;

} // namespace

CloudTestService::CloudTestService() {
    m_process.setProgram(QStringLiteral(TONEWHARF_PYTHON3));
    m_process.setArguments({QStringLiteral(TONEWHARF_TEST_SUPPORT_DIR "/pocketbase_service.py"),
                            QStringLiteral("--port"), QStringLiteral("0")});
    // Tracebacks of the service show up in the test output.
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

CloudTestService::~CloudTestService() {
    m_process.kill();
    m_process.waitForFinished(5000);
}

bool CloudTestService::start() {
    m_process.start();
    const QDeadlineTimer deadline(timeoutMs);
    while (!m_process.canReadLine() && m_process.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    const QByteArray line = m_process.readLine().trimmed();
    m_port = line.startsWith("LISTENING ") ? quint16(line.mid(10).toUInt()) : 0;
    return m_port != 0;
}

QJsonValue CloudTestService::control(const QByteArray& method, const QString& path, const QJsonValue& body) {
    const QByteArray payload =
        body.isObject() ? QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact) : QByteArray();
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
    if (!socket.waitForConnected(timeoutMs)) {
        return QJsonValue::Undefined;
    }
    socket.write(method + ' ' + path.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                 "Content-Length: " + QByteArray::number(payload.size()) + "\r\n\r\n" + payload);
    // The service closes the connection after the answer.
    QByteArray answer;
    const QDeadlineTimer deadline(timeoutMs);
    while (socket.waitForReadyRead(int(deadline.remainingTime()))) {
        answer += socket.readAll();
    }
    answer += socket.readAll();
    const QJsonDocument document = QJsonDocument::fromJson(answer.mid(answer.indexOf("\r\n\r\n") + 4));
    return document.isObject()  ? QJsonValue(document.object())
           : document.isArray() ? QJsonValue(document.array())
                                : QJsonValue::Undefined;
}

void CloudTestService::hold(bool held) {
    ::kill(pid_t(m_process.processId()), held ? SIGSTOP : SIGCONT);
}

QString CloudTestService::createUser(const QString& email, const QString& password) {
    const QJsonObject user{{QStringLiteral("email"), email}, {QStringLiteral("password"), password}};
    return control("POST", QStringLiteral("/_test/users"), user)[QStringLiteral("id")].toString();
}

QString CloudTestService::header(const QJsonValue& request, const char* name) {
    return request[QStringLiteral("headers")][QLatin1String(name)].toString(QStringLiteral("(absent)"));
}

QByteArray CloudTestService::body(const QJsonValue& request) {
    return QByteArray::fromBase64(request[QStringLiteral("bodyBase64")].toString().toLatin1());
}
