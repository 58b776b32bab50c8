#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>

// A session bus of one test's own (a dbus-daemon that starts no services), so that the Tonewharf
// a test runs meets no other test's; the daemon ends with the object.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();

    // Empty when the bus did not start.
    const QString& address() const { return m_address; }
    // For RunningProgram: the program's session bus is this one.
    const QProcessEnvironment& environment() const { return m_environment; }
    QDBusConnection connection() const { return QDBusConnection::connectToBus(m_address, m_address); }

private:
    QProcess m_daemon;
    QString m_address;
    QProcessEnvironment m_environment;
};
