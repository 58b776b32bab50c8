// Folder checks, installation and account tasks around the transfers.
#include "cloud/CloudStore.h"
#include "cloud/RealtimeClient.h"
#include "engine/FolderWatcher.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

#include <unistd.h>

namespace {

const QString scriptFileName = QStringLiteral("Send to TINTARA.py");

// Inside single quotes the shell takes every character literally except the quote itself, which
// is closed, given escaped, and reopened.
QString quotedContent(QString value) {
    return value.replace(QLatin1Char('\''), QLatin1String("'\\''"));
}

} // namespace

void SyncEngine::checkFolder() {
    if (!FileSystem::makeFolder(inboxFolderPath())) {
        setFolderProblem(QStringLiteral("Can't create ") + m_lutFolderPath);
        return;
    }
    if (::access(QFile::encodeName(m_lutFolderPath).constData(), W_OK) == 0) {
        setFolderProblem(std::nullopt);
    } else {
        setFolderProblem(m_lutFolderPath + QStringLiteral(" is not writable"));
    }
}

QString SyncEngine::folderCreationCommand(const QString& inboxFolder, const QString& user,
                                          const QString& lutFolder) {
    return QStringLiteral("mkdir -p '") + quotedContent(inboxFolder) + QStringLiteral("' && chown -R '") +
           quotedContent(user) + QStringLiteral("' '") + quotedContent(lutFolder) + QStringLiteral("'");
}

QCoro::Task<> SyncEngine::createFolderWithAdmin() {
    const QPointer<SyncEngine> self(this);
    const QString command = folderCreationCommand(inboxFolderPath(), m_services.userName, m_lutFolderPath);
    // A copy keeps the runner alive for the whole wait, whatever happens to the engine meanwhile.
    const std::shared_ptr<PrivilegedRunner> runner = m_services.privilegedRunner;
    const bool created = runner && co_await runner->run(command);
    if (!self) {
        co_return;
    }
    checkFolder();
    restartWatcher();
    if (!created) {
        log(QStringLiteral("Folder creation cancelled or failed"), false);
        co_return;
    }
    log(QStringLiteral("LUT folder ready"), true);
    co_await syncNow();
}

void SyncEngine::installResolveScript() {
    const std::optional<QString> resource =
        m_services.resources.path(QStringLiteral("Send to TINTARA"), QStringLiteral("py"));
    const std::optional<QByteArray> script = resource ? FileSystem::readAll(*resource) : std::nullopt;
    if (!script) {
        return;
    }
    const QString folder = m_services.resolveProfile.colourPageScripts;
    const QString installed = QDir(folder).filePath(scriptFileName);
    // A link in its place is not the script, however alike: the write below replaces it.
    if (FileSystem::holds(installed, *script)) {
        setResolveScriptInstalled(true);
        return;
    }
    WriteResult result = FileSystem::makeFolder(folder);
    if (result) {
        result = FileSystem::writeAtomically(installed, *script);
    }
    setResolveScriptInstalled(result.ok);
    if (result) {
        log(QStringLiteral("“Send to TINTARA” installed in Resolve's scripts"), true);
    } else {
        log(QStringLiteral("Could not install the Resolve script: ") + result.error, false);
    }
}

void SyncEngine::signOut() {
    m_realtime->disconnect();
    m_cloud->signOut();
    if (m_watcher) {
        m_watcher->stop();
        m_watcher.reset();
    }
    log(QStringLiteral("Signed out"), true);
}
