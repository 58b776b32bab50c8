#include "engine/Ledger.h"

#include "records/JsonDecoding.h"

#include <QJsonObject>

namespace {

std::optional<QString> stringMember(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

// A member that may be left out (or null); present, it must be a string.
bool optionalString(const QJsonObject& object, const QString& key, std::optional<QString>* into) {
    const QJsonValue value = object.value(key);
    *into = stringMember(object, key);
    return value.isUndefined() || value.isNull() || value.isString();
}

void insertIfPresent(QJsonObject& object, const QString& key, const std::optional<QString>& value) {
    if (value) {
        object.insert(key, *value);
    }
}

} // namespace

QByteArray Ledger::encode() const {
    QJsonObject pulledObject;
    for (auto it = pulled.cbegin(); it != pulled.cend(); ++it) {
        QJsonObject entry{{QStringLiteral("fileName"), it->fileName},
                          {QStringLiteral("remoteFile"), it->remoteFile}};
        insertIfPresent(entry, QStringLiteral("drxFile"), it->drxFile);
        insertIfPresent(entry, QStringLiteral("folder"), it->folder);
        insertIfPresent(entry, QStringLiteral("folderID"), it->folderID);
        if (it->unflagged) {
            entry.insert(QStringLiteral("unflagged"), true);
        }
        pulledObject.insert(it.key(), entry);
    }
    QJsonObject pushedObject;
    for (auto it = pushed.cbegin(); it != pushed.cend(); ++it) {
        pushedObject.insert(it.key(), QJsonObject{{QStringLiteral("recordID"), it->recordID},
                                                  {QStringLiteral("hash"), it->hash}});
    }
    return Json::compact(
        QJsonObject{{QStringLiteral("pulled"), pulledObject}, {QStringLiteral("pushed"), pushedObject}});
}

std::optional<Ledger> Ledger::decode(const QByteArray& bytes) {
    const Decoded<QJsonValue> json = Json::parse(bytes);
    if (!json || !json->isObject()) {
        return std::nullopt;
    }
    const QJsonObject root = json->toObject();
    const QJsonValue pulledValue = root.value(QStringLiteral("pulled"));
    const QJsonValue pushedValue = root.value(QStringLiteral("pushed"));
    if (!pulledValue.isObject() || !pushedValue.isObject()) {
        return std::nullopt;
    }

    Ledger ledger;
    const QJsonObject pulledObject = pulledValue.toObject();
    for (auto it = pulledObject.constBegin(); it != pulledObject.constEnd(); ++it) {
        if (!it.value().isObject()) {
            return std::nullopt;
        }
        const QJsonObject entry = it.value().toObject();
        const auto fileName = stringMember(entry, QStringLiteral("fileName"));
        const auto remoteFile = stringMember(entry, QStringLiteral("remoteFile"));
        Pulled pulled{fileName.value_or(QString()), remoteFile.value_or(QString()), {}, {}, {}, false};
        if (!fileName || !remoteFile || !optionalString(entry, QStringLiteral("drxFile"), &pulled.drxFile) ||
            !optionalString(entry, QStringLiteral("folder"), &pulled.folder) ||
            !optionalString(entry, QStringLiteral("folderID"), &pulled.folderID)) {
            return std::nullopt;
        }
        pulled.unflagged = entry.value(QStringLiteral("unflagged")).toBool(false);
        ledger.pulled.insert(it.key(), std::move(pulled));
    }
    const QJsonObject pushedObject = pushedValue.toObject();
    for (auto it = pushedObject.constBegin(); it != pushedObject.constEnd(); ++it) {
        if (!it.value().isObject()) {
            return std::nullopt;
        }
        const QJsonObject entry = it.value().toObject();
        const auto recordID = stringMember(entry, QStringLiteral("recordID"));
        const auto hash = stringMember(entry, QStringLiteral("hash"));
        if (!recordID || !hash) {
            return std::nullopt;
        }
        ledger.pushed.insert(it.key(), {*recordID, *hash});
    }
    return ledger;
}
