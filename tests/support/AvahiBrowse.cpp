#include "support/AvahiBrowse.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

#include <cctype>

namespace AvahiBrowse {

// avahi-browse -p writes a name's bytes with \DDD (decimal) and \c escapes.
static QString unescapeName(const QString& escaped) {
    const QByteArray in = escaped.toUtf8();
    QByteArray out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 >= in.size()) {
            out += in[i];
        } else if (i + 3 < in.size() && std::isdigit(uchar(in[i + 1])) && std::isdigit(uchar(in[i + 2])) &&
                   std::isdigit(uchar(in[i + 3]))) {
            out += char(in.mid(i + 1, 3).toInt());
            i += 3;
        } else {
            out += in[++i];
        }
    }
    return QString::fromUtf8(out);
}

std::optional<QList<Browsed>> browse() {
    QProcess process;
    process.start(QStringLiteral("avahi-browse"), {QStringLiteral("-rtp"), serviceType});
    if (!process.waitForFinished(20'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        return std::nullopt;
    }
    QList<Browsed> found;
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        // =;interface;protocol;name;type;domain;host;address;port;txt (';' inside the name is escaped)
        const QStringList fields = line.split(QLatin1Char(';'));
        if (fields.size() >= 10 && fields[0] == QLatin1String("=")) {
            found += {fields[1], unescapeName(fields[3]), quint16(fields[8].toUInt()),
                      fields.mid(9).join(QLatin1Char(';'))};
        }
    }
    return found;
}

QList<Browsed> browseNamed(const QString& name) {
    QList<Browsed> named = browse().value_or(QList<Browsed>{});
    named.removeIf([&](const Browsed& entry) { return entry.name != name; });
    return named;
}

bool browsedOnce(const QString& name, quint16 port) {
    const QList<Browsed> found = browseNamed(name);
    return found.size() == 1 && found[0].interfaceName == u"lo" && found[0].port == port &&
           found[0].txt == u"\"v=1\"";
}

static QString readTrimmed(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
}

QString loopbackDaemonProblem() {
    const QString pid = readTrimmed(QStringLiteral("/run/avahi-daemon/pid"));
    if (pid.isEmpty() || !QFile::exists(QStringLiteral("/proc/") + pid)) {
        return QStringLiteral("avahi-daemon is not running; `bash scripts/test.sh` starts it on loopback");
    }
    if (pid != readTrimmed(QStringLiteral("/run/tonewharf-test-avahi.pid"))) {
        return QStringLiteral(
            "the running avahi-daemon is not the loopback-only one of scripts/test-services.sh");
    }
    constexpr uint multicastFlag = 0x1000;
    if ((readTrimmed(QStringLiteral("/sys/class/net/lo/flags")).toUInt(nullptr, 16) & multicastFlag) == 0) {
        return QStringLiteral(
            "the loopback interface lacks the multicast flag (ip link set lo multicast on)");
    }
    if (!browse()) {
        return QStringLiteral("avahi-browse (avahi-utils) cannot reach avahi-daemon over the system D-Bus");
    }
    return {};
}

QString uniqueName(const QString& base) {
    return base + QStringLiteral(" %1").arg(QRandomGenerator::global()->bounded(100000, 999999));
}

} // namespace AvahiBrowse
