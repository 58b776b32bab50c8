#include "cloud/CloudStore.h"

#include "cloud/BearerAuthorization.h"

#include "cloud/CredentialService.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QUuid>

#include <algorithm>
#include <cmath>
#include <coroutine>
#include <memory>
#include <utility>

namespace {

const QString tokenAccount = QStringLiteral("token");
const QString userIDAccount = QStringLiteral("userID");
const QString emailAccount = QStringLiteral("email");

const QString recordsPath = QStringLiteral("/api/collections/tintara_luts/records");

// Resumes once the reply finishes, or once it is destroyed unfinished, as it is with the network
// manager when the store goes away mid-request. QCoro's own awaiter waits for finished only, which
// would leave the request suspended, and every frame awaiting it allocated, for ever.
struct FinishedOrGone {
    QNetworkReply* reply;

    bool await_ready() const noexcept { return reply->isFinished(); }
    void await_suspend(std::coroutine_handle<> handle) const {
        const auto resumed = std::make_shared<bool>(false);
        const auto resume = [handle, resumed] {
            if (!std::exchange(*resumed, true)) {
                handle.resume();
            }
        };
        QObject::connect(reply, &QNetworkReply::finished, resume);
        QObject::connect(reply, &QObject::destroyed, resume);
    }
    void await_resume() const noexcept {}
};

// A request body that can be read once only. Qt's HTTP layer silently sends a request again when
// the connection closes before an answer; for a create that would make a second record. A body
// that cannot be rewound turns that second send into a failure, so each request reaches the
// service at most once.
class OneShotBody final : public QIODevice {
public:
    explicit OneShotBody(QByteArray bytes)
        : m_bytes(std::move(bytes)) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    bool atEnd() const override { return m_offset == m_bytes.size(); }
    qint64 bytesAvailable() const override { return m_bytes.size() - m_offset; }
    qint64 size() const override { return m_bytes.size(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        const qint64 count = std::min(maxSize, qint64(m_bytes.size()) - m_offset);
        std::copy_n(m_bytes.constData() + m_offset, count, data);
        m_offset += count;
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    QByteArray m_bytes;
    qint64 m_offset = 0;
};

// One path segment of a URL: a "/" inside is encoded, so a stored file name can never step into
// another folder of the service; "." and ".." are refused because a URL would resolve them.
std::optional<QByteArray> pathSegment(const QString& value) {
    if (value.isEmpty() || value == QLatin1String(".") || value == QLatin1String("..")) {
        return std::nullopt;
    }
    return QUrl::toPercentEncoding(value);
}

bool finite(const QList<double>& values) {
    return std::all_of(values.cbegin(), values.cend(), [](double value) { return std::isfinite(value); });
}

// JSON has no spelling for NaN or infinity; a look holding one does not encode.
std::optional<QJsonObject> encoded(const LUTLook& look) {
    if (!finite(look.slope) || !finite(look.offset) || !finite(look.power) ||
        !std::isfinite(look.saturation) || (look.contrast && !std::isfinite(*look.contrast)) ||
        (look.pivot && !std::isfinite(*look.pivot))) {
        return std::nullopt;
    }
    return look.toJson();
}

struct Multipart {
    QByteArray boundary =
        "tintara-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    QByteArray body;

    void text(const QString& name, const QString& value) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name.toUtf8() +
                "\"\r\n\r\n" + value.toUtf8() + "\r\n";
    }
    void file(const QString& fileName, const QByteArray& content) {
        // A quote or a line break in a file name would end the header early and let the rest of
        // the name forge header lines; they are escaped as browsers escape them in form data.
        QByteArray quoted = fileName.toUtf8();
        quoted.replace('"', "%22").replace('\r', "%0D").replace('\n', "%0A");
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + quoted +
                "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content;
        body += "\r\n--" + boundary + "--\r\n";
    }
};

} // namespace

CloudStore::CloudStore(QUrl base, std::shared_ptr<CredentialStore> credentials,
                       std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent)
    , m_base(std::move(base))
    , m_credentials(std::move(credentials))
    , m_timeout(timeout)
    , m_network(new QNetworkAccessManager(this)) {
    if (m_credentials) {
        const QString service = CredentialService::name();
        m_token = m_credentials->read(service, tokenAccount);
        m_userID = m_credentials->read(service, userIDAccount);
        m_email = m_credentials->read(service, emailAccount).value_or(QString());
    }
    m_credentialWrites.setMaxThreadCount(1);
}

// A sign-out made just before the program quits must still reach the store.
CloudStore::~CloudStore() {
    m_credentialWrites.waitForDone();
}

void CloudStore::setStatus(const QString& status) {
    if (m_status != status) {
        m_status = status;
        emit statusChanged();
    }
}

void CloudStore::setToken(const std::optional<QString>& token) {
    const bool wasSignedIn = signedIn();
    m_token = token;
    if (wasSignedIn != signedIn()) {
        emit signedInChanged();
    }
}

void CloudStore::setEmail(const QString& email) {
    if (m_email != email) {
        m_email = email;
        emit emailChanged();
    }
}

void CloudStore::store(const QString& account, const std::optional<QString>& value) {
    if (!m_credentials) {
        return;
    }
    if (!m_credentials->mayBlock()) {
        m_credentials->write(CredentialService::name(), account, value);
        return;
    }
    // A keyring call waits on another process; the interface must not wait with it.
    m_credentialWrites.start([credentials = m_credentials, service = CredentialService::name(), account,
                              value] { credentials->write(service, account, value); });
}

QUrl CloudStore::appending(const QUrl& base, const QString& path,
                           const QList<QPair<QString, QString>>& query) {
    QUrl url = base;
    QString head = base.path(QUrl::FullyDecoded);
    while (head.endsWith(u'/')) {
        head.chop(1);
    }
    QString tail = path;
    while (tail.startsWith(u'/')) {
        tail.remove(0, 1);
    }
    // DecodedMode makes QUrl percent-encode whatever a path cannot hold as it is (spaces, "%", "?", "#").
    url.setPath(head + u'/' + tail, QUrl::DecodedMode);
    QByteArray items;
    for (const auto& [key, value] : query) {
        items += (items.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(key) + '=' +
                 QUrl::toPercentEncoding(value);
    }
    url.setQuery(QString::fromLatin1(items), QUrl::StrictMode);
    url.setFragment(QString());
    return url;
}

QNetworkRequest CloudStore::request(const QString& path, const QList<QPair<QString, QString>>& query) const {
    QNetworkRequest request(appending(m_base, path, query));
    request.setTransferTimeout(int(m_timeout.count()));
    setBearerAuthorization(request, m_token);
    return request;
}

std::optional<QNetworkRequest> CloudStore::request(const QString& path, const QStringList& segments) const {
    QNetworkRequest built = request(path);
    QUrl url = built.url();
    QString encoded = url.path(QUrl::FullyEncoded);
    for (const QString& segment : segments) {
        const std::optional<QByteArray> piece = pathSegment(segment);
        if (!piece) {
            return std::nullopt;
        }
        encoded += u'/' + QString::fromLatin1(*piece);
    }
    url.setPath(encoded, QUrl::StrictMode);
    built.setUrl(url);
    return built;
}

QCoro::Task<CloudStore::Answer> CloudStore::send(QNetworkRequest request, QByteArray verb,
                                                 std::optional<QByteArray> body) {
    QPointer<CloudStore> self(this);
    QNetworkReply* reply = nullptr;
    if (verb == "GET") {
        reply = m_network->get(request);
    } else if (body) {
        auto* device = new OneShotBody(*body);
        request.setHeader(QNetworkRequest::ContentLengthHeader, body->size());
        request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
        reply = m_network->sendCustomRequest(request, verb, device);
        device->setParent(reply);
    } else {
        reply = m_network->sendCustomRequest(request, verb);
    }
    const QPointer<QNetworkReply> guard(reply);
    const FinishedOrGone finished{reply};
    co_await finished;
    if (!self || !guard) {
        co_return Answer{};
    }
    reply->deleteLater();

    Answer answer;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    // Errors below 200 belong to the connection (refused, closed, timed out, proxy); above that,
    // Qt only mirrors the HTTP status, which is an answer like any other.
    const bool transportError = error != QNetworkReply::NoError && (int(error) < 200 || !status.isValid());
    if (transportError) {
        answer.kind = Answer::Kind::transportFailure;
        switch (error) {
        case QNetworkReply::OperationCanceledError:
        case QNetworkReply::TimeoutError:
            answer.error = QStringLiteral("The request timed out.");
            break;
        // Qt says "Unknown error" when the connection closed and a one-shot body cannot go again.
        case QNetworkReply::ContentReSendError:
            answer.error = QStringLiteral("Connection closed before the cloud answered");
            break;
        default:
            answer.error = reply->errorString();
        }
    } else if (!status.isValid()) {
        answer.kind = Answer::Kind::notHttp;
    } else {
        answer.kind = Answer::Kind::http;
        answer.status = status.toInt();
        answer.body = reply->readAll();
    }
    co_return answer;
}

template <typename T>
QCoro::Task<std::optional<T>> CloudStore::perform(QNetworkRequest request, QByteArray verb,
                                                  std::optional<QByteArray> body) {
    const Answer answer = co_await send(std::move(request), std::move(verb), std::move(body));
    switch (answer.kind) {
    case Answer::Kind::abandoned:
        co_return std::nullopt;
    case Answer::Kind::transportFailure:
        setStatus(answer.error);
        co_return std::nullopt;
    case Answer::Kind::notHttp:
        setStatus(QStringLiteral("Request failed"));
        co_return std::nullopt;
    case Answer::Kind::http:
        break;
    }
    if (answer.status != 200) {
        setStatus(serverMessage(answer.body).value_or(QStringLiteral("Request failed")));
        co_return std::nullopt;
    }
    Decoded<T> decoded = T::decode(answer.body);
    if (!decoded) {
        setStatus(decoded.error());
        co_return std::nullopt;
    }
    co_return std::move(decoded).toOptional();
}

std::optional<QString> CloudStore::serverMessage(const QByteArray& body) {
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject() || document.object().isEmpty()) {
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    const QJsonValue data = object.value(QStringLiteral("data"));
    if (data.isObject()) {
        const QJsonObject fields = data.toObject();
        for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
            const QJsonValue message = it.value().toObject().value(QStringLiteral("message"));
            // An empty text would leave the failure without any words, so it does not count.
            if (it.value().isObject() && message.isString() && !message.toString().isEmpty()) {
                return it.key() + QStringLiteral(": ") + message.toString();
            }
        }
    }
    const QJsonValue message = object.value(QStringLiteral("message"));
    if (message.isString() && !message.toString().isEmpty()) {
        return message.toString();
    }
    return std::nullopt;
}

// The session

QCoro::Task<bool> CloudStore::signIn(QString email, QString password) {
    QPointer<CloudStore> self(this);
    const QString identity = email.trimmed().toLower();
    QNetworkRequest request(appending(m_base, QStringLiteral("/api/collections/users/auth-with-password")));
    request.setTransferTimeout(int(m_timeout.count()));
    request.setRawHeader("Content-Type", "application/json");
    const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("identity"), identity},
                                                      {QStringLiteral("password"), password}})
                                .toJson(QJsonDocument::Compact);

    const Answer answer = co_await send(std::move(request), QByteArray("POST"), body);
    if (!self || answer.kind == Answer::Kind::abandoned) {
        co_return false;
    }
    if (answer.kind == Answer::Kind::transportFailure) {
        setStatus(answer.error);
        co_return false;
    }
    if (answer.kind == Answer::Kind::notHttp || answer.status != 200) {
        setStatus(QStringLiteral("Email or password not recognized"));
        co_return false;
    }
    const Decoded<AuthResponse> auth = AuthResponse::decode(answer.body);
    if (!auth) {
        setStatus(auth.error());
        co_return false;
    }
    setToken(auth->token);
    m_userID = auth->record.id;
    setEmail(auth->record.email);
    store(tokenAccount, m_token);
    store(userIDAccount, m_userID);
    store(emailAccount, m_email);
    setStatus(QStringLiteral("Connected"));
    co_return true;
}

QCoro::Task<RefreshOutcome> CloudStore::refresh() {
    if (!m_token) {
        co_return RefreshOutcome::rejected;
    }
    QPointer<CloudStore> self(this);
    const Answer answer = co_await send(request(QStringLiteral("/api/collections/users/auth-refresh")),
                                        QByteArray("POST"), std::nullopt);
    if (!self || answer.kind != Answer::Kind::http) {
        co_return RefreshOutcome::unavailable;
    }
    if (answer.status == 200) {
        const Decoded<AuthResponse> auth = AuthResponse::decode(answer.body);
        if (!auth) {
            co_return RefreshOutcome::unavailable;
        }
        setToken(auth->token);
        store(tokenAccount, m_token);
        co_return RefreshOutcome::refreshed;
    }
    if (answer.status >= 400 && answer.status <= 499) {
        co_return RefreshOutcome::rejected;
    }
    co_return RefreshOutcome::unavailable;
}

void CloudStore::signOut() {
    setToken(std::nullopt);
    m_userID.reset();
    setEmail(QString());
    store(tokenAccount, std::nullopt);
    store(userIDAccount, std::nullopt);
    store(emailAccount, std::nullopt);
    setStatus(QString());
}

// The records

QCoro::Task<std::optional<QList<LUTRecord>>> CloudStore::listRecords() {
    if (!m_token) {
        co_return std::nullopt;
    }
    // Built outside the co_await expression: GCC 12 cannot keep braced temporaries in a coroutine frame.
    const QList<QPair<QString, QString>> query{{QStringLiteral("perPage"), QStringLiteral("200")},
                                               {QStringLiteral("sort"), QStringLiteral("created")}};
    QNetworkRequest listing = request(recordsPath, query);
    const std::optional<LUTListResponse> response =
        co_await perform<LUTListResponse>(std::move(listing), QByteArray("GET"), std::nullopt);
    if (!response) {
        co_return std::nullopt;
    }
    co_return response->items;
}

QCoro::Task<std::optional<LUTRecord>>
CloudStore::uploadLUT(QString name, QString file, std::optional<qint64> size, std::optional<QString> recordID,
                      std::optional<bool> resolve, std::optional<QString> source,
                      std::optional<LUTLook> look) {
    if (!m_userID) {
        co_return std::nullopt;
    }
    QFile local(file);
    if (!local.open(QIODevice::ReadOnly)) {
        co_return std::nullopt;
    }
    QByteArray content = local.readAll();
    if (local.error() != QFileDevice::NoError) {
        co_return std::nullopt;
    }
    local.close();
    // A named task: GCC 12 may destroy the temporary of `co_return co_await` twice.
    QCoro::Task<UploadResult> upload =
        uploadLUT(std::move(name), QFileInfo(file).fileName(), std::move(content), size, std::move(recordID),
                  resolve, std::move(source), std::move(look));
    const UploadResult result = co_await upload;
    co_return result.record;
}

QCoro::Task<UploadResult> CloudStore::uploadLUT(QString name, QString fileName, QByteArray content,
                                                std::optional<qint64> size, std::optional<QString> recordID,
                                                std::optional<bool> resolve, std::optional<QString> source,
                                                std::optional<LUTLook> look) {
    if (!m_userID) {
        co_return {};
    }
    Multipart form;
    form.text(QStringLiteral("owner"), *m_userID);
    form.text(QStringLiteral("name"), name);
    if (size) {
        form.text(QStringLiteral("size"), QString::number(*size));
    }
    if (resolve) {
        form.text(QStringLiteral("resolve"), *resolve ? QStringLiteral("true") : QStringLiteral("false"));
    }
    if (source) {
        form.text(QStringLiteral("source"), *source);
    }
    if (look) {
        if (const std::optional<QJsonObject> json = encoded(*look)) {
            form.text(QStringLiteral("look"), QString::fromUtf8(Json::compact(*json)));
        }
    }
    form.file(fileName, content);

    std::optional<QNetworkRequest> upload =
        recordID ? request(recordsPath, QStringList{*recordID}) : request(recordsPath);
    if (!upload) {
        // No record can have an id that is no path segment.
        setStatus(QStringLiteral("Could not upload the LUT"));
        co_return UploadResult{std::nullopt, true};
    }
    upload->setRawHeader("Content-Type", "multipart/form-data; boundary=" + form.boundary);

    QPointer<CloudStore> self(this);
    const Answer answer =
        co_await send(std::move(*upload), QByteArray(recordID ? "PATCH" : "POST"), form.body);
    if (!self || answer.kind == Answer::Kind::abandoned) {
        co_return {};
    }
    if (answer.kind == Answer::Kind::transportFailure) {
        setStatus(answer.error);
        co_return {};
    }
    if (answer.kind == Answer::Kind::notHttp || answer.status != 200) {
        setStatus(QStringLiteral("Could not upload the LUT"));
        co_return UploadResult{std::nullopt, recordID && answer.status == 404};
    }
    Decoded<LUTRecord> record = LUTRecord::decode(answer.body);
    if (!record) {
        setStatus(record.error());
        co_return {};
    }
    co_return UploadResult{std::move(record).toOptional(), false};
}

QCoro::Task<std::optional<QByteArray>> CloudStore::downloadFile(LUTRecord record) {
    std::optional<QNetworkRequest> download =
        request(QStringLiteral("/api/files/tintara_luts"), QStringList{record.id, record.file});
    if (!download) {
        co_return std::nullopt;
    }
    const Answer answer = co_await send(std::move(*download), QByteArray("GET"), std::nullopt);
    if (answer.kind != Answer::Kind::http || answer.status != 200) {
        co_return std::nullopt;
    }
    co_return answer.body;
}

QCoro::Task<bool> CloudStore::updateRecord(QString id, bool resolve, std::optional<LUTLook> look) {
    QJsonObject fields{{QStringLiteral("resolve"), resolve}};
    if (look) {
        if (const std::optional<QJsonObject> json = encoded(*look)) {
            fields.insert(QStringLiteral("look"), *json);
        }
    }
    std::optional<QNetworkRequest> update = request(recordsPath, QStringList{id});
    if (!update) {
        setStatus(QStringLiteral("Request failed"));
        co_return false;
    }
    update->setRawHeader("Content-Type", "application/json");
    const std::optional<LUTRecord> record = co_await perform<LUTRecord>(
        std::move(*update), QByteArray("PATCH"), QJsonDocument(fields).toJson(QJsonDocument::Compact));
    co_return record.has_value();
}
