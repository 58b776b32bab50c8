// The request head as the local server reads it: where the head ends, and what it parses to.
#include "FuzzInput.h"
#include "local/HttpRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView input = fuzzBytes(data, size);
    const qsizetype end = LocalHttp::findHeadEnd(input);
    FUZZ_CHECK(end == -1 || (end >= 4 && end <= input.size() && input.sliced(end - 4, 4) == "\r\n\r\n"));

    // The server searches only what an append can have completed: from the old length less three.
    // Every read that ends within the blank line, and a few others.
    const auto appended = [&](qsizetype split) {
        if (split > 0 && split < input.size() && LocalHttp::findHeadEnd(input.first(split)) < 0) {
            FUZZ_CHECK(LocalHttp::findHeadEnd(input, split - 3) == end);
        }
    };
    for (qsizetype split = end - 4; end >= 0 && split < end; ++split) {
        appended(split);
    }
    for (const qsizetype split : {input.size() / 3, input.size() / 2, input.size() - 1}) {
        appended(split);
    }

    const std::optional<LocalHttp::Request> request = LocalHttp::parseRequest(input);
    FUZZ_CHECK(!request || request->headerEnd == end);
    if (request) {
        FUZZ_CHECK(request->method == request->method.toUpper());
        // The bytes after the head never change what it says.
        FUZZ_CHECK(LocalHttp::parseRequest(input.first(end)) == request);
    }
    return 0;
}
