#include "cloud/CloudService.h"
#include "cloud/CloudStore.h"
#include "cloud/CredentialService.h"
#include "support/CloudTestService.h"

#include <QCoroTask>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

const auto header = &CloudTestService::header;
const auto bodyOf = &CloudTestService::body;

// Not the built-in name, so that a client reading its session from anywhere else shows.
const QString serviceName = u"tonewharf.test.cloud"_s;
const QString recordsPath = u"/api/collections/tintara_luts/records"_s;
const QString notRecognized = u"Email or password not recognized"_s;

LUTLook warmLook() {
    return {u"Warm"_s, u"rec709"_s, {1.1, 1.0, 0.9}, {0.01, 0.0, -0.01}, {1.0, 1.0, 1.0}, 1.2, 1.05, {}, {}};
}

// Method, path and query of a request in one line.
QString line(const QJsonValue& request) {
    const QString query = request["query"].toString();
    return request["method"].toString() + u' ' + request["path"].toString() +
           (query.isEmpty() ? QString() : u'?' + query);
}

} // namespace

// The records client and the session against the PocketBase-compatible test service: every
// request as the service received it, and every kind of answer.
class TestCloudStore : public QObject {
    Q_OBJECT

    CloudTestService m_service;
    QTemporaryDir m_folder;
    std::shared_ptr<InMemoryCredentialStore> m_credentials;

    std::unique_ptr<CloudStore> store(std::optional<QString> token = u"tok-1"_s,
                                      std::optional<QString> userID = u"user-1"_s,
                                      std::chrono::milliseconds timeout = CloudStore::requestTimeout,
                                      QUrl base = {}) {
        m_credentials->write(serviceName, u"token"_s, token);
        m_credentials->write(serviceName, u"userID"_s, userID);
        return std::make_unique<CloudStore>(base.isEmpty() ? m_service.baseUrl() : base, m_credentials,
                                            timeout);
    }

    std::optional<QString> stored(const char* account) {
        return m_credentials->read(serviceName, QLatin1String(account));
    }

    // The next `count` requests under `path` (with `method`, when given) get this answer.
    void answer(const QString& path, int status, const QByteArray& body, const QString& method = {},
                int count = 1) {
        QJsonObject failure{{u"path"_s, path},
                            {u"status"_s, status},
                            {u"count"_s, count},
                            {u"bodyBase64"_s, QString::fromLatin1(body.toBase64())}};
        if (!method.isEmpty()) {
            failure.insert(u"method"_s, method);
        }
        m_service.control("POST", u"/_test/fail"_s, failure);
    }

    QJsonObject onlyRequest() {
        const QJsonArray requests = m_service.requests();
        m_service.clearRequests();
        if (requests.size() != 1) {
            qWarning() << "requests:" << requests;
            return {};
        }
        return requests.first().toObject();
    }

    QString writeFile(const QString& name, const QByteArray& content) {
        const QString path = m_folder.filePath(name);
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() ? path : QString();
    }

    // A record made on the service, as the iPad would.
    QString createRecord(const QString& name, const QString& fileName = {}, const QByteArray& file = {}) {
        QJsonObject body{{u"collection"_s, u"tintara_luts"_s}, {u"fields"_s, QJsonObject{{u"name"_s, name}}}};
        if (!fileName.isEmpty()) {
            body.insert(u"fileName"_s, fileName);
            body.insert(u"fileBase64"_s, QString::fromLatin1(file.toBase64()));
        }
        return m_service.control("POST", u"/_test/records"_s, body)[u"id"_s].toString();
    }

private slots:
    void initTestCase() {
        QVERIFY(m_service.start());
        QVERIFY(m_folder.isValid());
        CredentialService::setName(serviceName);
    }

    void init() {
        m_credentials = std::make_shared<InMemoryCredentialStore>();
        m_service.control("DELETE", u"/_test/fail"_s);
        m_service.clearRequests();
    }

    void takesTheBaseUrlFromTheEnvironment_data() {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a self-hosted service with a path replaces it, surrounding spaces ignored")
            << QByteArray("  http://127.0.0.1:8090/pb \n") << "http://127.0.0.1:8090/pb";
        QTest::newRow("a scheme other than http keeps the built-in service")
            << QByteArray("ftp://pb.example.test") << CloudService::defaultUrl;
    }

    void takesTheBaseUrlFromTheEnvironment() {
        QFETCH(QByteArray, variable);
        qputenv(CloudService::environmentVariable, variable);
        const QUrl url = CloudService::baseUrl();
        qunsetenv(CloudService::environmentVariable);
        QTEST(url.toString(), "expected");
    }

    void signsInRefreshesAndSignsOut() {
        const QString userID = m_service.createUser(u"Ada.Lovelace@Example.com"_s, u" pass word\n"_s);
        auto cloud = store(std::nullopt, std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::rejected);
        QSignalSpy emailChanged(cloud.get(), &CloudStore::emailChanged);
        QVERIFY(QCoro::waitFor(cloud->signIn(u"  ADA.lovelace@example.COM \n"_s, u" pass word\n"_s)));
        QCOMPARE(cloud->status(), u"Connected"_s);
        QCOMPARE(cloud->email(), u"Ada.Lovelace@Example.com"_s);
        QCOMPARE(emailChanged.size(), 1);
        QJsonObject request = onlyRequest();
        QCOMPARE(line(request), u"POST /api/collections/users/auth-with-password"_s);
        QCOMPARE(header(request, "content-type"), u"application/json"_s);
        QCOMPARE(header(request, "authorization"), u"(absent)"_s);
        QCOMPARE(QJsonDocument::fromJson(bodyOf(request)).object(),
                 QJsonObject({{"identity", "ada.lovelace@example.com"}, {"password", " pass word\n"}}));
        QCOMPARE(stored("token"), cloud->token());
        QCOMPARE(stored("userID"), std::optional<QString>(userID));
        QCOMPARE(stored("email"), std::optional<QString>(u"Ada.Lovelace@Example.com"_s));

        // A second client over the same store is signed in without a request, and refreshes.
        CloudStore restarted(m_service.baseUrl(), m_credentials);
        QCOMPARE(restarted.userID(), std::optional<QString>(userID));
        QCOMPARE(restarted.email(), cloud->email());
        const QString oldToken = restarted.token().value_or(QString());
        QSignalSpy statusChanged(&restarted, &CloudStore::statusChanged);
        QCOMPARE(QCoro::waitFor(restarted.refresh()), RefreshOutcome::refreshed);
        QVERIFY(restarted.token() != std::optional<QString>(oldToken));
        QCOMPARE(stored("token"), restarted.token());
        QCOMPARE(statusChanged.size(), 0);
        request = onlyRequest();
        QCOMPARE(line(request), u"POST /api/collections/users/auth-refresh"_s);
        QCOMPARE(header(request, "authorization"), u"Bearer "_s + oldToken);
        // The token it now holds is the one the service accepts.
        QCOMPARE(QCoro::waitFor(restarted.refresh()), RefreshOutcome::refreshed);

        // Signing out clears the session and a failure's status, sends nothing and leaves nothing stored.
        answer(recordsPath, 500, {});
        QCOMPARE(QCoro::waitFor(restarted.listRecords()), std::nullopt);
        QCOMPARE(restarted.status(), u"Request failed"_s);
        m_service.clearRequests();
        restarted.signOut();
        QCOMPARE(restarted.userID(), std::nullopt);
        QCOMPARE(restarted.email(), QString());
        QCOMPARE(restarted.status(), QString());
        QCOMPARE(m_credentials->size(), 0);
        QCOMPARE(QCoro::waitFor(restarted.listRecords()), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);
    }

    void failuresKeepTheSession_data() {
        QTest::addColumn<bool>("refresh");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        // A sign-in's status text (empty: a decoding error's description), or a refresh's outcome.
        QTest::addColumn<QString>("expected");
        QTest::newRow("a sign-in answered 500 with a message reads as not recognized")
            << false << 500 << QByteArray(R"({"message":"boom"})") << notRecognized;
        QTest::newRow("a sign-in answered 201 with a valid answer reads as not recognized")
            << false << 201 << QByteArray(R"({"token":"t","record":{"id":"i","email":"e"}})")
            << notRecognized;
        QTest::newRow("a sign-in answered 200 without a token fails to decode")
            << false << 200 << QByteArray(R"({"record":{"id":"i","email":"e"}})") << "";
        QTest::newRow("a refresh answered 400 is rejected") << true << 400 << QByteArray("{}") << "rejected";
        QTest::newRow("a refresh answered 499 is rejected") << true << 499 << QByteArray() << "rejected";
        QTest::newRow("a refresh answered 500 is unavailable")
            << true << 500 << QByteArray() << "unavailable";
        QTest::newRow("a refresh answered 200 lacking a token is unavailable")
            << true << 200 << QByteArray(R"({"record":{"id":"i","email":"e"}})") << "unavailable";
    }

    void failuresKeepTheSession() {
        QFETCH(bool, refresh);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        answer(refresh ? u"/api/collections/users/auth-refresh"_s
                       : u"/api/collections/users/auth-with-password"_s,
               status, body);
        m_credentials->write(serviceName, u"email"_s, u"old@example.com"_s);
        auto cloud = store(u"old-token"_s, u"old-user"_s);
        if (refresh) {
            const RefreshOutcome outcome = QCoro::waitFor(cloud->refresh());
            QCOMPARE(outcome == RefreshOutcome::rejected      ? u"rejected"_s
                     : outcome == RefreshOutcome::unavailable ? u"unavailable"_s
                                                              : u"refreshed"_s,
                     expected);
            QCOMPARE(cloud->status(), QString());
        } else {
            QVERIFY(!QCoro::waitFor(cloud->signIn(u"grace@example.com"_s, u"hopper"_s)));
            QVERIFY2(expected.isEmpty() ? !cloud->status().isEmpty() && cloud->status() != notRecognized
                                        : cloud->status() == expected,
                     qPrintable(cloud->status()));
        }
        QCOMPARE(cloud->token(), std::optional<QString>(u"old-token"_s));
        QCOMPARE(cloud->userID(), std::optional<QString>(u"old-user"_s));
        QCOMPARE(cloud->email(), u"old@example.com"_s);
        QCOMPARE(stored("token"), cloud->token());
        QCOMPARE(stored("email"), std::optional<QString>(u"old@example.com"_s));
    }

    // Every record operation as the service receives it, and what comes back of it.
    void carriesRecordsBothWays() {
        auto signedOut = store(std::nullopt, std::nullopt);
        QCOMPARE(QCoro::waitFor(signedOut->listRecords()), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);

        const QByteArray content("TITLE \"Warm\"\r\nLUT_3D_SIZE 2\n\0\xff binary", 37);
        const QString path = writeFile(u"Warm Day.cube"_s, content);
        auto cloud = store(u"tok-up"_s, u"owner-7"_s);
        const std::optional<LUTRecord> created = QCoro::waitFor(cloud->uploadLUT(u"Warm"_s, path));
        QVERIFY(created.has_value());
        QJsonObject request = onlyRequest();
        QCOMPARE(line(request), u"POST "_s + recordsPath);
        QCOMPARE(header(request, "authorization"), u"Bearer tok-up"_s);
        const QRegularExpressionMatch match =
            QRegularExpression(u"^multipart/form-data; boundary=(tintara-[0-9A-F]{8}-[0-9A-F]{4}-"
                               "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"_s)
                .match(header(request, "content-type"));
        QVERIFY2(match.hasMatch(), qPrintable(header(request, "content-type")));
        QByteArray boundary = match.captured(1).toLatin1();
        auto part = [&](const char* name, const QByteArray& value) {
            return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                   value + "\r\n";
        };
        const auto filePart = [&] {
            return "--" + boundary +
                   "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"Warm Day.cube\"\r\n"
                   "Content-Type: application/octet-stream\r\n\r\n" +
                   content + "\r\n--" + boundary + "--\r\n";
        };
        QCOMPARE(bodyOf(request), part("owner", "owner-7") + part("name", "Warm") + filePart());
        // The service stored what was sent, under PocketBase's sanitised name with a random suffix.
        QVERIFY2(QRegularExpression(u"^warm_day_[a-z0-9]{10}\\.cube$"_s).match(created->file).hasMatch(),
                 qPrintable(created->file));
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(*created)), std::optional<QByteArray>(content));
        request = onlyRequest();
        QCOMPARE(line(request), u"GET /api/files/tintara_luts/%1/%2"_s.arg(created->id, created->file));
        QCOMPARE(header(request, "authorization"), u"Bearer tok-up"_s);

        // A replacement with every field sends them in order, to the record's own path.
        const std::optional<LUTRecord> replaced = QCoro::waitFor(
            cloud->uploadLUT(u"Warm"_s, path, -33, created->id, false, u"resolve"_s, warmLook()));
        QVERIFY(replaced.has_value());
        request = onlyRequest();
        QCOMPARE(line(request), u"PATCH "_s + recordsPath + u'/' + created->id);
        boundary = header(request, "content-type").section(u'=', 1).toLatin1();
        QCOMPARE(bodyOf(request), part("owner", "owner-7") + part("name", "Warm") + part("size", "-33") +
                                      part("resolve", "false") + part("source", "resolve") +
                                      part("look", Json::compact(warmLook().toJson())) + filePart());
        QCOMPARE(*replaced,
                 (LUTRecord{created->id, u"Warm"_s, replaced->file, -33, false, u"resolve"_s, warmLook()}));

        // An update sends resolve and the look as JSON; a session-less client sends no authorization.
        auto anonymous = store(std::nullopt, std::nullopt);
        QVERIFY(QCoro::waitFor(anonymous->updateRecord(created->id, true, warmLook())));
        request = onlyRequest();
        QCOMPARE(line(request), u"PATCH "_s + recordsPath + u'/' + created->id);
        QCOMPARE(header(request, "content-type"), u"application/json"_s);
        QCOMPARE(header(request, "authorization"), u"(absent)"_s);
        QCOMPARE(QJsonDocument::fromJson(bodyOf(request)).object(),
                 QJsonObject({{"resolve", true}, {"look", warmLook().toJson()}}));

        // The listing asks for every record, oldest first, and reads them all.
        const QString emptyID = createRecord(u"Empty"_s, u"empty.cube"_s, {});
        const std::optional<QList<LUTRecord>> records = QCoro::waitFor(cloud->listRecords());
        QVERIFY(records.has_value() && records->size() >= 2);
        QCOMPARE(line(onlyRequest()), u"GET "_s + recordsPath + u"?perPage=200&sort=created"_s);
        QCOMPARE(records->at(records->size() - 2),
                 (LUTRecord{created->id, u"Warm"_s, replaced->file, -33, true, u"resolve"_s, warmLook()}));
        QCOMPARE(records->last().id, emptyID);
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(records->last())), std::optional<QByteArray>(""));
        QCOMPARE(cloud->status(), QString());
    }

    void keepsTheBasePathAndEncodesFileNames() {
        QUrl base = m_service.baseUrl();
        base.setPath(u"/self hosted/"_s);
        auto cloud = store(u"tok"_s, u"user-1"_s, CloudStore::requestTimeout, base);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        QCOMPARE(line(onlyRequest()), u"GET /self%20hosted"_s + recordsPath + u"?perPage=200&sort=created"_s);
        // The service's own 404 body carries a message, which becomes the status.
        QCOMPARE(cloud->status(), u"The requested resource wasn't found."_s);

        // A failed download leaves the status alone; the name stays inside the path.
        const LUTRecord record{u"r1"_s, u"R"_s, u"Warm Day 100%?#.cube"_s, {}, {}, {}, {}};
        answer(u"/api/files/"_s, 201, "{\"message\":\"no\"}");
        QCOMPARE(QCoro::waitFor(store()->downloadFile(record)), std::nullopt);
        QCOMPARE(line(onlyRequest()), u"GET /api/files/tintara_luts/r1/Warm%20Day%20100%25%3F%23.cube"_s);
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(record)), std::nullopt);
        QCOMPARE(cloud->status(), u"The requested resource wasn't found."_s);
    }

    void reportsFailedAnswers_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // empty: a decoding error's description
        const QString list = u"list"_s, upload = u"upload"_s, update = u"update"_s;
        QTest::newRow("a 400 naming a field reports the field and its message")
            << list << 400 << QByteArray(R"({"code":400,"message":"M","data":{"look":{"message":"V"}}})")
            << "look: V";
        QTest::newRow("a 403 whose field message is empty falls back to the top-level message")
            << list << 403 << QByteArray(R"({"message":"Only owners.","data":{"owner":{"message":""}}})")
            << "Only owners.";
        QTest::newRow("a 500 with an HTML body says the request failed")
            << list << 500 << QByteArray("<html><body>Bad gateway</body></html>") << "Request failed";
        QTest::newRow("a 500 whose message is a number says the request failed")
            << list << 500 << QByteArray(R"({"message":42})") << "Request failed";
        QTest::newRow("a 201 with a valid listing is still a failure")
            << list << 201 << QByteArray(R"({"items":[]})") << "Request failed";
        QTest::newRow("a 200 whose item lacks a file fails as a whole")
            << list << 200
            << QByteArray(R"({"items":[{"id":"a","name":"A","file":"a.cube"},{"id":"b","name":"B"}]})") << "";
        QTest::newRow("an upload answered 201 with a valid record is not success")
            << upload << 201 << QByteArray(R"({"id":"a","name":"A","file":"a.cube"})")
            << "Could not upload the LUT";
        QTest::newRow("an upload answered 400 with a field message still reads as a failed upload")
            << upload << 400
            << QByteArray(R"({"message":"M","data":{"name":{"message":"Cannot be blank."}}})")
            << "Could not upload the LUT";
        QTest::newRow("an upload answered 200 without a file name fails to decode")
            << upload << 200 << QByteArray(R"({"id":"a","name":"A"})") << "";
        QTest::newRow("an update answered 200 with a record without an id fails to decode")
            << update << 200 << QByteArray(R"({"name":"A","file":"a.cube"})") << "";
    }

    void reportsFailedAnswers() {
        QFETCH(QString, operation);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        answer(recordsPath, status, body, operation == u"update" ? u"PATCH"_s : QString(), 2);
        const QString path = writeFile(u"c.cube"_s, "c");
        auto cloud = store();
        QSignalSpy statusChanged(cloud.get(), &CloudStore::statusChanged);
        // Twice: the same failure again changes nothing observable.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (operation == u"list") {
                QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
            } else if (operation == u"upload") {
                QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"C"_s, path)), std::nullopt);
            } else {
                QCOMPARE(QCoro::waitFor(cloud->updateRecord(u"anything"_s, false)), false);
            }
        }
        const QString generic = operation == u"upload" ? u"Could not upload the LUT"_s : u"Request failed"_s;
        QVERIFY2(expected.isEmpty() ? !cloud->status().isEmpty() && cloud->status() != generic
                                    : cloud->status() == expected,
                 qPrintable(cloud->status()));
        QCOMPARE(statusChanged.size(), 1);
        QCOMPARE(m_service.requests().size(), 2);
    }

    void reportsTransportFailures_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a stalled answer times out after the shortened timeout") << "stall";
        QTest::newRow("a connection closed without an answer is a transport failure") << "close";
        QTest::newRow("a refused connection is a transport failure") << "refused";
    }

    void reportsTransportFailures() {
        QFETCH(QString, kind);
        QUrl base = m_service.baseUrl();
        if (kind == u"refused") {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            base.setPort(closed.serverPort());
            closed.close();
        } else {
            // Qt resends a request a couple of times when a connection closes before any answer.
            m_service.control("POST", u"/_test/fail"_s, QJsonObject{{kind, true}, {u"count"_s, 30}});
        }
        auto cloud = store(u"tok"_s, u"user-1"_s, 200ms, base);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        const QString status = cloud->status();
        QVERIFY2(!status.isEmpty() && status != u"Request failed", qPrintable(status));
        QVERIFY(kind != u"stall" || status == u"The request timed out.");
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"T"_s, writeFile(u"t.cube"_s, "x"))), std::nullopt);
        QCOMPARE(cloud->status(), status);
        // A refresh that cannot reach the service neither rejects the session nor reports.
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::unavailable);
        QCOMPARE(cloud->token(), std::optional<QString>(u"tok"_s));
        cloud->signOut();
        QCOMPARE(QCoro::waitFor(cloud->signIn(u"a@b.c"_s, u"pw"_s)), false);
        QCOMPARE(cloud->status(), status);
    }

    void aClientGoneWhileARequestIsInFlightIsLeftAlone() {
        m_service.control("POST", u"/_test/fail"_s, QJsonObject{{u"stall"_s, true}});
        auto cloud = store();
        QCoro::Task<std::optional<QList<LUTRecord>>> pending = cloud->listRecords();
        QTRY_COMPARE(m_service.requests().size(), 1);
        cloud.reset();
        // Whatever the network layer still delivers must not reach the destroyed client; the
        // request ends there, abandoned, instead of waiting for ever.
        QTest::qWait(200);
        QVERIFY(pending.isReady() && !QCoro::waitFor(pending).has_value());
    }

    void nothingSentCanForgeHeaders() {
        const QString path = writeFile(u"Say \"hi\"\r\nX-Forged: 1.cube"_s, "q");
        auto cloud = store();
        const std::optional<LUTRecord> record = QCoro::waitFor(cloud->uploadLUT(u"Q"_s, path));
        QVERIFY(record.has_value());
        QVERIFY(bodyOf(onlyRequest())
                    .contains("; filename=\"Say %22hi%22%0D%0AX-Forged: 1.cube\"\r\nContent-Type: "
                              "application/octet-stream\r\n\r\nq\r\n--tintara-"));
        // A second upload draws a boundary of its own.
        QVERIFY(QCoro::waitFor(cloud->uploadLUT(u"Q"_s, path)).has_value());
        QVERIFY(QCoro::waitFor(cloud->uploadLUT(u"Q"_s, path)).has_value());
        const QJsonArray twice = m_service.requests();
        m_service.clearRequests();
        QVERIFY(header(twice[0], "content-type") != header(twice[1], "content-type"));

        auto injected = store(u"tok\r\nX-Injected: yes"_s);
        QCoro::waitFor(injected->listRecords());
        const QJsonObject request = onlyRequest();
        QCOMPARE(header(request, "x-injected"), u"(absent)"_s);
        QCOMPARE(header(request, "authorization"), u"(absent)"_s);
    }

    void leavesOutALookThatCannotBeEncoded() {
        LUTLook look = warmLook();
        look.pivot = std::numeric_limits<double>::quiet_NaN();
        const QString id = createRecord(u"N"_s);
        auto cloud = store();
        QVERIFY(
            QCoro::waitFor(cloud->uploadLUT(u"N"_s, writeFile(u"nan.cube"_s, "n"), {}, {}, {}, {}, look)));
        QVERIFY(!bodyOf(onlyRequest()).contains("name=\"look\""));
        QVERIFY(QCoro::waitFor(cloud->updateRecord(id, true, look)));
        QCOMPARE(QJsonDocument::fromJson(bodyOf(onlyRequest())).object(), QJsonObject({{"resolve", true}}));
    }

    void refusesUploadsItCannotMake() {
        const QString path = writeFile(u"b.cube"_s, "b");
        QCOMPARE(QCoro::waitFor(store(u"tok"_s, std::nullopt)->uploadLUT(u"B"_s, path)), std::nullopt);
        auto cloud = store();
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"B"_s, m_folder.filePath(u"missing"_s))), std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"B"_s, m_folder.path())), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);
        QCOMPARE(cloud->status(), QString());
    }
};

QTEST_GUILESS_MAIN(TestCloudStore)
#include "TestCloudStore.moc"
