#include "records/CloudRecords.h"

#include <QJsonArray>

namespace {

template <typename T>
Decoded<T> decodeDocument(const QByteArray& bytes) {
    Decoded<QJsonValue> json = Json::parse(bytes);
    if (!json) {
        return Decoded<T>::failure(json.error());
    }
    return T::fromJson(*json);
}

QJsonArray numbers(const QList<double>& values) {
    QJsonArray array;
    for (double value : values) {
        array.append(value);
    }
    return array;
}

} // namespace

// -- LUTLook ----------------------------------------------------------------------------------

Decoded<LUTLook> LUTLook::fromJson(const QJsonValue& value, const QString& path) {
    const auto object = Json::object(value, path);
    if (!object) {
        return Decoded<LUTLook>::failure(object.error());
    }
    const auto name = Json::requiredString(*object, QStringLiteral("name"), path);
    const auto space = Json::requiredString(*object, QStringLiteral("space"), path);
    const auto slope = Json::requiredNumbers(*object, QStringLiteral("slope"), path);
    const auto offset = Json::requiredNumbers(*object, QStringLiteral("offset"), path);
    const auto power = Json::requiredNumbers(*object, QStringLiteral("power"), path);
    const auto saturation = Json::requiredNumber(*object, QStringLiteral("saturation"), path);
    const auto contrast = Json::optionalNumber(*object, QStringLiteral("contrast"), path);
    const auto pivot = Json::optionalNumber(*object, QStringLiteral("pivot"), path);
    const auto split = Json::optionalBool(*object, QStringLiteral("split"), path);
    for (const QString* error :
         {&name.error(), &space.error(), &slope.error(), &offset.error(), &power.error(), &saturation.error(),
          &contrast.error(), &pivot.error(), &split.error()}) {
        if (!error->isEmpty()) {
            return Decoded<LUTLook>::failure(*error);
        }
    }
    return LUTLook{*name, *space, *slope, *offset, *power, *saturation, *contrast, *pivot, *split};
}

Decoded<LUTLook> LUTLook::decode(const QByteArray& bytes) {
    return decodeDocument<LUTLook>(bytes);
}

QJsonObject LUTLook::toJson() const {
    QJsonObject object{
        {QStringLiteral("name"), name},
        {QStringLiteral("space"), space},
        {QStringLiteral("slope"), numbers(slope)},
        {QStringLiteral("offset"), numbers(offset)},
        {QStringLiteral("power"), numbers(power)},
        {QStringLiteral("saturation"), saturation},
    };
    if (contrast) {
        object.insert(QStringLiteral("contrast"), *contrast);
    }
    if (pivot) {
        object.insert(QStringLiteral("pivot"), *pivot);
    }
    if (split) {
        object.insert(QStringLiteral("split"), *split);
    }
    return object;
}

// -- LUTRecord --------------------------------------------------------------------------------

Decoded<LUTRecord> LUTRecord::fromJson(const QJsonValue& value, const QString& path) {
    const auto object = Json::object(value, path);
    if (!object) {
        return Decoded<LUTRecord>::failure(object.error());
    }
    const auto id = Json::requiredString(*object, QStringLiteral("id"), path);
    const auto name = Json::requiredString(*object, QStringLiteral("name"), path);
    const auto file = Json::requiredString(*object, QStringLiteral("file"), path);
    for (const QString* error : {&id.error(), &name.error(), &file.error()}) {
        if (!error->isEmpty()) {
            return Decoded<LUTRecord>::failure(*error);
        }
    }
    LUTRecord record{*id, *name, *file, {}, {}, {}, {}};
    record.size = Json::lenientInteger(*object, QStringLiteral("size"));
    record.resolve = Json::lenientBool(*object, QStringLiteral("resolve"));
    record.source = Json::lenientString(*object, QStringLiteral("source"));
    record.look = LUTLook::fromJson(object->value(QStringLiteral("look"))).toOptional();
    return record;
}

Decoded<LUTRecord> LUTRecord::decode(const QByteArray& bytes) {
    return decodeDocument<LUTRecord>(bytes);
}

// -- LUTListResponse --------------------------------------------------------------------------

Decoded<LUTListResponse> LUTListResponse::decode(const QByteArray& bytes) {
    const auto object = Json::parseObject(bytes);
    if (!object) {
        return Decoded<LUTListResponse>::failure(object.error());
    }
    const QJsonValue items = object->value(QStringLiteral("items"));
    if (!items.isArray()) {
        return Decoded<LUTListResponse>::failure(
            Json::failureAt({}, QStringLiteral("items"), QStringLiteral("an array"), items));
    }
    LUTListResponse response;
    const QJsonArray array = items.toArray();
    response.items.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        auto record = LUTRecord::fromJson(array.at(i), QStringLiteral("items[%1]").arg(i));
        if (!record) {
            return Decoded<LUTListResponse>::failure(record.error());
        }
        response.items.append(std::move(record).value());
    }
    return response;
}

// -- AuthResponse -----------------------------------------------------------------------------

Decoded<AuthResponse> AuthResponse::decode(const QByteArray& bytes) {
    const auto object = Json::parseObject(bytes);
    if (!object) {
        return Decoded<AuthResponse>::failure(object.error());
    }
    const auto token = Json::requiredString(*object, QStringLiteral("token"), {});
    if (!token) {
        return Decoded<AuthResponse>::failure(token.error());
    }
    const auto record = Json::object(object->value(QStringLiteral("record")), QStringLiteral("record"));
    if (!record) {
        const QJsonValue found = object->value(QStringLiteral("record"));
        return Decoded<AuthResponse>::failure(
            Json::failureAt({}, QStringLiteral("record"), QStringLiteral("an object"), found));
    }
    const auto id = Json::requiredString(*record, QStringLiteral("id"), QStringLiteral("record"));
    const auto email = Json::requiredString(*record, QStringLiteral("email"), QStringLiteral("record"));
    for (const QString* error : {&id.error(), &email.error()}) {
        if (!error->isEmpty()) {
            return Decoded<AuthResponse>::failure(*error);
        }
    }
    return AuthResponse{*token, {*id, *email}};
}
