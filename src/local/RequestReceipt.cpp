#include "local/RequestReceipt.h"

#include <algorithm>
#include <utility>

namespace LocalHttp {

namespace {

// Head bytes are read here first and copied into the connection's own buffer only as far as they
// go: thousands of connections waiting for their head then hold only what they sent.
char* headScratch() {
    thread_local QByteArray scratch(readChunkBytes, Qt::Uninitialized);
    return scratch.data();
}

} // namespace

QByteArray RequestReceipt::takeBody() {
    return std::exchange(m_buffer, QByteArray());
}

RequestReceipt::Space RequestReceipt::nextSpace() {
    if (m_state != State::Body) {
        return {headScratch(), readChunkBytes};
    }
    // The buffer grows with the body as it arrives, never beyond the declared length: a head alone
    // reserves nothing for a body that may never come, and the doubling keeps the copies few.
    const qint64 wanted = std::min(readChunkBytes, m_request->contentLength - m_received);
    if (m_buffer.capacity() < m_received + wanted) {
        m_buffer.reserve(
            std::min(m_request->contentLength, std::max(m_received + wanted, 2 * m_buffer.capacity())));
    }
    m_buffer.resize(m_received + wanted);
    return {m_buffer.data() + m_received, wanted};
}

void RequestReceipt::arrived(qint64 bytes) {
    if (m_state != State::Body) {
        headArrived(headScratch(), bytes);
        return;
    }
    m_received += bytes;
    m_buffer.resize(m_received);
    if (m_received == m_request->contentLength) {
        m_state = State::Complete;
    }
}

void RequestReceipt::headArrived(const char* bytes, qint64 size) {
    if (m_state == State::Unparseable) {
        // The first blank line ends a head that can never parse; only the count matters now.
        m_received += size;
        if (m_received > maxHeadBytes) {
            m_state = State::Overflow;
        }
        return;
    }
    const qsizetype searchFrom = m_buffer.size() - 3;
    m_buffer.append(bytes, size);
    m_received = m_buffer.size();
    if (findHeadEnd(m_buffer, searchFrom) < 0) {
        if (m_received > maxHeadBytes) {
            m_state = State::Overflow;
            m_buffer = QByteArray();
        }
        return;
    }
    m_request = parseRequest(m_buffer);
    if (!m_request) {
        m_buffer = QByteArray();
        m_state = m_received > maxHeadBytes ? State::Overflow : State::Unparseable;
        return;
    }
    headComplete();
}

void RequestReceipt::headComplete() {
    const qint64 contentLength = m_request->contentLength;
    const qint64 available = m_buffer.size() - m_request->headerEnd;
    if (contentLength < 0) {
        m_state = State::BadRequest;
        m_buffer = QByteArray();
        return;
    }
    if (available >= contentLength) {
        m_buffer = m_buffer.mid(m_request->headerEnd, contentLength);
        m_state = State::Complete;
        return;
    }
    if (contentLength > maxBodyBytes) {
        m_state = State::TooLarge;
        m_buffer = QByteArray();
        return;
    }
    // From here the body is read straight into its buffer, in bounded reads.
    m_buffer = QByteArrayView(m_buffer).sliced(m_request->headerEnd).toByteArray();
    m_received = available;
    m_state = State::Body;
}

} // namespace LocalHttp
