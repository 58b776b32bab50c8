#include "platform/linux/AvahiServiceAdvertiser.h"
#include "support/AvahiBrowse.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

using namespace AvahiBrowse;

using State = AvahiServiceAdvertiser::State;
constexpr int registrationTimeoutMs = 15'000;
const QString childVariable = QStringLiteral("TONEWHARF_AVAHI_TEST_CHILD");

AvahiServiceAdvertiser::Options onInterface(const QString& interfaceName = QStringLiteral("lo")) {
    AvahiServiceAdvertiser::Options options;
    options.interfaceName = interfaceName;
    return options;
}

ServiceAdvertiser::Service service(const QString& name, quint16 port, const QString& type = serviceType) {
    return {name, type, port, {{"v", "1"}}};
}

} // namespace

class TestAvahiServiceAdvertiser : public QObject {
    Q_OBJECT

private slots:
    void advertisesReplacesAndWithdraws();
    void takenNameIsRenamed();
    void refusedServiceFailsAndRecovers_data();
    void refusedServiceFailsAndRecovers();
    void withoutDaemonNothingIsAdvertised_data();
    void withoutDaemonNothingIsAdvertised();
    void withoutDaemonChild();

private:
    void requireLoopbackDaemon();
};

void TestAvahiServiceAdvertiser::requireLoopbackDaemon() {
    static const QString problem = loopbackDaemonProblem();
    if (!problem.isEmpty()) {
        QSKIP(qPrintable(problem));
    }
}

void TestAvahiServiceAdvertiser::advertisesReplacesAndWithdraws() {
    requireLoopbackDaemon();
    // Dots, quotes, semicolons and accents survive unchanged; a name longer than a DNS label is cut
    // at a character boundary: "é" would take bytes 63 and 64.
    QString name = uniqueName(QStringLiteral("Zoë's Mac; Suite 2.1 \\ \"B\""));
    name += QString(62 - name.toUtf8().size(), QLatin1Char('n'));
    const ServiceAdvertiser::Service first = service(name + QStringLiteral("éxyz"), 7420);
    AvahiServiceAdvertiser advertiser(onInterface());
    QSignalSpy nameChanges(&advertiser, &AvahiServiceAdvertiser::registeredNameChanged);
    // A request made on another thread is carried out.
    std::unique_ptr<QThread> caller(QThread::create([&] { advertiser.advertise(first); }));
    caller->start();
    QVERIFY(caller->wait(5'000));
    QTRY_COMPARE_WITH_TIMEOUT(advertiser.state(), State::Advertised, registrationTimeoutMs);
    QCOMPARE(advertiser.registeredName(), name);
    QCOMPARE(nameChanges.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(name, 7420), registrationTimeoutMs);

    // The same service again changes nothing; a new one replaces the old instance rather than adding one.
    QSignalSpy stateChanges(&advertiser, &AvahiServiceAdvertiser::stateChanged);
    advertiser.advertise(first);
    QTest::qWait(100);
    QCOMPARE(stateChanges.count(), 0);
    const QString renamed = uniqueName(QStringLiteral("Renamed Suite"));
    advertiser.advertise(service(renamed, 50123));
    QTRY_COMPARE_WITH_TIMEOUT(advertiser.registeredName(), renamed, registrationTimeoutMs);
    QCOMPARE(stateChanges.count(), 2);
    QCOMPARE(stateChanges[0][0].value<State>(), State::Registering);
    QCOMPARE(stateChanges[1][0].value<State>(), State::Advertised);
    QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(renamed, 50123), registrationTimeoutMs);
    QTRY_VERIFY(browseNamed(name).isEmpty());

    // Withdrawn is not finished: advertising again brings it back.
    advertiser.withdraw();
    QTRY_COMPARE(advertiser.state(), State::Idle);
    QCOMPARE(advertiser.registeredName(), QString());
    QTRY_VERIFY_WITH_TIMEOUT(browseNamed(renamed).isEmpty(), registrationTimeoutMs);
    advertiser.advertise(service(renamed, 7422));
    QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(renamed, 7422), registrationTimeoutMs);
}

void TestAvahiServiceAdvertiser::takenNameIsRenamed() {
    requireLoopbackDaemon();
    const QString name = uniqueName(QStringLiteral("Shared Name"));
    QProcess publisher;
    publisher.start(QStringLiteral("avahi-publish"),
                    {QStringLiteral("-s"), name, serviceType, QStringLiteral("9"), QStringLiteral("v=0")});
    QTRY_COMPARE_WITH_TIMEOUT(browseNamed(name).size(), 1, registrationTimeoutMs);

    auto advertiser = std::make_unique<AvahiServiceAdvertiser>(onInterface());
    advertiser->advertise(service(name, 7420));
    const QString alternative = name + QStringLiteral(" #2");
    QTRY_COMPARE_WITH_TIMEOUT(advertiser->registeredName(), alternative, registrationTimeoutMs);
    QCOMPARE(advertiser->state(), State::Advertised);
    QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(alternative, 7420), registrationTimeoutMs);
    const QList<Browsed> theirs = browseNamed(name);
    QCOMPARE(theirs.size(), 1);
    QCOMPARE(theirs[0].port, quint16(9));

    // A new port keeps the alternative name instead of fighting for the taken one again.
    advertiser->advertise(service(name, 7421));
    QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(alternative, 7421), registrationTimeoutMs);
    QCOMPARE(advertiser->registeredName(), alternative);

    // Destroying the advertiser removes its instance at once and leaves the other one alone.
    QElapsedTimer clock;
    clock.start();
    advertiser.reset();
    QVERIFY2(clock.elapsed() < 5'000, "destruction waited on the daemon");
    QTRY_VERIFY_WITH_TIMEOUT(browseNamed(alternative).isEmpty(), registrationTimeoutMs);
    QCOMPARE(browseNamed(name).size(), 1);
    publisher.terminate();
    QVERIFY(publisher.waitForFinished(5'000));
}

void TestAvahiServiceAdvertiser::refusedServiceFailsAndRecovers_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("interfaceName");

    QTest::newRow("a service type without underscores is refused")
        << uniqueName(QStringLiteral("Bad Type")) << QStringLiteral("tonewharf.tcp") << QStringLiteral("lo");
    QTest::newRow("an empty instance name is refused") << QString() << serviceType << QStringLiteral("lo");
    QTest::newRow("an unknown network interface is refused")
        << uniqueName(QStringLiteral("No Interface")) << serviceType << QStringLiteral("tonewharf-none0");
}

void TestAvahiServiceAdvertiser::refusedServiceFailsAndRecovers() {
    QFETCH(QString, name);
    QFETCH(QString, type);
    QFETCH(QString, interfaceName);
    requireLoopbackDaemon();

    AvahiServiceAdvertiser advertiser(onInterface(interfaceName));
    advertiser.advertise(service(name, 7420, type));
    QTRY_COMPARE_WITH_TIMEOUT(advertiser.state(), State::Failed, registrationTimeoutMs);
    QCOMPARE(advertiser.registeredName(), QString());

    if (interfaceName == u"lo") {
        // The same advertiser carries on with a service the daemon accepts.
        const QString good = uniqueName(QStringLiteral("After Refusal"));
        advertiser.advertise(service(good, 7420));
        QTRY_COMPARE_WITH_TIMEOUT(advertiser.registeredName(), good, registrationTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(good, 7420), registrationTimeoutMs);
    }
}

// Each case runs withoutDaemonChild alone in a child process of this test: the system bus address is
// read once per process.
void TestAvahiServiceAdvertiser::withoutDaemonNothingIsAdvertised_data() {
    QTest::addColumn<bool>("busRuns");
    QTest::newRow("no system bus at all") << false;
    QTest::newRow("a system bus with no avahi-daemon on it") << true;
}

void TestAvahiServiceAdvertiser::withoutDaemonNothingIsAdvertised() {
    QFETCH(bool, busRuns);
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString address =
        QStringLiteral("unix:path=") + folder.filePath(QStringLiteral("system_bus_socket"));

    QProcess bus;
    if (busRuns) {
        // A private bus with the session policy (anyone may own any name) stands in for the system bus.
        bus.start(QStringLiteral("dbus-daemon"),
                  {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                   QStringLiteral("--print-address"), QStringLiteral("--address=") + address});
        if (!bus.waitForStarted(5'000)) {
            QSKIP("dbus-daemon cannot be started");
        }
        QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 5'000);
    }

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(childVariable, QStringLiteral("1"));
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), address);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("withoutDaemonChild")});
    QVERIFY(child.waitForFinished(30'000));
    const QByteArray output = child.readAllStandardOutput();
    const QByteArray errors = child.readAllStandardError();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
    QVERIFY2(output.contains("PASS   : TestAvahiServiceAdvertiser::withoutDaemonChild()"),
             output.constData());
    QVERIFY2(errors.isEmpty(), errors.constData());
    bus.terminate();
    bus.waitForFinished(5'000);
}

void TestAvahiServiceAdvertiser::withoutDaemonChild() {
    if (!qEnvironmentVariableIsSet(childVariable.toLatin1().constData())) {
        QSKIP("the child half of withoutDaemonNothingIsAdvertised");
    }
    QElapsedTimer clock;
    clock.start();
    auto options = onInterface();
    options.busRetryInterval = std::chrono::milliseconds(50);
    auto advertiser = std::make_unique<AvahiServiceAdvertiser>(options);
    QSignalSpy stateChanges(advertiser.get(), &AvahiServiceAdvertiser::stateChanged);

    advertiser->advertise(service(QStringLiteral("Nobody Listens"), 7420));
    QTRY_COMPARE(advertiser->state(), State::Unavailable);
    // Several bus retries (or the wait for a daemon) pass without a change, a crash or a word on stderr.
    QTest::qWait(300);
    QCOMPARE(advertiser->state(), State::Unavailable);
    QCOMPARE(advertiser->registeredName(), QString());
    QCOMPARE(stateChanges.count(), 1);

    advertiser->withdraw();
    QTRY_COMPARE(advertiser->state(), State::Idle);
    advertiser->advertise(service(QStringLiteral("Nobody Listens"), 7421));
    QTRY_COMPARE(advertiser->state(), State::Unavailable);
    advertiser.reset();
    QVERIFY2(clock.elapsed() < 5'000, "an absent daemon held the advertiser up");
}

QTEST_GUILESS_MAIN(TestAvahiServiceAdvertiser)
#include "TestAvahiServiceAdvertiser.moc"
