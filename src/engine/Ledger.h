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
        // The LUT folder the files went into, and which folder stood at that path then
        // (FileSystem::folderIdentity). Absent in a ledger written before they were kept: such a
        // look is not known to be in any folder, and is delivered again.
        std::optional<QString> folder;
        std::optional<QString> folderID;
        // The record was seen no longer marked for Resolve after its delivery: files that went
        // meanwhile were not removed by the user from Resolve.
        bool unflagged = false;
        bool operator==(const Pulled&) const = default;
    };
    struct Pushed {
        QString recordID;
        QString hash; // SHA-256 of the uploaded bytes, 64 lower-case hexadecimal digits
        bool operator==(const Pushed&) const = default;
    };

    QMap<QString, Pulled> pulled; // by cloud record id
    QMap<QString, Pushed> pushed; // by inbox file name

    // Compact JSON; "drxFile", "folder", "folderID" only when present, "unflagged" only when true.
    QByteArray encode() const;
    // Nothing when the bytes are not a ledger of exactly this shape.
    static std::optional<Ledger> decode(const QByteArray& bytes);

    bool operator==(const Ledger&) const = default;
};
