#include "support/EngineFixture.h"

#include "engine/SyncEngine.h"
#include "platform/linux/ProcRunningApplications.h"

#include <QDir>
#include <QProcessEnvironment>

EngineFixture::EngineFixture() = default;

QString EngineFixture::path(const QString& relative) const {
    return relative.isEmpty() ? m_root.path() : QDir(m_root.path()).filePath(relative);
}

std::shared_ptr<QSettings> EngineFixture::settings() const {
    return std::make_shared<QSettings>(settingsFile(), QSettings::IniFormat);
}

EngineServices EngineFixture::services() const {
    QProcessEnvironment environment;
    environment.insert(QStringLiteral("TONEWHARF_RESOLVE_DIR"), resolveRoot());

    EngineServices services;
    services.supportFolder = supportFolder();
    services.resolveProfile = ResolveProfile::forLinux(path(QStringLiteral("home")), environment);
    services.resources = Resources(QStringLiteral(TONEWHARF_RESOURCE_DIR));
    services.settings = settings();
    // A closed port on loopback: nothing the engine sends can leave the machine.
    services.cloudUrl = QUrl(QStringLiteral("http://127.0.0.1:9"));
    services.credentials = m_credentials;
    services.runningApplications = std::make_shared<ProcRunningApplications>();
    // Resolve link waits short enough for tests; its own tests cover the real ones.
    services.resolveLinkTiming = {std::chrono::milliseconds(200), std::chrono::milliseconds(3000),
                                  std::chrono::milliseconds(200)};
    // Tests listen on loopback only, on a port of the system's choosing, and announce nothing.
    services.localListenAddress = QHostAddress(QHostAddress::LocalHost);
    services.localPreferredPort = 0;
    services.computerName = QStringLiteral("Test Computer");
    services.applicationVersion = QStringLiteral("1.2.3");
    return services;
}

QStringList EngineFixture::texts(const SyncEngine& engine) {
    QStringList lines;
    for (const Activity& entry : engine.activity()) {
        lines.prepend(entry.text);
    }
    return lines;
}
