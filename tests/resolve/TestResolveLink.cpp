#include "platform/FileSystem.h"
#include "platform/linux/ProcRunningApplications.h"
#include "resolve/ResolveLink.h"
#include "support/RunProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QCoro/QCoroTask>

#include <QtTest>

using namespace std::chrono_literals;

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

const QString bridgeScript = QStringLiteral(TONEWHARF_RESOURCE_DIR "/tintara_resolve_bridge.py");

// One test's world: a fake Resolve installation, a scripted bridge beside it and the link.
struct Rig {
    QTemporaryDir dir;
    FakeResolveInstallation fake{dir.filePath(QStringLiteral("resolve"))};
    ScriptedBridge scripted{dir.filePath(QStringLiteral("scripted"))};
    const std::shared_ptr<ProcRunningApplications> running = std::make_shared<ProcRunningApplications>();
    std::unique_ptr<ResolveLink> link;

    ResolveProfile profile() const { return fake.profile(dir.filePath(QStringLiteral("home"))); }

    // A started link to the scripted bridge, or with `real` to the shipped bridge script.
    ResolveLink& start(ResolveLinkTiming timing = quick, bool real = false) {
        link = std::make_unique<ResolveLink>(
            profile(), real ? Resources(QStringLiteral(TONEWHARF_RESOURCE_DIR)) : scripted.resources(),
            running, timing);
        link->start();
        return *link;
    }
    qsizetype polls() const {
        return std::ranges::count_if(scripted.requests(),
                                     [](auto& r) { return r.second["cmd"] == "status"; });
    }
};

} // namespace

class TestResolveLink : public QObject {
    Q_OBJECT

    std::unique_ptr<Rig> rig;

private slots:
    void init() {
        rig = std::make_unique<Rig>();
        QVERIFY2(rig->fake.isValid() && rig->scripted.isValid(), qPrintable(rig->fake.problem()));
    }
    void cleanup() { rig.reset(); }

    void startStopsEarly_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<Health>("health");

        QTest::newRow("Resolve not installed") << "not installed" << Health::resolveNotInstalled();
        QTest::newRow("a missing python3 is passed over; one that cannot be launched is not retried")
            << "not a program" << Health::pythonMissing();
    }

    void startStopsEarly() {
        QFETCH(QString, fault);
        QFETCH(Health, health);

        ResolveProfile profile = rig->profile();
        // An executable file that is no program.
        const QString fakePython = rig->dir.filePath(QStringLiteral("python3"));
        QVERIFY(FileSystem::writeAtomically(fakePython, QByteArray(64, '\x07')) &&
                QFile::setPermissions(fakePython, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        if (fault == "not installed") {
            QVERIFY(QFile::remove(rig->fake.binary()));
        } else {
            profile.pythonCandidates = {rig->dir.filePath(QStringLiteral("missing/python3")), fakePython};
        }

        ResolveLink link(profile, rig->scripted.resources(), rig->running, quick);
        QSignalSpy changes(&link, &ResolveLink::healthChanged);
        link.start();
        QTRY_COMPARE(link.health(), health);
        // None of these is retried on its own: at most "starting" came first.
        QTest::qWait(250);
        QVERIFY(changes.size() <= 2);
        QVERIFY(!link.bridgeRunning() && rig->scripted.requests().isEmpty());
        // Requests fail at once, without using an id.
        QCOMPARE(QCoro::waitFor(link.send(QStringLiteral("echo"))).error(), LinkError::notRunning);
        QCOMPARE(link.lastRequestId(), 0);
    }

    // How the link reads status replies; the plain answers of a real bridge are in the tests further down.
    void statusReplies_data() {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("resolveRunning");
        const auto row = [](const char* name, const char* reply, const QString& label, bool running = false) {
            QTest::newRow(name) << object(reply) << label << running;
        };

        row("ok given as a string is not true and falls through to the code",
            R"({"ok":"true","code":"scripting_unavailable","error":"refused","result":{"product":"X"}})",
            "refused");
        row("not connected while Resolve runs means it refuses scripting",
            R"({"ok":false,"code":"not_connected"})", ResolveLink::refusesScriptingMessage, true);
    }

    void statusReplies() {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, label);
        QFETCH(bool, resolveRunning);

        QVERIFY(!resolveRunning || rig->fake.startRunning());
        rig->scripted.setScript(QJsonObject{{"status", QJsonObject{{"reply", reply}}},
                                            {"refresh_luts", ::reply(R"({"ok":true})")}});
        ResolveLink& link = rig->start();
        // The poll asks again only after it has dealt with the previous reply.
        QTRY_VERIFY(rig->scripted.requests().size() >= 2);
        QCOMPARE(link.health().label(), label);
        QCOMPARE(link.project(), QString()); // none of these names a project that is a string
        // Not connected: a refresh is not even asked for.
        QVERIFY(!QCoro::waitFor(link.refreshLUTs()));
    }

    void endedBridgesAreRestartedAndIdsGoOn() {
        // Every bridge answers one status request and then ends.
        rig->scripted.setScript(QJsonObject{{"status", reply(R"({"ok":true})", {{"exit", true}})}});
        ResolveLink& link = rig->start({50ms, 2s, 200ms});
        QTRY_VERIFY(rig->scripted.requests().size() >= 3);
        QTRY_COMPARE(link.health(), Health::resolveNotRunning());

        // Each line a bridge read is one whole request, with the next id, a restart delay after the last.
        const auto requests = rig->scripted.requests();
        for (int i = 0; i < requests.size(); ++i) {
            QCOMPARE(requests[i].second,
                     (QJsonObject{{"id", i + 1}, {"cmd", "status"}, {"args", QJsonObject{}}}));
            QVERIFY(i == 0 || requests[i].first - requests[i - 1].first >= 0.195);
        }
    }

    void repliesThatDoNotCount_data() {
        QTest::addColumn<QJsonObject>("step");
        QTest::addColumn<bool>("answered");

        const char* first = R"({"ok":true,"n":1})";
        QTest::newRow("a reply after the timeout is dropped") << reply(first, {{"delay", 0.9}}) << false;
        QTest::newRow("lines that are not replies are skipped before the reply")
            << reply(first, {{"before", QJsonArray{"not json", "[1,2]", "{}", R"({"id":"1"})",
                                                   R"({"id":1.5})", R"({"id":true})", R"({"id":9999})", ""}}})
            << true;
        QTest::newRow("a long reply within the limit that arrives in two pieces is put together")
            << reply(first, {{"pad", 900 * 1024}, {"split", true}}) << true;
        QTest::newRow("a reply line whose last piece takes it just over the limit is dropped whole")
            << reply(first, {{"pad", 1024 * 1024}, {"split", true}}) << false;
    }

    void repliesThatDoNotCount() {
        QFETCH(QJsonObject, step);
        QFETCH(bool, answered);

        rig->scripted.setScript(QJsonObject{{"echo", step}, {"second", reply(R"({"n":2})")}});
        // No status answers and no second poll get in the way.
        ResolveLink& link = rig->start({1h, answered ? 5000ms : 800ms, 1h});
        QTRY_COMPARE(rig->polls(), 1);

        const ResolveLink::Reply firstReply = QCoro::waitFor(link.send(QStringLiteral("echo")));
        QCOMPARE(firstReply.ok(), answered);
        QVERIFY(answered ? firstReply.object()["id"] == 2 && firstReply.object()["n"] == 1
                         : firstReply.error() == LinkError::timeout);
        // Whatever the bridge still writes for the first request comes before this reply, and must not
        // be taken for it.
        const ResolveLink::Reply second = QCoro::waitFor(link.send(QStringLiteral("second")));
        QCOMPARE(second.object(), (QJsonObject{{"n", 2}, {"id", 3}}));
        QVERIFY(link.bridgeRunning());
    }

    void requestsFailWithNotRunning() {
        // A bridge that ends while requests wait fails all of them with notRunning, not timeout.
        rig->scripted.setScript(QJsonObject{{"quit", QJsonObject{{"exit", true}}}});
        ResolveLink& link = rig->start({1h, 5s, 1h});
        QTRY_COMPARE(rig->polls(), 1);
        auto waiting = link.send(QStringLiteral("echo"));
        QCOMPARE(QCoro::waitFor(link.send(QStringLiteral("quit"))).error(), LinkError::notRunning);
        QCOMPARE(QCoro::waitFor(waiting).error(), LinkError::notRunning);
        QCOMPARE(link.health(), Health::resolveNotRunning());
        QVERIFY(!link.bridgeRunning());

        // A start while a request waits tears the old bridge down and fails the request the same way.
        link.start();
        QTRY_COMPARE(rig->polls(), 2);
        auto torn = link.send(QStringLiteral("echo"));
        link.start();
        QCOMPARE(QCoro::waitFor(torn).error(), LinkError::notRunning);

        // So does destroying the link.
        QTRY_COMPARE(rig->polls(), 3);
        auto orphaned = link.send(QStringLiteral("echo"));
        rig->link.reset();
        QCOMPARE(QCoro::waitFor(orphaned).error(), LinkError::notRunning);
    }

    void waitsAsLongAsToldAndNotifiesOnlyOnChange() {
        rig->scripted.setScript(QJsonObject{
            {"status", reply(R"({"ok":true,"result":{"product":"P","version":"2","project":"A"}})")}});
        ResolveLink& link = rig->start({400ms, 500ms, 1h});
        QSignalSpy healthChanges(&link, &ResolveLink::healthChanged);
        QSignalSpy projectChanges(&link, &ResolveLink::projectChanged);
        // Times as the bridge read the requests: the first may wait for the bridge to start, and a
        // loaded machine may read one later than the next.
        QTRY_VERIFY(rig->scripted.requests().size() >= 3);
        const auto requests = rig->scripted.requests();
        const double interval = requests[2].first - requests[1].first;
        QVERIFY2(interval >= 0.3 && interval < 2.0, qPrintable(QString::number(interval)));
        const auto sent = std::chrono::steady_clock::now();
        QCOMPARE(QCoro::waitFor(link.send(QStringLiteral("unanswered"))).error(), LinkError::timeout);
        const auto waited = std::chrono::steady_clock::now() - sent;
        QVERIFY(waited >= 499ms && waited < 2s);
        // Polls answered alike after the first changed nothing.
        QCOMPARE(link.project(), QStringLiteral("A"));
        QCOMPARE(healthChanges.size() + projectChanges.size(), 2);
    }

    // Resolve coming and going, and the environment the bridge gives the scripting module, are in the
    // system scenarios' transcripts; these are the answers of a running Resolve they do not meet.
    void realBridgeTakesWhatResolveAnswers() {
        rig->fake.setControl({{"refresh_result", "yes"}});
        ResolveLink& link = rig->start({100ms, 3s, 200ms}, true);
        QTRY_COMPARE(link.health(), Health::connected("DaVinci Resolve Studio", "19.1.3.7"));
        QCOMPARE(link.project(), QStringLiteral("Untitled Project"));
        // Resolve answers the refresh with something other than True.
        QVERIFY(!QCoro::waitFor(link.refreshLUTs()));
        QCOMPARE(rig->fake.refreshCount(), 1);

        // A call that raises is one bad request; the bridge answers the next one.
        rig->fake.setControl({{"mode", "raise"}});
        const ResolveLink::Reply raised = QCoro::waitFor(link.send(QStringLiteral("status")));
        QVERIFY(raised.ok() && raised.object()["code"] == "error");

        rig->fake.setControl({{"project", "Back Again"}, {"version", "19.0"}});
        QTRY_COMPARE(link.health(), Health::connected("DaVinci Resolve Studio", "19.0"));
        QCOMPARE(link.project(), QStringLiteral("Back Again"));
    }

    void realBridgeSurvivesBadRequests() {
        // What the scripting module prints must not end up among the replies.
        rig->fake.setControl(QJsonObject{{"mode", "answer"}, {"chatty", true}});
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PYTHONPATH"), rig->profile().pythonPath);
        // Requests without a usable id get no reply; JSON nested too deep to read is dropped. The
        // bridge ends normally once its input ends.
        const QByteArray requests = "not json\n[1,2,3]\n\xff\xfe\n\n" + QByteArray(100000, '[') + R"(
{"id":"7","cmd":"status","args":{}}
{"id":true,"cmd":"status","args":{}}
{"id":1,"cmd":"status","args":[]}
{"id":2,"cmd":"launch_missiles","args":{}}
{"id":3,"cmd":["status"]}
{"id":4,"cmd":"status"}
{"id":5,"cmd":"refresh_luts","args":{}}
)";
        QByteArray replies;
        for (const QByteArray& line :
             runProgram(TONEWHARF_PYTHON3, {bridgeScript}, requests, environment).split('\n')) {
            const QJsonObject reply = QJsonDocument::fromJson(line).object();
            replies += QByteArray::number(reply["id"].toInt()) + reply["code"].toString().toUtf8() + ' ';
        }
        QCOMPARE(replies, "1bad_request 2unknown_command 3bad_request 4 5 0 ");
        QCOMPARE(rig->fake.refreshCount(), 1);
    }
};

QTEST_GUILESS_MAIN(TestResolveLink)
#include "TestResolveLink.moc"
