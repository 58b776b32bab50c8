#pragma once

#include "platform/CredentialStore.h"
#include "platform/LoginItem.h"
#include "platform/ResolveProfile.h"
#include "platform/Resources.h"
#include "platform/RunningApplications.h"
#include "resolve/ResolveLink.h"

#include <QSettings>
#include <QString>
#include <QUrl>

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
    QString computerName;
    QString applicationVersion;
};
