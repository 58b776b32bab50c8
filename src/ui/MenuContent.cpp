#include "ui/MenuContent.h"

#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"

MenuState MenuState::of(const SyncEngine& engine, const QDateTime& now) {
    MenuState state;
    state.signedIn = engine.cloud()->signedIn();
    state.email = engine.cloud()->email();
    state.resolveHealth = engine.resolve()->health();
    state.localEnabled = engine.localEnabled();
    state.localPort = engine.localPort();
    state.folderProblem = engine.folderProblem();
    state.lutFolderLocked = state.folderProblem && engine.lutFolderLocked();
    state.syncing = engine.syncing();
    state.paused = engine.paused();
    state.resolveScriptInstalled = engine.resolveScriptInstalled();
    state.activity = engine.activity().mid(0, MenuContent::activityLines);
    state.now = now;
    return state;
}

namespace {

using Role = MenuItem::Role;

MenuItem text(Role role, QString label, bool visible = true) {
    return {role, std::move(label), visible, false, false, false, {}};
}

MenuItem command(Role role, QString label, bool visible = true, bool enabled = true,
                 QKeySequence shortcut = {}) {
    return {role, std::move(label), visible, enabled, false, false, std::move(shortcut)};
}

MenuItem separator(bool visible = true) {
    return {Role::separator, {}, visible, false, false, false, {}};
}

QString resolveText(const ResolveLink::Health& health) {
    // The bridge's own message is too long for a menu line and says less than this.
    if (health.kind == ResolveLink::Health::Kind::scriptingUnavailable) {
        return QStringLiteral("no scripting: needs Resolve Studio, External scripting = Local (LUTs still "
                              "land, press Update Lists)");
    }
    return health.label();
}

QString localNetworkText(const MenuState& state) {
    if (!state.localEnabled) {
        return QStringLiteral("Local network · off (Settings)");
    }
    if (!state.localPort) {
        return QStringLiteral("Local network · starting…");
    }
    return QStringLiteral("Local network · iPads find this Mac on port ") + QString::number(*state.localPort);
}

QString activityText(const Activity& entry, const QDateTime& now) {
    return (entry.ok ? QString() : QStringLiteral("✗ ")) + entry.text + QStringLiteral(" · ") +
           elapsedText(entry.date, now);
}

} // namespace

MenuContent MenuContent::of(const MenuState& state) {
    MenuContent content;
    content.iconName = state.paused ? QStringLiteral("MenuBarIconPaused") : QStringLiteral("MenuBarIcon");
    QList<MenuItem>& items = content.items;
    const QString problem = state.folderProblem.value_or(QString());

    items << command(Role::signIn, QStringLiteral("Sign in to TINTARA…"), !state.signedIn)
          << text(Role::account, QStringLiteral("TINTARA · ") + state.email, state.signedIn)
          << text(Role::resolve, QStringLiteral("Resolve · ") + resolveText(state.resolveHealth))
          << text(Role::localNetwork, localNetworkText(state))
          << text(Role::folderProblem, QStringLiteral("⚠︎ ") + problem, state.folderProblem.has_value())
          << (state.lutFolderLocked
                  ? text(Role::createFolder,
                         QStringLiteral(
                             "The folder exists and cannot be written — choose another in Settings"))
                  : command(Role::createFolder, QStringLiteral("Create LUT folder (admin)…"),
                            state.folderProblem.has_value()))
          << separator()
          << command(Role::syncNow, state.syncing ? QStringLiteral("Syncing…") : QStringLiteral("Sync now"),
                     true, state.signedIn && !state.syncing && !state.paused);
    MenuItem pause = command(Role::pause, QStringLiteral("Pause"));
    pause.checkable = true;
    pause.checked = state.paused;
    items << pause << separator()
          << command(Role::openLutFolder, QStringLiteral("Open Resolve LUT folder (Tonewharf)"))
          << command(Role::openInbox, QStringLiteral("Open “To TINTARA” inbox"))
          << command(Role::installScript, state.resolveScriptInstalled
                                              ? QStringLiteral("Reinstall “Send to TINTARA” in Resolve")
                                              : QStringLiteral("Install “Send to TINTARA” in Resolve"));

    const qsizetype shown = std::min<qsizetype>(state.activity.size(), activityLines);
    items << separator(shown > 0);
    for (qsizetype i = 0; i < activityLines; ++i) {
        items << text(Role::activity, i < shown ? activityText(state.activity[i], state.now) : QString(),
                      i < shown);
    }

    items << separator()
          << command(Role::settings, QStringLiteral("Settings…"), true, true,
                     QKeySequence(Qt::CTRL | Qt::Key_Comma))
          << command(Role::signOut, QStringLiteral("Sign out"), state.signedIn)
          << command(Role::quit, QStringLiteral("Quit Tonewharf"), true, true,
                     QKeySequence(Qt::CTRL | Qt::Key_Q));
    return content;
}

QString elapsedText(const QDateTime& since, const QDateTime& now) {
    // A clock set back makes an entry look younger than it is, never "in 3 min".
    const qint64 seconds = std::max<qint64>(0, since.secsTo(now));
    if (seconds < 5) {
        return QStringLiteral("now");
    }
    if (seconds < 60) {
        return QStringLiteral("%1 s ago").arg(seconds);
    }
    if (seconds < 60 * 60) {
        return QStringLiteral("%1 min ago").arg(seconds / 60);
    }
    if (seconds < 24 * 60 * 60) {
        return QStringLiteral("%1 h ago").arg(seconds / (60 * 60));
    }
    return QStringLiteral("%1 d ago").arg(seconds / (24 * 60 * 60));
}
