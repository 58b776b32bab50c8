#include "cloud/CloudStore.h"
#include "platform/linux/SecretServiceCredentialStore.h"
#include "support/CloudTestService.h"

#include <QCoroTask>
#include <QProcess>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QUuid>

using namespace Qt::StringLiterals;

// secret-tool, libsecret's own command-line client, is the independent judge of what is stored, and
// tokenCount counts the items it finds, each starting with a "[path]" line.
static QByteArray secretTool(const QString& service, const QString& verb, const QByteArray& input = {}) {
    QProcess tool;
    tool.start(u"secret-tool"_s, {verb, verb == u"store" ? u"--label=stray"_s : u"--all"_s, u"service"_s,
                                  service, u"account"_s, u"token"_s});
    tool.write(input);
    tool.closeWriteChannel();
    return tool.waitForFinished(10000) ? tool.readAllStandardOutput() : "failed";
}

static qsizetype tokenCount(const QString& service) {
    return ("\n" + secretTool(service, u"search"_s)).count("\n[");
}

// A store whose writes wait for the test to let them through, and note where they were made.
struct GatedStore final : CredentialStore {
    QSemaphore gate;
    QStringList writes; // read by the test only once the writer thread is done

    std::optional<QString> read(const QString&, const QString&) override { return std::nullopt; }
    void write(const QString&, const QString& account, const std::optional<QString>& value) override {
        gate.tryAcquire(1, 10000); // made on the interface thread, it would hold sign-in up here
        writes.append(account + (QThread::currentThread() == QCoreApplication::instance()->thread()
                                     ? u" on the interface thread"_s
                                 : value ? u" kept"_s
                                         : u" deleted"_s));
    }
};

// The real user's keyring is never used: scripts/test.sh runs a throwaway one and says so.
#define SKIP_WITHOUT_KEYRING()                                                                               \
    if (!qEnvironmentVariableIsSet("TONEWHARF_TEST_KEYRING") ||                                              \
        !SecretServiceCredentialStore::isAvailable())                                                        \
    QSKIP("needs the throwaway gnome-keyring of scripts/test.sh")

class TestSecretServiceCredentialStore : public QObject {
    Q_OBJECT

    QString m_service;

private slots:
    void init() {
        m_service = qEnvironmentVariable("TONEWHARF_SECRET_SERVICE",
                                         "com.quillfen.tonewharf.test-" + QUuid::createUuid().toString());
    }

    void valuesAreReplacedWholeAndDeleted_data() {
        QTest::addColumn<QString>("value");
        QTest::newRow("an address with non-ASCII letters") << u"zoë.ångström@exämple.com ✓"_s;
        QTest::newRow("an empty value") << QString();
    }

    void valuesAreReplacedWholeAndDeleted() {
        SKIP_WITHOUT_KEYRING();
        QFETCH(QString, value);
        secretTool(m_service, u"store"_s, "stray"); // an older duplicate left by another program goes too
        SecretServiceCredentialStore().write(m_service, u"token"_s, value);
        SecretServiceCredentialStore().write(m_service, u"other"_s, u"untouched"_s);
        QCOMPARE(SecretServiceCredentialStore().read(m_service, u"token"_s), std::optional(value));
        QCOMPARE(tokenCount(m_service), 1);
        SecretServiceCredentialStore().write(m_service, u"token"_s, std::nullopt);
        QCOMPARE(SecretServiceCredentialStore().read(m_service, u"token"_s), std::nullopt);
        QCOMPARE(tokenCount(m_service), 0);
        QCOMPARE(SecretServiceCredentialStore().read(m_service, u"other"_s), std::optional(u"untouched"_s));
    }

    // A delete the keyring cannot take, here in a child process without a session bus, is remembered:
    // the item reads as absent from then on and goes once the keyring can be reached.
    void deleteWithoutAKeyringHolds() {
        const QString forgotten = qEnvironmentVariable("TONEWHARF_FORGOTTEN");
        if (!forgotten.isEmpty()) {
            for (const QString& account : {u"token"_s, u"other"_s}) {
                SecretServiceCredentialStore(forgotten).write(m_service, account, std::nullopt);
            }
            QVERIFY(!SecretServiceCredentialStore::isAvailable());
            return;
        }
        SKIP_WITHOUT_KEYRING();
        QTemporaryDir dir;
        SecretServiceCredentialStore store(dir.filePath(u"forgotten"_s));
        store.write(m_service, u"token"_s, u"t"_s);
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent/bus"_s);
        environment.insert(u"TONEWHARF_FORGOTTEN"_s, dir.filePath(u"forgotten"_s));
        environment.insert(u"TONEWHARF_SECRET_SERVICE"_s, m_service);
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(), {u"deleteWithoutAKeyringHolds"_s});
        QVERIFY(child.waitForFinished(10000));
        QVERIFY2(child.readAllStandardOutput().contains("Totals: 3 passed"), "the child failed");
        QCOMPARE(child.readAllStandardError(), QByteArray()); // silent, too
        QCOMPARE(tokenCount(m_service), 1);
        QCOMPARE(store.read(m_service, u"token"_s), std::nullopt);
        QCOMPARE(tokenCount(m_service), 0);
        store.write(m_service, u"other"_s, u"u"_s); // a later value is kept, as it was never read
        QCOMPARE(store.read(m_service, u"other"_s), std::optional(u"u"_s));
    }

    // All made before the client is gone, in the order asked, none on the interface thread.
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
        QCOMPARE(store->writes, QStringList({"token kept", "userID kept", "email kept", "token deleted",
                                             "userID deleted", "email deleted"}));
    }
};

QTEST_GUILESS_MAIN(TestSecretServiceCredentialStore)
#include "TestSecretServiceCredentialStore.moc"
