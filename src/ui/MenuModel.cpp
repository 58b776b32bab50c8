#include "ui/MenuModel.h"

#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

MenuModel::MenuModel(SyncEngine& engine, Clock clock, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_clock(std::move(clock)) {
    const auto follow = [this](auto* sender, auto signal) {
        connect(sender, signal, this, &MenuModel::changed);
    };
    follow(&engine, &SyncEngine::activityChanged);
    follow(&engine, &SyncEngine::syncingChanged);
    follow(&engine, &SyncEngine::lastSyncChanged);
    follow(&engine, &SyncEngine::folderProblemChanged);
    follow(&engine, &SyncEngine::resolveScriptInstalledChanged);
    follow(&engine, &SyncEngine::localPortChanged);
    follow(&engine, &SyncEngine::localEnabledChanged);
    follow(&engine, &SyncEngine::pausedChanged);
    follow(engine.cloud(), &CloudStore::signedInChanged);
    follow(engine.cloud(), &CloudStore::emailChanged);
    follow(engine.resolve(), &ResolveLink::healthChanged);

    connect(&engine, &SyncEngine::sessionExpired, this, [this] {
        m_sessionExpired = true;
        emit changed();
    });
    connect(engine.cloud(), &CloudStore::signedInChanged, this, [this] {
        if (m_engine.cloud()->signedIn()) {
            m_sessionExpired = false;
        }
    });
}

MenuState MenuModel::state() const {
    MenuState state = MenuState::of(m_engine, m_clock());
    state.sessionExpired = m_sessionExpired;
    return state;
}

void MenuModel::trigger(MenuItem::Role role) {
    using Role = MenuItem::Role;
    switch (role) {
    case Role::signIn:
        emit signInRequested();
        break;
    case Role::createFolder:
        m_engine.createFolderWithAdmin();
        break;
    case Role::syncNow:
        // Started and left to run: the menu returns at once and follows `syncing`.
        m_engine.syncNow();
        break;
    case Role::pause:
        m_engine.setPaused(!m_engine.paused());
        // The control checked itself when chosen; the engine may have kept its value.
        emit changed();
        break;
    case Role::openLutFolder:
        m_engine.checkFolder();
        openFolder(m_engine.lutFolderPath());
        break;
    case Role::openInbox:
        m_engine.checkFolder();
        openFolder(m_engine.inboxFolderPath());
        break;
    case Role::installScript:
        m_engine.installResolveScript();
        break;
    case Role::settings:
        emit settingsRequested();
        break;
    case Role::signOut:
        m_engine.signOut();
        break;
    case Role::quit:
        emit quitRequested();
        break;
    case Role::account:
    case Role::resolve:
    case Role::localNetwork:
    case Role::folderProblem:
    case Role::separator:
    case Role::activity:
        break;
    }
}

void MenuModel::openFolder(const QString& path) {
    // The folder check has just set the folder problem when the folder could not be made.
    if (!QFileInfo(path).isDir()) {
        m_engine.log(
            QStringLiteral("Could not open ") + path + QStringLiteral(" — the folder does not exist"), false);
        return;
    }
    // Qt hands folders to xdg-open or the desktop's own launcher, and answers false only when it
    // found none to start.
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        m_engine.log(QStringLiteral("Could not open ") + path +
                         QStringLiteral(" — no program to open folders was found (xdg-open, from xdg-utils)"),
                     false);
    }
}
