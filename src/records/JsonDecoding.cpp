#include "records/JsonDecoding.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <limits>

namespace Json {

Decoded<QJsonValue> parse(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        return Decoded<QJsonValue>::failure(QStringLiteral("The data is not valid JSON (%1 at offset %2)")
                                                .arg(error.errorString())
                                                .arg(error.offset));
    }
    if (document.isObject()) {
        return QJsonValue(document.object());
    }
    return QJsonValue(document.array());
}

QString describe(const QJsonValue& value) {
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("a boolean");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("a string");
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

QString at(const QString& path, const QString& key) {
    return path.isEmpty() ? key : path + QLatin1Char('.') + key;
}

QString failureAt(const QString& path, const QString& key, const QString& expected, const QJsonValue& found) {
    if (found.isUndefined()) {
        return QStringLiteral("The data is missing the key \"%1\"").arg(at(path, key));
    }
    return QStringLiteral("Expected %1 for \"%2\" but found %3")
        .arg(expected, at(path, key), describe(found));
}

Decoded<QJsonObject> object(const QJsonValue& value, const QString& path) {
    if (!value.isObject()) {
        const QString where =
            path.isEmpty() ? QStringLiteral("the top level") : QStringLiteral("\"%1\"").arg(path);
        return Decoded<QJsonObject>::failure(
            QStringLiteral("Expected an object at %1 but found %2").arg(where, describe(value)));
    }
    return value.toObject();
}

Decoded<QJsonObject> parseObject(const QByteArray& bytes) {
    const Decoded<QJsonValue> json = parse(bytes);
    if (!json) {
        return Decoded<QJsonObject>::failure(json.error());
    }
    return object(*json, {});
}

Decoded<QString> requiredString(const QJsonObject& object, const QString& key, const QString& path) {
    const QJsonValue value = object.value(key);
    if (!value.isString()) {
        return Decoded<QString>::failure(failureAt(path, key, QStringLiteral("a string"), value));
    }
    return value.toString();
}

Decoded<double> requiredNumber(const QJsonObject& object, const QString& key, const QString& path) {
    const QJsonValue value = object.value(key);
    if (!value.isDouble()) {
        return Decoded<double>::failure(failureAt(path, key, QStringLiteral("a number"), value));
    }
    return value.toDouble();
}

Decoded<QList<double>> requiredNumbers(const QJsonObject& object, const QString& key, const QString& path) {
    const QJsonValue value = object.value(key);
    if (!value.isArray()) {
        return Decoded<QList<double>>::failure(
            failureAt(path, key, QStringLiteral("an array of numbers"), value));
    }
    const QJsonArray array = value.toArray();
    QList<double> numbers;
    numbers.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        const QJsonValue element = array.at(i);
        if (!element.isDouble()) {
            return Decoded<QList<double>>::failure(failureAt(path, QStringLiteral("%1[%2]").arg(key).arg(i),
                                                             QStringLiteral("a number"), element));
        }
        numbers.append(element.toDouble());
    }
    return numbers;
}

Decoded<std::optional<double>> optionalNumber(const QJsonObject& object, const QString& key,
                                              const QString& path) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        return std::optional<double>();
    }
    if (!value.isDouble()) {
        return Decoded<std::optional<double>>::failure(
            failureAt(path, key, QStringLiteral("a number"), value));
    }
    return std::optional<double>(value.toDouble());
}

Decoded<std::optional<bool>> optionalBool(const QJsonObject& object, const QString& key,
                                          const QString& path) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        return std::optional<bool>();
    }
    if (!value.isBool()) {
        return Decoded<std::optional<bool>>::failure(
            failureAt(path, key, QStringLiteral("a boolean"), value));
    }
    return std::optional<bool>(value.toBool());
}

Decoded<std::optional<qint64>> optionalInteger(const QJsonObject& object, const QString& key,
                                               const QString& path) {
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull()) {
        return std::optional<qint64>();
    }
    const std::optional<qint64> number = integer(value);
    if (!number) {
        return Decoded<std::optional<qint64>>::failure(
            failureAt(path, key, QStringLiteral("an integer"), value));
    }
    return number;
}

std::optional<qint64> integer(const QJsonValue& value) {
    if (!value.isDouble()) {
        return std::nullopt;
    }
    // Qt keeps integral literals that fit 64 bits as exact integers; anything else is a double,
    // which counts only when it holds an integer that a qint64 can represent.
    constexpr qint64 sentinel = std::numeric_limits<qint64>::min();
    const qint64 exact = value.toInteger(sentinel);
    if (exact != sentinel || value.toDouble() == double(sentinel)) {
        return exact;
    }
    return std::nullopt;
}

std::optional<QString> lenientString(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

std::optional<bool> lenientBool(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    return value.isBool() ? std::optional<bool>(value.toBool()) : std::nullopt;
}

std::optional<qint64> lenientInteger(const QJsonObject& object, const QString& key) {
    return integer(object.value(key));
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace Json
