#include "ui/MenuContent.h"

#include <QTest>

using Role = MenuItem::Role;
using Health = ResolveLink::Health;
Q_DECLARE_METATYPE(MenuState)

static const QDateTime now = QDateTime(QDate(2025, 3, 14), QTime(15, 9, 26), Qt::UTC);

static Activity entry(const QString& text, bool ok, int age) {
    return {QUuid::createUuid(), now.addSecs(-age), text, ok};
}

// Visible entries: inactive ones in parentheses, the check item with its box, shortcuts after labels.
static QStringList render(const MenuContent& content) {
    QStringList lines;
    for (const MenuItem& item : content.items) {
        const QString box = !item.checkable ? "" : item.checked ? "[x] " : "[ ] ";
        const QString text =
            box + item.text + (item.shortcut.isEmpty() ? "" : " " + item.shortcut.toString());
        if (item.visible) {
            lines << (item.role == Role::separator ? "-" : item.enabled ? text : "(" + text + ")");
        }
    }
    return lines;
}

class TestMenu : public QObject {
    Q_OBJECT

private slots:
    void contentFollowsTheState_data() {
        QTest::addColumn<MenuState>("state");
        QTest::addColumn<QStringList>("menu");
        const QStringList open{"Open Resolve LUT folder (Tonewharf)", "Open “To TINTARA” inbox"};
        const QStringList ada{"(TINTARA · ada@example.com)"};
        const QStringList bottom{"-", "Settings… Ctrl+,", "Sign out", "Quit Tonewharf Ctrl+Q"};
        const QString problem = "Cannot write to /opt/resolve/LUT/Tonewharf";
        MenuState out;
        out.resolveHealth = Health::resolveNotRunning();
        out.now = now;
        MenuState syncing = out;
        syncing.signedIn = syncing.syncing = syncing.resolveScriptInstalled = true;
        syncing.email = "ada@example.com";
        syncing.resolveHealth = Health::scriptingUnavailable("no fusionscript");
        syncing.localPort = 7421;
        syncing.folderProblem = problem;
        MenuState paused = syncing;
        paused.syncing = paused.resolveScriptInstalled = paused.localEnabled = false;
        paused.paused = true;
        paused.resolveHealth = out.resolveHealth;
        paused.localPort = 7420;
        paused.folderProblem.reset();
        paused.activity = {
            entry("Pulled Warm.cube", true, -300),  entry("Upload failed: Day 2.cube", false, 59),
            entry("Pulled Cool.cube", true, 60),    entry("Pulled Teal.cube", true, 3599),
            entry("Refused: paused", false, 86399), entry("Pulled Dawn.cube", true, 86400),
            entry("Pulled Dusk.cube", true, 90000)};
        QTest::newRow("signed out and starting: sign in first, nothing to sync, no sign-out")
            << out
            << (QStringList{"Sign in to TINTARA…", "(Resolve · Resolve not running)",
                            "(Local network · starting…)", "-", "(Sync now)", "[ ] Pause", "-"} +
                open +
                QStringList{"Install “Send to TINTARA” in Resolve", "-", "Settings… Ctrl+,",
                            "Quit Tonewharf Ctrl+Q"});
        QStringList withProblem =
            (ada +
             QStringList{"(Resolve · no scripting: needs Resolve Studio, External scripting = Local (LUTs "
                         "still land, press Update Lists))",
                         "(Local network · iPads find this Mac on port 7421)", "(⚠︎ " + problem + ")",
                         "Create LUT folder (admin)…", "-", "(Syncing…)", "[ ] Pause", "-"} +
             open + QStringList{"Reinstall “Send to TINTARA” in Resolve"} + bottom);
        QTest::newRow("syncing with a folder problem; the port and a fixed text, not the bridge's message")
            << syncing << withProblem;
        MenuState locked = syncing;
        locked.lutFolderLocked = true;
        withProblem[4] = "(The folder exists and cannot be written — choose another in Settings)";
        QTest::newRow("a folder that exists and cannot be written is not offered to the administrator")
            << locked << withProblem;
        QTest::newRow(
            "paused, local network off though a port was reported; six entries, ages at their limits")
            << paused
            << (ada +
                QStringList{"(Resolve · Resolve not running)", "(Local network · off (Settings))", "-",
                            "(Sync now)", "[x] Pause", "-"} +
                open +
                QStringList{"Install “Send to TINTARA” in Resolve", "-", "(Pulled Warm.cube · now)",
                            "(✗ Upload failed: Day 2.cube · 59 s ago)", "(Pulled Cool.cube · 1 min ago)",
                            "(Pulled Teal.cube · 59 min ago)", "(✗ Refused: paused · 23 h ago)",
                            "(Pulled Dawn.cube · 1 d ago)"} +
                bottom);
    }

    void contentFollowsTheState() {
        QFETCH(MenuState, state);
        const MenuContent content = MenuContent::of(state);
        QTEST(render(content), "menu");
        QCOMPARE(content.iconName, state.paused ? "MenuBarIconPaused" : "MenuBarIcon");
    }
};

QTEST_APPLESS_MAIN(TestMenu)
#include "TestMenu.moc"
