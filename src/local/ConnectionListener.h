#pragma once

#include "platform/ServiceAdvertiser.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class ConnectionBudget;

// The listening socket, advertised while it listens, and the taking of its connections within the
// budget: at the budget a waiting connection is taken only once room is made for it, and when the
// system has no descriptor or memory for one the listener rests instead of trying again at once.
class ConnectionListener : public QObject {
public:
    // What became of a request for room at the budget.
    struct Room {
        bool made = false;
        // When none was made: how long the listener rests; none: until resume().
        std::optional<qint64> restMs;
    };

    // `service` is advertised with the port listened on; `advertiser` may be null.
    ConnectionListener(QHostAddress address, ServiceAdvertiser* advertiser,
                       ServiceAdvertiser::Service service, ConnectionBudget& budget, QObject* parent);
    ~ConnectionListener() override;

    // Set once before the first start.
    std::function<void(int descriptor)> onAccepted;
    std::function<Room()> makeRoom;
    // Listening on a port, or (none) failed with no port left to try.
    std::function<void(std::optional<quint16>)> onPortChange;

    bool isListening() const { return m_descriptor >= 0; }
    // Listens on `port`, falling back once to a port of the system's choosing.
    void start(quint16 port);
    // Stops listening and withdraws the advertisement; reports nothing.
    void close();
    // Ends a rest.
    void resume();

private:
    void listen(quint16 port);
    void acceptPending();
    void rest(std::optional<qint64> delayMs);
    void failed();

    const QHostAddress m_address;
    const QPointer<ServiceAdvertiser> m_advertiser;
    const ServiceAdvertiser::Service m_service;
    ConnectionBudget& m_budget;

    int m_descriptor = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_restTimer{this};
    bool m_triedAnyPort = false;
};
