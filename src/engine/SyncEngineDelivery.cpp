// Writing looks into the LUT folder: the primitives that the cloud pull and the local receipt share.
#include "engine/LookFileNames.h"
#include "engine/SyncEngine.h"
#include "platform/FileSystem.h"
#include "resolve/ResolveGrade.h"
#include "resolve/ResolveLink.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

QString SyncEngine::cubePath(const QString& cubeFileName) const {
    return QDir(lutFolderPath()).filePath(cubeFileName);
}

QString SyncEngine::stillPath(const QString& cubeFileName) const {
    return QDir(stillsFolderPath()).filePath(LookFileNames::stillFileName(cubeFileName));
}

SyncEngine::CubeWrite SyncEngine::writeCube(const QByteArray& bytes, const QString& cubeFileName,
                                            const QString& successText) {
    // Callers form usable names; this guard makes sure no name can ever reach outside the folder
    // or be cut short on its way there.
    if (!LookFileNames::isUsable(cubeFileName)) {
        return CubeWrite::failed;
    }
    const QString path = cubePath(cubeFileName);
    // A link in place of the cube is never taken for the cube: the write replaces it.
    if (FileSystem::holds(path, bytes)) {
        return CubeWrite::unchanged;
    }
    WriteResult result = FileSystem::makeFolder(lutFolderPath());
    if (result) {
        result = FileSystem::writeAtomically(path, bytes);
    }
    if (!result) {
        // Out of descriptors, the program is what failed, not the folder.
        if (!result.outOfDescriptors()) {
            setFolderProblem(QStringLiteral("Can't write to ") + lutFolderPath());
        }
        log(QStringLiteral("Can't write ") + cubeFileName + QStringLiteral(" — check the LUT folder"), false);
        return CubeWrite::failed;
    }
    setFolderProblem(std::nullopt);
    log(successText, true);
    emit lookDelivered(cubeFileName);
    return CubeWrite::written;
}

bool SyncEngine::writeStill(const LUTLook& look, const QString& cubeFileName, const QString& stillPath) {
    const ResolveGrade::Look grade{
        look.name,       look.slope,
        look.offset,     look.power,
        look.saturation, ResolveGrade::stillLutPath(cubePath(cubeFileName), services().resolveProfile),
    };
    QString failure;
    const ResolveGrade::Result<QByteArray> still = ResolveGrade::makeStill(grade, services().resources);
    if (!still) {
        failure = still.failure().description();
    } else {
        WriteResult result = FileSystem::makeFolder(stillsFolderPath());
        if (result) {
            result = FileSystem::writeAtomically(stillPath, still.value());
        }
        failure = result.error;
    }
    if (!failure.isEmpty()) {
        log(QStringLiteral("Could not write the Resolve still for ") + look.name + QStringLiteral(": ") +
                failure,
            false);
        return false;
    }
    log(QFileInfo(stillPath).fileName() + QStringLiteral(" → Resolve (gallery import)"), true);
    return true;
}

QCoro::Task<> SyncEngine::refreshResolve() {
    const QPointer<SyncEngine> self(this);
    const bool refreshed = co_await m_resolve->refreshLUTs();
    if (self && refreshed) {
        self->log(QStringLiteral("Resolve LUT list refreshed"), true);
    }
}
