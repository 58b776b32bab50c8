#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QTemporaryDir>

#include <optional>

// A program run as a process of its own with a private home: HOME, the XDG folders and
// XDG_RUNTIME_DIR inside a temporary folder, Qt's offscreen platform, the cloud at a closed
// loopback port, Resolve's folder (TONEWHARF_RESOLVE_DIR) at path("resolve") and both D-Bus buses
// pointed nowhere (no DNS-SD announcement, no keyring) unless it is given a session bus of its own;
// `environment` adds to these or replaces them.
class RunningProgram {
public:
    explicit RunningProgram(const QString& program, const QStringList& arguments = {},
                            const QProcessEnvironment& environment = {});
    ~RunningProgram();

    QString root() const { return m_root.path(); }
    QString path(const QString& relative) const { return m_root.filePath(relative); }
    // Before start(): a session bus of the program's own with an unlocked throwaway gnome-keyring on
    // it; both outlive restarts of the program.
    bool startSessionWithKeyring();
    // A method of the running program's interface on that bus (or of another of its interfaces).
    QDBusMessage call(const QString& method, const QVariantList& arguments = {},
                      const QString& interface = QStringLiteral("com.quillfen.Tonewharf1")) const;
    // Writes the program's sign-in item `account` into that keyring, or with no value deletes it,
    // with secret-tool, libsecret's own client.
    void storeCredential(const QString& account, const std::optional<QString>& value);

    bool start();
    // The TCP port the program listens on, once it does within 10 s.
    std::optional<quint16> waitForListeningPort() const;
    // SIGTERM, then its exit status; nothing when it crashed or had to be killed after 10 s.
    std::optional<int> stop();
    QProcess& process() { return m_process; }

private:
    QTemporaryDir m_root;
    QProcess m_busDaemon;
    QProcess m_keyring;
    QDBusConnection m_bus{QString()};
    QProcess m_process;
    qint64 m_group = 0; // the process group of the program's last start
};
