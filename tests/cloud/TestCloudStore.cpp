#include "cloud/CloudService.h"
#include "cloud/CloudStore.h"
#include "cloud/CredentialService.h"
#include "platform/FileSystem.h"
#include "support/CloudTestService.h"

#include <QCoroTask>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const auto header = &CloudTestService::header;
const auto bodyOf = &CloudTestService::body;

const QString serviceName = u"tonewharf.test.cloud"_s;
const QString recordsPath = u"/api/collections/tintara_luts/records"_s;

LUTLook warmLook() {
    return {u"Warm"_s, u"rec709"_s, {1.1, 1.0, 0.9}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.0}, 1.2, 1.05, {}, {}};
}

QString line(const QJsonValue& request) {
    const QString query = request["query"].toString();
    return request["method"].toString() + u' ' + request["path"].toString() +
           (query.isEmpty() ? u""_s : u'?' + query);
}

} // namespace

// The records client and the session against the PocketBase-compatible test service.
class TestCloudStore : public QObject {
    Q_OBJECT

    CloudTestService m_service;
    QTemporaryDir m_folder;
    std::shared_ptr<InMemoryCredentialStore> m_credentials;

    std::unique_ptr<CloudStore> store(std::optional<QString> token = u"tok-1"_s, QUrl base = {},
                                      std::chrono::milliseconds timeout = CloudStore::requestTimeout) {
        m_credentials->write(serviceName, u"token"_s, token);
        m_credentials->write(serviceName, u"userID"_s, u"owner-7"_s);
        return std::make_unique<CloudStore>(base.isEmpty() ? m_service.baseUrl() : base, m_credentials,
                                            timeout);
    }

    // The next `count` requests under `path` get this answer, or are stalled or closed (`kind`).
    void answer(const QString& path, int status, const QByteArray& body, const QString& kind = u"-"_s,
                int count = 1) {
        QJsonObject failure{{u"path"_s, path}, {u"status"_s, status}, {u"count"_s, count}, {kind, true}};
        failure.insert(u"bodyBase64"_s, QString::fromLatin1(body.toBase64()));
        m_service.control("POST", u"/_test/fail"_s, failure);
    }

    QJsonObject onlyRequest() {
        const QJsonArray requests = m_service.requests();
        m_service.clearRequests();
        return requests.size() == 1 ? requests.first().toObject() : QJsonObject{};
    }

private slots:
    void takesTheBaseUrlFromTheEnvironment_data() {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a self-hosted service with a path, surrounding spaces ignored")
            << QByteArray("  http://127.0.0.1:8090/pb \n") << "http://127.0.0.1:8090/pb";
        QTest::newRow("a scheme other than http keeps the built-in service")
            << QByteArray("ftp://127.0.0.1/pb") << CloudService::defaultUrl;
    }

    void takesTheBaseUrlFromTheEnvironment() {
        QFETCH(QByteArray, variable);
        const QByteArray kept = qgetenv(CloudService::environmentVariable);
        qputenv(CloudService::environmentVariable, variable);
        const QUrl url = CloudService::baseUrl();
        qputenv(CloudService::environmentVariable, kept);
        QTEST(url.toString(), "expected");
    }

    // Nothing is sent for an upload without a user or without a readable file.
    void refusesUploadsItCannotMake() {
        const QString path = m_folder.filePath(u"b.cube"_s);
        QVERIFY(FileSystem::writeAtomically(path, "b"));
        auto cloud = store();
        m_credentials->write(serviceName, u"userID"_s, std::nullopt);
        CloudStore anonymous(m_service.baseUrl(), m_credentials, CloudStore::requestTimeout);
        QCOMPARE(QCoro::waitFor(anonymous.uploadLUT(u"B"_s, path)), std::nullopt);
        QCOMPARE(QCoro::waitFor(anonymous.uploadLUT(u"B"_s, u"b.cube"_s, QByteArray("b"))).record,
                 std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"B"_s, m_folder.filePath(u"missing"_s))), std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"B"_s, m_folder.path())), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);
    }
    void initTestCase() {
        QVERIFY(m_service.start());
        CredentialService::setName(serviceName);
    }

    void init() {
        m_credentials = std::make_shared<InMemoryCredentialStore>();
        m_service.control("DELETE", u"/_test/fail"_s);
        m_service.clearRequests();
    }

    void signsInRefreshesAndSignsOut() {
        m_service.createUser(u"Ada.Lovelace@Example.com"_s, u" pass word\n"_s);
        CloudStore cloud(m_service.baseUrl(), m_credentials);
        QVERIFY(QCoro::waitFor(cloud.signIn(u"  ADA.lovelace@example.COM \n"_s, u" pass word\n"_s)));
        const QJsonObject request = onlyRequest();
        QCOMPARE(header(request, "authorization"), u"(absent)"_s);
        QCOMPARE(QJsonDocument::fromJson(bodyOf(request)).object(),
                 QJsonObject({{"identity", "ada.lovelace@example.com"}, {"password", " pass word\n"}}));
        // A refresh sends the session's token and keeps the new one.
        const std::optional<QString> oldToken = cloud.token();
        QCOMPARE(QCoro::waitFor(cloud.refresh()), RefreshOutcome::refreshed);
        QCOMPARE(header(onlyRequest(), "authorization"), u"Bearer "_s + oldToken.value_or(u""_s));
        QVERIFY(cloud.token() != oldToken);
        QCOMPARE(m_credentials->read(serviceName, u"token"_s), cloud.token());
    }

    void reportsFailedAnswers_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // how the status text starts, or a refresh's outcome
        const QByteArray auth = R"({"token":"t","record":{"id":"i","email":"e"}})";
        QTest::newRow("a sign-in answered 201 is not recognized")
            << "signIn" << 201 << auth << "Email or password not recognized";
        QTest::newRow("a refresh answered 499 is rejected") << "refresh" << 499 << QByteArray() << "rejected";
        QTest::newRow("a refresh answered 500 is unavailable") << "refresh" << 500 << auth << "unavailable";
        QTest::newRow("a 400 naming a field reports the field and its message")
            << "list" << 400 << QByteArray(R"({"message":"M","data":{"look":{"message":"V"}}})") << "look: V";
        QTest::newRow("a 403 whose field message is empty falls back to the top-level message")
            << "list" << 403 << QByteArray(R"({"message":"Only.","data":{"owner":{"message":""}}})")
            << "Only.";
        QTest::newRow("a 201 with a valid listing is still a failure")
            << "list" << 201 << QByteArray(R"({"items":[]})") << "Request failed";
        QTest::newRow("an upload answered 201 with a valid record is not success")
            << "upload" << 201 << QByteArray(R"({"id":"a","name":"A","file":"a.cube"})")
            << "Could not upload the LUT";
    }

    // Whatever fails, the session stays as it was.
    void reportsFailedAnswers() {
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        answer(u"/api/collections/"_s, status, body);
        auto cloud = store(u"old-token"_s);
        QString seen;
        if (operation == u"refresh") {
            seen = QStringList{u"refreshed"_s, u"rejected"_s,
                               u"unavailable"_s}[int(QCoro::waitFor(cloud->refresh()))];
        } else if (operation == u"signIn") {
            QVERIFY(!QCoro::waitFor(cloud->signIn(u"grace@example.com"_s, u"hopper"_s)));
        } else if (operation == u"list") {
            QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        } else {
            QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"C"_s, u"c.cube"_s, "c")).record, std::nullopt);
        }
        seen += cloud->status();
        QFETCH(QString, expected);
        QVERIFY2(seen.startsWith(expected), qPrintable(seen));
        QCOMPARE(m_credentials->read(serviceName, u"token"_s), std::optional<QString>(u"old-token"_s));
    }

    // What goes up comes back whole: a file's bytes, and every field of a replacement.
    void carriesRecordsBothWays() {
        const QByteArray content("TITLE \"Warm\"\r\nLUT_3D_SIZE 2\n\0\xff binary", 37);
        const QString path = m_folder.filePath(u"Warm Day.cube"_s);
        QVERIFY(FileSystem::writeAtomically(path, content));
        auto cloud = store(u"tok-up"_s);
        const std::optional<LUTRecord> created = QCoro::waitFor(cloud->uploadLUT(u"Warm"_s, path));
        QVERIFY(created.has_value());
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(*created)), std::optional<QByteArray>(content));

        // A replacement with every field: the listing shows what the service made of each.
        const std::optional<LUTRecord> replaced = QCoro::waitFor(
            cloud->uploadLUT(u"Warm"_s, path, -33, created->id, false, u"resolve"_s, warmLook()));
        QVERIFY(replaced.has_value());
        const std::optional<QList<LUTRecord>> records = QCoro::waitFor(cloud->listRecords());
        QVERIFY(records.has_value() && !records->isEmpty());
        QCOMPARE(records->last(),
                 (LUTRecord{created->id, u"Warm"_s, replaced->file, -33, false, u"resolve"_s, warmLook()}));
    }

    void keepsTheBasePathAndEncodesFileNames() {
        QUrl base = m_service.baseUrl();
        base.setPath(u"/self hosted/"_s);
        auto cloud = store(u"tok"_s, base);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        QCOMPARE(line(onlyRequest()), u"GET /self%20hosted"_s + recordsPath + u"?perPage=200&sort=created"_s);
        QCOMPARE(cloud->status(), u"The requested resource wasn't found."_s); // the service's 404 message
        // A failed download leaves the status alone; the name stays inside the path.
        const LUTRecord record{u"r1"_s, u"R"_s, u"Warm Day 100%?#.cube"_s, {}, {}, {}, {}};
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(record)), std::nullopt);
        QCOMPARE(line(onlyRequest()),
                 u"GET /self%20hosted/api/files/tintara_luts/r1/Warm%20Day%20100%25%3F%23.cube"_s);
        QCOMPARE(cloud->status(), u"The requested resource wasn't found."_s);
        // A record id is one segment too: it cannot steer a request to another collection.
        QVERIFY(!QCoro::waitFor(cloud->updateRecord(u"../../users/records/u1"_s, false)));
        QCOMPARE(line(onlyRequest()),
                 u"PATCH /self%20hosted"_s + recordsPath + u"/..%2F..%2Fusers%2Frecords%2Fu1"_s);
    }

    void reportsTransportFailures() {
        answer(u"/"_s, 0, {}, u"stall"_s, 30);
        auto cloud = store(u"tok"_s, {}, 200ms);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        const QString status = cloud->status();
        QCOMPARE(status, u"The request timed out."_s);
        // A refresh that cannot reach the service neither rejects the session nor reports.
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::unavailable);
        cloud->signOut();
        QCOMPARE(QCoro::waitFor(cloud->signIn(u"a@b.c"_s, u"pw"_s)), false);
        QCOMPARE(cloud->status(), status);

        // A client gone while its request is in flight: the request ends abandoned, not waiting for ever.
        m_service.clearRequests();
        cloud = store();
        QCoro::Task<std::optional<QList<LUTRecord>>> pending = cloud->listRecords();
        QTRY_COMPARE(m_service.requests().size(), 1);
        cloud.reset();
        QTest::qWait(200);
        QVERIFY(pending.isReady() && !QCoro::waitFor(pending).has_value());
    }

    void nothingSentCanForgeHeadersOrHoldNaN() {
        const QString name = u"Say \"hi\"\r\nX-Forged: 1.cube"_s;
        LUTLook look = warmLook();
        look.pivot = qQNaN(); // JSON cannot spell it: the look is left out
        auto cloud = store();
        QVERIFY(QCoro::waitFor(cloud->uploadLUT(u"Q"_s, name, "q", {}, {}, {}, {}, look)).record);
        QVERIFY(QCoro::waitFor(cloud->uploadLUT(u"Q"_s, name, "q")).record);
        const QJsonArray twice = m_service.requests();
        m_service.clearRequests();
        QVERIFY(
            bodyOf(twice[0]).contains("; filename=\"Say %22hi%22%0D%0AX-Forged: 1.cube\"\r\nContent-Type: "));
        QVERIFY(!bodyOf(twice[0]).contains("name=\"look\""));
        QVERIFY(header(twice[0], "content-type") != header(twice[1], "content-type")); // a boundary each
        QCoro::waitFor(store(u"tok\r\nX-Injected: yes"_s)->listRecords());
        const QJsonObject request = onlyRequest();
        QCOMPARE(header(request, "x-injected") + header(request, "authorization"), u"(absent)(absent)"_s);
    }
};

QTEST_GUILESS_MAIN(TestCloudStore)
#include "TestCloudStore.moc"
