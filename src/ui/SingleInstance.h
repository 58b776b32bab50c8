#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <chrono>

// One Tonewharf per user. The first instance holds a lock file and listens on a local socket,
// both in the user's runtime folder; a later one finds the lock taken and asks it over the
// socket to show its settings window.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(const QString& folder = runtimeFolder(), QObject* parent = nullptr);
    ~SingleInstance() override;

    bool isPrimary() const { return m_primary; }
    // For a later instance: true when the first one took the request.
    bool askToShowSettings(std::chrono::milliseconds patience = std::chrono::milliseconds(3000));

    // XDG_RUNTIME_DIR, or Qt's per-user fallback where it is not set.
    static QString runtimeFolder();

signals:
    void showSettingsRequested();

private:
    void serve(QLocalSocket* socket);

    QString m_socketPath;
    QLockFile m_lock;
    QLocalServer m_server;
    bool m_primary = false;
};
