#pragma once

#include "records/CloudRecords.h"

#include <QString>
#include <QStringView>

#include <array>
#include <optional>

// Red, green and blue, in the 0 to 1 range for display-referred values.
using Rgb = std::array<double, 3>;

// Rec. 709 luma weights, the ones the ASC CDL saturation uses.
inline constexpr Rgb lumaWeights{0.2126, 0.7152, 0.0722};
double luma(const Rgb& rgb);

// An ASC CDL grade: slope, offset and power per channel, then saturation.
struct Cdl {
    Rgb slope{1.0, 1.0, 1.0};
    Rgb offset{0.0, 0.0, 0.0};
    Rgb power{1.0, 1.0, 1.0};
    double saturation = 1.0;

    // The ASC CDL v1.2 formula with its clamps: out = clamp(in * slope + offset) ^ power, then
    // saturation around Rec. 709 luma, clamped again to [0, 1].
    Rgb apply(const Rgb& in) const;

    // Why this CDL cannot be written or applied (a value that is not finite, a negative slope or
    // saturation, a power that is not positive), or an empty text when it can.
    QString problem() const;

    // The look's lists must hold exactly three values each and pass problem().
    static Decoded<Cdl> fromLook(const LUTLook& look);
    // A look with these values; contrast, pivot and split stay empty because CDL has none.
    LUTLook toLook(const QString& name, const QString& space) const;

    bool operator==(const Cdl&) const = default;
};

// Numbers as ASC CDL and ALE files carry them: plain decimal notation, no exponent, with the
// fewest digits that read back to the same double.
QString cdlNumber(double value);
// A number as such files may hold it (an exponent is accepted); nothing for any other text or for
// a value that is not finite.
std::optional<double> parseCdlNumber(QStringView text);

// A name as messages quote it: between double quotes, its control characters (a NUL among them)
// written as escapes such as \n or \x00, so that a message shows what the name holds and a
// terminal neither acts on it nor stops printing part-way.
QString quoted(const QString& name);
