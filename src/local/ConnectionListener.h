#pragma once

#include "local/ConnectionBudget.h"
#include "platform/ServiceAdvertiser.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

// The listening socket, advertised while it listens, and the taking of its connections within the
// budget: at the budget a waiting connection is taken only once room is made for it, and when the
// system has no descriptor or memory for one the listener rests instead of trying again at once.
class ConnectionListener : public QObject {
public:
    // `service` is advertised with the port listened on; `advertiser` may be null.
    ConnectionListener(QHostAddress address, ServiceAdvertiser* advertiser,
                       ServiceAdvertiser::Service service, ConnectionBudget& budget, QObject* parent);
    ~ConnectionListener() override;

    // Set once before the first start.
    std::function<void(int descriptor)> onAccepted;
    std::function<ConnectionBudget::Room()> askForRoom;
    // Listening on a port, or (none) failed with no port left to try.
    std::function<void(std::optional<quint16>)> onPortChange;

    bool isListening() const { return m_descriptor >= 0; }
    // Listens on `port`, falling back once to a port of the system's choosing.
    void start(quint16 port);
    // Stops listening and withdraws the advertisement; reports nothing.
    void stopListening();
    // Ends a rest.
    void resume();

private:
    void listen(quint16 port);
    void acceptPending();
    void rest(std::optional<qint64> delayMs);
    void giveUp();

    const QHostAddress m_address;
    const QPointer<ServiceAdvertiser> m_advertiser;
    const ServiceAdvertiser::Service m_service;
    ConnectionBudget& m_budget;

    int m_descriptor = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_restTimer{this};
    bool m_triedAnyPort = false;
};
