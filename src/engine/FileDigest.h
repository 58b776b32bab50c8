#pragma once

#include <QByteArrayView>
#include <QString>

// SHA-256 of the bytes as 64 lower-case hexadecimal digits.
QString sha256Hex(QByteArrayView bytes);
