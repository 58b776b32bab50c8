#include "app/SystemServices.h"

#include "cloud/CloudService.h"
#include "platform/HostInfo.h"
#include "platform/SupportFolder.h"
#include "platform/linux/AvahiServiceAdvertiser.h"
#include "platform/linux/ProcRunningApplications.h"
#include "platform/linux/SecretServiceCredentialStore.h"
#include "platform/linux/XdgAutostartLoginItem.h"

#include <QCoreApplication>
#include <QStandardPaths>

EngineServices systemServices() {
    EngineServices services;
    services.supportFolder = SupportFolder::path();
    services.resolveProfile = ResolveProfile::current();
    services.resources = Resources::besideExecutable(QCoreApplication::applicationDirPath());
    services.settings = std::make_shared<QSettings>(QStringLiteral("quillfen"), QStringLiteral("Tonewharf"));
    services.cloudUrl = CloudService::baseUrl();
    services.credentials = std::make_shared<SecretServiceCredentialStore>(
        services.supportFolder + QStringLiteral("/forgotten-credentials.json"));
    services.loginItem = std::make_shared<XdgAutostartLoginItem>(
        QStandardPaths::writableLocation(QStandardPaths::ConfigLocation) + QStringLiteral("/autostart"),
        QCoreApplication::applicationFilePath());
    services.runningApplications = std::make_shared<ProcRunningApplications>();
    services.advertiser = std::make_shared<AvahiServiceAdvertiser>();
    // iPads reach the server on every interface; TONEWHARF_LISTEN_ADDRESS narrows it (the system
    // tests keep it on loopback).
    const QHostAddress listen(qEnvironmentVariable("TONEWHARF_LISTEN_ADDRESS"));
    if (!listen.isNull()) {
        services.localListenAddress = listen;
    }
    services.computerName = HostInfo::computerName();
    services.applicationVersion = QCoreApplication::applicationVersion();
    services.privilegedRunner = std::make_shared<ProcessPrivilegedRunner>(ProcessPrivilegedRunner::pkexec());
    services.userName = HostInfo::userName();
    return services;
}
