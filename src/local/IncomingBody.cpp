#include "local/IncomingBody.h"

#include "local/HttpRequest.h"

#include <cstring>
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

constexpr quint64 everyByte(unsigned char value) {
    return 0x0101010101010101ull * value;
}

bool hasZeroByte(quint64 word) {
    return ((word - everyByte(1)) & ~word & everyByte(0x80)) != 0;
}

// Eight bytes at once: whether any of them needs more than copying, as a byte of a cube mostly
// does not. `strict` also stops at the closing quote and at control characters, for the scan
// that has not yet checked them.
bool plainWord(const char* p, bool strict) {
    quint64 word = 0;
    std::memcpy(&word, p, sizeof word);
    if ((word & everyByte(0x80)) != 0 || hasZeroByte(word ^ everyByte('\\'))) {
        return false;
    }
    return !strict ||
           (!hasZeroByte(word ^ everyByte('"')) && ((word - everyByte(0x20)) & ~word & everyByte(0x80)) == 0);
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
    qsizetype units = 0;  // of UTF-16 in the text
};

// Finds the end of the string that opens at `open` and the UTF-16 length of its text, or nothing
// when it holds anything the fast path leaves to the ordinary decoder: a raw control character, an
// unknown escape, an escaped surrogate, or bytes that are not strict UTF-8.
std::optional<Cube> plainString(const QByteArray& bytes, qsizetype open) {
    qsizetype units = 0;
    const auto* const start = reinterpret_cast<const unsigned char*>(bytes.constData());
    const auto* p = start + open + 1;
    const auto* const stop = start + bytes.size();
    for (;;) {
        while (stop - p >= 8 && plainWord(reinterpret_cast<const char*>(p), true)) {
            p += 8;
            units += 8;
        }
        if (p == stop) {
            return std::nullopt;
        }
        const unsigned char c = *p;
        if (c == '"') {
            return Cube{open, p - start, units};
        }
        if (c < 0x20) {
            return std::nullopt;
        }
        ++units;
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
        units += length == 4 ? 1 : 0;
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

// Gives the whole pages inside [from, to) back to the system; their bytes are not read again.
void release(const char* from, const char* to) {
    static const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr first = (quintptr(from) + page - 1) & ~(page - 1);
    const quintptr last = quintptr(to) & ~(page - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
    }
}

char16_t unescaped(char e) {
    switch (e) {
    case 'b':
        return u'\b';
    case 'f':
        return u'\f';
    case 'n':
        return u'\n';
    case 'r':
        return u'\r';
    case 't':
        return u'\t';
    default:
        return char16_t(e);
    }
}

// Converts a string that plainString accepted, so without checks, releasing the converted part of
// the body as it goes: the body and the text are never resident whole together.
QString convert(char* begin, char* end, qsizetype units) {
    constexpr qsizetype step = 1024 * 1024;
    QString text(units, Qt::Uninitialized);
    auto* out = reinterpret_cast<char16_t*>(text.data());
    const auto* p = reinterpret_cast<const unsigned char*>(begin);
    const auto* const stop = reinterpret_cast<const unsigned char*>(end);
    const auto* released = p;
    while (p < stop) {
        const auto* const stepEnd = stop - p > step ? p + step : stop;
        while (p < stepEnd) {
            if (stepEnd - p >= 8 && plainWord(reinterpret_cast<const char*>(p), false)) {
                // Through local copies, which the compiler widens in registers.
                unsigned char narrow[8];
                char16_t wide[8];
                std::memcpy(narrow, p, sizeof narrow);
                for (int k = 0; k < 8; ++k) {
                    wide[k] = narrow[k];
                }
                std::memcpy(out, wide, sizeof wide);
                out += 8;
                p += 8;
                continue;
            }
            const unsigned char c = *p;
            if (c == '\\') {
                *out++ = p[1] == 'u' ? char16_t(escapedUnit(p)) : unescaped(char(p[1]));
                p += p[1] == 'u' ? 6 : 2;
            } else if (c < 0x80) {
                *out++ = c;
                ++p;
            } else if (c < 0xe0) {
                *out++ = char16_t(((c & 0x1f) << 6) | (p[1] & 0x3f));
                p += 2;
            } else if (c < 0xf0) {
                *out++ = char16_t(((c & 0x0f) << 12) | ((p[1] & 0x3f) << 6) | (p[2] & 0x3f));
                p += 3;
            } else {
                const char32_t point =
                    ((c & 0x07) << 18) | ((p[1] & 0x3f) << 12) | ((p[2] & 0x3f) << 6) | (p[3] & 0x3f);
                *out++ = char16_t(0xd7c0 + (point >> 10));
                *out++ = char16_t(0xdc00 | (point & 0x3ff));
                p += 4;
            }
        }
        release(reinterpret_cast<const char*>(released), reinterpret_cast<const char*>(p));
        released = p;
    }
    return text;
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
    // Nothing of the body is released before the rest has decoded: any failure is answered by the
    // ordinary decoder on the whole body, since its message carries the offset of the fault.
    const QByteArray rest = body.first(cube->open) + sentinelJson + body.sliced(cube->close + 1);
    Decoded<Incoming> decoded = Incoming::decode(rest);
    if (!decoded || decoded->cube != sentinelText) {
        return Incoming::decode(body);
    }
    Incoming incoming = std::move(decoded).value();
    incoming.cube = convert(body.data() + cube->open + 1, body.data() + cube->close, cube->units);
    return incoming;
}

} // namespace IncomingBody
