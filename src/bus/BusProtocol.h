#pragma once

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>

// What the running program and the programs that talk to it agree on over the session bus.
namespace Bus {

// The application id of the desktop entry.
inline QString serviceName() {
    return QStringLiteral("com.quillfen.Tonewharf");
}
inline QString objectPath() {
    return QStringLiteral("/com/quillfen/Tonewharf");
}
inline QString interfaceName() {
    return QStringLiteral("com.quillfen.Tonewharf1");
}
// The error a command answers when the program cannot do it now; its message says why.
inline QString refusedError() {
    return QStringLiteral("com.quillfen.Tonewharf1.Error.Refused");
}

// One line of the activity log as it crosses the bus: (xsb).
struct ActivityEntry {
    qint64 time = 0; // milliseconds since the epoch
    QString text;
    bool ok = true;
};

// Both sides call this before the first call that carries an activity entry.
void registerTypes();

} // namespace Bus

QDBusArgument& operator<<(QDBusArgument& argument, const Bus::ActivityEntry& entry);
const QDBusArgument& operator>>(const QDBusArgument& argument, Bus::ActivityEntry& entry);

Q_DECLARE_METATYPE(Bus::ActivityEntry)
