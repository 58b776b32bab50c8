#pragma once

#include "colour/Cdl.h"

#include <QByteArray>
#include <QString>

// 3D LUTs in the .cube form Adobe defined and Resolve reads.
namespace Cube {

inline constexpr int defaultSize = 33;
inline constexpr int smallestSize = 2;
inline constexpr int largestSize = 129;

// The CDL applied, as Cdl::apply does, to every point of a lattice of size points per edge over
// [0, 1]: a TITLE line, the LUT_3D_SIZE line, then one "r g b" line per point with red changing
// fastest, each number the shortest that reads back as the same single-precision float. Fails for a
// size outside smallestSize to largestSize or a CDL that is not valid.
Decoded<QByteArray> bake(const Cdl& cdl, int size, const QString& title);

} // namespace Cube
