#pragma once

#include "platform/CredentialStore.h"
#include "records/CloudRecords.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QThreadPool>
#include <QUrl>

#include <QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;
class QNetworkRequest;

// What a session refresh found out.
enum class RefreshOutcome {
    refreshed,   // the service issued a new token, now stored
    rejected,    // the service refused the session (400-499), or there was no token to refresh
    unavailable, // no usable answer; the current token is kept
};

// What an upload came back with. A replacing upload that failed because the record is not there
// (the service answered 404) says so: only then may the file go up as a fresh record.
struct UploadResult {
    std::optional<LUTRecord> record;
    bool recordMissing = false;
};

// The client of the cloud record service and the signed-in session. Lives on the GUI thread;
// every operation is one independent request that resumes there. Nothing throws: a failure is
// an empty result plus the text left in `status`.
class CloudStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QString email READ email NOTIFY emailChanged)
    Q_PROPERTY(bool signedIn READ signedIn NOTIFY signedInChanged)

public:
    static constexpr std::chrono::milliseconds requestTimeout{60'000};

    // Restores the stored session from `credentials` (under CredentialService::name()); sends nothing.
    // Later writes to a store that may block are made in order on a thread of their own, and all
    // are made before the destructor returns.
    CloudStore(QUrl base, std::shared_ptr<CredentialStore> credentials,
               std::chrono::milliseconds timeout = requestTimeout, QObject* parent = nullptr);
    ~CloudStore() override;

    QUrl base() const { return m_base; }
    QString status() const { return m_status; }
    QString email() const { return m_email; }
    std::optional<QString> token() const { return m_token; }
    // The session holds a token.
    bool signedIn() const { return m_token.has_value(); }
    std::optional<QString> userID() const { return m_userID; }

    // The session.
    QCoro::Task<bool> signIn(QString email, QString password);
    QCoro::Task<RefreshOutcome> refresh();
    void signOut();

    // The records of the collection "tintara_luts".
    QCoro::Task<std::optional<QList<LUTRecord>>> listRecords();
    // Creates a record, or replaces the file and fields of `recordID` when given. `file` is the
    // local file to send; its last path component becomes the part's file name.
    QCoro::Task<std::optional<LUTRecord>>
    uploadLUT(QString name, QString file, std::optional<qint64> size = {},
              std::optional<QString> recordID = {}, std::optional<bool> resolve = {},
              std::optional<QString> source = {}, std::optional<LUTLook> look = {});
    // The same with the file's bytes at hand, sent exactly as given under `fileName`.
    QCoro::Task<UploadResult> uploadLUT(QString name, QString fileName, QByteArray content,
                                        std::optional<qint64> size = {}, std::optional<QString> recordID = {},
                                        std::optional<bool> resolve = {}, std::optional<QString> source = {},
                                        std::optional<LUTLook> look = {});
    QCoro::Task<std::optional<QByteArray>> downloadFile(LUTRecord record);
    QCoro::Task<bool> updateRecord(QString id, bool resolve, std::optional<LUTLook> look = {});

    // One line from a PocketBase-style error body: "field: message" from "data", else the
    // top-level "message"; nothing for anything else.
    static std::optional<QString> serverMessage(const QByteArray& body);
    // `base` with `path` appended: exactly one "/" between the two, characters a path cannot
    // hold percent-encoded, then the query items in the order given.
    static QUrl appending(const QUrl& base, const QString& path,
                          const QList<QPair<QString, QString>>& query = {});

signals:
    void statusChanged();
    void emailChanged();
    void signedInChanged();

private:
    struct Answer {
        enum class Kind { transportFailure, notHttp, http, abandoned };
        Kind kind = Kind::abandoned;
        int status = 0;
        QByteArray body;
        QString error; // the transport failure's description
    };

    QNetworkRequest request(const QString& path, const QList<QPair<QString, QString>>& query = {}) const;
    // A request for `path` followed by each of `segments` as one percent-encoded path segment;
    // nothing when a segment is empty, "." or "..", which a URL would resolve away.
    std::optional<QNetworkRequest> request(const QString& path, const QStringList& segments) const;
    QCoro::Task<Answer> send(QNetworkRequest request, QByteArray verb, std::optional<QByteArray> body);
    template <typename T>
    QCoro::Task<std::optional<T>> perform(QNetworkRequest request, QByteArray verb,
                                          std::optional<QByteArray> body);

    void setStatus(const QString& status);
    void setEmail(const QString& email);
    void setToken(const std::optional<QString>& token);
    void store(const QString& account, const std::optional<QString>& value);

    const QUrl m_base;
    const std::shared_ptr<CredentialStore> m_credentials;
    const std::chrono::milliseconds m_timeout;
    QNetworkAccessManager* m_network; // a child, so that replies outlive no owner
    QString m_email;
    QString m_status;
    std::optional<QString> m_token;
    std::optional<QString> m_userID;
    QThreadPool m_credentialWrites; // one thread: the writes keep their order
};
