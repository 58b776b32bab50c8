#pragma once

#include "bus/BusProtocol.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QUuid>
#include <QVariantMap>

#include <functional>

class SyncEngine;

// What the bus may ask of the windows and of the application; the bus itself knows no windows.
struct BusCommands {
    std::function<void()> showSettings;
    std::function<void()> showWindow; // the main window where there is one, else the settings
    std::function<void()> quit;
};

// The running program on the session bus: another view of the engine beside the tray, for
// desktops, scripts and tests. Its properties and methods are the interface's own names, so that
// QtDBus exports them as they stand; nothing secret (no token, no password) is among them.
class BusService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.quillfen.Tonewharf1")
    Q_PROPERTY(bool SignedIn READ signedIn)
    Q_PROPERTY(QString Account READ account)
    Q_PROPERTY(bool Paused READ paused)
    Q_PROPERTY(bool Syncing READ syncing)
    Q_PROPERTY(qlonglong LastSync READ lastSync)
    Q_PROPERTY(bool LocalEnabled READ localEnabled)
    Q_PROPERTY(quint16 LocalPort READ localPort)
    Q_PROPERTY(QString LutFolder READ lutFolder)
    Q_PROPERTY(QString FolderProblem READ folderProblem)
    Q_PROPERTY(QString ResolveHealth READ resolveHealth)
    Q_PROPERTY(QStringList StatusLines READ statusLines)

public:
    BusService(SyncEngine& engine, BusCommands commands, QObject* parent = nullptr);
    ~BusService() override;

    // Serves the object and takes the well-known name; false when either is not possible (no
    // session bus, or the name held by another program), and the program runs on without it.
    bool publish(QDBusConnection connection);

    bool signedIn() const;
    QString account() const;
    bool paused() const;
    bool syncing() const;
    qlonglong lastSync() const;
    bool localEnabled() const;
    quint16 localPort() const;
    QString lutFolder() const;
    QString folderProblem() const;
    QString resolveHealth() const;
    QStringList statusLines() const;

public slots:
    QList<Bus::ActivityEntry> Activity() const;
    void SyncNow();
    void SetPaused(bool paused);
    void ShowSettings();
    void ShowWindow();
    void Quit();

signals:
    void ActivityAdded(qlonglong time, const QString& text, bool ok);

private slots:
    void announceChangedProperties();

private:
    QVariantMap properties() const;
    void announceNewActivity();

    SyncEngine& m_engine;
    BusCommands m_commands;
    QDBusConnection m_connection;
    QVariantMap m_announced; // the properties as the bus last heard of them
    QUuid m_newestAnnounced; // the newest activity entry the bus has heard of
};
