#include "platform/linux/AvahiServiceAdvertiser.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>
#include <avahi-common/watch.h>

#include <net/if.h>
#include <sys/time.h>

#include <algorithm>
#include <optional>

// The Avahi main-loop abstraction over the Qt event loop of the thread these objects are created on:
// a watch is up to two socket notifiers, a timeout a single-shot timer. Avahi may free a watch or a
// timeout from inside its own callback, so freeing is deferred until the callback has returned.
struct AvahiWatch {
    QObject* owner = nullptr;
    int fd = -1;
    AvahiWatchCallback callback = nullptr;
    void* userdata = nullptr;
    QSocketNotifier* readNotifier = nullptr;
    QSocketNotifier* writeNotifier = nullptr;
    AvahiWatchEvent lastEvent = AvahiWatchEvent(0);
    bool dispatching = false;
    bool freed = false;
};

struct AvahiTimeout {
    QTimer* timer = nullptr;
    AvahiTimeoutCallback callback = nullptr;
    void* userdata = nullptr;
    bool dispatching = false;
    bool freed = false;
};

namespace {

// The notifiers and timers are children of this object, so whatever Avahi has not freed goes with it.
class QtAvahiPoll {
public:
    explicit QtAvahiPoll(QObject* owner)
        : m_owner(owner) {
        m_api.userdata = this;
        m_api.watch_new = &QtAvahiPoll::watchNew;
        m_api.watch_update = &QtAvahiPoll::watchUpdate;
        m_api.watch_get_events = &QtAvahiPoll::watchGetEvents;
        m_api.watch_free = &QtAvahiPoll::watchFree;
        m_api.timeout_new = &QtAvahiPoll::timeoutNew;
        m_api.timeout_update = &QtAvahiPoll::timeoutUpdate;
        m_api.timeout_free = &QtAvahiPoll::timeoutFree;
    }

    const AvahiPoll* api() const { return &m_api; }

private:
    static QtAvahiPoll* self(const AvahiPoll* api) { return static_cast<QtAvahiPoll*>(api->userdata); }

    static AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent events,
                                AvahiWatchCallback callback, void* userdata) {
        auto* watch = new AvahiWatch;
        watch->fd = fd;
        watch->callback = callback;
        watch->userdata = userdata;
        watch->owner = self(api)->m_owner;
        watchUpdate(watch, events);
        return watch;
    }

    static void dispatch(AvahiWatch* watch, AvahiWatchEvent event) {
        if (watch->freed) {
            return;
        }
        watch->dispatching = true;
        watch->lastEvent = event;
        watch->callback(watch, watch->fd, event, watch->userdata);
        watch->dispatching = false;
        watch->lastEvent = AvahiWatchEvent(0);
        if (watch->freed) {
            destroy(watch);
        }
    }

    // D-Bus keeps separate watches for reading and writing the same socket, and Qt allows one notifier
    // of each kind per socket: a notifier is made only for an event that is asked for.
    static void enable(AvahiWatch* watch, QSocketNotifier*& notifier, QSocketNotifier::Type type,
                       AvahiWatchEvent event, bool enabled) {
        if (notifier == nullptr) {
            if (!enabled) {
                return;
            }
            notifier = new QSocketNotifier(watch->fd, type, watch->owner);
            QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                             [watch, event] { dispatch(watch, event); });
        }
        notifier->setEnabled(enabled);
    }

    // A hang-up or an error wakes the read notifier; Avahi's D-Bus glue learns of it by reading.
    static void watchUpdate(AvahiWatch* watch, AvahiWatchEvent events) {
        enable(watch, watch->readNotifier, QSocketNotifier::Read, AVAHI_WATCH_IN,
               (events & AVAHI_WATCH_IN) != 0);
        enable(watch, watch->writeNotifier, QSocketNotifier::Write, AVAHI_WATCH_OUT,
               (events & AVAHI_WATCH_OUT) != 0);
    }

    static AvahiWatchEvent watchGetEvents(AvahiWatch* watch) { return watch->lastEvent; }

    static void watchFree(AvahiWatch* watch) {
        for (QSocketNotifier* notifier : {watch->readNotifier, watch->writeNotifier}) {
            if (notifier != nullptr) {
                notifier->setEnabled(false);
            }
        }
        watch->freed = true;
        if (!watch->dispatching) {
            destroy(watch);
        }
    }

    static void destroy(AvahiWatch* watch) {
        // deleteLater: the notifier may be the one whose signal is being delivered right now.
        for (QSocketNotifier* notifier : {watch->readNotifier, watch->writeNotifier}) {
            if (notifier != nullptr) {
                notifier->disconnect();
                notifier->deleteLater();
            }
        }
        delete watch;
    }

    static AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv,
                                    AvahiTimeoutCallback callback, void* userdata) {
        auto* timeout = new AvahiTimeout;
        timeout->callback = callback;
        timeout->userdata = userdata;
        timeout->timer = new QTimer(self(api)->m_owner);
        timeout->timer->setSingleShot(true);
        QObject::connect(timeout->timer, &QTimer::timeout, timeout->timer, [timeout] { fire(timeout); });
        timeoutUpdate(timeout, tv);
        return timeout;
    }

    static void fire(AvahiTimeout* timeout) {
        if (timeout->freed) {
            return;
        }
        timeout->dispatching = true;
        timeout->callback(timeout, timeout->userdata);
        timeout->dispatching = false;
        if (timeout->freed) {
            destroy(timeout);
        }
    }

    // Avahi gives absolute wall-clock times (gettimeofday); a time already past fires at once.
    static void timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv) {
        if (tv == nullptr) {
            timeout->timer->stop();
            return;
        }
        struct timeval now {};
        gettimeofday(&now, nullptr);
        const qint64 micros = (qint64(tv->tv_sec) - qint64(now.tv_sec)) * 1'000'000 +
                              (qint64(tv->tv_usec) - qint64(now.tv_usec));
        timeout->timer->start(int(std::clamp<qint64>((micros + 999) / 1000, 0, 24 * 3600 * 1000)));
    }

    static void timeoutFree(AvahiTimeout* timeout) {
        timeout->timer->stop();
        timeout->freed = true;
        if (!timeout->dispatching) {
            destroy(timeout);
        }
    }

    static void destroy(AvahiTimeout* timeout) {
        timeout->timer->disconnect();
        timeout->timer->deleteLater();
        delete timeout;
    }

    QObject* m_owner;
    AvahiPoll m_api{};
};

struct StringListDeleter {
    void operator()(AvahiStringList* list) const { avahi_string_list_free(list); }
};

// A DNS label holds at most 63 bytes; a longer computer name is cut at a character boundary rather than
// refused by the daemon (which would leave the service unadvertised).
QByteArray instanceLabel(const QString& name) {
    constexpr qsizetype maxBytes = 63;
    QByteArray utf8 = name.toUtf8();
    if (utf8.size() <= maxBytes) {
        return utf8;
    }
    qsizetype cut = maxBytes;
    while (cut > 0 && (uchar(utf8.at(cut)) & 0xC0) == 0x80) {
        --cut;
    }
    utf8.truncate(cut);
    return utf8;
}

bool sameService(const ServiceAdvertiser::Service& a, const ServiceAdvertiser::Service& b) {
    return a.name == b.name && a.type == b.type && a.port == b.port && a.txt == b.txt;
}

} // namespace

// Owns the Avahi client and its one entry group; lives on the advertiser's thread.
class AvahiRegistration : public QObject {
public:
    using State = AvahiServiceAdvertiser::State;

    AvahiRegistration(AvahiServiceAdvertiser* owner, QString interfaceName,
                      std::chrono::milliseconds busRetryInterval)
        : m_owner(owner)
        , m_interfaceName(std::move(interfaceName))
        , m_pollHost(new QObject(this))
        , m_poll(m_pollHost)
        , m_busRetry(new QTimer(this)) {
        m_busRetry->setSingleShot(true);
        m_busRetry->setInterval(busRetryInterval);
        connect(m_busRetry, &QTimer::timeout, this, [this] {
            if (m_wanted && m_client == nullptr) {
                connectClient();
            }
        });
    }

    ~AvahiRegistration() override { dropClient(); }

    void advertise(const ServiceAdvertiser::Service& service) {
        if (m_wanted && sameService(*m_wanted, service) &&
            (m_reported == State::Registering || m_reported == State::Advertised)) {
            return;
        }
        // A renamed instance keeps its new name while only the port or the TXT record change.
        if (!m_wanted || m_wanted->name != service.name) {
            m_name = instanceLabel(service.name);
        }
        m_wanted = service;
        if (m_client == nullptr) {
            connectClient();
            return;
        }
        switch (avahi_client_get_state(m_client)) {
        case AVAHI_CLIENT_S_RUNNING:
            registerService(m_client);
            break;
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            report(State::Registering); // registered once the daemon runs
            break;
        case AVAHI_CLIENT_CONNECTING:
        case AVAHI_CLIENT_FAILURE:
            report(State::Unavailable);
            break;
        }
    }

    void withdraw() {
        m_wanted.reset();
        m_name.clear();
        if (m_group != nullptr) {
            // Freeing the group takes its records off the network (Avahi sends the goodbyes).
            avahi_entry_group_free(m_group);
            m_group = nullptr;
        }
        report(State::Idle);
    }

private:
    void connectClient() {
        int error = 0;
        // NO_FAIL: without a daemon the client waits for one to appear on the bus.
        AvahiClient* client = avahi_client_new(m_poll.api(), AVAHI_CLIENT_NO_FAIL,
                                               &AvahiRegistration::onClientState, this, &error);
        if (client == nullptr) {
            // No system bus at all: nothing to wait on, so ask again later.
            report(State::Unavailable);
            m_busRetry->start();
            return;
        }
        m_client = client;
    }

    void dropClient() {
        if (m_client != nullptr) {
            avahi_client_free(m_client); // frees the entry group too
        }
        m_client = nullptr;
        m_group = nullptr;
    }

    static void onClientState(AvahiClient* client, AvahiClientState state, void* userdata) {
        auto* self = static_cast<AvahiRegistration*>(userdata);
        // The first call comes from inside avahi_client_new, before it has returned the client.
        self->m_client = client;
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            if (self->m_wanted) {
                self->registerService(client);
            }
            break;
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            // The daemon is (re)establishing the host name; our records wait until it is running again.
            if (self->m_group != nullptr) {
                avahi_entry_group_reset(self->m_group);
            }
            if (self->m_wanted) {
                self->report(State::Registering);
            }
            break;
        case AVAHI_CLIENT_CONNECTING:
            if (self->m_wanted) {
                self->report(State::Unavailable);
            }
            break;
        case AVAHI_CLIENT_FAILURE:
            // The daemon went away (or the bus did). The client cannot be freed inside its own callback:
            // start afresh once it has returned; a daemon that comes back is then picked up.
            if (self->m_wanted) {
                self->report(State::Unavailable);
            }
            QMetaObject::invokeMethod(
                self,
                [self, client] {
                    if (self->m_client != client) {
                        return;
                    }
                    self->dropClient();
                    if (self->m_wanted) {
                        self->connectClient();
                    }
                },
                Qt::QueuedConnection);
            break;
        }
    }

    static void onGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        auto* self = static_cast<AvahiRegistration*>(userdata);
        // As with the client, the first call comes from inside avahi_entry_group_new.
        self->m_group = group;
        switch (state) {
        case AVAHI_ENTRY_GROUP_ESTABLISHED:
            self->report(State::Advertised, QString::fromUtf8(self->m_name));
            break;
        case AVAHI_ENTRY_GROUP_COLLISION:
            // Someone on the network has this name: take Avahi's alternative and register again, in the
            // same group (a new group would defeat mDNS's traffic limiting).
            self->takeAlternativeName();
            self->registerService(avahi_entry_group_get_client(group));
            break;
        case AVAHI_ENTRY_GROUP_FAILURE:
            self->report(State::Failed);
            break;
        case AVAHI_ENTRY_GROUP_UNCOMMITED:
        case AVAHI_ENTRY_GROUP_REGISTERING:
            break;
        }
    }

    void takeAlternativeName() {
        char* alternative = avahi_alternative_service_name(m_name.constData());
        m_name = QByteArray(alternative);
        avahi_free(alternative);
    }

    // Registers m_wanted under m_name in the one entry group, emptied first. A new port cannot be
    // updated in place (the daemon's service call does not carry AVAHI_PUBLISH_UPDATE through to the
    // SRV record), so it is registered anew under the same name.
    void registerService(AvahiClient* client) {
        if (!m_wanted) {
            return;
        }
        AvahiIfIndex interfaceIndex = AVAHI_IF_UNSPEC;
        if (!m_interfaceName.isEmpty()) {
            const unsigned index = if_nametoindex(m_interfaceName.toLocal8Bit().constData());
            if (index == 0) {
                report(State::Failed);
                return;
            }
            interfaceIndex = AvahiIfIndex(index);
        }
        if (m_group == nullptr) {
            if (avahi_entry_group_new(client, &AvahiRegistration::onGroupState, this) == nullptr) {
                m_group = nullptr;
                report(State::Failed);
                return;
            }
        }

        std::unique_ptr<AvahiStringList, StringListDeleter> txt;
        for (auto it = m_wanted->txt.crbegin(); it != m_wanted->txt.crend(); ++it) {
            txt.reset(avahi_string_list_add_pair_arbitrary(
                txt.release(), it->first.constData(),
                reinterpret_cast<const uint8_t*>(it->second.constData()), size_t(it->second.size())));
        }
        const QByteArray type = m_wanted->type.toUtf8();

        avahi_entry_group_reset(m_group);
        // A name already taken by a service of this computer is refused at once, before any probing.
        constexpr int maxLocalRenames = 100;
        int result = AVAHI_ERR_COLLISION;
        for (int attempt = 0; attempt < maxLocalRenames && result == AVAHI_ERR_COLLISION; ++attempt) {
            result = avahi_entry_group_add_service_strlst(
                m_group, interfaceIndex, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), m_name.constData(),
                type.constData(), nullptr, nullptr, m_wanted->port, txt.get());
            if (result == AVAHI_ERR_COLLISION) {
                takeAlternativeName();
            }
        }
        if (result != AVAHI_OK || avahi_entry_group_commit(m_group) != AVAHI_OK) {
            avahi_entry_group_reset(m_group);
            report(State::Failed);
            return;
        }
        report(State::Registering);
    }

    void report(State state, const QString& registeredName = {}) {
        m_reported = state;
        QMetaObject::invokeMethod(m_owner, [owner = QPointer(m_owner), state, registeredName] {
            if (owner) {
                owner->publishState(state, registeredName);
            }
        });
    }

    AvahiServiceAdvertiser* m_owner; // outlives this object: its destructor waits for this thread
    QString m_interfaceName;
    QObject* m_pollHost;
    QtAvahiPoll m_poll;
    QTimer* m_busRetry;
    AvahiClient* m_client = nullptr;
    AvahiEntryGroup* m_group = nullptr;
    std::optional<ServiceAdvertiser::Service> m_wanted;
    QByteArray m_name; // the instance name being registered, after any renames
    State m_reported = State::Idle;
};

AvahiServiceAdvertiser::AvahiServiceAdvertiser(QObject* parent)
    : AvahiServiceAdvertiser(Options{}, parent) {}

AvahiServiceAdvertiser::AvahiServiceAdvertiser(Options options, QObject* parent)
    : ServiceAdvertiser(parent)
    , m_thread(std::make_unique<QThread>()) {
    m_thread->setObjectName(QStringLiteral("avahi"));
    m_registration = new AvahiRegistration(this, options.interfaceName, options.busRetryInterval);
    m_registration->moveToThread(m_thread.get());
    m_thread->start();
}

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() {
    // The registration goes first, on its own thread (its records leave the network with the client);
    // then that thread ends.
    QMetaObject::invokeMethod(m_registration, [registration = m_registration] {
        delete registration;
        QThread::currentThread()->quit();
    });
    m_thread->wait();
}

void AvahiServiceAdvertiser::advertise(const Service& service) {
    QMetaObject::invokeMethod(m_registration,
                              [registration = m_registration, service] { registration->advertise(service); });
}

void AvahiServiceAdvertiser::withdraw() {
    QMetaObject::invokeMethod(m_registration, [registration = m_registration] { registration->withdraw(); });
}

void AvahiServiceAdvertiser::publishState(State state, const QString& registeredName) {
    const bool stateChanges = m_state != state;
    const bool nameChanges = m_registeredName != registeredName;
    m_state = state;
    m_registeredName = registeredName;
    if (stateChanges) {
        emit stateChanged(state);
    }
    if (nameChanges) {
        emit registeredNameChanged(registeredName);
    }
}
