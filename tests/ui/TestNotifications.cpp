#include "engine/SyncEngine.h"
#include "platform/linux/FreedesktopNotifications.h"
#include "support/EngineFixture.h"
#include "support/PrivateSessionBus.h"
#include "ui/Notifier.h"

#include <QFile>
#include <QTest>

#include <QCoro/QCoroTask>

using namespace std::chrono_literals;

// The desktop's notification service as far as Tonewharf uses it, on a bus for as long as it lives;
// it keeps what it was sent.
class Served : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QDBusConnection bus;
    QStringList capabilities{"body"};
    QList<QStringList> sent; // name, icon, desktop entry, summary, body

    explicit Served(QDBusConnection connection)
        : bus(std::move(connection)) {
        bus.registerObject("/org/freedesktop/Notifications", this, QDBusConnection::ExportAllSlots);
        bus.registerService("org.freedesktop.Notifications");
    }
    ~Served() override { QDBusConnection::disconnectFromBus(bus.name()); }

public slots:
    QStringList GetCapabilities() { return capabilities; }
    uint Notify(const QString& name, uint, const QString& icon, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap& hints, int) {
        sent << QStringList{name, icon, hints.value("desktop-entry").toString(), summary, body};
        return uint(sent.size());
    }
};

class TestNotifications : public QObject {
    Q_OBJECT

    PrivateSessionBus m_bus; // so that no desktop's notifications are touched
    int m_connections = 0;

    QDBusConnection bus() {
        return QDBusConnection::connectToBus(m_bus.address(), QString::number(++m_connections));
    }
    static void deliver(SyncEngine& engine, const QStringList& names) {
        for (const QString& name : names) {
            QVERIFY(QCoro::waitFor(engine.receiveLUT({name, "LUT_3D_SIZE 2\n", {}, {}})));
        }
    }

private slots:
    void deliveriesCloseTogetherAreOneNotification_data() {
        QTest::addColumn<QStringList>("looks");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("body");
        QTest::newRow("one look, named")
            << QStringList{"Day & Night.cube"} << "Day & Night arrived in Resolve"
            << "";
        QTest::newRow("three looks, counted and named")
            << QStringList{"Warm", "Day & Night", "Teal"} << "3 looks arrived in Resolve"
            << "Warm, Day & Night, Teal";
    }

    void deliveriesCloseTogetherAreOneNotification() {
        QFETCH(QStringList, looks);
        QFETCH(QString, summary);
        QFETCH(QString, body);
        Served service(bus());
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        Notifier notifier(engine, std::make_shared<FreedesktopNotifications>(bus()), 200ms);
        deliver(engine, looks);
        QTRY_COMPARE(service.sent.size(), 1);
        QTest::qWait(400); // and nothing after it
        const QStringList sent{"Tonewharf", "com.quillfen.Tonewharf", "com.quillfen.Tonewharf", summary,
                               body};
        QCOMPARE(service.sent, QList<QStringList>{sent});
    }

    // A folder problem is told once, however it is worded while it lasts; with the setting off nothing is
    // told, and the choice is kept.
    void failuresOnceAndNothingWhenTurnedOff() {
        Served service(bus());
        EngineFixture fixture;
        SyncEngine engine(fixture.services());
        auto notifications = std::make_shared<FreedesktopNotifications>(bus());
        Notifier notifier(engine, notifications, 50ms);
        QFile file(fixture.path("file"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QString blocked = file.fileName() + "/LUTs";
        engine.setLutFolderPath(blocked);
        QTRY_COMPARE(service.sent.size(), 1);
        QCOMPARE(service.sent[0].mid(3),
                 (QStringList{"Looks cannot be written to the LUT folder", "Can't create " + blocked}));
        QCoro::waitFor(engine.receiveLUT({"Warm", "LUT_3D_SIZE 2\n", {}, {}})); // the problem in other words

        notifier.setEnabled(false);
        engine.setLutFolderPath(fixture.path("LUTs"));
        deliver(engine, {"Warm"});
        engine.setLutFolderPath(blocked);
        QTest::qWait(300);
        QCOMPARE(service.sent.size(), 1);
        QVERIFY(!Notifier(engine, notifications).enabled());
    }

    // Without a notification service nothing breaks, and one that starts later is used as it is.
    void aServiceThatStartsLater() {
        FreedesktopNotifications notifications(bus());
        notifications.show("Warm arrived in Resolve", {});
        QTest::qWait(300);
        Served service(bus());
        service.capabilities = QStringList{"body", "body-markup"};
        notifications.show("2 looks arrived in Resolve", "Day & Night, Teal");
        QTRY_COMPARE(service.sent.size(), 1);
        QCOMPARE(service.sent[0].mid(3),
                 (QStringList{"2 looks arrived in Resolve", "Day &amp; Night, Teal"}));
    }
};

QTEST_GUILESS_MAIN(TestNotifications)
#include "TestNotifications.moc"
