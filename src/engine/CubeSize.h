#pragma once

#include <QByteArrayView>

#include <optional>

// The edge length a .cube file declares on its "LUT_3D_SIZE" line, looked for in the first 4096
// bytes only. Nothing when that prefix is not UTF-8, has no such line, or the line does not end in
// a decimal number (a carriage return after the number counts as not a number).
std::optional<qint64> cubeSize(QByteArrayView bytes);
