#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>
#include <utility>

// A schema-less reader and writer of the Protocol Buffers wire format. A message is a flat,
// ordered list of fields; nested messages are read by parsing a length-delimited field's bytes
// again. Stateless and safe on untrusted input: parse never reads past its buffer, never
// recurses and never returns a partial list.
namespace Protobuf {

enum WireType : qint64 {
    Varint = 0,
    Fixed64 = 1,
    LengthDelimited = 2,
    Fixed32 = 5,
};

struct Field {
    qint64 number = 0;
    qint64 wire = 0;
    // The value of a varint field; 0 for every other wire type.
    quint64 varint = 0;
    // A length-delimited field's content (without its length), or the raw 8 or 4 bytes of a
    // fixed-width field exactly as they stood in the input; empty for a varint field.
    QByteArray bytes;

    bool operator==(const Field&) const = default;

    static Field makeVarint(qint64 number, quint64 value) { return {number, Varint, value, {}}; }
    static Field makeBytes(qint64 number, QByteArray content) {
        return {number, LengthDelimited, 0, std::move(content)};
    }
};

// Nothing when the bytes are not a well-formed sequence of fields: a truncated varint, a tenth
// varint byte with its high bit set, a field running past the end, a length beyond the signed
// 64-bit range, or a group / reserved wire type (3, 4, 6, 7). An empty buffer is an empty list.
std::optional<QList<Field>> parse(QByteArrayView data);

// Minimal encoding: every varint in its shortest form. Fixed-width fields are written as their
// bytes stand, so a wire-type-5 field must carry exactly 4 bytes and a wire-type-1 field 8.
QByteArray encode(const QList<Field>& fields);

// The building blocks of encode, for callers that assemble messages by hand.
void appendVarint(QByteArray& out, quint64 value);
void appendField(QByteArray& out, const Field& field);

// The first field with this number and wire type, or nullptr.
const Field* find(const QList<Field>& fields, qint64 number, qint64 wire);

} // namespace Protobuf
