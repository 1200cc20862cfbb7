// An owned stdio stream: closed when the owner goes, on every path.
#pragma once

#include "platform/Platform.h"

#include <cstdio>

class Stream {
public:
    Stream() noexcept = default;
    Stream(const char* path, const char* mode) : m_file(openFile(path, mode)) {}
    explicit Stream(std::FILE* file) noexcept : m_file(file) {}
    ~Stream() { close(); }

    Stream(Stream&& other) noexcept : m_file(other.m_file) { other.m_file = nullptr; }
    Stream& operator=(Stream&& other) noexcept {
        if (this != &other) {
            close();
            m_file = other.m_file;
            other.m_file = nullptr;
        }
        return *this;
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool isOpen() const noexcept { return m_file != nullptr; }
    std::FILE* get() const noexcept { return m_file; }

    // False when the stream had failed or its buffered output could not be
    // written out.
    bool close() noexcept {
        if (m_file == nullptr)
            return true;
        const bool sound = std::ferror(m_file) == 0;
        const bool closed = std::fclose(m_file) == 0;
        m_file = nullptr;
        return sound && closed;
    }

private:
    std::FILE* m_file = nullptr;
};
