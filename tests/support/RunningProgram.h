#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

// A program run as a process of its own in a world of its own: HOME, the XDG folders and
// XDG_RUNTIME_DIR inside a temporary folder, Qt's offscreen platform, the cloud at a closed
// loopback port and Resolve's folder (TONEWHARF_RESOLVE_DIR) at path("resolve"), which does not
// exist until the test makes it. Both D-Bus buses are pointed nowhere, so the program announces
// nothing over DNS-SD and reaches no keyring. `environment` adds to these or replaces them. The
// program is stopped with SIGTERM when the fixture goes.
class RunningProgram {
public:
    explicit RunningProgram(const QString& program, const QStringList& arguments = {},
                            const QProcessEnvironment& environment = {});
    ~RunningProgram();

    bool isValid() const { return m_root.isValid(); }
    // Inside the temporary folder: "home" is HOME, "resolve" is TONEWHARF_RESOLVE_DIR.
    QString path(const QString& relative = {}) const;

    // False when the program could not be started.
    bool start();
    // The TCP port the program itself listens on, once it does within the timeout.
    std::optional<quint16> waitForListeningPort(int timeoutMs = 10000) const;
    // The exit status once the program ended on its own within the timeout; nothing when it did
    // not end or crashed.
    std::optional<int> waitForExit(int timeoutMs = 10000);
    // SIGTERM, then waitForExit; a program that does not end is killed.
    std::optional<int> stop(int timeoutMs = 10000);

    QProcess& process() { return m_process; }

private:
    QTemporaryDir m_root;
    QProcess m_process;
};
