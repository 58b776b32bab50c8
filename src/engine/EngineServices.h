#pragma once

#include "platform/CredentialStore.h"
#include "platform/LoginItem.h"
#include "platform/PrivilegedRunner.h"
#include "platform/ResolveProfile.h"
#include "platform/Resources.h"
#include "platform/RunningApplications.h"
#include "platform/ServiceAdvertiser.h"
#include "resolve/ResolveLink.h"

#include <QHostAddress>
#include <QSettings>
#include <QString>
#include <QUrl>

#include <chrono>

#include <memory>

// Everything the engine takes from the platform, handed in by the application entry (or a test).
struct EngineServices {
    QString supportFolder; // holds ledger.json and config.json
    ResolveProfile resolveProfile;
    Resources resources;
    std::shared_ptr<QSettings> settings;
    QUrl cloudUrl; // the service base URL, shared by the records client and the realtime stream
    std::shared_ptr<CredentialStore> credentials;
    std::shared_ptr<LoginItem> loginItem; // none: the platform has no login items
    std::shared_ptr<RunningApplications> runningApplications;
    ResolveLinkTiming resolveLinkTiming;
    // The local-network server: where it listens and who announces it (none: not announced).
    std::shared_ptr<ServiceAdvertiser> advertiser;
    QHostAddress localListenAddress = QHostAddress(QHostAddress::Any);
    quint16 localPreferredPort = 7420;
    QString computerName;
    QString applicationVersion;
    // Creates the LUT folder when it lies where only an administrator may write (none: cannot).
    std::shared_ptr<PrivilegedRunner> privilegedRunner;
    QString userName; // the owner given to a folder created with administrator rights
    // How long the inbox must be quiet after a change before it is scanned.
    std::chrono::milliseconds inboxSettle{1500};
};
