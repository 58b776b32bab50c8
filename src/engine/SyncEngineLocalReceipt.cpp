// What the local server asks of the engine: who this computer is, looks sent by iPads on the
// network, the inbox and its files, and the port it listens on.
#include "cloud/CloudStore.h"
#include "engine/LookFileNames.h"
#include "engine/SyncEngine.h"
#include "local/LocalServer.h"
#include "platform/Descriptors.h"

#include <QDir>
#include <QPointer>

namespace {

QMap<QString, QString> identityWithoutAccount(const EngineServices& services) {
    return {{QStringLiteral("app"), QStringLiteral("Tonewharf")},
            {QStringLiteral("mac"),
             services.computerName.isEmpty() ? QStringLiteral("Mac") : services.computerName},
            {QStringLiteral("version"), services.applicationVersion}};
}

// The parameters live in the coroutine's frame, so the receipt outlives neither the server's
// callback nor the engine: once the engine is gone it answers false.
QCoro::Task<bool> receiveFor(QPointer<SyncEngine> engine, Incoming incoming) {
    if (!engine) {
        co_return false;
    }
    // A named task: GCC 12 may destroy the temporary of `co_return co_await` twice.
    QCoro::Task<bool> receipt = engine->receiveLUT(std::move(incoming));
    co_return co_await receipt;
}

} // namespace

void SyncEngine::installLocalServerCallbacks() {
    const QPointer<SyncEngine> self(this);
    const QMap<QString, QString> anonymous = identityWithoutAccount(m_services);
    m_local->identity = [self, anonymous] { return self ? self->identity() : anonymous; };
    m_local->receiveLUT = [self](Incoming incoming) { return receiveFor(self, std::move(incoming)); };
    m_local->inbox = [self] { return self ? self->inboxSnapshot() : InboxSnapshot{}; };
    m_local->inboxFile = [self](const QString& name) {
        return self ? self->inboxFile(name) : std::optional<RegularFile>();
    };
    m_local->onPortChange = [self](std::optional<quint16> port) {
        if (self) {
            self->onPortChange(port);
        }
    };
}

QMap<QString, QString> SyncEngine::identity() const {
    QMap<QString, QString> map = identityWithoutAccount(m_services);
    if (signedIn()) {
        map.insert(QStringLiteral("account"), m_cloud->email());
    }
    return map;
}

QCoro::Task<bool> SyncEngine::receiveLUT(Incoming incoming) {
    if (m_paused) {
        log(incoming.name + QStringLiteral(" refused — paused"), false);
        co_return false;
    }
    const QString name = LookFileNames::lastPathComponent(incoming.name);
    if (!LookFileNames::isSafe(name)) {
        co_return false;
    }
    const QString cubeName = LookFileNames::cubeFileName(name, Qt::CaseInsensitive);
    const QByteArray bytes = incoming.cube.toUtf8();
    if (bytes.isEmpty()) {
        co_return false;
    }
    const CubeWrite cube =
        writeCube(bytes, cubeName, cubeName + QStringLiteral(" → Resolve (local network)"));
    if (cube == CubeWrite::failed) {
        co_return false;
    }
    if (incoming.look) {
        writeStill(*incoming.look, cubeName, stillPath(cubeName));
    }
    if (cube == CubeWrite::written) {
        co_await refreshResolve();
    }
    co_return true;
}

std::optional<RegularFile> SyncEngine::inboxFile(const QString& name) const {
    if (!LookFileNames::isSafe(name)) {
        return std::nullopt;
    }
    std::optional<RegularFile> file = RegularFile::open(QDir(inboxFolderPath()).filePath(name));
    if (file && file->size() > inboxFileByteLimit) {
        return std::nullopt; // too large to be listed, so not offered either
    }
    return file;
}

void SyncEngine::onPortChange(std::optional<quint16> port) {
    if (!port) {
        setLocalPort(std::nullopt);
        return;
    }
    if (m_localPort != port) {
        setLocalPort(port);
        log(QStringLiteral("Local network: listening on port ") + QString::number(*port), true);
    }
}
