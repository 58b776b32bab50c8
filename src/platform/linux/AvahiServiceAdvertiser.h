#pragma once

#include "platform/ServiceAdvertiser.h"

#include <chrono>
#include <memory>

class QThread;
class AvahiRegistration;

// DNS-SD registration through the Avahi daemon's own client API (over the system D-Bus).
//
// The Avahi client library waits for the daemon's reply to every call it makes, so all Avahi work runs
// on a thread of the advertiser's own, driven by a Qt event loop: a slow or hung daemon never stalls the
// thread that calls advertise or withdraw. Those two only post the request to that thread and return, so
// they may be called from any thread; requests from one thread are carried out in the order made.
//
// Without a system bus or an Avahi daemon nothing is advertised and nothing is printed. A daemon that
// starts (or restarts) later is picked up and the wanted service registered with it; a missing system bus
// is asked for again every busRetryInterval. A name already taken on the network is replaced by Avahi's
// alternative ("Name #2", "Name #3", ...) and registered again.
class AvahiServiceAdvertiser final : public ServiceAdvertiser {
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY stateChanged)
    Q_PROPERTY(QString registeredName READ registeredName NOTIFY registeredNameChanged)

public:
    enum class State {
        Idle,        // nothing to advertise
        Unavailable, // wanted, but there is no Avahi daemon (or no system bus) to register with
        Registering, // handed to the daemon, which is checking the name on the network
        Advertised,  // established under registeredName
        Failed,      // the daemon refused the service; the next advertise tries again
    };
    Q_ENUM(State)

    static constexpr std::chrono::milliseconds defaultBusRetryInterval{10'000};

    struct Options {
        // The network interface to advertise on, such as "lo"; empty means every interface the daemon uses.
        QString interfaceName;
        std::chrono::milliseconds busRetryInterval = defaultBusRetryInterval;
    };

    explicit AvahiServiceAdvertiser(QObject* parent = nullptr);
    explicit AvahiServiceAdvertiser(Options options, QObject* parent = nullptr);
    ~AvahiServiceAdvertiser() override;

    void advertise(const Service& service) override;
    void withdraw() override;

    State state() const { return m_state; }
    // The instance name the network sees while Advertised (after any rename); empty otherwise.
    QString registeredName() const { return m_registeredName; }

signals:
    void stateChanged(AvahiServiceAdvertiser::State state);
    void registeredNameChanged(const QString& name);

private:
    friend class AvahiRegistration;
    void publishState(State state, const QString& registeredName);

    std::unique_ptr<QThread> m_thread;
    AvahiRegistration* m_registration = nullptr; // lives on m_thread; deleted there
    State m_state = State::Idle;
    QString m_registeredName;
};
