// How the engine reports: every event goes to the handle's callback, on the
// thread that called into the library. A callback that returns non-zero
// cancels the call: report() then throws Cancelled, which unwinds through
// the owners of every file and buffer (a partly written file is removed on
// the way) up to the library's boundary.
#pragma once

#include <zas.h>

#include <cstdint>

struct Cancelled {};

class Reporter {
public:
    void setCallback(zas_event_fn callback, void* user) noexcept {
        m_callback = callback;
        m_user = user;
    }

    // Reports an event; throws Cancelled when the callback asks to stop.
    void report(const zas_event& event) {
        if (m_callback != nullptr && m_callback(&event, m_user) != 0)
            throw Cancelled{};
    }
    void report(int type, int reason, const char* path) {
        zas_event event{};
        event.type = type;
        event.reason = reason;
        event.path = path;
        report(event);
    }

    // Counts bytes of data handled and reports a heartbeat after each
    // megabyte of them, so that a long file can be cancelled.
    void count(std::uint64_t bytes) {
        m_sinceHeartbeat += bytes;
        if (m_sinceHeartbeat >= kHeartbeatBytes) {
            m_sinceHeartbeat = 0;
            report(ZAS_EVENT_HEARTBEAT, 0, nullptr);
        }
    }

private:
    static constexpr std::uint64_t kHeartbeatBytes = std::uint64_t{1} << 20;

    zas_event_fn m_callback = nullptr;
    void* m_user = nullptr;
    std::uint64_t m_sinceHeartbeat = 0;
};
