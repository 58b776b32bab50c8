// The realtime stream's bytes: cut into blocks however they arrive, each block read and handled,
// and the record of every event decoded as its consumer does.
#include "FuzzInput.h"
#include "cloud/EventStreamParser.h"
#include "records/CloudRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    Splits splits(data[0]);
    const QByteArray input = fuzzBytes(data + 1, size - 1).toByteArray();

    EventStream::BlockBuffer whole;
    const QList<QByteArray> blocks = whole.append(input);
    EventStream::BlockBuffer pieces;
    QList<QByteArray> piecewise;
    for (qsizetype offset = 0; offset < input.size();) {
        const qsizetype piece = std::min(splits.next(), input.size() - offset);
        piecewise += pieces.append(input.sliced(offset, piece));
        offset += piece;
    }
    FUZZ_CHECK(piecewise == blocks);
    FUZZ_CHECK(pieces.size() == whole.size());

    // A small limit: the bytes left waiting never exceed it.
    EventStream::BlockBuffer capped(32);
    bool overflowed = false;
    capped.append(input, &overflowed);
    FUZZ_CHECK(capped.size() <= 32);

    const QStringList collections{QStringLiteral("tintara_luts")};
    for (const QByteArray& block : blocks) {
        FUZZ_CHECK(!block.contains("\n\n"));
        const EventStream::Outcome outcome = EventStream::handleBlock(block, collections);
        if (const auto* event = std::get_if<RealtimeEvent>(&outcome)) {
            FUZZ_CHECK(event->collection == u"tintara_luts");
            FUZZ_CHECK(EventStream::readBlock(block)->data == event->raw);
            RealtimeEvent::FullMsg<LUTRecord>::decode(event->raw);
        }
    }
    return 0;
}
