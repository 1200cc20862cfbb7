// Starting the worker threads of a pass.
#pragma once

#include <algorithm>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

// Starts up to count threads, the i-th running body(i). The pass goes on
// with the threads the system gives, down to none: a thread it refuses ends
// the starting. startHook (tests only) is asked before each start; false
// makes that start fail as a refused one does.
template <class Body>
void startWorkers(std::vector<std::thread>& workers, unsigned count, bool (*startHook)(unsigned), Body body) {
    workers.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        if (startHook != nullptr && !startHook(i))
            break;
        try {
            workers.emplace_back(body, i);
        } catch (const std::system_error&) {
            break;
        } catch (const std::bad_alloc&) {
            break;
        }
    }
}

// The threads a pass asks for: the number given, or with 0 one per core.
inline unsigned workerThreadsFor(unsigned asked) {
    return asked != 0 ? asked : std::max(1u, std::thread::hardware_concurrency());
}
