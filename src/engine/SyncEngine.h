#pragma once

#include "cloud/EventStreamParser.h"
#include "engine/Activity.h"
#include "engine/EngineServices.h"
#include "engine/Ledger.h"
#include "platform/FileSystem.h"
#include "records/CloudRecords.h"
#include "records/LocalRecords.h"

class CloudStore;
struct UploadResult;
class FolderWatcher;
class LocalServer;
class RealtimeClient;
class ResolveLink;

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

#include <memory>
#include <optional>

// The one coordinator: settings, ledger, activity log, and the delivery of looks between the
// cloud, the local network, the LUT folder and Resolve. Lives on the GUI thread.
class SyncEngine : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<Activity> activity READ activity NOTIFY activityChanged)
    Q_PROPERTY(bool syncing READ syncing NOTIFY syncingChanged)
    Q_PROPERTY(std::optional<QDateTime> lastSync READ lastSync NOTIFY lastSyncChanged)
    Q_PROPERTY(std::optional<QString> folderProblem READ folderProblem NOTIFY folderProblemChanged)
    Q_PROPERTY(bool resolveScriptInstalled READ resolveScriptInstalled NOTIFY resolveScriptInstalledChanged)
    Q_PROPERTY(std::optional<quint16> localPort READ localPort NOTIFY localPortChanged)
    Q_PROPERTY(bool localEnabled READ localEnabled WRITE setLocalEnabled NOTIFY localEnabledChanged)
    Q_PROPERTY(bool paused READ paused WRITE setPaused NOTIFY pausedChanged)
    Q_PROPERTY(QString lutFolderPath READ lutFolderPath WRITE setLutFolderPath NOTIFY lutFolderPathChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)

public:
    static constexpr int activityLimit = 30;
    // A ledger larger than this is not a ledger this program wrote; it is treated as corrupt.
    static constexpr qint64 ledgerByteLimit = 64 * 1024 * 1024;
    // No grade is this large; a bigger inbox file is left out rather than read into memory.
    static constexpr qint64 inboxFileByteLimit = 256LL * 1024 * 1024;

    explicit SyncEngine(EngineServices services, QObject* parent = nullptr);
    ~SyncEngine() override;

    // Observed state.
    const QList<Activity>& activity() const { return m_activity; }
    bool syncing() const { return m_syncing; }
    std::optional<QDateTime> lastSync() const { return m_lastSync; }
    std::optional<QString> folderProblem() const { return m_folderProblem; }
    bool resolveScriptInstalled() const { return m_resolveScriptInstalled; }
    std::optional<quint16> localPort() const { return m_localPort; }
    bool localEnabled() const { return m_localEnabled; }
    bool paused() const { return m_paused; }
    const QString& lutFolderPath() const { return m_lutFolderPath; }
    bool launchAtLogin() const { return m_launchAtLogin; }

    // Settings: every assignment stores the key and runs its effects, also for an unchanged value.
    // A LUT folder that is not an absolute path is refused: the current folder stays.
    static bool isUsableLutFolder(const QString& path);
    void setLocalEnabled(bool enabled);
    void setPaused(bool paused);
    void setLutFolderPath(const QString& path);
    void setLaunchAtLogin(bool enabled);

    // Owned for the engine's whole life.
    CloudStore* cloud() const { return m_cloud; }
    RealtimeClient* realtime() const { return m_realtime.get(); }
    ResolveLink* resolve() const { return m_resolve; }
    LocalServer* local() const { return m_local.get(); }

    // Internal state, readable for the parts built on the engine and for tests.
    const Ledger& ledger() const { return m_ledger; }
    const InboxSnapshot& inboxSnapshot() const { return m_inboxSnapshot; }
    bool started() const { return m_started; }
    bool scanningInbox() const { return m_scanningInbox; }
    FolderWatcher* watcher() const { return m_watcher.get(); }

    // Derived folders.
    QString inboxFolderPath() const;
    QString stillsFolderPath() const;
    QString ledgerFilePath() const;
    QString configFilePath() const;
    const EngineServices& services() const { return m_services; }

    // Delivery into the LUT folder, shared by the cloud pull and the local-network receipt.
    enum class CubeWrite { written, unchanged, failed };
    CubeWrite writeCube(const QByteArray& bytes, const QString& cubeFileName, const QString& successText);
    // The still of a look with CDL values, referring to the cube of that name; true when written.
    bool writeStill(const LUTLook& look, const QString& cubeFileName, const QString& stillPath);
    // Asks Resolve to re-read its LUT list; only a success is logged.
    QCoro::Task<> refreshResolve();
    QString cubePath(const QString& cubeFileName) const;
    QString stillPath(const QString& cubeFileName) const;

    void log(const QString& text, bool ok);
    void saveLedger();
    void writeConfig();
    void start();

    // Cloud pull and removals. Each task holds the engine weakly and ends quietly once it is gone.
    QCoro::Task<> connectCloud();
    // The full sync run; does nothing while signed out, paused or already syncing.
    QCoro::Task<> syncNow();
    // One eligible record; true when a cube was written into the LUT folder.
    QCoro::Task<bool> pull(LUTRecord record);
    // Whether the user deleted the files of a pulled look from the LUT folder: only files that
    // went from the folder they were delivered into, while the record was marked for Resolve.
    bool userRemoved(const Ledger::Pulled& entry) const;
    // The realtime stream's event handler.
    void handle(const RealtimeEvent& event);

    // Rebuilds the inbox snapshot and pushes new or changed inbox files. `records` is the listing
    // of the sync run at hand, if any. A scan asked for while one runs is run once more after it.
    QCoro::Task<> scanInbox(std::optional<QList<LUTRecord>> records = std::nullopt);
    // Watches the inbox folder again from scratch (after the LUT folder moved or was created).
    void restartWatcher();

    // Folder, installation and account tasks.
    void checkFolder();
    QCoro::Task<> createFolderWithAdmin();
    void installResolveScript();
    void signOut();
    // The LUT folder exists and cannot be written: creating folders cannot mend that, and the
    // administrator task never takes an existing folder over, so another must be chosen.
    bool lutFolderLocked() const;
    // The shell command that creates the missing folders up to the inbox and gives `user` the LUT
    // folder and the inbox where it made them; every value reaches mkdir and chown literally,
    // whatever quotes or line breaks it holds.
    static QString folderCreationCommand(const QString& inboxFolder, const QString& user,
                                         const QString& lutFolder);

    // What the local server asks of the engine; installed once, by the first start().
    QMap<QString, QString> identity() const;
    QCoro::Task<bool> receiveLUT(Incoming incoming);
    std::optional<RegularFile> inboxFile(const QString& name) const;
    void onPortChange(std::optional<quint16> port);

signals:
    void activityChanged();
    void syncingChanged();
    void lastSyncChanged();
    void folderProblemChanged();
    void resolveScriptInstalledChanged();
    void localPortChanged();
    void localEnabledChanged();
    void pausedChanged();
    void lutFolderPathChanged();
    void launchAtLoginChanged();
    // Moments the user hears of outside the program's windows, each beside its activity line.
    void lookDelivered(const QString& cubeFileName);
    void gradeSent(const QString& fileName);
    void sessionExpired();
    void resolveScriptFailed(const QString& reason);

protected:
    // For the operations of the engine that change observed state.
    void setSyncing(bool syncing);
    void setLastSync(const std::optional<QDateTime>& when);
    void setFolderProblem(const std::optional<QString>& problem);
    void setResolveScriptInstalled(bool installed);
    void setLocalPort(std::optional<quint16> port);

private:
    void readSettings();
    void loadLedger();
    // An inbox file to upload, as one scan hashed it.
    struct InboxFile {
        QString name;
        QString hash;
    };

    void installLocalServerCallbacks();
    // One pass of the inbox scan; the guard and the queued rerun live in scanInbox.
    QCoro::Task<> scanInboxOnce(std::optional<QList<LUTRecord>> records);
    QCoro::Task<> pushInboxFile(InboxFile file, std::optional<QList<LUTRecord>>* records);
    QCoro::Task<UploadResult> upload(QString name, QByteArray bytes, std::optional<QString> replacing);
    // A scan that could not see the inbox as it is keeps what it had and is made again shortly.
    void retryInboxScan();
    QCoro::Task<> pullAndRefresh(LUTRecord record);
    // The file name a record's look goes under: the one its entry holds while that still fits the
    // record's name and no other entry holds it, else the first numbered form no other entry holds.
    std::optional<QString> cubeFileNameFor(const LUTRecord& record) const;
    // Logs that a record's name cannot be a file name, once a run for each record and name.
    void tellUnusableName(const LUTRecord& record);
    // The entry's files went into the folder now in use, and it is still the same folder.
    bool deliveredHere(const Ledger::Pulled& entry) const;
    bool filesMissing(const Ledger::Pulled& entry) const;
    void recordPulled(const QString& id, const QString& cubeFileName, const QString& remoteFile,
                      std::optional<QString> drxFile);
    // Remembers that a delivered record is no longer marked for Resolve; true when that is news.
    bool noteUnflagged(const QString& id);
    bool signedIn() const;

    EngineServices m_services;
    CloudStore* m_cloud = nullptr;
    std::unique_ptr<RealtimeClient> m_realtime; // on a thread of its own
    ResolveLink* m_resolve = nullptr;
    // Destroyed before the services, whose advertiser it uses to the end.
    std::unique_ptr<LocalServer> m_local;

    QList<Activity> m_activity;
    bool m_syncing = false;
    std::optional<QDateTime> m_lastSync;
    std::optional<QString> m_folderProblem;
    bool m_resolveScriptInstalled = false;
    std::optional<quint16> m_localPort;
    bool m_localEnabled = true;
    bool m_paused = false;
    QString m_lutFolderPath;
    bool m_launchAtLogin = false;
    Ledger m_ledger;
    bool m_scanningInbox = false;
    bool m_inboxScanRequested = false; // a scan was asked for while one ran
    bool m_inboxRetryPending = false;
    bool m_started = false;
    InboxSnapshot m_inboxSnapshot;
    QSet<QPair<QString, QString>> m_unusableNamesTold; // record ids and names
    std::unique_ptr<FolderWatcher> m_watcher;
};
