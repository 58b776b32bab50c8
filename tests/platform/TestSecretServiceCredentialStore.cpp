#include "cloud/CloudStore.h"
#include "cloud/CredentialService.h"
#include "platform/linux/SecretServiceCredentialStore.h"
#include "support/CloudTestService.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QElapsedTimer>
#include <QProcess>
#include <QSemaphore>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUuid>

#include <cstdio>

// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace {

// Set by scripts/test-session.sh, which runs these tests against a throwaway gnome-keyring in a
// D-Bus session of its own; without it the tests would reach the real user's keyring.
constexpr auto keyringMarker = "TONEWHARF_TEST_KEYRING";
// Makes the executable run one store round trip and print what it saw instead of the tests.
constexpr auto probeMarker = "TONEWHARF_SECRET_PROBE";

QString uniqueService() {
    return QStringLiteral("com.quillfen.tonewharf.test-") +
           QUuid::createUuid().toString(QUuid::WithoutBraces);
}

// secret-tool, libsecret's own command-line client, is the independent judge of what is stored.
// Gives its output, or nothing when it failed.
QByteArray secretTool(const QStringList& arguments, const QByteArray& input = {}) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tool.start(QStringLiteral("secret-tool"), arguments);
    tool.write(input);
    tool.closeWriteChannel();
    if (!tool.waitForFinished(10000)) {
        tool.kill();
        tool.waitForFinished();
    }
    return tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0 ? tool.readAllStandardOutput()
                                                                             : QByteArray();
}

QByteArray lookup(const QString& service, const QString& account) {
    return secretTool(
        {QStringLiteral("lookup"), QStringLiteral("service"), service, QStringLiteral("account"), account});
}

// How many items secret-tool finds for (service, account); each starts with a "[path]" line.
int itemCount(const QString& service, const QString& account) {
    return int(("\n" + secretTool({QStringLiteral("search"), QStringLiteral("--all"),
                                   QStringLiteral("service"), service, QStringLiteral("account"), account}))
                   .count("\n["));
}

// Locks the throwaway keyring's default collection, or unlocks it with the password
// scripts/test-session.sh created it with, sent over a "plain" session of this same connection.
bool setKeyringLocked(bool locked) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(SecretService) service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    g_autoptr(SecretCollection) collection =
        service ? secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                                   nullptr, &error)
                : nullptr;
    if (!collection || locked) {
        GList objects{collection, nullptr, nullptr};
        return collection && secret_service_lock_sync(service, &objects, nullptr, nullptr, &error) == 1;
    }
    GDBusConnection* bus = g_dbus_proxy_get_connection(G_DBUS_PROXY(service));
    const auto call = [&](const char* interface, const char* method, GVariant* arguments) {
        return g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                           interface, method, arguments, nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                                           nullptr, &error);
    };
    g_autoptr(GVariant) opened = call("org.freedesktop.Secret.Service", "OpenSession",
                                      g_variant_new("(sv)", "plain", g_variant_new_string("")));
    const char* password = "tonewharf-throwaway";
    g_autoptr(GVariant) unlocked =
        opened ? call("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
                      g_variant_new(
                          "(o(@o@ay@ays))", g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection)),
                          g_variant_get_child_value(opened, 1),
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                          g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password, strlen(password), 1),
                          "text/plain"))
               : nullptr;
    return unlocked != nullptr;
}

// A store whose writes wait for the test to let them through, and record where they were made.
struct GatedStore final : CredentialStore {
    QSemaphore gate;
    QStringList writes; // read by the test only once the writer thread is done
    QList<QThread*> threads;

    std::optional<QString> read(const QString&, const QString&) override { return std::nullopt; }
    void write(const QString&, const QString& account, const std::optional<QString>& value) override {
        gate.tryAcquire(1, 10000); // made on the interface thread, it would hold sign-in up here
        writes.append(account + (value ? QStringLiteral(" kept") : QStringLiteral(" deleted")));
        threads.append(QThread::currentThread());
    }
};

int probe() {
    SecretServiceCredentialStore store;
    const bool available = SecretServiceCredentialStore::isAvailable();
    store.write(QStringLiteral("com.quillfen.tonewharf.probe"), QStringLiteral("token"), QStringLiteral("t"));
    const std::optional<QString> value =
        store.read(QStringLiteral("com.quillfen.tonewharf.probe"), QStringLiteral("token"));
    std::printf("available=%d read=%s\n", available ? 1 : 0, value ? qPrintable(*value) : "none");
    return 0;
}

} // namespace

#define SKIP_WITHOUT_KEYRING()                                                                               \
    if (const QString problem = keyringProblem(); !problem.isEmpty())                                        \
    QSKIP(qPrintable(problem))

// The Linux credential store against a real Secret Service (gnome-keyring), and its silence
// where there is none.
class TestSecretServiceCredentialStore : public QObject {
    Q_OBJECT

private:
    QString m_service;

    // Why the keyring tests cannot run here, or nothing when they can.
    static QString keyringProblem() {
        if (!qEnvironmentVariableIsSet(keyringMarker)) {
            return QStringLiteral(
                "No throwaway keyring: run through scripts/test.sh, which starts gnome-keyring in a "
                "D-Bus session of its own (the real user's keyring is never used)");
        }
        if (!SecretServiceCredentialStore::isAvailable()) {
            return QStringLiteral(
                "No Secret Service reachable on the session bus, or its default collection is locked");
        }
        if (QStandardPaths::findExecutable(QStringLiteral("secret-tool")).isEmpty()) {
            return QStringLiteral("secret-tool (libsecret-tools) is not installed");
        }
        return {};
    }

private slots:
    void init() { m_service = uniqueService(); }

    void cleanup() {
        if (qEnvironmentVariableIsSet(keyringMarker)) {
            setKeyringLocked(false);
            SecretServiceCredentialStore store;
            for (const char* account : {"token", "userID", "email", "other"}) {
                store.write(m_service, QLatin1String(account), std::nullopt);
            }
        }
    }

    void keepsValues_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("an address with non-ASCII letters is kept")
            << QStringLiteral("zoë.ångström@exämple.com ✓");
        QTest::newRow("an empty value is kept as empty") << QString();
        QTest::newRow("a four-kilobyte token is kept") << QString(4096, u'x');
    }

    void keepsValues() {
        SKIP_WITHOUT_KEYRING();
        QFETCH(QString, value);
        SecretServiceCredentialStore().write(m_service, QStringLiteral("token"), value);
        // A second instance reads what the first wrote: nothing is cached in the object.
        QCOMPARE(SecretServiceCredentialStore().read(m_service, QStringLiteral("token")),
                 std::optional<QString>(value));
        QCOMPARE(lookup(m_service, QStringLiteral("token")), value.toUtf8());
        QCOMPARE(itemCount(m_service, QStringLiteral("token")), 1);
    }

    void replacesAndDeletes() {
        SKIP_WITHOUT_KEYRING();
        SecretServiceCredentialStore store;
        QCOMPARE(store.read(m_service, QStringLiteral("token")), std::nullopt);
        // An older duplicate left by another program goes as well.
        secretTool({QStringLiteral("store"), QStringLiteral("--label=stray"), QStringLiteral("service"),
                    m_service, QStringLiteral("account"), QStringLiteral("token")},
                   "stray");
        QCOMPARE(lookup(m_service, QStringLiteral("token")), QByteArray("stray"));
        store.write(m_service, QStringLiteral("token"), QStringLiteral("first"));
        store.write(m_service, QStringLiteral("token"), QStringLiteral("second"));
        store.write(m_service, QStringLiteral("other"), QStringLiteral("untouched"));
        QCOMPARE(store.read(m_service, QStringLiteral("token")),
                 std::optional<QString>(QStringLiteral("second")));
        QCOMPARE(itemCount(m_service, QStringLiteral("token")), 1);

        store.write(m_service, QStringLiteral("token"), std::nullopt);
        QCOMPARE(store.read(m_service, QStringLiteral("token")), std::nullopt);
        QCOMPARE(itemCount(m_service, QStringLiteral("token")), 0);
        QCOMPARE(store.read(m_service, QStringLiteral("other")),
                 std::optional<QString>(QStringLiteral("untouched")));
        QCOMPARE(store.read(m_service + u'x', QStringLiteral("other")), std::nullopt);
    }

    // Each client ends before the next starts, as a program does before its restart.
    void sessionSurvivesRestartsAndSignOutHoldsEvenWhileLocked() {
        SKIP_WITHOUT_KEYRING();
        CloudTestService service;
        QVERIFY(service.start());
        const QString userID =
            service.createUser(QStringLiteral("Grace@Example.com"), QStringLiteral("hopper"));
        CredentialService::setName(m_service);
        QTemporaryDir dir;
        const auto restart = [&] {
            return std::make_unique<CloudStore>(
                service.baseUrl(),
                std::make_shared<SecretServiceCredentialStore>(dir.filePath(QStringLiteral("forgotten"))));
        };
        const auto signIn = [&] {
            return QCoro::waitFor(
                restart()->signIn(QStringLiteral("grace@example.com"), QStringLiteral("hopper")));
        };
        const auto itemsLeft = [this] {
            return itemCount(m_service, QStringLiteral("token")) +
                   itemCount(m_service, QStringLiteral("userID")) +
                   itemCount(m_service, QStringLiteral("email"));
        };

        QVERIFY(signIn());
        auto cloud = restart();
        QCOMPARE(cloud->userID(), std::optional<QString>(userID));
        QCOMPARE(cloud->email(), QStringLiteral("Grace@Example.com"));
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::refreshed);
        const std::optional<QString> refreshed = cloud->token();
        cloud.reset();
        cloud = restart();
        QCOMPARE(cloud->token(), refreshed);

        // The keyring refuses the deletes of a sign-out made while it is locked; the sign-out holds.
        QVERIFY(setKeyringLocked(true));
        cloud->signOut();
        cloud.reset();
        QVERIFY(setKeyringLocked(false));
        QCOMPARE(itemsLeft(), 3);
        QCOMPARE(restart()->token(), std::nullopt);
        QCOMPARE(itemsLeft(), 0); // that restart finished the deletes

        QVERIFY(signIn());
        cloud = restart();
        QVERIFY(cloud->token().has_value());
        cloud->signOut();
        cloud.reset();
        QCOMPARE(itemsLeft(), 0);
        QCOMPARE(restart()->email(), QString());
        CredentialService::setName(QString::fromLatin1(CredentialService::defaultName));
    }

    void sessionWritesLeaveTheInterfaceThreadInOrder() {
        CloudTestService service;
        QVERIFY(service.start());
        service.createUser(QStringLiteral("ada@example.com"), QStringLiteral("lovelace"));
        const auto store = std::make_shared<GatedStore>();
        {
            CloudStore cloud(service.baseUrl(), store);
            QVERIFY(
                QCoro::waitFor(cloud.signIn(QStringLiteral("ada@example.com"), QStringLiteral("lovelace"))));
            cloud.signOut();
            QCOMPARE(store->writes, QStringList());
            store->gate.release(6);
        }
        // All made before the client was gone, in the order asked, none on this thread.
        QCOMPARE(store->writes, QStringList({"token kept", "userID kept", "email kept", "token deleted",
                                             "userID deleted", "email deleted"}));
        QVERIFY(!store->threads.contains(QThread::currentThread()));
    }

    void staysSilentWithoutASecretService_data() {
        QTest::addColumn<QString>("situation");
        QTest::newRow("no session bus and no display") << "no bus";
        QTest::newRow("a session bus address that leads nowhere") << "dead bus";
        QTest::newRow("a session bus on which no Secret Service is offered") << "bare bus";
    }

    void staysSilentWithoutASecretService() {
        QFETCH(QString, situation);
        QTemporaryDir folder;
        QVERIFY(folder.isValid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
            environment.remove(QLatin1String(name));
        }
        environment.insert(QLatin1String(probeMarker), QStringLiteral("1"));
        const QString socket = folder.filePath(QStringLiteral("bus"));
        if (situation != u"no bus") {
            environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                               QStringLiteral("unix:path=") + socket);
        }

        QProcess bus;
        if (situation == u"bare bus") {
            if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) {
                QSKIP("dbus-daemon is not installed");
            }
            // A session bus without service files: nothing can be activated on it.
            QFile config(folder.filePath(QStringLiteral("bus.conf")));
            QVERIFY(config.open(QIODevice::WriteOnly));
            config.write(
                "<busconfig><type>session</type><listen>unix:path=" + socket.toUtf8() +
                "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
            config.close();
            bus.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--nofork"), QStringLiteral("--config-file=") + config.fileName()});
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(socket), 5000);
        }

        QProcess probe;
        probe.setProcessEnvironment(environment);
        QElapsedTimer clock;
        clock.start();
        probe.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(probe.waitForFinished(30000));
        const qint64 elapsed = clock.elapsed();
        if (bus.state() != QProcess::NotRunning) {
            bus.terminate();
            bus.waitForFinished(5000);
        }
        QCOMPARE(probe.exitCode(), 0);
        QCOMPARE(probe.readAllStandardOutput(), QByteArray("available=0 read=none\n"));
        QCOMPARE(probe.readAllStandardError(), QByteArray());
        QVERIFY2(elapsed < 5000, qPrintable(QString::number(elapsed)));
    }
};

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet(probeMarker)) {
        return probe();
    }
    QCoreApplication application(argc, argv);
    TestSecretServiceCredentialStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "TestSecretServiceCredentialStore.moc"
