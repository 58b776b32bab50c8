#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QUrl>

// The PocketBase-compatible test service (pocketbase_service.py) in a python3 child process on
// 127.0.0.1. Its control API is reached with blocking calls that run no event loop, so nothing
// else in the test advances while a test talks to the service.
class CloudTestService {
public:
    CloudTestService();
    ~CloudTestService(); // kills the process
    CloudTestService(const CloudTestService&) = delete;
    CloudTestService& operator=(const CloudTestService&) = delete;

    // Launches TONEWHARF_PYTHON3 with the script and waits for its "LISTENING <port>" line.
    bool start();
    QUrl baseUrl() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_port)); }

    // Blocking call to the control API; path such as "/_test/users". Returns the parsed JSON
    // answer (undefined when there was no answer or it was not JSON).
    QJsonValue control(const QByteArray& method, const QString& path, const QJsonValue& body = {});
    QString createUser(const QString& email, const QString& password);
    QJsonArray requests() { return control("GET", QStringLiteral("/_test/requests")).toArray(); }
    void clearRequests() { control("DELETE", QStringLiteral("/_test/requests")); }
    // Stops (or lets go on) the whole service, so that clients wait as for a slow network.
    void hold(bool held);

    // A header of a recorded request; "(absent)" tells a missing header from an empty one.
    static QString header(const QJsonValue& request, const char* name);
    static QByteArray body(const QJsonValue& request);

private:
    QProcess m_process;
    quint16 m_port = 0;
};
