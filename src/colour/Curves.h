#pragma once

#include "colour/Cdl.h"

#include <QList>
#include <QString>

#include <optional>

struct CurvePoint {
    double x = 0.0;
    double y = 0.0;
    bool operator==(const CurvePoint&) const = default;
};

// A curve through control points with monotone cubic interpolation (Steffen's method): it passes
// through every point, and between two points it never rises above or falls below them, so a
// rising set of points gives a rising curve and a flat stretch stays flat. Without points it is
// the identity.
class Curve {
public:
    enum class Kind {
        open,    // beyond the first and last points it holds their values
        periodic // x is taken modulo 1 and the last point leads back to the first: hue curves
    };

    Curve() = default;
    // Points with finite values and strictly increasing x; a periodic curve's x lie in [0, 1).
    // Nothing (and the reason in `why`) otherwise.
    static std::optional<Curve> make(QList<CurvePoint> points, Kind kind = Kind::open,
                                     QString* why = nullptr);

    double at(double x) const;
    const QList<CurvePoint>& points() const { return m_points; }
    bool isEmpty() const { return m_points.isEmpty(); }

    bool operator==(const Curve& other) const { return m_kind == other.m_kind && m_points == other.m_points; }

private:
    Kind m_kind = Kind::open;
    QList<CurvePoint> m_points;
    QList<double> m_tangents; // one per point
};

// Custom curves: the luma curve moves every channel by the change it makes to the pixel's luma,
// then each channel goes through its own curve. Empty curves change nothing.
struct GradingCurves {
    Curve luma;
    Curve red;
    Curve green;
    Curve blue;

    Rgb apply(const Rgb& in) const;
    bool operator==(const GradingCurves&) const = default;
};

// Hue, saturation and lightness, each in [0, 1]; hue in turns (0 red, 1/3 green, 2/3 blue).
struct Hsl {
    double hue = 0.0;
    double saturation = 0.0;
    double lightness = 0.0;
};
Hsl toHsl(const Rgb& rgb);
Rgb fromHsl(const Hsl& hsl);

// Curves over the pixel's hue (periodic curves with x in turns). Hue vs hue gives a shift in turns
// (neutral 0); hue vs saturation and hue vs luminance give gains on HSL saturation and lightness
// (neutral 1). All three read the hue of the incoming pixel; an empty curve changes nothing.
struct HueCurves {
    Curve hueVsHue;
    Curve hueVsSaturation;
    Curve hueVsLuminance;

    Rgb apply(const Rgb& in) const;
    bool operator==(const HueCurves&) const = default;
};
