#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

// The value decoded from JSON, or a readable description of why it could not be.
template <typename T>
class Decoded {
public:
    Decoded(T value)
        : m_value(std::move(value)) {} // NOLINT(google-explicit-constructor)
    static Decoded failure(QString description) {
        Decoded result;
        result.m_error = std::move(description);
        return result;
    }

    explicit operator bool() const { return m_value.has_value(); }
    bool ok() const { return m_value.has_value(); }
    const T& value() const& { return *m_value; }
    T&& value() && { return std::move(*m_value); }
    const T& operator*() const& { return *m_value; }
    const T* operator->() const { return &*m_value; }
    std::optional<T> toOptional() && { return std::move(m_value); }
    const QString& error() const { return m_error; }

private:
    Decoded() = default;
    std::optional<T> m_value;
    QString m_error;
};

// Strict readers that follow the type rules of the records: a required key must be present
// with its JSON type; an optional key may be absent or null but must otherwise have its type;
// a lenient key that is absent, null or of another type gives no value. `path` names the
// place in the document for error messages, such as "items[2].look".
namespace Json {

Decoded<QJsonValue> parse(const QByteArray& bytes);
Decoded<QJsonObject> object(const QJsonValue& value, const QString& path);
// A whole document that must be a JSON object.
Decoded<QJsonObject> parseObject(const QByteArray& bytes);

QString describe(const QJsonValue& value);
QString at(const QString& path, const QString& key);
QString failureAt(const QString& path, const QString& key, const QString& expected, const QJsonValue& found);

Decoded<QString> requiredString(const QJsonObject& object, const QString& key, const QString& path);
Decoded<double> requiredNumber(const QJsonObject& object, const QString& key, const QString& path);
Decoded<QList<double>> requiredNumbers(const QJsonObject& object, const QString& key, const QString& path);
Decoded<std::optional<double>> optionalNumber(const QJsonObject& object, const QString& key,
                                              const QString& path);
Decoded<std::optional<bool>> optionalBool(const QJsonObject& object, const QString& key, const QString& path);
Decoded<std::optional<qint64>> optionalInteger(const QJsonObject& object, const QString& key,
                                               const QString& path);

// An integral JSON number that fits a signed 64-bit integer exactly.
std::optional<qint64> integer(const QJsonValue& value);

std::optional<QString> lenientString(const QJsonObject& object, const QString& key);
std::optional<bool> lenientBool(const QJsonObject& object, const QString& key);
std::optional<qint64> lenientInteger(const QJsonObject& object, const QString& key);

QByteArray compact(const QJsonObject& object);

} // namespace Json
