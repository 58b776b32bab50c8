#include "local/ParkedRequests.h"

#include <algorithm>

ParkedRequests::ParkedRequests(std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent)
    , m_timeout(timeout.count()) {
    m_clock.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::CoarseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, this, [this] { expire(); });
}

void ParkedRequests::park(const QList<quint64>& connections) {
    const qint64 deadline = m_clock.elapsed() + m_timeout;
    for (const quint64 connection : connections) {
        const QUuid id = QUuid::createUuid();
        m_parked.insert(id, connection);
        m_deadlines.emplace_back(deadline, id);
    }
    if (!m_timer.isActive() && !m_deadlines.empty()) {
        m_timer.start(std::max<qint64>(0, m_deadlines.front().first - m_clock.elapsed()));
    }
}

QList<quint64> ParkedRequests::takeAll() {
    if (m_parked.isEmpty()) {
        return {};
    }
    QList<quint64> connections;
    connections.reserve(m_parked.size());
    for (const quint64 connection : std::as_const(m_parked)) {
        connections.append(connection);
    }
    clear();
    return connections;
}

void ParkedRequests::clear() {
    m_parked.clear();
    m_deadlines.clear();
    m_timer.stop();
}

void ParkedRequests::expire() {
    const qint64 now = m_clock.elapsed();
    QList<quint64> connections;
    while (!m_deadlines.empty() && m_deadlines.front().first <= now) {
        const auto taken = m_parked.find(m_deadlines.front().second);
        if (taken != m_parked.end()) {
            connections.append(*taken);
            m_parked.erase(taken);
        }
        m_deadlines.pop_front();
    }
    if (!m_deadlines.empty()) {
        m_timer.start(std::max<qint64>(0, m_deadlines.front().first - now));
    }
    if (!connections.isEmpty()) {
        onTimeout(std::move(connections));
    }
}
