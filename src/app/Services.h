// The support library's process services: the global File and Sys objects
// and the two start-up objects that create them before main runs.
#pragma once

#include <cstdint>
#include <string>

class Z_File {
public:
    explicit Z_File(std::string startupDirectory);

    // Recorded only; nothing in the program depends on the setting.
    void setArchiveHandling(int mode);
    int archiveHandling() const { return m_archiveHandling; }

    // The working directory as it was when the process started, so that
    // relative paths keep meaning what the user typed.
    const char* getStartupDirectory() const { return m_startupDirectory.c_str(); }

    // CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320, initial value
    // and final xor 0xFFFFFFFF); "123456789" gives 0xCBF43926.
    std::uint32_t CRC32(const void* data, unsigned length) const;

private:
    std::string m_startupDirectory;
    int m_archiveHandling = 1;
};

class Z_System {
public:
    // Recorded only; the program's output does not depend on it.
    void ceaseVerbose(int cease);
    int verboseCeased() const { return m_verboseCeased; }

private:
    int m_verboseCeased = 0;
};

extern Z_File* File;
extern Z_System* Sys;

// Constructed before main, in this order, and destroyed in reverse order.
// Z_ZephelInit creates File and Sys; M_MathInit puts the floating-point
// environment in the state the program's arithmetic assumes.
class Z_ZephelInit {
public:
    Z_ZephelInit();
    ~Z_ZephelInit();
    Z_ZephelInit(const Z_ZephelInit&) = delete;
    Z_ZephelInit& operator=(const Z_ZephelInit&) = delete;
};

class M_MathInit {
public:
    M_MathInit();
    ~M_MathInit();
    M_MathInit(const M_MathInit&) = delete;
    M_MathInit& operator=(const M_MathInit&) = delete;

private:
    int m_savedRounding;
};
