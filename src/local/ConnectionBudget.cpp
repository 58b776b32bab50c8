#include "local/ConnectionBudget.h"

#include "platform/Descriptors.h"

#include <algorithm>

namespace {

// The server's connections and files never take more descriptors than this, however high the
// process's limit.
constexpr qint64 descriptorCap = 16384;
// Connections still reading their request, at most. Each is watched by the event loop, whose every
// turn and every change of what it watches costs a pass over all of them; a parked request is not
// watched, so 10,000 of them cost nothing there.
constexpr qint64 readingCap = 1024;

qint64 descriptorBudget(qint64 limit) {
    return std::clamp<qint64>(limit - std::max<qint64>(256, limit / 4), 1, descriptorCap);
}

} // namespace

ConnectionBudget::ConnectionBudget(qint64 maxDescriptors, qint64 maxHeldBytes, std::atomic<qint64>& held,
                                   std::atomic<qint64>& peakHeld)
    : m_maxDescriptors(maxDescriptors)
    , m_maxHeld(maxHeldBytes)
    , m_published(held)
    , m_peakPublished(peakHeld) {}

void ConnectionBudget::measureDescriptors() {
    m_descriptors = m_maxDescriptors > 0 ? m_maxDescriptors : descriptorBudget(Descriptors::limit());
}

bool ConnectionBudget::full() const {
    return m_reading >= readingCap || m_descriptorsInUse >= m_descriptors;
}

void ConnectionBudget::connectionOpened() {
    ++m_descriptorsInUse;
    ++m_reading;
}

void ConnectionBudget::fileOpened() {
    ++m_descriptorsInUse;
}

void ConnectionBudget::readingEnded(quint64 connection) {
    --m_reading;
    onRoom();
    if (m_pastTheBound == connection) {
        m_pastTheBound = 0;
        letOneWaiterPast();
    }
}

void ConnectionBudget::connectionClosed(quint64 connection, Share& share, bool wasReading, bool hadFile) {
    m_descriptorsInUse -= hadFile ? 2 : 1;
    if (wasReading) {
        --m_reading;
    }
    if (share.waiting) {
        m_waiters.erase(connection);
        m_heldByWaiters -= share.bytes;
        share.waiting = false;
    }
    if (m_pastTheBound == connection) {
        m_pastTheBound = 0;
    }
    charge(share, 0);
    letOneWaiterPast();
    onRoom();
}

void ConnectionBudget::charge(Share& share, qint64 bytes) {
    const qint64 change = bytes - share.bytes;
    if (change == 0) {
        return;
    }
    share.bytes = bytes;
    m_held += change;
    if (share.waiting) {
        m_heldByWaiters += change;
    }
    m_published.store(m_held, std::memory_order_relaxed);
    if (m_held > m_peakPublished.load(std::memory_order_relaxed)) {
        m_peakPublished.store(m_held, std::memory_order_relaxed);
    }
    if (change < 0) {
        if (m_held < m_maxHeld) {
            while (!m_waiters.empty()) {
                resume(m_waiters.begin());
            }
        } else {
            letOneWaiterPast();
        }
    }
}

void ConnectionBudget::waitForRelease(quint64 connection, Share& share) {
    share.waiting = true;
    m_waiters.emplace(connection, &share);
    m_heldByWaiters += share.bytes;
    letOneWaiterPast();
}

void ConnectionBudget::resume(std::map<quint64, Share*>::iterator waiter) {
    const quint64 connection = waiter->first;
    Share& share = *waiter->second;
    m_waiters.erase(waiter);
    m_heldByWaiters -= share.bytes;
    share.waiting = false;
    onResume(connection);
}

void ConnectionBudget::letOneWaiterPast() {
    if (m_pastTheBound == 0 && !m_waiters.empty() && m_held >= m_maxHeld && m_heldByWaiters == m_held) {
        m_pastTheBound = m_waiters.begin()->first;
        resume(m_waiters.begin());
    }
}
