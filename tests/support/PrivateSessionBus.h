#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

// A session bus of one test's own (dbus-daemon --session), so that the Tonewharf a test runs
// never meets another test's, nor the keyring's bus; it ends with the object.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();

    bool isValid() const { return !m_address.isEmpty(); }
    const QString& address() const { return m_address; }
    // For RunningProgram: the program's session bus is this one.
    QProcessEnvironment environment() const;
    // The test's own connection to the bus.
    QDBusConnection connection() const;

private:
    QTemporaryDir m_folder;
    QProcess m_daemon;
    QString m_address;
};
