#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>

// A session bus of one test's own, so that the Tonewharf a test runs meets no other test's. Its
// dbus-daemon starts no services: a program asking for the keyring hears at once that there is none.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();

    const QString& address() const { return m_address; }
    // For RunningProgram: the program's session bus is this one.
    const QProcessEnvironment& environment() const { return m_environment; }
    QDBusConnection connection() const { return QDBusConnection::connectToBus(m_address, m_address); }

private:
    QProcess m_daemon;
    QString m_address;
    QProcessEnvironment m_environment;
};
