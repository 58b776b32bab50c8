#include "platform/linux/ProcRunningApplications.h"
#include "resolve/ResolveLink.h"
#include "support/RunProgram.h"
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

// A scripted bridge's step for one command: answer with this reply, plus the step's extras.
QJsonObject reply(const char* json, QJsonObject step = {}) {
    step.insert(QStringLiteral("reply"), object(json));
    return step;
}

// One test's world: a fake Resolve installation, a scripted bridge beside it and the link.
struct Rig {
    QTemporaryDir dir;
    FakeResolveInstallation fake{dir.filePath(QStringLiteral("resolve"))};
    ScriptedBridge scripted{dir.filePath(QStringLiteral("scripted"))};
    std::shared_ptr<ProcRunningApplications> running = std::make_shared<ProcRunningApplications>();
    std::unique_ptr<ResolveLink> link;

    ResolveProfile profile() const { return fake.profile(dir.filePath(QStringLiteral("home"))); }

    // A link to the scripted bridge, or with `real` to the shipped bridge script.
    ResolveLink& make(ResolveLinkTiming timing = quick, bool real = false) {
        link = std::make_unique<ResolveLink>(
            profile(), real ? Resources(QStringLiteral(TONEWHARF_RESOURCE_DIR)) : scripted.resources(),
            running, timing);
        return *link;
    }
    ResolveLink& start(ResolveLinkTiming timing = quick, bool real = false) {
        make(timing, real).start();
        return *link;
    }
    void answerStatus(const char* json) { scripted.setScript(QJsonObject{{"status", reply(json)}}); }
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

    std::unique_ptr<Rig> rig;

private slots:
    void init();
    void cleanup() { rig.reset(); }
    void startStopsEarly_data();
    void startStopsEarly();
    void statusReplies_data();
    void statusReplies();
    void endedBridgesAreRestartedAndIdsGoOn();
    void repliesThatDoNotCount_data();
    void repliesThatDoNotCount();
    void requestsFailWithNotRunning();
    void refreshLUTs_data();
    void refreshLUTs();
    void healthAndProjectNotifyOnlyOnChange();
    void waitsAsLongAsTold();
    void realBridgeWithAModuleThatCannotBeLoaded();
    void realBridgeFollowsResolveComingAndGoing();
    void realBridgeSurvivesBadRequests();
    void realBridgeSurvivesCommandsThatAreNotText();
    void realBridgeHangingCallTimesOut();
    void runningCheckReadsProcLayout_data();
    void runningCheckReadsProcLayout();
    void runningCheckFindsRealProcess();
};

void TestResolveLink::init() {
    rig = std::make_unique<Rig>();
    QVERIFY2(rig->fake.isValid(), qPrintable(rig->fake.problem()));
    QVERIFY(rig->scripted.isValid());
}

void TestResolveLink::startStopsEarly_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<Health>("health");
    QTest::addColumn<QString>("label");

    QTest::newRow("Resolve not installed")
        << "not installed" << Health::resolveNotInstalled() << "DaVinci Resolve not installed";
    QTest::newRow("python3 candidates that are missing or not executable are passed over")
        << "no python" << Health::pythonMissing() << "python3 not found";
    QTest::newRow("a python3 that cannot be launched")
        << "not a program" << Health::pythonMissing() << "python3 not found";
    QTest::newRow("the bridge script is missing")
        << "no script" << Health::scriptingUnavailable("bridge script missing from the app bundle")
        << "bridge script missing from the app bundle";
}

void TestResolveLink::startStopsEarly() {
    QFETCH(QString, fault);
    QFETCH(Health, health);
    QFETCH(QString, label);

    ResolveProfile profile = rig->profile();
    Resources resources = rig->scripted.resources();
    const QString fakePython = rig->dir.filePath(QStringLiteral("python3"));
    if (fault == QStringLiteral("not installed")) {
        QVERIFY(QFile::remove(rig->fake.binary()));
    } else if (fault == QStringLiteral("no python")) {
        QVERIFY(QFile::copy(QStringLiteral(TONEWHARF_PYTHON3), fakePython));
        QVERIFY(QFile::setPermissions(fakePython, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        profile.pythonCandidates = {rig->dir.filePath(QStringLiteral("missing/python3")), fakePython};
    } else if (fault == QStringLiteral("not a program")) {
        QFile file(fakePython);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(64, '\x07')) == 64);
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        profile.pythonCandidates = {fakePython};
    } else if (fault == QStringLiteral("no script")) {
        resources = Resources(rig->dir.filePath(QStringLiteral("home")));
    }

    ResolveLink link(profile, resources, rig->running, quick);
    QCOMPARE(link.health().label(), QStringLiteral("Bridge stopped"));
    link.start();
    QTRY_COMPARE(link.health(), health);
    QCOMPARE(link.health().label(), label);
    // None of these is retried on its own.
    QTest::qWait(250);
    QCOMPARE(link.health(), health);
    QVERIFY(!link.bridgeRunning());
    QCOMPARE(rig->scripted.launches(), 0);
}

// How the link reads status replies; the plain answers of a real bridge are in the tests further down.
void TestResolveLink::statusReplies_data() {
    QTest::addColumn<QJsonObject>("reply");
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("resolveRunning");
    const auto row = [](const char* name, const char* reply, const QString& label, bool running = false) {
        QTest::newRow(name) << object(reply) << label << running;
    };

    row("scripting unavailable without an error says so plainly",
        R"({"ok":false,"code":"scripting_unavailable"})", "scripting unavailable");
    row("ok given as a string is not true and falls through to the code",
        R"({"ok":"true","code":"scripting_unavailable","error":"refused","result":{"product":"X"}})",
        "refused");
    row("ok given as the number one without a code changes nothing",
        R"({"ok":1,"result":{"product":"X","version":"1"}})", "Connecting…");
    row("not connected while Resolve runs means it refuses scripting",
        R"({"ok":false,"code":"not_connected"})",
        "Resolve is running but refuses scripting — Studio only; set Preferences → General → External "
        "scripting using = Local",
        true);
}

void TestResolveLink::statusReplies() {
    QFETCH(QJsonObject, reply);
    QFETCH(QString, label);
    QFETCH(bool, resolveRunning);

    QVERIFY(!resolveRunning || rig->fake.startRunning());
    rig->scripted.setScript(QJsonObject{{"status", QJsonObject{{"reply", reply}}}});
    ResolveLink& link = rig->start();
    // The poll asks again only after it has dealt with the previous reply.
    QTRY_VERIFY_WITH_TIMEOUT(rig->requestsFor(QStringLiteral("status")) >= 2, 10000);
    QCOMPARE(link.health().label(), label);
    QCOMPARE(link.project(), QString()); // none of these names a project that is a string
}

void TestResolveLink::endedBridgesAreRestartedAndIdsGoOn() {
    // Every bridge answers one status request and then ends.
    rig->scripted.setScript(QJsonObject{{"status", reply(R"({"ok":true})", {{"exit", true}})}});
    ResolveLink& link = rig->make({50ms, 2s, 300ms});
    QSignalSpy healthChanges(&link, &ResolveLink::healthChanged);
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig->scripted.launches() >= 3 && rig->scripted.requests().size() >= 3, 15000);
    QTRY_COMPARE(link.health().label(), QStringLiteral("Resolve not running"));

    // Each line a bridge read is one whole request, with the next id.
    const QList<QJsonObject> requests = rig->scripted.requests();
    for (int i = 0; i < requests.size(); ++i) {
        QCOMPARE(requests[i], (QJsonObject{{"id", i + 1}, {"cmd", "status"}, {"args", QJsonObject{}}}));
    }
    const QList<double> launches = rig->scripted.launchTimes();
    for (int i = 1; i < launches.size(); ++i) {
        QVERIFY2(launches[i] - launches[i - 1] >= 0.29,
                 qPrintable(QString::number(launches[i] - launches[i - 1])));
    }
    // starting, connected and resolveNotRunning once per launch, nothing more.
    QVERIFY(healthChanges.size() <= 3 * launches.size() + 1);

    // Once the bridge stays up, the loop ends in a connected link.
    rig->answerStatus(R"({"ok":true})");
    QTRY_COMPARE_WITH_TIMEOUT(link.health(), Health::connected("Resolve", ""), 10000);
    const int settled = rig->scripted.launches();
    QTest::qWait(500);
    QCOMPARE(rig->scripted.launches(), settled);
}

void TestResolveLink::repliesThatDoNotCount_data() {
    QTest::addColumn<QJsonObject>("step");
    QTest::addColumn<bool>("answered");

    const char* first = R"({"ok":true,"n":1})";
    QTest::newRow("a reply after the timeout is dropped") << reply(first, {{"delay", 0.8}}) << false;
    QTest::newRow("lines that are not replies are skipped before the reply")
        << reply(first, {{"before", QJsonArray{"not json", "[1,2]", "{}", R"({"id":"1"})", R"({"id":1.5})",
                                               R"({"id":true})", R"({"id":9999})", ""}}})
        << true;
    QTest::newRow("a long reply within the limit that arrives in two pieces is put together")
        << reply(first, {{"pad", 900 * 1024}, {"split", true}}) << true;
    QTest::newRow("an overlong reply line is dropped whole") << reply(first, {{"pad", 1100 * 1024}}) << false;
}

void TestResolveLink::repliesThatDoNotCount() {
    QFETCH(QJsonObject, step);
    QFETCH(bool, answered);

    rig->scripted.setScript(QJsonObject{{"echo", step}, {"second", reply(R"({"n":2})")}});
    // No status answers and no second poll get in the way.
    ResolveLink& link = rig->start({1h, answered ? 5000ms : 500ms, 1h});
    QTRY_VERIFY(rig->requestsFor(QStringLiteral("status")) == 1);

    const ResolveLink::Reply firstReply = QCoro::waitFor(link.send(QStringLiteral("echo")));
    QCOMPARE(firstReply.ok(), answered);
    if (answered) {
        QCOMPARE(firstReply.object().value("n").toInt(), 1);
        QCOMPARE(firstReply.object().value("id").toInteger(), 2);
    } else {
        QCOMPARE(firstReply.error(), LinkError::timeout);
    }
    // Whatever the bridge still writes for the first request comes before this reply, and must not
    // be taken for it.
    const ResolveLink::Reply second = QCoro::waitFor(link.send(QStringLiteral("second")));
    QVERIFY(second.ok());
    QCOMPARE(second.object(), (QJsonObject{{"n", 2}, {"id", 3}}));
    QVERIFY(link.bridgeRunning());
}

void TestResolveLink::requestsFailWithNotRunning() {
    ResolveLink& link = rig->make({1h, 5s, 1h});

    // Before any bridge runs: an immediate failure that uses no id.
    QCOMPARE(QCoro::waitFor(link.send(QStringLiteral("echo"))).error(), LinkError::notRunning);
    QCOMPARE(link.lastRequestId(), 0);

    // A bridge that ends while requests wait fails all of them with notRunning, not timeout.
    rig->scripted.setScript(QJsonObject{{"quit", QJsonObject{{"exit", true}}}});
    link.start();
    QTRY_VERIFY(rig->requestsFor(QStringLiteral("status")) == 1);
    auto waiting = link.send(QStringLiteral("echo"));
    QCOMPARE(QCoro::waitFor(link.send(QStringLiteral("quit"))).error(), LinkError::notRunning);
    QCOMPARE(QCoro::waitFor(waiting).error(), LinkError::notRunning);
    QCOMPARE(link.health(), Health::resolveNotRunning());
    QVERIFY(!link.bridgeRunning());

    // A start while a request waits tears the old bridge down and fails the request the same way.
    link.start();
    QTRY_VERIFY(rig->requestsFor(QStringLiteral("status")) == 2);
    auto torn = link.send(QStringLiteral("echo"));
    link.start();
    QCOMPARE(QCoro::waitFor(torn).error(), LinkError::notRunning);

    // So does destroying the link.
    QTRY_VERIFY(rig->requestsFor(QStringLiteral("status")) == 3);
    auto orphaned = link.send(QStringLiteral("echo"));
    rig->link.reset();
    QCOMPARE(QCoro::waitFor(orphaned).error(), LinkError::notRunning);
}

void TestResolveLink::refreshLUTs_data() {
    QTest::addColumn<QJsonObject>("statusStep");
    QTest::addColumn<QJsonObject>("refreshStep");
    QTest::addColumn<bool>("refreshed");

    const QJsonObject connected = reply(R"({"ok":true,"result":{"product":"P","version":"1"}})");
    QTest::newRow("while scripting is unavailable nothing is written to the bridge")
        << reply(R"({"ok":false,"code":"scripting_unavailable"})") << reply(R"({"ok":true})") << false;
    QTest::newRow("while connected a refresh answered with ok as a string answers false")
        << connected << reply(R"({"ok":"true"})") << false;
}

void TestResolveLink::refreshLUTs() {
    QFETCH(QJsonObject, statusStep);
    QFETCH(QJsonObject, refreshStep);
    QFETCH(bool, refreshed);

    rig->scripted.setScript(QJsonObject{{"status", statusStep}, {"refresh_luts", refreshStep}});
    ResolveLink& link = rig->start({1h, 300ms, 1h});
    QTRY_VERIFY(link.health().kind != Health::Kind::starting);
    const int sent = link.health().kind == Health::Kind::connected ? 1 : 0;

    QCOMPARE(QCoro::waitFor(link.refreshLUTs()), refreshed);
    if (!sent) {
        QTest::qWait(200); // time for a stray write to arrive before concluding there was none
    }
    QTRY_COMPARE(rig->requestsFor(QStringLiteral("refresh_luts")), sent);
    QCOMPARE(rig->scripted.requests().size(), 1 + sent);
    QCOMPARE(link.lastRequestId(), 1 + sent);
}

void TestResolveLink::healthAndProjectNotifyOnlyOnChange() {
    rig->answerStatus(R"({"ok":true,"result":{"product":"P","version":"2","project":"A"}})");
    ResolveLink& link = rig->make();
    QSignalSpy healthChanges(&link, &ResolveLink::healthChanged);
    QSignalSpy projectChanges(&link, &ResolveLink::projectChanged);
    link.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig->requestsFor(QStringLiteral("status")) >= 4, 10000);
    QCOMPARE(healthChanges.size(), 2); // starting, connected
    QCOMPARE(projectChanges.size(), 1);
    QCOMPARE(link.project(), QStringLiteral("A"));

    rig->answerStatus(R"({"ok":true,"result":{"product":"P","version":"2","project":"B"}})");
    QTRY_COMPARE(link.project(), QStringLiteral("B"));
    const int polled = rig->requestsFor(QStringLiteral("status"));
    QTRY_VERIFY(rig->requestsFor(QStringLiteral("status")) >= polled + 3);
    QCOMPARE(healthChanges.size(), 2);
    QCOMPARE(projectChanges.size(), 2);

    // A different version is a different health.
    rig->answerStatus(R"({"ok":true,"result":{"product":"P","version":"3","project":"B"}})");
    QTRY_COMPARE(link.health().label(), QStringLiteral("P 3"));
    QCOMPARE(healthChanges.size(), 3);
    QCOMPARE(projectChanges.size(), 2);
}

// The real waits are 5, 10 and 3 seconds; the link keeps whatever it is given (the restart delay is
// measured above), with a precise timer.
void TestResolveLink::waitsAsLongAsTold() {
    QCOMPARE(ResolveLinkTiming{}.pingInterval, 5s);
    QCOMPARE(ResolveLinkTiming{}.requestTimeout, 10s);
    QCOMPARE(ResolveLinkTiming{}.restartDelay, 3s);

    rig->answerStatus(R"({"ok":true})");
    ResolveLink& link = rig->start({300ms, 400ms, 1h});
    QTRY_VERIFY(rig->scripted.requestTimes().size() >= 2);
    const QList<double> times = rig->scripted.requestTimes();
    QVERIFY2(times[1] - times[0] >= 0.295, qPrintable(QString::number(times[1] - times[0])));
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(QCoro::waitFor(link.send(QStringLiteral("unanswered"))).error(), LinkError::timeout);
    QVERIFY2(clock.elapsed() >= 399, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(link.bridgeRunning());
}

void TestResolveLink::realBridgeWithAModuleThatCannotBeLoaded() {
    rig->fake.setControl(QJsonObject{{"mode", "unavailable"}});
    // The bridge gets the profile's values, not whatever this process inherited.
    qputenv("PYTHONPATH", "/nonexistent/inherited");
    qputenv("RESOLVE_SCRIPT_LIB", "/nonexistent/fusionscript.so");
    qunsetenv("PYTHONUNBUFFERED");
    ResolveLink& link = rig->start({100ms, 5s, 100ms}, true);
    qunsetenv("PYTHONPATH");
    qunsetenv("RESOLVE_SCRIPT_LIB");

    QTRY_COMPARE_WITH_TIMEOUT(link.health().kind, Health::Kind::scriptingUnavailable, 10000);
    QCOMPARE(link.health().message,
             QStringLiteral("DaVinciResolveScript could not be loaded: fusionscript could not be loaded"));
    QVERIFY(link.bridgeRunning());
    const ResolveProfile profile = rig->profile();
    QCOMPARE(rig->fake.environmentSeen(), (QJsonObject{{"RESOLVE_SCRIPT_API", profile.scriptApi},
                                                       {"RESOLVE_SCRIPT_LIB", profile.scriptLib},
                                                       {"PYTHONPATH", profile.pythonPath},
                                                       {"PYTHONUNBUFFERED", "1"}}));
}

void TestResolveLink::realBridgeFollowsResolveComingAndGoing() {
    // An answering Resolve, with some of its answers changed.
    const auto control = [this](const QJsonObject& changes) {
        QJsonObject control{{"mode", "answer"}, {"product", "DaVinci Resolve"}, {"version", "18.6.6"}};
        for (auto change = changes.begin(); change != changes.end(); ++change) {
            control.insert(change.key(), change.value());
        }
        rig->fake.setControl(control);
    };
    control({});
    ResolveLink& link = rig->start({100ms, 3s, 200ms}, true);
    QTRY_COMPARE_WITH_TIMEOUT(link.health(), Health::connected("DaVinci Resolve", "18.6.6"), 10000);
    QCOMPARE(link.project(), QStringLiteral("Untitled Project"));
    QVERIFY(QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig->fake.refreshCount(), 1);

    // Resolve answers the refresh with something other than True.
    control({{"refresh_result", "yes"}});
    QVERIFY(!QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig->fake.refreshCount(), 2);
    // No project open: nothing to refresh.
    control({{"project", QJsonValue()}});
    QVERIFY(!QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig->fake.refreshCount(), 2);

    rig->fake.setControl({{"mode", "refuse"}});
    QTRY_COMPARE_WITH_TIMEOUT(link.health(), Health::resolveNotRunning(), 5000);
    QVERIFY(!QCoro::waitFor(link.refreshLUTs()));

    // A call that raises is one bad request; the bridge answers the next one.
    rig->fake.setControl({{"mode", "raise"}});
    const ResolveLink::Reply raised = QCoro::waitFor(link.send(QStringLiteral("status")));
    QVERIFY(raised.ok());
    QCOMPARE(raised.object().value("ok"), QJsonValue(false));
    QCOMPARE(link.health(), Health::resolveNotRunning());

    control({{"project", "Back Again"}, {"version", "19.0"}});
    QTRY_COMPARE_WITH_TIMEOUT(link.health(), Health::connected("DaVinci Resolve", "19.0"), 5000);
    QCOMPARE(link.project(), QStringLiteral("Back Again"));
    QVERIFY(QCoro::waitFor(link.refreshLUTs()));
    QCOMPARE(rig->fake.refreshCount(), 3);
    // All of it went through one bridge process.
    QCOMPARE(rig->fake.calls().count(QStringLiteral("import")), 1);
}

void TestResolveLink::realBridgeSurvivesBadRequests() {
    // What the scripting module prints must not end up among the replies.
    rig->fake.setControl(QJsonObject{{"mode", "answer"}, {"chatty", true}});
    const ResolveProfile profile = rig->profile();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RESOLVE_SCRIPT_LIB"), profile.scriptLib);
    environment.insert(QStringLiteral("PYTHONPATH"), profile.pythonPath);
    // The bridge ends normally once its input ends.
    const QByteArray output =
        runProgram(QStringLiteral(TONEWHARF_PYTHON3),
                   {QStringLiteral(TONEWHARF_RESOURCE_DIR "/tintara_resolve_bridge.py")},
                   "not json\n[1,2,3]\n\xff\xfe\n\n"
                   "{\"id\":\"7\",\"cmd\":\"status\",\"args\":{}}\n"
                   "{\"id\":true,\"cmd\":\"status\",\"args\":{}}\n"
                   "{\"id\":1,\"cmd\":\"status\",\"args\":[]}\n"
                   "{\"id\":2,\"cmd\":\"launch_missiles\",\"args\":{}}\n"
                   "{\"id\":3,\"cmd\":\"status\"}\n"
                   "{\"id\":4,\"cmd\":\"refresh_luts\",\"args\":{}}\n",
                   environment);
    QVERIFY(!output.isNull());

    // Four replies, each a whole line, with the ids of the four well-formed requests.
    const QList<QByteArray> lines = output.split('\n');
    QCOMPARE(lines.size(), 5);
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
    QCOMPARE(rig->fake.refreshCount(), 1);
}

void TestResolveLink::realBridgeSurvivesCommandsThatAreNotText() {
    // A "cmd" list or object is answered as a bad request; JSON nested too deep to read is dropped.
    const QByteArray output =
        runProgram(QStringLiteral(TONEWHARF_PYTHON3),
                   {QStringLiteral(TONEWHARF_RESOURCE_DIR "/tintara_resolve_bridge.py")},
                   R"({"id":1,"cmd":["status"]})"
                   "\n"
                   R"({"id":2,"cmd":{"a":1}})"
                   "\n" +
                       QByteArray(100000, '[') +
                       "\n"
                       R"({"id":3,"cmd":"nothing"})"
                       "\n");
    QStringList codes;
    for (const QByteArray& line : output.trimmed().split('\n')) {
        const QJsonObject reply = QJsonDocument::fromJson(line).object();
        codes.append(
            QStringLiteral("%1 %2").arg(reply.value("id").toInt()).arg(reply.value("code").toString()));
    }
    QCOMPARE(codes, QStringList({"1 bad_request", "2 bad_request", "3 unknown_command"}));
}

void TestResolveLink::realBridgeHangingCallTimesOut() {
    rig->fake.setControl(QJsonObject{{"mode", "hang"}, {"hang_seconds", 60}});
    ResolveLink& link = rig->start({1h, 400ms, 1h}, true);
    QTRY_VERIFY_WITH_TIMEOUT(rig->fake.calls().contains(QStringLiteral("scriptapp")), 10000);
    QCOMPARE(QCoro::waitFor(link.send(QStringLiteral("status"))).error(), LinkError::timeout);
    // A poll that never gets its answer leaves the health as it was.
    QCOMPARE(link.health(), Health::starting());
    QVERIFY(link.bridgeRunning());
}

void TestResolveLink::runningCheckReadsProcLayout_data() {
    // "<name>" for an empty folder, "<name>=<exe target>" for a link, "@" for the test's folder
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<bool>("running");

    const QString resolve = QStringLiteral("@/resolve/bin/resolve");
    QTest::newRow("a process whose executable is Resolve is found past entries without a readable one")
        << QStringList{"1=/usr/lib/systemd/systemd", "2", "3=", "4242=" + resolve} << true;
    QTest::newRow("Resolve replaced on disk while it runs still counts")
        << QStringList{"4242=" + resolve + " (deleted)"} << true;
    QTest::newRow("other executables and entries that are not process ids do not count")
        << QStringList{"1=/usr/bin/sleep", "2=" + resolve + "d",     "3=/resolve/bin/resolve",
                       "self=" + resolve,  "thread-self=" + resolve, "12a=" + resolve}
        << false;
}

void TestResolveLink::runningCheckReadsProcLayout() {
    QFETCH(QStringList, entries);
    QFETCH(bool, running);

    const QString proc = rig->dir.filePath(QStringLiteral("proc"));
    for (const QString& entry : entries) {
        const QString folder = proc + QLatin1Char('/') + entry.section(QLatin1Char('='), 0, 0);
        QVERIFY(QDir().mkpath(folder));
        const QString target =
            entry.section(QLatin1Char('='), 1).replace(QStringLiteral("@"), rig->dir.path());
        QVERIFY(target.isEmpty() || QFile::link(target, folder + QStringLiteral("/exe")));
    }
    QCOMPARE(ProcRunningApplications(proc).isResolveRunning(rig->profile()), running);
}

void TestResolveLink::runningCheckFindsRealProcess() {
    // The status rows find a running fake Resolve by its installed path; named through a symbolic
    // link, the installation is still recognised.
    QVERIFY(rig->fake.startRunning());
    const QString alias = rig->dir.filePath(QStringLiteral("alias"));
    QVERIFY(QFile::link(rig->fake.root(), alias));
    QVERIFY(ProcRunningApplications().isExecutableRunning(alias + QStringLiteral("/bin/resolve")));
    rig->fake.stopRunning();
    QVERIFY(!ProcRunningApplications().isExecutableRunning(alias + QStringLiteral("/bin/resolve")));
}

QTEST_GUILESS_MAIN(TestResolveLink)
#include "TestResolveLink.moc"
