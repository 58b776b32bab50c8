#include "app/CommandLine.h"
#include "app/SystemServices.h"
#include "bus/BusClient.h"
#include "bus/BusService.h"
#include "cloud/CredentialService.h"
#include "engine/SyncEngine.h"
#include "platform/Descriptors.h"
#include "platform/linux/FreedesktopNotifications.h"
#include "ui/SingleInstance.h"
#include "ui/TrayApplication.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onQuitSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here: wake the event loop, which quits on its own thread.
    [[maybe_unused]] const auto written = ::write(signalPipe[0], &byte, 1);
}

// SIGINT and SIGTERM end the event loop normally, so everything is torn down in order.
void quitOnSignals(QCoreApplication& app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(signalPipe[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        notifier->setEnabled(false);
        char byte = 0;
        [[maybe_unused]] const auto read = ::read(signalPipe[1], &byte, 1);
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// The program reports through its activity log only; Qt's own diagnostics (such as a missing
// XDG_RUNTIME_DIR when started as root) would otherwise reach the terminal.
void discardMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

int main(int argc, char* argv[]) {
    qInstallMessageHandler(discardMessages);
    if (const auto status = CommandLine::handle(argc, argv)) {
        return *status;
    }
    Descriptors::raiseLimit(); // room for many iPads' connections beside the program's own files
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("quillfen"));
    QCoreApplication::setApplicationName(QStringLiteral("Tonewharf"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TONEWHARF_VERSION));
    // A menu-bar agent keeps running when its windows close.
    QApplication::setQuitOnLastWindowClosed(false);
    quitOnSignals(app);

    // A second Tonewharf would fight the first over the port, the ledger and the LUT folder.
    SingleInstance instance;
    if (!instance.isPrimary()) {
        // Through the session bus where there is one; the socket serves where there is none.
        const bool shown = BusClient().call(QStringLiteral("ShowWindow")) == BusClient::Outcome::answered ||
                           instance.askToShowSettings();
        return shown ? 0 : 1;
    }

    CredentialService::setName(QStringLiteral("com.quillfen.tonewharf.cloud"));

    SyncEngine engine(systemServices());
    TrayApplication ui(engine, std::make_shared<FreedesktopNotifications>());
    QObject::connect(&instance, &SingleInstance::showSettingsRequested, &ui, &TrayApplication::showWindow);
    ui.start();
    BusService bus(engine,
                   {[&ui] { ui.showSettings(); }, [&ui] { ui.showWindow(); }, &QCoreApplication::quit});
    // Without a session bus (or with the name held elsewhere) the program runs on without it.
    bus.publish(QDBusConnection::sessionBus());
    engine.start();

    return QApplication::exec();
}
