#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>
#include <set>
#include <utility>

// When each connection is next due, on one timer for all of them. Each connection keeps its own
// entry (the moment it is queued at); an entry is moved only to come due earlier, so that a deadline
// pushed later on every read costs nothing: the owner puts an entry that came due early back.
class DeadlineQueue : public QObject {
public:
    // `due(connection, now)` for every entry that came due, taken out of the queue, in order.
    DeadlineQueue(const QElapsedTimer& clock, std::function<void(quint64, qint64)> due, QObject* parent);

    // Queues the connection at `at` unless its entry already comes due no later.
    void schedule(std::optional<qint64>& entry, quint64 connection, qint64 at);
    void cancel(std::optional<qint64>& entry, quint64 connection);
    void clear();

private:
    void arm();
    void expire();

    const QElapsedTimer& m_clock;
    const std::function<void(quint64, qint64)> m_due;
    std::set<std::pair<qint64, quint64>> m_entries;
    QTimer m_timer{this};
};
