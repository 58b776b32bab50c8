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
QString quoted(QString value) {
    return QLatin1Char('\'') + value.replace(QLatin1Char('\''), QLatin1String("'\\''")) + QLatin1Char('\'');
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

// Only what the command makes is given away: an existing folder, with all it holds, keeps its
// owner, and new folders above the LUT folder stay the administrator's (a fresh /opt/resolve
// handed to the user would hold Resolve's own files once Resolve is installed). mkdir without -p
// succeeds exactly for the folder it makes, so one that appears meanwhile is not taken over.
QString SyncEngine::folderCreationCommand(const QString& inboxFolder, const QString& user,
                                          const QString& lutFolder) {
    const QString lut = QDir::cleanPath(lutFolder);
    const auto makeAndGive = [&user](const QString& folder) {
        return QStringLiteral("if mkdir -- ") + quoted(folder) + QStringLiteral("; then chown -h -- ") +
               quoted(user) + QLatin1Char(' ') + quoted(folder) + QStringLiteral("; else test -d ") +
               quoted(folder) + QStringLiteral("; fi");
    };
    return QStringLiteral("mkdir -p -- ") + quoted(QFileInfo(lut).path()) + QStringLiteral(" && ") +
           makeAndGive(lut) + QStringLiteral(" && ") + makeAndGive(inboxFolder);
}

bool SyncEngine::lutFolderLocked() const {
    return QFileInfo(m_lutFolderPath).isDir() &&
           ::access(QFile::encodeName(m_lutFolderPath).constData(), W_OK) != 0;
}

QCoro::Task<> SyncEngine::createFolderWithAdmin() {
    const QPointer<SyncEngine> self(this);
    if (lutFolderLocked()) {
        log(m_lutFolderPath + QStringLiteral(" exists and cannot be written — choose another folder"), false);
        co_return;
    }
    const QString command = folderCreationCommand(inboxFolderPath(), m_services.userName, m_lutFolderPath);
    // A copy keeps the runner alive for the whole wait, whatever happens to the engine meanwhile.
    const std::shared_ptr<PrivilegedRunner> runner = m_services.privilegedRunner;
    const PrivilegedRunner::Outcome outcome =
        runner ? co_await runner->run(command) : PrivilegedRunner::Outcome{};
    if (!self) {
        co_return;
    }
    checkFolder();
    restartWatcher();
    if (outcome.missingProgram) {
        log(QStringLiteral("Folder creation needs ") + *outcome.missingProgram +
                QStringLiteral(", which is not installed"),
            false);
        co_return;
    }
    if (!outcome.ok) {
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
        emit resolveScriptFailed(result.error);
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
