#include "cloud/CloudStore.h"
#include "engine/SyncEngine.h"
#include "support/CloudTestService.h"
#include "support/EngineFixture.h"
#include "support/fake_resolve/FakeResolve.h"
#include "ui/TrayApplication.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextStream>

#include <cstdio>
#include <memory>

namespace {

// Reaches the setters of the engine's own operations, for the states a short run cannot reach
// by itself (a sync in progress, a server that has not reported its port yet).
class ScreenshotEngine : public SyncEngine {
public:
    using SyncEngine::setLocalPort;
    using SyncEngine::setSyncing;
    using SyncEngine::SyncEngine;
};

const QColor darkPanel(0x2b, 0x2b, 0x2b);
const QColor lightPanel(0xec, 0xec, 0xec);
constexpr int margin = 16;

class Camera {
public:
    explicit Camera(QString folder)
        : m_folder(std::move(folder)) {}

    // The screen's pixels under a shown window or menu.
    static QImage grab(QWidget& widget) {
        if (!QTest::qWaitForWindowExposed(&widget)) {
            return {};
        }
        QTest::qWait(300); // let the style finish painting
        const QRect area = widget.frameGeometry();
        return QGuiApplication::primaryScreen()
            ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
            .toImage();
    }

    // The menu as it drops from the tray icon on a panel.
    void menu(Tray& tray, const QString& name, const QString& title, const QString& note,
              bool darkPanelShown) {
        QMenu& menu = *tray.menu();
        menu.popup(QPoint(900, 60));
        const QImage shot = grab(menu);
        menu.hide();
        QImage picture(shot.width() + 2 * margin + 60, shot.height() + 30 + margin, QImage::Format_RGB32);
        picture.fill(QColor(0xd8, 0xdc, 0xe0));
        QPainter painter(&picture);
        const QColor panel = darkPanelShown ? darkPanel : lightPanel;
        painter.fillRect(0, 0, picture.width(), 28, panel);
        const int iconX = picture.width() - margin - 60;
        painter.fillRect(iconX - 4, 0, 30, 28, panel.lighter(darkPanelShown ? 160 : 90));
        painter.drawPixmap(iconX, 3, Tray::iconNamed(tray.iconName()).pixmap(22));
        painter.setPen(darkPanelShown ? Qt::white : Qt::black);
        painter.drawText(QRect(picture.width() - margin - 30, 0, 40, 28), Qt::AlignVCenter,
                         QStringLiteral("15:09"));
        painter.drawImage(iconX + 26 - shot.width(), 30, shot);
        painter.end();
        save(name, title, note, picture);
    }

    void window(QWidget& window, const QString& name, const QString& title, const QString& note) {
        window.move(40, 60);
        window.show();
        window.raise();
        const QImage shot = grab(window);
        QImage picture(shot.width() + 2 * margin, shot.height() + 28 + margin, QImage::Format_RGB32);
        picture.fill(QColor(0xd8, 0xdc, 0xe0));
        QPainter painter(&picture);
        // A title bar of our own: the X server here runs no window manager to draw one.
        painter.fillRect(margin, 0, shot.width(), 28, QColor(0x3a, 0x3f, 0x46));
        painter.setPen(Qt::white);
        painter.drawText(QRect(margin, 0, shot.width(), 28), Qt::AlignCenter, window.windowTitle());
        painter.drawImage(margin, 28, shot);
        painter.end();
        save(name, title, note, picture);
    }

    void save(const QString& name, const QString& title, const QString& note, const QImage& content) {
        QFont titleFont = QApplication::font();
        titleFont.setBold(true);
        titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
        const int width = std::max(content.width(), 560);
        const QRect noteArea(margin, 40, width - 2 * margin, 200);
        const QRect noteBounds =
            QFontMetrics(QApplication::font()).boundingRect(noteArea, Qt::TextWordWrap, note);
        const int header = noteBounds.bottom() + 12;
        QImage picture(width, header + content.height(), QImage::Format_RGB32);
        picture.fill(Qt::white);
        QPainter painter(&picture);
        painter.setPen(QColor(0x20, 0x20, 0x20));
        painter.setFont(titleFont);
        painter.drawText(QRect(margin, 8, width - 2 * margin, 30), Qt::AlignVCenter, title);
        painter.setFont(QApplication::font());
        painter.setPen(QColor(0x50, 0x50, 0x50));
        painter.drawText(noteArea, Qt::TextWordWrap, note);
        painter.fillRect(0, header, width, content.height(), QColor(0xd8, 0xdc, 0xe0));
        painter.drawImage(0, header, content);
        painter.end();
        const QString path = QDir(m_folder).filePath(name + QStringLiteral(".png"));
        if (!picture.save(path)) {
            std::fprintf(stderr, "could not save %s\n", qPrintable(path));
            m_failed = true;
        }
        QTextStream(stdout) << path << Qt::endl;
    }

    // The two icons at the sizes panels ask for, on a light and on a dark panel.
    void icons() {
        const int sizes[] = {16, 22, 24, 32};
        QImage picture(3 * (16 + 22 + 24 + 32 + 4 * 12) + 4 * margin, 2 * 48, QImage::Format_RGB32);
        QPainter painter(&picture);
        int row = 0;
        for (const QColor& panel : {lightPanel, darkPanel}) {
            painter.fillRect(0, row * 48, picture.width(), 48, panel);
            int x = margin;
            for (const QString& name : {QStringLiteral("MenuBarIcon"), QStringLiteral("MenuBarIconPaused"),
                                        QStringLiteral("MenuBarIconAttention")}) {
                for (const int size : sizes) {
                    painter.drawPixmap(x, row * 48 + (48 - size) / 2, Tray::iconNamed(name).pixmap(size));
                    x += size + 12;
                }
                x += margin;
            }
            ++row;
        }
        painter.end();
        save(
            QStringLiteral("00-icons"), QStringLiteral("Tray icons"),
            QStringLiteral(
                "Left: working (a grading colour wheel). Middle: paused (the wheel in grey with pause bars). "
                "Right: needs attention (the wheel with an amber warning sign). At 16, 22, 24 and 32 pixels, "
                "on a light and on a dark panel."),
            picture);
    }

    bool failed() const { return m_failed; }

private:
    QString m_folder;
    bool m_failed = false;
};

bool waitFor(const std::function<bool()>& condition, const char* what) {
    if (QTest::qWaitFor(condition, 20000)) {
        return true;
    }
    std::fprintf(stderr, "gave up waiting for %s\n", what);
    return false;
}

void type(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->clear();
    QTest::keyClicks(field, text);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc != 2 || QGuiApplication::platformName() != QStringLiteral("xcb")) {
        std::fprintf(stderr, "usage: tonewharf_screenshots FOLDER (on an X server)\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(folder);
    Camera camera(folder);

    CloudTestService service;
    EngineFixture fixture;
    FakeResolveInstallation resolve(fixture.resolveRoot());
    if (!service.start() || !fixture.isValid() || !resolve.isValid() ||
        service.createUser(QStringLiteral("ada@example.com"), QStringLiteral("right password")).isEmpty()) {
        std::fprintf(stderr, "the throwaway cloud service or Resolve installation did not start\n");
        return 1;
    }
    // Resolve installed but not started: the module finds nobody to talk to.
    resolve.setControl(QJsonObject{{"mode", "refuse"}});
    EngineServices services = fixture.services();
    services.resolveProfile = resolve.profile(fixture.path(QStringLiteral("home")));
    services.cloudUrl = service.baseUrl();
    services.localPreferredPort = 7420; // on loopback only
    ScreenshotEngine engine(services);
    TrayApplication ui(engine);
    Tray& tray = ui.tray();
    MainWindow& window = ui.window();
    SettingsView& settings = ui.settings();
    LoginView& signIn = ui.signIn();

    camera.icons();

    engine.start();
    if (!waitFor([&] { return engine.localPort().has_value(); }, "the local server") ||
        !waitFor(
            [&] { return engine.resolve()->health().kind == ResolveLink::Health::Kind::resolveNotRunning; },
            "the Resolve link")) {
        return 1;
    }
    // The moment after launch before the server reports its port, held still for the picture.
    engine.setLocalPort(std::nullopt);
    camera.menu(
        tray, QStringLiteral("01-menu-just-launched"), QStringLiteral("Menu — just launched, signed out"),
        QStringLiteral("The local server has not reported its port yet; Resolve is not running. Signed out, "
                       "so Sync now is greyed out and the first entry offers signing in."),
        true);
    engine.setLocalEnabled(false);
    engine.setLocalEnabled(true);
    if (!waitFor([&] { return engine.localPort().has_value(); }, "the local server again")) {
        return 1;
    }
    camera.menu(tray, QStringLiteral("02-menu-signed-out"), QStringLiteral("Menu — signed out, listening"),
                QStringLiteral("iPads on this network can already send looks to the port shown."), false);
    camera.window(
        window, QStringLiteral("03-main-window-signed-out"),
        QStringLiteral("Main window — a desktop without a tray, signed out"),
        QStringLiteral("Where the desktop has no tray (GNOME as installed) the window holds all the "
                       "menu holds; closing it leaves the agent running."));
    window.close();

    // Signing in: empty, refused, busy, then for real.
    camera.window(
        signIn, QStringLiteral("04-sign-in"), QStringLiteral("Sign-in window"),
        QStringLiteral("Opened from “Sign in to TINTARA…”. Sign in stays greyed out until both fields "
                       "are filled in; Return in a field sends the request regardless."));
    type(signIn.emailField(), QStringLiteral("ada@example.com"));
    type(signIn.passwordField(), QStringLiteral("wrong password"));
    signIn.signInButton()->click();
    if (!waitFor([&] { return !signIn.busy(); }, "the refused sign-in")) {
        return 1;
    }
    camera.window(
        signIn, QStringLiteral("05-sign-in-refused"), QStringLiteral("Sign-in window — refused"),
        QStringLiteral("The service's answer to a wrong password, in red under the fields. What was "
                       "typed stays for another try."));
    {
        // A second engine whose sign-in request the service holds open, so that "Signing in…" stays.
        CloudTestService stalling;
        if (!stalling.start()) {
            return 1;
        }
        stalling.control("POST", QStringLiteral("/_test/fail"), QJsonObject{{"stall", true}, {"count", 1}});
        EngineFixture otherFixture;
        EngineServices other = otherFixture.services();
        other.cloudUrl = stalling.baseUrl();
        SyncEngine otherEngine(other);
        LoginView waiting(otherEngine);
        waiting.show();
        type(waiting.emailField(), QStringLiteral("ada@example.com"));
        type(waiting.passwordField(), QStringLiteral("right password"));
        waiting.signInButton()->click();
        camera.window(
            waiting, QStringLiteral("06-sign-in-busy"), QStringLiteral("Sign-in window — signing in"),
            QStringLiteral("While the request runs the button reads “Signing in…” and cannot be pressed."));
        waiting.close();
    }
    type(signIn.passwordField(), QStringLiteral("right password"));
    signIn.signInButton()->click();
    if (!waitFor([&] { return engine.cloud()->signedIn() && signIn.isHidden(); }, "the sign-in")) {
        return 1;
    }

    // Signed in, Resolve running with scripting.
    resolve.setControl(QJsonObject{{"mode", "answer"},
                                   {"product", "DaVinci Resolve Studio"},
                                   {"version", "19.1.3"},
                                   {"project", "Feature — Reel 2"}});
    resolve.startRunning();
    if (!waitFor([&] { return engine.resolve()->health().kind == ResolveLink::Health::Kind::connected; },
                 "Resolve to connect")) {
        return 1;
    }
    camera.menu(
        tray, QStringLiteral("07-menu-signed-in"), QStringLiteral("Menu — signed in, everything working"),
        QStringLiteral("The account, Resolve's version, the local port, and the latest activity with its "
                       "age (kept current while the menu is open)."),
        true);
    engine.log(QStringLiteral("Day & Night.cube → Resolve (local network)"), true);
    engine.log(QStringLiteral("Could not upload /home/ada/Projects/Feature Film/Reel 2/To TINTARA/Day 2 Reel "
                              "3 Final.cube: Request failed"),
               false);
    engine.log(QStringLiteral("Warm Sunset.cube → Resolve"), true);
    camera.window(
        window, QStringLiteral("08-main-window-signed-in"),
        QStringLiteral("Main window — signed in, with activity"),
        QStringLiteral("The whole activity log, newest first with ages; “&” in a name shows as "
                       "written, a long line is shortened in the middle (the whole line is its tool "
                       "tip). Settings… answers Ctrl+, and Quit Ctrl+Q."));
    window.close();
    camera.window(
        settings, QStringLiteral("08-settings-signed-in"), QStringLiteral("Settings — signed in"),
        QStringLiteral("The LUT folder is taken when Return is pressed or the field is left, not on "
                       "every keystroke. The account shows while signed in."));
    settings.close();
    engine.setSyncing(true);
    camera.menu(tray, QStringLiteral("09-menu-syncing"), QStringLiteral("Menu — syncing"),
                QStringLiteral("A sync is running: the command reads “Syncing…” and cannot be chosen again."),
                false);
    engine.setSyncing(false);
    engine.setPaused(true);
    camera.menu(tray, QStringLiteral("10-menu-paused"), QStringLiteral("Menu — paused"),
                QStringLiteral("Pause is checked, the icon turns grey with pause bars, and Sync now waits."),
                false);
    engine.setPaused(false);

    // Everything that can go wrong at once.
    engine.setLocalEnabled(false);
    // A LUT folder that cannot be created: its parent is a regular file.
    QFile blocker(fixture.path(QStringLiteral("Shared LUTs")));
    if (!blocker.open(QIODevice::WriteOnly)) {
        return 1;
    }
    blocker.close();
    engine.setLutFolderPath(blocker.fileName() + QStringLiteral("/Tonewharf"));
    resolve.setControl(QJsonObject{{"mode", "refuse"}});
    engine.log(QStringLiteral("Can't write Teal Night.cube — check the LUT folder"), false);
    engine.log(QStringLiteral("Could not upload Day 2 Reel 3.cube: Request failed"), false);
    engine.log(QStringLiteral("Could not download Warm Sunset"), false);
    if (!waitFor(
            [&] {
                return engine.resolve()->health().kind == ResolveLink::Health::Kind::scriptingUnavailable;
            },
            "Resolve to refuse scripting")) {
        return 1;
    }
    camera.menu(
        tray, QStringLiteral("11-menu-problems"),
        QStringLiteral("Menu — local network off, folder problem, no scripting, failures"),
        QStringLiteral("The icon turns amber: something needs the user. The warning and the command to "
                       "create the folder with administrator rights stand above the first separator; failed "
                       "activity lines start with ✗."),
        true);
    camera.window(
        window, QStringLiteral("11-main-window-problems"), QStringLiteral("Main window — problems"),
        QStringLiteral("The same lines as the menu: the folder warning in orange with its command."));
    window.close();
    settings.show();
    type(settings.folderField(), QStringLiteral("LUTs"));
    QTest::keyClick(settings.folderField(), Qt::Key_Return);
    settings.createFolderButton()->click(); // nobody gives administrator rights here
    waitFor([&] { return settings.createFolderFailure()->isVisible(); }, "the folder creation to fail");
    camera.window(
        settings, QStringLiteral("12-settings-problems"), QStringLiteral("Settings — problems"),
        QStringLiteral("A relative folder typed into the field is refused in red (the folder in use stays); "
                       "the orange warning comes with its button, and the button's failure under it; local "
                       "network off."));
    type(settings.folderField(), QStringLiteral("/home/ada/LUTs"));
    camera.window(settings, QStringLiteral("13-settings-typed-folder"),
                  QStringLiteral("Settings — a folder typed, not applied yet"),
                  QStringLiteral("Until Return is pressed the field says its path is not in use yet."));
    settings.close();
    return camera.failed() ? 1 : 0;
}
