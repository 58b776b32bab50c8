#include "engine/SyncEngine.h"
#include "platform/linux/AvahiServiceAdvertiser.h"
#include "support/AvahiBrowse.h"
#include "support/EngineFixture.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTest>

namespace {

// One request by curl on loopback: the whole answer with its head, or nothing when nobody listens.
// The event loop keeps running meanwhile, because the server asks the engine on this thread.
QByteArray fetch(quint16 port, const QString& path) {
    QProcess curl;
    curl.start("curl",
               {"-s", "-i", "--max-time", "5", QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path)});
    if (!QTest::qWaitFor([&] { return curl.state() == QProcess::NotRunning; }, 10000)) {
        curl.kill();
        return {};
    }
    return curl.readAllStandardOutput();
}

} // namespace

class TestEngineLocalServer : public QObject {
    Q_OBJECT

private slots:
    void serverFollowsTheSetting();
    void storedOffKeepsTheServerStopped();
    void iPadsFindTheServerWhileItListens();
};

void TestEngineLocalServer::serverFollowsTheSetting() {
    EngineFixture fixture;
    SyncEngine engine(fixture.services());
    QSignalSpy portSpy(&engine, &SyncEngine::localPortChanged);
    engine.start();
    QTRY_VERIFY_WITH_TIMEOUT(engine.localPort().has_value(), 5000);
    const quint16 port = *engine.localPort();

    const QByteArray first = fetch(port, "/v1/hello");
    QVERIFY2(first.startsWith("HTTP/1.1 200 OK\r\n"), first.constData());
    const QByteArray answer = fetch(port, "/v1/nowhere");
    QVERIFY2(answer.startsWith("HTTP/1.1 404 Not Found\r\n"), answer.constData());

    engine.setLocalEnabled(false);
    QTRY_COMPARE_WITH_TIMEOUT(engine.localPort(), std::nullopt, 5000);
    QCOMPARE(fetch(port, "/v1/hello"), QByteArray());

    // Switching it on again while it is on changes nothing; from off it listens anew.
    engine.setLocalEnabled(true);
    QTRY_VERIFY_WITH_TIMEOUT(engine.localPort().has_value(), 5000);
    const int reports = portSpy.count();
    engine.setLocalEnabled(true);
    QTest::qWait(200);
    QCOMPARE(portSpy.count(), reports);
    const QByteArray hello = fetch(*engine.localPort(), "/v1/hello");
    QVERIFY2(hello.startsWith("HTTP/1.1 200 OK\r\n"), hello.constData());
}

void TestEngineLocalServer::storedOffKeepsTheServerStopped() {
    EngineFixture fixture;
    fixture.settings()->setValue("tonewharf.local", false);
    SyncEngine engine(fixture.services());
    engine.start();
    QTest::qWait(300);
    QCOMPARE(engine.localPort(), std::nullopt);
}

void TestEngineLocalServer::iPadsFindTheServerWhileItListens() {
    const QString problem = AvahiBrowse::loopbackDaemonProblem();
    if (!problem.isEmpty()) {
        QSKIP(qPrintable(problem));
    }
    AvahiServiceAdvertiser::Options loopbackOnly;
    loopbackOnly.interfaceName = QStringLiteral("lo");
    EngineFixture fixture;
    EngineServices services = fixture.services();
    services.advertiser = std::make_shared<AvahiServiceAdvertiser>(loopbackOnly);
    services.computerName = AvahiBrowse::uniqueName(QStringLiteral("Grading Suite"));

    SyncEngine engine(services);
    engine.start();
    QTRY_VERIFY_WITH_TIMEOUT(engine.localPort().has_value(), 5000);
    QTRY_VERIFY_WITH_TIMEOUT(AvahiBrowse::browsedOnce(services.computerName, *engine.localPort()), 20000);

    engine.setLocalEnabled(false);
    QTRY_VERIFY_WITH_TIMEOUT(AvahiBrowse::browseNamed(services.computerName).isEmpty(), 20000);
}

QTEST_GUILESS_MAIN(TestEngineLocalServer)
#include "TestEngineLocalServer.moc"
