// Every JSON decoder of a record, cloud and local, on the same bytes. What decodes as a look
// encodes back to the same look.
#include "FuzzInput.h"
#include "records/CloudRecords.h"
#include "records/LocalRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray input = fuzzBytes(data, size).toByteArray();

    if (const Decoded<LUTLook> look = LUTLook::decode(input)) {
        const Decoded<LUTLook> again = LUTLook::fromJson(look->toJson());
        FUZZ_CHECK(again && again.value() == look.value());
    }
    LUTRecord::decode(input);
    LUTListResponse::decode(input);
    AuthResponse::decode(input);
    if (const Decoded<Incoming> incoming = Incoming::decode(input); incoming && incoming->look) {
        FUZZ_CHECK(LUTLook::fromJson(incoming->look->toJson()).ok());
    }
    return 0;
}
