// Every fuzz target defines this entry point. Built with ZAS_FUZZ=ON it is
// driven by libFuzzer; otherwise ReplayMain.cpp runs it over saved inputs,
// so that CTest replays the corpus and every past finding.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
