#include "support/AvahiBrowse.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QRandomGenerator>
#include <QWaitCondition>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <net/if.h>

namespace AvahiBrowse {

namespace {

// One browser for the whole test process, which the daemon keeps up to date as instances come and
// go: a check reads what is known at once instead of asking the network and waiting out its silence.
class Browser {
public:
    Browser()
        : m_poll(avahi_threaded_poll_new()) {
        int error = 0;
        m_client =
            avahi_client_new(avahi_threaded_poll_get(m_poll), AvahiClientFlags(0), nullptr, nullptr, &error);
        if (m_client != nullptr &&
            avahi_service_browser_new(m_client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                      serviceType.toUtf8().constData(), nullptr, AvahiLookupFlags(0),
                                      &Browser::onBrowse, this) != nullptr) {
            m_ok = avahi_threaded_poll_start(m_poll) == 0;
        }
    }

    ~Browser() {
        avahi_threaded_poll_stop(m_poll);
        if (m_client != nullptr) {
            avahi_client_free(m_client);
        }
        avahi_threaded_poll_free(m_poll);
    }

    // What the daemon has told so far, once it has told everything it knew when the browser began.
    std::optional<QList<Browsed>> found() {
        QMutexLocker lock(&m_mutex);
        const QDeadlineTimer deadline(5'000);
        while (m_ok && !m_caughtUp && m_changed.wait(&m_mutex, deadline)) {
        }
        return m_ok && m_caughtUp ? std::optional(m_resolved.values()) : std::nullopt;
    }

private:
    // An instance is told apart by where it was seen and its name.
    static QString key(AvahiIfIndex interface, AvahiProtocol protocol, const char* name) {
        return QStringLiteral("%1/%2/%3").arg(interface).arg(protocol).arg(QString::fromUtf8(name));
    }

    // Callbacks all come on the poll's thread, one at a time; the lock is for the readers.
    static void onBrowse(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                         AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                         AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<Browser*>(userdata);
        const QString where = key(interface, protocol, name);
        if (event == AVAHI_BROWSER_NEW || event == AVAHI_BROWSER_REMOVE) {
            if (AvahiServiceResolver* old = self->m_resolvers.take(where)) {
                avahi_service_resolver_free(old);
            }
            QMutexLocker lock(&self->m_mutex);
            self->m_resolved.remove(where);
        }
        if (event == AVAHI_BROWSER_NEW) {
            // The resolver stays and reports again when the port or the TXT record change.
            self->m_resolvers.insert(
                where, avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface,
                                                  protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                                                  AvahiLookupFlags(0), &Browser::onResolve, self));
        }
        QMutexLocker lock(&self->m_mutex);
        if (event == AVAHI_BROWSER_ALL_FOR_NOW || event == AVAHI_BROWSER_CACHE_EXHAUSTED) {
            self->m_caughtUp = true;
        } else if (event == AVAHI_BROWSER_FAILURE) {
            self->m_ok = false;
        }
        self->m_changed.wakeAll();
    }

    static void onResolve(AvahiServiceResolver*, AvahiIfIndex interface, AvahiProtocol protocol,
                          AvahiResolverEvent event, const char* name, const char*, const char*, const char*,
                          const AvahiAddress*, uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags,
                          void* userdata) {
        auto* self = static_cast<Browser*>(userdata);
        QMutexLocker lock(&self->m_mutex);
        if (event == AVAHI_RESOLVER_FOUND) {
            char interfaceName[IF_NAMESIZE] = {};
            char* text = avahi_string_list_to_string(txt);
            self->m_resolved.insert(key(interface, protocol, name),
                                    {QString::fromUtf8(if_indextoname(unsigned(interface), interfaceName)),
                                     QString::fromUtf8(name), port, QString::fromUtf8(text)});
            avahi_free(text);
        }
        self->m_changed.wakeAll();
    }

    AvahiThreadedPoll* m_poll;
    AvahiClient* m_client = nullptr;
    QMutex m_mutex;
    QWaitCondition m_changed;
    bool m_ok = false;
    bool m_caughtUp = false;
    QHash<QString, AvahiServiceResolver*> m_resolvers; // touched on the poll's thread only
    QHash<QString, Browsed> m_resolved;
};

Browser& browser() {
    static Browser instance;
    return instance;
}

QString readTrimmed(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).trimmed() : QString();
}

} // namespace

std::optional<QList<Browsed>> browse() {
    return loopbackDaemonProblem().isEmpty() ? browser().found() : std::nullopt;
}

QList<Browsed> browseNamed(const QString& name) {
    QList<Browsed> named = browse().value_or(QList<Browsed>{});
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
    if (pid.isEmpty() || !QFile::exists(QStringLiteral("/proc/") + pid)) {
        return QStringLiteral("avahi-daemon is not running; `bash scripts/test.sh` starts it on loopback");
    }
    if (pid != readTrimmed(QStringLiteral("/run/tonewharf-test-avahi.pid"))) {
        return QStringLiteral(
            "the running avahi-daemon is not the loopback-only one of scripts/test-services.sh");
    }
    constexpr uint multicastFlag = 0x1000;
    if ((readTrimmed(QStringLiteral("/sys/class/net/lo/flags")).toUInt(nullptr, 16) & multicastFlag) == 0) {
        return QStringLiteral(
            "the loopback interface lacks the multicast flag (ip link set lo multicast on)");
    }
    if (!browser().found()) {
        return QStringLiteral("avahi-daemon cannot be reached over the system D-Bus");
    }
    return {};
}

QString uniqueName(const QString& base) {
    return base + QStringLiteral(" %1").arg(QRandomGenerator::global()->bounded(100000, 999999));
}

} // namespace AvahiBrowse
