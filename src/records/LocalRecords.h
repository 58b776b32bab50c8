#pragma once

#include "records/CloudRecords.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// A look sent by an iPad in the body of POST /v1/luts.
struct Incoming {
    QString name;
    QByteArray cube; // the complete .cube text, as UTF-8
    std::optional<qint64> size;
    std::optional<LUTLook> look;

    static Decoded<Incoming> decode(const QByteArray& bytes);

    bool operator==(const Incoming&) const = default;
};

// One grade file waiting in the outgoing inbox.
struct InboxItem {
    QString name;
    QString hash; // SHA-256 as 64 lower-case hexadecimal digits
    qint64 size = 0;

    QJsonObject toJson() const;

    bool operator==(const InboxItem&) const = default;
};

// The numbered inbox listing that iPads fetch and long-poll.
struct InboxSnapshot {
    qint64 seq = 0;
    QList<InboxItem> items;

    QJsonObject toJson() const;
    QByteArray encode() const;

    bool operator==(const InboxSnapshot&) const = default;
};
