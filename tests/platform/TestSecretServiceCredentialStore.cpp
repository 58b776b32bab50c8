#include "cloud/CloudStore.h"
#include "cloud/CredentialService.h"
#include "platform/linux/SecretServiceCredentialStore.h"
#include "support/CloudTestService.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QProcess>
#include <QSemaphore>
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

using namespace Qt::StringLiterals;

namespace {

// Set by scripts/test-session.sh, which runs these tests against a throwaway gnome-keyring in a
// D-Bus session of its own; without it the tests would reach the real user's keyring.
constexpr auto keyringMarker = "TONEWHARF_TEST_KEYRING";
// Makes the executable run one store round trip and print what it saw instead of the tests.
constexpr auto probeMarker = "TONEWHARF_SECRET_PROBE";

// secret-tool, libsecret's own command-line client, is the independent judge of what is stored.
QByteArray secretTool(const QStringList& arguments, const QByteArray& input = {}) {
    QProcess tool;
    tool.start(u"secret-tool"_s, arguments);
    tool.write(input);
    tool.closeWriteChannel();
    return tool.waitForFinished(10000) && tool.exitCode() == 0 ? tool.readAllStandardOutput() : QByteArray();
}

// How many items secret-tool finds for (service, account); each starts with a "[path]" line.
int itemCount(const QString& service, const QString& account) {
    return int(("\n" + secretTool({u"search"_s, u"--all"_s, u"service"_s, service, u"account"_s, account}))
                   .count("\n["));
}

// Locks the throwaway login keyring, or unlocks it with the password scripts/test-session.sh
// created it with, sent over a "plain" session of this same connection.
bool setKeyringLocked(bool locked) {
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    const char* login = "/org/freedesktop/secrets/collection/login";
    const auto call = [&](const char* interface, const char* method, GVariant* arguments) {
        return g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
                                           interface, method, arguments, nullptr, G_DBUS_CALL_FLAGS_NONE, -1,
                                           nullptr, nullptr);
    };
    if (locked) {
        const char* objects[] = {login, nullptr};
        g_autoptr(GVariant) done =
            call("org.freedesktop.Secret.Service", "Lock", g_variant_new("(^ao)", objects));
        return done != nullptr;
    }
    g_autoptr(GVariant) opened = call("org.freedesktop.Secret.Service", "OpenSession",
                                      g_variant_new("(sv)", "plain", g_variant_new_string("")));
    const char* password = "tonewharf-throwaway";
    g_autoptr(GVariant) unlocked =
        opened ? call("org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
                      g_variant_new(
                          "(o(@o@ay@ays))", login, g_variant_get_child_value(opened, 1),
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
        writes.append(account + (value ? u" kept"_s : u" deleted"_s));
        threads.append(QThread::currentThread());
    }
};

int probe() {
    SecretServiceCredentialStore store;
    store.write(u"com.quillfen.tonewharf.probe"_s, u"token"_s, u"t"_s);
    const std::optional<QString> value = store.read(u"com.quillfen.tonewharf.probe"_s, u"token"_s);
    std::printf("available=%d read=%s\n", int(SecretServiceCredentialStore::isAvailable()),
                value ? qPrintable(*value) : "none");
    return 0;
}

} // namespace

#define SKIP_WITHOUT_KEYRING()                                                                               \
    if (!qEnvironmentVariableIsSet(keyringMarker) || !SecretServiceCredentialStore::isAvailable())           \
    QSKIP("needs the throwaway gnome-keyring of scripts/test.sh (the real user's keyring is never used)")

// The Linux credential store against a real Secret Service (gnome-keyring), and its silence
// where there is none.
class TestSecretServiceCredentialStore : public QObject {
    Q_OBJECT

    QString m_service;

private slots:
    void init() {
        m_service = u"com.quillfen.tonewharf.test-"_s + QUuid::createUuid().toString(QUuid::WithoutBraces);
    }

    void cleanup() {
        if (qEnvironmentVariableIsSet(keyringMarker)) {
            setKeyringLocked(false);
            for (const char* account : {"token", "userID", "email", "other"}) {
                SecretServiceCredentialStore().write(m_service, QLatin1String(account), std::nullopt);
            }
        }
    }

    void valuesAreReplacedWholeAndDeleted_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("an address with non-ASCII letters") << u"zoë.ångström@exämple.com ✓"_s;
        QTest::newRow("an empty value") << QString();
    }

    void valuesAreReplacedWholeAndDeleted() {
        SKIP_WITHOUT_KEYRING();
        QFETCH(QString, value);
        // An older duplicate left by another program goes as well.
        secretTool({u"store"_s, u"--label=stray"_s, u"service"_s, m_service, u"account"_s, u"token"_s},
                   "stray");
        SecretServiceCredentialStore().write(m_service, u"token"_s, value);
        SecretServiceCredentialStore().write(m_service, u"other"_s, u"untouched"_s);
        // A second instance reads what the first wrote: nothing is cached in the object.
        QCOMPARE(SecretServiceCredentialStore().read(m_service, u"token"_s), std::optional(value));
        QCOMPARE(secretTool({u"lookup"_s, u"service"_s, m_service, u"account"_s, u"token"_s}),
                 value.toUtf8());
        QCOMPARE(itemCount(m_service, u"token"_s), 1);

        SecretServiceCredentialStore().write(m_service, u"token"_s, std::nullopt);
        QCOMPARE(SecretServiceCredentialStore().read(m_service, u"token"_s), std::nullopt);
        QCOMPARE(itemCount(m_service, u"token"_s), 0);
        QCOMPARE(SecretServiceCredentialStore().read(m_service, u"other"_s), std::optional(u"untouched"_s));
    }

    // Each client ends before the next starts, as a program does before its restart.
    void signOutWhileLockedHoldsAcrossARestart() {
        SKIP_WITHOUT_KEYRING();
        CloudTestService service;
        QVERIFY(service.start());
        const QString userID = service.createUser(u"grace@example.com"_s, u"hopper"_s);
        CredentialService::setName(m_service);
        QTemporaryDir dir;
        const auto restart = [&] {
            return std::make_unique<CloudStore>(
                service.baseUrl(),
                std::make_shared<SecretServiceCredentialStore>(dir.filePath(u"forgotten"_s)));
        };
        const auto itemsLeft = [this] {
            return itemCount(m_service, u"token"_s) + itemCount(m_service, u"userID"_s) +
                   itemCount(m_service, u"email"_s);
        };
        QVERIFY(QCoro::waitFor(restart()->signIn(u"grace@example.com"_s, u"hopper"_s)));
        auto cloud = restart();
        QCOMPARE(cloud->userID(), std::optional<QString>(userID));
        QVERIFY(cloud->token().has_value());

        // The keyring refuses the deletes of a sign-out made while it is locked; the sign-out holds.
        QVERIFY(setKeyringLocked(true));
        cloud->signOut();
        cloud.reset();
        QVERIFY(setKeyringLocked(false));
        QCOMPARE(itemsLeft(), 3);
        QCOMPARE(restart()->token(), std::nullopt);
        QCOMPARE(itemsLeft(), 0); // that restart finished the deletes
        CredentialService::setName(QString::fromLatin1(CredentialService::defaultName));
    }

    void sessionWritesLeaveTheInterfaceThreadInOrder() {
        CloudTestService service;
        QVERIFY(service.start());
        service.createUser(u"ada@example.com"_s, u"lovelace"_s);
        const auto store = std::make_shared<GatedStore>();
        {
            CloudStore cloud(service.baseUrl(), store);
            QVERIFY(QCoro::waitFor(cloud.signIn(u"ada@example.com"_s, u"lovelace"_s)));
            cloud.signOut();
            QCOMPARE(store->writes, QStringList());
            store->gate.release(6);
        }
        // All made before the client was gone, in the order asked, none on this thread.
        QCOMPARE(store->writes, QStringList({"token kept", "userID kept", "email kept", "token deleted",
                                             "userID deleted", "email deleted"}));
        QVERIFY(!store->threads.contains(QThread::currentThread()));
    }

    // Without a session bus the store reads nothing, says nothing and does not wait.
    void staysSilentWithoutASessionBus() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) {
            environment.remove(QLatin1String(name));
        }
        environment.insert(QLatin1String(probeMarker), u"1"_s);
        QProcess probe;
        probe.setProcessEnvironment(environment);
        probe.start(QCoreApplication::applicationFilePath(), {});
        QVERIFY(probe.waitForFinished(5000));
        QCOMPARE(probe.readAllStandardOutput(), QByteArray("available=0 read=none\n"));
        QCOMPARE(probe.readAllStandardError(), QByteArray());
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
