// tonewharf-cdl: CDL values carried between a look's JSON, ASC CDL files and Avid Log Exchange, and
// baked into a .cube 3D LUT.

#include "colour/Ale.h"
#include "colour/AscCdl.h"
#include "colour/Cube.h"
#include "platform/FileSystem.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <cstdio>

namespace {

constexpr int failed = 1;
constexpr int misused = 2;

// Written whole: a message may hold any character, a NUL included, when it quotes a name.
void say(const QString& line) {
    const QByteArray bytes = (QStringLiteral("tonewharf-cdl: ") + line + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}

int complain(const QString& message, int status) {
    say(message);
    return status;
}

struct Options {
    QCommandLineOption format{
        QStringLiteral("format"),
        QStringLiteral("Output format: json, cc, ccc, cdl, ale or cube (default: the output's extension)."),
        QStringLiteral("format")};
    QCommandLineOption id{
        QStringLiteral("id"),
        QStringLiteral("The ColorCorrection or clip to convert where the input holds several. "
                       "For a look's JSON: the id it gets in a CDL file (default: its name)."),
        QStringLiteral("id")};
    QCommandLineOption description{
        QStringLiteral("description"),
        QStringLiteral("cc, ccc, cdl: a Description added to each ColorCorrection; may be repeated."),
        QStringLiteral("text")};
    QCommandLineOption clip{QStringLiteral("clip"),
                            QStringLiteral("ALE: the clip's name (default: the look's name or the id)."),
                            QStringLiteral("name")};
    QCommandLineOption tape{QStringLiteral("tape"), QStringLiteral("ALE: the clip's tape name."),
                            QStringLiteral("tape")};
    QCommandLineOption sourceFile{QStringLiteral("source-file"),
                                  QStringLiteral("ALE: the clip's source file (default: the MediaRef)."),
                                  QStringLiteral("file")};
    QCommandLineOption start{QStringLiteral("start"),
                             QStringLiteral("ALE: the clip's first frame, HH:MM:SS:FF."),
                             QStringLiteral("timecode")};
    QCommandLineOption end{QStringLiteral("end"),
                           QStringLiteral("ALE: the frame after the clip's last, HH:MM:SS:FF."),
                           QStringLiteral("timecode")};
    QCommandLineOption fps{QStringLiteral("fps"),
                           QStringLiteral("ALE: the frame rate, one of %1 (default: the input log's, or 24).")
                               .arg(Ale::frameRates().join(", ")),
                           QStringLiteral("rate")};
    QCommandLineOption videoFormat{
        QStringLiteral("video-format"),
        QStringLiteral("ALE: the video format, one of %1 (default: the input log's, or 1080).")
            .arg(Ale::videoFormats().join(", ")),
        QStringLiteral("format")};
    QCommandLineOption size{QStringLiteral("size"),
                            QStringLiteral("cube: points per edge, from %1 to %2 (default: %3).")
                                .arg(Cube::smallestSize)
                                .arg(Cube::largestSize)
                                .arg(Cube::defaultSize),
                            QStringLiteral("points")};

    // The options that shape only a clip of a log.
    const QList<const QCommandLineOption*> clipOptions{&clip, &tape, &sourceFile, &start, &end};
};

// One correction of the input; an ALE's clips become corrections named after them.
struct Entry {
    AscCdl::Correction correction;
    std::optional<Ale::Clip> clip;
};

struct Input {
    QList<Entry> entries;
    AscCdl::Notes notes;                 // a collection's or a list's own
    std::optional<Ale::Heading> heading; // an ALE input's
    std::optional<LUTLook> look;         // a look's JSON input, with what CDL has no place for
    QStringList warnings;
};

std::optional<QByteArray> readFile(const QString& path, QString* why) {
    QFile file;
    const bool opened = path == u"-" ? file.open(stdin, QIODevice::ReadOnly)
                                     : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        *why = QStringLiteral("Cannot read %1: %2").arg(quoted(path), file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

// What the input is, told by its first character rather than its name, so that standard input works
// as well as any file.
Decoded<Input> readInput(const QString& path, const QByteArray& bytes, const QString& id) {
    qsizetype first = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    while (first < bytes.size() && QChar::isSpace(uchar(bytes[first]))) {
        ++first;
    }
    Input input;
    if (first == bytes.size()) {
        return Decoded<Input>::failure(QStringLiteral("%1 is empty").arg(quoted(path)));
    }
    if (bytes[first] == '{') {
        Decoded<LUTLook> look = LUTLook::decode(bytes);
        if (!look) {
            return Decoded<Input>::failure(
                QStringLiteral("%1 is not a look: %2").arg(quoted(path), look.error()));
        }
        const Decoded<Cdl> cdl = Cdl::fromLook(*look);
        if (!cdl) {
            return Decoded<Input>::failure(cdl.error());
        }
        AscCdl::Correction correction;
        correction.id = id.isNull() ? look->name : id;
        correction.notes.inputDescription = look->space;
        correction.cdl = *cdl;
        input.entries.append({correction, std::nullopt});
        input.look = std::move(look).value();
    } else if (bytes[first] == '<') {
        const Decoded<AscCdl::Document> document = AscCdl::read(bytes);
        if (!document) {
            return Decoded<Input>::failure(
                QStringLiteral("%1 cannot be read: %2").arg(quoted(path), document.error()));
        }
        for (const AscCdl::Correction& correction : document->corrections) {
            input.entries.append({correction, std::nullopt});
        }
        input.notes = document->notes;
        input.warnings = document->unresolved;
    } else {
        const Decoded<Ale::Log> log = Ale::read(bytes);
        if (!log) {
            return Decoded<Input>::failure(
                QStringLiteral("%1 cannot be read: %2").arg(quoted(path), log.error()));
        }
        for (const Ale::Clip& clip : log->clips) {
            AscCdl::Correction correction;
            correction.id = clip.name;
            correction.mediaRef = clip.sourceFile;
            correction.cdl = clip.cdl;
            input.entries.append({correction, clip});
        }
        input.heading = log->heading;
    }
    return input;
}

// The corrections to choose among: a reference only repeats one of them.
QList<Entry> heldEntries(const QList<Entry>& entries) {
    QList<Entry> held;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(held),
                 [](const Entry& entry) { return !entry.correction.reference; });
    return held;
}

QString idList(const QList<Entry>& entries) {
    QStringList ids;
    for (const Entry& entry : entries.first(std::min<qsizetype>(entries.size(), 10))) {
        ids.append(quoted(entry.correction.id));
    }
    return ids.join(QStringLiteral(", ")) + (entries.size() > ids.size() ? QStringLiteral(", …") : QString());
}

Decoded<QByteArray> asAle(const QCommandLineParser& parser, const Options& options, const Input& input) {
    Ale::Heading heading = input.heading.value_or(Ale::Heading{});
    if (parser.isSet(options.fps)) {
        heading.fps = parser.value(options.fps);
    }
    if (parser.isSet(options.videoFormat)) {
        heading.videoFormat = parser.value(options.videoFormat);
    }
    QList<Ale::Clip> clips;
    for (const Entry& entry : input.entries) {
        const AscCdl::Correction& correction = entry.correction;
        clips.append(
            entry.clip.value_or(Ale::Clip{correction.id, {}, correction.mediaRef, {}, {}, correction.cdl}));
    }
    if (clips.size() == 1) {
        Ale::Clip& clip = clips.first();
        QString* const fields[] = {&clip.name, &clip.tape, &clip.sourceFile, &clip.start, &clip.end};
        for (qsizetype i = 0; i < options.clipOptions.size(); ++i) {
            if (parser.isSet(*options.clipOptions[i])) {
                *fields[i] = parser.value(*options.clipOptions[i]);
            }
        }
        QStringList missing;
        if (clip.start.isEmpty() || clip.end.isEmpty()) {
            missing.append(QStringLiteral("--start and --end"));
        }
        if (clip.tape.isEmpty() && clip.sourceFile.isEmpty()) {
            missing.append(QStringLiteral("--tape or --source-file"));
        }
        if (!missing.isEmpty()) {
            return Decoded<QByteArray>::failure(
                QStringLiteral("An ALE row needs %1").arg(missing.join(QStringLiteral("; "))));
        }
    }
    return Ale::write(heading, clips);
}

Decoded<QByteArray> asCdl(const QCommandLineParser& parser, const Options& options, const Input& input,
                          AscCdl::Format format) {
    AscCdl::Document document{
        format, format == AscCdl::Format::correction ? AscCdl::Notes{} : input.notes, {}, {}};
    bool mediaRefsLeftOut = false;
    for (const Entry& entry : input.entries) {
        AscCdl::Correction correction = entry.correction;
        if (format != AscCdl::Format::decisionList) {
            // Without a MediaRef, a reference only repeats a correction the collection holds.
            if (correction.reference) {
                continue;
            }
            // An ALE's source files go with its tapes and timecodes, as anyone writing a collection expects.
            mediaRefsLeftOut = mediaRefsLeftOut || (!entry.clip && !correction.mediaRef.isEmpty());
            correction.mediaRef.clear();
        }
        correction.notes.descriptions += parser.values(options.description);
        document.corrections.append(correction);
    }
    if (mediaRefsLeftOut) {
        say(QStringLiteral("note: a .%1 file has no place for MediaRefs; they were left out")
                .arg(AscCdl::suffix(format)));
    }
    return AscCdl::write(document);
}

Decoded<QByteArray> asLook(const Input& input) {
    const AscCdl::Correction& correction = input.entries.first().correction;
    const LUTLook look =
        input.look.value_or(correction.cdl.toLook(correction.id, correction.notes.inputDescription));
    return QJsonDocument(look.toJson()).toJson();
}

// The output's form, from --format or the output's extension.
struct Target {
    QString name; // json, cc, ccc, cdl, ale or cube
    std::optional<AscCdl::Format> cdl;

    bool is(QStringView form) const { return name == form; }
    bool known() const { return cdl || is(u"ale") || is(u"cube") || is(u"json"); }
    // A log holds several clips only where the input gave each its timecodes.
    bool holdsSeveral(const Input& input) const {
        return cdl == AscCdl::Format::collection || cdl == AscCdl::Format::decisionList ||
               (is(u"ale") && input.heading);
    }
};

// Why an option given has no use in the output, or nothing.
QString misplacedOption(const QCommandLineParser& parser, const Options& options, const Target& target) {
    QList<const QCommandLineOption*> aleOptions{&options.fps, &options.videoFormat};
    aleOptions += options.clipOptions;
    for (const QCommandLineOption* option : aleOptions) {
        if (parser.isSet(*option) && !target.is(u"ale")) {
            return QStringLiteral("--%1 applies to an .ale output only").arg(option->names().first());
        }
    }
    if (parser.isSet(options.description) && !target.cdl) {
        return QStringLiteral("--description applies to a .cc, .ccc or .cdl output only");
    }
    if (parser.isSet(options.size) && !target.is(u"cube")) {
        return QStringLiteral("--size applies to a .cube output only");
    }
    return {};
}

// Narrows the input to what the output is to hold: the correction --id names, or the only one where
// the output holds one. Why it cannot, or nothing.
QString choose(Input& input, const QString& id, const Target& target, const QString& path, bool clipOptions) {
    if (input.look) {
        return id.isNull() || target.cdl ? QString()
                                         : QStringLiteral("--id names the ColorCorrection of a .cc, .ccc or "
                                                          ".cdl output; a look has no other to pick");
    }
    const QList<Entry> held = heldEntries(input.entries);
    if (!id.isNull()) {
        const auto picked = std::find_if(held.cbegin(), held.cend(),
                                         [&](const Entry& entry) { return entry.correction.id == id; });
        if (picked == held.cend()) {
            return QStringLiteral("%1 holds nothing named %2; it holds %3")
                .arg(quoted(path), quoted(id), idList(held));
        }
        input.entries = {*picked};
    } else if (!target.holdsSeveral(input) && input.entries.size() > 1) {
        if (held.size() > 1) {
            return QStringLiteral("%1 holds %2 corrections (%3); %4pick one with --id")
                .arg(quoted(path))
                .arg(held.size())
                .arg(idList(held), target.is(u"ale")
                                       ? QStringLiteral("an ALE clip needs timecodes of its own, so ")
                                       : QString());
        }
        input.entries = held;
    }
    return clipOptions && input.entries.size() > 1
               ? QStringLiteral("the clip options apply to one clip; pick it with --id")
               : QString();
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tonewharf-cdl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TONEWHARF_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Converts CDL values between a look in Tonewharf's JSON form (.json), ASC CDL files (.cc, .ccc,\n"
        ".cdl) and Avid Log Exchange files (.ale), and bakes them into a .cube 3D LUT. The input's form\n"
        "is told from its contents; the output's from its extension or --format. \"-\" reads standard\n"
        "input or writes standard output (then --format is needed). A look's space becomes the\n"
        "InputDescription; its contrast, pivot and split have no place in CDL and are left out."));
    const Options options;
    parser.addOptions({options.format, options.id, options.description, options.clip, options.tape,
                       options.sourceFile, options.start, options.end, options.fps, options.videoFormat,
                       options.size});
    parser.addPositionalArgument(QStringLiteral("input"),
                                 QStringLiteral("A look's JSON, a .cc, .ccc, .cdl or .ale file, or -."));
    parser.addPositionalArgument(QStringLiteral("output"),
                                 QStringLiteral("The file to write, or - for standard output."));
    parser.addHelpOption();
    parser.addVersionOption();
    if (!parser.parse(QCoreApplication::arguments())) {
        return complain(parser.errorText(), misused);
    }
    if (parser.isSet(QStringLiteral("help"))) {
        parser.showHelp(0);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        parser.showVersion();
    }
    const QStringList arguments = parser.positionalArguments();
    if (arguments.size() != 2) {
        return complain(QStringLiteral("expected an input and an output file; see --help"), misused);
    }
    const QString& output = arguments[1];
    Target target;
    target.name =
        parser.isSet(options.format) ? parser.value(options.format) : QFileInfo(output).suffix().toLower();
    target.cdl = AscCdl::formatForSuffix(target.name);
    if (!target.known()) {
        return complain(output == u"-" && !parser.isSet(options.format)
                            ? QStringLiteral("writing to standard output needs --format")
                            : QStringLiteral("unknown format %1: use json, cc, ccc, cdl, ale or cube")
                                  .arg(quoted(target.name)),
                        misused);
    }
    if (const QString misplaced = misplacedOption(parser, options, target); !misplaced.isEmpty()) {
        return complain(misplaced, misused);
    }
    bool sizeIsNumber = true;
    const int size =
        parser.isSet(options.size) ? parser.value(options.size).toInt(&sizeIsNumber) : Cube::defaultSize;
    if (!sizeIsNumber) {
        return complain(
            QStringLiteral("--size takes a whole number, not %1").arg(quoted(parser.value(options.size))),
            misused);
    }

    QString why;
    const std::optional<QByteArray> bytes = readFile(arguments[0], &why);
    if (!bytes) {
        return complain(why, failed);
    }
    const QString id = parser.isSet(options.id) ? parser.value(options.id) : QString();
    Decoded<Input> read = readInput(arguments[0], *bytes, id);
    if (!read) {
        return complain(read.error(), failed);
    }
    Input input = std::move(read).value();
    for (const QString& warning : input.warnings) {
        say(QStringLiteral("warning: ") + warning);
    }
    const bool clipOptions =
        std::any_of(options.clipOptions.begin(), options.clipOptions.end(),
                    [&](const QCommandLineOption* option) { return parser.isSet(*option); });
    if (const QString refused = choose(input, id, target, arguments[0], clipOptions); !refused.isEmpty()) {
        return complain(refused, misused);
    }
    if (input.look && !target.is(u"json") &&
        (input.look->contrast || input.look->pivot || input.look->split)) {
        say(QStringLiteral(
            "note: the look's contrast, pivot and split are not part of CDL and were left out"));
    }

    const AscCdl::Correction& first = input.entries.first().correction;
    const Decoded<QByteArray> written = target.cdl           ? asCdl(parser, options, input, *target.cdl)
                                        : target.is(u"ale")  ? asAle(parser, options, input)
                                        : target.is(u"cube") ? Cube::bake(first.cdl, size, first.id)
                                                             : asLook(input);
    if (!written) {
        return complain(written.error(), failed);
    }
    if (output == u"-") {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly) || out.write(*written) != written->size() ||
            !out.flush()) {
            return complain(QStringLiteral("Cannot write to standard output: %1").arg(out.errorString()),
                            failed);
        }
        return 0;
    }
    if (const WriteResult result = FileSystem::writeAtomically(output, *written); !result) {
        return complain(QStringLiteral("Cannot write %1: %2").arg(quoted(output), result.error), failed);
    }
    return 0;
}
