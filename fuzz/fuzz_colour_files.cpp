// The readers of files from set and editorial: an ASC CDL file (.cc, .ccc, .cdl) and an Avid Log
// Exchange. Whatever reads and can be written again reads back as the same document or log, so a
// conversion by tonewharf-cdl never changes a value or a name on its way through.
#include "FuzzInput.h"
#include "colour/Ale.h"
#include "colour/AscCdl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = fuzzBytes(data, size).toByteArray();

    if (Decoded<AscCdl::Document> read = AscCdl::read(input)) {
        AscCdl::Document document = std::move(read).value();
        document.unresolved.clear(); // a reference that names nothing is not written back
        if (const Decoded<QByteArray> written = AscCdl::write(document)) {
            const Decoded<AscCdl::Document> again = AscCdl::read(*written);
            FUZZ_CHECK(again && again.value() == document);
        }
    }
    if (const Decoded<Ale::Log> log = Ale::read(input)) {
        const Decoded<QByteArray> written = Ale::write(log->heading, log->clips);
        FUZZ_CHECK(written); // what reads passed the writer's checks
        const Decoded<Ale::Log> again = Ale::read(*written);
        FUZZ_CHECK(again && again->heading == log->heading && again->clips == log->clips);
    }
    return 0;
}
