#include "platform/HostInfo.h"

#include "platform/FileSystem.h"

#include <QStringList>

#include <QSysInfo>

#include <pwd.h>
#include <unistd.h>

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
        if (value.size() >= 2 && value.front() == QLatin1Char('\'') && value.back() == value.front()) {
            return value.mid(1, value.size() - 2).trimmed(); // single quotes keep every character as it is
        }
        // Double quotes (as hostnamectl writes them) escape only \ " ` and $; unquoted, any character.
        const bool quoted =
            value.size() >= 2 && value.front() == QLatin1Char('"') && value.back() == value.front();
        if (quoted) {
            value = value.mid(1, value.size() - 2);
        }
        QString unescaped;
        for (qsizetype i = 0; i < value.size(); ++i) {
            if (value[i] == QLatin1Char('\\') && i + 1 < value.size() &&
                (!quoted || QStringLiteral("\\\"`$").contains(value[i + 1]))) {
                ++i;
            }
            unescaped += value[i];
        }
        return unescaped.trimmed();
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

QString userName() {
    if (const passwd* entry = ::getpwuid(::getuid())) {
        return QString::fromLocal8Bit(entry->pw_name);
    }
    return qEnvironmentVariable("USER");
}

} // namespace HostInfo
