#include "engine/SyncEngine.h"
#include "support/EngineFixture.h"
#include "ui/MainWindow.h"
#include "ui/MenuModel.h"
#include "ui/Tray.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QTest>

using Health = ResolveLink::Health;
Q_DECLARE_METATYPE(MenuState)

static const QDateTime now = QDateTime(QDate(2025, 3, 14), QTime(15, 9, 26), Qt::UTC);

static Activity entry(const QString& text, bool ok, int age) {
    return {QUuid::createUuid(), now.addSecs(-age), text, ok};
}

// One line per visible entry: inactive ones in parentheses, the check item with its box (check -1:
// none), shortcuts after labels; the whole texts behind shortened lines go to `tips`.
static QString line(QString text, bool enabled, int check, const QString& tip, QStringList& tips) {
    if (!tip.isEmpty() && tip != text) {
        tips << tip;
    }
    text = (check < 0 ? "" : check ? "[x] " : "[ ] ") + text;
    return enabled ? text : "(" + text + ")";
}

static QStringList render(const QMenu& menu, QStringList& tips) {
    QStringList lines;
    for (const QAction* action : menu.actions()) {
        // The icon text is the text as a menu draws it: "&&" is "&", a lone "&" marks a shortcut letter.
        const QString text = (action->iconText() + " " + action->shortcut().toString()).trimmed();
        if (action->isVisible()) {
            lines << (action->isSeparator()
                          ? "-"
                          : line(text, action->isEnabled(), action->isCheckable() ? action->isChecked() : -1,
                                 action->toolTip(), tips));
        }
    }
    return lines;
}

static QStringList render(const MainWindow& window, QStringList& tips) {
    QStringList lines;
    for (const QWidget* control : window.controls()) {
        const auto* label = qobject_cast<const QLabel*>(control);
        const auto* button = qobject_cast<const QAbstractButton*>(control);
        if (control->isVisibleTo(&window)) {
            lines << (label    ? line(label->text(), false, -1, label->toolTip(), tips)
                      : button ? line(button->text(), button->isEnabled(),
                                      button->isCheckable() ? button->isChecked() : -1, {}, tips)
                               : "-");
        }
    }
    return lines;
}

class TestMenu : public QObject {
    Q_OBJECT

private slots:
    // Lines marked "+" are beyond the menu's six activity lines: only the main window shows them.
    void menuAndWindowShowTheSameLines_data() {
        QTest::addColumn<MenuState>("state");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QStringList>("tips");
        QTest::addColumn<QString>("icon");
        const QStringList open{"Open Resolve LUT folder (Tonewharf)", "Open “To TINTARA” inbox"};
        const QStringList ada{"(TINTARA · ada@example.com)"};
        const QStringList bottom{"-", "Settings…", "Sign out", "Quit Tonewharf"};
        const QString problem =
            "Can't write to /home/ada/Projects/Feature Film & Trailer/Resolve LUTs/Tonewharf";
        MenuState out;
        out.resolveHealth = Health::resolveNotRunning();
        out.now = now;
        const QStringList outLines = QStringList{"Sign in to TINTARA…",
                                                 "(Resolve · Resolve not running)",
                                                 "(Local network · starting…)",
                                                 "-",
                                                 "(Sync now)",
                                                 "[ ] Pause",
                                                 "-"} +
                                     open + QStringList{"Install “Send to TINTARA” in Resolve"};
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
        MenuState expired = out;
        expired.sessionExpired = true;
        expired.localPort = 7420;
        const QString upload =
            "Could not upload /home/ada/Projects/Feature Film/Reel 2/To TINTARA/Day 2 Reel 3 "
            "Final.cube: Request failed";
        expired.activity = {entry("Day & Night.cube → Resolve (local network)", true, 3),
                            entry(upload, false, 150)};
        MenuState failed = out;
        failed.activity = {entry("Could not reach the cloud: Request failed", false, 0)};

        QTest::newRow("signed out and starting: sign in first, nothing to sync, no sign-out")
            << out << (outLines + QStringList{"-", "Settings…", "Quit Tonewharf"}) << QStringList()
            << "MenuBarIcon";
        QStringList withProblem =
            ada +
            QStringList{"(Resolve · no scripting: needs Resolve Studio, External scripting = Local (LUTs "
                        "still land, press Update Lists))",
                        "(Local network · iPads find this computer on port 7421)",
                        "(⚠︎ Can't write to /home/ada/Project…m & Trailer/Resolve LUTs/Tonewharf)",
                        "Create LUT folder (admin)…",
                        "-",
                        "(Syncing…)",
                        "[ ] Pause",
                        "-"} +
            open + QStringList{"Reinstall “Send to TINTARA” in Resolve"} + bottom;
        QTest::newRow("syncing with a folder problem, its long path shortened; the port and a fixed text")
            << syncing << withProblem << QStringList{"⚠︎ " + problem} << "MenuBarIconAttention";
        MenuState locked = syncing;
        locked.lutFolderLocked = true;
        withProblem[4] = "(The folder exists and cannot be written — choose another in Settings)";
        QTest::newRow("a folder that exists and cannot be written is not offered to the administrator")
            << locked << withProblem << QStringList{"⚠︎ " + problem} << "MenuBarIconAttention";
        QTest::newRow("paused, local network off though a port was reported; six entries in the menu, all in "
                      "the window")
            << paused
            << (ada +
                QStringList{"(Resolve · Resolve not running)", "(Local network · off (Settings))", "-",
                            "(Sync now)", "[x] Pause", "-"} +
                open +
                QStringList{"Install “Send to TINTARA” in Resolve", "-", "(Pulled Warm.cube · now)",
                            "(✗ Upload failed: Day 2.cube · 59 s ago)", "(Pulled Cool.cube · 1 min ago)",
                            "(Pulled Teal.cube · 59 min ago)", "(✗ Refused: paused · 23 h ago)",
                            "(Pulled Dawn.cube · 1 d ago)", "+(Pulled Dusk.cube · 1 d ago)"} +
                bottom)
            << QStringList() << "MenuBarIconPaused";
        QTest::newRow(
            "signed out by an expired session; a look named with “&”, a long line shortened in the middle")
            << expired
            << (QStringList{"Sign in to TINTARA…", "(Resolve · Resolve not running)",
                            "(Local network · iPads find this computer on port 7420)", "-", "(Sync now)",
                            "[ ] Pause", "-"} +
                open +
                QStringList{"Install “Send to TINTARA” in Resolve", "-",
                            "(Day & Night.cube → Resolve (local network) · now)",
                            "(✗ Could not upload /home/ada/…3 Final.cube: Request failed · 2 min ago)", "-",
                            "Settings…", "Quit Tonewharf"})
            << QStringList{"✗ " + upload + " · 2 min ago"} << "MenuBarIconAttention";
        QStringList failedLines =
            outLines + QStringList{"-", "(✗ Could not reach the cloud: Request failed · now)", "-",
                                   "Settings…", "Quit Tonewharf"};
        QTest::newRow("the newest line a failure")
            << failed << failedLines << QStringList() << "MenuBarIconAttention";
        failed.lastSync = now.addSecs(1);
        QTest::newRow("a failure a sync has passed since")
            << failed << failedLines << QStringList() << "MenuBarIcon";
        failed.lastSync.reset();
        failed.paused = true;
        QTest::newRow("a refusal while paused")
            << failed << failedLines.replaceInStrings("[ ] Pause", "[x] Pause") << QStringList()
            << "MenuBarIconPaused";
    }

    void menuAndWindowShowTheSameLines() {
        QFETCH(MenuState, state);
        QFETCH(QStringList, lines);
        QFETCH(QStringList, tips);
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        MenuModel model(engine);
        Tray tray(model);
        MainWindow window(model);
        const MenuContent menu = MenuContent::of(state);
        tray.apply(menu);
        window.apply(MenuContent::of(state, SyncEngine::activityLimit));

        QStringList menuTips, windowTips;
        QCOMPARE(render(*tray.menu(), menuTips), lines.filter(QRegularExpression("^[^+]")));
        QCOMPARE(render(window, windowTips), lines.replaceInStrings(QRegularExpression("^\\+"), ""));
        QCOMPARE(menuTips, tips);
        QCOMPARE(windowTips, tips);
        QTEST(tray.iconName(), "icon");
        // The icon's tool tip: the name over the status lines.
        const QStringList status = lines.mid(0, lines.indexOf("-")).filter(QRegularExpression("^\\(.*\\)$"));
        QCOMPARE(tray.icon()->toolTip(),
                 "Tonewharf\n" + status.join('\n').remove(
                                     QRegularExpression("^\\(|\\)$", QRegularExpression::MultilineOption)));
    }
};

QTEST_MAIN(TestMenu)
#include "TestMenu.moc"
