#include "colour/Ale.h"

#include <QRegularExpression>

#include <optional>

namespace Ale {

namespace {

struct Rate {
    const char* fps;
    int framesPerSecond; // the frame labels of one second
    int dropped;         // labels skipped at each minute but every tenth: drop frame; 0 when none
};

const Rate rates[] = {{"23.976", 24, 0}, {"23.98", 24, 0}, {"24", 24, 0},    {"25", 25, 0},
                      {"29.97", 30, 2},  {"30", 30, 0},    {"47.95", 48, 0}, {"48", 48, 0},
                      {"50", 50, 0},     {"59.94", 60, 4}, {"60", 60, 0}};

const char* const formats[] = {"NTSC", "PAL", "720", "1080", "CUSTOM"};

const Rate* rateFor(const QString& fps) {
    for (const Rate& rate : rates) {
        if (fps == QLatin1String(rate.fps)) {
            return &rate;
        }
    }
    return nullptr;
}

// The timecode as a count of frame labels, or why it is not one at this rate.
std::optional<qint64> frameLabel(const QString& timecode, const Rate& rate, QString* why) {
    static const QRegularExpression pattern(QStringLiteral("^(\\d\\d):(\\d\\d):(\\d\\d)([:;])(\\d\\d)$"));
    const QRegularExpressionMatch match = pattern.match(timecode);
    if (!match.hasMatch()) {
        *why = QStringLiteral("is not of the form HH:MM:SS:FF");
        return std::nullopt;
    }
    const int hours = match.captured(1).toInt();
    const int minutes = match.captured(2).toInt();
    const int seconds = match.captured(3).toInt();
    const bool dropFrame = match.captured(4) == u";";
    const int frames = match.captured(5).toInt();
    if (hours > 23 || minutes > 59 || seconds > 59 || frames >= rate.framesPerSecond) {
        *why = QStringLiteral("does not exist at %1 fps").arg(QLatin1String(rate.fps));
        return std::nullopt;
    }
    if (dropFrame && rate.dropped == 0) {
        *why = QStringLiteral("is a drop-frame timecode, which %1 fps does not have")
                   .arg(QLatin1String(rate.fps));
        return std::nullopt;
    }
    if (dropFrame && seconds == 0 && minutes % 10 != 0 && frames < rate.dropped) {
        *why = QStringLiteral("is a label that drop frame skips");
        return std::nullopt;
    }
    return ((hours * 60LL + minutes) * 60 + seconds) * rate.framesPerSecond + frames;
}

// ALE has no quoting: a tab or a line break inside a field would start a new field or row.
QString field(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029) {
            c = u' ';
        }
    }
    return out;
}

QString problemWith(const Clip& clip, qsizetype index, const Rate& rate) {
    const QString where = clip.name.trimmed().isEmpty() ? QStringLiteral("Clip %1").arg(index + 1)
                                                        : QStringLiteral("Clip \"%1\"").arg(clip.name);
    if (clip.name.trimmed().isEmpty()) {
        return QStringLiteral("%1 has no name").arg(where);
    }
    if (clip.tape.trimmed().isEmpty() && clip.sourceFile.trimmed().isEmpty()) {
        return QStringLiteral("%1 has neither a tape nor a source file").arg(where);
    }
    QString why;
    const std::optional<qint64> start = frameLabel(clip.start, rate, &why);
    if (!start) {
        return QStringLiteral("%1: the start timecode \"%2\" %3").arg(where, clip.start, why);
    }
    const std::optional<qint64> end = frameLabel(clip.end, rate, &why);
    if (!end) {
        return QStringLiteral("%1: the end timecode \"%2\" %3").arg(where, clip.end, why);
    }
    if (*end <= *start) {
        return QStringLiteral("%1 ends at %2, not after its start at %3").arg(where, clip.end, clip.start);
    }
    if (const QString problem = clip.cdl.problem(); !problem.isEmpty()) {
        return QStringLiteral("%1: %2").arg(where, problem);
    }
    return {};
}

} // namespace

QStringList videoFormats() {
    QStringList list;
    for (const char* format : formats) {
        list.append(QLatin1String(format));
    }
    return list;
}

QStringList frameRates() {
    QStringList list;
    for (const Rate& rate : rates) {
        list.append(QLatin1String(rate.fps));
    }
    return list;
}

QString ascSop(const Cdl& cdl) {
    QString sop;
    for (const Rgb* values : {&cdl.slope, &cdl.offset, &cdl.power}) {
        sop += QStringLiteral("(%1 %2 %3)")
                   .arg(cdlNumber((*values)[0]), cdlNumber((*values)[1]), cdlNumber((*values)[2]));
    }
    return sop;
}

Decoded<QByteArray> write(const Heading& heading, const QList<Clip>& clips) {
    if (!videoFormats().contains(heading.videoFormat)) {
        return Decoded<QByteArray>::failure(
            QStringLiteral("The video format \"%1\" is not one of %2")
                .arg(heading.videoFormat, videoFormats().join(QStringLiteral(", "))));
    }
    const Rate* rate = rateFor(heading.fps);
    if (!rate) {
        return Decoded<QByteArray>::failure(QStringLiteral("The frame rate \"%1\" is not one of %2")
                                                .arg(heading.fps, frameRates().join(QStringLiteral(", "))));
    }
    if (clips.isEmpty()) {
        return Decoded<QByteArray>::failure(QStringLiteral("An ALE file needs at least one clip"));
    }
    for (qsizetype i = 0; i < clips.size(); ++i) {
        if (const QString problem = problemWith(clips[i], i, *rate); !problem.isEmpty()) {
            return Decoded<QByteArray>::failure(problem);
        }
    }

    QStringList lines{QStringLiteral("Heading"),
                      QStringLiteral("FIELD_DELIM\tTABS"),
                      QStringLiteral("VIDEO_FORMAT\t") + heading.videoFormat,
                      QStringLiteral("FPS\t") + heading.fps,
                      QString(),
                      QStringLiteral("Column"),
                      QStringLiteral("Name\tTracks\tStart\tEnd\tTape\tSource File\tASC_SOP\tASC_SAT"),
                      QString(),
                      QStringLiteral("Data")};
    for (const Clip& clip : clips) {
        lines.append(QStringList{field(clip.name), QStringLiteral("V"), clip.start, clip.end,
                                 field(clip.tape), field(clip.sourceFile), ascSop(clip.cdl),
                                 cdlNumber(clip.cdl.saturation)}
                         .join(u'\t'));
    }
    return (lines.join(u'\n') + u'\n').toUtf8();
}

} // namespace Ale
