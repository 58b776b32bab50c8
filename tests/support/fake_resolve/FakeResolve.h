#pragma once

#include "platform/ResolveProfile.h"
#include "platform/Resources.h"

#include <QJsonObject>
#include <QProcess>

#include <memory>

// A DaVinci Resolve installation made of stand-ins, in a folder of the test's choosing: bin/resolve
// (a copy of a small system program), the fake scripting module DaVinciResolveScript.py, steered
// through fake_resolve.json in the root and recording what it sees, and a placeholder fusionscript.so.
class FakeResolveInstallation {
public:
    explicit FakeResolveInstallation(QString root);
    ~FakeResolveInstallation() { stopRunning(); }

    bool isValid() const { return m_problem.isEmpty(); }
    const QString& problem() const { return m_problem; }
    QString binary() const { return m_root + QStringLiteral("/bin/resolve"); }
    // The Linux profile for this installation, with the test's python3 as the only candidate.
    ResolveProfile profile(const QString& home) const;

    // Rewrites the control file (see DaVinciResolveScript.py); the fake reads it on every call.
    void setControl(const QJsonObject& control);
    // The fake module's record: "import", "scriptapp", "refresh" and "export" lines, in order.
    QStringList calls() const;
    int refreshCount() const { return int(calls().count(QStringLiteral("refresh"))); }
    // The four variables the module found in its environment at import (absent ones as null).
    QJsonObject environmentSeen() const;

    // A process whose executable is bin/resolve, as a running Resolve would be.
    bool startRunning();
    void stopRunning();

private:
    QString m_root;
    QString m_problem;
    std::unique_ptr<QProcess> m_running;
};

// A resource folder whose "tintara_resolve_bridge.py" is the scripted bridge: it answers from
// script.json beside it and logs every request line and every launch.
class ScriptedBridge {
public:
    explicit ScriptedBridge(QString folder);

    bool isValid() const { return m_valid; }
    Resources resources() const { return Resources(m_folder); }
    void setScript(const QJsonObject& script);
    // Every line the bridge received, parsed (lines that were not JSON objects come back empty),
    // with the monotonic time it arrived, in seconds.
    QList<std::pair<double, QJsonObject>> requests() const;
    QList<double> launchTimes() const;

private:
    QString m_folder;
    bool m_valid = false;
};
