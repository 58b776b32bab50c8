#pragma once

#include "engine/Activity.h"
#include "resolve/ResolveLink.h"

#include <QDateTime>
#include <QKeySequence>
#include <QList>
#include <QString>

#include <optional>

class SyncEngine;

// Everything the menu shows, copied from the engine and the objects it owns at one moment.
struct MenuState {
    bool signedIn = false;
    // Signed out by the service, not by the user: the session ran out and nothing syncs until the
    // user signs in again.
    bool sessionExpired = false;
    QString email;
    ResolveLink::Health resolveHealth;
    bool localEnabled = true;
    std::optional<quint16> localPort;
    std::optional<QString> folderProblem;
    bool lutFolderLocked = false; // exists and cannot be written: creating it cannot help
    bool syncing = false;
    bool paused = false;
    bool resolveScriptInstalled = false;
    std::optional<QDateTime> lastSync;
    QList<Activity> activity; // newest first
    QDateTime now;            // what the activity lines measure their age against

    static MenuState of(const SyncEngine& engine, const QDateTime& now);
};

// One entry of the menu. The menu always holds the same entries in the same order; an entry whose
// condition is false is invisible rather than removed, so that an open menu can be updated in place.
struct MenuItem {
    enum class Role {
        signIn,
        account,
        resolve,
        localNetwork,
        folderProblem,
        createFolder,
        separator,
        syncNow,
        pause,
        openLutFolder,
        openInbox,
        installScript,
        activity,
        settings,
        signOut,
        quit,
    };

    Role role = Role::separator;
    QString text;
    bool visible = true;
    bool enabled = true; // text lines are shown as inactive entries
    bool checkable = false;
    bool checked = false;
    // Where a window offers the entry, the keys that choose it there; a tray menu has no keyboard.
    QKeySequence shortcut;
    QString toolTip; // the whole line, where `text` is shortened
};

struct MenuContent {
    static constexpr int activityLines = 6;
    // Longer lines are shortened in the middle; a long path would otherwise widen the menu across
    // the screen.
    static constexpr int lineLimit = 70;

    QString iconName; // the resource name of the tray icon
    QString toolTip;  // the tray icon's: the program's name over the status lines
    QList<MenuItem> items;

    // The menu, with room for `activityShown` activity lines.
    static MenuContent of(const MenuState& state, int activityShown = activityLines);
};

// The age of an activity line in a compact form such as "now", "42 s ago" or "5 min ago".
QString elapsedText(const QDateTime& since, const QDateTime& now);
