#include "write/ListingAhead.h"

#include <cstring>
#include <new>
#include <system_error>
#include <utility>

struct ListingAhead::Request {
    enum class State { pending, listing, done, walk } state = State::pending;
    zs pattern;
    Listing listing;
    std::list<Request, Z_Allocator<Request>>::iterator self;
};

namespace {

// Closes a directory listing however the listing ends.
class ListingOwner {
public:
    explicit ListingOwner(HANDLE listing) noexcept : m_listing(listing) {}
    ~ListingOwner() {
        if (m_listing != INVALID_HANDLE_VALUE)
            FindClose(m_listing);
    }
    ListingOwner(const ListingOwner&) = delete;
    ListingOwner& operator=(const ListingOwner&) = delete;

    HANDLE get() const noexcept { return m_listing; }

private:
    HANDLE m_listing;
};

} // namespace

Listing listDirectory(const zs& pattern) {
    Listing listing;
    WIN32_FIND_DATAA item;
    const ListingOwner owner(FindFirstFileA(pattern.c_str(), &item));
    if (owner.get() == INVALID_HANDLE_VALUE)
        return listing;
    listing.listed = true;
    do {
        if (std::strcmp(item.cFileName, ".") == 0 || std::strcmp(item.cFileName, "..") == 0)
            continue;
        ListedItem& listed = listing.items.emplace_back();
        listed.attributes = item.dwFileAttributes;
        listed.lastWrite = item.ftLastWriteTime;
        listed.sizeHigh = item.nFileSizeHigh;
        listed.sizeLow = item.nFileSizeLow;
        listed.name = item.cFileName;
    } while (FindNextFileA(owner.get(), &item));
    return listing;
}

ListingAhead::ListingAhead(unsigned workers) {
    m_workers.reserve(workers);
    // The walk goes on with the threads the system gave, down to none.
    for (unsigned i = 0; i < workers; ++i) {
        try {
            m_workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;
        } catch (const std::bad_alloc&) {
            break;
        }
    }
}

ListingAhead::~ListingAhead() {
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_workerWakes.notify_all();
    for (std::thread& worker : m_workers)
        worker.join();
}

void ListingAhead::ask(const zvector<zs>& patterns, zvector<Request*>& requests) {
    requests.clear();
    requests.reserve(patterns.size());
    const std::lock_guard lock(m_mutex);
    m_pending.reserve(m_pending.size() + patterns.size());
    for (const zs& pattern : patterns) {
        Request& request = m_requests.emplace_back();
        request.self = std::prev(m_requests.end());
        request.pattern = pattern;
        requests.push_back(&request);
    }
    for (auto request = requests.rbegin(); request != requests.rend(); ++request)
        m_pending.push_back(*request);
    if (m_waitingWorkers != 0 && m_done < kListingsAhead)
        m_workerWakes.notify_all();
}

void ListingAhead::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        // The stack's top may be one the walk has listed itself.
        while (!m_pending.empty() && m_pending.back()->state == Request::State::walk) {
            m_requests.erase(m_pending.back()->self);
            m_pending.pop_back();
        }
        if (m_stopping)
            return;
        if (m_pending.empty() || m_done >= kListingsAhead) {
            ++m_waitingWorkers;
            m_workerWakes.wait(lock);
            --m_waitingWorkers;
            continue;
        }
        Request& request = *m_pending.back();
        m_pending.pop_back();
        request.state = Request::State::listing;
        lock.unlock();
        Listing listing;
        try {
            listing = listDirectory(request.pattern);
        } catch (...) {
            listing = Listing(); // no memory for it: the walk lists it itself
        }
        lock.lock();
        request.listing = std::move(listing);
        request.state = Request::State::done;
        ++m_done;
        if (m_walkWaiting)
            m_walkWakes.notify_one();
    }
}

Listing ListingAhead::take(Request* request) {
    std::unique_lock lock(m_mutex);
    Listing listing;
    if (request->state == Request::State::pending) {
        // No worker got to it: the walk lists it now, and the workers drop
        // it from the stack when they come to it.
        request->state = Request::State::walk;
        const zs pattern = std::move(request->pattern);
        lock.unlock();
        return listDirectory(pattern);
    }
    m_walkWaiting = true;
    m_walkWakes.wait(lock, [&] { return request->state == Request::State::done; });
    m_walkWaiting = false;
    listing = std::move(request->listing);
    const zs pattern = std::move(request->pattern);
    m_requests.erase(request->self);
    if (m_done-- == kListingsAhead && m_waitingWorkers != 0)
        m_workerWakes.notify_all();
    lock.unlock();
    // What a worker could not list, the walk tries once more.
    return listing.listed ? std::move(listing) : listDirectory(pattern);
}
