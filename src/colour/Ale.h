#pragma once

#include "colour/Cdl.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Avid Log Exchange: the tab-separated clip log that carries CDL values to editorial in its
// ASC_SOP and ASC_SAT columns.
namespace Ale {

struct Heading {
    QString videoFormat = QStringLiteral("1080"); // one of videoFormats()
    QString fps = QStringLiteral("24");           // one of frameRates()

    bool operator==(const Heading&) const = default;
};

struct Clip {
    QString name;
    QString tape; // a tape name, a source file or both
    QString sourceFile;
    QString start; // HH:MM:SS:FF, or HH:MM:SS;FF for drop frame at 29.97 and 59.94
    QString end;   // the first frame after the clip, as Avid reads End
    Cdl cdl;

    bool operator==(const Clip&) const = default;
};

// A whole log: its heading and its clips.
struct Log {
    Heading heading;
    QList<Clip> clips;
};

QStringList videoFormats();
QStringList frameRates();

// The file as UTF-8 text with line feeds, or why it cannot be written. ALE has no quoting, so a
// tab or line break inside a name becomes a space; other text, accented or not, is kept as it is.
Decoded<QByteArray> write(const Heading& heading, const QList<Clip>& clips);

// Reads a log as Avid and other tools write it: UTF-8 (Latin-1 when it is not), any line ends,
// columns in any order and others besides Name, Start, End, Tape, Source File, ASC_SOP and
// ASC_SAT. A clip with an empty ASC_SOP or ASC_SAT takes the identity for it. The log must pass
// the checks write() makes, so that what is read can be written again.
Decoded<Log> read(const QByteArray& bytes);

// A clip's ASC_SOP field, "(s s s)(o o o)(p p p)".
QString ascSop(const Cdl& cdl);

} // namespace Ale
