#pragma once

#include "records/LocalRecords.h"

#include <QByteArray>

// Decoding of a POST /v1/luts body with the result of Incoming::decode, without holding the body,
// a parsed copy of it and the cube all at once. For a large body the "cube" string is unescaped in
// place, in the body's own buffer, which then holds the cube; everything else goes through
// Incoming::decode. Bodies the fast path is not sure about (escapes it does not handle, raw control
// characters, invalid UTF-8, keys written with escapes) and every body that fails take the
// ordinary path, so that messages and their offsets agree.
namespace IncomingBody {

inline constexpr qsizetype defaultStreamingThreshold = 1024 * 1024;

Decoded<Incoming> decode(QByteArray body, qsizetype streamingThreshold = defaultStreamingThreshold);

} // namespace IncomingBody
