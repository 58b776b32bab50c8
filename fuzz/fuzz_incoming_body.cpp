// The body of POST /v1/luts: the streaming decoder must give exactly what the ordinary decoder
// gives, or fail with the same message (which carries the offset of the fault).
#include "FuzzInput.h"
#include "local/IncomingBody.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = fuzzBytes(data, size).toByteArray();
    const Decoded<Incoming> ordinary = Incoming::decode(input);
    const Decoded<Incoming> streamed = IncomingBody::decode(input, 0);
    FUZZ_CHECK(streamed.ok() == ordinary.ok() && streamed.error() == ordinary.error());
    FUZZ_CHECK(!ordinary || streamed.value() == ordinary.value());
    return 0;
}
