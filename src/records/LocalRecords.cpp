#include "records/LocalRecords.h"

#include <QJsonArray>

Decoded<Incoming> Incoming::decode(const QByteArray& bytes) {
    const auto object = Json::parseObject(bytes);
    if (!object) {
        return Decoded<Incoming>::failure(object.error());
    }
    const auto name = Json::requiredString(*object, QStringLiteral("name"), {});
    const auto cube = Json::requiredString(*object, QStringLiteral("cube"), {});
    const auto size = Json::optionalInteger(*object, QStringLiteral("size"), {});
    for (const QString* error : {&name.error(), &cube.error(), &size.error()}) {
        if (!error->isEmpty()) {
            return Decoded<Incoming>::failure(*error);
        }
    }
    Incoming incoming{*name, cube->toUtf8(), *size, {}};
    const QJsonValue look = object->value(QStringLiteral("look"));
    if (!look.isUndefined() && !look.isNull()) {
        auto decoded = LUTLook::fromJson(look, QStringLiteral("look"));
        if (!decoded) {
            return Decoded<Incoming>::failure(decoded.error());
        }
        incoming.look = std::move(decoded).value();
    }
    return incoming;
}

QJsonObject InboxItem::toJson() const {
    return {{QStringLiteral("name"), name}, {QStringLiteral("hash"), hash}, {QStringLiteral("size"), size}};
}

QJsonObject InboxSnapshot::toJson() const {
    QJsonArray array;
    for (const InboxItem& item : items) {
        array.append(item.toJson());
    }
    return {{QStringLiteral("seq"), seq}, {QStringLiteral("items"), array}};
}

QByteArray InboxSnapshot::encode() const {
    return Json::compact(toJson());
}
