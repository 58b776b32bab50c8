#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

#include <optional>

// What was pulled from the cloud into the LUT folder and pushed from the inbox to the cloud.
struct Ledger {
    struct Pulled {
        QString fileName;               // the .cube written into the LUT folder
        QString remoteFile;             // the record's stored file name at download time
        std::optional<QString> drxFile; // the still written into "Looks", if any
        bool operator==(const Pulled&) const = default;
    };
    struct Pushed {
        QString recordID;
        QString hash; // SHA-256 of the uploaded bytes, 64 lower-case hexadecimal digits
        bool operator==(const Pushed&) const = default;
    };

    QMap<QString, Pulled> pulled; // by cloud record id
    QMap<QString, Pushed> pushed; // by inbox file name

    // Compact JSON; "drxFile" only when present.
    QByteArray encode() const;
    // Nothing when the bytes are not a ledger of exactly this shape.
    static std::optional<Ledger> decode(const QByteArray& bytes);

    bool operator==(const Ledger&) const = default;
};
