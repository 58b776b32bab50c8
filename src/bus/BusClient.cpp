#include "bus/BusClient.h"

#include <QDBusArgument>
#include <QDBusVariant>

BusClient::BusClient()
    : m_connection(QDBusConnection::sessionBus()) {
    Bus::registerTypes();
}

BusClient::Outcome BusClient::call(const QString& method, const QVariantList& arguments) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(Bus::serviceName(), Bus::objectPath(), Bus::interfaceName(), method);
    message.setArguments(arguments);
    return send(std::move(message));
}

std::optional<BusClient::Status> BusClient::status() {
    QDBusMessage get = QDBusMessage::createMethodCall(Bus::serviceName(), Bus::objectPath(),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << Bus::interfaceName() << QStringLiteral("StatusLines");
    if (send(std::move(get)) != Outcome::answered) {
        return std::nullopt;
    }
    Status status;
    status.lines = m_arguments.value(0).value<QDBusVariant>().variant().toStringList();
    if (call(QStringLiteral("Activity")) != Outcome::answered) {
        return std::nullopt;
    }
    status.activity = qdbus_cast<QList<Bus::ActivityEntry>>(m_arguments.value(0));
    return status;
}

BusClient::Outcome BusClient::send(QDBusMessage message) {
    m_arguments.clear();
    m_error.clear();
    if (!m_connection.isConnected()) {
        return m_outcome = Outcome::noBus;
    }
    // Asking must never start a Tonewharf of its own through bus activation.
    message.setAutoStartService(false);
    const QDBusMessage reply = m_connection.call(message, QDBus::Block, int(patience.count()));
    if (reply.type() == QDBusMessage::ReplyMessage) {
        m_arguments = reply.arguments();
        return m_outcome = Outcome::answered;
    }
    const QString name = reply.errorName();
    if (name == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        return m_outcome = Outcome::notRunning;
    }
    m_error = reply.errorMessage().isEmpty() ? name : reply.errorMessage();
    return m_outcome = Outcome::failed;
}
