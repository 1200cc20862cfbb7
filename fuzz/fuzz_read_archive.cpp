// The view and extract modes on an arbitrary archive file.
#include "ExtractionSandbox.h"
#include "FuzzTarget.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    viewAndExtractInSandbox(data, size);
    return 0;
}
