// The edge length a cube declares: only the first 4096 bytes count.
#include "FuzzInput.h"
#include "engine/CubeSize.h"

#include <QByteArray>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView input = fuzzBytes(data, size);
    const std::optional<qint64> declared = cubeSize(input);
    FUZZ_CHECK(!declared || input.first(std::min<qsizetype>(input.size(), 4096)).contains("LUT_3D_SIZE"));

    // Once there is more than the header, what follows it never changes the answer. (A file of
    // exactly 4096 bytes that ends inside a character is not UTF-8; a longer one may only be cut
    // inside a character, which is left out.)
    if (input.size() > 4096) {
        const QByteArray longer = input.toByteArray() + "\nLUT_3D_SIZE 17\n";
        FUZZ_CHECK(cubeSize(longer) == declared);
    }
    return 0;
}
