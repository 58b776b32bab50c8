#pragma once

#include "local/HttpRequest.h"

#include <QByteArray>

#include <algorithm>
#include <optional>

namespace LocalHttp {

// The one request of a connection as its bytes arrive: the head, then exactly the body the head
// declares. Knows nothing of sockets: the caller reads through readOnce and acts on the state.
class RequestReceipt {
public:
    enum class State {
        Head,        // the head is not complete yet
        Unparseable, // the head ended but does not parse; bytes are only counted from here
        Body,        // the head is in; the declared body is arriving
        Complete,    // request() and takeBody() hold the request; nothing more is read
        BadRequest,  // a negative Content-Length: answered 400
        TooLarge,    // a Content-Length above maxBodyBytes: answered 413 without reading the body
        Overflow,    // more than maxHeadBytes without a request: closed unanswered
    };

    // One read through `read(char* into, qint64 capacity)`, which answers the bytes it wrote, 0 when
    // none are available now, or a negative number when the input ended or failed. Answers what
    // `read` answered. Call only while reading().
    template <typename Read>
    qint64 readOnce(Read&& read) {
        const Space space = nextSpace();
        const qint64 bytes = read(space.at, space.size);
        if (bytes > 0) {
            arrived(bytes);
        }
        return bytes;
    }

    State state() const { return m_state; }
    bool reading() const {
        return m_state == State::Head || m_state == State::Unparseable || m_state == State::Body;
    }

    // The parsed head; meaningful from the Body state on.
    const Request& request() const { return *m_request; }
    // The body of a complete request, handed over once.
    QByteArray takeBody();

    // The bytes held for this request: the head so far, or the body's buffer.
    qint64 reservedBytes() const { return m_buffer.capacity(); }
    // Whether the next read lands in memory already held: only a body's buffer can have room.
    bool nextReadIsHeld() const {
        return m_state == State::Body &&
               m_buffer.capacity() >=
                   m_received + std::min(readChunkBytes, m_request->contentLength - m_received);
    }

private:
    struct Space {
        char* at = nullptr;
        qint64 size = 0;
    };
    Space nextSpace();
    void arrived(qint64 bytes);
    void headArrived(const char* bytes, qint64 size);
    void headComplete();

    State m_state = State::Head;
    QByteArray m_buffer;   // the head so far, then the body
    qint64 m_received = 0; // bytes held in the buffer, or counted while the head is unparseable
    std::optional<Request> m_request;
};

} // namespace LocalHttp
