#include "app/Services.h"

#include "support/Crc32.h"

#include <cfenv>
#include <filesystem>
#include <system_error>
#include <utility>

Z_File* File = nullptr;
Z_System* Sys = nullptr;

namespace {

std::string currentDirectory() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::current_path(error);
    return error ? std::string(".") : path.string();
}

// The start-up objects, in the order the library constructs them.
Z_ZephelInit g_zephelInit;
M_MathInit g_mathInit;

} // namespace

Z_File::Z_File(std::string startupDirectory) : m_startupDirectory(std::move(startupDirectory)) {}

void Z_File::setArchiveHandling(int mode) {
    m_archiveHandling = mode;
}

std::uint32_t Z_File::CRC32(const void* data, unsigned length) const {
    return crc32(data, length);
}

void Z_System::ceaseVerbose(int cease) {
    m_verboseCeased = cease;
}

Z_ZephelInit::Z_ZephelInit() {
    File = new Z_File(currentDirectory());
    Sys = new Z_System();
}

Z_ZephelInit::~Z_ZephelInit() {
    delete Sys;
    Sys = nullptr;
    delete File;
    File = nullptr;
}

// The progress percentages and the compression buffer size are computed in
// floating point and truncated; they assume round-to-nearest.
M_MathInit::M_MathInit() : m_savedRounding(std::fegetround()) {
    std::fesetround(FE_TONEAREST);
}

M_MathInit::~M_MathInit() {
    std::fesetround(m_savedRounding);
}
