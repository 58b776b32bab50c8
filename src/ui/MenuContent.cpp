#include "ui/MenuContent.h"

#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "ui/Labels.h"

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
    state.lastSync = engine.lastSync();
    state.activity = engine.activity();
    state.now = now;
    return state;
}

namespace {

using Role = MenuItem::Role;

MenuItem text(Role role, QString label, bool visible = true) {
    return {role, std::move(label), visible, false, false, false, {}, {}};
}

MenuItem command(Role role, QString label, bool visible = true, bool enabled = true,
                 QKeySequence shortcut = {}) {
    return {role, std::move(label), visible, enabled, false, false, std::move(shortcut), {}};
}

MenuItem separator(bool visible = true) {
    return {Role::separator, {}, visible, false, false, false, {}, {}};
}

// Keeps the beginning and the end, where names and reasons stand, and drops the middle.
QString shortened(const QString& line, qsizetype limit) {
    if (line.size() <= limit) {
        return line;
    }
    qsizetype head = limit / 2;
    qsizetype tail = limit - 1 - head;
    // A character outside the Basic Multilingual Plane is two units; neither half is shown alone.
    if (line.at(head - 1).isHighSurrogate()) {
        --head;
    }
    if (line.at(line.size() - tail).isLowSurrogate()) {
        --tail;
    }
    return line.left(head) + QStringLiteral("…") + line.right(tail);
}

// A line that may be too long, shortened to fit with `suffix` kept whole; the full line becomes the
// entry's tool tip.
MenuItem fitted(Role role, const QString& line, const QString& suffix = {}, bool visible = true) {
    MenuItem item = text(role, shortened(line, MenuContent::lineLimit - suffix.size()) + suffix, visible);
    if (line.size() + suffix.size() > MenuContent::lineLimit) {
        item.toolTip = line + suffix;
    }
    return item;
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
    return QStringLiteral("Local network · iPads find ") + Labels::thisComputer() +
           QStringLiteral(" on port ") + QString::number(*state.localPort);
}

MenuItem activityLine(const Activity& entry, const QDateTime& now) {
    return fitted(Role::activity, (entry.ok ? QString() : QStringLiteral("✗ ")) + entry.text,
                  QStringLiteral(" · ") + elapsedText(entry.date, now));
}

bool needsAttention(const MenuState& state) {
    // A failure asks for the user until a sync succeeds after it (a successful sync logs nothing);
    // while paused, failures are the pause refusing looks, and the paused icon says so.
    const bool failedSinceSync = !state.activity.isEmpty() && !state.activity.first().ok && !state.paused &&
                                 (!state.lastSync || state.activity.first().date > *state.lastSync);
    return (state.sessionExpired && !state.signedIn) || state.folderProblem.has_value() || failedSinceSync;
}

} // namespace

MenuContent MenuContent::of(const MenuState& state, int activityShown) {
    MenuContent content;
    // A problem outranks a pause: the pause is the user's own doing, the problem waits for them.
    content.iconName = needsAttention(state) ? QStringLiteral("MenuBarIconAttention")
                       : state.paused        ? QStringLiteral("MenuBarIconPaused")
                                             : QStringLiteral("MenuBarIcon");
    QList<MenuItem>& items = content.items;
    const QString problem = state.folderProblem.value_or(QString());

    items << command(Role::signIn, QStringLiteral("Sign in to TINTARA…"), !state.signedIn)
          << fitted(Role::account, QStringLiteral("TINTARA · ") + state.email, {}, state.signedIn)
          << text(Role::resolve, QStringLiteral("Resolve · ") + resolveText(state.resolveHealth))
          << text(Role::localNetwork, localNetworkText(state))
          << fitted(Role::folderProblem, QStringLiteral("⚠︎ ") + problem, {},
                    state.folderProblem.has_value())
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

    const qsizetype shown = std::min<qsizetype>(state.activity.size(), activityShown);
    items << separator(shown > 0);
    for (qsizetype i = 0; i < activityShown; ++i) {
        items << (i < shown ? activityLine(state.activity[i], state.now) : text(Role::activity, {}, false));
    }

    items << separator()
          << command(Role::settings, QStringLiteral("Settings…"), true, true,
                     QKeySequence(Qt::CTRL | Qt::Key_Comma))
          << command(Role::signOut, QStringLiteral("Sign out"), state.signedIn)
          << command(Role::quit, QStringLiteral("Quit Tonewharf"), true, true,
                     QKeySequence(Qt::CTRL | Qt::Key_Q));

    // The status lines, for a glance without opening the menu.
    QStringList tip{QStringLiteral("Tonewharf")};
    for (const MenuItem& item : std::as_const(items)) {
        if (item.role == Role::separator) {
            break;
        }
        if (item.visible && !item.enabled) {
            tip << item.text;
        }
    }
    content.toolTip = tip.join(QLatin1Char('\n'));
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
