#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>
#include <QUuid>

#include <chrono>
#include <deque>
#include <functional>
#include <utility>

// Parked GET /v1/inbox requests, by connection: each waits for the inbox to change or for its
// timeout, whichever comes first, and is handed back once. Every request has the same timeout, so
// the one parked first is always the next to expire.
class ParkedRequests : public QObject {
public:
    ParkedRequests(std::chrono::milliseconds timeout, QObject* parent);

    // The connections whose timeout has passed, no longer parked.
    std::function<void(QList<quint64>)> onTimeout;

    void park(const QList<quint64>& connections);
    // Every parked connection, no longer parked.
    QList<quint64> takeAll();
    // Forgets every parked connection without handing any back.
    void clear();

private:
    void expire();

    const qint64 m_timeout;
    QElapsedTimer m_clock;
    QHash<QUuid, quint64> m_parked;
    std::deque<std::pair<qint64, QUuid>> m_deadlines; // in the order they were parked
    QTimer m_timer{this};
};
