#include "colour/Cdl.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

const char* const channelNames[] = {"red", "green", "blue"};

double clamp01(double value) {
    return std::clamp(value, 0.0, 1.0);
}

QString channelProblem(const char* what, const Rgb& values, bool zeroAllowed) {
    for (int channel = 0; channel < 3; ++channel) {
        const double value = values[channel];
        if (!std::isfinite(value)) {
            return QStringLiteral("the %1 %2 is not a finite number").arg(channelNames[channel], what);
        }
        if (value < 0.0 || (!zeroAllowed && value == 0.0)) {
            return QStringLiteral("the %1 %2 must be %3 (it is %4)")
                .arg(channelNames[channel], what, zeroAllowed ? "zero or more" : "more than zero",
                     cdlNumber(value));
        }
    }
    return {};
}

} // namespace

double luma(const Rgb& rgb) {
    return lumaWeights[0] * rgb[0] + lumaWeights[1] * rgb[1] + lumaWeights[2] * rgb[2];
}

Rgb Cdl::apply(const Rgb& in) const {
    Rgb out{};
    for (int channel = 0; channel < 3; ++channel) {
        out[channel] = std::pow(clamp01(in[channel] * slope[channel] + offset[channel]), power[channel]);
    }
    const double y = luma(out);
    for (double& value : out) {
        value = clamp01(y + saturation * (value - y));
    }
    return out;
}

QString Cdl::problem() const {
    QString problem = channelProblem("slope", slope, true);
    if (problem.isEmpty()) {
        for (int channel = 0; channel < 3 && problem.isEmpty(); ++channel) {
            if (!std::isfinite(offset[channel])) {
                problem = QStringLiteral("the %1 offset is not a finite number").arg(channelNames[channel]);
            }
        }
    }
    if (problem.isEmpty()) {
        problem = channelProblem("power", power, false);
    }
    if (problem.isEmpty() && !(std::isfinite(saturation) && saturation >= 0.0)) {
        problem = QStringLiteral("the saturation must be a finite number, zero or more (it is %1)")
                      .arg(std::isfinite(saturation) ? cdlNumber(saturation) : QStringLiteral("not finite"));
    }
    return problem;
}

Decoded<Cdl> Cdl::fromLook(const LUTLook& look) {
    Cdl cdl;
    const std::pair<const QList<double>*, Rgb*> lists[] = {
        {&look.slope, &cdl.slope}, {&look.offset, &cdl.offset}, {&look.power, &cdl.power}};
    const char* const names[] = {"slope", "offset", "power"};
    for (int list = 0; list < 3; ++list) {
        const QList<double>& values = *lists[list].first;
        if (values.size() != 3) {
            return Decoded<Cdl>::failure(QStringLiteral("The look %1 has %2 %3 values; a CDL needs three")
                                             .arg(quoted(look.name))
                                             .arg(values.size())
                                             .arg(names[list]));
        }
        std::copy(values.begin(), values.end(), lists[list].second->begin());
    }
    cdl.saturation = look.saturation;
    if (const QString problem = cdl.problem(); !problem.isEmpty()) {
        return Decoded<Cdl>::failure(
            QStringLiteral("The look %1 is not a valid CDL: %2").arg(quoted(look.name), problem));
    }
    return cdl;
}

LUTLook Cdl::toLook(const QString& name, const QString& space) const {
    return LUTLook{name,
                   space,
                   {slope.begin(), slope.end()},
                   {offset.begin(), offset.end()},
                   {power.begin(), power.end()},
                   saturation,
                   std::nullopt,
                   std::nullopt,
                   std::nullopt};
}

QString cdlNumber(double value) {
    if (value == 0.0) {
        return QStringLiteral("0"); // never "-0"
    }
    // Fixed notation without a precision gives the shortest digits that round-trip; the largest
    // double needs 309 digits before the point, the smallest 1074 after it.
    char buffer[1100];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (error != std::errc()) {
        return {};
    }
    return QString::fromLatin1(buffer, end - buffer);
}

std::optional<double> parseCdlNumber(QStringView text) {
    QByteArray latin = text.toLatin1();
    if (text.size() > 1 && text.front() == u'+' && text[1] != u'-') {
        latin.remove(0, 1); // xs:decimal allows a leading plus, from_chars does not
    }
    double value = 0.0;
    const char* end = latin.constData() + latin.size();
    const auto [stop, error] = std::from_chars(latin.constData(), end, value, std::chars_format::general);
    // The Latin-1 conversion turns anything beyond it into '?', which from_chars refuses too.
    if (latin.isEmpty() || error != std::errc() || stop != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

QString quoted(const QString& name) {
    QString out(1, u'"');
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        if (u == u'\n' || u == u'\r' || u == u'\t') {
            out += u == u'\n' ? u"\\n" : u == u'\r' ? u"\\r" : u"\\t";
        } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        } else if (u == 0x2028 || u == 0x2029) {
            out += QStringLiteral("\\u%1").arg(int(u), 4, 16);
        } else {
            out += c;
        }
    }
    return out + u'"';
}
