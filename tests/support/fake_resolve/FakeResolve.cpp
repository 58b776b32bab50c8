#include "support/fake_resolve/FakeResolve.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcessEnvironment>
#include <QSaveFile>

namespace {

const QString fakeModuleSource =
    QStringLiteral(TONEWHARF_TEST_SUPPORT_DIR "/fake_resolve/DaVinciResolveScript.py");
const QString scriptedBridgeSource =
    QStringLiteral(TONEWHARF_TEST_SUPPORT_DIR "/fake_resolve/scripted_bridge.py");

bool writeWhole(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(bytes);
    return file.commit();
}

QByteArray readWhole(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return file.readAll();
}

QStringList lines(const QString& path) {
    return QString::fromUtf8(readWhole(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool copyFile(const QString& from, const QString& to) {
    QFile::remove(to);
    return QFile::copy(from, to);
}

} // namespace

FakeResolveInstallation::FakeResolveInstallation(QString root)
    : m_root(std::move(root)) {
    const QDir dir(m_root);
    const QString module =
        dir.filePath(QStringLiteral("Developer/Scripting/Modules/DaVinciResolveScript.py"));
    const bool made = dir.mkpath(QStringLiteral("bin")) &&
                      dir.mkpath(QStringLiteral("Developer/Scripting/Modules")) &&
                      dir.mkpath(QStringLiteral("libs/Fusion")) && dir.mkpath(QStringLiteral("LUT"));
    if (!made) {
        m_problem = QStringLiteral("cannot create the folders under ") + m_root;
    } else if (!copyFile(QStringLiteral("/bin/sleep"), binary()) ||
               !QFile(binary()).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                               QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                               QFileDevice::ExeGroup)) {
        m_problem = QStringLiteral("cannot copy /bin/sleep");
    } else if (!copyFile(fakeModuleSource, module)) {
        m_problem = QStringLiteral("cannot copy the fake scripting module");
    } else if (!writeWhole(dir.filePath(QStringLiteral("libs/Fusion/fusionscript.so")), "placeholder\n")) {
        m_problem = QStringLiteral("cannot write fusionscript.so");
    }
    setControl(QJsonObject{{QStringLiteral("mode"), QStringLiteral("answer")}});
}

FakeResolveInstallation::~FakeResolveInstallation() {
    stopRunning();
}

QString FakeResolveInstallation::binary() const {
    return QDir(m_root).filePath(QStringLiteral("bin/resolve"));
}

ResolveProfile FakeResolveInstallation::profile(const QString& home) const {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("TONEWHARF_RESOLVE_DIR"), m_root);
    ResolveProfile profile = ResolveProfile::forLinux(home, environment);
    profile.pythonCandidates = {QStringLiteral(TONEWHARF_PYTHON3)};
    return profile;
}

void FakeResolveInstallation::setControl(const QJsonObject& control) {
    writeWhole(QDir(m_root).filePath(QStringLiteral("fake_resolve.json")), QJsonDocument(control).toJson());
}

QStringList FakeResolveInstallation::calls() const {
    return lines(QDir(m_root).filePath(QStringLiteral("fake_resolve_calls.log")));
}

int FakeResolveInstallation::refreshCount() const {
    return static_cast<int>(calls().count(QStringLiteral("refresh")));
}

QJsonObject FakeResolveInstallation::environmentSeen() const {
    return QJsonDocument::fromJson(readWhole(QDir(m_root).filePath(QStringLiteral("fake_resolve_env.json"))))
        .object();
}

bool FakeResolveInstallation::startRunning() {
    stopRunning();
    m_running = std::make_unique<QProcess>();
    m_running->setProgram(binary());
    m_running->setArguments({QStringLiteral("600")});
    m_running->start();
    return m_running->waitForStarted(5000);
}

void FakeResolveInstallation::stopRunning() {
    if (m_running) {
        m_running->kill();
        m_running->waitForFinished(5000);
        m_running.reset();
    }
}

ScriptedBridge::ScriptedBridge(QString folder)
    : m_folder(std::move(folder)) {
    m_valid =
        QDir().mkpath(m_folder) &&
        copyFile(scriptedBridgeSource, QDir(m_folder).filePath(QStringLiteral("tintara_resolve_bridge.py")));
}

void ScriptedBridge::setScript(const QJsonObject& script) {
    writeWhole(QDir(m_folder).filePath(QStringLiteral("script.json")), QJsonDocument(script).toJson());
}

QList<QJsonObject> ScriptedBridge::requests() const {
    QList<QJsonObject> parsed;
    for (const QString& line : lines(QDir(m_folder).filePath(QStringLiteral("requests.log")))) {
        parsed.append(QJsonDocument::fromJson(line.toUtf8()).object());
    }
    return parsed;
}

// The first number of every line of a log beside the bridge.
static QList<double> times(const QString& path) {
    QList<double> times;
    for (const QString& line : lines(path)) {
        times.append(line.section(QLatin1Char(' '), 0, 0).toDouble());
    }
    return times;
}

QList<double> ScriptedBridge::launchTimes() const {
    return times(QDir(m_folder).filePath(QStringLiteral("launches.log")));
}

QList<double> ScriptedBridge::requestTimes() const {
    return times(QDir(m_folder).filePath(QStringLiteral("request_times.log")));
}
