#include "engine/LookFileNames.h"

namespace LookFileNames {

bool isSafe(const QString& name) {
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) &&
           name != QLatin1String(".") && name != QLatin1String("..");
}

QString cubeFileName(const QString& lookName, Qt::CaseSensitivity endingCase) {
    return lookName.endsWith(QLatin1String(".cube"), endingCase) ? lookName
                                                                 : lookName + QLatin1String(".cube");
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

} // namespace LookFileNames
