#include "platform/linux/SecretServiceCredentialStore.h"

#include <QByteArray>
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

} // namespace

bool SecretServiceCredentialStore::isAvailable() {
    return unlockedDefaultCollection();
}

std::optional<QString> SecretServiceCredentialStore::read(const QString& service, const QString& account) {
    // A lookup of a locked item would raise an unlock prompt and wait for it.
    if (!unlockedDefaultCollection()) {
        return std::nullopt;
    }
    const QByteArray serviceName = service.toUtf8();
    const QByteArray accountName = account.toUtf8();
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
    if (!unlockedDefaultCollection()) {
        return;
    }
    const QByteArray serviceName = service.toUtf8();
    const QByteArray accountName = account.toUtf8();
    GError* error = nullptr;
    // Every item of the pair goes, so that a lookup can never find an older one.
    while (secret_password_clear_sync(schema(), nullptr, &error, "service", serviceName.constData(),
                                      "account", accountName.constData(), nullptr)) {
    }
    clear(error);
    if (!value) {
        return;
    }
    const QByteArray label = serviceName + " (" + accountName + ')';
    QByteArray secret = value->toUtf8();
    secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.constData(), secret.constData(),
                               nullptr, &error, "service", serviceName.constData(), "account",
                               accountName.constData(), nullptr);
    clear(error);
    secret.fill('\0');
}
