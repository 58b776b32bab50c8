#pragma once

// Small helpers shared by the fuzz targets.

#include <QByteArrayView>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Ends the run with a message: libFuzzer keeps the input that did it.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);               \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (false)

inline QByteArrayView fuzzBytes(const uint8_t* data, size_t size) {
    return QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size));
}

// Piece lengths for feeding an input in several reads, drawn from the input's first byte so that
// the fuzzer explores the splits too: lengths 1 to 16 or whole 64-byte runs.
class Splits {
public:
    explicit Splits(uint8_t seed)
        : m_state(seed | 0x100u) {}
    qsizetype next() {
        m_state = m_state * 1103515245u + 12345u;
        const unsigned value = (m_state >> 16) & 0x1f;
        return value < 16 ? qsizetype(value + 1) : 64;
    }

private:
    unsigned m_state;
};
