#include "app/Console.h"

#include <cstdarg>
#include <cstdio>

namespace {

bool g_errorFlag = false;
bool g_warningFlag = false;

void printArguments(const char* format, va_list arguments) {
    std::vprintf(format, arguments);
}

} // namespace

void printText(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printArguments(format, arguments);
    va_end(arguments);
}

void printProgress(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printArguments(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

void printError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printArguments(format, arguments);
    va_end(arguments);
    g_errorFlag = true;
}

void printWarning(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    printArguments(format, arguments);
    va_end(arguments);
    g_warningFlag = true;
}

bool errorRaised() {
    return g_errorFlag;
}

bool warningRaised() {
    return g_warningFlag;
}

void clearFlagsForTesting() {
    g_errorFlag = false;
    g_warningFlag = false;
}
