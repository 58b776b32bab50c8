#include "system/Roads.h"

// The states in which the program holds back: paused, signed out, and with a session the service
// refuses; each left again by a restart as a user would (the setting or the keyring changed). The
// built program driven from outside, all it shows compared with PausedAndSignedOut.transcript.
class TestPausedAndSignedOut : public QObject {
    Q_OBJECT

private slots:
    void holdsBackUntilResumedAndSignedIn() {
        SignedInCloud cloud;
        QVERIFY(cloud.start());
        RunningProgram tonewharf(program, {}, cloud.environment());
        FakeResolveInstallation resolve(tonewharf.path("resolve"));
        QVERIFY(resolve.isValid() && resolve.startRunning() && tonewharf.startSessionBus(true));
        cloud.signIn(tonewharf);
        cloud.record("Early");
        setPaused(tonewharf, true);
        Transcript transcript(tonewharf, resolve, &cloud.service);
        transcript.name(cloud.user, "<ana>");
        QVERIFY(tonewharf.start());
        transcript.step(
            "Started paused: the session is refreshed and the stream subscribed, nothing is listed",
            {"cloud POST /api/realtime"});

        const QString inbox = tonewharf.path("resolve/LUT/Tonewharf/To TINTARA/");
        cloud.record("Later");
        transcript.ask("/v1/luts", json(look("Local")), "a look while paused");
        transcript.park("/v1/inbox?since=0");
        QVERIFY(FileSystem::writeAtomically(inbox + "Day1.cube", cube("Day1")));
        transcript.step(
            "Paused: a look marked on the iPad and one sent over the network are refused; a grade "
            "exported is offered on the network only",
            {"(parked)"});

        QCOMPARE(tonewharf.stop(), std::optional<int>(0));
        setPaused(tonewharf, false);
        QVERIFY(cloud.start(tonewharf, resolve));
        transcript.step("Resumed: both marked looks come down, the grade goes up",
                        {"pushed Day1.cube", "resolve refresh"});

        QCOMPARE(tonewharf.stop(), std::optional<int>(0));
        cloud.signIn(tonewharf, false);
        QVERIFY(tonewharf.start());
        transcript.ask("/v1/hello");
        cloud.record("Unseen");
        transcript.park("/v1/inbox?since=1");
        QVERIFY(FileSystem::writeAtomically(inbox + "Day2.cube", cube("Day2")));
        transcript.step(
            "Signed out: nothing reaches the cloud and hello names no account; a grade exported is "
            "offered on the network",
            {"(parked)"});

        QCOMPARE(tonewharf.stop(), std::optional<int>(0));
        cloud.signIn(tonewharf);
        QVERIFY(cloud.start(tonewharf, resolve));
        transcript.ask("/v1/hello");
        transcript.step(
            "Signed in again: the look marked meanwhile comes down, the grade exported meanwhile goes up",
            {"pushed Day2.cube", "resolve refresh"});

        QCOMPARE(tonewharf.stop(), std::optional<int>(0));
        tonewharf.storeCredential("token", "refused-session");
        QVERIFY(tonewharf.start());
        transcript.step("A session the service refuses is given up", {"auth-refresh"});
        for (const QString account : {"token", "userID", "email"}) {
            transcript.note("keyring " + account + ": " + tonewharf.credential(account).value_or("(none)"));
        }
        transcript.ask("/v1/hello");
        transcript.step("The keyring holds no session any more");
        QVERIFY(transcript.matches("PausedAndSignedOut"));
    }
};

QTEST_GUILESS_MAIN(TestPausedAndSignedOut)
#include "TestPausedAndSignedOut.moc"
