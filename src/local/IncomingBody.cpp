#include "local/IncomingBody.h"

#include "local/HttpRequest.h"

#include <QStringDecoder>

#include <optional>

#include <sys/mman.h>
#include <unistd.h>

namespace IncomingBody {

namespace {

// Stands in for the cube while the rest of the body is decoded the ordinary way.
constexpr char sentinelJson[] = R"("\ufdd0tonewharf-cube\ufdd1")";
const QString sentinelText = QStringLiteral("\ufdd0tonewharf-cube\ufdd1");

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Index of the closing quote of the string whose opening quote is at `open`, or -1.
qsizetype stringEnd(const QByteArray& bytes, qsizetype open) {
    for (qsizetype i = open + 1; i < bytes.size(); ++i) {
        if (bytes[i] == '\\') {
            ++i;
        } else if (bytes[i] == '"') {
            return i;
        }
    }
    return -1;
}

// Index just past the value that starts at `at`, or -1. Only finds the end; the ordinary decoder
// judges whether the value is valid.
qsizetype valueEnd(const QByteArray& bytes, qsizetype at) {
    if (at >= bytes.size()) {
        return -1;
    }
    if (bytes[at] == '"') {
        const qsizetype end = stringEnd(bytes, at);
        return end < 0 ? -1 : end + 1;
    }
    if (bytes[at] == '{' || bytes[at] == '[') {
        int depth = 0;
        for (qsizetype i = at; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '"') {
                i = stringEnd(bytes, i);
                if (i < 0) {
                    return -1;
                }
            } else if (c == '{' || c == '[') {
                ++depth;
            } else if ((c == '}' || c == ']') && --depth == 0) {
                return i + 1;
            }
        }
        return -1;
    }
    qsizetype i = at;
    while (i < bytes.size() && !isBlank(bytes[i]) && bytes[i] != ',' && bytes[i] != '}' && bytes[i] != ']') {
        ++i;
    }
    return i;
}

struct Span {
    qsizetype open = -1;  // the opening quote
    qsizetype close = -1; // the closing quote
};

// The last top-level "cube" member whose value is a string, written without escapes in its key.
std::optional<Span> findCube(const QByteArray& bytes) {
    qsizetype i = 0;
    const auto skipBlanks = [&] {
        while (i < bytes.size() && isBlank(bytes[i])) {
            ++i;
        }
    };
    skipBlanks();
    if (i >= bytes.size() || bytes[i] != '{') {
        return std::nullopt;
    }
    ++i;
    std::optional<Span> cube;
    for (;;) {
        skipBlanks();
        if (i >= bytes.size() || bytes[i] != '"') {
            return std::nullopt;
        }
        const qsizetype keyEnd = stringEnd(bytes, i);
        if (keyEnd < 0) {
            return std::nullopt;
        }
        const bool isCube = QByteArrayView(bytes).sliced(i + 1, keyEnd - i - 1) == "cube";
        i = keyEnd + 1;
        skipBlanks();
        if (i >= bytes.size() || bytes[i] != ':') {
            return std::nullopt;
        }
        ++i;
        skipBlanks();
        const qsizetype end = valueEnd(bytes, i);
        if (end < 0) {
            return std::nullopt;
        }
        if (isCube) {
            cube = bytes[i] == '"' ? std::optional(Span{i, end - 1}) : std::nullopt;
        }
        i = end;
        skipBlanks();
        if (i < bytes.size() && bytes[i] == ',') {
            ++i;
            continue;
        }
        if (i < bytes.size() && bytes[i] == '}') {
            return cube;
        }
        return std::nullopt;
    }
}

// The UTF-16 length of the JSON string between `begin` and `end`, or nothing when it holds
// anything the fast path leaves to the ordinary decoder: a raw control character, an unknown
// escape, an escaped surrogate, or bytes that are not strict UTF-8.
std::optional<qsizetype> plainLength(const char* begin, const char* end) {
    qsizetype units = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(begin);
    const auto* const stop = reinterpret_cast<const unsigned char*>(end);
    while (p < stop) {
        const unsigned char c = *p;
        if (c < 0x20) {
            return std::nullopt;
        }
        if (c < 0x80) {
            if (c == '\\') {
                if (stop - p < 2) {
                    return std::nullopt;
                }
                const unsigned char e = p[1];
                if (e == 'u') {
                    if (stop - p < 6) {
                        return std::nullopt;
                    }
                    int value = 0;
                    for (int k = 2; k < 6; ++k) {
                        const int digit = LocalHttp::hexValue(char(p[k]));
                        if (digit < 0) {
                            return std::nullopt;
                        }
                        value = value * 16 + digit;
                    }
                    if (value >= 0xd800 && value <= 0xdfff) {
                        return std::nullopt;
                    }
                    p += 6;
                } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' ||
                           e == 'r' || e == 't') {
                    p += 2;
                } else {
                    return std::nullopt;
                }
            } else {
                ++p;
            }
            ++units;
            continue;
        }
        // Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF.
        int length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) {
            length = 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            length = 3;
            low = c == 0xe0 ? 0xa0 : 0x80;
            high = c == 0xed ? 0x9f : 0xbf;
        } else if (c >= 0xf0 && c <= 0xf4) {
            length = 4;
            low = c == 0xf0 ? 0x90 : 0x80;
            high = c == 0xf4 ? 0x8f : 0xbf;
        } else {
            return std::nullopt;
        }
        if (stop - p < length || p[1] < low || p[1] > high) {
            return std::nullopt;
        }
        for (int k = 2; k < length; ++k) {
            if (p[k] < 0x80 || p[k] > 0xbf) {
                return std::nullopt;
            }
        }
        p += length;
        units += length == 4 ? 2 : 1;
    }
    return units;
}

// Gives the whole pages inside [from, to) back to the system; their bytes are not read again.
void release(const char* from, const char* to) {
    static const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr first = (quintptr(from) + page - 1) & ~(page - 1);
    const quintptr last = quintptr(to) & ~(page - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }
}

// Converts a string that plainLength accepted, releasing the converted part of the body as it goes.
QString convert(char* begin, char* end, qsizetype units) {
    constexpr qsizetype step = 1024 * 1024;
    QString text(units, Qt::Uninitialized);
    QChar* out = text.data();
    QStringDecoder utf8(QStringDecoder::Utf8);
    char* released = begin;
    char* p = begin;
    while (p < end) {
        if (*p == '\\') {
            const char e = p[1];
            if (e == 'u') {
                int value = 0;
                for (int k = 2; k < 6; ++k) {
                    value = value * 16 + LocalHttp::hexValue(p[k]);
                }
                *out++ = QChar(char16_t(value));
                p += 6;
            } else {
                const char c = e == 'b'   ? '\b'
                               : e == 'f' ? '\f'
                               : e == 'n' ? '\n'
                               : e == 'r' ? '\r'
                               : e == 't' ? '\t'
                                          : e;
                *out++ = QChar::fromLatin1(c);
                p += 2;
            }
        } else {
            // A run up to the next escape, at most one step long; the decoder keeps a sequence
            // that a step boundary cuts in two.
            char* runEnd = p;
            char* const limit = std::min(end, p + step);
            while (runEnd < limit && *runEnd != '\\') {
                ++runEnd;
            }
            out = utf8.appendToBuffer(out, QByteArrayView(p, runEnd - p));
            p = runEnd;
        }
        if (p - released >= step) {
            release(released, p);
            released = p;
        }
    }
    text.truncate(out - text.constData());
    return text;
}

} // namespace

Decoded<Incoming> decode(QByteArray body, qsizetype streamingThreshold) {
    if (body.size() < streamingThreshold) {
        return Incoming::decode(body);
    }
    const std::optional<Span> cube = findCube(body);
    if (!cube) {
        return Incoming::decode(body);
    }
    char* const begin = body.data() + cube->open + 1;
    char* const end = body.data() + cube->close;
    const std::optional<qsizetype> units = plainLength(begin, end);
    if (!units) {
        return Incoming::decode(body);
    }
    const QByteArray rest = body.first(cube->open) + sentinelJson + body.sliced(cube->close + 1);
    Decoded<Incoming> decoded = Incoming::decode(rest);
    if (!decoded || decoded->cube != sentinelText) {
        return decoded; // invalid elsewhere, or a later member of the same name counts instead
    }
    Incoming incoming = std::move(decoded).value();
    incoming.cube = convert(begin, end, *units);
    return incoming;
}

} // namespace IncomingBody
