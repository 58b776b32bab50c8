#include "local/DeadlineQueue.h"

#include <algorithm>

DeadlineQueue::DeadlineQueue(const QElapsedTimer& clock, std::function<void(quint64, qint64)> due,
                             QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_due(std::move(due)) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::CoarseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { expire(); });
}

void DeadlineQueue::schedule(std::optional<qint64>& entry, quint64 connection, qint64 at) {
    if (entry && *entry <= at) {
        return;
    }
    if (entry) {
        m_entries.erase({*entry, connection});
    }
    entry = at;
    m_entries.emplace(at, connection);
    arm();
}

void DeadlineQueue::cancel(std::optional<qint64>& entry, quint64 connection) {
    if (entry) {
        m_entries.erase({*std::exchange(entry, std::nullopt), connection});
    }
}

void DeadlineQueue::clear() {
    m_entries.clear();
    m_timer.stop();
}

void DeadlineQueue::arm() {
    if (m_entries.empty()) {
        m_timer.stop();
        return;
    }
    const qint64 due = std::max<qint64>(0, m_entries.begin()->first - m_clock.elapsed());
    if (!m_timer.isActive() || m_timer.remainingTime() > due) {
        m_timer.start(int(due));
    }
}

void DeadlineQueue::expire() {
    const qint64 now = m_clock.elapsed();
    while (!m_entries.empty() && m_entries.begin()->first <= now) {
        const quint64 connection = m_entries.begin()->second;
        m_entries.erase(m_entries.begin());
        m_due(connection, now);
    }
    arm();
}
