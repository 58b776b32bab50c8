// The rules a request target is read by: percent-decoding, the query pieces and "since".
#include "FuzzInput.h"
#include "local/HttpRequest.h"

#include <QRegularExpression>

namespace {

QString percentEncodedUtf8(const QString& text) {
    QString encoded;
    for (const char byte : text.toUtf8()) {
        encoded += u'%' + QString::number(uint(uchar(byte)), 16).rightJustified(2, u'0');
    }
    return encoded;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(fuzzBytes(data, size));

    const std::optional<QString> decoded = LocalHttp::percentDecoded(text);
    if (!text.contains(u'%')) {
        FUZZ_CHECK(decoded == text);
    }
    if (decoded) {
        // Whatever decodes is the UTF-8 of its own escapes.
        FUZZ_CHECK(LocalHttp::percentDecoded(percentEncodedUtf8(*decoded)) == decoded);
    }

    static const QRegularExpression plainDecimal(
        QRegularExpression::anchoredPattern(QStringLiteral("[+-]?[0-9]+")));
    const std::optional<qint64> number = LocalHttp::decimalInteger(text);
    if (plainDecimal.match(text).hasMatch()) {
        bool ok = false;
        const qlonglong reference = text.toLongLong(&ok, 10);
        FUZZ_CHECK(number.has_value() == ok);
        FUZZ_CHECK(!ok || *number == reference);
    } else {
        FUZZ_CHECK(!number);
    }

    // The text as the target of a request line; blanks and line ends would end the target early.
    static const QRegularExpression blanks(QStringLiteral("[ \\r\\n]"));
    QString target = QStringLiteral("/v1/inbox?") + text;
    target.remove(blanks);
    const QByteArray head = "GET " + target.toUtf8() + " HTTP/1.1\r\n\r\n";
    const std::optional<LocalHttp::Request> request = LocalHttp::parseRequest(head);
    FUZZ_CHECK(request.has_value());
    FUZZ_CHECK(request->path == u"/v1/inbox");
    for (auto it = request->query.cbegin(); it != request->query.cend(); ++it) {
        // Keys are taken as written, between ampersands and before the first equals sign after them.
        FUZZ_CHECK(!it.key().isEmpty() && !it.key().contains(u'&') && !it.key().contains(u'='));
    }
    return 0;
}
