#include "local/IncomingBody.h"

#include "local/HttpRequest.h"

#include <cstring>
#include <optional>

namespace IncomingBody {

namespace {

// Stands in for the cube while the rest of the body is decoded the ordinary way.
constexpr char sentinelJson[] = R"("\ufdd0tonewharf-cube\ufdd1")";
const QByteArray sentinelText = QByteArrayLiteral("\xef\xb7\x90tonewharf-cube\xef\xb7\x91");

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

constexpr quint64 everyByte(unsigned char value) {
    return 0x0101010101010101ull * value;
}

bool hasZeroByte(quint64 word) {
    return ((word - everyByte(1)) & ~word & everyByte(0x80)) != 0;
}

// Eight bytes at once: whether none of them needs more than copying, as a byte of a cube mostly
// does not: no escape, no closing quote, no control character, nothing outside ASCII.
bool plainWord(const char* p) {
    quint64 word = 0;
    std::memcpy(&word, p, sizeof word);
    return (word & everyByte(0x80)) == 0 && !hasZeroByte(word ^ everyByte('\\')) &&
           !hasZeroByte(word ^ everyByte('"')) && ((word - everyByte(0x20)) & ~word & everyByte(0x80)) == 0;
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

// The value of \uXXXX at `p`, or -1 when a digit is missing.
int escapedUnit(const unsigned char* p) {
    int value = 0;
    for (int k = 2; k < 6; ++k) {
        const int digit = LocalHttp::hexValue(char(p[k]));
        if (digit < 0) {
            return -1;
        }
        value = value * 16 + digit;
    }
    return value;
}

struct Cube {
    qsizetype open = -1;  // the opening quote
    qsizetype close = -1; // the closing quote
};

// Finds the end of the string that opens at `open`, or nothing when it holds anything the fast path
// leaves to the ordinary decoder: a raw control character, an unknown escape, an escaped surrogate,
// or bytes that are not strict UTF-8.
std::optional<Cube> plainString(const QByteArray& bytes, qsizetype open) {
    const auto* const start = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto* p = start + open + 1;
    const auto* const stop = start + bytes.size();
    for (;;) {
        while (stop - p >= 8 && plainWord(reinterpret_cast<const char*>(p))) {
            p += 8;
        }
        if (p == stop) {
            return std::nullopt;
        }
        const unsigned char c = *p;
        if (c == '"') {
            return Cube{open, p - start};
        }
        if (c < 0x20) {
            return std::nullopt;
        }
        if (c == '\\') {
            const unsigned char e = stop - p >= 2 ? p[1] : 0;
            if (e == 'u') {
                const int value = stop - p >= 6 ? escapedUnit(p) : -1;
                if (value < 0 || (value >= 0xd800 && value <= 0xdfff)) {
                    return std::nullopt;
                }
                p += 6;
            } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' ||
                       e == 't') {
                p += 2;
            } else {
                return std::nullopt;
            }
            continue;
        }
        if (c < 0x80) {
            ++p;
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
    }
}

// One pass over the body: the only top-level "cube" member, when its value is a string that
// plainString accepts and every key is written without escapes (an escaped key may be "cube" too).
std::optional<Cube> findCube(const QByteArray& bytes) {
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
    std::optional<Cube> cube;
    for (;;) {
        skipBlanks();
        if (i >= bytes.size() || bytes[i] != '"') {
            return std::nullopt;
        }
        const qsizetype keyEnd = stringEnd(bytes, i);
        if (keyEnd < 0) {
            return std::nullopt;
        }
        const QByteArrayView key = QByteArrayView(bytes).sliced(i + 1, keyEnd - i - 1);
        if (key.contains('\\')) {
            return std::nullopt;
        }
        const bool isCube = key == "cube";
        i = keyEnd + 1;
        skipBlanks();
        if (i >= bytes.size() || bytes[i] != ':') {
            return std::nullopt;
        }
        ++i;
        skipBlanks();
        if (isCube) {
            if (cube || i >= bytes.size() || bytes[i] != '"') {
                return std::nullopt;
            }
            cube = plainString(bytes, i);
            if (!cube) {
                return std::nullopt;
            }
            i = cube->close + 1;
        } else {
            i = valueEnd(bytes, i);
            if (i < 0) {
                return std::nullopt;
            }
        }
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

char unescaped(char e) {
    switch (e) {
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return e;
    }
}

// Unescapes a string that plainString accepted, so without checks, to the start of `into`, and
// answers the length of the text, which is its UTF-8 as Incoming::decode would give it. The text
// is never longer than its escaped form, so writing to the start of the body's own buffer never
// overtakes the reading: the body and the cube are never held twice.
qsizetype unescape(char* into, const char* begin, const char* end) {
    char* out = into;
    const char* p = begin;
    while (p < end) {
        if (end - p >= 8) {
            // Loaded whole before it is stored: the two ranges may overlap.
            quint64 word = 0;
            std::memcpy(&word, p, sizeof word);
            if (!hasZeroByte(word ^ everyByte('\\'))) {
                std::memcpy(out, &word, sizeof word);
                out += 8;
                p += 8;
                continue;
            }
        }
        if (*p != '\\') {
            *out++ = *p++; // ASCII, or a byte of strict UTF-8 copied as it is
            continue;
        }
        if (p[1] != 'u') {
            *out++ = unescaped(p[1]);
            p += 2;
            continue;
        }
        const int unit = escapedUnit(reinterpret_cast<const unsigned char*>(p)); // never a surrogate
        if (unit < 0x80) {
            *out++ = char(unit);
        } else if (unit < 0x800) {
            *out++ = char(0xc0 | (unit >> 6));
            *out++ = char(0x80 | (unit & 0x3f));
        } else {
            *out++ = char(0xe0 | (unit >> 12));
            *out++ = char(0x80 | ((unit >> 6) & 0x3f));
            *out++ = char(0x80 | (unit & 0x3f));
        }
        p += 6;
    }
    return out - into;
}

} // namespace

Decoded<Incoming> decode(QByteArray body, qsizetype streamingThreshold) {
    if (body.size() < streamingThreshold) {
        return Incoming::decode(body);
    }
    const std::optional<Cube> cube = findCube(body);
    if (!cube) {
        return Incoming::decode(body);
    }
    // Nothing of the body is overwritten before the rest has decoded: any failure is answered by the
    // ordinary decoder on the whole body, since its message carries the offset of the fault.
    const QByteArray rest = body.first(cube->open) + sentinelJson + body.sliced(cube->close + 1);
    Decoded<Incoming> decoded = Incoming::decode(rest);
    if (!decoded || decoded->cube != sentinelText) {
        return Incoming::decode(body);
    }
    Incoming incoming = std::move(decoded).value();
    char* const buffer = body.data();
    body.truncate(unescape(buffer, buffer + cube->open + 1, buffer + cube->close));
    incoming.cube = std::move(body);
    return incoming;
}

} // namespace IncomingBody
