#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>
#include <set>
#include <utility>

// When each connection is next due, on one timer for all of them. A connection keeps its entry (the
// moment it is queued at) itself. An entry only ever moves earlier, so that a deadline pushed later
// on every read costs nothing: an entry that comes due before its connection's deadline is simply
// queued again by the owner.
class DeadlineQueue : public QObject {
public:
    // `due(connection, now)` for every entry that came due, in order; the entry has left the queue by
    // then, and the owner clears its own.
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
