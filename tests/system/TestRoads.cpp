#include "platform/FileSystem.h"
#include "support/CloudTestService.h"
#include "support/RunningProgram.h"
#include "support/Transcript.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QDBusReply>
#include <QDBusVariant>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTest>

#include <csignal>

namespace {

// A small .cube; another variant has other bytes.
QByteArray cube(const QString& title, int variant = 0) {
    QByteArray text = "TITLE \"" + title.toUtf8() + "\"\nLUT_3D_SIZE 2\n";
    for (int i = 0; i < 8; ++i) {
        text += QByteArray::number(i % 2) + " 0.5 " + QByteArray::number((i + variant) % 3) + "\n";
    }
    return text;
}

// A look as an iPad sends it over the network; with a slope, it carries CDL values.
QByteArray look(const QString& name, double slope = 0) {
    QJsonObject body{{"name", name}, {"cube", QString::fromUtf8(cube(name.section(u'/', -1)))}};
    if (slope > 0) {
        body["look"] =
            QJsonDocument::fromJson(QStringLiteral(R"({"name":"%1","space":"rec709","slope":[%2,1,0.9],
            "offset":[0,0,0],"power":[1,1,1],"saturation":1.2})")
                                        .arg(name)
                                        .arg(slope)
                                        .toUtf8())
                .object();
    }
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

// The cloud at the test service; for the bridge, values that must not reach Resolve's module.
QProcessEnvironment environment(const QUrl& cloud) {
    QProcessEnvironment environment;
    environment.insert("TONEWHARF_CLOUD_URL", cloud.toString());
    environment.insert("PYTHONPATH", "/nonexistent/inherited");
    environment.insert("RESOLVE_SCRIPT_LIB", "/nonexistent/fusionscript.so");
    return environment;
}

// The built program, reached only from outside, with a fake Resolve (running, and answering unless
// told otherwise) and the test cloud service with one user, ana, whose session the scenario puts in
// the program's keyring or takes out; and the transcript of all of it.
struct Road {
    CloudTestService service;
    const QJsonValue ana =
        service.start() ? service.control("POST", "/_test/users",
                                          QJsonObject{{"email", "ana@example.com"}, {"password", "secret"}})
                        : QJsonValue();
    RunningProgram tonewharf{
        QStringLiteral(TONEWHARF_BUILD_DIR "/tonewharf"), {}, environment(service.baseUrl())};
    FakeResolveInstallation resolve{tonewharf.path("resolve")};
    Transcript transcript{tonewharf, resolve, &service};
    const QString inbox = tonewharf.path("resolve/LUT/Tonewharf/To TINTARA/");

    bool ready() {
        return ana.isObject() && resolve.isValid() && resolve.startRunning() &&
               tonewharf.startSessionWithKeyring();
    }
    void signIn(bool signedIn = true) {
        for (const QString account : {"token", "id", "email"}) {
            tonewharf.storeCredential(account == "id" ? "userID" : account,
                                      signedIn ? std::optional(ana[account].toString()) : std::nullopt);
        }
    }
    void setPaused(bool paused) {
        QSettings(tonewharf.path("home/.config/quillfen/Tonewharf.conf"), QSettings::IniFormat)
            .setValue("tonewharf.paused", paused);
    }
    // Resolve as the menu shows it, through the program's interface on its session bus.
    QString resolveHealth() const {
        return QDBusReply<QDBusVariant>(tonewharf.call("Get", {"com.quillfen.Tonewharf1", "ResolveHealth"},
                                                       "org.freedesktop.DBus.Properties"))
            .value()
            .variant()
            .toString();
    }
    // Waits until the menu shows Resolve other than as `before`, and no longer connecting: the
    // bridge's status poll, every 5 s, has found it so.
    bool resolveLeaves(const QString& before) const {
        return QTest::qWaitFor(
            [&] {
                const QString now = resolveHealth();
                return !now.isEmpty() && now != before && now != "Connecting…";
            },
            20000);
    }
    // Holds the service until the bridge has reached Resolve, so that the first sync finds Resolve
    // ready to refresh however loaded the machine is.
    bool start() {
        service.hold(true);
        const bool started = tonewharf.start() && resolveLeaves({});
        service.hold(false);
        return started;
    }
    bool restart() { return tonewharf.stop() == 0 && start(); }
    // A look on the iPad, marked for Resolve unless told otherwise; its record id.
    QString record(const QString& name, bool withLook = false, bool marked = true,
                   const QByteArray& bytes = {}) {
        QJsonObject fields{{"name", name}, {"resolve", marked}};
        if (withLook) {
            fields["look"] = QJsonDocument::fromJson(look(name, 1.1))["look"].toObject();
        }
        const QJsonObject body{
            {"collection", "tintara_luts"},
            {"fields", fields},
            {"fileName", name + ".cube"},
            {"fileBase64", QString::fromLatin1((bytes.isNull() ? cube(name, 1) : bytes).toBase64())}};
        return service.control("POST", "/_test/records", body)["id"].toString();
    }
    bool exported(const QString& name, int variant = 0) {
        return FileSystem::writeAtomically(inbox + name, cube(name, variant)).ok;
    }
};

} // namespace

// Scenarios of a user's day, each step named for what it is there to show; everything the program
// showed is compared with tests/system/<Scenario>.transcript (see the README to rewrite them).
class TestRoads : public QObject {
    Q_OBJECT

private slots:
    void localNetworkRoad() {
        Road road;
        QVERIFY(road.ready());
        road.resolve.stopRunning();
        road.resolve.setControl({{"mode", "unavailable"}}); // its scripting library not there yet
        QVERIFY(road.start());
        Transcript& transcript = road.transcript;
        transcript.ask("/v1/hello");
        transcript.ask("/v1/inbox");
        transcript.step("Started signed out, Resolve installed but its scripting not loadable: the script "
                        "goes in, the inbox "
                        "is empty");

        transcript.ask("/v1/luts", look("Warm", 1.1), "Warm with CDL values");
        transcript.step("A look with CDL values becomes a cube and a still; Resolve is not asked",
                        {"LUT/Looks/Warm.drx"});

        transcript.park("/v1/inbox?since=0");
        for (const QString name : {"b.cube", "Day2.CUBE", "A.cube", ".Hidden.cube", "Day2.txt"}) {
            QVERIFY(road.exported(name));
        }
        QVERIFY(FileSystem::writeAtomically(road.inbox + "Empty.cube", ""));
        transcript.step(
            "Grades in the inbox wake the parked listing, by name; hidden, empty and other files stay out",
            {"(parked)"});
        transcript.ask("/v1/inbox/Day2.CUBE");
        transcript.ask("/v1/inbox/../Warm.cube"); // the look delivered beside the inbox
        transcript.step("An inbox file is served by its name; nothing outside the inbox is");

        // Resolve starts, and its next status poll, within 5 s, loads its scripting and finds it.
        QString before = road.resolveHealth();
        road.resolve.setControl({});
        QVERIFY(road.resolve.startRunning() && road.resolveLeaves(before));
        transcript.ask("/v1/luts", look("Warm", 1.3), "Warm with other CDL values");
        transcript.ask("/v1/luts", look("../../etc/Plain"), "Plain under a path");
        transcript.step(
            "Resolve started: other CDL values rewrite only the still; a new cube goes in by its last "
            "name and Resolve refreshes once",
            {"resolve refresh"});

        transcript.ask("/v1/luts", look("Plain"), "Plain again");
        transcript.ask("/v1/luts", look(".."), "a look named ..");
        transcript.ask("/v1/luts", R"({"name":"Lost"})", "a look without its cube");
        transcript.ask("/v1/luts");
        transcript.step("A look sent again and looks refused change nothing");

        before = road.resolveHealth();
        road.resolve.setControl({{"mode", "refuse"}});
        road.resolve.stopRunning();
        QVERIFY(road.resolveLeaves(before));
        transcript.ask("/v1/luts", look("Cool"), "Cool");
        transcript.step("Resolve quit: a new cube goes in, Resolve is not asked", {"LUT/Cool.cube"});
        QVERIFY(transcript.matches("LocalNetworkRoad"));
        QCOMPARE(road.tonewharf.stop(), std::optional<int>(0));
    }

    void cloudRoad() {
        Road road;
        QVERIFY(road.ready());
        road.signIn();
        const QString warm = road.record("Warm", true);
        const QString cool = road.record("Cool");
        road.record("Idle", false, false);
        const QString older = road.record("Day2.cube", false, false); // a grade sent from elsewhere
        QVERIFY(road.start());
        Transcript& transcript = road.transcript;
        transcript.ask("/v1/hello");
        transcript.step(
            "Started signed in: the session is refreshed, the stream subscribed, the marked looks come "
            "down and Resolve refreshes once",
            {"resolve refresh", "cloud POST /api/realtime"});

        const QString fresh = road.record("Fresh", true);
        transcript.step("A look marked on the iPad comes down through the stream", {"resolve refresh"});

        QVERIFY(QFile::remove(road.tonewharf.path("resolve/LUT/Tonewharf/Cool.cube")));
        road.record("Idle 2", false, false);
        road.service.control("POST", "/_test/records",
                             QJsonObject{{"collection", "tintara_looks"},
                                         {"fields", QJsonObject{{"name", "Elsewhere"}, {"resolve", true}}},
                                         {"fileName", "Elsewhere.cube"}});
        for (const QString& id : {warm, cool}) {
            road.service.control("PATCH", "/_test/records/tintara_luts/" + id, QJsonObject{{"size", 3}});
        }
        road.service.control(
            "PATCH", "/_test/records/tintara_luts/" + fresh,
            QJsonObject{{"fileName", "Fresh.cube"}, {"fileBase64", QString(cube("Fresh", 2).toBase64())}});
        transcript.step(
            "Through the stream, a look not marked, one already delivered and a record of another collection "
            "change nothing; Fresh, "
            "replaced on the iPad, comes down again; Cool, deleted from the LUT folder, is reported back",
            {"cloud PATCH", "resolve refresh"});

        road.service.control("DELETE", "/_test/records/tintara_luts/" + warm);
        transcript.step("A look deleted in the cloud is forgotten; its files stay",
                        {"ledger - pulled <Warm>"});

        transcript.park("/v1/inbox?since=0");
        QVERIFY(road.exported("Day2.cube") && road.exported(".Day2.cube") && road.exported("Day2.txt"));
        transcript.step(
            "A grade exported wakes the parked listing and replaces the cloud's grade of its name; hidden "
            "and other files stay",
            {"(parked)", "pushed Day2.cube"});

        QVERIFY(road.exported("Day2.cube") && road.exported("Day3.cube"));
        transcript.step("The same grade exported again sends nothing; a new one goes up",
                        {"pushed Day3.cube"});

        road.service.control("DELETE", "/_test/records/tintara_luts/" + older);
        QVERIFY(road.exported("Day2.cube", 1) && QFile::remove(road.inbox + "Day3.cube"));
        transcript.step(
            "Day2 with other bytes, its record deleted meanwhile, goes up as a new one; Day3, removed "
            "from the inbox, is forgotten",
            {"ledger ~ pushed Day2.cube"});

        QVERIFY(road.restart());
        transcript.step("Restarted: the session and the ledger hold, nothing goes down or up again",
                        {"cloud GET /api/collections/tintara_luts/records", "cloud POST /api/realtime"});
        QVERIFY(transcript.matches("CloudRoad"));
        QCOMPARE(road.tonewharf.stop(), std::optional<int>(0));
    }

    // The states in which the program holds back, each left again by a restart, as a user would
    // (the setting or the keyring changed).
    void pausedAndSignedOut() {
        Road road;
        QVERIFY(road.ready());
        road.signIn();
        road.record("Early");
        road.setPaused(true);
        QVERIFY(road.start());
        Transcript& transcript = road.transcript;
        transcript.step(
            "Started paused: the session is refreshed and the stream subscribed, nothing is listed",
            {"cloud POST /api/realtime"});

        road.record("Later");
        transcript.ask("/v1/luts", look("Local"), "a look while paused");
        transcript.park("/v1/inbox?since=0");
        QVERIFY(road.exported("Day1.cube"));
        transcript.step(
            "Paused: looks marked on the iPad or sent over the network are refused; a grade exported is "
            "offered on the network only",
            {"(parked)"});

        road.tonewharf.call("SetPaused", {false});
        transcript.step("Resumed: both marked looks come down, the grade goes up",
                        {"pushed Day1.cube", "resolve refresh"});

        road.signIn(false);
        QVERIFY(road.restart());
        transcript.ask("/v1/hello");
        road.record("Unseen");
        transcript.park("/v1/inbox?since=1");
        QVERIFY(road.exported("Day2.cube"));
        transcript.step(
            "Signed out: nothing reaches the cloud and hello names no account; a grade exported is offered "
            "on the network",
            {"(parked)"});

        road.signIn();
        QVERIFY(road.restart());
        transcript.ask("/v1/hello");
        transcript.step(
            "Signed in again: the look marked meanwhile comes down, the grade exported meanwhile goes up",
            {"pushed Day2.cube", "resolve refresh"});

        road.tonewharf.storeCredential("token", "refused-session");
        QVERIFY(road.restart());
        transcript.step("A session the service refuses is given up", {"auth-refresh"});

        QVERIFY(road.restart());
        transcript.ask("/v1/hello");
        transcript.step("Restarted, it is still signed out");
        QVERIFY(transcript.matches("PausedAndSignedOut"));
        QCOMPARE(road.tonewharf.stop(), std::optional<int>(0));
    }

    void killedDuringABurstLeavesOnlyWholeFiles() {
        Road road;
        QVERIFY(road.ready());
        road.signIn();
        QMap<QString, QString> names; // record id -> look name
        for (int i = 0; i < 40; ++i) {
            const QString name = QStringLiteral("Look %1").arg(i);
            names.insert(road.record(name, false, true, cube(name).repeated(500)), name);
        }
        QVERIFY(road.tonewharf.start());
        const QString lut = road.tonewharf.path("resolve/LUT/Tonewharf/");
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(lut + "Look 0.cube"); }, 15000));
        ::kill(pid_t(road.tonewharf.process().processId()), SIGKILL);
        QVERIFY(road.tonewharf.process().waitForFinished(5000));

        for (const QString& entry :
             QDir(lut).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (entry != "To TINTARA" && entry != "Looks") {
                QVERIFY2(entry.endsWith(".cube"), qPrintable(entry));
                QCOMPARE(FileSystem::readAll(lut + entry), cube(entry.chopped(5)).repeated(500));
            }
        }
        const QJsonObject pulled =
            QJsonDocument::fromJson(
                FileSystem::readAll(road.tonewharf.path("home/.local/share/Tonewharf/ledger.json"))
                    .value_or("{}"))
                .object()["pulled"]
                .toObject();
        for (const QString& id : pulled.keys()) {
            const QString fileName = pulled[id].toObject()["fileName"].toString();
            QCOMPARE(fileName, names.value(id) + ".cube");
            QVERIFY(QFile::exists(lut + fileName));
        }
    }
};

QTEST_GUILESS_MAIN(TestRoads)
#include "TestRoads.moc"
