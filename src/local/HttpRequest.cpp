#include "local/HttpRequest.h"

#include <QStringDecoder>

#include <limits>

namespace LocalHttp {

namespace {

// Splits at the first `separator`, dropping empty pieces: "=x" gives {"x"}, "a=" gives {"a"},
// "a==b" gives {"a", "=b"} and "==" gives nothing.
QList<QStringView> splitOnce(QStringView text, QChar separator) {
    qsizetype start = 0;
    while (start < text.size() && text[start] == separator) {
        ++start;
    }
    if (start == text.size()) {
        return {};
    }
    const qsizetype at = text.indexOf(separator, start);
    if (at < 0) {
        return {text.mid(start)};
    }
    const QStringView rest = text.mid(at + 1);
    if (rest.isEmpty()) {
        return {text.mid(start, at - start)};
    }
    return {text.mid(start, at - start), rest};
}

QStringView trimmedBlanks(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (text[begin] == u' ' || text[begin] == u'\t')) {
        ++begin;
    }
    while (end > begin && (text[end - 1] == u' ' || text[end - 1] == u'\t')) {
        --end;
    }
    return text.mid(begin, end - begin);
}

std::optional<QString> strictUtf8(QByteArrayView bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

QString decodedOrAsWritten(QStringView text) {
    std::optional<QString> decoded = percentDecoded(text);
    return decoded ? *std::move(decoded) : text.toString();
}

} // namespace

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

QByteArray reasonPhrase(int status) {
    for (const auto& [code, phrase] : reasonPhrases) {
        if (code == status) {
            return QByteArray(phrase.data(), qsizetype(phrase.size()));
        }
    }
    return QByteArrayLiteral("OK");
}

qsizetype findHeadEnd(QByteArrayView bytes, qsizetype from) {
    const qsizetype at = bytes.indexOf(QByteArrayView("\r\n\r\n"), qMax<qsizetype>(0, from));
    return at < 0 ? -1 : at + 4;
}

std::optional<QString> percentDecoded(QStringView text) {
    if (!text.contains(u'%')) {
        return text.toString();
    }
    const QByteArray utf8 = text.toUtf8();
    QByteArray bytes;
    bytes.reserve(utf8.size());
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        if (utf8[i] != '%') {
            bytes.append(utf8[i]);
            continue;
        }
        if (i + 2 >= utf8.size()) {
            return std::nullopt;
        }
        const int high = hexValue(utf8[i + 1]);
        const int low = hexValue(utf8[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.append(char(high * 16 + low));
        i += 2;
    }
    return strictUtf8(bytes);
}

std::optional<qint64> decimalInteger(QStringView text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    // Accumulate towards the sign so that the most negative value fits too.
    qint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
        const int digit = c - u'0';
        if (negative) {
            if (value < (std::numeric_limits<qint64>::min() + digit) / 10) {
                return std::nullopt;
            }
            value = value * 10 - digit;
        } else {
            if (value > (std::numeric_limits<qint64>::max() - digit) / 10) {
                return std::nullopt;
            }
            value = value * 10 + digit;
        }
    }
    return value;
}

std::optional<Request> parseRequest(QByteArrayView bytes) {
    const qsizetype headerEnd = findHeadEnd(bytes);
    if (headerEnd < 0) {
        return std::nullopt;
    }
    const std::optional<QString> head = strictUtf8(bytes.first(headerEnd - 4));
    if (!head) {
        return std::nullopt;
    }
    const QList<QStringView> lines = QStringView(*head).split(u"\r\n");
    const QList<QStringView> tokens = lines.first().split(u' ', Qt::SkipEmptyParts);
    if (tokens.size() < 2) {
        return std::nullopt;
    }

    Request request;
    request.method = tokens[0].toString().toUpper();
    request.headerEnd = headerEnd;

    const QStringView target = tokens[1];
    const qsizetype question = target.indexOf(u'?');
    request.path = decodedOrAsWritten(question < 0 ? target : target.first(question));
    if (question >= 0) {
        for (QStringView piece : target.mid(question + 1).split(u'&', Qt::SkipEmptyParts)) {
            const QList<QStringView> parts = splitOnce(piece, u'=');
            // A piece made only of "=" names nothing; it is skipped like an empty piece.
            if (parts.isEmpty()) {
                continue;
            }
            request.query.insert(parts[0].toString(),
                                 parts.size() > 1 ? decodedOrAsWritten(parts[1]) : QString());
        }
    }

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QList<QStringView> parts = splitOnce(lines[i], u':');
        if (parts.size() != 2) {
            continue;
        }
        if (trimmedBlanks(parts[0]).toString().toLower() != u"content-length") {
            continue;
        }
        const QStringView value = trimmedBlanks(parts[1]);
        request.contentLength = value.isEmpty() ? 0 : decimalInteger(value).value_or(0);
    }
    return request;
}

QByteArray responseHead(int status, qint64 bodyLength, QByteArrayView contentType) {
    QByteArray bytes;
    bytes.reserve(160 + contentType.size());
    bytes.append("HTTP/1.1 ")
        .append(QByteArray::number(status))
        .append(' ')
        .append(reasonPhrase(status))
        .append("\r\nContent-Type: ")
        .append(contentType)
        .append("; charset=utf-8\r\nContent-Length: ")
        .append(QByteArray::number(bodyLength))
        .append("\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n");
    return bytes;
}

QByteArray responseBytes(int status, QByteArrayView body, QByteArrayView contentType) {
    QByteArray bytes = responseHead(status, body.size(), contentType);
    bytes.reserve(bytes.size() + body.size());
    return bytes.append(body);
}

} // namespace LocalHttp
