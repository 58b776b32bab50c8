#include "cloud/CloudStore.h"
#include "cloud/CredentialService.h"
#include "platform/FileSystem.h"
#include "platform/linux/SecretServiceCredentialStore.h"
#include "support/CloudTestService.h"
#include "support/RunProgram.h"
#include "support/RunningProgram.h"
#include "support/fake_resolve/FakeResolve.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTest>

#include <QCoroTask>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

const QString program = QStringLiteral(TONEWHARF_BUILD_DIR "/tonewharf");
const QString keyringService = QStringLiteral("com.quillfen.tonewharf.cloud");

QByteArray cube(const QString& name, int lines = 8) {
    QByteArray text = "TITLE \"" + name.toUtf8() + "\"\nLUT_3D_SIZE 2\n";
    for (int i = 0; i < lines; ++i) {
        text += QByteArray::number(i % 2) + " 0.5 " + QByteArray::number(i / 7) + "\n";
    }
    return text;
}

QByteArray lookBody(const QString& name, bool withCdl) {
    QJsonObject body{{"name", name}, {"cube", QString::fromUtf8(cube(name))}};
    if (withCdl) {
        body.insert("look", QJsonObject{{"name", name},
                                        {"space", "rec709"},
                                        {"slope", QJsonArray{1.1, 1, 0.9}},
                                        {"offset", QJsonArray{0, 0, 0}},
                                        {"power", QJsonArray{1, 1, 1}},
                                        {"saturation", 1.2}});
    }
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

// curl's status line and body, as an iPad on the network would see them.
QByteArray request(quint16 port, const QString& path, const QByteArray& body = {}) {
    QStringList arguments{"-s", "-i", "--max-time", "20", u"http://127.0.0.1:%1%2"_s.arg(port).arg(path)};
    if (!body.isNull()) {
        arguments << "-H"
                  << "Content-Type: application/json"
                  << "--data-binary"
                  << "@-";
    }
    return runProgram("curl", arguments, body);
}

bool waitForFile(const QString& path, int timeoutMs = 15000) {
    return QTest::qWaitFor([&] { return QFileInfo(path).size() > 0; }, timeoutMs);
}

} // namespace

// The built program as a process of its own, reached only from outside: its port, its folders,
// the test cloud service and a fake Resolve.
class TestRoads : public QObject {
    Q_OBJECT

    std::unique_ptr<CloudTestService> m_service;

    // A program whose keyring holds a session of a new user of the test service.
    std::unique_ptr<RunningProgram> signedInProgram() {
        if (qEnvironmentVariableIsEmpty("TONEWHARF_TEST_KEYRING")) {
            return nullptr;
        }
        m_service = std::make_unique<CloudTestService>();
        if (!m_service->start()) {
            return nullptr;
        }
        m_service->createUser("ana@example.com", "secret");
        CloudStore signIn(m_service->baseUrl(), std::make_shared<InMemoryCredentialStore>());
        if (!QCoro::waitFor(signIn.signIn("ana@example.com", "secret"))) {
            return nullptr;
        }
        SecretServiceCredentialStore keyring;
        keyring.write(keyringService, "token", signIn.token());
        keyring.write(keyringService, "userID", signIn.userID());
        keyring.write(keyringService, "email", signIn.email());
        QProcessEnvironment environment;
        environment.insert("TONEWHARF_CLOUD_URL", m_service->baseUrl().toString());
        environment.insert("DBUS_SESSION_BUS_ADDRESS", qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
        return std::make_unique<RunningProgram>(program, QStringList{}, environment);
    }

    QString createRecord(const QString& name, bool withLook) {
        QJsonObject fields{{"name", name}, {"resolve", true}};
        if (withLook) {
            fields.insert("look", QJsonDocument::fromJson(lookBody(name, true)).object()["look"]);
        }
        const QJsonObject body{{"collection", "tintara_luts"},
                               {"fields", fields},
                               {"fileName", name + ".cube"},
                               {"fileBase64", QString::fromLatin1(cube(name, 4000).toBase64())}};
        return m_service->control("POST", "/_test/records", body).toObject()["id"].toString();
    }

    QStringList requests(const QString& method, const QString& pathPart) {
        QStringList found;
        for (const QJsonValue& request : m_service->requests()) {
            if (request["method"] == method && request["path"].toString().contains(pathPart)) {
                found << request["path"].toString();
            }
        }
        return found;
    }

private slots:
    void cleanup() {
        if (!qEnvironmentVariableIsEmpty("TONEWHARF_TEST_KEYRING")) {
            SecretServiceCredentialStore keyring;
            for (const char* account : {"token", "userID", "email"}) {
                keyring.write(keyringService, account, std::nullopt);
            }
        }
        m_service.reset();
    }

    void iPadToResolveOverTheLocalNetwork() {
        RunningProgram tonewharf(program);
        FakeResolveInstallation resolve(tonewharf.path("resolve"));
        QVERIFY2(resolve.isValid(), qPrintable(resolve.problem()));
        QVERIFY(resolve.startRunning());
        QVERIFY(tonewharf.start());
        const std::optional<quint16> port = tonewharf.waitForListeningPort();
        QVERIFY(port);
        const QString lut = tonewharf.path("resolve/LUT/Tonewharf/");
        // Resolve is asked to refresh only once the bridge has reached it.
        QTRY_VERIFY_WITH_TIMEOUT(resolve.calls().contains("scriptapp"), 10000);
        QTest::qWait(1000);

        QVERIFY(request(*port, "/v1/luts", lookBody("Warm", true)).startsWith("HTTP/1.1 200"));
        QCOMPARE(FileSystem::readAll(lut + "Warm.cube"), cube("Warm"));
        QVERIFY(QFileInfo(lut + "Looks/Warm.drx").size() > 0);
        QTRY_COMPARE_WITH_TIMEOUT(resolve.refreshCount(), 1, 10000);
        QVERIFY(request(*port, "/v1/luts", lookBody("Warm", true)).startsWith("HTTP/1.1 200"));
        QVERIFY(request(*port, "/v1/luts", lookBody("Plain", false)).startsWith("HTTP/1.1 200"));
        QVERIFY(QFile::exists(lut + "Plain.cube") && !QFile::exists(lut + "Looks/Plain.drx"));
        QTRY_COMPARE_WITH_TIMEOUT(resolve.refreshCount(), 2, 10000); // the same look again asked nothing

        // Paused, after a restart that keeps the setting: refused, and nothing written.
        QCOMPARE(tonewharf.stop(), std::optional<int>(0));
        QSettings(tonewharf.path("home/.config/quillfen/Tonewharf.conf"), QSettings::IniFormat)
            .setValue("tonewharf.paused", true);
        QVERIFY(tonewharf.start());
        const std::optional<quint16> again = tonewharf.waitForListeningPort();
        QVERIFY(again);
        QVERIFY(request(*again, "/v1/luts", lookBody("Later", false)).startsWith("HTTP/1.1 500"));
        QVERIFY(!QFile::exists(lut + "Later.cube"));
    }

    void iPadToResolveThroughTheCloudAndBack() {
        const std::unique_ptr<RunningProgram> tonewharf = signedInProgram();
        if (!tonewharf) {
            QSKIP("needs the throwaway keyring and the test cloud service of scripts/test.sh");
        }
        createRecord("Warm", true);
        const QString cool = createRecord("Cool", false);
        QVERIFY(tonewharf->start());
        const QString lut = tonewharf->path("resolve/LUT/Tonewharf/");
        QVERIFY(waitForFile(lut + "Warm.cube") && waitForFile(lut + "Looks/Warm.drx") &&
                waitForFile(lut + "Cool.cube"));
        QCOMPARE(FileSystem::readAll(lut + "Warm.cube"), cube("Warm", 4000));

        // A record marked on the iPad arrives through the realtime stream; a look deleted from
        // the folder is reported back when its record next changes.
        QTRY_VERIFY_WITH_TIMEOUT(!m_service->control("GET", "/_test/realtime/clients").toArray().isEmpty(),
                                 10000);
        createRecord("Fresh", false);
        QVERIFY(waitForFile(lut + "Fresh.cube"));
        QVERIFY(QFile::remove(lut + "Cool.cube"));
        m_service->control("PATCH", "/_test/records/tintara_luts/" + cool, QJsonObject{{"name", "Cool"}});
        QTRY_COMPARE_WITH_TIMEOUT(requests("PATCH", "/records/" + cool).size(), 1, 10000);
        QTest::qWait(500);
        QVERIFY(!QFile::exists(lut + "Cool.cube"));

        // Resolve to iPad: a grade exported into the inbox wakes a parked long-poll, can be
        // downloaded, and goes up once; exporting the same grade again sends nothing.
        const std::optional<quint16> port = tonewharf->waitForListeningPort();
        QVERIFY(port);
        QProcess parked;
        parked.start("curl",
                     {"-s", "--max-time", "20", u"http://127.0.0.1:%1/v1/inbox?since=0"_s.arg(*port)});
        QTest::qWait(300);
        const QString inbox = lut + "To TINTARA/";
        for (int time = 0; time < 2; ++time) {
            QVERIFY(FileSystem::writeAtomically(inbox + ".Day2.cube.part", cube("Day2")));
            QVERIFY(QFile::rename(inbox + ".Day2.cube.part", inbox + "Day2.cube") ||
                    (QFile::remove(inbox + "Day2.cube") &&
                     QFile::rename(inbox + ".Day2.cube.part", inbox + "Day2.cube")));
            if (time == 0) {
                QVERIFY(parked.waitForFinished(10000));
                const QJsonObject listing = QJsonDocument::fromJson(parked.readAllStandardOutput()).object();
                QCOMPARE(listing["items"][0]["name"].toString(), u"Day2.cube"_s);
                QVERIFY(request(*port, "/v1/inbox/Day2.cube").endsWith(cube("Day2")));
                QTRY_COMPARE_WITH_TIMEOUT(requests("POST", "/api/collections/tintara_luts/records").size(), 1,
                                          10000);
            }
        }
        QTest::qWait(2500); // the watcher's settle and a scan
        QCOMPARE(requests("POST", "/api/collections/tintara_luts/records").size(), 1);

        // A restart keeps the session and the ledger: it lists, and downloads nothing again.
        QCOMPARE(tonewharf->stop(), std::optional<int>(0));
        m_service->clearRequests();
        QVERIFY(tonewharf->start());
        QTRY_VERIFY_WITH_TIMEOUT(!requests("GET", "/api/collections/tintara_luts/records").isEmpty(), 10000);
        QTest::qWait(1000);
        QCOMPARE(requests("GET", "/api/files/"), QStringList());
        QCOMPARE(requests("POST", "/api/collections/tintara_luts/records"), QStringList());
    }

    void killedDuringABurstLeavesOnlyWholeFiles() {
        const std::unique_ptr<RunningProgram> tonewharf = signedInProgram();
        if (!tonewharf) {
            QSKIP("needs the throwaway keyring and the test cloud service of scripts/test.sh");
        }
        QMap<QString, QString> names; // record id -> look name
        for (int i = 0; i < 40; ++i) {
            const QString name = u"Look %1"_s.arg(i);
            names.insert(createRecord(name, false), name);
        }
        QVERIFY(tonewharf->start());
        const QString lut = tonewharf->path("resolve/LUT/Tonewharf/");
        QVERIFY(waitForFile(lut + "Look 0.cube"));
        ::kill(pid_t(tonewharf->process().processId()), SIGKILL);
        QVERIFY(tonewharf->process().waitForFinished(5000));

        for (const QString& entry :
             QDir(lut).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (entry != "To TINTARA" && entry != "Looks") {
                QVERIFY2(entry.endsWith(".cube"), qPrintable(entry));
                QCOMPARE(FileSystem::readAll(lut + entry), cube(entry.chopped(5), 4000));
            }
        }
        const QByteArray ledger =
            FileSystem::readAll(tonewharf->path("home/.local/share/Tonewharf/ledger.json")).value_or("{}");
        const QJsonObject pulled = QJsonDocument::fromJson(ledger).object()["pulled"].toObject();
        for (const QString& id : pulled.keys()) {
            const QString fileName = pulled[id].toObject()["fileName"].toString();
            QCOMPARE(fileName, names.value(id) + ".cube");
            QVERIFY(QFile::exists(lut + fileName));
        }
    }
};

QTEST_GUILESS_MAIN(TestRoads)
#include "TestRoads.moc"
