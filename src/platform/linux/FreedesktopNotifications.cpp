#include "platform/linux/FreedesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(service, path, service, method);
}

} // namespace

FreedesktopNotifications::FreedesktopNotifications(QDBusConnection bus, QObject* parent)
    : QObject(parent)
    , m_bus(std::move(bus)) {}

void FreedesktopNotifications::show(const QString& summary, const QString& body) {
    if (m_markup) {
        notify(summary, body);
        return;
    }
    m_waiting.append({summary, body});
    if (m_waiting.size() > 1) {
        return; // the service has been asked already
    }
    // A service that takes markup would read "Day & Night" as a broken tag; one that does not
    // would show "&amp;". So the service is asked first which it is.
    auto* watcher =
        new QDBusPendingCallWatcher(m_bus.asyncCall(call(QStringLiteral("GetCapabilities"))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QStringList> capabilities = *watcher;
        const auto waiting = std::exchange(m_waiting, {});
        // No service: what waited is dropped, and the next notification asks again.
        if (capabilities.isError()) {
            return;
        }
        m_markup = capabilities.value().contains(QStringLiteral("body-markup"));
        for (const auto& [summary, body] : waiting) {
            notify(summary, body);
        }
    });
}

void FreedesktopNotifications::notify(const QString& summary, const QString& body) {
    QDBusMessage message = call(QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), applicationId}};
    // The summary is plain text by the protocol; only the body may be read as markup.
    message << applicationName << uint(0) << applicationId << summary
            << (*m_markup ? body.toHtmlEscaped() : body) << QStringList() << hints << int(-1);
    m_bus.asyncCall(message);
}
