#include "engine/Ledger.h"

#include "records/JsonDecoding.h"

#include <QJsonObject>

namespace {

std::optional<QString> stringMember(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

} // namespace

QByteArray Ledger::encode() const {
    QJsonObject pulledObject;
    for (auto it = pulled.cbegin(); it != pulled.cend(); ++it) {
        QJsonObject entry{{QStringLiteral("fileName"), it->fileName},
                          {QStringLiteral("remoteFile"), it->remoteFile}};
        if (it->drxFile) {
            entry.insert(QStringLiteral("drxFile"), *it->drxFile);
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
        const QJsonValue drxFile = entry.value(QStringLiteral("drxFile"));
        if (!fileName || !remoteFile || !(drxFile.isUndefined() || drxFile.isNull() || drxFile.isString())) {
            return std::nullopt;
        }
        ledger.pulled.insert(
            it.key(), {*fileName, *remoteFile,
                       drxFile.isString() ? std::optional<QString>(drxFile.toString()) : std::nullopt});
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
