#include "support/fake_resolve/FakeResolve.h"

#include "platform/FileSystem.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcessEnvironment>

using namespace Qt::StringLiterals;

namespace {

const QString sources = QStringLiteral(TONEWHARF_TEST_SUPPORT_DIR "/fake_resolve/");

QStringList lines(const QString& path) {
    return QString::fromUtf8(FileSystem::readAll(path).value_or("")).split(u'\n', Qt::SkipEmptyParts);
}

// A copy keeps the permissions of its original.
bool copyFile(const QString& from, const QString& to) {
    QFile::remove(to);
    return QFile::copy(from, to);
}

// The first number of every line of a log beside the bridge.
QList<double> times(const QString& path) {
    QList<double> times;
    for (const QString& line : lines(path)) {
        times.append(line.section(u' ', 0, 0).toDouble());
    }
    return times;
}

} // namespace

FakeResolveInstallation::FakeResolveInstallation(QString root)
    : m_root(std::move(root)) {
    const QDir dir(m_root);
    const QString modules = dir.filePath(u"Developer/Scripting/Modules"_s);
    if (!FileSystem::makeFolder(modules) || !FileSystem::makeFolder(dir.filePath(u"bin"_s)) ||
        !FileSystem::makeFolder(dir.filePath(u"libs/Fusion"_s)) ||
        !FileSystem::makeFolder(dir.filePath(u"LUT"_s)) || !copyFile(u"/bin/sleep"_s, binary()) ||
        !copyFile(sources + u"DaVinciResolveScript.py"_s, modules + u"/DaVinciResolveScript.py"_s) ||
        !FileSystem::writeAtomically(dir.filePath(u"libs/Fusion/fusionscript.so"_s), "placeholder\n")) {
        m_problem = u"cannot lay out a fake Resolve under "_s + m_root;
    }
    setControl({{u"mode"_s, u"answer"_s}});
}

FakeResolveInstallation::~FakeResolveInstallation() {
    stopRunning();
}

QString FakeResolveInstallation::binary() const {
    return QDir(m_root).filePath(u"bin/resolve"_s);
}

ResolveProfile FakeResolveInstallation::profile(const QString& home) const {
    QProcessEnvironment environment;
    environment.insert(u"TONEWHARF_RESOLVE_DIR"_s, m_root);
    ResolveProfile profile = ResolveProfile::forLinux(home, environment);
    profile.pythonCandidates = {QStringLiteral(TONEWHARF_PYTHON3)};
    return profile;
}

void FakeResolveInstallation::setControl(const QJsonObject& control) {
    FileSystem::writeAtomically(QDir(m_root).filePath(u"fake_resolve.json"_s),
                                QJsonDocument(control).toJson());
}

QStringList FakeResolveInstallation::calls() const {
    return lines(QDir(m_root).filePath(u"fake_resolve_calls.log"_s));
}

int FakeResolveInstallation::refreshCount() const {
    return int(calls().count(u"refresh"_s));
}

QJsonObject FakeResolveInstallation::environmentSeen() const {
    return QJsonDocument::fromJson(
               FileSystem::readAll(QDir(m_root).filePath(u"fake_resolve_env.json"_s)).value_or(""))
        .object();
}

bool FakeResolveInstallation::startRunning() {
    stopRunning();
    m_running = std::make_unique<QProcess>();
    m_running->start(binary(), {u"600"_s});
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
        FileSystem::makeFolder(m_folder) &&
        copyFile(sources + u"scripted_bridge.py"_s, QDir(m_folder).filePath(u"tintara_resolve_bridge.py"_s));
}

void ScriptedBridge::setScript(const QJsonObject& script) {
    FileSystem::writeAtomically(QDir(m_folder).filePath(u"script.json"_s), QJsonDocument(script).toJson());
}

QList<QJsonObject> ScriptedBridge::requests() const {
    QList<QJsonObject> parsed;
    for (const QString& line : lines(QDir(m_folder).filePath(u"requests.log"_s))) {
        parsed.append(QJsonDocument::fromJson(line.toUtf8()).object());
    }
    return parsed;
}

QList<double> ScriptedBridge::launchTimes() const {
    return times(QDir(m_folder).filePath(u"launches.log"_s));
}

QList<double> ScriptedBridge::requestTimes() const {
    return times(QDir(m_folder).filePath(u"request_times.log"_s));
}
