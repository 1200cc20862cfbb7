#include "support/Exception.h"

#include <cstdarg>
#include <cstdio>

Z_Exception::~Z_Exception() = default;

const char* Z_Exception::getErrorMessage() const {
    return m_message;
}

void Z_Exception::setError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(m_message, sizeof m_message, format, arguments);
    va_end(arguments);
}

Z_MemoryException_Allocation::Z_MemoryException_Allocation() {
    setError("Out of system memory resources");
}
