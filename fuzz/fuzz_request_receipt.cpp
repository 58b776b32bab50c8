// The receipt of one request, fed in reads of varying lengths: whatever the split, the outcome
// agrees with the head parsed whole, the body is exactly the declared bytes, and no more memory is
// held than what arrived.
#include "FuzzInput.h"
#include "local/RequestReceipt.h"

using LocalHttp::RequestReceipt;
using State = RequestReceipt::State;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    Splits splits(data[0]);
    const QByteArrayView input = fuzzBytes(data + 1, size - 1);

    RequestReceipt receipt;
    qsizetype offset = 0;
    while (receipt.reading() && offset < input.size()) {
        const qsizetype piece = std::min(splits.next(), input.size() - offset);
        const qint64 read = receipt.readOnce([&](char* into, qint64 capacity) {
            const qint64 count = std::min<qint64>(piece, capacity);
            std::memcpy(into, input.data() + offset, size_t(count));
            return count;
        });
        FUZZ_CHECK(read > 0);
        offset += read;
        FUZZ_CHECK(receipt.reservedBytes() <= 2 * offset + 2 * LocalHttp::readChunkBytes);
    }

    const std::optional<LocalHttp::Request> whole = LocalHttp::parseRequest(input);
    switch (receipt.state()) {
    case State::Head:
        FUZZ_CHECK(LocalHttp::findHeadEnd(input) < 0);
        break;
    case State::Unparseable:
        FUZZ_CHECK(LocalHttp::findHeadEnd(input) >= 0 && !whole);
        break;
    case State::Body:
        FUZZ_CHECK(whole && receipt.request() == *whole);
        FUZZ_CHECK(input.size() - whole->headerEnd < whole->contentLength);
        FUZZ_CHECK(whole->contentLength <= LocalHttp::maxBodyBytes);
        break;
    case State::Complete: {
        FUZZ_CHECK(whole && receipt.request() == *whole);
        const QByteArray body = receipt.takeBody();
        FUZZ_CHECK(body == input.sliced(whole->headerEnd, whole->contentLength));
        break;
    }
    case State::BadRequest:
        FUZZ_CHECK(whole && whole->contentLength < 0);
        break;
    case State::TooLarge:
        FUZZ_CHECK(whole && whole->contentLength > LocalHttp::maxBodyBytes);
        break;
    case State::Overflow:
        FUZZ_CHECK(!whole || whole->headerEnd > LocalHttp::maxHeadBytes);
        break;
    }
    return 0;
}
