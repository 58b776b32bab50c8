#include "resolve/Protobuf.h"

#include <limits>

namespace Protobuf {

namespace {

constexpr int kMaxVarintBytes = 10;

// Reads one varint at pos; false when it runs past the end or its tenth byte continues.
bool readVarint(const unsigned char* data, qsizetype size, qsizetype& pos, quint64& value) {
    quint64 result = 0;
    for (int index = 0; index < kMaxVarintBytes; ++index) {
        if (pos >= size) {
            return false;
        }
        const unsigned char byte = data[pos++];
        if (index == kMaxVarintBytes - 1) {
            // Only bit 63 is left to fill; a continuation here would be an eleventh byte.
            if (byte & 0x80) {
                return false;
            }
            result |= quint64(byte & 0x01) << 63;
            value = result;
            return true;
        }
        result |= quint64(byte & 0x7f) << (7 * index);
        if (!(byte & 0x80)) {
            value = result;
            return true;
        }
    }
    return false;
}

int varintSize(quint64 value) {
    int size = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++size;
    }
    return size;
}

} // namespace

std::optional<QList<Field>> parse(QByteArrayView view) {
    const auto* data = reinterpret_cast<const unsigned char*>(view.data());
    const qsizetype size = view.size();
    QList<Field> fields;
    qsizetype pos = 0;
    while (pos < size) {
        quint64 key = 0;
        if (!readVarint(data, size, pos, key)) {
            return std::nullopt;
        }
        Field field;
        field.number = qint64(key >> 3);
        field.wire = qint64(key & 0x07);
        // Everything left in the buffer; pos never exceeds size, so this cannot be negative.
        const quint64 remaining = quint64(size - pos);
        switch (field.wire) {
        case Varint:
            if (!readVarint(data, size, pos, field.varint)) {
                return std::nullopt;
            }
            break;
        case LengthDelimited: {
            quint64 length = 0;
            if (!readVarint(data, size, pos, length)) {
                return std::nullopt;
            }
            if (length > quint64(std::numeric_limits<qint64>::max()) || length > quint64(size - pos)) {
                return std::nullopt;
            }
            field.bytes = QByteArray(view.data() + pos, qsizetype(length));
            pos += qsizetype(length);
            break;
        }
        case Fixed64:
        case Fixed32: {
            const qsizetype width = field.wire == Fixed64 ? 8 : 4;
            if (remaining < quint64(width)) {
                return std::nullopt;
            }
            field.bytes = QByteArray(view.data() + pos, width);
            pos += width;
            break;
        }
        default:
            // Groups (3, 4) and the reserved types (6, 7).
            return std::nullopt;
        }
        fields.append(std::move(field));
    }
    return fields;
}

void appendVarint(QByteArray& out, quint64 value) {
    char buffer[kMaxVarintBytes];
    int length = 0;
    while (value >= 0x80) {
        buffer[length++] = char((value & 0x7f) | 0x80);
        value >>= 7;
    }
    buffer[length++] = char(value);
    out.append(buffer, length);
}

void appendField(QByteArray& out, const Field& field) {
    appendVarint(out, (quint64(field.number) << 3) | quint64(field.wire));
    if (field.wire == Varint) {
        appendVarint(out, field.varint);
    } else if (field.wire == LengthDelimited) {
        appendVarint(out, quint64(field.bytes.size()));
        out.append(field.bytes);
    } else {
        out.append(field.bytes);
    }
}

QByteArray encode(const QList<Field>& fields) {
    qsizetype total = 0;
    for (const Field& field : fields) {
        total += varintSize((quint64(field.number) << 3) | quint64(field.wire));
        if (field.wire == Varint) {
            total += varintSize(field.varint);
        } else {
            if (field.wire == LengthDelimited) {
                total += varintSize(quint64(field.bytes.size()));
            }
            total += field.bytes.size();
        }
    }
    QByteArray out;
    out.reserve(total);
    for (const Field& field : fields) {
        appendField(out, field);
    }
    return out;
}

const Field* find(const QList<Field>& fields, qint64 number, qint64 wire) {
    for (const Field& field : fields) {
        if (field.number == number && field.wire == wire) {
            return &field;
        }
    }
    return nullptr;
}

} // namespace Protobuf
