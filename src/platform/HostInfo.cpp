#include "platform/HostInfo.h"

#include "platform/FileSystem.h"

#include <QStringList>

#include <QSysInfo>

namespace {

// machine-info is a shell-style assignment file; values may be quoted.
QString prettyHostname(const QString& machineInfoPath) {
    const auto bytes = FileSystem::readAll(machineInfoPath, 64 * 1024);
    if (!bytes) {
        return {};
    }
    const QString text = QString::fromUtf8(*bytes);
    for (const QString& rawLine : text.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (!line.startsWith(QLatin1String("PRETTY_HOSTNAME="))) {
            continue;
        }
        QString value = line.mid(int(qstrlen("PRETTY_HOSTNAME=")));
        if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
            value.back() == value.front()) {
            value = value.mid(1, value.size() - 2);
        }
        value.replace(QLatin1String("\\\""), QLatin1String("\""));
        return value.trimmed();
    }
    return {};
}

} // namespace

namespace HostInfo {

QString computerName(const QString& machineInfoPath) {
    QString name = prettyHostname(machineInfoPath);
    if (name.isEmpty()) {
        name = QSysInfo::machineHostName().trimmed();
    }
    return name.isEmpty() ? QStringLiteral("Mac") : name;
}

} // namespace HostInfo
