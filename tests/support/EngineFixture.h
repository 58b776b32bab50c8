#pragma once

#include "engine/EngineServices.h"

#include <QTemporaryDir>

#include <memory>

class SyncEngine;

// A throwaway world for one engine: its own support folder, settings file, Resolve installation
// root and credential store, all inside one temporary folder that disappears with the fixture.
class EngineFixture {
public:
    EngineFixture();

    bool isValid() const { return m_root.isValid(); }
    QString path(const QString& relative = {}) const;

    // Services for a new engine; engines made from one fixture share its settings and files,
    // which is how a test plays a restart.
    EngineServices services() const;

    QString supportFolder() const { return path(QStringLiteral("support/Tonewharf")); }
    QString settingsFile() const { return path(QStringLiteral("settings.ini")); }
    QString resolveRoot() const { return path(QStringLiteral("resolve")); }
    std::shared_ptr<QSettings> settings() const;
    const std::shared_ptr<InMemoryCredentialStore>& credentials() const { return m_credentials; }
    // The engine's activity texts, oldest first.
    static QStringList texts(const SyncEngine& engine);

private:
    QTemporaryDir m_root;
    std::shared_ptr<InMemoryCredentialStore> m_credentials = std::make_shared<InMemoryCredentialStore>();
};
