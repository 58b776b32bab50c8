#include "bus/BusProtocol.h"

#include <QDBusMetaType>

namespace Bus {

void registerTypes() {
    qDBusRegisterMetaType<ActivityEntry>();
    qDBusRegisterMetaType<QList<ActivityEntry>>();
}

} // namespace Bus

QDBusArgument& operator<<(QDBusArgument& argument, const Bus::ActivityEntry& entry) {
    argument.beginStructure();
    argument << entry.time << entry.text << entry.ok;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Bus::ActivityEntry& entry) {
    argument.beginStructure();
    argument >> entry.time >> entry.text >> entry.ok;
    argument.endStructure();
    return argument;
}
