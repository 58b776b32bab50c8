#pragma once

#include "colour/Curves.h"

#include <QString>

// A range of one HSL component that selects fully between `low` and `high` and fades out linearly
// over `softness` beyond either end.
struct QualifierRange {
    double low = 0.0;
    double high = 1.0;
    double softness = 0.0;

    bool operator==(const QualifierRange&) const = default;
};

// An HSL key. The hue range is read on the hue circle (in turns): a `low` above `high` wraps
// through red, so {0.95, 0.05} selects the reds on both sides of zero; {0, 1} selects every hue.
struct HslQualifier {
    QualifierRange hue;
    QualifierRange saturation;
    QualifierRange lightness;

    // How much of the pixel is selected, 0 to 1: the product of the three ranges' keys.
    double key(const Rgb& rgb) const;
    // Why the ranges cannot be used (values that are not finite, a negative softness, a hue
    // outside [0, 1], a saturation or lightness range whose low lies above its high), or an
    // empty text when they can.
    QString problem() const;

    bool operator==(const HslQualifier&) const = default;
};
