#include "cloud/CloudService.h"
#include "cloud/CloudStore.h"
#include "cloud/CredentialService.h"
#include "support/CloudTestService.h"

#include <QCoroTask>
#include <QElapsedTimer>
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

const QString serviceName = u"com.quillfen.tonewharf.cloud"_s;
const QString recordsPath = u"/api/collections/tintara_luts/records"_s;
const QString listing = u"GET "_s + recordsPath + u"?perPage=200&sort=created"_s;

LUTLook warmLook() {
    LUTLook look;
    look.name = u"Warm"_s;
    look.space = u"rec709"_s;
    look.slope = {1.1, 1.0, 0.9};
    look.offset = {0.01, 0.0, -0.01};
    look.power = {1.0, 1.0, 1.0};
    look.saturation = 1.2;
    look.contrast = 1.05;
    return look;
}

QJsonObject jsonBodyOf(const QJsonObject& request) {
    return QJsonDocument::fromJson(bodyOf(request)).object();
}

// Method, path and query of a request in one line.
QString line(const QJsonObject& request) {
    const QString query = request.value("query").toString();
    return request.value("method").toString() + u' ' + request.value("path").toString() +
           (query.isEmpty() ? QString() : u'?' + query);
}

// A failure's status: the exact text, or (when `expected` is empty) a decoding error's description,
// which is neither empty nor the generic text.
bool statusIs(const QString& status, const QString& expected, const QString& generic) {
    return expected.isEmpty() ? !status.isEmpty() && status != generic : status == expected;
}

LUTRecord recordNamed(const QString& file) {
    return LUTRecord{u"r1"_s, u"R"_s, file, {}, {}, {}, {}};
}

} // namespace

// The records client and the session against the PocketBase-compatible test service: every
// request as the service received it, and every kind of answer.
class TestCloudStore : public QObject {
    Q_OBJECT

private:
    CloudTestService m_service;
    QTemporaryDir m_folder;
    std::shared_ptr<InMemoryCredentialStore> m_credentials;
    QString m_userID;

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

    void fail(const QJsonObject& failure) {
        m_service.control("POST", u"/_test/fail"_s, failure);
        QCOMPARE(m_service.lastStatus(), 200);
    }

    // The next `count` requests to `path` (and `method`, when given) get this answer.
    void answer(const QString& path, int status, const QByteArray& body, const QString& method = {},
                int count = 1) {
        QJsonObject failure{{u"path"_s, path},
                            {u"status"_s, status},
                            {u"count"_s, count},
                            {u"bodyBase64"_s, QString::fromLatin1(body.toBase64())}};
        if (!method.isEmpty()) {
            failure.insert(u"method"_s, method);
        }
        fail(failure);
    }

    QJsonObject onlyRequest() {
        const QJsonArray requests = m_service.requests();
        if (requests.size() != 1) {
            qWarning() << "requests:" << requests;
            return {};
        }
        return requests.first().toObject();
    }

    QString writeFile(const QString& name, const QByteArray& content) {
        const QString path = m_folder.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            return {};
        }
        return path;
    }

    // A record made on the service, as the iPad would; the requests log is left empty.
    QJsonObject createRecord(const QString& name, const QJsonObject& more = {}, const QString& fileName = {},
                             const QByteArray& file = {}) {
        QJsonObject fields = more;
        fields.insert(u"name"_s, name);
        QJsonObject body{{u"collection"_s, u"tintara_luts"_s}, {u"fields"_s, fields}};
        if (!fileName.isEmpty()) {
            body.insert(u"fileName"_s, fileName);
            body.insert(u"fileBase64"_s, QString::fromLatin1(file.toBase64()));
        }
        const QJsonObject created = m_service.control("POST", u"/_test/records"_s, body).toObject();
        m_service.clearRequests();
        return created;
    }

    // A port on 127.0.0.1 on which nothing listens.
    static quint16 closedPort() {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 0)) {
            return 0;
        }
        const quint16 port = server.serverPort();
        server.close();
        return port;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_service.start());
        QVERIFY(m_folder.isValid());
        CredentialService::setName(serviceName);
        m_userID = m_service.createUser(u"Ada.Lovelace@Example.com"_s, u" pass word\n"_s);
        QVERIFY(!m_userID.isEmpty());
    }

    void init() {
        m_credentials = std::make_shared<InMemoryCredentialStore>();
        m_service.control("DELETE", u"/_test/fail"_s);
        m_service.clearRequests();
    }

    void takesTheBaseUrlFromTheEnvironment_data() {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("expected");
        QTest::newRow("an empty variable keeps the built-in service")
            << QByteArray() << CloudService::defaultUrl;
        QTest::newRow("a self-hosted service with a path replaces it, surrounding spaces ignored")
            << QByteArray("  http://127.0.0.1:8090/pb \n") << "http://127.0.0.1:8090/pb";
        QTest::newRow("text that is no URL keeps the built-in service")
            << QByteArray("not a url") << CloudService::defaultUrl;
        QTest::newRow("a scheme other than http keeps the built-in service")
            << QByteArray("ftp://pb.example.test") << CloudService::defaultUrl;
    }

    void takesTheBaseUrlFromTheEnvironment() {
        QFETCH(QByteArray, variable);
        QFETCH(QString, expected);
        const QByteArray saved = qgetenv(CloudService::environmentVariable);
        qputenv(CloudService::environmentVariable, variable);
        const QUrl url = CloudService::baseUrl();
        qputenv(CloudService::environmentVariable, saved);
        QCOMPARE(url.toString(), expected);
    }

    void listsRecordsOldestFirst() {
        auto signedOut = store(std::nullopt);
        QCOMPARE(QCoro::waitFor(signedOut->listRecords()), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);

        const QJsonObject first =
            createRecord(u"First"_s, {{u"resolve"_s, true}, {u"look"_s, warmLook().toJson()}},
                         u"First.cube"_s, "LUT_3D_SIZE 2\n");
        const QJsonObject second = createRecord(u"Second"_s);
        auto cloud = store(u"tok-list"_s);
        const std::optional<QList<LUTRecord>> records = QCoro::waitFor(cloud->listRecords());
        QVERIFY(records.has_value() && records->size() >= 2);
        const LUTRecord& a = records->at(records->size() - 2);
        QCOMPARE(a.id, first.value(u"id"_s).toString());
        QCOMPARE(a.name, u"First"_s);
        QVERIFY(QRegularExpression(u"^first_[a-z0-9]{10}\\.cube$"_s).match(a.file).hasMatch());
        QCOMPARE(a.look, std::optional<LUTLook>(warmLook()));
        QCOMPARE(a.resolve, std::optional<bool>(true));
        QCOMPARE(records->last().id, second.value(u"id"_s).toString());
        QCOMPARE(cloud->status(), QString());

        const QJsonObject request = onlyRequest();
        QCOMPARE(line(request), listing);
        QCOMPARE(header(request, "authorization"), u"Bearer tok-list"_s);
        QCOMPARE(header(request, "content-type"), u"(absent)"_s);
        QCOMPARE(bodyOf(request), QByteArray());
    }

    void keepsTheBasePathInFrontOfRequests() {
        QUrl base = m_service.baseUrl();
        base.setPath(u"/self hosted/"_s);
        auto cloud = store(u"tok"_s, u"user-1"_s, CloudStore::requestTimeout, base);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        QCOMPARE(line(onlyRequest()), u"GET /self%20hosted"_s + listing.mid(4));
        // The service's own 404 body carries a message, which becomes the status.
        QCOMPARE(cloud->status(), u"The requested resource wasn't found."_s);
    }

    void reportsFailedAnswers_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // empty: a decoding error's description
        const QString list = u"list"_s, upload = u"upload"_s, update = u"update"_s;
        QTest::newRow("a 400 naming a field reports the field and its message")
            << list << 400
            << QByteArray(
                   R"({"code":400,"message":"M","data":{"look":{"code":"validation_invalid_json","message":"V"}}})")
            << "look: V";
        QTest::newRow("a 401 with only a top-level message reports that message")
            << list << 401 << QByteArray(R"({"code":401,"message":"M","data":{}})") << "M";
        QTest::newRow("a 403 whose data member lacks a message falls back to the top-level message")
            << list << 403 << QByteArray(R"({"message":"Only owners.","data":{"owner":{"code":"x"}}})")
            << "Only owners.";
        QTest::newRow("a 500 with an HTML body says the request failed")
            << list << 500 << QByteArray("<html><body>Bad gateway</body></html>") << "Request failed";
        QTest::newRow("a 500 whose message is a number says the request failed")
            << list << 500 << QByteArray(R"({"message":42})") << "Request failed";
        QTest::newRow("a 500 with invalid UTF-8 says the request failed")
            << list << 500 << QByteArray("{\"message\":\"\xff\xfe\"") << "Request failed";
        QTest::newRow("a 201 with a valid listing is still a failure")
            << list << 201 << QByteArray(R"({"items":[]})") << "Request failed";
        QTest::newRow("a 200 whose item lacks a file fails as a whole")
            << list << 200
            << QByteArray(R"({"items":[{"id":"a","name":"A","file":"a.cube"},{"id":"b","name":"B"}]})") << "";
        QTest::newRow("a 200 listing with invalid UTF-8 fails to decode")
            << list << 200 << QByteArray("{\"items\":[\xc3\x28]}") << "";
        QTest::newRow("a 200 listing of thirty megabytes of noise fails to decode")
            << list << 200 << QByteArray(30 * 1024 * 1024, '[') << "";
        QTest::newRow("an upload answered 201 with a valid record is not success")
            << upload << 201 << QByteArray(R"({"id":"a","name":"A","file":"a.cube"})")
            << "Could not upload the LUT";
        QTest::newRow("an upload answered 400 with a field message still reads as a failed upload")
            << upload << 400
            << QByteArray(R"({"message":"M","data":{"name":{"message":"Cannot be blank."}}})")
            << "Could not upload the LUT";
        QTest::newRow("an upload answered 200 without a file name fails to decode")
            << upload << 200 << QByteArray(R"({"id":"a","name":"A"})") << "";
        QTest::newRow("an update answered 403 with a non-JSON body says the request failed")
            << update << 403 << QByteArray("Forbidden") << "Request failed";
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
        QVERIFY2(statusIs(cloud->status(), expected, generic), qPrintable(cloud->status()));
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
            base.setPort(closedPort());
        } else {
            // Qt resends a request a couple of times when a connection closes before any answer.
            fail({{u"path"_s, u"/api/"_s}, {kind, true}, {u"count"_s, 30}});
        }
        auto cloud = store(u"tok"_s, u"user-1"_s, 300ms, base);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        const QString listStatus = cloud->status();
        QVERIFY2(statusIs(listStatus, {}, u"Request failed"_s), qPrintable(listStatus));
        if (kind == u"stall") {
            QCOMPARE(listStatus, u"The request timed out."_s);
            QVERIFY(clock.elapsed() >= 250);
        }
        QVERIFY(clock.elapsed() < 10000);

        QCOMPARE(QCoro::waitFor(cloud->updateRecord(u"r1"_s, true)), false);
        QCOMPARE(cloud->status(), listStatus);
        const QString path = writeFile(u"t.cube"_s, "x");
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"T"_s, path)), std::nullopt);
        QCOMPARE(cloud->status(), listStatus);

        // A refresh that cannot reach the service neither rejects the session nor reports.
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::unavailable);
        QCOMPARE(cloud->token(), std::optional<QString>(u"tok"_s));
        QCOMPARE(cloud->status(), listStatus);

        cloud->signOut();
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(recordNamed(u"f"_s))), std::nullopt);
        QCOMPARE(cloud->status(), QString());
        QCOMPARE(QCoro::waitFor(cloud->signIn(u"a@b.c"_s, u"pw"_s)), false);
        QCOMPARE(cloud->status(), listStatus);
    }

    void aClientGoneWhileARequestIsInFlightIsLeftAlone() {
        fail({{u"path"_s, recordsPath}, {u"stall"_s, true}});
        auto cloud = store();
        QCoro::Task<std::optional<QList<LUTRecord>>> pending = cloud->listRecords();
        QTRY_COMPARE(m_service.requests().size(), 1);
        cloud.reset();
        // Whatever the network layer still delivers must not reach the destroyed client; the
        // request ends there, abandoned, instead of waiting for ever.
        QTest::qWait(200);
        QVERIFY(pending.isReady() && !QCoro::waitFor(pending).has_value());
    }

    void uploadsMultipartBodies_data() {
        QTest::addColumn<bool>("replace");
        QTest::newRow("a new record with only a name sends owner, name and file") << false;
        QTest::newRow("a replacement with every field sends them in order") << true;
    }

    void uploadsMultipartBodies() {
        QFETCH(bool, replace);
        const QByteArray content("TITLE \"Warm\"\r\nLUT_3D_SIZE 2\n\0\xff binary", 37);
        const QString path = writeFile(u"Warm Day.cube"_s, content);
        QVERIFY(!path.isEmpty());
        const QString recordID =
            replace ? createRecord(u"Old"_s, {}, u"old.cube"_s, "old").value("id").toString() : QString();

        auto cloud = store(u"tok-up"_s, u"owner-7"_s);
        const std::optional<LUTRecord> record =
            replace ? QCoro::waitFor(
                          cloud->uploadLUT(u"Warm"_s, path, -33, recordID, false, u"resolve"_s, warmLook()))
                    : QCoro::waitFor(cloud->uploadLUT(u"Warm"_s, path));
        QVERIFY(record.has_value());
        QCOMPARE(cloud->status(), QString());

        const QJsonObject request = onlyRequest();
        QCOMPARE(line(request),
                 replace ? u"PATCH "_s + recordsPath + u'/' + recordID : u"POST "_s + recordsPath);
        QCOMPARE(header(request, "authorization"), u"Bearer tok-up"_s);
        const QRegularExpressionMatch match =
            QRegularExpression(
                QStringLiteral("^multipart/form-data; boundary=(tintara-[0-9A-F]{8}-[0-9A-F]{4}-"
                               "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"))
                .match(header(request, "content-type"));
        QVERIFY2(match.hasMatch(), qPrintable(header(request, "content-type")));
        const QByteArray boundary = match.captured(1).toLatin1();

        auto part = [&](const char* name, const QByteArray& value) {
            return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
                   value + "\r\n";
        };
        QByteArray expected = part("owner", "owner-7") + part("name", "Warm");
        if (replace) {
            expected += part("size", "-33") + part("resolve", "false") + part("source", "resolve") +
                        part("look", QJsonDocument(warmLook().toJson()).toJson(QJsonDocument::Compact));
        }
        expected += "--" + boundary +
                    "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"Warm Day.cube\"\r\n"
                    "Content-Type: application/octet-stream\r\n\r\n" +
                    content + "\r\n--" + boundary + "--\r\n";
        QCOMPARE(bodyOf(request), expected);

        // The service stored what was sent, under PocketBase's sanitised name with a random suffix.
        QVERIFY2(QRegularExpression(u"^warm_day_[a-z0-9]{10}\\.cube$"_s).match(record->file).hasMatch(),
                 qPrintable(record->file));
        if (replace) {
            QCOMPARE(record->size, std::optional<qint64>(-33));
            QCOMPARE(record->resolve, std::optional<bool>(false));
            QCOMPARE(record->source, std::optional<QString>(u"resolve"_s));
            QCOMPARE(record->look, std::optional<LUTLook>(warmLook()));
            QCOMPARE(record->id, recordID);
        }
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(*record)), std::optional<QByteArray>(content));
    }

    void escapesQuotesAndLineBreaksInFileNames() {
        const QString path = writeFile(u"Say \"hi\"\r\nX-Forged: 1.cube"_s, "q");
        QVERIFY(!path.isEmpty());
        auto cloud = store();
        const std::optional<LUTRecord> record = QCoro::waitFor(cloud->uploadLUT(u"Q"_s, path));
        QVERIFY(record.has_value());
        QVERIFY(bodyOf(onlyRequest())
                    .contains("; filename=\"Say %22hi%22%0D%0AX-Forged: 1.cube\"\r\nContent-Type: "
                              "application/octet-stream\r\n\r\nq\r\n--tintara-"));
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(*record)), std::optional<QByteArray>("q"));
        // A second upload of the same file draws a boundary of its own.
        QVERIFY(QCoro::waitFor(cloud->uploadLUT(u"Q"_s, path)).has_value());
        const QJsonArray requests = m_service.requests();
        QCOMPARE(requests.size(), 3);
        QVERIFY(header(requests[0].toObject(), "content-type") !=
                header(requests[2].toObject(), "content-type"));
    }

    void leavesOutALookThatCannotBeEncoded() {
        LUTLook look = warmLook();
        look.pivot = std::numeric_limits<double>::quiet_NaN();
        const QString path = writeFile(u"nan.cube"_s, "n");
        const QString id = createRecord(u"N"_s).value("id").toString();
        auto cloud = store();
        QVERIFY(QCoro::waitFor(cloud->uploadLUT(u"N"_s, path, {}, {}, {}, {}, look)).has_value());
        QVERIFY(!bodyOf(onlyRequest()).contains("name=\"look\""));
        m_service.clearRequests();
        QVERIFY(QCoro::waitFor(cloud->updateRecord(id, true, look)));
        QCOMPARE(jsonBodyOf(onlyRequest()), QJsonObject({{"resolve", true}}));
    }

    void refusesUploadsItCannotMake() {
        const QString path = writeFile(u"b.cube"_s, "b");
        auto anonymous = store(u"tok"_s, std::nullopt);
        QCOMPARE(QCoro::waitFor(anonymous->uploadLUT(u"B"_s, path)), std::nullopt);
        auto cloud = store();
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"B"_s, m_folder.filePath(u"missing"_s))), std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(u"B"_s, m_folder.path())), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);
        QCOMPARE(cloud->status(), QString());
        QCOMPARE(anonymous->status(), QString());
    }

    void updatesRecords_data() {
        QTest::addColumn<bool>("withLook");
        QTest::addColumn<bool>("withToken");
        QTest::newRow("an update without a look sends only resolve") << false << true;
        QTest::newRow("an update with a look nests it as an object") << true << true;
        QTest::newRow("an update without a session sends no authorization") << true << false;
    }

    void updatesRecords() {
        QFETCH(bool, withLook);
        QFETCH(bool, withToken);
        const QString id = createRecord(u"U"_s).value("id").toString();
        auto cloud = store(withToken ? std::optional<QString>(u"tok-u"_s) : std::nullopt);
        QVERIFY(QCoro::waitFor(
            cloud->updateRecord(id, true, withLook ? std::optional<LUTLook>(warmLook()) : std::nullopt)));

        const QJsonObject request = onlyRequest();
        QCOMPARE(line(request), u"PATCH "_s + recordsPath + u'/' + id);
        QCOMPARE(header(request, "content-type"), u"application/json"_s);
        QCOMPARE(header(request, "authorization"), withToken ? u"Bearer tok-u"_s : u"(absent)"_s);
        QJsonObject expected{{u"resolve"_s, true}};
        if (withLook) {
            expected.insert(u"look"_s, warmLook().toJson());
        }
        QCOMPARE(jsonBodyOf(request), expected);
    }

    void downloadsFiles_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("failure"); // 0: the service answers with the file
        QTest::newRow("a small file comes back byte for byte") << 300 << 0;
        QTest::newRow("an eight-megabyte file comes back whole") << 8 * 1024 * 1024 << 0;
        QTest::newRow("an empty file comes back empty") << 0 << 0;
        QTest::newRow("a 404 gives nothing and leaves the status alone") << 10 << 404;
        QTest::newRow("a 201 gives nothing and leaves the status alone") << 10 << 201;
    }

    void downloadsFiles() {
        QFETCH(int, size);
        QFETCH(int, failure);
        QByteArray content(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i) {
            content[i] = char((i * 7919) & 0xff);
        }
        // Spaces, percent signs, question marks and hashes in a file name stay inside the path.
        const std::optional<LUTRecord> record =
            LUTRecord::fromJson(createRecord(u"D"_s, {}, u"Warm Day 100%?#.cube"_s, content)).toOptional();
        QVERIFY(record.has_value());
        QVERIFY(record->file.startsWith(u"warm_day_100"));
        auto cloud = failure ? store() : store(std::nullopt, std::nullopt);
        if (failure != 0) {
            answer(recordsPath, 500, "{\"message\":\"before\"}");
            answer(u"/api/files/"_s, failure, "{\"message\":\"no\"}");
            QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
            m_service.clearRequests();
        }
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(*record)),
                 failure ? std::nullopt : std::optional<QByteArray>(content));
        QCOMPARE(cloud->status(), failure ? u"before"_s : QString());
        const QJsonObject request = onlyRequest();
        QCOMPARE(line(request), u"GET /api/files/tintara_luts/%1/%2"_s.arg(record->id, record->file));
        QCOMPARE(header(request, "authorization"), failure ? u"Bearer tok-1"_s : u"(absent)"_s);
        // The name as the client was given it, encoded where the path needs it.
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(recordNamed(u"Warm Day 100%?#.cube"_s))), std::nullopt);
        QCOMPARE(line(m_service.requests().last().toObject()),
                 u"GET /api/files/tintara_luts/r1/Warm%20Day%20100%25%3F%23.cube"_s);
    }

    // The session

    void signsInRefreshesAndSignsOut() {
        auto cloud = store(std::nullopt, std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::rejected);
        QCOMPARE(m_service.requests().size(), 0);
        QSignalSpy emailChanged(cloud.get(), &CloudStore::emailChanged);
        QVERIFY(QCoro::waitFor(cloud->signIn(u"  ADA.lovelace@example.COM \n"_s, u" pass word\n"_s)));
        QCOMPARE(cloud->status(), u"Connected"_s);
        QCOMPARE(cloud->email(), u"Ada.Lovelace@Example.com"_s);
        QCOMPARE(emailChanged.size(), 1);
        QCOMPARE(cloud->userID(), std::optional<QString>(m_userID));
        QJsonObject request = onlyRequest();
        QCOMPARE(line(request), u"POST /api/collections/users/auth-with-password"_s);
        QCOMPARE(header(request, "content-type"), u"application/json"_s);
        QCOMPARE(header(request, "authorization"), u"(absent)"_s);
        QCOMPARE(jsonBodyOf(request),
                 QJsonObject({{"identity", "ada.lovelace@example.com"}, {"password", " pass word\n"}}));
        QCOMPARE(stored("token"), cloud->token());
        QCOMPARE(stored("userID"), std::optional<QString>(m_userID));
        QCOMPARE(stored("email"), std::optional<QString>(u"Ada.Lovelace@Example.com"_s));
        QCOMPARE(m_credentials->size(), 3);

        // A second client over the same store is signed in without a request, and refreshes.
        m_service.clearRequests();
        CloudStore restarted(m_service.baseUrl(), m_credentials);
        QCOMPARE(restarted.token(), cloud->token());
        QCOMPARE(restarted.userID(), cloud->userID());
        QCOMPARE(restarted.email(), cloud->email());
        QCOMPARE(restarted.status(), QString());
        QCOMPARE(m_service.requests().size(), 0);
        const QString oldToken = *restarted.token();
        QSignalSpy statusChanged(&restarted, &CloudStore::statusChanged);
        QCOMPARE(QCoro::waitFor(restarted.refresh()), RefreshOutcome::refreshed);
        QVERIFY(restarted.token() != std::optional<QString>(oldToken));
        QCOMPARE(stored("token"), restarted.token());
        QCOMPARE(statusChanged.size(), 0);
        request = onlyRequest();
        QCOMPARE(line(request), u"POST /api/collections/users/auth-refresh"_s);
        QCOMPARE(header(request, "authorization"), u"Bearer "_s + oldToken);
        QCOMPARE(header(request, "content-type"), u"(absent)"_s);
        QCOMPARE(bodyOf(request), QByteArray());
        // The token it now holds is the one the service accepts.
        QCOMPARE(QCoro::waitFor(restarted.refresh()), RefreshOutcome::refreshed);

        // Signing out clears the session and a failure's status, sends nothing and leaves nothing stored.
        answer(recordsPath, 500, {});
        QCOMPARE(QCoro::waitFor(restarted.listRecords()), std::nullopt);
        QCOMPARE(restarted.status(), u"Request failed"_s);
        m_service.clearRequests();
        QSignalSpy signedOutEmail(&restarted, &CloudStore::emailChanged);
        restarted.signOut();
        QCOMPARE(restarted.token(), std::nullopt);
        QCOMPARE(restarted.userID(), std::nullopt);
        QCOMPARE(restarted.email(), QString());
        QCOMPARE(restarted.status(), QString());
        QCOMPARE(signedOutEmail.size(), 1);
        QCOMPARE(m_credentials->size(), 0);
        CloudStore afterSignOut(m_service.baseUrl(), m_credentials);
        QCOMPARE(afterSignOut.token(), std::nullopt);
        QCOMPARE(QCoro::waitFor(afterSignOut.listRecords()), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);
    }

    void failuresKeepTheSession_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status"); // 0: the service answers for itself
        QTest::addColumn<QByteArray>("body");
        // A sign-in's status text (empty: a decoding error's description), or a refresh's outcome.
        QTest::addColumn<QString>("expected");
        const QString signIn = u"sign in"_s, refresh = u"refresh"_s, right = u" pass word\n"_s,
                      wrong = u"Email or password not recognized"_s;
        QTest::newRow("a wrong password is not recognized")
            << signIn << "wrong" << 0 << QByteArray() << wrong;
        QTest::newRow("a trimmed password is a wrong password")
            << signIn << "pass word" << 0 << QByteArray() << wrong;
        QTest::newRow("a sign-in answered 500 reads as not recognized")
            << signIn << right << 500 << QByteArray(R"({"message":"boom"})") << wrong;
        QTest::newRow("a sign-in answered 201 with a valid answer reads as not recognized")
            << signIn << right << 201 << QByteArray(R"({"token":"t","record":{"id":"i","email":"e"}})")
            << wrong;
        QTest::newRow("a sign-in answered 200 without a token fails to decode")
            << signIn << right << 200 << QByteArray(R"({"record":{"id":"i","email":"e"}})") << "";
        QTest::newRow("a sign-in answered 200 of invalid UTF-8 fails to decode")
            << signIn << right << 200 << QByteArray("\xfe\xff") << "";
        QTest::newRow("a refresh of an unknown token is rejected by the service itself")
            << refresh << "" << 0 << QByteArray() << "rejected";
        QTest::newRow("a refresh answered 400 is rejected")
            << refresh << "" << 400 << QByteArray("{}") << "rejected";
        QTest::newRow("a refresh answered 499 is rejected")
            << refresh << "" << 499 << QByteArray() << "rejected";
        QTest::newRow("a refresh answered 500 is unavailable")
            << refresh << "" << 500 << QByteArray() << "unavailable";
        QTest::newRow("a refresh answered 204 is unavailable")
            << refresh << "" << 204 << QByteArray() << "unavailable";
        QTest::newRow("a refresh answered 200 lacking a token is unavailable")
            << refresh << "" << 200 << QByteArray(R"({"record":{"id":"i","email":"e"}})") << "unavailable";
    }

    void failuresKeepTheSession() {
        QFETCH(QString, operation);
        QFETCH(QString, password);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        if (status != 0) {
            answer(operation == u"refresh" ? u"/api/collections/users/auth-refresh"_s
                                           : u"/api/collections/users/auth-with-password"_s,
                   status, body);
        }
        m_credentials->write(serviceName, u"email"_s, u"old@example.com"_s);
        auto cloud = store(u"old-token"_s, u"old-user"_s);
        if (operation == u"refresh") {
            const RefreshOutcome outcome = QCoro::waitFor(cloud->refresh());
            QCOMPARE(outcome == RefreshOutcome::rejected      ? u"rejected"_s
                     : outcome == RefreshOutcome::unavailable ? u"unavailable"_s
                                                              : u"refreshed"_s,
                     expected);
            QCOMPARE(cloud->status(), QString());
        } else {
            QVERIFY(!QCoro::waitFor(cloud->signIn(u"ada.lovelace@example.com"_s, password)));
            QVERIFY2(statusIs(cloud->status(), expected, u"Email or password not recognized"_s),
                     qPrintable(cloud->status()));
        }
        QCOMPARE(cloud->token(), std::optional<QString>(u"old-token"_s));
        QCOMPARE(cloud->userID(), std::optional<QString>(u"old-user"_s));
        QCOMPARE(cloud->email(), u"old@example.com"_s);
        QCOMPARE(stored("token"), cloud->token());
        QCOMPARE(stored("email"), std::optional<QString>(u"old@example.com"_s));
    }

    void restoresOnlyItsOwnSession() {
        auto cloud = store(u"tok"_s, u"user"_s);
        QCOMPARE(cloud->token(), std::optional<QString>(u"tok"_s));
        QCOMPARE(cloud->email(), QString());
        // Another program's service name holds a token this client never reads.
        m_credentials = std::make_shared<InMemoryCredentialStore>();
        m_credentials->write(u"com.quillfen.tintara.cloud"_s, u"token"_s, u"other"_s);
        QCOMPARE(CloudStore(m_service.baseUrl(), m_credentials).token(), std::nullopt);
    }

    void neverSendsATokenThatCouldWriteHeaders() {
        auto cloud = store(u"tok\r\nX-Injected: yes"_s);
        QCoro::waitFor(cloud->listRecords());
        const QJsonObject request = onlyRequest();
        QCOMPARE(header(request, "x-injected"), u"(absent)"_s);
        QCOMPARE(header(request, "authorization"), u"(absent)"_s);
    }
};

QTEST_GUILESS_MAIN(TestCloudStore)
#include "TestCloudStore.moc"
