// tonewharf-cdl: a look in Tonewharf's JSON form, written as an ASC CDL file or an Avid Log Exchange.

#include "colour/Ale.h"
#include "colour/AscCdl.h"
#include "platform/FileSystem.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

constexpr int failed = 1;
constexpr int misused = 2;

int complain(const QString& message, int status) {
    std::fprintf(stderr, "tonewharf-cdl: %s\n", qPrintable(message));
    return status;
}

struct Options {
    QCommandLineOption format{
        QStringLiteral("format"),
        QStringLiteral("Output format: cc, ccc, cdl or ale (default: the output's extension)."),
        QStringLiteral("format")};
    QCommandLineOption id{QStringLiteral("id"),
                          QStringLiteral("Id of the ColorCorrection (default: the look's name)."),
                          QStringLiteral("id")};
    QCommandLineOption description{QStringLiteral("description"),
                                   QStringLiteral("A Description of the ColorCorrection; may be repeated."),
                                   QStringLiteral("text")};
    QCommandLineOption clip{QStringLiteral("clip"),
                            QStringLiteral("ALE: the clip's name (default: the look's name)."),
                            QStringLiteral("name")};
    QCommandLineOption tape{QStringLiteral("tape"), QStringLiteral("ALE: the clip's tape name."),
                            QStringLiteral("tape")};
    QCommandLineOption sourceFile{QStringLiteral("source-file"),
                                  QStringLiteral("ALE: the clip's source file."), QStringLiteral("file")};
    QCommandLineOption start{QStringLiteral("start"),
                             QStringLiteral("ALE: the clip's first frame, HH:MM:SS:FF."),
                             QStringLiteral("timecode")};
    QCommandLineOption end{QStringLiteral("end"),
                           QStringLiteral("ALE: the frame after the clip's last, HH:MM:SS:FF."),
                           QStringLiteral("timecode")};
    QCommandLineOption fps{
        QStringLiteral("fps"),
        QStringLiteral("ALE: the frame rate, one of %1.").arg(Ale::frameRates().join(", ")),
        QStringLiteral("rate"), QStringLiteral("24")};
    QCommandLineOption videoFormat{
        QStringLiteral("video-format"),
        QStringLiteral("ALE: the video format, one of %1.").arg(Ale::videoFormats().join(", ")),
        QStringLiteral("format"), QStringLiteral("1080")};
};

std::optional<QByteArray> readInput(const QString& path, QString* why) {
    QFile file;
    const bool opened = path == u"-" ? file.open(stdin, QIODevice::ReadOnly)
                                     : (file.setFileName(path), file.open(QIODevice::ReadOnly));
    if (!opened) {
        *why = QStringLiteral("Cannot read %1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
}

Decoded<QByteArray> asAle(const QCommandLineParser& parser, const Options& options, const LUTLook& look,
                          const Cdl& cdl) {
    QStringList missing;
    for (const QCommandLineOption* option : {&options.start, &options.end}) {
        if (!parser.isSet(*option)) {
            missing.append(QStringLiteral("--") + option->names().first());
        }
    }
    if (!parser.isSet(options.tape) && !parser.isSet(options.sourceFile)) {
        missing.append(QStringLiteral("--tape or --source-file"));
    }
    if (!missing.isEmpty()) {
        return Decoded<QByteArray>::failure(
            QStringLiteral("An ALE row needs %1").arg(missing.join(QStringLiteral("; "))));
    }
    const Ale::Clip clip{parser.isSet(options.clip) ? parser.value(options.clip) : look.name,
                         parser.value(options.tape),
                         parser.value(options.sourceFile),
                         parser.value(options.start),
                         parser.value(options.end),
                         cdl};
    return Ale::write({parser.value(options.videoFormat), parser.value(options.fps)}, {clip});
}

Decoded<QByteArray> asCdl(const QCommandLineParser& parser, const Options& options, AscCdl::Format format,
                          const LUTLook& look, const Cdl& cdl) {
    AscCdl::Correction correction;
    correction.id = parser.isSet(options.id) ? parser.value(options.id) : look.name;
    correction.notes.descriptions = parser.values(options.description);
    correction.notes.inputDescription = look.space;
    correction.cdl = cdl;
    return AscCdl::write({format, {}, {correction}});
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tonewharf-cdl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TONEWHARF_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes a look, given in Tonewharf's JSON form, as an ASC CDL file (.cc, .ccc, .cdl) or as an\n"
        "Avid Log Exchange file (.ale) with one clip. \"-\" reads the look from standard input or\n"
        "writes the file to standard output (then --format is needed). The look's space becomes the\n"
        "InputDescription; its contrast, pivot and split have no place in CDL and are left out."));
    const Options options;
    parser.addOptions({options.format, options.id, options.description, options.clip, options.tape,
                       options.sourceFile, options.start, options.end, options.fps, options.videoFormat});
    parser.addPositionalArgument(QStringLiteral("look"),
                                 QStringLiteral("The look as JSON, or - for standard input."));
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
        return complain(QStringLiteral("expected a look and an output file; see --help"), misused);
    }
    const QString& output = arguments[1];
    const QString formatName =
        parser.isSet(options.format) ? parser.value(options.format) : QFileInfo(output).suffix().toLower();
    const bool ale = formatName == u"ale";
    const std::optional<AscCdl::Format> cdlFormat = AscCdl::formatForSuffix(formatName);
    if (!ale && !cdlFormat) {
        return complain(
            output == u"-" && !parser.isSet(options.format)
                ? QStringLiteral("writing to standard output needs --format")
                : QStringLiteral("unknown format \"%1\": use cc, ccc, cdl or ale").arg(formatName),
            misused);
    }

    QString why;
    const std::optional<QByteArray> input = readInput(arguments[0], &why);
    if (!input) {
        return complain(why, failed);
    }
    const Decoded<LUTLook> look = LUTLook::decode(*input);
    if (!look) {
        return complain(QStringLiteral("%1 is not a look: %2").arg(arguments[0], look.error()), failed);
    }
    const Decoded<Cdl> cdl = Cdl::fromLook(*look);
    if (!cdl) {
        return complain(cdl.error(), failed);
    }
    if (look->contrast || look->pivot || look->split) {
        std::fprintf(stderr,
                     "tonewharf-cdl: note: the look's contrast, pivot and split are not part of CDL and "
                     "were left out\n");
    }
    const Decoded<QByteArray> bytes =
        ale ? asAle(parser, options, *look, *cdl) : asCdl(parser, options, *cdlFormat, *look, *cdl);
    if (!bytes) {
        return complain(bytes.error(), failed);
    }
    if (output == u"-") {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly) || out.write(*bytes) != bytes->size() || !out.flush()) {
            return complain(QStringLiteral("Cannot write to standard output: %1").arg(out.errorString()),
                            failed);
        }
        return 0;
    }
    if (const WriteResult written = FileSystem::writeAtomically(output, *bytes); !written) {
        return complain(QStringLiteral("Cannot write %1: %2").arg(output, written.error), failed);
    }
    return 0;
}
