// The C run-time's random generator as the archive key is drawn from it:
// seed, then values 0 to 32767 (the classic Windows C run-time sequence:
// state = state * 214013 + 2531011, result bits 16 to 30). Each writer
// holds its own.
#pragma once

class CrtRandom {
public:
    explicit CrtRandom(unsigned seed = 1) noexcept : m_state(seed) {}
    void seed(unsigned seed) noexcept { m_state = seed; }
    int next() noexcept {
        m_state = m_state * 214013u + 2531011u;
        return static_cast<int>((m_state >> 16) & 0x7FFFu);
    }

private:
    unsigned m_state;
};
