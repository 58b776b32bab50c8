#include "engine/CubeSize.h"

#include <QStringDecoder>
#include <QStringList>

namespace {

constexpr qsizetype headerLimit = 4096;

std::optional<QString> decodeUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? std::nullopt : std::optional<QString>(std::move(text));
}

// The header as text. A cut at 4096 bytes can split a character of a non-ASCII title; that
// split character is left out rather than making a well-formed file count as not UTF-8.
std::optional<QString> headerText(QByteArrayView bytes) {
    if (bytes.size() <= headerLimit) {
        return decodeUtf8(bytes);
    }
    const QByteArrayView header = bytes.first(headerLimit);
    for (qsizetype cut = 0; cut < 4; ++cut) {
        if (std::optional<QString> text = decodeUtf8(header.chopped(cut))) {
            return text;
        }
    }
    return std::nullopt;
}

// A whole decimal number with an optional sign; Qt's own conversion would also accept the
// surrounding white space (such as the carriage return of a CR LF file) that must not count.
std::optional<qint64> decimal(const QString& piece) {
    const qsizetype digitsFrom =
        piece.startsWith(QLatin1Char('+')) || piece.startsWith(QLatin1Char('-')) ? 1 : 0;
    if (piece.size() == digitsFrom) {
        return std::nullopt;
    }
    for (qsizetype i = digitsFrom; i < piece.size(); ++i) {
        if (piece[i] < QLatin1Char('0') || piece[i] > QLatin1Char('9')) {
            return std::nullopt;
        }
    }
    bool ok = false;
    const qint64 value = piece.toLongLong(&ok, 10);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

} // namespace

std::optional<qint64> cubeSize(QByteArrayView bytes) {
    const std::optional<QString> text = headerText(bytes);
    if (!text) {
        return std::nullopt;
    }
    const QStringList lines = text->split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        if (!line.startsWith(QLatin1String("LUT_3D_SIZE"))) {
            continue;
        }
        const QStringList pieces = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (pieces.isEmpty()) {
            return std::nullopt;
        }
        return decimal(pieces.last());
    }
    return std::nullopt;
}
