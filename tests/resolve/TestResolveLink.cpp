#include "platform/linux/ProcRunningApplications.h"
#include "resolve/ResolveLink.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QCoro/QCoroTask>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ResolveLink::Health::Kind)

char* toString(const ResolveLink::Health& health) {
    return QTest::toString(
        QStringLiteral("%1 \"%2\"").arg(static_cast<int>(health.kind)).arg(health.label()));
}

namespace {

using Health = ResolveLink::Health;
using LinkError = ResolveLink::LinkError;

const ResolveLinkTiming quick{50ms, 2000ms, 100ms};

QJsonObject object(const char* json) {
    return QJsonDocument::fromJson(json).object();
}

// One test's world: a fake Resolve installation, a scripted bridge beside it and the link.
struct Rig {
    QTemporaryDir dir;
    FakeResolveInstallation fake{dir.filePath(QStringLiteral("resolve"))};
    ScriptedBridge scripted{dir.filePath(QStringLiteral("scripted"))};
    std::shared_ptr<ProcRunningApplications> running = std::make_shared<ProcRunningApplications>();
    std::unique_ptr<ResolveLink> link;

    ResolveProfile profile() const { return fake.profile(dir.filePath(QStringLiteral("home"))); }

    ResolveLink& scriptedLink(ResolveLinkTiming timing = quick) {
        link = std::make_unique<ResolveLink>(profile(), scripted.resources(), running, timing);
        return *link;
    }
    ResolveLink& realLink(ResolveLinkTiming timing = quick) {
        link = std::make_unique<ResolveLink>(profile(), Resources(QStringLiteral(TONEWHARF_RESOURCE_DIR)),
                                             running, timing);
        return *link;
    }
    int requestsFor(const QString& cmd) const {
        int count = 0;
        for (const QJsonObject& request : scripted.requests()) {
            count += request.value(QStringLiteral("cmd")).toString() == cmd ? 1 : 0;
        }
        return count;
    }
};

} // namespace

class TestResolveLink : public QObject {
    Q_OBJECT

private slots:
    void statusReplies_data();
    void statusReplies();
    void idsIncreaseFromOneAcrossRestarts();
    void repliesThatDoNotCount_data();
    void repliesThatDoNotCount();
    void requestsFailWithNotRunning();
    void refreshLUTs_data();
    void refreshLUTs();
    void bridgeExitingAtOnceIsRestartedAgainAndAgain();
    void healthAndProjectNotifyOnlyOnChange();
    void destroyingTheLinkEndsWaitingRequests();
    void startStopsEarly_data();
    void startStopsEarly();
    void realBridge_data();
    void realBridge();
    void realBridgeFollowsResolveComingAndGoing();
    void realBridgeRestartsWhileItsModuleEndsIt();
    void realBridgeSurvivesBadRequests();
    void realBridgeHangingCallTimesOut();
    void runningCheckReadsProcLayout_data();
    void runningCheckReadsProcLayout();
    void runningCheckFindsRealProcess();
    void restartWaitsThreeSeconds();
    void statusPollRepeatsEveryFiveSeconds();
    void requestTimesOutAfterTenSeconds();
};

void TestResolveLink::statusReplies_data() {
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<bool>("resolveRunning");
    QTest::addColumn<Health>("health");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("project");

    const Health starting = Health::starting();
    QTest::newRow("a full status reply connects with product, version and project")
        << object(
               R"({"ok":true,"result":{"product":"DaVinci Resolve Studio","version":"19.1.3.7","project":"Feature"}})")
        << false << Health::connected("DaVinci Resolve Studio", "19.1.3.7")
        << "DaVinci Resolve Studio 19.1.3.7"
        << "Feature";
    QTest::newRow("ok without a result connects as Resolve with a trailing space")
        << object(R"({"ok":true})") << false << Health::connected("Resolve", "") << "Resolve "
        << "";
    QTest::newRow("a result that is not an object counts as empty")
        << object(R"({"ok":true,"result":"DaVinci Resolve"})") << false << Health::connected("Resolve", "")
        << "Resolve "
        << "";
    QTest::newRow("result fields that are not strings fall back one by one")
        << object(R"({"ok":true,"result":{"product":19,"version":"18.6","project":null}})") << false
        << Health::connected("Resolve", "18.6") << "Resolve 18.6"
        << "";
    QTest::newRow("scripting unavailable shows the bridge's error")
        << object(R"({"ok":false,"code":"scripting_unavailable","error":"no fusionscript"})") << false
        << Health::scriptingUnavailable("no fusionscript") << "no fusionscript"
        << "";
    QTest::newRow("scripting unavailable without an error says so plainly")
        << object(R"({"ok":false,"code":"scripting_unavailable"})") << false
        << Health::scriptingUnavailable("scripting unavailable") << "scripting unavailable"
        << "";
    QTest::newRow("ok given as a string is not true and falls through to the code")
        << object(
               R"({"ok":"true","code":"scripting_unavailable","error":"refused","result":{"product":"X"}})")
        << false << Health::scriptingUnavailable("refused") << "refused"
        << "";
    QTest::newRow("ok given as the number one without a code changes nothing")
        << object(R"({"ok":1,"result":{"product":"X","version":"1"}})") << false << starting << "Connecting…"
        << "";
    QTest::newRow("not connected while Resolve is not running")
        << object(R"({"ok":false,"code":"not_connected"})") << false << Health::resolveNotRunning()
        << "Resolve not running"
        << "";
    QTest::newRow("not connected while Resolve runs means it refuses scripting")
        << object(R"({"ok":false,"code":"not_connected"})") << true
        << Health::scriptingUnavailable(QString::fromUtf8(ResolveLink::refusesScriptingMessage))
        << "Resolve is running but refuses scripting — Studio only; set Preferences → General → External "
           "scripting using = Local"
        << "";
    QTest::newRow("an unknown failure code changes nothing")
        << object(R"({"ok":false,"code":"busy","error":"later"})") << false << starting << "Connecting…"
        << "";
    QTest::newRow("a code that is not a string changes nothing")
        << object(R"({"ok":false,"code":["not_connected"]})") << false << starting << "Connecting…"
        << "";
}

void TestResolveLink::statusReplies() {
    QFETCH(QJsonObject, reply);
    QFETCH(bool, resolveRunning);
    QFETCH(Health, health);
    QFETCH(QString, label);
    QFETCH(QString, project);

    Rig rig;
    QVERIFY2(rig.fake.isValid(), qPrintable(rig.fake.problem()));
    QVERIFY(rig.scripted.isValid());
    if (resolveRunning) {
        QVERIFY(rig.fake.startRunning());
    }
    rig.scripted.setScript(QJsonObject{{"status", QJsonObject{{"reply", reply}}}});
    ResolveLink& link = rig.scriptedLink();
    QCOMPARE(link.health(), Health::stopped());
    QCOMPARE(link.health().label(), QStringLiteral("Bridge stopped"));
    link.start();

    // The poll asks again only after it has dealt with the previous reply.
    QTRY_VERIFY_WITH_TIMEOUT(rig.requestsFor(QStringLiteral("status")) >= 2, 10000);
    QCOMPARE(link.health(), health);
    QCOMPARE(link.health().label(), label);
    QCOMPARE(link.project(), project);
}

void TestResolveLink::idsIncreaseFromOneAcrossRestarts() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    // Every bridge answers one status request and then ends.
    rig.scripted.setScript(
        QJsonObject{{"status", QJsonObject{{"reply", object(R"({"ok":true})")}, {"exit", true}}}});
    ResolveLink& link = rig.scriptedLink();
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.scripted.launches() >= 4 && rig.scripted.requests().size() >= 4, 15000);

    const QList<QJsonObject> requests = rig.scripted.requests();
    for (int i = 0; i < requests.size(); ++i) {
        QCOMPARE(requests[i].value("id").toInteger(), i + 1);
        QCOMPARE(requests[i].value("cmd").toString(), QStringLiteral("status"));
        QCOMPARE(requests[i].value("args"), QJsonValue(QJsonObject{}));
        QCOMPARE(requests[i].size(), 3);
    }
    // Each line is one compact object: nothing but the line feed separates requests.
    for (const QString& raw : rig.scripted.rawRequests()) {
        QVERIFY2(!raw.contains(QLatin1Char(' ')), qPrintable(raw));
    }
    QVERIFY(link.lastRequestId() >= requests.size());
}

void TestResolveLink::repliesThatDoNotCount_data() {
    QTest::addColumn<QJsonObject>("step");
    QTest::addColumn<bool>("answered");

    QTest::newRow("a reply after the timeout is dropped")
        << QJsonObject{{"reply", object(R"({"ok":true,"n":1})")}, {"delay", 0.6}} << false;
    QTest::newRow("a second reply with the same id is dropped")
        << QJsonObject{{"reply", object(R"({"ok":true,"n":1})")}, {"copies", 2}} << true;
    QTest::newRow("lines that are not replies are skipped before the reply")
        << QJsonObject{{"reply", object(R"({"ok":true,"n":1})")},
                       {"before", QJsonArray{"not json", "[1,2]", "{}", R"({"id":"1"})", R"({"id":1.5})",
                                             R"({"id":true})", R"({"id":9999})", ""}}}
        << true;
    QTest::newRow("a reply that arrives in two pieces is put together")
        << QJsonObject{{"reply", object(R"({"ok":true,"n":1})")}, {"split", true}} << true;
    QTest::newRow("a long reply within the limit is read whole")
        << QJsonObject{{"reply", object(R"({"ok":true,"n":1})")}, {"pad", 900 * 1024}, {"split", true}}
        << true;
    QTest::newRow("an overlong reply line is dropped whole")
        << QJsonObject{{"reply", object(R"({"ok":true,"n":1})")}, {"pad", 1100 * 1024}} << false;
}

void TestResolveLink::repliesThatDoNotCount() {
    QFETCH(QJsonObject, step);
    QFETCH(bool, answered);

    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.scripted.setScript(
        QJsonObject{{"echo", step}, {"second", QJsonObject{{"reply", object(R"({"n":2})")}}}});
    // No status answers and no second poll get in the way.
    ResolveLink& link = rig.scriptedLink({1h, 300ms, 1h});
    link.start();
    QTRY_VERIFY(rig.requestsFor(QStringLiteral("status")) == 1);

    const ResolveLink::Reply first = QCoro::waitFor(link.send(QStringLiteral("echo")));
    if (answered) {
        QVERIFY(first.ok());
        QCOMPARE(first.object().value("n").toInt(), 1);
        QCOMPARE(first.object().value("id").toInteger(), 2);
    } else {
        QVERIFY(!first.ok());
        QCOMPARE(first.error(), LinkError::timeout);
    }
    // Whatever arrives late for the first request must not reach the next one.
    QTest::qWait(700);
    const ResolveLink::Reply second = QCoro::waitFor(link.send(QStringLiteral("second")));
    QVERIFY(second.ok());
    QCOMPARE(second.object().value("n").toInt(), 2);
    QCOMPARE(second.object().value("id").toInteger(), 3);
    QVERIFY(link.bridgeRunning());
}

void TestResolveLink::requestsFailWithNotRunning() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    ResolveLink& link = rig.scriptedLink({1h, 5s, 1h});

    // Before any bridge runs: an immediate failure that uses no id.
    const ResolveLink::Reply early = QCoro::waitFor(link.send(QStringLiteral("echo")));
    QCOMPARE(early.error(), LinkError::notRunning);
    QCOMPARE(link.lastRequestId(), 0);

    // A bridge that ends while requests wait fails all of them with notRunning, not timeout.
    rig.scripted.setScript(QJsonObject{{"quit", QJsonObject{{"exit", true}}}});
    link.start();
    QTRY_VERIFY(rig.requestsFor(QStringLiteral("status")) == 1);
    auto waiting = link.send(QStringLiteral("echo"));
    QElapsedTimer clock;
    clock.start();
    const ResolveLink::Reply quit = QCoro::waitFor(link.send(QStringLiteral("quit")));
    QCOMPARE(quit.error(), LinkError::notRunning);
    QCOMPARE(QCoro::waitFor(waiting).error(), LinkError::notRunning);
    QVERIFY(clock.elapsed() < 4000);
    QCOMPARE(link.health(), Health::resolveNotRunning());
    QVERIFY(!link.bridgeRunning());

    // A start while a request waits tears the old bridge down and fails the request the same way.
    QTRY_VERIFY(rig.scripted.launches() == 1);
    link.start();
    QTRY_VERIFY(rig.requestsFor(QStringLiteral("status")) == 2);
    auto torn = link.send(QStringLiteral("echo"));
    link.start();
    QCOMPARE(QCoro::waitFor(torn).error(), LinkError::notRunning);
}

void TestResolveLink::refreshLUTs_data() {
    QTest::addColumn<QJsonObject>("statusStep");
    QTest::addColumn<QJsonObject>("refreshStep");
    QTest::addColumn<Health::Kind>("healthBefore");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<bool>("refreshed");

    const QJsonObject connected{{"reply", object(R"({"ok":true,"result":{"product":"P","version":"1"}})")}};
    QTest::newRow("while starting nothing is written to the bridge")
        << QJsonObject{} << QJsonObject{{"reply", object(R"({"ok":true})")}} << Health::Kind::starting
        << false << false;
    QTest::newRow("while scripting is unavailable nothing is written to the bridge")
        << QJsonObject{{"reply", object(R"({"ok":false,"code":"scripting_unavailable"})")}}
        << QJsonObject{{"reply", object(R"({"ok":true})")}} << Health::Kind::scriptingUnavailable << false
        << false;
    QTest::newRow("while connected a refresh that succeeds answers true")
        << connected << QJsonObject{{"reply", object(R"({"ok":true})")}} << Health::Kind::connected << true
        << true;
    QTest::newRow("while connected a refresh answered with ok as a string answers false")
        << connected << QJsonObject{{"reply", object(R"({"ok":"true"})")}} << Health::Kind::connected << true
        << false;
    QTest::newRow("while connected a refresh that fails answers false")
        << connected << QJsonObject{{"reply", object(R"({"ok":false,"code":"no_project"})")}}
        << Health::Kind::connected << true << false;
    QTest::newRow("while connected an unanswered refresh answers false after the timeout")
        << connected << QJsonObject{} << Health::Kind::connected << true << false;
}

void TestResolveLink::refreshLUTs() {
    QFETCH(QJsonObject, statusStep);
    QFETCH(QJsonObject, refreshStep);
    QFETCH(Health::Kind, healthBefore);
    QFETCH(bool, sent);
    QFETCH(bool, refreshed);

    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.scripted.setScript(QJsonObject{{"status", statusStep}, {"refresh_luts", refreshStep}});
    ResolveLink& link = rig.scriptedLink({1h, 500ms, 1h});
    link.start();
    QTRY_VERIFY(rig.requestsFor(QStringLiteral("status")) == 1);
    QTRY_COMPARE(link.health().kind, healthBefore);
    const qint64 idBefore = link.lastRequestId();

    QCOMPARE(QCoro::waitFor(link.refreshLUTs()), refreshed);
    if (sent) {
        QTRY_COMPARE(rig.requestsFor(QStringLiteral("refresh_luts")), 1);
        QCOMPARE(link.lastRequestId(), idBefore + 1);
    } else {
        // Give a stray write time to arrive before concluding there was none.
        QTest::qWait(200);
        QCOMPARE(rig.scripted.requests().size(), 1);
        QCOMPARE(link.lastRequestId(), idBefore);
    }
}

void TestResolveLink::bridgeExitingAtOnceIsRestartedAgainAndAgain() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.scripted.setScript(QJsonObject{{"exit_at_start", true}});
    ResolveLink& link = rig.scriptedLink({50ms, 2s, 300ms});
    QSignalSpy healthChanges(&link, &ResolveLink::healthChanged);
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.scripted.launches() >= 4, 15000);
    QTRY_COMPARE(link.health(), Health::resolveNotRunning());

    const QList<double> launches = rig.scripted.launchTimes();
    for (int i = 1; i < launches.size(); ++i) {
        QVERIFY2(launches[i] - launches[i - 1] >= 0.28,
                 qPrintable(QString::number(launches[i] - launches[i - 1])));
    }
    // starting and resolveNotRunning once per launch, nothing more.
    QVERIFY(healthChanges.size() <= 2 * launches.size() + 2);
    QVERIFY(healthChanges.size() >= 2 * 3);

    // Once the bridge stays up, the loop ends in a connected link.
    rig.scripted.setScript(QJsonObject{{"status", QJsonObject{{"reply", object(R"({"ok":true})")}}}});
    QTRY_COMPARE_WITH_TIMEOUT(link.health(), Health::connected("Resolve", ""), 10000);
    const int settled = rig.scripted.launches();
    QTest::qWait(700);
    QCOMPARE(rig.scripted.launches(), settled);
}

void TestResolveLink::healthAndProjectNotifyOnlyOnChange() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.scripted.setScript(QJsonObject{
        {"status",
         QJsonObject{
             {"reply", object(R"({"ok":true,"result":{"product":"P","version":"2","project":"A"}})")}}}});
    ResolveLink& link = rig.scriptedLink();
    QSignalSpy healthChanges(&link, &ResolveLink::healthChanged);
    QSignalSpy projectChanges(&link, &ResolveLink::projectChanged);
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.requestsFor(QStringLiteral("status")) >= 6, 10000);
    QCOMPARE(healthChanges.size(), 2); // starting, connected
    QCOMPARE(projectChanges.size(), 1);
    QCOMPARE(link.project(), QStringLiteral("A"));

    rig.scripted.setScript(QJsonObject{
        {"status",
         QJsonObject{
             {"reply", object(R"({"ok":true,"result":{"product":"P","version":"2","project":"B"}})")}}}});
    QTRY_COMPARE(link.project(), QStringLiteral("B"));
    const int polled = rig.requestsFor(QStringLiteral("status"));
    QTRY_VERIFY(rig.requestsFor(QStringLiteral("status")) >= polled + 4);
    QCOMPARE(healthChanges.size(), 2);
    QCOMPARE(projectChanges.size(), 2);

    // A different version is a different health.
    rig.scripted.setScript(QJsonObject{
        {"status",
         QJsonObject{
             {"reply", object(R"({"ok":true,"result":{"product":"P","version":"3","project":"B"}})")}}}});
    QTRY_COMPARE(link.health().label(), QStringLiteral("P 3"));
    QCOMPARE(healthChanges.size(), 3);
    QCOMPARE(projectChanges.size(), 2);
}

void TestResolveLink::destroyingTheLinkEndsWaitingRequests() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    ResolveLink& link = rig.scriptedLink({1h, 1h, 1h});
    link.start();
    QTRY_VERIFY(rig.requestsFor(QStringLiteral("status")) == 1);
    auto waiting = link.send(QStringLiteral("echo"));
    rig.link.reset();
    QCOMPARE(QCoro::waitFor(waiting).error(), LinkError::notRunning);
}

void TestResolveLink::startStopsEarly_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<Health>("health");
    QTest::addColumn<QString>("label");

    QTest::newRow("Resolve not installed")
        << "not installed" << Health::resolveNotInstalled() << "DaVinci Resolve not installed";
    QTest::newRow("no python3 candidate exists")
        << "no python" << Health::pythonMissing() << "python3 not found";
    QTest::newRow("a python3 candidate that is not executable is passed over")
        << "python not executable" << Health::pythonMissing() << "python3 not found";
    QTest::newRow("a python3 that cannot be launched")
        << "python not a program" << Health::pythonMissing() << "python3 not found";
    QTest::newRow("the bridge script is missing")
        << "no script" << Health::scriptingUnavailable("bridge script missing from the app bundle")
        << "bridge script missing from the app bundle";
}

void TestResolveLink::startStopsEarly() {
    QFETCH(QString, fault);
    QFETCH(Health, health);
    QFETCH(QString, label);

    Rig rig;
    QVERIFY(rig.fake.isValid());
    ResolveProfile profile = rig.profile();
    Resources resources = rig.scripted.resources();
    const QString fakePython = rig.dir.filePath(QStringLiteral("python3"));
    if (fault == QStringLiteral("not installed")) {
        QVERIFY(QFile::remove(rig.fake.binary()));
    } else if (fault == QStringLiteral("no python")) {
        profile.pythonCandidates = {fakePython, rig.dir.filePath(QStringLiteral("missing/python3"))};
    } else if (fault == QStringLiteral("python not executable")) {
        QVERIFY(QFile::copy(QStringLiteral(TONEWHARF_PYTHON3), fakePython));
        QVERIFY(QFile::setPermissions(fakePython, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        profile.pythonCandidates = {fakePython};
    } else if (fault == QStringLiteral("python not a program")) {
        QFile file(fakePython);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(64, '\x07'));
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        profile.pythonCandidates = {fakePython};
    } else if (fault == QStringLiteral("no script")) {
        resources = Resources(rig.dir.filePath(QStringLiteral("home")));
    }

    ResolveLink link(profile, resources, rig.running, quick);
    link.start();
    QTRY_COMPARE(link.health(), health);
    QCOMPARE(link.health().label(), label);
    QVERIFY(!link.bridgeRunning());
    // None of these is retried on its own.
    QTest::qWait(400);
    QCOMPARE(link.health(), health);
    QVERIFY(!link.bridgeRunning());
    QCOMPARE(rig.scripted.launches(), 0);
}

void TestResolveLink::realBridge_data() {
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("resolveRunning");
    QTest::addColumn<Health>("health");
    QTest::addColumn<QString>("project");

    QTest::newRow("an answering Resolve reports its product, version and project")
        << "answer" << true << Health::connected("DaVinci Resolve Studio", "19.1.3.7") << "Grading Test";
    QTest::newRow("a Resolve that does not answer and does not run")
        << "refuse" << false << Health::resolveNotRunning() << "";
    QTest::newRow("a Resolve that does not answer while it runs refuses scripting")
        << "refuse" << true
        << Health::scriptingUnavailable(QString::fromUtf8(ResolveLink::refusesScriptingMessage)) << "";
    QTest::newRow("a scripting module that cannot be loaded")
        << "unavailable" << true
        << Health::scriptingUnavailable(
               "DaVinciResolveScript could not be loaded: fusionscript could not be loaded")
        << "";
}

void TestResolveLink::realBridge() {
    QFETCH(QString, mode);
    QFETCH(bool, resolveRunning);
    QFETCH(Health, health);
    QFETCH(QString, project);

    Rig rig;
    QVERIFY2(rig.fake.isValid(), qPrintable(rig.fake.problem()));
    rig.fake.setControl(QJsonObject{{"mode", mode}, {"project", "Grading Test"}});
    if (resolveRunning) {
        QVERIFY(rig.fake.startRunning());
    }
    // The bridge gets the profile's values, not whatever this process inherited.
    qputenv("PYTHONPATH", "/nonexistent/inherited");
    qputenv("RESOLVE_SCRIPT_LIB", "/nonexistent/fusionscript.so");
    ResolveLink& link = rig.realLink({100ms, 5s, 100ms});
    link.start();
    qunsetenv("PYTHONPATH");
    qunsetenv("RESOLVE_SCRIPT_LIB");

    QTRY_COMPARE_WITH_TIMEOUT(link.health(), health, 10000);
    QCOMPARE(link.project(), project);
    QVERIFY(link.bridgeRunning());

    const ResolveProfile profile = rig.profile();
    const QJsonObject seen = rig.fake.environmentSeen();
    QCOMPARE(seen.value("RESOLVE_SCRIPT_API").toString(), profile.scriptApi);
    QCOMPARE(seen.value("RESOLVE_SCRIPT_LIB").toString(), profile.scriptLib);
    QCOMPARE(seen.value("PYTHONPATH").toString(), profile.pythonPath);
    QCOMPARE(seen.value("PYTHONUNBUFFERED").toString(), QStringLiteral("1"));
}

void TestResolveLink::realBridgeFollowsResolveComingAndGoing() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.fake.setControl(
        QJsonObject{{"mode", "answer"}, {"product", "DaVinci Resolve"}, {"version", "18.6.6"}});
    ResolveLink& link = rig.realLink({100ms, 3s, 100ms});
    link.start();
    QTRY_COMPARE_WITH_TIMEOUT(link.health(), Health::connected("DaVinci Resolve", "18.6.6"), 10000);
    QCOMPARE(link.project(), QStringLiteral("Untitled Project"));

    QVERIFY(QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig.fake.refreshCount(), 1);

    // Resolve answers the refresh with something other than True.
    rig.fake.setControl(QJsonObject{{"mode", "answer"},
                                    {"product", "DaVinci Resolve"},
                                    {"version", "18.6.6"},
                                    {"refresh_result", "yes"}});
    QVERIFY(!QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig.fake.refreshCount(), 2);
    // No project open: nothing to refresh.
    rig.fake.setControl(QJsonObject{{"mode", "answer"},
                                    {"product", "DaVinci Resolve"},
                                    {"version", "18.6.6"},
                                    {"project", QJsonValue()}});
    QVERIFY(!QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig.fake.refreshCount(), 2);

    rig.fake.setMode(QStringLiteral("refuse"));
    QTRY_COMPARE_WITH_TIMEOUT(link.health(), Health::resolveNotRunning(), 5000);
    QVERIFY(!QCoro::waitFor(link.refreshLUTs()));

    // A call that raises is one bad request; the bridge answers the next one.
    rig.fake.setMode(QStringLiteral("raise"));
    const ResolveLink::Reply raised = QCoro::waitFor(link.send(QStringLiteral("status")));
    QVERIFY(raised.ok());
    QCOMPARE(raised.object().value("ok"), QJsonValue(false));
    QCOMPARE(link.health(), Health::resolveNotRunning());
    const ResolveLink::Reply unknown = QCoro::waitFor(link.send(QStringLiteral("no_such_command")));
    QVERIFY(unknown.ok());
    QCOMPARE(unknown.object().value("ok"), QJsonValue(false));

    rig.fake.setControl(QJsonObject{
        {"mode", "answer"}, {"product", "DaVinci Resolve"}, {"version", "19.0"}, {"project", "Back Again"}});
    QTRY_COMPARE_WITH_TIMEOUT(link.health(), Health::connected("DaVinci Resolve", "19.0"), 5000);
    QCOMPARE(link.project(), QStringLiteral("Back Again"));
    QVERIFY(QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig.fake.refreshCount(), 3);
    // All of it went through one bridge process.
    QCOMPARE(rig.fake.calls().count(QStringLiteral("import")), 1);
}

void TestResolveLink::realBridgeRestartsWhileItsModuleEndsIt() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.fake.setMode(QStringLiteral("exit"));
    ResolveLink& link = rig.realLink({100ms, 3s, 200ms});
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.fake.calls().count(QStringLiteral("import")) >= 3, 15000);
    QCOMPARE(link.health(), Health::resolveNotRunning());

    rig.fake.setMode(QStringLiteral("answer"));
    QTRY_COMPARE_WITH_TIMEOUT(link.health().kind, Health::Kind::connected, 10000);
    QVERIFY(QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig.fake.refreshCount(), 1);
}

void TestResolveLink::realBridgeSurvivesBadRequests() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    // What the scripting module prints must not end up among the replies.
    rig.fake.setControl(QJsonObject{{"mode", "answer"}, {"chatty", true}});
    const ResolveProfile profile = rig.profile();
    QProcess bridge;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RESOLVE_SCRIPT_LIB"), profile.scriptLib);
    environment.insert(QStringLiteral("PYTHONPATH"), profile.pythonPath);
    bridge.setProcessEnvironment(environment);
    bridge.start(QStringLiteral(TONEWHARF_PYTHON3),
                 {QStringLiteral(TONEWHARF_RESOURCE_DIR "/tintara_resolve_bridge.py")});
    QVERIFY(bridge.waitForStarted());
    bridge.write("not json\n"
                 "[1,2,3]\n"
                 "\xff\xfe\n"
                 "\n"
                 "{\"id\":\"7\",\"cmd\":\"status\",\"args\":{}}\n"
                 "{\"id\":true,\"cmd\":\"status\",\"args\":{}}\n"
                 "{\"id\":1,\"cmd\":\"status\",\"args\":[]}\n"
                 "{\"id\":2,\"cmd\":\"launch_missiles\",\"args\":{}}\n"
                 "{\"id\":3,\"cmd\":\"status\"}\n"
                 "{\"id\":4,\"cmd\":\"refresh_luts\",\"args\":{}}\n");
    bridge.closeWriteChannel();
    QVERIFY(bridge.waitForFinished(10000));
    QCOMPARE(bridge.exitStatus(), QProcess::NormalExit);
    QCOMPARE(bridge.exitCode(), 0);

    const QList<QByteArray> lines = bridge.readAllStandardOutput().split('\n');
    QCOMPARE(lines.size(), 5); // four replies and the empty rest after the last line feed
    QCOMPARE(lines.last(), QByteArray());
    QList<QJsonObject> replies;
    for (qsizetype i = 0; i < 4; ++i) {
        replies.append(QJsonDocument::fromJson(lines[i]).object());
        QCOMPARE(replies[i].value("id").toInteger(), i + 1);
    }
    QCOMPARE(replies[0].value("ok"), QJsonValue(false));
    QCOMPARE(replies[0].value("code").toString(), QStringLiteral("bad_request"));
    QCOMPARE(replies[1].value("code").toString(), QStringLiteral("unknown_command"));
    QCOMPARE(replies[2].value("ok"), QJsonValue(true));
    QCOMPARE(replies[2].value("result").toObject().value("product").toString(),
             QStringLiteral("DaVinci Resolve Studio"));
    QCOMPARE(replies[3].value("ok"), QJsonValue(true));
    QCOMPARE(rig.fake.refreshCount(), 1);
}

void TestResolveLink::realBridgeHangingCallTimesOut() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.fake.setControl(QJsonObject{{"mode", "hang"}, {"hang_seconds", 60}});
    ResolveLink& link = rig.realLink({1h, 400ms, 1h});
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.fake.calls().contains(QStringLiteral("scriptapp")), 10000);
    const ResolveLink::Reply reply = QCoro::waitFor(link.send(QStringLiteral("status")));
    QCOMPARE(reply.error(), LinkError::timeout);
    // A poll that never gets its answer leaves the health as it was.
    QCOMPARE(link.health(), Health::starting());
    QVERIFY(link.bridgeRunning());
}

void TestResolveLink::runningCheckReadsProcLayout_data() {
    QTest::addColumn<QStringList>(
        "entries"); // "<name>" for an empty folder, "<name>=<exe target>" for a link
    QTest::addColumn<bool>("bundleCheck");
    QTest::addColumn<bool>("running");

    const QString resolve = QStringLiteral("@/resolve/bin/resolve");
    QTest::newRow("a process whose executable is Resolve")
        << QStringList{"1=/usr/lib/systemd/systemd", "4242=" + resolve} << false << true;
    QTest::newRow("Resolve replaced on disk while it runs still counts")
        << QStringList{"4242=" + resolve + " (deleted)"} << false << true;
    QTest::newRow("other executables do not count")
        << QStringList{"1=/usr/bin/sleep", "2=" + resolve + "d", "3=/resolve/bin/resolve"} << false << false;
    QTest::newRow("entries that are not process ids are ignored")
        << QStringList{"self=" + resolve, "thread-self=" + resolve, "12a=" + resolve} << false << false;
    QTest::newRow("entries without a readable executable are passed over")
        << QStringList{"2", "3=", "4242=" + resolve} << false << true;
    QTest::newRow("a profile that looks for bundle identifiers finds nothing here")
        << QStringList{"4242=" + resolve} << true << false;
}

void TestResolveLink::runningCheckReadsProcLayout() {
    QFETCH(QStringList, entries);
    QFETCH(bool, bundleCheck);
    QFETCH(bool, running);

    Rig rig;
    QVERIFY(rig.fake.isValid());
    const QString proc = rig.dir.filePath(QStringLiteral("proc"));
    for (const QString& entry : entries) {
        const QString name = entry.section(QLatin1Char('='), 0, 0);
        QVERIFY(QDir().mkpath(proc + QLatin1Char('/') + name));
        if (entry.contains(QLatin1Char('='))) {
            QString target = entry.section(QLatin1Char('='), 1);
            target.replace(QStringLiteral("@"), rig.dir.path());
            if (!target.isEmpty()) {
                QVERIFY(QFile::link(target, proc + QLatin1Char('/') + name + QStringLiteral("/exe")));
            }
        }
    }
    ResolveProfile profile = rig.profile();
    if (bundleCheck) {
        profile.runningCheck = ResolveProfile::RunningCheck::BundleIdentifierPrefix;
    }
    QCOMPARE(ProcRunningApplications(proc).isResolveRunning(profile), running);
}

void TestResolveLink::runningCheckFindsRealProcess() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    const ResolveProfile profile = rig.profile();
    ProcRunningApplications applications;
    QVERIFY(!applications.isResolveRunning(profile));
    QVERIFY(rig.fake.startRunning());
    QVERIFY(applications.isResolveRunning(profile));
    // Named through a symbolic link, the installation is still recognised.
    const QString alias = rig.dir.filePath(QStringLiteral("alias"));
    QVERIFY(QFile::link(rig.fake.root(), alias));
    QVERIFY(applications.isExecutableRunning(alias + QStringLiteral("/bin/resolve")));
    rig.fake.stopRunning();
    QVERIFY(!applications.isResolveRunning(profile));
}

void TestResolveLink::restartWaitsThreeSeconds() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.scripted.setScript(QJsonObject{{"exit_at_start", true}});
    ResolveLink& link = rig.scriptedLink(ResolveLinkTiming{});
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.scripted.launches() >= 2, 10000);
    const QList<double> launches = rig.scripted.launchTimes();
    const double gap = launches[1] - launches[0];
    QVERIFY2(gap >= 2.95 && gap < 5.0, qPrintable(QString::number(gap)));
}

void TestResolveLink::statusPollRepeatsEveryFiveSeconds() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.scripted.setScript(QJsonObject{{"status", QJsonObject{{"reply", object(R"({"ok":true})")}}}});
    ResolveLink& link = rig.scriptedLink(ResolveLinkTiming{});
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.scripted.requestTimes().size() >= 2, 10000);
    const QList<double> times = rig.scripted.requestTimes();
    const double gap = times[1] - times[0];
    QVERIFY2(gap >= 4.95 && gap < 7.0, qPrintable(QString::number(gap)));
    QCOMPARE(link.health(), Health::connected("Resolve", ""));
}

void TestResolveLink::requestTimesOutAfterTenSeconds() {
    Rig rig;
    QVERIFY(rig.fake.isValid());
    rig.scripted.setScript(QJsonObject{{"status", QJsonObject{{"reply", object(R"({"ok":true})")}}}});
    ResolveLink& link = rig.scriptedLink(ResolveLinkTiming{});
    link.start();
    QTRY_COMPARE(link.health(), Health::connected("Resolve", ""));
    QElapsedTimer clock;
    clock.start();
    const ResolveLink::Reply reply = QCoro::waitFor(link.send(QStringLiteral("unanswered")));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(reply.error(), LinkError::timeout);
    QVERIFY2(elapsed >= 9950 && elapsed < 12000, qPrintable(QString::number(elapsed)));
    QVERIFY(link.bridgeRunning());
}

QTEST_GUILESS_MAIN(TestResolveLink)
#include "TestResolveLink.moc"
