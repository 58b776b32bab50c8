#include "resolve/ResolveGrade.h"

#include "platform/ResolveProfile.h"
#include "platform/Resources.h"
#include "resolve/Protobuf.h"

#include <QFile>
#include <QStringDecoder>
#include <QUuid>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace ResolveGrade {

namespace {

using Protobuf::Field;

constexpr quint64 kMaxRawBlock = 0x20000; // 128 KiB, Zstandard's largest block

// The levels between a node and its parameter list: field 9, then 1, then 6, then 2.
constexpr qint64 kParameterPath[] = {9, 1, 6, 2};
constexpr qint64 kNodeField = 7;
constexpr qint64 kEntryField = 3;

qsizetype indexOf(const QList<Field>& fields, qint64 number, qint64 wire) {
    for (qsizetype index = 0; index < fields.size(); ++index) {
        if (fields[index].number == number && fields[index].wire == wire) {
            return index;
        }
    }
    return -1;
}

// Round to nearest as IEEE 754 does, without the undefined behaviour of converting a double
// beyond float's range: past the half-way point above FLT_MAX the result is infinity.
float toFloat32(double value) {
    const double magnitude = std::fabs(value);
    if (std::isfinite(value) && magnitude > double(FLT_MAX)) {
        const double halfUlpAboveMax = double(FLT_MAX) + std::ldexp(1.0, 103);
        const float bound = magnitude >= halfUlpAboveMax ? INFINITY : FLT_MAX;
        return std::signbit(value) ? -bound : bound;
    }
    return static_cast<float>(value);
}

// Replaces the entries of one matching node; levels are re-encoded upward, so every field the
// walk does not touch is written back as it was parsed.
Result<QByteArray> patchParameters(QList<Field> nodeFields, qint64 node,
                                   const QMap<quint64, QByteArray>& entries) {
    QList<QList<Field>> levels;
    levels.reserve(std::size(kParameterPath) + 1);
    levels.append(std::move(nodeFields));
    qsizetype positions[std::size(kParameterPath)];
    for (size_t depth = 0; depth < std::size(kParameterPath); ++depth) {
        const qsizetype index = indexOf(levels.last(), kParameterPath[depth], Protobuf::LengthDelimited);
        if (index < 0) {
            return Failure::nodeMissing(node);
        }
        auto inner = Protobuf::parse(levels.last()[index].bytes);
        if (!inner) {
            return Failure::nodeMissing(node);
        }
        positions[depth] = index;
        levels.append(std::move(*inner));
    }

    QMap<quint64, QByteArray> remaining = entries;
    for (Field& entry : levels.last()) {
        if (remaining.isEmpty()) {
            break;
        }
        if (entry.number != kEntryField || entry.wire != Protobuf::LengthDelimited) {
            continue;
        }
        const auto entryFields = Protobuf::parse(entry.bytes);
        if (!entryFields) {
            continue;
        }
        const Field* identifier = Protobuf::find(*entryFields, 1, Protobuf::Varint);
        if (!identifier) {
            continue;
        }
        const auto found = remaining.constFind(identifier->varint);
        if (found == remaining.cend()) {
            continue;
        }
        entry.bytes = found.value();
        remaining.erase(found);
    }
    if (!remaining.isEmpty()) {
        return Failure::paramMissing(remaining.firstKey());
    }

    for (qsizetype depth = std::size(kParameterPath) - 1; depth >= 0; --depth) {
        Field& holder = levels[depth][positions[depth]];
        holder.bytes = Protobuf::encode(levels[depth + 1]);
        holder.wire = Protobuf::LengthDelimited;
    }
    return Protobuf::encode(levels.first());
}

// What XML 1.0 allows of one UTF-16 unit outside a surrogate pair: tab, line feed, carriage return
// and everything from U+0020 up, except lone surrogates, U+FFFE and U+FFFF. A still with any other
// character is not well-formed, and Resolve refuses to import it.
bool allowedInXml(char16_t unit) {
    if (unit < 0x20) {
        return unit == u'\t' || unit == u'\n' || unit == u'\r';
    }
    return !QChar::isSurrogate(unit) && unit != 0xfffe && unit != 0xffff;
}

} // namespace

void appendRawZstdFrame(QByteArray& out, QByteArrayView data) {
    const quint64 size = quint64(data.size());
    unsigned char descriptor = 0;
    int sizeFieldBytes = 0;
    quint64 sizeField = size;
    if (size <= 0xff) {
        descriptor = 0x20;
        sizeFieldBytes = 1;
    } else if (size <= 0xffff + 256) {
        descriptor = 0x60;
        sizeFieldBytes = 2;
        sizeField = size - 256;
    } else if (size <= 0xffffffffULL) {
        descriptor = 0xa0;
        sizeFieldBytes = 4;
    } else {
        descriptor = 0xe0;
        sizeFieldBytes = 8;
    }
    const quint64 blocks = size == 0 ? 1 : (size + kMaxRawBlock - 1) / kMaxRawBlock;
    const qsizetype start = out.size();
    out.resize(start + qsizetype(4 + 1 + sizeFieldBytes + blocks * 3 + size));
    auto* cursor = reinterpret_cast<unsigned char*>(out.data()) + start;

    static constexpr unsigned char kMagic[] = {0x28, 0xb5, 0x2f, 0xfd};
    std::memcpy(cursor, kMagic, sizeof kMagic);
    cursor += sizeof kMagic;
    *cursor++ = descriptor;
    for (int index = 0; index < sizeFieldBytes; ++index) {
        *cursor++ = static_cast<unsigned char>(sizeField >> (8 * index));
    }

    const auto* source = reinterpret_cast<const unsigned char*>(data.data());
    quint64 offset = 0;
    do {
        const quint64 piece = std::min(kMaxRawBlock, size - offset);
        const bool last = offset + piece == size;
        const quint64 header = piece * 8 + (last ? 1 : 0); // block type 0: raw
        cursor[0] = static_cast<unsigned char>(header);
        cursor[1] = static_cast<unsigned char>(header >> 8);
        cursor[2] = static_cast<unsigned char>(header >> 16);
        cursor += 3;
        if (piece > 0) {
            std::memcpy(cursor, source + offset, piece);
            cursor += piece;
        }
        offset += piece;
    } while (offset < size);
}

QString Failure::description() const {
    switch (kind) {
    case Kind::nodeMissing:
        return QStringLiteral("nodeMissing(%1)").arg(node);
    case Kind::paramMissing:
        return QStringLiteral("paramMissing(0x%1)").arg(param, 0, 16);
    case Kind::templateMissing:
        return QStringLiteral("templateMissing");
    case Kind::templateMalformed:
        return QStringLiteral("templateMalformed");
    }
    return QStringLiteral("templateMissing");
}

double offsetShare(double slope, double offset) {
    const double sum = slope + offset;
    return sum == 0.0 ? 0.0 : offset / sum;
}

double scaledSlope(double slope, double offset) {
    return offset == 1.0 ? slope : slope / (1.0 - offset);
}

double powerOffset(double power) {
    if (power >= 1.0) {
        return 1.0 - power;
    }
    if (power > 0.0) {
        return 1.0 / power - 1.0;
    }
    return 0.0;
}

QByteArray numericEntry(quint64 identifier, double value) {
    const float single = toFloat32(value);
    quint32 bits = 0;
    std::memcpy(&bits, &single, sizeof bits);
    QByteArray little(4, Qt::Uninitialized);
    for (int index = 0; index < 4; ++index) {
        little[index] = char(bits >> (8 * index));
    }
    QByteArray inner;
    Protobuf::appendField(inner, Field{1, Protobuf::Fixed32, 0, little});
    QByteArray entry;
    Protobuf::appendField(entry, Field::makeVarint(1, identifier));
    Protobuf::appendField(entry, Field::makeBytes(2, inner));
    return entry;
}

QByteArray textEntry(quint64 identifier, const QString& text) {
    QByteArray inner;
    Protobuf::appendField(inner, Field::makeBytes(5, text.toUtf8()));
    QByteArray entry;
    Protobuf::appendField(entry, Field::makeVarint(1, identifier));
    Protobuf::appendField(entry, Field::makeBytes(2, inner));
    return entry;
}

Result<QByteArray> patchNode(QByteArrayView body, qint64 node, const QMap<quint64, QByteArray>& entries) {
    auto top = Protobuf::parse(body);
    if (!top) {
        return Failure::templateMalformed();
    }
    const qsizetype gradeIndex = indexOf(*top, 1, Protobuf::LengthDelimited);
    if (gradeIndex < 0) {
        return Failure::templateMalformed();
    }
    auto grade = Protobuf::parse((*top)[gradeIndex].bytes);
    if (!grade) {
        return Failure::templateMalformed();
    }

    bool matched = false;
    for (Field& nodeField : *grade) {
        if (nodeField.number != kNodeField || nodeField.wire != Protobuf::LengthDelimited) {
            continue;
        }
        auto nodeFields = Protobuf::parse(nodeField.bytes);
        if (!nodeFields) {
            continue;
        }
        const Field* identifier = Protobuf::find(*nodeFields, 1, Protobuf::Varint);
        if (!identifier || qint64(identifier->varint) != node) {
            continue;
        }
        matched = true;
        auto patched = patchParameters(std::move(*nodeFields), node, entries);
        if (!patched) {
            return patched.failure();
        }
        nodeField.bytes = patched.takeValue();
    }
    if (!matched) {
        return Failure::nodeMissing(node);
    }
    (*top)[gradeIndex].bytes = Protobuf::encode(*grade);
    return Protobuf::encode(*top);
}

Result<QByteArray> buildBody(QByteArrayView templateBody, const Look& look) {
    if (look.slope.size() != 3 || look.offset.size() != 3 || look.power.size() != 3) {
        return Failure::templateMalformed();
    }
    // The still holds single-precision floats: a look value, or a parameter made from one, that is
    // NaN or beyond float's range there would reach Resolve as NaN or infinity.
    bool finite = true;
    const auto check = [&finite](double value) { finite = finite && std::isfinite(toFloat32(value)); };
    for (const QList<double>* values : {&look.slope, &look.offset, &look.power}) {
        std::for_each(values->cbegin(), values->cend(), check);
    }
    QMap<quint64, QByteArray> cdl;
    const auto add = [&cdl, &check](quint64 identifier, double value) {
        check(value);
        cdl.insert(identifier, numericEntry(identifier, value));
    };
    add(kSaturationParam, look.saturation);
    for (int channel = 0; channel < 3; ++channel) {
        const double slope = look.slope[channel];
        const double offset = look.offset[channel];
        add(kOffsetShareParams[channel], offsetShare(slope, offset));
        add(kScaledSlopeParams[channel], scaledSlope(slope, offset));
        add(kPowerOffsetParams[channel], powerOffset(look.power[channel]));
    }
    if (!finite) {
        return Failure::templateMalformed();
    }
    auto first = patchNode(templateBody, kCdlNode, cdl);
    if (!first) {
        return first;
    }
    QMap<quint64, QByteArray> lut;
    lut.insert(kLutPathParam, textEntry(kLutPathParam, look.lutPath));
    return patchNode(first.value(), kLutNode, lut);
}

QByteArray rawZstdFrame(QByteArrayView data) {
    QByteArray out;
    appendRawZstdFrame(out, data);
    return out;
}

QByteArray stillPayload(QByteArrayView body) {
    QByteArray out(1, kPayloadPrefix);
    appendRawZstdFrame(out, body);
    return out;
}

QByteArray hexText(QByteArrayView bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    QByteArray out(bytes.size() * 2, Qt::Uninitialized);
    char* cursor = out.data();
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        *cursor++ = kDigits[value >> 4];
        *cursor++ = kDigits[value & 0x0f];
    }
    return out;
}

QString escapeLabel(const QString& name) {
    QString label;
    label.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t unit = name[i].unicode();
        if (QChar::isHighSurrogate(unit) && i + 1 < name.size() &&
            QChar::isLowSurrogate(name[i + 1].unicode())) {
            label.append(name[i]).append(name[i + 1]);
            ++i;
        } else if (allowedInXml(unit)) {
            label.append(name[i]);
        }
    }
    label.replace(QLatin1Char('&'), QStringLiteral("&amp;"));
    label.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    label.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    label.replace(QLatin1Char('"'), QStringLiteral("&quot;"));
    return label;
}

QByteArray fillPlaceholders(QByteArray xml, QByteArrayView hex, const QString& dbId, const QString& name) {
    xml.replace(QByteArrayView(kBodyPlaceholder), hex);
    xml.replace(QByteArrayView(kDbIdPlaceholder), dbId.toUtf8());
    xml.replace(QByteArrayView(kLabelPlaceholder), escapeLabel(name).toUtf8());
    return xml;
}

Result<Template> templateFromFiles(const Resources& resources) {
    const auto xmlPath = resources.path(QLatin1String(kTemplateName), QStringLiteral("xml"));
    const auto bodyPath = resources.path(QLatin1String(kTemplateName), QStringLiteral("pb"));
    if (!xmlPath || !bodyPath) {
        return Failure::templateMissing();
    }
    Template result;
    for (const auto& [path, target] :
         {std::pair{*xmlPath, &result.xml}, std::pair{*bodyPath, &result.body}}) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return Failure::templateMissing();
        }
        *target = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            return Failure::templateMissing();
        }
    }
    return result;
}

Result<QByteArray> makeStill(const Look& look, const Template& stillTemplate) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    [[maybe_unused]] const QString decoded = utf8(stillTemplate.xml);
    if (utf8.hasError()) {
        return Failure::templateMissing();
    }
    auto body = buildBody(stillTemplate.body, look);
    if (!body) {
        return body.failure();
    }
    const QByteArray hex = hexText(stillPayload(body.value()));
    const QString dbId = QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    return fillPlaceholders(stillTemplate.xml, hex, dbId, look.name);
}

Result<QByteArray> makeStill(const Look& look, const Resources& resources) {
    auto stillTemplate = templateFromFiles(resources);
    if (!stillTemplate) {
        return stillTemplate.failure();
    }
    return makeStill(look, stillTemplate.value());
}

QString stillLutPath(const QString& cubePath, const ResolveProfile& profile) {
    const QString& master = profile.masterLutFolder;
    if (!master.isEmpty() && cubePath.startsWith(master)) {
        return cubePath.mid(master.size());
    }
    return cubePath;
}

} // namespace ResolveGrade
