#pragma once

#include "records/JsonDecoding.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// CDL-style parameters of a look, as TINTARA sends them.
struct LUTLook {
    QString name;
    QString space;
    QList<double> slope;  // red, green, blue
    QList<double> offset; // red, green, blue
    QList<double> power;  // red, green, blue
    double saturation = 1.0;
    std::optional<double> contrast;
    std::optional<double> pivot;
    std::optional<bool> split;

    static Decoded<LUTLook> fromJson(const QJsonValue& value, const QString& path = {});
    static Decoded<LUTLook> decode(const QByteArray& bytes);
    // The six required keys always; each optional key only when it has a value.
    QJsonObject toJson() const;

    bool operator==(const LUTLook&) const = default;
};

// One record of the cloud collection "tintara_luts".
struct LUTRecord {
    QString id;
    QString name;
    QString file; // the stored file name of the record's file field
    std::optional<qint64> size;
    std::optional<bool> resolve;
    std::optional<QString> source;
    std::optional<LUTLook> look;

    static Decoded<LUTRecord> fromJson(const QJsonValue& value, const QString& path = {});
    static Decoded<LUTRecord> decode(const QByteArray& bytes);

    bool operator==(const LUTRecord&) const = default;
};

// The answer to a record listing; one record that fails to decode fails the listing.
struct LUTListResponse {
    QList<LUTRecord> items;

    static Decoded<LUTListResponse> decode(const QByteArray& bytes);

    bool operator==(const LUTListResponse&) const = default;
};

// The answer to a password sign-in or a session refresh.
struct AuthResponse {
    struct Record {
        QString id;
        QString email;
        bool operator==(const Record&) const = default;
    };

    QString token;
    Record record;

    static Decoded<AuthResponse> decode(const QByteArray& bytes);

    bool operator==(const AuthResponse&) const = default;
};
