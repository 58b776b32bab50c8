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

#include <cmath>
#include <limits>

using namespace std::chrono_literals;

namespace {

const QString serviceName = QStringLiteral("com.quillfen.tonewharf.cloud");
const QString recordsPath = QStringLiteral("/api/collections/tintara_luts/records");

LUTLook warmLook() {
    LUTLook look;
    look.name = QStringLiteral("Warm");
    look.space = QStringLiteral("rec709");
    look.slope = {1.1, 1.0, 0.9};
    look.offset = {0.01, 0.0, -0.01};
    look.power = {1.0, 1.0, 1.0};
    look.saturation = 1.2;
    look.contrast = 1.05;
    return look;
}

QByteArray bodyOf(const QJsonObject& request) {
    return QByteArray::fromBase64(request.value(QStringLiteral("bodyBase64")).toString().toLatin1());
}

QString header(const QJsonObject& request, const char* name) {
    return request.value(QStringLiteral("headers")).toObject().value(QLatin1String(name)).toString();
}

bool hasHeader(const QJsonObject& request, const char* name) {
    return request.value(QStringLiteral("headers")).toObject().contains(QLatin1String(name));
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

    std::unique_ptr<CloudStore> store(std::optional<QString> token = QStringLiteral("tok-1"),
                                      std::optional<QString> userID = QStringLiteral("user-1"),
                                      std::chrono::milliseconds timeout = CloudStore::requestTimeout,
                                      QUrl base = {}) {
        m_credentials->write(serviceName, QStringLiteral("token"), token);
        m_credentials->write(serviceName, QStringLiteral("userID"), userID);
        return std::make_unique<CloudStore>(base.isEmpty() ? m_service.baseUrl() : base, m_credentials,
                                            timeout);
    }

    void fail(const QJsonObject& failure) {
        m_service.control("POST", QStringLiteral("/_test/fail"), failure);
        QCOMPARE(m_service.lastStatus(), 200);
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

    QJsonObject createRecord(const QJsonObject& fields, const QString& fileName = {},
                             const QByteArray& file = {}) {
        QJsonObject body{{QStringLiteral("collection"), QStringLiteral("tintara_luts")},
                         {QStringLiteral("fields"), fields}};
        if (!fileName.isEmpty()) {
            body.insert(QStringLiteral("fileName"), fileName);
            body.insert(QStringLiteral("fileBase64"), QString::fromLatin1(file.toBase64()));
        }
        return m_service.control("POST", QStringLiteral("/_test/records"), body).toObject();
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
        m_userID =
            m_service.createUser(QStringLiteral("Ada.Lovelace@Example.com"), QStringLiteral(" pass word\n"));
        QVERIFY(!m_userID.isEmpty());
    }

    void init() {
        m_credentials = std::make_shared<InMemoryCredentialStore>();
        m_service.control("DELETE", QStringLiteral("/_test/fail"));
        m_service.clearRequests();
    }

    void appendsPathsAndQueries_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("withQuery");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a base without a path gets the path as it is")
            << "http://127.0.0.1:8090"
            << "/api/realtime" << false << "http://127.0.0.1:8090/api/realtime";
        QTest::newRow("a base ending in a slash does not double it")
            << "http://127.0.0.1:8090/"
            << "/api/realtime" << false << "http://127.0.0.1:8090/api/realtime";
        QTest::newRow("a base path is kept in front of the appended path")
            << "https://example.test/pb"
            << "/api/realtime" << false << "https://example.test/pb/api/realtime";
        QTest::newRow("a base path with trailing slashes gets exactly one separator")
            << "https://example.test/pb//"
            << "/api/realtime" << false << "https://example.test/pb/api/realtime";
        QTest::newRow("spaces and percent signs in a file name are percent-encoded")
            << "https://example.test"
            << "/api/files/tintara_luts/r1/Warm Day 100%.cube" << false
            << "https://example.test/api/files/tintara_luts/r1/Warm%20Day%20100%25.cube";
        QTest::newRow("question marks and hashes stay inside the path")
            << "https://example.test"
            << "/api/files/tintara_luts/r1/a?b#c.cube" << false
            << "https://example.test/api/files/tintara_luts/r1/a%3Fb%23c.cube";
        QTest::newRow("query items follow the path in the order given")
            << "https://example.test/pb/"
            << "/api/collections/tintara_luts/records" << true
            << "https://example.test/pb/api/collections/tintara_luts/records?perPage=200&sort=created";
    }

    void appendsPathsAndQueries() {
        QFETCH(QString, base);
        QFETCH(QString, path);
        QFETCH(bool, withQuery);
        QFETCH(QString, expected);
        QList<QPair<QString, QString>> query;
        if (withQuery) {
            query = {{QStringLiteral("perPage"), QStringLiteral("200")},
                     {QStringLiteral("sort"), QStringLiteral("created")}};
        }
        QCOMPARE(CloudStore::appending(QUrl(base), path, query).toString(QUrl::FullyEncoded), expected);
    }

    void takesTheBaseUrlFromTheEnvironment_data() {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("expected");
        QTest::newRow("an empty variable keeps the built-in service")
            << QByteArray() << CloudService::defaultUrl;
        QTest::newRow("a self-hosted service with a path replaces it")
            << QByteArray("http://127.0.0.1:8090/pb") << "http://127.0.0.1:8090/pb";
        QTest::newRow("surrounding spaces are ignored")
            << QByteArray("  https://pb.example.test \n") << "https://pb.example.test";
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

        const QJsonObject first = createRecord({{QStringLiteral("name"), QStringLiteral("First")},
                                                {QStringLiteral("resolve"), true},
                                                {QStringLiteral("look"), warmLook().toJson()}},
                                               QStringLiteral("First.cube"), "LUT_3D_SIZE 2\n");
        const QJsonObject second = createRecord({{QStringLiteral("name"), QStringLiteral("Second")}});
        m_service.clearRequests();

        auto cloud = store(QStringLiteral("tok-list"));
        const std::optional<QList<LUTRecord>> records = QCoro::waitFor(cloud->listRecords());
        QVERIFY(records.has_value());
        QVERIFY(records->size() >= 2);
        const LUTRecord& a = records->at(records->size() - 2);
        const LUTRecord& b = records->last();
        QCOMPARE(a.id, first.value(QStringLiteral("id")).toString());
        QCOMPARE(a.name, QStringLiteral("First"));
        QVERIFY(QRegularExpression(QStringLiteral("^first_[a-z0-9]{10}\\.cube$")).match(a.file).hasMatch());
        QCOMPARE(a.look, std::optional<LUTLook>(warmLook()));
        QCOMPARE(a.resolve, std::optional<bool>(true));
        QCOMPARE(b.id, second.value(QStringLiteral("id")).toString());
        QCOMPARE(cloud->status(), QString());

        const QJsonObject request = onlyRequest();
        QCOMPARE(request.value("method").toString(), QStringLiteral("GET"));
        QCOMPARE(request.value("path").toString(), recordsPath);
        QCOMPARE(request.value("query").toString(), QStringLiteral("perPage=200&sort=created"));
        QCOMPARE(header(request, "authorization"), QStringLiteral("Bearer tok-list"));
        QVERIFY(!hasHeader(request, "content-type"));
        QCOMPARE(bodyOf(request), QByteArray());
    }

    void keepsTheBasePathInFrontOfRequests() {
        QUrl base = m_service.baseUrl();
        base.setPath(QStringLiteral("/self hosted/"));
        auto cloud = store(QStringLiteral("tok"), QStringLiteral("user-1"), CloudStore::requestTimeout, base);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        const QJsonObject request = onlyRequest();
        QCOMPARE(request.value("path").toString(),
                 QStringLiteral("/self%20hosted/api/collections/tintara_luts/records"));
        QCOMPARE(request.value("query").toString(), QStringLiteral("perPage=200&sort=created"));
        // The service's own 404 body carries a message, which becomes the status.
        QCOMPARE(cloud->status(), QStringLiteral("The requested resource wasn't found."));
    }

    void reportsFailedListings_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // empty: a decoding error's description
        const QByteArray fieldAndMessage =
            R"({"code":400,"message":"M","data":{"look":{"code":"validation_invalid_json","message":"V"}}})";
        QTest::newRow("a 400 naming a field reports the field and its message")
            << 400 << fieldAndMessage << "look: V";
        QTest::newRow("a 401 with only a top-level message reports that message")
            << 401 << QByteArray(R"({"code":401,"message":"M","data":{}})") << "M";
        QTest::newRow("a 403 whose data member lacks a message falls back to the top-level message")
            << 403 << QByteArray(R"({"message":"Only owners.","data":{"owner":{"code":"x"}}})")
            << "Only owners.";
        QTest::newRow("a 404 whose data is an array reports the top-level message")
            << 404 << QByteArray(R"({"message":"Gone","data":["x"]})") << "Gone";
        QTest::newRow("a 500 with an HTML body says the request failed")
            << 500 << QByteArray("<html><body>Bad gateway</body></html>") << "Request failed";
        QTest::newRow("a 500 with an empty body says the request failed")
            << 500 << QByteArray() << "Request failed";
        QTest::newRow("a 500 with an empty JSON object says the request failed")
            << 500 << QByteArray("{}") << "Request failed";
        QTest::newRow("a 500 whose message is a number says the request failed")
            << 500 << QByteArray(R"({"message":42})") << "Request failed";
        QTest::newRow("a 500 with invalid UTF-8 says the request failed")
            << 500 << QByteArray("{\"message\":\"\xff\xfe\"") << "Request failed";
        QTest::newRow("a 201 with a valid listing is still a failure")
            << 201 << QByteArray(R"({"items":[]})") << "Request failed";
        QTest::newRow("a 200 whose item lacks a file fails as a whole")
            << 200 << QByteArray(R"({"items":[{"id":"a","name":"A","file":"a.cube"},{"id":"b","name":"B"}]})")
            << "";
        QTest::newRow("a 200 holding an array instead of an object fails to decode")
            << 200 << QByteArray(R"([{"id":"a","name":"A","file":"a.cube"}])") << "";
        QTest::newRow("a 200 with invalid UTF-8 fails to decode")
            << 200 << QByteArray("{\"items\":[\xc3\x28]}") << "";
        QTest::newRow("a 200 cut off in the middle fails to decode")
            << 200 << QByteArray(R"({"items":[{"id":)") << "";
        QTest::newRow("a 200 of thirty megabytes of noise fails to decode")
            << 200 << QByteArray(30 * 1024 * 1024, '[') << "";
    }

    void reportsFailedListings() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        fail({{QStringLiteral("method"), QStringLiteral("GET")},
              {QStringLiteral("path"), recordsPath},
              {QStringLiteral("status"), status},
              {QStringLiteral("bodyBase64"), QString::fromLatin1(body.toBase64())}});
        auto cloud = store();
        QSignalSpy statusChanged(cloud.get(), &CloudStore::statusChanged);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        if (expected.isEmpty()) {
            QVERIFY2(!cloud->status().isEmpty() && cloud->status() != u"Request failed",
                     qPrintable(cloud->status()));
        } else {
            QCOMPARE(cloud->status(), expected);
        }
        QCOMPARE(statusChanged.size(), 1);
        QCOMPARE(m_service.requests().size(), 1);
    }

    void statusChangesOnlyWhenTheTextDoes() {
        fail({{QStringLiteral("path"), recordsPath},
              {QStringLiteral("status"), 500},
              {QStringLiteral("count"), 2}});
        auto cloud = store();
        QSignalSpy statusChanged(cloud.get(), &CloudStore::statusChanged);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        QCOMPARE(cloud->status(), QStringLiteral("Request failed"));
        QCOMPARE(statusChanged.size(), 1);
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
            fail({{QStringLiteral("path"), QStringLiteral("/api/")},
                  {kind, true},
                  {QStringLiteral("count"), 20}});
        }
        auto cloud = store(QStringLiteral("tok"), QStringLiteral("user-1"), 300ms, base);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        const QString listStatus = cloud->status();
        QVERIFY(!listStatus.isEmpty());
        QVERIFY(listStatus != u"Request failed");
        if (kind == u"stall") {
            QCOMPARE(listStatus, QStringLiteral("The request timed out."));
            QVERIFY(clock.elapsed() >= 250);
        }
        QVERIFY(clock.elapsed() < 10000);

        QCOMPARE(QCoro::waitFor(cloud->updateRecord(QStringLiteral("r1"), true)), false);
        QCOMPARE(cloud->status(), listStatus);
        const QString path = writeFile(QStringLiteral("t.cube"), "x");
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(QStringLiteral("T"), path)), std::nullopt);
        QCOMPARE(cloud->status(), listStatus);

        cloud->signOut();
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(LUTRecord{
                     QStringLiteral("r1"), QStringLiteral("n"), QStringLiteral("f"), {}, {}, {}, {}})),
                 std::nullopt);
        QCOMPARE(cloud->status(), QString());
        QCOMPARE(QCoro::waitFor(cloud->signIn(QStringLiteral("a@b.c"), QStringLiteral("pw"))), false);
        QCOMPARE(cloud->status(), listStatus);
    }

    void aClientGoneWhileARequestIsInFlightIsLeftAlone() {
        fail({{QStringLiteral("path"), recordsPath}, {QStringLiteral("stall"), true}});
        auto cloud = store();
        QCoro::Task<std::optional<QList<LUTRecord>>> pending = cloud->listRecords();
        QTRY_COMPARE(m_service.requests().size(), 1);
        cloud.reset();
        // Whatever the network layer still delivers must not reach the destroyed client.
        QTest::qWait(200);
        QVERIFY(!pending.isReady() || !QCoro::waitFor(pending).has_value());
    }

    void uploadsMultipartBodies_data() {
        QTest::addColumn<bool>("replace");
        QTest::addColumn<bool>("everyField");
        QTest::newRow("a new record with only a name sends owner, name and file") << false << false;
        QTest::newRow("a replacement with every field sends them in order") << true << true;
    }

    void uploadsMultipartBodies() {
        QFETCH(bool, replace);
        QFETCH(bool, everyField);
        const QByteArray content("TITLE \"Warm\"\r\nLUT_3D_SIZE 2\n\0\xff binary", 39);
        const QString path = writeFile(QStringLiteral("Warm Day.cube"), content);
        QVERIFY(!path.isEmpty());
        std::optional<QString> recordID;
        if (replace) {
            recordID = createRecord({{QStringLiteral("name"), QStringLiteral("Old")}},
                                    QStringLiteral("old.cube"), "old")
                           .value(QStringLiteral("id"))
                           .toString();
            m_service.clearRequests();
        }

        auto cloud = store(QStringLiteral("tok-up"), QStringLiteral("owner-7"));
        const std::optional<LUTRecord> record =
            everyField ? QCoro::waitFor(cloud->uploadLUT(QStringLiteral("Warm"), path, -33, recordID, false,
                                                         QStringLiteral("resolve"), warmLook()))
                       : QCoro::waitFor(cloud->uploadLUT(QStringLiteral("Warm"), path));
        QVERIFY(record.has_value());
        QCOMPARE(cloud->status(), QString());

        const QJsonObject request = onlyRequest();
        QCOMPARE(request.value("method").toString(),
                 replace ? QStringLiteral("PATCH") : QStringLiteral("POST"));
        QCOMPARE(request.value("path").toString(), replace ? recordsPath + u'/' + *recordID : recordsPath);
        QCOMPARE(request.value("query").toString(), QString());
        QCOMPARE(header(request, "authorization"), QStringLiteral("Bearer tok-up"));
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
        if (everyField) {
            expected += part("size", "-33") + part("resolve", "false") + part("source", "resolve") +
                        part("look", QJsonDocument(warmLook().toJson()).toJson(QJsonDocument::Compact));
        }
        expected += "--" + boundary +
                    "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"Warm Day.cube\"\r\n"
                    "Content-Type: application/octet-stream\r\n\r\n" +
                    content + "\r\n--" + boundary + "--\r\n";
        QCOMPARE(bodyOf(request), expected);

        // The service stored what was sent, under PocketBase's sanitised name with a random suffix.
        QCOMPARE(record->name, QStringLiteral("Warm"));
        QVERIFY2(QRegularExpression(QStringLiteral("^warm_day_[a-z0-9]{10}\\.cube$"))
                     .match(record->file)
                     .hasMatch(),
                 qPrintable(record->file));
        if (everyField) {
            QCOMPARE(record->size, std::optional<qint64>(-33));
            QCOMPARE(record->resolve, std::optional<bool>(false));
            QCOMPARE(record->source, std::optional<QString>(QStringLiteral("resolve")));
            QCOMPARE(record->look, std::optional<LUTLook>(warmLook()));
            QCOMPARE(record->id, *recordID);
        }
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(*record)), std::optional<QByteArray>(content));
    }

    void escapesQuotesAndLineBreaksInFileNames() {
        const QString path = writeFile(QStringLiteral("Say \"hi\"\r\nX-Forged: 1.cube"), "q");
        QVERIFY(!path.isEmpty());
        auto cloud = store();
        const std::optional<LUTRecord> record = QCoro::waitFor(cloud->uploadLUT(QStringLiteral("Q"), path));
        QVERIFY(record.has_value());
        const QByteArray body = bodyOf(onlyRequest());
        QVERIFY(body.contains("; filename=\"Say %22hi%22%0D%0AX-Forged: 1.cube\"\r\nContent-Type: "
                              "application/octet-stream\r\n\r\nq\r\n--tintara-"));
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(*record)), std::optional<QByteArray>("q"));
    }

    void usesAFreshBoundaryForEveryUpload() {
        const QString path = writeFile(QStringLiteral("a.cube"), "a");
        auto cloud = store();
        QVERIFY(QCoro::waitFor(cloud->uploadLUT(QStringLiteral("A"), path)).has_value());
        QVERIFY(QCoro::waitFor(cloud->uploadLUT(QStringLiteral("A"), path)).has_value());
        const QJsonArray requests = m_service.requests();
        QCOMPARE(requests.size(), 2);
        QVERIFY(header(requests[0].toObject(), "content-type") !=
                header(requests[1].toObject(), "content-type"));
    }

    void leavesOutALookThatCannotBeEncoded() {
        LUTLook look = warmLook();
        look.pivot = std::numeric_limits<double>::quiet_NaN();
        const QString path = writeFile(QStringLiteral("nan.cube"), "n");
        auto cloud = store();
        QVERIFY(
            QCoro::waitFor(cloud->uploadLUT(QStringLiteral("N"), path, {}, {}, {}, {}, look)).has_value());
        QVERIFY(!bodyOf(onlyRequest()).contains("name=\"look\""));
        m_service.clearRequests();
        const QString id =
            createRecord({{QStringLiteral("name"), QStringLiteral("N")}}).value("id").toString();
        m_service.clearRequests();
        QVERIFY(QCoro::waitFor(cloud->updateRecord(id, true, look)));
        QCOMPARE(QJsonDocument::fromJson(bodyOf(onlyRequest())).object(), QJsonObject({{"resolve", true}}));
    }

    void refusesUploadsItCannotMake() {
        const QString path = writeFile(QStringLiteral("b.cube"), "b");
        auto anonymous = store(QStringLiteral("tok"), std::nullopt);
        QCOMPARE(QCoro::waitFor(anonymous->uploadLUT(QStringLiteral("B"), path)), std::nullopt);
        auto cloud = store();
        QCOMPARE(QCoro::waitFor(
                     cloud->uploadLUT(QStringLiteral("B"), m_folder.filePath(QStringLiteral("missing")))),
                 std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(QStringLiteral("B"), m_folder.path())), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);
        QCOMPARE(cloud->status(), QString());
        QCOMPARE(anonymous->status(), QString());
    }

    void reportsFailedUploads_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // empty: a decoding error's description
        QTest::newRow("a 201 with a valid record is not success")
            << 201 << QByteArray(R"({"id":"a","name":"A","file":"a.cube"})") << "Could not upload the LUT";
        QTest::newRow("a 400 with a field message still reads as a failed upload")
            << 400 << QByteArray(R"({"message":"M","data":{"name":{"message":"Cannot be blank."}}})")
            << "Could not upload the LUT";
        QTest::newRow("a 500 with an HTML body reads as a failed upload")
            << 500 << QByteArray("<h1>down</h1>") << "Could not upload the LUT";
        QTest::newRow("a 200 without a file name fails to decode")
            << 200 << QByteArray(R"({"id":"a","name":"A"})") << "";
        QTest::newRow("a 200 with invalid UTF-8 fails to decode") << 200 << QByteArray("\xff\xff\xff") << "";
    }

    void reportsFailedUploads() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        fail({{QStringLiteral("path"), recordsPath},
              {QStringLiteral("status"), status},
              {QStringLiteral("bodyBase64"), QString::fromLatin1(body.toBase64())}});
        const QString path = writeFile(QStringLiteral("c.cube"), "c");
        auto cloud = store();
        QCOMPARE(QCoro::waitFor(cloud->uploadLUT(QStringLiteral("C"), path)), std::nullopt);
        if (expected.isEmpty()) {
            QVERIFY2(!cloud->status().isEmpty() && cloud->status() != u"Could not upload the LUT",
                     qPrintable(cloud->status()));
        } else {
            QCOMPARE(cloud->status(), expected);
        }
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
        const QString id =
            createRecord({{QStringLiteral("name"), QStringLiteral("U")}}).value("id").toString();
        m_service.clearRequests();
        auto cloud = store(withToken ? std::optional<QString>(QStringLiteral("tok-u")) : std::nullopt);
        QVERIFY(QCoro::waitFor(
            cloud->updateRecord(id, true, withLook ? std::optional<LUTLook>(warmLook()) : std::nullopt)));

        const QJsonObject request = onlyRequest();
        QCOMPARE(request.value("method").toString(), QStringLiteral("PATCH"));
        QCOMPARE(request.value("path").toString(), recordsPath + u'/' + id);
        QCOMPARE(header(request, "content-type"), QStringLiteral("application/json"));
        QCOMPARE(hasHeader(request, "authorization"), withToken);
        if (withToken) {
            QCOMPARE(header(request, "authorization"), QStringLiteral("Bearer tok-u"));
        }
        QJsonObject expected{{QStringLiteral("resolve"), true}};
        if (withLook) {
            expected.insert(QStringLiteral("look"), warmLook().toJson());
        }
        const QJsonDocument sent = QJsonDocument::fromJson(bodyOf(request));
        QCOMPARE(sent.object(), expected);
    }

    void reportsFailedUpdates_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("a 400 naming the look reports it")
            << 400 << QByteArray(R"({"code":400,"message":"M","data":{"look":{"code":"c","message":"V"}}})")
            << "look: V";
        QTest::newRow("a 400 without data reports the top-level message")
            << 400 << QByteArray(R"({"code":400,"message":"M"})") << "M";
        QTest::newRow("a 403 with a non-JSON body says the request failed")
            << 403 << QByteArray("Forbidden") << "Request failed";
        QTest::newRow("a 200 holding a record without an id fails to decode")
            << 200 << QByteArray(R"({"name":"A","file":"a.cube"})") << "";
    }

    void reportsFailedUpdates() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        fail({{QStringLiteral("method"), QStringLiteral("PATCH")},
              {QStringLiteral("path"), recordsPath},
              {QStringLiteral("status"), status},
              {QStringLiteral("bodyBase64"), QString::fromLatin1(body.toBase64())}});
        auto cloud = store();
        QCOMPARE(QCoro::waitFor(cloud->updateRecord(QStringLiteral("anything"), false)), false);
        if (expected.isEmpty()) {
            QVERIFY2(!cloud->status().isEmpty() && cloud->status() != u"Request failed",
                     qPrintable(cloud->status()));
        } else {
            QCOMPARE(cloud->status(), expected);
        }
    }

    void updatingAMissingRecordReportsTheServiceMessage() {
        auto cloud = store();
        QCOMPARE(QCoro::waitFor(cloud->updateRecord(QStringLiteral("nope"), true)), false);
        QCOMPARE(cloud->status(), QStringLiteral("The requested resource wasn't found."));
    }

    void downloadsFiles_data() {
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<int>("size");
        QTest::newRow("a small file comes back byte for byte") << "Cool.cube" << 300;
        QTest::newRow("an eight-megabyte file comes back whole") << "Big.cube" << 8 * 1024 * 1024;
        QTest::newRow("an empty file comes back empty") << "Empty.cube" << 0;
    }

    void downloadsFiles() {
        QFETCH(QString, fileName);
        QFETCH(int, size);
        QByteArray content(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i) {
            content[i] = char((i * 7919) & 0xff);
        }
        const QJsonObject created =
            createRecord({{QStringLiteral("name"), QStringLiteral("D")}}, fileName, content);
        const std::optional<LUTRecord> record = LUTRecord::fromJson(created).toOptional();
        QVERIFY(record.has_value());
        m_service.clearRequests();
        auto cloud = store(std::nullopt, std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(*record)), std::optional<QByteArray>(content));
        const QJsonObject request = onlyRequest();
        QCOMPARE(request.value("method").toString(), QStringLiteral("GET"));
        QCOMPARE(request.value("path").toString(),
                 QStringLiteral("/api/files/tintara_luts/%1/%2").arg(record->id, record->file));
        QVERIFY(!hasHeader(request, "authorization"));
    }

    void failedDownloadsLeaveTheStatusAlone_data() {
        QTest::addColumn<int>("status");
        QTest::newRow("a 404 gives nothing") << 404;
        QTest::newRow("a 500 gives nothing") << 500;
        QTest::newRow("a 201 gives nothing") << 201;
    }

    void failedDownloadsLeaveTheStatusAlone() {
        QFETCH(int, status);
        fail({{QStringLiteral("path"), recordsPath},
              {QStringLiteral("status"), 500},
              {QStringLiteral("body"), "{\"message\":\"before\"}"}});
        fail({{QStringLiteral("path"), QStringLiteral("/api/files/")},
              {QStringLiteral("status"), status},
              {QStringLiteral("body"), "{\"message\":\"no\"}"}});
        auto cloud = store();
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        QCOMPARE(cloud->status(), QStringLiteral("before"));
        LUTRecord record{
            QStringLiteral("r1"), QStringLiteral("R"), QStringLiteral("Warm Day.cube"), {}, {}, {}, {}};
        QCOMPARE(QCoro::waitFor(cloud->downloadFile(record)), std::nullopt);
        QCOMPARE(cloud->status(), QStringLiteral("before"));
        QCOMPARE(m_service.requests().last().toObject().value("path").toString(),
                 QStringLiteral("/api/files/tintara_luts/r1/Warm%20Day.cube"));
    }

    // The session

    void signsIn() {
        auto cloud = store(std::nullopt, std::nullopt);
        QSignalSpy emailChanged(cloud.get(), &CloudStore::emailChanged);
        QVERIFY(QCoro::waitFor(
            cloud->signIn(QStringLiteral("  ADA.lovelace@example.COM \n"), QStringLiteral(" pass word\n"))));
        QCOMPARE(cloud->status(), QStringLiteral("Connected"));
        QCOMPARE(cloud->email(), QStringLiteral("Ada.Lovelace@Example.com"));
        QCOMPARE(emailChanged.size(), 1);
        QCOMPARE(cloud->userID(), std::optional<QString>(m_userID));
        QVERIFY(cloud->token().has_value());

        const QJsonObject request = onlyRequest();
        QCOMPARE(request.value("method").toString(), QStringLiteral("POST"));
        QCOMPARE(request.value("path").toString(),
                 QStringLiteral("/api/collections/users/auth-with-password"));
        QCOMPARE(header(request, "content-type"), QStringLiteral("application/json"));
        QVERIFY(!hasHeader(request, "authorization"));
        QCOMPARE(QJsonDocument::fromJson(bodyOf(request)).object(),
                 QJsonObject({{"identity", "ada.lovelace@example.com"}, {"password", " pass word\n"}}));

        QCOMPARE(m_credentials->read(serviceName, QStringLiteral("token")), cloud->token());
        QCOMPARE(m_credentials->read(serviceName, QStringLiteral("userID")),
                 std::optional<QString>(m_userID));
        QCOMPARE(m_credentials->read(serviceName, QStringLiteral("email")),
                 std::optional<QString>(QStringLiteral("Ada.Lovelace@Example.com")));
        QCOMPARE(m_credentials->size(), 3);

        // A second client over the same store is signed in without a request.
        m_service.clearRequests();
        CloudStore restarted(m_service.baseUrl(), m_credentials);
        QCOMPARE(restarted.token(), cloud->token());
        QCOMPARE(restarted.userID(), cloud->userID());
        QCOMPARE(restarted.email(), cloud->email());
        QCOMPARE(restarted.status(), QString());
        QCOMPARE(m_service.requests().size(), 0);
    }

    void failedSignInsKeepTheSession_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected"); // empty: a decoding error's description
        QTest::newRow("a wrong password is not recognized")
            << "wrong" << 0 << QByteArray() << "Email or password not recognized";
        QTest::newRow("a trimmed password is a wrong password")
            << "pass word" << 0 << QByteArray() << "Email or password not recognized";
        QTest::newRow("a 500 reads as not recognized")
            << " pass word\n"
            << 500 << QByteArray(R"({"message":"boom"})") << "Email or password not recognized";
        QTest::newRow("a 201 with a valid answer reads as not recognized")
            << " pass word\n"
            << 201 << QByteArray(R"({"token":"t","record":{"id":"i","email":"e"}})")
            << "Email or password not recognized";
        QTest::newRow("a 200 without a token fails to decode")
            << " pass word\n"
            << 200 << QByteArray(R"({"record":{"id":"i","email":"e"}})") << "";
        QTest::newRow("a 200 whose record email is a number fails to decode")
            << " pass word\n"
            << 200 << QByteArray(R"({"token":"t","record":{"id":"i","email":5}})") << "";
        QTest::newRow("a 200 of invalid UTF-8 fails to decode") << " pass word\n"
                                                                << 200 << QByteArray("\xfe\xff") << "";
    }

    void failedSignInsKeepTheSession() {
        QFETCH(QString, password);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        if (status != 0) {
            fail({{QStringLiteral("path"), QStringLiteral("/api/collections/users/auth-with-password")},
                  {QStringLiteral("status"), status},
                  {QStringLiteral("bodyBase64"), QString::fromLatin1(body.toBase64())}});
        }
        m_credentials->write(serviceName, QStringLiteral("email"), QStringLiteral("old@example.com"));
        auto cloud = store(QStringLiteral("old-token"), QStringLiteral("old-user"));
        QVERIFY(!QCoro::waitFor(cloud->signIn(QStringLiteral("ada.lovelace@example.com"), password)));
        if (expected.isEmpty()) {
            QVERIFY2(!cloud->status().isEmpty() && cloud->status() != u"Email or password not recognized",
                     qPrintable(cloud->status()));
        } else {
            QCOMPARE(cloud->status(), expected);
        }
        QCOMPARE(cloud->token(), std::optional<QString>(QStringLiteral("old-token")));
        QCOMPARE(cloud->userID(), std::optional<QString>(QStringLiteral("old-user")));
        QCOMPARE(cloud->email(), QStringLiteral("old@example.com"));
        QCOMPARE(m_credentials->read(serviceName, QStringLiteral("token")), cloud->token());
        QCOMPARE(m_credentials->read(serviceName, QStringLiteral("email")),
                 std::optional<QString>(QStringLiteral("old@example.com")));
    }

    void refreshes() {
        auto cloud = store(std::nullopt, std::nullopt);
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::rejected);
        QCOMPARE(m_service.requests().size(), 0);

        QVERIFY(QCoro::waitFor(
            cloud->signIn(QStringLiteral("ada.lovelace@example.com"), QStringLiteral(" pass word\n"))));
        const QString oldToken = *cloud->token();
        m_service.clearRequests();
        QSignalSpy statusChanged(cloud.get(), &CloudStore::statusChanged);
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::refreshed);
        QVERIFY(cloud->token() != std::optional<QString>(oldToken));
        QCOMPARE(m_credentials->read(serviceName, QStringLiteral("token")), cloud->token());
        QCOMPARE(statusChanged.size(), 0);

        const QJsonObject request = onlyRequest();
        QCOMPARE(request.value("method").toString(), QStringLiteral("POST"));
        QCOMPARE(request.value("path").toString(), QStringLiteral("/api/collections/users/auth-refresh"));
        QCOMPARE(header(request, "authorization"), QStringLiteral("Bearer ") + oldToken);
        QVERIFY(!hasHeader(request, "content-type"));
        QCOMPARE(bodyOf(request), QByteArray());

        // The token it now holds is the one the service accepts.
        QCOMPARE(QCoro::waitFor(cloud->refresh()), RefreshOutcome::refreshed);
    }

    void refreshOutcomes_data() {
        QTest::addColumn<QString>("treatment");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<RefreshOutcome>("expected");
        QTest::newRow("an unknown token is rejected by the service itself")
            << "none" << 0 << QByteArray() << RefreshOutcome::rejected;
        QTest::newRow("a 400 rejects the session")
            << "status" << 400 << QByteArray("{}") << RefreshOutcome::rejected;
        QTest::newRow("a 403 rejects the session")
            << "status" << 403 << QByteArray() << RefreshOutcome::rejected;
        QTest::newRow("a 499 rejects the session")
            << "status" << 499 << QByteArray() << RefreshOutcome::rejected;
        QTest::newRow("a 500 leaves the outcome unknown")
            << "status" << 500 << QByteArray() << RefreshOutcome::unavailable;
        QTest::newRow("a 204 leaves the outcome unknown")
            << "status" << 204 << QByteArray() << RefreshOutcome::unavailable;
        QTest::newRow("a 200 lacking a token leaves the outcome unknown")
            << "status" << 200 << QByteArray(R"({"record":{"id":"i","email":"e"}})")
            << RefreshOutcome::unavailable;
        QTest::newRow("a 200 that is not JSON leaves the outcome unknown")
            << "status" << 200 << QByteArray("\xff not json") << RefreshOutcome::unavailable;
        QTest::newRow("a stalled answer leaves the outcome unknown")
            << "stall" << 0 << QByteArray() << RefreshOutcome::unavailable;
        QTest::newRow("a refused connection leaves the outcome unknown")
            << "refused" << 0 << QByteArray() << RefreshOutcome::unavailable;
    }

    void refreshOutcomes() {
        QFETCH(QString, treatment);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(RefreshOutcome, expected);
        QUrl base = m_service.baseUrl();
        const QString path = QStringLiteral("/api/collections/users/auth-refresh");
        if (treatment == u"status") {
            fail({{QStringLiteral("path"), path},
                  {QStringLiteral("status"), status},
                  {QStringLiteral("bodyBase64"), QString::fromLatin1(body.toBase64())}});
        } else if (treatment == u"stall") {
            fail({{QStringLiteral("path"), path}, {QStringLiteral("stall"), true}});
        } else if (treatment == u"refused") {
            base.setPort(closedPort());
        }
        auto cloud = store(QStringLiteral("kept-token"), QStringLiteral("kept-user"), 300ms, base);
        QCOMPARE(QCoro::waitFor(cloud->refresh()), expected);
        QCOMPARE(cloud->token(), std::optional<QString>(QStringLiteral("kept-token")));
        QCOMPARE(m_credentials->read(serviceName, QStringLiteral("token")), cloud->token());
        QCOMPARE(cloud->status(), QString());
    }

    void signsOut() {
        m_credentials->write(serviceName, QStringLiteral("email"), QStringLiteral("ada@example.com"));
        auto cloud = store(QStringLiteral("tok"), QStringLiteral("user"));
        QCOMPARE(cloud->email(), QStringLiteral("ada@example.com"));
        QCOMPARE(QCoro::waitFor(cloud->listRecords()).has_value(), true);
        fail({{QStringLiteral("path"), recordsPath}, {QStringLiteral("status"), 500}});
        QCOMPARE(QCoro::waitFor(cloud->listRecords()), std::nullopt);
        QCOMPARE(cloud->status(), QStringLiteral("Request failed"));
        m_service.clearRequests();

        QSignalSpy emailChanged(cloud.get(), &CloudStore::emailChanged);
        cloud->signOut();
        QCOMPARE(cloud->token(), std::nullopt);
        QCOMPARE(cloud->userID(), std::nullopt);
        QCOMPARE(cloud->email(), QString());
        QCOMPARE(cloud->status(), QString());
        QCOMPARE(emailChanged.size(), 1);
        QCOMPARE(m_credentials->size(), 0);
        QCOMPARE(m_service.requests().size(), 0);

        CloudStore restarted(m_service.baseUrl(), m_credentials);
        QCOMPARE(restarted.token(), std::nullopt);
        QCOMPARE(QCoro::waitFor(restarted.listRecords()), std::nullopt);
        QCOMPARE(m_service.requests().size(), 0);
    }

    void restoresATokenWithoutAnEmail() {
        auto cloud = store(QStringLiteral("tok"), QStringLiteral("user"));
        QCOMPARE(cloud->token(), std::optional<QString>(QStringLiteral("tok")));
        QCOMPARE(cloud->email(), QString());
    }

    void neverSendsATokenThatCouldWriteHeaders() {
        auto cloud = store(QStringLiteral("tok\r\nX-Injected: yes"));
        QCoro::waitFor(cloud->listRecords());
        const QJsonObject headers = onlyRequest().value(QStringLiteral("headers")).toObject();
        QVERIFY(!headers.contains(QStringLiteral("x-injected")));
        QVERIFY(!headers.contains(QStringLiteral("authorization")));
    }

    void keepsItsSessionUnderTheConfiguredServiceName() {
        m_credentials->write(QStringLiteral("com.quillfen.tintara.cloud"), QStringLiteral("token"),
                             QStringLiteral("other"));
        CloudStore cloud(m_service.baseUrl(), m_credentials);
        QCOMPARE(cloud.token(), std::nullopt);
    }
};

QTEST_GUILESS_MAIN(TestCloudStore)
#include "TestCloudStore.moc"
