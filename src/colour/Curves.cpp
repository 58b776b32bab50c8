#include "colour/Curves.h"

#include <algorithm>
#include <cmath>

namespace {

double sign(double value) {
    return (value > 0.0) - (value < 0.0);
}

double hermite(const CurvePoint& a, double ta, const CurvePoint& b, double tb, double x) {
    const double h = b.x - a.x;
    const double t = (x - a.x) / h;
    const double t2 = t * t;
    const double t3 = t2 * t;
    return (2 * t3 - 3 * t2 + 1) * a.y + (t3 - 2 * t2 + t) * h * ta + (-2 * t3 + 3 * t2) * b.y +
           (t3 - t2) * h * tb;
}

// Steffen's tangent at `at`, from its neighbours; never more than twice the smaller neighbouring
// secant and zero at a local extremum, which keeps every segment within its two points.
double steffenTangent(const CurvePoint& before, const CurvePoint& at, const CurvePoint& after) {
    const double h0 = at.x - before.x;
    const double h1 = after.x - at.x;
    const double s0 = (at.y - before.y) / h0;
    const double s1 = (after.y - at.y) / h1;
    const double p = (s0 * h1 + s1 * h0) / (h0 + h1);
    return (sign(s0) + sign(s1)) * std::min({std::abs(s0), std::abs(s1), 0.5 * std::abs(p)});
}

double fraction(double x) {
    return x - std::floor(x);
}

double valueAt(const Curve& curve, double x, double neutral) {
    return curve.isEmpty() ? neutral : curve.at(x);
}

} // namespace

std::optional<Curve> Curve::make(QList<CurvePoint> points, Kind kind, QString* why) {
    const auto refuse = [why](QString reason) -> std::optional<Curve> {
        if (why) {
            *why = std::move(reason);
        }
        return std::nullopt;
    };
    for (qsizetype i = 0; i < points.size(); ++i) {
        const CurvePoint& point = points[i];
        if (!std::isfinite(point.x) || !std::isfinite(point.y)) {
            return refuse(QStringLiteral("point %1 is not a pair of finite numbers").arg(i + 1));
        }
        if (i > 0 && !(point.x > points[i - 1].x)) {
            return refuse(QStringLiteral("point %1 does not lie to the right of point %2").arg(i + 1).arg(i));
        }
        if (kind == Kind::periodic && (point.x < 0.0 || point.x >= 1.0)) {
            return refuse(QStringLiteral("point %1 lies outside one turn of hue, [0, 1)").arg(i + 1));
        }
    }

    Curve curve;
    curve.m_kind = kind;
    curve.m_points = std::move(points);
    const QList<CurvePoint>& p = curve.m_points;
    const qsizetype n = p.size();
    curve.m_tangents.fill(0.0, n);
    if (n < 2) {
        return curve;
    }
    for (qsizetype i = 1; i + 1 < n; ++i) {
        curve.m_tangents[i] = steffenTangent(p[i - 1], p[i], p[i + 1]);
    }
    if (kind == Kind::open) {
        // The secant at each end: with the interior bound above, the end segments stay monotone.
        curve.m_tangents[0] = (p[1].y - p[0].y) / (p[1].x - p[0].x);
        curve.m_tangents[n - 1] = (p[n - 1].y - p[n - 2].y) / (p[n - 1].x - p[n - 2].x);
    } else {
        const CurvePoint lastBefore{p[n - 1].x - 1.0, p[n - 1].y};
        const CurvePoint firstAfter{p[0].x + 1.0, p[0].y};
        curve.m_tangents[0] = steffenTangent(lastBefore, p[0], p[1]);
        curve.m_tangents[n - 1] = steffenTangent(p[n - 2], p[n - 1], firstAfter);
    }
    return curve;
}

double Curve::at(double x) const {
    const QList<CurvePoint>& p = m_points;
    const qsizetype n = p.size();
    if (n == 0) {
        return x;
    }
    if (n == 1) {
        return p[0].y;
    }
    if (m_kind == Kind::open) {
        if (x <= p[0].x) {
            return p[0].y;
        }
        if (x >= p[n - 1].x) {
            return p[n - 1].y;
        }
    } else {
        x = fraction(x);
        // The segment that wraps from the last point round to the first.
        if (x < p[0].x) {
            return hermite({p[n - 1].x - 1.0, p[n - 1].y}, m_tangents[n - 1], p[0], m_tangents[0], x);
        }
        if (x >= p[n - 1].x) {
            return hermite(p[n - 1], m_tangents[n - 1], {p[0].x + 1.0, p[0].y}, m_tangents[0], x);
        }
    }
    const auto after = std::upper_bound(
        p.begin(), p.end(), x, [](double value, const CurvePoint& point) { return value < point.x; });
    const qsizetype i = after - p.begin() - 1;
    return hermite(p[i], m_tangents[i], p[i + 1], m_tangents[i + 1], x);
}

Rgb GradingCurves::apply(const Rgb& in) const {
    const double y = ::luma(in);
    const double lift = luma.at(y) - y;
    const Curve* channels[] = {&red, &green, &blue};
    Rgb out{};
    for (int channel = 0; channel < 3; ++channel) {
        out[channel] = channels[channel]->at(in[channel] + lift);
    }
    return out;
}

Hsl toHsl(const Rgb& rgb) {
    const auto [r, g, b] = rgb;
    const double high = std::max({r, g, b});
    const double low = std::min({r, g, b});
    Hsl hsl;
    hsl.lightness = (high + low) / 2;
    const double chroma = high - low;
    if (chroma <= 0.0) {
        return hsl;
    }
    hsl.saturation = chroma / (1.0 - std::abs(2 * hsl.lightness - 1.0));
    double sixths = 0.0;
    if (high == r) {
        sixths = (g - b) / chroma;
    } else if (high == g) {
        sixths = (b - r) / chroma + 2;
    } else {
        sixths = (r - g) / chroma + 4;
    }
    hsl.hue = fraction(sixths / 6);
    return hsl;
}

Rgb fromHsl(const Hsl& hsl) {
    const double chroma = (1.0 - std::abs(2 * hsl.lightness - 1.0)) * hsl.saturation;
    const double high = hsl.lightness + chroma / 2;
    const auto channel = [&](double offset) {
        // Where the hue lies from this channel's plateau, in sixths of a turn.
        const double k = std::fmod(offset + fraction(hsl.hue) * 6, 6.0);
        return high - chroma * std::clamp(std::min(k, 4 - k), 0.0, 1.0);
    };
    return {channel(5), channel(3), channel(1)};
}

Rgb HueCurves::apply(const Rgb& in) const {
    if (hueVsHue.isEmpty() && hueVsSaturation.isEmpty() && hueVsLuminance.isEmpty()) {
        return in;
    }
    Hsl hsl = toHsl({std::clamp(in[0], 0.0, 1.0), std::clamp(in[1], 0.0, 1.0), std::clamp(in[2], 0.0, 1.0)});
    const double hue = hsl.hue;
    hsl.hue = fraction(hue + valueAt(hueVsHue, hue, 0.0));
    // Greys have no hue: the lightness gain is weighed by how saturated the pixel is.
    const double lightnessGain = 1.0 + (valueAt(hueVsLuminance, hue, 1.0) - 1.0) * hsl.saturation;
    hsl.lightness = std::clamp(hsl.lightness * lightnessGain, 0.0, 1.0);
    hsl.saturation = std::clamp(hsl.saturation * valueAt(hueVsSaturation, hue, 1.0), 0.0, 1.0);
    return fromHsl(hsl);
}
