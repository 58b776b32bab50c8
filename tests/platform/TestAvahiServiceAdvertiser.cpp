#include "platform/linux/AvahiServiceAdvertiser.h"
#include "support/AvahiBrowse.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

using namespace AvahiBrowse;
using State = AvahiServiceAdvertiser::State;
using Options = AvahiServiceAdvertiser::Options;
const char* const childVariable = "TONEWHARF_AVAHI_TEST_CHILD";

static ServiceAdvertiser::Service service(const QString& name, quint16 port,
                                          const QString& type = serviceType) {
    return {name, type, port, {{"v", "1"}}};
}

class TestAvahiServiceAdvertiser : public QObject {
    Q_OBJECT

private slots:
    void init() {
        static const QString problem =
            qEnvironmentVariableIsEmpty(childVariable) ? loopbackDaemonProblem() : "";
        if (!problem.isEmpty()) {
            QSKIP(qPrintable(problem));
        }
    }

    void takenNameIsRenamedAndKept() {
        const QString name = uniqueName(QStringLiteral("Shared Name"));
        QProcess publisher;
        publisher.start(QStringLiteral("avahi-publish"), {"-s", name, serviceType, "9", "v=1"});
        QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(name, 9), 30'000);

        AvahiServiceAdvertiser advertiser(Options{QStringLiteral("lo")});
        std::unique_ptr<QThread> caller( // a request made on another thread is carried out
            QThread::create([&] { advertiser.advertise(service(name, 7420)); }));
        caller->start();
        QVERIFY(caller->wait(5'000));
        const QString alternative = name + QStringLiteral(" #2");
        QTRY_COMPARE_WITH_TIMEOUT(advertiser.registeredName(), alternative, 30'000);
        QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(alternative, 7420), 30'000);

        // A new port keeps the alternative name instead of fighting for the taken one again.
        advertiser.advertise(service(name, 7421));
        QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(alternative, 7421), 30'000);
        QTRY_COMPARE(advertiser.registeredName(), alternative);

        // Withdrawing takes ours off the network and leaves theirs alone.
        advertiser.withdraw();
        QTRY_COMPARE(advertiser.state(), State::Idle);
        QTRY_VERIFY_WITH_TIMEOUT(browseNamed(alternative).isEmpty(), 30'000);
        QVERIFY(browsedOnce(name, 9));
        publisher.terminate();
        QVERIFY(publisher.waitForFinished(5'000));
    }

    void refusedServiceFailsAndRecovers() {
        auto advertiser = std::make_unique<AvahiServiceAdvertiser>(Options{QStringLiteral("lo")});
        advertiser->advertise(
            service(uniqueName(QStringLiteral("Refused")), 7420, QStringLiteral("tonewharf.tcp")));
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->state(), State::Failed, 30'000);

        // The same advertiser carries on. Quotes, semicolons and accents survive; a name longer than a
        // DNS label is cut at a character boundary: "é" would take bytes 63 and 64.
        QString name = uniqueName(QStringLiteral("Zoë's Mac; Suite 2.1 \\ \"B\""));
        name += QString(62 - name.toUtf8().size(), QLatin1Char('n'));
        advertiser->advertise(service(name + QStringLiteral("éxyz"), 7420));
        QTRY_COMPARE_WITH_TIMEOUT(advertiser->registeredName(), name, 30'000);
        QTRY_VERIFY_WITH_TIMEOUT(browsedOnce(name, 7420), 30'000);
        advertiser.reset(); // which takes the instance off the network
        QTRY_VERIFY_WITH_TIMEOUT(browseNamed(name).isEmpty(), 30'000);
    }

    // Runs again in a child process without a system bus: the bus address is read once per process.
    void withoutDaemonNothingIsAdvertised() {
        if (!qEnvironmentVariableIsEmpty(childVariable)) {
            AvahiServiceAdvertiser advertiser(Options{QStringLiteral("lo"), std::chrono::milliseconds(50)});
            QSignalSpy stateChanges(&advertiser, &AvahiServiceAdvertiser::stateChanged);
            advertiser.advertise(service(QStringLiteral("Nobody Listens"), 7420));
            QTRY_COMPARE(advertiser.state(), State::Unavailable);
            QTest::qWait(300); // several retries pass without a change, a crash or a word
            QCOMPARE(stateChanges.count(), 1);
            return;
        }
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QLatin1String(childVariable), QStringLiteral("1"));
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                           QStringLiteral("unix:path=/nonexistent/bus"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("withoutDaemonNothingIsAdvertised")});
        QVERIFY(child.waitForFinished(30'000));
        const QByteArray output = child.readAllStandardOutput();
        QVERIFY2(output.contains("Totals: 3 passed"), output.constData());
        QCOMPARE(child.readAllStandardError(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestAvahiServiceAdvertiser)
#include "TestAvahiServiceAdvertiser.moc"
