#pragma once

#include "colour/Cdl.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The ASC CDL v1.2 XML files through which colourists pass CDL values between the set, the
// grading suite and editorial: a ColorCorrection (.cc), a ColorCorrectionCollection (.ccc) and a
// ColorDecisionList (.cdl).
namespace AscCdl {

enum class Format { correction, collection, decisionList };

QString suffix(Format format); // "cc", "ccc", "cdl"
std::optional<Format> formatForSuffix(const QString& suffix);

struct Notes {
    QStringList descriptions;
    QString inputDescription;
    QString viewingDescription;

    bool isEmpty() const {
        return descriptions.isEmpty() && inputDescription.isEmpty() && viewingDescription.isEmpty();
    }
    bool operator==(const Notes&) const = default;
};

struct Correction {
    QString id; // may be empty, but unique in a file when given
    Notes notes;
    QStringList sopDescriptions;
    QStringList satDescriptions;
    QString mediaRef; // the ColorDecision's MediaRef; only a .cdl carries it
    Cdl cdl;
    // Written as a ColorCorrectionRef to the correction of the same id held elsewhere in the file
    // (.cdl and .ccc only); reading fills in what that correction holds.
    bool reference = false;

    bool operator==(const Correction&) const = default;
};

struct Document {
    Format format = Format::correction;
    Notes notes; // the collection's or the list's own; a .cc has none
    QList<Correction> corrections;
    // Reading only: one message for each ColorCorrectionRef that names no correction of the file;
    // it is left out of the corrections, and everything else is read.
    QStringList unresolved;

    bool operator==(const Document&) const = default;
};

// The file's bytes (UTF-8), or why the document cannot be written without losing part of it.
Decoded<QByteArray> write(const Document& document);
// Reads any of the three forms, whatever the file's name; an error names the element at fault
// and its line. Elements in other vendors' namespaces are skipped, and a correction without a
// SOPNode or a SatNode takes the identity for it, as OpenColorIO reads such files.
Decoded<Document> read(const QByteArray& bytes);

} // namespace AscCdl
