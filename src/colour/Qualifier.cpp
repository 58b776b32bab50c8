#include "colour/Qualifier.h"

#include <algorithm>
#include <cmath>

namespace {

double fade(double distance, double softness) {
    if (distance <= 0.0) {
        return 1.0;
    }
    return softness > 0.0 ? std::max(0.0, 1.0 - distance / softness) : 0.0;
}

double linearKey(const QualifierRange& range, double value) {
    return fade(std::max(range.low - value, value - range.high), range.softness);
}

double circularDistance(double a, double b) {
    const double d = std::abs(a - b);
    return std::min(d, 1.0 - d);
}

double hueKey(const QualifierRange& range, double hue) {
    if (range.high - range.low >= 1.0) {
        return 1.0;
    }
    const bool inside = range.low <= range.high ? (hue >= range.low && hue <= range.high)
                                                : (hue >= range.low || hue <= range.high);
    if (inside) {
        return 1.0;
    }
    return fade(std::min(circularDistance(hue, range.low), circularDistance(hue, range.high)),
                range.softness);
}

QString rangeProblem(const char* name, const QualifierRange& range, bool wraps) {
    if (!std::isfinite(range.low) || !std::isfinite(range.high) || !std::isfinite(range.softness)) {
        return QStringLiteral("the %1 range holds a value that is not finite").arg(QLatin1String(name));
    }
    if (range.softness < 0.0) {
        return QStringLiteral("the %1 softness is negative").arg(QLatin1String(name));
    }
    if (wraps && (range.low < 0.0 || range.low > 1.0 || range.high < 0.0 || range.high > 1.0)) {
        return QStringLiteral("the hue range must lie within one turn, [0, 1]");
    }
    if (!wraps && range.low > range.high) {
        return QStringLiteral("the %1 range's low lies above its high").arg(QLatin1String(name));
    }
    return {};
}

} // namespace

double HslQualifier::key(const Rgb& rgb) const {
    const Hsl hsl =
        toHsl({std::clamp(rgb[0], 0.0, 1.0), std::clamp(rgb[1], 0.0, 1.0), std::clamp(rgb[2], 0.0, 1.0)});
    return hueKey(hue, hsl.hue) * linearKey(saturation, hsl.saturation) * linearKey(lightness, hsl.lightness);
}

QString HslQualifier::problem() const {
    QString problem = rangeProblem("hue", hue, true);
    if (problem.isEmpty()) {
        problem = rangeProblem("saturation", saturation, false);
    }
    if (problem.isEmpty()) {
        problem = rangeProblem("lightness", lightness, false);
    }
    return problem;
}
