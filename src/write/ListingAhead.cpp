#include "write/ListingAhead.h"
#include "support/Workers.h"

#include <cstring>
#include <utility>

struct ListingAhead::Request {
    enum class State { pending, listing, done } state = State::pending;
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
    startWorkers(m_workers, workers, nullptr, [this](unsigned) { work(); });
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

// Called with the lock held: the request a worker lists next, the one the
// walk wants first after the stack's top. The top the walk lists itself if
// no worker has it yet: it would only wait for it otherwise.
ListingAhead::Request* ListingAhead::nextForWorker() {
    if (m_relieving || m_done >= kListingsAhead || m_pending.size() < 2)
        return nullptr;
    for (std::size_t i = m_pending.size() - 1; i-- > 0;)
        if (m_pending[i]->state == Request::State::pending)
            return m_pending[i];
    return nullptr;
}

void ListingAhead::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_stopping)
            return;
        Request* const request = nextForWorker();
        if (request == nullptr) {
            ++m_waitingWorkers;
            m_workerWakes.wait(lock);
            --m_waitingWorkers;
            continue;
        }
        request->state = Request::State::listing;
        ++m_listing;
        lock.unlock();
        Listing listing;
        try {
            listing = listDirectory(request->pattern);
        } catch (...) {
            listing = Listing(); // no memory for it: the walk lists it itself
        }
        lock.lock();
        request->listing = std::move(listing);
        request->state = Request::State::done;
        --m_listing;
        ++m_done;
        if (m_walkWaiting)
            m_walkWakes.notify_one();
    }
}

Listing ListingAhead::take(Request* request) {
    std::unique_lock lock(m_mutex);
    // The walk takes what it asked for from the top of the stack down.
    for (std::size_t i = m_pending.size(); i-- > 0;) {
        if (m_pending[i] == request) {
            m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    if (request->state == Request::State::pending) {
        // No worker got to it: the walk lists it now.
        const zs pattern = std::move(request->pattern);
        m_requests.erase(request->self);
        lock.unlock();
        Listing listing = listDirectory(pattern);
        return listing.listed ? std::move(listing) : listAlone(pattern);
    }
    // A worker reads the pattern until it is done.
    m_walkWaiting = true;
    m_walkWakes.wait(lock, [&] { return request->state == Request::State::done; });
    m_walkWaiting = false;
    const zs pattern = std::move(request->pattern);
    Listing listing = std::move(request->listing);
    m_requests.erase(request->self);
    if (m_done-- == kListingsAhead && m_waitingWorkers != 0)
        m_workerWakes.notify_all();
    lock.unlock();
    // What a worker could not list, the walk tries once more.
    return listing.listed ? std::move(listing) : listAlone(pattern);
}

// A directory the walk or a worker could not list, perhaps for want of a
// descriptor that the workers held: listed once more while they hold none.
Listing ListingAhead::listAlone(const zs& pattern) {
    std::unique_lock lock(m_mutex);
    m_relieving = true;
    m_walkWaiting = true;
    m_walkWakes.wait(lock, [&] { return m_listing == 0; });
    m_walkWaiting = false;
    lock.unlock();
    Listing listing;
    try {
        listing = listDirectory(pattern);
    } catch (...) {
        lock.lock();
        m_relieving = false;
        m_workerWakes.notify_all();
        throw;
    }
    lock.lock();
    m_relieving = false;
    m_workerWakes.notify_all();
    return listing;
}
