#include "colour/Cube.h"

#include <algorithm>
#include <charconv>

namespace Cube {

namespace {

// The title is quoted with no escapes, and readers keep lines short: quotes and control characters
// become blanks, and the line stays within 250 bytes without splitting a character.
QByteArray titleLine(const QString& title) {
    QString text = title;
    for (QChar& c : text) {
        const char16_t u = c.unicode();
        if (u == u'"' || u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028 || u == 0x2029) {
            c = u' ';
        }
    }
    QByteArray bytes = text.trimmed().toUtf8();
    constexpr qsizetype room = 250 - 9; // TITLE "" and the line feed
    if (bytes.size() > room) {
        qsizetype cut = room;
        while ((bytes[cut] & 0xC0) == 0x80) {
            --cut;
        }
        bytes.truncate(cut);
    }
    return "TITLE \"" + bytes + "\"\n";
}

void appendNumber(QByteArray& out, double value) {
    char buffer[64];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, float(value), std::chars_format::fixed);
    Q_ASSERT(error == std::errc());
    out.append(buffer, end - buffer);
    if (std::find(buffer, end, '.') == end) {
        out.append(".0"); // some readers take only numbers with a point as real
    }
}

} // namespace

Decoded<QByteArray> bake(const Cdl& cdl, int size, const QString& title) {
    if (size < smallestSize || size > largestSize) {
        return Decoded<QByteArray>::failure(
            QStringLiteral("A .cube LUT has from %1 to %2 points per edge, not %3")
                .arg(smallestSize)
                .arg(largestSize)
                .arg(size));
    }
    if (const QString problem = cdl.problem(); !problem.isEmpty()) {
        return Decoded<QByteArray>::failure(QStringLiteral("The CDL cannot be baked: %1").arg(problem));
    }
    QByteArray out = titleLine(title) + "LUT_3D_SIZE " + QByteArray::number(size) + '\n';
    out.reserve(out.size() + qsizetype(size) * size * size * 30);
    const double last = size - 1;
    for (int blue = 0; blue < size; ++blue) {
        for (int green = 0; green < size; ++green) {
            for (int red = 0; red < size; ++red) {
                const Rgb rgb = cdl.apply({red / last, green / last, blue / last});
                appendNumber(out, rgb[0]);
                out.append(' ');
                appendNumber(out, rgb[1]);
                out.append(' ');
                appendNumber(out, rgb[2]);
                out.append('\n');
            }
        }
    }
    return out;
}

} // namespace Cube
