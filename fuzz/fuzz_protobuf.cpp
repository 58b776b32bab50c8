// The wire codec and the node patcher on arbitrary bytes, as a grade body from anywhere.
#include "FuzzInput.h"
#include "resolve/Protobuf.h"
#include "resolve/ResolveGrade.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView input = fuzzBytes(data, size);

    if (const auto fields = Protobuf::parse(input)) {
        // Whatever parses must re-encode to bytes that parse back to the same fields.
        const QByteArray encoded = Protobuf::encode(*fields);
        const auto again = Protobuf::parse(encoded);
        FUZZ_CHECK(again && *again == *fields && Protobuf::encode(*again) == encoded);
    }

    // The same bytes as a template body: any answer will do, as long as there is one.
    QMap<quint64, QByteArray> entries;
    entries.insert(ResolveGrade::kSaturationParam,
                   ResolveGrade::numericEntry(ResolveGrade::kSaturationParam, 1.5));
    const auto patched = ResolveGrade::patchNode(input, ResolveGrade::kCdlNode, entries);
    FUZZ_CHECK(!patched.ok() || Protobuf::parse(patched.value()));
    return 0;
}
