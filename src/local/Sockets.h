#pragma once

#include <QHostAddress>
#include <QSocketNotifier>

#include <memory>

// Plain non-blocking TCP sockets as the local server uses them: nothing is buffered on the way, so
// nothing is read beyond what the caller asks for.
namespace Sockets {

// A listening TCP socket on `address` (QHostAddress::Any takes IPv6 and IPv4 alike), or -1.
int openListening(const QHostAddress& address, quint16 port);

// The port the socket is bound to, or 0.
quint16 boundPort(int descriptor);

// Whether a connection waits on the listening socket to be accepted.
bool hasPendingConnection(int listener);

// Whether the socket still listens.
bool isListening(int listener);

// Bytes read, 0 when none are there now, -1 at the end of the input or on an error.
qint64 receiveSome(int descriptor, char* into, qint64 capacity);

// Bytes sent, 0 when the socket has no room now, -1 when the connection failed. `last`: the
// connection is closed once these bytes are out, so they may wait for the close, which then sends
// them and the end of the connection in one segment instead of two.
qint64 sendSome(int descriptor, const char* bytes, qint64 size, bool last);

// Bounds the system's buffer for bytes on their way out (the system doubles the figure).
void limitSendBuffer(int descriptor, int bytes);

// Stops watching and deletes the notifier, later unless `now`: a notifier may be dropped inside
// one of its own signals.
void dropNotifier(std::unique_ptr<QSocketNotifier>& notifier, bool now);

} // namespace Sockets
