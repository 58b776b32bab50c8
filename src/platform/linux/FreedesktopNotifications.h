#pragma once

#include "platform/Notifications.h"

#include <QDBusConnection>
#include <QList>
#include <QObject>

#include <optional>
#include <utility>

// Notifications through the desktop's notification service, org.freedesktop.Notifications on the
// session bus. Nothing waits for the service: every call is sent and left to answer.
class FreedesktopNotifications final : public QObject, public Notifications {
    Q_OBJECT

public:
    // The program's name and its icon in the icon theme, shown with every notification.
    static inline const QString applicationName = QStringLiteral("Tonewharf");
    static inline const QString applicationId = QStringLiteral("com.quillfen.Tonewharf");

    explicit FreedesktopNotifications(QDBusConnection bus = QDBusConnection::sessionBus(),
                                      QObject* parent = nullptr);

    void show(const QString& summary, const QString& body) override;

private:
    void notify(const QString& summary, const QString& body);

    QDBusConnection m_bus;
    // Whether the service reads the body as markup, once it has said so.
    std::optional<bool> m_markup;
    QList<std::pair<QString, QString>> m_waiting; // until it has
};
