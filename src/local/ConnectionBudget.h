#pragma once

#include <QtGlobal>

#include <atomic>
#include <functional>
#include <map>
#include <optional>

// What the server's connections may take of the process, whatever their peers do: descriptors (the
// connections and the files they send), connections reading at once, and the bytes held for
// unfinished requests, looks on their way to the engine and answers not yet sent.
//
// The held bytes have one bound. A connection that needs more memory past it waits; when only
// waiting connections hold bytes, nothing would ever release any, so the first of them goes on
// alone past the bound, which is thus exceeded by one request at most.
class ConnectionBudget {
public:
    // A request no larger than this (head and body) is read even while the held bytes are at their
    // bound: an iPad's hello, listing or small look is not held up by large bodies that stall.
    static constexpr qint64 smallRequestBytes = 16384;

    // What became of a request for room at the budget.
    struct Room {
        bool made = false;
        // When none was made: how long the listener rests; none: until it is told room was made.
        std::optional<qint64> restMs;
    };

    // One connection's part of the held bytes.
    struct Share {
        qint64 bytes = 0;
        bool waiting = false; // for bytes to be released before the connection is read from again
    };

    // `maxDescriptors` 0: the process's limit when listening starts, less a reserve for the rest of
    // the program. The held bytes are published to `held` and `peakHeld`, which any thread may read.
    ConnectionBudget(qint64 maxDescriptors, qint64 maxHeldBytes, std::atomic<qint64>& held,
                     std::atomic<qint64>& peakHeld);

    // A connection that waited for memory may be read from again.
    std::function<void(quint64 connection)> onResume;
    // A connection closed or finished reading: the listener may take another.
    std::function<void()> onRoom;

    // Fixes the descriptor budget as listening starts.
    void measureDescriptors();
    // Whether a new connection must wait for room.
    bool full() const;

    void connectionOpened();
    void fileOpened();
    // The connection reads nothing more.
    void readingEnded(quint64 connection);
    void connectionClosed(quint64 connection, Share& share, bool wasReading, bool hadFile);

    // Whether the bound keeps this connection from taking more memory.
    bool boundReached(quint64 connection) const {
        return m_held >= m_maxHeld && connection != m_pastTheBound;
    }
    // The connection now holds `bytes`.
    void charge(Share& share, qint64 bytes);
    // The connection is not read from until bytes are released.
    void waitForRelease(quint64 connection, Share& share);

private:
    void resume(std::map<quint64, Share*>::iterator waiter);
    void letOneWaiterPast();

    const qint64 m_maxDescriptors;
    const qint64 m_maxHeld;
    std::atomic<qint64>& m_published;
    std::atomic<qint64>& m_peakPublished;

    qint64 m_descriptors = 1;
    qint64 m_descriptorsInUse = 0;
    qint64 m_reading = 0;

    qint64 m_held = 0;
    qint64 m_heldByWaiters = 0;
    std::map<quint64, Share*> m_waiters; // in the order they were accepted (ids rise with every accept)
    quint64 m_pastTheBound = 0;          // the one connection let past the bound, if any
};
