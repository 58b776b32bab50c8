#include "support/RunningProgram.h"

#include "support/RunProgram.h"

#include <QDBusConnectionInterface>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const QString credentialService = QStringLiteral("com.quillfen.tonewharf.cloud");

} // namespace

RunningProgram::RunningProgram(const QString& program, const QStringList& arguments,
                               const QProcessEnvironment& environment) {
    const QString home = path("home");
    const QString runtime = path("runtime");
    QDir().mkpath(home);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString nowhere = "unix:path=" + runtime + "/no-bus";
    QProcessEnvironment world = QProcessEnvironment::systemEnvironment();
    for (const auto& [name, value] :
         std::initializer_list<std::pair<const char*, QString>>{{"HOME", home},
                                                                {"XDG_CONFIG_HOME", home + "/.config"},
                                                                {"XDG_DATA_HOME", home + "/.local/share"},
                                                                {"XDG_CACHE_HOME", home + "/.cache"},
                                                                {"XDG_STATE_HOME", home + "/.local/state"},
                                                                {"XDG_RUNTIME_DIR", runtime},
                                                                {"QT_QPA_PLATFORM", "offscreen"},
                                                                {"TONEWHARF_CLOUD_URL", "http://127.0.0.1:9"},
                                                                {"TONEWHARF_RESOLVE_DIR", path("resolve")},
                                                                {"TONEWHARF_LISTEN_ADDRESS", "127.0.0.1"},
                                                                {"DBUS_SYSTEM_BUS_ADDRESS", nowhere},
                                                                {"DBUS_SESSION_BUS_ADDRESS", nowhere}}) {
        world.insert(name, value);
    }
    world.insert(environment);
    m_process.setProcessEnvironment(world);
    m_process.setProgram(program);
    m_process.setArguments(arguments);
    // A process group of its own; and no program outlives a test that crashed.
    m_process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
}

RunningProgram::~RunningProgram() {
    // A program that crashed or was killed may leave its bridge behind, writing into the folder.
    if (!stop() && m_group != 0) {
        ::kill(-pid_t(m_group), SIGKILL);
    }
    QDBusConnection::disconnectFromBus(m_bus.name());
    for (QProcess* daemon : {&m_keyring, &m_busDaemon}) {
        daemon->kill();
        daemon->waitForFinished();
    }
}

bool RunningProgram::startSessionWithKeyring() {
    const QString address = "unix:path=" + path("runtime/bus");
    // The daemon prints its address once it listens.
    m_busDaemon.start("dbus-daemon", {"--session", "--nofork", "--print-address", "--address=" + address});
    QProcessEnvironment environment = m_process.processEnvironment();
    environment.insert("DBUS_SESSION_BUS_ADDRESS", address);
    m_process.setProcessEnvironment(environment);
    if (!m_busDaemon.waitForReadyRead(10000)) {
        return false;
    }
    m_bus = QDBusConnection::connectToBus(address, path("runtime/bus"));
    m_keyring.setProcessEnvironment(environment);
    m_keyring.start("gnome-keyring-daemon", {"--foreground", "--unlock", "--components=secrets"});
    m_keyring.write("throwaway");
    m_keyring.closeWriteChannel();
    return QTest::qWaitFor([&] { return m_bus.interface()->isServiceRegistered("org.freedesktop.secrets"); },
                           10000);
}

QDBusMessage RunningProgram::call(const QString& method, const QVariantList& arguments,
                                  const QString& interface) const {
    QDBusMessage message = QDBusMessage::createMethodCall("com.quillfen.Tonewharf", "/com/quillfen/Tonewharf",
                                                          interface, method);
    message.setArguments(arguments);
    return m_bus.call(message);
}

void RunningProgram::storeCredential(const QString& account, const std::optional<QString>& value) {
    const QStringList item{"service", credentialService, "account", account};
    runProgram("secret-tool",
               (value ? QStringList{"store", "--label=Tonewharf"} : QStringList{"clear"}) + item,
               value.value_or(QString()).toUtf8(), m_process.processEnvironment());
}

bool RunningProgram::start() {
    m_process.start();
    m_group = m_process.processId();
    return m_process.waitForStarted();
}

std::optional<quint16> RunningProgram::waitForListeningPort() const {
    // ss names the process of each listener, which tells two programs running at once apart.
    const QRegularExpression listener(QStringLiteral(":(\\d+) .*pid=%1,").arg(m_process.processId()));
    std::optional<quint16> port;
    [[maybe_unused]] const bool ended = QTest::qWaitFor(
        [&] {
            const QRegularExpressionMatch match = listener.match(runProgram("ss", {"-Hltnp"}));
            port = match.hasMatch() ? std::optional(match.captured(1).toUShort()) : std::nullopt;
            return port || m_process.state() != QProcess::Running;
        },
        10000);
    return port;
}

std::optional<int> RunningProgram::stop() {
    if (m_process.state() == QProcess::Running) {
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished();
            return std::nullopt;
        }
    }
    return m_process.exitStatus() == QProcess::NormalExit ? std::optional(m_process.exitCode())
                                                          : std::nullopt;
}
