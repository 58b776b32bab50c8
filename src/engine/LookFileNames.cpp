#include "engine/LookFileNames.h"

#include <algorithm>

namespace LookFileNames {

namespace {

// The longest name, in bytes, that Linux, macOS and Windows file systems accept.
constexpr qsizetype nameByteLimit = 255;
const QLatin1String cubeEnding(".cube");

bool isControl(QChar character) {
    return character.unicode() < 0x20 || character.unicode() == 0x7f;
}

} // namespace

bool isSafe(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           name != QLatin1String(".") && name != QLatin1String("..") &&
           std::none_of(name.cbegin(), name.cend(), isControl);
}

bool isUsable(const QString& cubeFileName) {
    return isSafe(cubeFileName) && cubeFileName.toUtf8().size() <= nameByteLimit &&
           stillFileName(cubeFileName).toUtf8().size() <= nameByteLimit;
}

QString cubeFileName(const QString& lookName, Qt::CaseSensitivity endingCase) {
    return lookName.endsWith(cubeEnding, endingCase) ? lookName : lookName + cubeEnding;
}

QString stillFileName(const QString& cubeFileName) {
    return cubeFileName.left(cubeFileName.size() - 5) + QLatin1String(".drx");
}

QString lastPathComponent(const QString& name) {
    return name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
}

std::optional<QString> cloudCubeFileName(const QString& recordName) {
    const QString name = lastPathComponent(recordName);
    if (!isSafe(name)) {
        return std::nullopt;
    }
    return cubeFileName(name, Qt::CaseSensitive);
}

QString numbered(const QString& cubeFileName, int n) {
    if (n <= 1) {
        return cubeFileName;
    }
    return cubeFileName.left(cubeFileName.size() - 5) + QLatin1Char(' ') + QString::number(n) +
           cubeFileName.right(5);
}

bool isNumberedForm(const QString& fileName, const QString& cubeFileName) {
    if (fileName == cubeFileName) {
        return true;
    }
    const QString stem = cubeFileName.left(cubeFileName.size() - 5) + QLatin1Char(' ');
    if (!fileName.startsWith(stem) || !fileName.endsWith(cubeFileName.right(5))) {
        return false;
    }
    bool parsed = false;
    const int n = fileName.mid(stem.size(), fileName.size() - stem.size() - 5).toInt(&parsed);
    return parsed && numbered(cubeFileName, n) == fileName;
}

} // namespace LookFileNames
