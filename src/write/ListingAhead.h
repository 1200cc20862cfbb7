// Listing the directories of a walk on several threads, ahead of the walk.
//
// Listing a directory of small files costs a system call or more per entry
// (its size and date), which one thread makes one after the other. The walk
// asks for the listings of the directories it has found, in the order it
// will go into them; workers list them whole into memory, in the order the
// walk will want them (the requests form a stack, so a directory's own
// subdirectories, asked for when the walk reaches it, come before its
// siblings'), but for the one at the top: the walk wants that one next and
// lists it itself, which costs less than waiting for a worker to hand it
// over. The walk takes each listing when it gets there and does all the
// rest itself, in its own order: what it reports and what it finds are
// those of one thread.
//
// A listing the walk or a worker could not make (a directory that cannot be
// listed, or no descriptor left) the walk makes once more while no worker
// lists, so that a directory is left out only where one thread would leave
// it out too.
//
// Memory: workers stop while kListingsAhead listings wait to be taken; the
// requests not yet listed hold only their paths.
#pragma once

#include "platform/Platform.h"
#include "support/Memory.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

inline constexpr std::size_t kListingsAhead = 64;

// An entry of a directory, as its listing gives it.
struct ListedItem {
    DWORD attributes = 0;
    FILETIME lastWrite{};
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    zs name;
};

// The entries of a directory but "." and "..", or listed false when it
// could not be listed.
struct Listing {
    bool listed = false;
    zvector<ListedItem> items;
};

// Lists the directory named by pattern (its path, a backslash and "*").
Listing listDirectory(const zs& pattern);

class ListingAhead {
public:
    struct Request;

    explicit ListingAhead(unsigned workers);
    ~ListingAhead();
    ListingAhead(const ListingAhead&) = delete;
    ListingAhead& operator=(const ListingAhead&) = delete;

    // Asks for the listings of these patterns, the first to be taken first,
    // before those asked for earlier; each is taken exactly once.
    void ask(const zvector<zs>& patterns, zvector<Request*>& requests);
    // The listing asked for: once a worker has made it, or made now.
    Listing take(Request* request);

private:
    Request* nextForWorker();
    Listing listAlone(const zs& pattern);
    void work();

    std::mutex m_mutex;
    std::condition_variable m_workerWakes;
    std::condition_variable m_walkWakes;
    std::list<Request, Z_Allocator<Request>> m_requests;
    zvector<Request*> m_pending; // a stack: the top is wanted first
    std::size_t m_done = 0;      // listings made and not yet taken
    unsigned m_listing = 0;      // workers listing now, a descriptor each
    bool m_relieving = false;    // the walk lists alone: no worker starts
    unsigned m_waitingWorkers = 0;
    bool m_walkWaiting = false;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};
