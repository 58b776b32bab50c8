#include "support/AvahiBrowse.h"

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>

#include <optional>

namespace AvahiBrowse {

namespace {

QString readTrimmed(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
}

// avahi-browse writes a name with \. and \\ escaped, and any other byte but a letter, a digit, - and _ as
// \ and three decimal digits.
QString unescaped(const QByteArray& label) {
    QByteArray bytes;
    for (qsizetype i = 0; i < label.size(); ++i) {
        if (label[i] == '\\' && label.mid(i + 1, 3).toUInt() > 0) {
            bytes += char(label.mid(i + 1, 3).toUInt());
            i += 3;
        } else {
            bytes += label[label[i] == '\\' ? ++i : i];
        }
    }
    return QString::fromUtf8(bytes);
}

// The resolved instances the daemon knows now, by where they were seen and their name. The daemon
// answers from its own records and its cache at once, without asking the network.
std::optional<QMap<QByteArray, Browsed>> browse() {
    QProcess tool;
    tool.start(QStringLiteral("avahi-browse"), {QStringLiteral("--parsable"), QStringLiteral("--resolve"),
                                                QStringLiteral("--cache"), serviceType});
    // A resolver of an instance on its way out may wait out its timeout; the others answer at once,
    // if not within a few hundred milliseconds on a loaded machine.
    if (!tool.waitForFinished(1'500)) {
        tool.terminate(); // which it takes as the end: what it knows is written
        tool.waitForFinished(1'000);
    } else if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        return std::nullopt;
    }
    QMap<QByteArray, Browsed> found;
    for (const QByteArray& line : tool.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> fields = line.split(';');
        if (fields.size() >= 10 && fields[0] == "=") {
            found.insert(fields[1] + ';' + fields[3],
                         {QString::fromUtf8(fields[1]), unescaped(fields[3]), quint16(fields[8].toUInt()),
                          QString::fromUtf8(fields[9])});
        }
    }
    return found;
}

} // namespace

QList<Browsed> browseNamed(const QString& name) {
    static const bool usable = loopbackDaemonProblem().isEmpty();
    QList<Browsed> named =
        usable ? browse().value_or(QMap<QByteArray, Browsed>{}).values() : QList<Browsed>{};
    named.removeIf([&](const Browsed& entry) { return entry.name != name; });
    return named;
}

bool browsedOnce(const QString& name, quint16 port) {
    const QList<Browsed> found = browseNamed(name);
    return found.size() == 1 && found[0].interfaceName == u"lo" && found[0].port == port &&
           found[0].txt == u"\"v=1\"";
}

QString loopbackDaemonProblem() {
    const QString pid = readTrimmed(QStringLiteral("/run/avahi-daemon/pid"));
    constexpr uint multicastFlag = 0x1000;
    if (pid.isEmpty() || !QFile::exists(QStringLiteral("/proc/") + pid) ||
        pid != readTrimmed(QStringLiteral("/run/tonewharf-test-avahi.pid")) ||
        (readTrimmed(QStringLiteral("/sys/class/net/lo/flags")).toUInt(nullptr, 16) & multicastFlag) == 0) {
        return QStringLiteral(
            "needs the avahi-daemon that `bash scripts/test.sh` runs on a multicast loopback only");
    }
    return browse() ? QString() : QStringLiteral("avahi-browse cannot reach avahi-daemon");
}

QString uniqueName(const QString& base) {
    return base + QStringLiteral(" %1").arg(QRandomGenerator::global()->bounded(100000, 999999));
}

} // namespace AvahiBrowse
