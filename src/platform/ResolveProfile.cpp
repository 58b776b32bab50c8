#include "platform/ResolveProfile.h"

#include <QDir>

ResolveProfile ResolveProfile::macOS(const QString& home) {
    const QString support = QStringLiteral("/Library/Application Support/Blackmagic Design/DaVinci Resolve");
    const QString app = QStringLiteral("/Applications/DaVinci Resolve/DaVinci Resolve.app");
    ResolveProfile profile;
    profile.masterLutFolder = support + QStringLiteral("/LUT/");
    profile.installedMarker = app;
    profile.scriptApi = support + QStringLiteral("/Developer/Scripting");
    profile.scriptLib = app + QStringLiteral("/Contents/Libraries/Fusion/fusionscript.dylib");
    profile.pythonPath = profile.scriptApi + QStringLiteral("/Modules");
    profile.colourPageScripts = home + QStringLiteral("/Library/Application Support/Blackmagic Design/"
                                                      "DaVinci Resolve/Fusion/Scripts/Color");
    profile.runningCheck = RunningCheck::BundleIdentifierPrefix;
    profile.runningIdentity = QStringLiteral("com.blackmagic-design.DaVinciResolve");
    profile.pythonCandidates = {
        QStringLiteral("/opt/homebrew/bin/python3"),
        QStringLiteral("/usr/local/bin/python3"),
        QStringLiteral("/Library/Frameworks/Python.framework/Versions/Current/bin/python3"),
        QStringLiteral("/usr/bin/python3"),
    };
    return profile;
}

ResolveProfile ResolveProfile::forLinux(const QString& home, const QProcessEnvironment& environment) {
    QString root = environment.value(QStringLiteral("TONEWHARF_RESOLVE_DIR"));
    if (root.isEmpty()) {
        root = QStringLiteral("/opt/resolve");
    }
    while (root.size() > 1 && root.endsWith(QLatin1Char('/'))) {
        root.chop(1);
    }
    ResolveProfile profile;
    profile.masterLutFolder = root + QStringLiteral("/LUT/");
    profile.installedMarker = root + QStringLiteral("/bin/resolve");
    profile.scriptApi = root + QStringLiteral("/Developer/Scripting");
    profile.scriptLib = root + QStringLiteral("/libs/Fusion/fusionscript.so");
    profile.pythonPath = profile.scriptApi + QStringLiteral("/Modules");
    profile.colourPageScripts = home + QStringLiteral("/.local/share/DaVinciResolve/Fusion/Scripts/Color");
    profile.runningCheck = RunningCheck::Executable;
    profile.runningIdentity = profile.installedMarker;
    profile.pythonCandidates = {QStringLiteral("/usr/local/bin/python3"), QStringLiteral("/usr/bin/python3")};
    return profile;
}

ResolveProfile ResolveProfile::current() {
#if defined(Q_OS_MACOS)
    return macOS(QDir::homePath());
#else
    return forLinux(QDir::homePath(), QProcessEnvironment::systemEnvironment());
#endif
}
