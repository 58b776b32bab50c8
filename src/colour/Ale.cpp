#include "colour/Ale.h"

#include <QRegularExpression>
#include <QStringDecoder>

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
                                                        : QStringLiteral("Clip %1").arg(quoted(clip.name));
    if (clip.name.trimmed().isEmpty()) {
        return QStringLiteral("%1 has no name").arg(where);
    }
    if (clip.tape.trimmed().isEmpty() && clip.sourceFile.trimmed().isEmpty()) {
        return QStringLiteral("%1 has neither a tape nor a source file").arg(where);
    }
    QString why;
    const std::optional<qint64> start = frameLabel(clip.start, rate, &why);
    if (!start) {
        return QStringLiteral("%1: the start timecode %2 %3").arg(where, quoted(clip.start), why);
    }
    const std::optional<qint64> end = frameLabel(clip.end, rate, &why);
    if (!end) {
        return QStringLiteral("%1: the end timecode %2 %3").arg(where, quoted(clip.end), why);
    }
    // Mixed counts would put the end a different number of frames away than its label says.
    if (clip.start.contains(u';') != clip.end.contains(u';')) {
        return QStringLiteral("%1 starts at %2 and ends at %3: one counts drop frame and the other does "
                              "not; both must count the same way")
            .arg(where, clip.start, clip.end);
    }
    if (*end <= *start) {
        return QStringLiteral("%1 ends at %2, not after its start at %3").arg(where, clip.end, clip.start);
    }
    if (const QString problem = clip.cdl.problem(); !problem.isEmpty()) {
        return QStringLiteral("%1: %2").arg(where, problem);
    }
    return {};
}

QString problemWith(const Heading& heading, const QList<Clip>& clips) {
    if (!videoFormats().contains(heading.videoFormat)) {
        return QStringLiteral("The video format %1 is not one of %2")
            .arg(quoted(heading.videoFormat), videoFormats().join(QStringLiteral(", ")));
    }
    const Rate* rate = rateFor(heading.fps);
    if (!rate) {
        return QStringLiteral("The frame rate %1 is not one of %2")
            .arg(quoted(heading.fps), frameRates().join(QStringLiteral(", ")));
    }
    if (clips.isEmpty()) {
        return QStringLiteral("An ALE file needs at least one clip");
    }
    for (qsizetype i = 0; i < clips.size(); ++i) {
        if (const QString problem = problemWith(clips[i], i, *rate); !problem.isEmpty()) {
            return problem;
        }
    }
    return {};
}

// "(s s s)(o o o)(p p p)", blanks allowed around the groups and the numbers.
bool readSop(const QString& text, Cdl& cdl) {
    static const QRegularExpression pattern(
        QStringLiteral("^\\s*\\(([^()]*)\\)\\s*\\(([^()]*)\\)\\s*\\(([^()]*)\\)\\s*$"));
    const QRegularExpressionMatch match = pattern.match(text);
    Rgb* const targets[] = {&cdl.slope, &cdl.offset, &cdl.power};
    for (int group = 0; group < 3 && match.hasMatch(); ++group) {
        const QStringList words = match.captured(group + 1).split(u' ', Qt::SkipEmptyParts);
        for (int channel = 0; channel < 3; ++channel) {
            const std::optional<double> value =
                words.size() == 3 ? parseCdlNumber(words[channel]) : std::nullopt;
            if (!value) {
                return false;
            }
            (*targets[group])[channel] = *value;
        }
    }
    return match.hasMatch();
}

qsizetype columnIndex(const QStringList& columns, QStringView name) {
    for (qsizetype i = 0; i < columns.size(); ++i) {
        if (columns[i].compare(name, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    return -1;
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
    if (const QString problem = problemWith(heading, clips); !problem.isEmpty()) {
        return Decoded<QByteArray>::failure(problem);
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

Decoded<Log> read(const QByteArray& bytes) {
    QStringDecoder utf8(QStringConverter::Utf8); // drops a byte order mark
    QString text = utf8(bytes);
    if (utf8.hasError()) {
        text = QString::fromLatin1(bytes);
    }
    const auto failure = [](qsizetype line, const QString& message) {
        return Decoded<Log>::failure(QStringLiteral("Line %1: %2").arg(line + 1).arg(message));
    };
    const QString notAle = QStringLiteral("This is not an ALE file: it does not begin with Heading");
    enum class Section { none, heading, column, data } section = Section::none;
    Log log;
    bool hasFps = false;
    QStringList columns;
    qsizetype name = -1, start = -1, end = -1, tape = -1, source = -1, sop = -1, sat = -1;
    const QStringList lines = text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")));
    for (qsizetype number = 0; number < lines.size(); ++number) {
        const QString& line = lines[number];
        const QString word = line.trimmed();
        if (word.isEmpty()) {
            continue;
        }
        if (word == u"Heading" || word == u"Column" || word == u"Data") {
            section = word == u"Heading"  ? Section::heading
                      : word == u"Column" ? Section::column
                                          : Section::data;
            continue;
        }
        const QStringList fields = line.split(u'\t');
        switch (section) {
        case Section::none:
            return Decoded<Log>::failure(notAle);
        case Section::heading: {
            const QString key = fields.first().trimmed(), value = fields.value(1).trimmed();
            if (key == u"FIELD_DELIM" && value != u"TABS") {
                return failure(number, QStringLiteral("the fields are delimited by %1; only TABS can be read")
                                           .arg(quoted(value)));
            }
            if (key == u"VIDEO_FORMAT") {
                log.heading.videoFormat = value;
            } else if (key == u"FPS") {
                log.heading.fps = value;
                hasFps = true;
            }
            break;
        }
        case Section::column:
            columns.clear();
            for (const QString& field : fields) {
                columns.append(field.trimmed());
            }
            name = columnIndex(columns, u"Name");
            start = columnIndex(columns, u"Start");
            end = columnIndex(columns, u"End");
            tape = columnIndex(columns, u"Tape");
            source = columnIndex(columns, u"Source File");
            sop = columnIndex(columns, u"ASC_SOP");
            sat = columnIndex(columns, u"ASC_SAT");
            if (name < 0 || start < 0 || end < 0 || (tape < 0 && source < 0) || (sop < 0 && sat < 0)) {
                return failure(number, QStringLiteral("the columns need Name, Start, End, Tape or Source "
                                                      "File, and ASC_SOP or ASC_SAT"));
            }
            break;
        case Section::data: {
            if (columns.isEmpty()) {
                return failure(number, QStringLiteral("a clip comes before the Column line"));
            }
            for (qsizetype extra = columns.size(); extra < fields.size(); ++extra) {
                if (!fields[extra].trimmed().isEmpty()) {
                    return failure(number, QStringLiteral("the clip has more fields than there are columns"));
                }
            }
            // A control character reads as the space the writer would put in its place, so that a
            // log read and written again keeps its names.
            const auto cell = [&](qsizetype column) { return field(fields.value(column)).trimmed(); };
            Clip& clip = log.clips.emplace_back(
                Clip{cell(name), cell(tape), cell(source), cell(start), cell(end), Cdl{}});
            if (!cell(sop).isEmpty() && !readSop(cell(sop), clip.cdl)) {
                return failure(number,
                               QStringLiteral("the ASC_SOP %1 is not of the form (s s s)(o o o)(p p p)")
                                   .arg(quoted(cell(sop))));
            }
            if (!cell(sat).isEmpty()) {
                const std::optional<double> saturation = parseCdlNumber(cell(sat));
                if (!saturation) {
                    return failure(number,
                                   QStringLiteral("the ASC_SAT %1 is not a number").arg(quoted(cell(sat))));
                }
                clip.cdl.saturation = *saturation;
            }
            break;
        }
        }
    }
    if (section == Section::none) {
        return Decoded<Log>::failure(notAle);
    }
    if (!hasFps) {
        return Decoded<Log>::failure(QStringLiteral("The heading has no FPS line"));
    }
    if (const QString problem = problemWith(log.heading, log.clips); !problem.isEmpty()) {
        return Decoded<Log>::failure(problem);
    }
    return log;
}

} // namespace Ale
