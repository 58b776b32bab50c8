// libFuzzer target for the wire codec and the node patcher. Not part of the normal build;
// see fuzz/README.md for the command line.
#include "resolve/Protobuf.h"
#include "resolve/ResolveGrade.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView input(reinterpret_cast<const char*>(data), qsizetype(size));

    if (const auto fields = Protobuf::parse(input)) {
        // Whatever parses must re-encode to bytes that parse back to the same fields.
        const QByteArray encoded = Protobuf::encode(*fields);
        const auto again = Protobuf::parse(encoded);
        if (!again || *again != *fields || Protobuf::encode(*again) != encoded) {
            std::abort();
        }
    }

    // The same bytes as a template body: any answer will do, as long as there is one.
    QMap<quint64, QByteArray> entries;
    entries.insert(ResolveGrade::kSaturationParam,
                   ResolveGrade::numericEntry(ResolveGrade::kSaturationParam, 1.5));
    const auto patched = ResolveGrade::patchNode(input, ResolveGrade::kCdlNode, entries);
    if (patched.ok() && !Protobuf::parse(patched.value())) {
        std::abort();
    }
    return 0;
}
