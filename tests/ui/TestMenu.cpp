#include "engine/SyncEngine.h"
#include "support/EngineFixture.h"
#include "ui/MenuContent.h"
#include "ui/Tray.h"

#include <QAction>
#include <QMenu>
#include <QTest>

using Role = MenuItem::Role;
using Health = ResolveLink::Health;
Q_DECLARE_METATYPE(MenuState)

namespace {

const QDateTime now = QDateTime(QDate(2025, 3, 14), QTime(15, 9, 26), Qt::UTC);

Activity entry(const QString& text, bool ok, int age) {
    return {QUuid::createUuid(), now.addSecs(-age), text, ok};
}

// One line per visible entry: inactive ones in parentheses, the check item with its box, and
// the shortcut after the label.
QString render(const MenuContent& content) {
    QStringList lines;
    for (const MenuItem& item : content.items) {
        if (!item.visible) {
            continue;
        }
        QString line = item.role == Role::separator ? QStringLiteral("-") : item.text;
        if (item.role != Role::separator && !item.enabled) {
            line = QLatin1Char('(') + line + QLatin1Char(')');
        }
        if (item.checkable) {
            line.prepend(item.checked ? QStringLiteral("[x] ") : QStringLiteral("[ ] "));
        }
        if (!item.shortcut.isEmpty()) {
            line += QLatin1Char(' ') + item.shortcut.toString();
        }
        lines << line;
    }
    return lines.join(QStringLiteral(" | "));
}

} // namespace

class TestMenu : public QObject {
    Q_OBJECT

private slots:
    void contentFollowsTheState_data();
    void contentFollowsTheState();
    void agesAreCompact_data();
    void agesAreCompact();
    void openMenuFollowsTheEngineInPlace();
};

void TestMenu::contentFollowsTheState_data() {
    QTest::addColumn<MenuState>("state");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("menu");

    const auto state = [](const std::function<void(MenuState&)>& change) {
        MenuState state;
        state.resolveHealth = Health::resolveNotRunning();
        state.now = now;
        change(state);
        return state;
    };
    const auto signedIn = [](MenuState& s) {
        s.signedIn = true;
        s.email = QStringLiteral("ada@example.com");
    };
    const QString top =
        QStringLiteral("(Resolve · Resolve not running) | (Local network · starting…) | - | ");
    const QString folders =
        QStringLiteral("- | Open Resolve LUT folder (Tonewharf) | Open “To TINTARA” inbox | "
                       "Install “Send to TINTARA” in Resolve | ");
    const QString bottom = QStringLiteral("- | Settings… Ctrl+, | Quit Tonewharf Ctrl+Q");
    const QString signedInBottom = QStringLiteral("- | Settings… Ctrl+, | Sign out | Quit Tonewharf Ctrl+Q");
    const QString icon = QStringLiteral("MenuBarIcon");

    QTest::newRow("signed out: the sign-in command comes first, nothing to sync, no sign-out")
        << state([](MenuState&) {}) << icon
        << QStringLiteral("Sign in to TINTARA… | ") + top + QStringLiteral("(Sync now) | [ ] Pause | ") +
               folders + bottom;
    QTest::newRow("signed in with the script installed: the account line, Sync now and Sign out")
        << state([&](MenuState& s) {
               signedIn(s);
               s.resolveScriptInstalled = true;
           })
        << icon
        << QStringLiteral("(TINTARA · ada@example.com) | ") + top +
               QStringLiteral(
                   "Sync now | [ ] Pause | - | Open Resolve LUT folder (Tonewharf) | Open “To TINTARA” "
                   "inbox | Reinstall “Send to TINTARA” in Resolve | ") +
               signedInBottom;
    QTest::newRow("syncing: the command says so and cannot be chosen again")
        << state([&](MenuState& s) {
               signedIn(s);
               s.syncing = true;
           })
        << icon
        << QStringLiteral("(TINTARA · ada@example.com) | ") + top +
               QStringLiteral("(Syncing…) | [ ] Pause | ") + folders + signedInBottom;
    QTest::newRow("paused while signed in: Pause checked, nothing to sync, the paused icon")
        << state([&](MenuState& s) {
               signedIn(s);
               s.paused = true;
           })
        << QStringLiteral("MenuBarIconPaused")
        << QStringLiteral("(TINTARA · ada@example.com) | ") + top +
               QStringLiteral("(Sync now) | [x] Pause | ") + folders + signedInBottom;
    QTest::newRow("local network off, folder problem: warning and its command before the first separator")
        << state([](MenuState& s) {
               s.localEnabled = false;
               s.localPort = 7420; // a port reported before the switch does not count
               s.folderProblem = QStringLiteral("Cannot write to /opt/resolve/LUT/Tonewharf");
           })
        << icon
        << QStringLiteral(
               "Sign in to TINTARA… | (Resolve · Resolve not running) | (Local network · off (Settings)) "
               "| (⚠︎ Cannot write to /opt/resolve/LUT/Tonewharf) | Create LUT folder (admin)… | - | "
               "(Sync now) | [ ] Pause | ") +
               folders + bottom;
    QTest::newRow("listening, scripting unavailable: the port and the fixed text, not the bridge's message")
        << state([](MenuState& s) {
               s.localPort = 7421;
               s.resolveHealth =
                   Health::scriptingUnavailable(QStringLiteral("fusionscript could not be loaded"));
           })
        << icon
        << QStringLiteral(
               "Sign in to TINTARA… | (Resolve · no scripting: needs Resolve Studio, External scripting "
               "= Local (LUTs still land, press Update Lists)) | (Local network · iPads find this Mac on "
               "port 7421) | - | (Sync now) | [ ] Pause | ") +
               folders + bottom;
    QTest::newRow("activity: the six newest, failures marked, each with its age")
        << state([](MenuState& s) {
               s.activity = {
                   entry("Pulled Warm.cube", true, 2),     entry("Upload failed: Day 2.cube", false, 42),
                   entry("Pulled Cool.cube", true, 61),    entry("Pulled Teal.cube", true, 7200),
                   entry("Refused: paused", false, 90000), entry("Pulled Dawn.cube", true, 90001),
                   entry("Pulled Dusk.cube", true, 90002)};
           })
        << icon
        << QStringLiteral("Sign in to TINTARA… | ") + top + QStringLiteral("(Sync now) | [ ] Pause | ") +
               folders +
               QStringLiteral(
                   "- | (Pulled Warm.cube · now) | (✗ Upload failed: Day 2.cube · 42 s ago) | (Pulled "
                   "Cool.cube · 1 min ago) | (Pulled Teal.cube · 2 h ago) | (✗ Refused: paused · 1 d ago) "
                   "| (Pulled Dawn.cube · 1 d ago) | ") +
               bottom;
}

void TestMenu::contentFollowsTheState() {
    QFETCH(MenuState, state);
    QFETCH(QString, icon);
    QFETCH(QString, menu);

    const MenuContent content = MenuContent::of(state);
    QCOMPARE(render(content), menu);
    QCOMPARE(content.iconName, icon);
}

void TestMenu::agesAreCompact_data() {
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("under five seconds") << 4 << "now";
    QTest::newRow("the last second of the first minute") << 59 << "59 s ago";
    QTest::newRow("a whole minute") << 60 << "1 min ago";
    QTest::newRow("the last minute of the first hour") << 3599 << "59 min ago";
    QTest::newRow("a day and a bit") << 86400 + 3599 << "1 d ago";
    QTest::newRow("a clock set back") << -300 << "now";
}

void TestMenu::agesAreCompact() {
    QFETCH(int, seconds);
    QFETCH(QString, text);
    QCOMPARE(elapsedText(now.addSecs(-seconds), now), text);
}

void TestMenu::openMenuFollowsTheEngineInPlace() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    QDateTime clock = QDateTime::currentDateTime();
    Tray tray(engine, [&clock] { return clock; });
    QMenu* menu = tray.menu();
    menu->popup(QPoint(0, 0));
    QVERIFY(QTest::qWaitForWindowExposed(menu));
    const QList<QAction*> actions = menu->actions();
    QAction* pause = tray.action(Role::pause);
    QAction* line = tray.action(Role::activity);
    QVERIFY(!line->isVisible());

    engine.setPaused(true);
    engine.log(QStringLiteral("Refused Warm.cube: paused"), false);
    QVERIFY(pause->isChecked());
    QCOMPARE(tray.iconName(), QStringLiteral("MenuBarIconPaused"));
    QVERIFY(!tray.icon()->icon().pixmap(22).toImage().isNull());
    QVERIFY(line->isVisible());
    QCOMPARE(line->text(), QStringLiteral("✗ Refused Warm.cube: paused · now"));

    // The ages move on while the menu stays open.
    clock = clock.addSecs(90);
    QTRY_COMPARE(line->text(), QStringLiteral("✗ Refused Warm.cube: paused · 1 min ago"));

    // Choosing Pause hands the opposite value to the engine.
    pause->trigger();
    QVERIFY(!engine.paused());
    QVERIFY(!pause->isChecked());
    QCOMPARE(menu->actions(), actions);
}

QTEST_MAIN(TestMenu)
#include "TestMenu.moc"
