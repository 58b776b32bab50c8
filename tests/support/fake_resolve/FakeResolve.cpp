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

QJsonObject readObject(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

FakeResolveInstallation::FakeResolveInstallation(QString root)
    : m_root(std::move(root)) {
    const QString modules = m_root + u"/Developer/Scripting/Modules"_s;
    if (!FileSystem::makeFolder(modules) || !FileSystem::makeFolder(m_root + u"/bin"_s) ||
        !FileSystem::makeFolder(m_root + u"/libs/Fusion"_s) || !FileSystem::makeFolder(m_root + u"/LUT"_s) ||
        !copyFile(u"/bin/sleep"_s, binary()) ||
        !copyFile(sources + u"DaVinciResolveScript.py"_s, modules + u"/DaVinciResolveScript.py"_s) ||
        !FileSystem::writeAtomically(m_root + u"/libs/Fusion/fusionscript.so"_s, "placeholder\n")) {
        m_problem = u"cannot lay out a fake Resolve under "_s + m_root;
    }
    setControl({{u"mode"_s, u"answer"_s}});
}

ResolveProfile FakeResolveInstallation::profile(const QString& home) const {
    QProcessEnvironment environment;
    environment.insert(u"TONEWHARF_RESOLVE_DIR"_s, m_root);
    ResolveProfile profile = ResolveProfile::forLinux(home, environment);
    profile.pythonCandidates = {QStringLiteral(TONEWHARF_PYTHON3)};
    return profile;
}

void FakeResolveInstallation::setControl(const QJsonObject& control) {
    FileSystem::writeAtomically(m_root + u"/fake_resolve.json"_s, QJsonDocument(control).toJson());
}

QStringList FakeResolveInstallation::calls() const {
    return lines(m_root + u"/fake_resolve_calls.log"_s);
}

QJsonObject FakeResolveInstallation::environmentSeen() const {
    return readObject(
        QString::fromUtf8(FileSystem::readAll(m_root + u"/fake_resolve_env.json"_s).value_or("")));
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
    m_valid = FileSystem::makeFolder(m_folder) &&
              copyFile(sources + u"scripted_bridge.py"_s, m_folder + u"/tintara_resolve_bridge.py"_s);
}

void ScriptedBridge::setScript(const QJsonObject& script) {
    FileSystem::writeAtomically(m_folder + u"/script.json"_s, QJsonDocument(script).toJson());
}

QList<std::pair<double, QJsonObject>> ScriptedBridge::requests() const {
    QList<std::pair<double, QJsonObject>> requests;
    for (const QString& line : lines(m_folder + u"/requests.log"_s)) {
        requests.append({line.section(u' ', 0, 0).toDouble(), readObject(line.section(u' ', 1))});
    }
    return requests;
}

QList<double> ScriptedBridge::launchTimes() const {
    QList<double> times;
    for (const QString& line : lines(m_folder + u"/launches.log"_s)) {
        times.append(line.toDouble());
    }
    return times;
}
