#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Where DaVinci Resolve keeps its folders and how it is recognised, per platform.
// The logic never spells a Resolve path itself; it asks the profile.
struct ResolveProfile {
    enum class RunningCheck {
        BundleIdentifierPrefix, // macOS: a running application whose bundle identifier starts with
                                // runningIdentity
        Executable,             // Linux: a process whose executable is runningIdentity
    };

    QString masterLutFolder;   // with its trailing slash
    QString installedMarker;   // Resolve counts as installed when this path exists
    QString scriptApi;         // RESOLVE_SCRIPT_API
    QString scriptLib;         // RESOLVE_SCRIPT_LIB
    QString pythonPath;        // PYTHONPATH for the bridge
    QString colourPageScripts; // where "Send to TINTARA.py" is installed
    RunningCheck runningCheck = RunningCheck::Executable;
    QString runningIdentity;
    QStringList pythonCandidates;

    QString defaultLutFolder() const { return masterLutFolder + QStringLiteral("Tonewharf"); }

    static ResolveProfile macOS(const QString& home);
    // TONEWHARF_RESOLVE_DIR in the environment replaces "/opt/resolve" in every path.
    static ResolveProfile forLinux(const QString& home, const QProcessEnvironment& environment);
    // The profile of the platform this program was built for.
    static ResolveProfile current();

    bool operator==(const ResolveProfile&) const = default;
};
