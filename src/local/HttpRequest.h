#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QMap>
#include <QString>
#include <QStringView>

#include <array>
#include <optional>
#include <string_view>
#include <utility>

// The small subset of HTTP/1.1 the local server speaks: one request per connection, its request
// line, query and Content-Length; every answer closes the connection.
namespace LocalHttp {

// Every read of a connection asks for at most this many bytes.
inline constexpr qint64 readChunkBytes = 65536;
// Buffered bytes beyond which a connection whose head still cannot be parsed is closed.
inline constexpr qint64 maxHeadBytes = 65536;
// The largest Content-Length accepted; anything above is answered 413 without reading the body.
inline constexpr qint64 maxBodyBytes = 67108864;

// The parsed head of one request.
struct Request {
    QString method; // upper-cased
    QString path;   // percent-decoded, or as written when it does not decode
    QMap<QString, QString> query;
    qint64 contentLength = 0; // the last Content-Length line; 0 when absent, empty or not a number
    qint64 headerEnd = 0;     // offset of the first byte after the blank line that ends the head

    bool operator==(const Request&) const = default;
};

inline constexpr std::array<std::pair<int, std::string_view>, 6> reasonPhrases{{
    {200, "OK"},
    {400, "Bad Request"},
    {404, "Not Found"},
    {413, "Payload Too Large"},
    {500, "Internal Server Error"},
    {503, "Service Unavailable"},
}};

// The phrase written after a status code; "OK" for a status the table does not know.
QByteArray reasonPhrase(int status);

// Offset just past the first CR LF CR LF in `bytes`, searching from `from` on, or -1. A caller that
// appends to a buffer passes the old length minus three so that a blank line split across two
// reads is still found without searching the whole buffer again.
qsizetype findHeadEnd(QByteArrayView bytes, qsizetype from = 0);

// The request whose head starts `bytes`, or nothing while the head is incomplete or malformed
// (not UTF-8, or a request line of fewer than two tokens). No side effects.
std::optional<Request> parseRequest(QByteArrayView bytes);

// Percent-decoding with UTF-8 as the byte encoding; nothing for an invalid escape or for escapes
// that do not form UTF-8. A "+" stays a "+".
std::optional<QString> percentDecoded(QStringView text);

// The value of one hexadecimal digit, or -1.
int hexValue(char c);

// A decimal signed 64-bit integer: an optional sign, then digits only; nothing on anything else
// or on overflow.
std::optional<qint64> decimalInteger(QStringView text);

// The content types of the answers.
inline constexpr QByteArrayView textPlain = "text/plain";
inline constexpr QByteArrayView applicationJson = "application/json";

// The complete bytes of an answer: status line, Content-Type with the charset parameter,
// Content-Length, the CORS header, "Connection: close", the blank line and the body.
QByteArray responseBytes(int status, QByteArrayView body, QByteArrayView contentType);
// The same answer's bytes up to the body, for a body of `bodyLength` bytes sent after them.
QByteArray responseHead(int status, qint64 bodyLength, QByteArrayView contentType);

} // namespace LocalHttp
