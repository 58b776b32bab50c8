#include "platform/linux/SecretServiceCredentialStore.h"

#include "platform/FileSystem.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>

// GLib names a struct member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <libsecret/secret.h>
#pragma pop_macro("signals")

namespace {

// Items are found by their two attributes alone, whoever stored them (as generic passwords are
// by service and account), so that a delete leaves no older item behind to be read later.
const SecretSchema* schema() {
    static const SecretSchema value = {
        "com.quillfen.tonewharf.Credential",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &value;
}

void clear(GError*& error) {
    if (error) {
        g_error_free(error);
        error = nullptr;
    }
}

// Asks without prompting: a locked or missing default collection means no store at all here.
bool unlockedDefaultCollection() {
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (!service) {
        clear(error);
        return false;
    }
    SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, nullptr, &error);
    clear(error);
    bool unlocked = false;
    if (collection) {
        unlocked = !secret_collection_get_locked(collection);
        g_object_unref(collection);
    }
    g_object_unref(service);
    return unlocked;
}

// Deletes every item of the pair; true when none is left.
bool erase(const QByteArray& service, const QByteArray& account) {
    GError* error = nullptr;
    while (secret_password_clear_sync(schema(), nullptr, &error, "service", service.constData(), "account",
                                      account.constData(), nullptr)) {
    }
    const bool erased = !error;
    clear(error);
    return erased;
}

QJsonArray pair(const QString& service, const QString& account) {
    return QJsonArray{service, account};
}

} // namespace

SecretServiceCredentialStore::SecretServiceCredentialStore(QString forgottenFile)
    : m_forgottenFile(std::move(forgottenFile)) {}

bool SecretServiceCredentialStore::isForgotten(const QString& service, const QString& account) {
    if (m_forgottenFile.isEmpty()) {
        return false;
    }
    QMutexLocker lock(&m_forgottenMutex);
    const std::optional<QByteArray> bytes = FileSystem::readAll(m_forgottenFile, 1024 * 1024);
    return bytes && QJsonDocument::fromJson(*bytes).array().contains(pair(service, account));
}

void SecretServiceCredentialStore::setForgotten(const QString& service, const QString& account,
                                                bool forgotten) {
    if (m_forgottenFile.isEmpty()) {
        return;
    }
    QMutexLocker lock(&m_forgottenMutex);
    const std::optional<QByteArray> bytes = FileSystem::readAll(m_forgottenFile, 1024 * 1024);
    const QJsonArray entry = pair(service, account);
    QJsonArray pairs;
    bool found = false;
    for (const QJsonValue& each : bytes ? QJsonDocument::fromJson(*bytes).array() : QJsonArray()) {
        found = found || each == entry;
        if (each != entry) {
            pairs.append(each);
        }
    }
    if (found == forgotten) {
        return;
    }
    if (forgotten) {
        pairs.append(entry);
    }
    if (pairs.isEmpty()) {
        QFile::remove(m_forgottenFile);
    } else {
        FileSystem::writeAtomically(m_forgottenFile, QJsonDocument(pairs).toJson(QJsonDocument::Compact));
    }
}

bool SecretServiceCredentialStore::isAvailable() {
    return unlockedDefaultCollection();
}

std::optional<QString> SecretServiceCredentialStore::read(const QString& service, const QString& account) {
    const QByteArray serviceName = service.toUtf8();
    const QByteArray accountName = account.toUtf8();
    if (isForgotten(service, account)) {
        // Deleted while the keyring was locked: the delete is finished now if it can be.
        if (unlockedDefaultCollection() && erase(serviceName, accountName)) {
            setForgotten(service, account, false);
        }
        return std::nullopt;
    }
    // A lookup of a locked item would raise an unlock prompt and wait for it.
    if (!unlockedDefaultCollection()) {
        return std::nullopt;
    }
    GError* error = nullptr;
    gchar* secret = secret_password_lookup_sync(schema(), nullptr, &error, "service", serviceName.constData(),
                                                "account", accountName.constData(), nullptr);
    clear(error);
    if (!secret) {
        return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString value = decoder(QByteArrayView(secret, qsizetype(qstrlen(secret))));
    secret_password_free(secret);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return value;
}

void SecretServiceCredentialStore::write(const QString& service, const QString& account,
                                         const std::optional<QString>& value) {
    const QByteArray serviceName = service.toUtf8();
    const QByteArray accountName = account.toUtf8();
    // Every item of the pair goes, so that a lookup can never find an older one.
    bool written = unlockedDefaultCollection() && erase(serviceName, accountName);
    if (written && value) {
        const QByteArray label = serviceName + " (" + accountName + ')';
        QByteArray secret = value->toUtf8();
        GError* error = nullptr;
        written = secret_password_store_sync(
            schema(), SECRET_COLLECTION_DEFAULT, label.constData(), secret.constData(), nullptr, &error,
            "service", serviceName.constData(), "account", accountName.constData(), nullptr);
        clear(error);
        secret.fill('\0');
    }
    if (written) {
        setForgotten(service, account, false);
    } else if (!value) {
        setForgotten(service, account, true);
    }
}
