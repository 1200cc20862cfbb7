#include "archive/Lzss.h"

#include "archive/Endian.h"

#include <bit>
#include <cassert>
#include <cstring>

// The encoder keeps one binary search tree of ring positions per first byte,
// ordered by the 18-byte string that starts at each position. The exact byte
// stream depends on the shape of those trees (which candidate is met first on
// the way down wins a tie), so insertion and deletion follow the classic
// LZSS tree operations; the speed comes from how a step is done, and from
// skipping a descent only where its outcome is known beforehand:
//   - links are 16-bit, so the whole working memory is about 51 KiB, about
//     what a first-level data cache holds;
//   - inside an item only the place of a string counts, not its match, and
//     a string's place is between its neighbours in the tree's order. Each
//     node links to those neighbours too. The string at r is the one at
//     r - 1 moved on by a byte, and its predecessor is usually the
//     predecessor of the string at r - 1 moved on by a byte: a string that
//     orders just after that guess, or one of the four nodes after it, is
//     hung there without a descent (most strings inside items in game
//     data);
//   - a string equal to one already in its tree (all 18 bytes) ends the
//     descent at that node, whatever the path, and takes its place. Runs and
//     other repeats produce such strings one after another at the same
//     distance back, so after a full match the node at the same distance is
//     tried first: if it holds the same 18 bytes and is in a tree, the
//     descent is skipped;
//   - a step down the tree is decided, in almost every case, by bytes 1..8
//     of the two strings taken as one number: a reversed copy of the ring
//     makes that a single load, and the link to follow is picked by a
//     conditional move, so the walk does not stall on a mispredicted branch
//     at every node (the side taken is as good as random). Nodes are
//     numbered so that a node's number is also the offset of its string's
//     head in the reversed ring: a step is a load and a conditional move;
//   - a deletion selects among its cases with conditional moves too, with
//     the writes a case does without sent to a junk slot; the predecessor
//     that takes the place of a node with two children is its neighbour in
//     the order;
//   - when those bytes agree, bytes 9..17 are compared as two eight-byte
//     words;
//   - the descent's end is a mispredicted branch, once per position. Where
//     two consecutive positions touch different trees (their strings start
//     with different bytes, and so does the oldest string, deleted between
//     them), the operations commute: the second deletion goes first and the
//     two insertions descend side by side, one step of each per round, so
//     their chains of loads overlap and they end on one mispredicted branch;
//   - items are written straight into the block, the flag byte patched when
//     its group closes.
// The decoder writes straight into the destination and reads matches back
// from it with word copies; the ring is consulted only for references to
// bytes that precede the block's output.

namespace {

constexpr unsigned kRingSize = 4096;
constexpr unsigned kRingMask = kRingSize - 1;
constexpr unsigned kMaxMatch = 18;
constexpr unsigned kMinMatch = 3;
// The ring starts with spaces below this position and writing here.
constexpr unsigned kRingStart = kRingSize - kMaxMatch;
// Node numbers: kRingSize - position for a ring position (1..4096), kNil for
// an empty link or a position in no tree; child[kRootBase + c][1] is the
// root of the tree for first byte c.
constexpr unsigned kNil = 0;
constexpr unsigned kRootBase = kRingSize + 1;
// Takes the writes a deletion's case does without.
constexpr unsigned kJunk = kRootBase + 256;
constexpr unsigned kLeft = 0;
constexpr unsigned kRight = 1;
// Positions kRingSize .. kRingSize + 16 mirror 0 .. 16, so that any 18-byte
// string can be read without wrapping.
constexpr unsigned kMirror = kMaxMatch - 1;
// A comparison loads three eight-byte words from offsets up to 17 + 14 into
// a string starting at 4095, reaching index 4133; the bytes past the mirror
// only ever fall beyond the 18th byte of a comparison and are discarded.
constexpr unsigned kRingBytes = kRingSize + 48;

// The head of a string, its bytes 1..8, reaches ring index 4095 + 8.
constexpr unsigned kReversedEnd = kRingSize + 8;

constexpr std::size_t kUnpackedOffset = 4;

// The encoder reads its input through a window of this size; the coded
// stream gathers in a buffer flushed a whole number of groups at a time.
constexpr std::size_t kInputWindow = 64 * 1024;
constexpr std::size_t kOutputBuffer = 32 * 1024;
// The most one group takes: flag byte and eight matches.
constexpr std::size_t kLargestGroup = 17;
// The decoder's output window: the last 4096 to 8191 bytes of output kept
// as history when it slides, the rest for new output.
constexpr std::size_t kDecodeWindow = 72 * 1024;
static_assert(kDecodeWindow <= kLzssMaxPiece && kOutputBuffer <= kLzssMaxPiece);

} // namespace

// About 51 KiB that the search touches (ring, both child links of a node
// side by side, parents, both neighbours in the order side by side, all
// indexed by node number), then the buffers of the block in progress.
struct LzssContext::Memory {
    alignas(64) unsigned char ring[kRingBytes];
    // The ring back to front: reversed[kReversedEnd - x] = ring[x] for x up
    // to kReversedEnd. Eight bytes loaded from it come out as a number that
    // orders like the bytes they hold, with no byte swap in the tree walk.
    unsigned char reversed[kReversedEnd + 1];
    std::uint16_t child[kJunk + 1][2];
    std::uint16_t parent[kJunk + 1];
    // Each node's neighbours in its tree's order: [kLeft] the next smaller
    // string, [kRight] the next larger, kNil at either end.
    std::uint16_t order[kJunk + 1][2];
    union {
        struct {
            alignas(64) unsigned char input[kInputWindow];
            alignas(64) unsigned char output[kOutputBuffer];
        } encoder;
        alignas(64) unsigned char decoded[kDecodeWindow];
    } buffers;
};

struct LzssContextAccess {
    static LzssContext::Memory& memory(LzssContext& context) { return *context.m_memory; }
};

namespace {

using Memory = LzssContext::Memory;

// Only big-endian machines need it; kept portable rather than assumed away.
[[maybe_unused]] std::uint64_t byteSwap(std::uint64_t little) {
#if defined(__GNUC__)
    return __builtin_bswap64(little);
#else
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i, little >>= 8)
        swapped = swapped << 8 | (little & 0xFF);
    return swapped;
#endif
}

// Eight bytes as a little-endian number: the byte at p in the low bits.
std::uint64_t loadLittle64(const unsigned char* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big)
        value = byteSwap(value);
    return value;
}

// The link to follow from a node: right when the new string orders after
// the node's. The side is as good as random, so this must be a selection,
// not a branch, and compilers do not reliably keep it one; on x86-64 a
// conditional move straight after the comparison is the shortest way from
// one node to the next.
unsigned pickLink(std::uint64_t keyOrder, std::uint64_t candidateOrder, unsigned leftLink, unsigned rightLink) {
#if defined(__GNUC__) && defined(__x86_64__)
    unsigned next = leftLink;
    asm("cmpq %[candidate], %[key]\n\tcmova %[right], %[next]"
        : [next] "+r"(next)
        : [key] "r"(keyOrder), [candidate] "r"(candidateOrder), [right] "r"(rightLink)
        : "cc");
    return next;
#else
    return leftLink ^ ((leftLink ^ rightLink) & (0u - unsigned{keyOrder > candidateOrder}));
#endif
}

// a when condition holds, else b, as a selection rather than a branch: the
// shape of a node being deleted is as good as random.
unsigned choose(bool condition, unsigned a, unsigned b) {
#if defined(__GNUC__) && defined(__x86_64__)
    asm("testb %[c], %[c]\n\tcmovne %[a], %[b]" : [b] "+r"(b) : [c] "q"(condition), [a] "r"(a) : "cc");
    return b;
#else
    return b ^ ((a ^ b) & (0u - unsigned{condition}));
#endif
}

std::uint16_t link(unsigned position) { return static_cast<std::uint16_t>(position); }

// Writes ring byte x, its mirror and its reversed copies.
void setRingByte(Memory& m, unsigned x, unsigned char c) {
    m.ring[x] = c;
    m.reversed[kReversedEnd - x] = c;
    if (x < kMirror) {
        m.ring[x + kRingSize] = c;
        if (x + kRingSize <= kReversedEnd)
            m.reversed[kReversedEnd - kRingSize - x] = c;
    }
}

// Tree nodes are numbered kRingSize - position: the node number is then
// also the offset of the string's head in the reversed ring, so a step down
// the tree reaches both the node's links and its head with no arithmetic.
static_assert(kReversedEnd - 8 == kRingSize);
unsigned nodeOf(unsigned position) { return kRingSize - position; }
unsigned positionOf(unsigned node) { return (kRingSize - node) & kRingMask; }

// Bytes 1..8 of the string at a node as a number that orders like them.
std::uint64_t headOf(const Memory& m, unsigned node) {
    std::uint64_t value;
    std::memcpy(&value, m.reversed + node, sizeof value);
    if constexpr (std::endian::native == std::endian::big)
        value = byteSwap(value);
    return value;
}

class Encoder {
public:
    explicit Encoder(Memory& memory) : m(memory) {}

    Memory& m;
    unsigned matchPosition = 0;
    unsigned matchLength = 0;
    // How far back the last full-length match stood.
    unsigned repeatDistance = 1;
    // The first match of insertPair.
    unsigned firstPosition = 0;
    unsigned firstLength = 0;

    void resetTrees() {
        for (unsigned i = kRootBase; i < kRootBase + 256; ++i)
            m.child[i][kRight] = kNil;
        m.child[kNil][kRight] = kNil;
        for (unsigned i = 0; i < kRingSize; ++i)
            m.parent[nodeOf(i)] = kNil;
    }

    // Puts node self in the order between before and after. Links to kNil
    // go to its unused slot.
    void orderBetween(unsigned self, unsigned before, unsigned after) {
        m.order[self][kLeft] = link(before);
        m.order[self][kRight] = link(after);
        m.order[before][kRight] = link(self);
        m.order[after][kLeft] = link(self);
    }

    // Hangs the new leaf self below p on the given side (p a root: the tree
    // was empty) and puts it in the order between p and p's neighbour on
    // that side.
    void linkLeaf(unsigned self, unsigned p, unsigned side) {
        m.child[self][kLeft] = kNil;
        m.child[self][kRight] = kNil;
        m.child[p][side] = link(self);
        m.parent[self] = link(p);
        bool inTree = p < kRootBase;
        unsigned beyond = m.order[p][side];
        unsigned before = choose(inTree, choose(side == kRight, p, beyond), kNil);
        unsigned after = choose(inTree, choose(side == kRight, beyond, p), kNil);
        orderBetween(self, before, after);
    }

    // Bytes 0..7 of the string at ring position x as a number that orders
    // like them.
    std::uint64_t prefixOf(unsigned x) const { return headOf(m, nodeOf(x) + 1); }

    // The string at ring position a against the one at b, all 18 bytes:
    // negative, zero or positive.
    int compareStrings(unsigned a, unsigned b) const {
        std::uint64_t x = prefixOf(a);
        std::uint64_t y = prefixOf(b);
        if (x != y)
            return x < y ? -1 : 1;
        const unsigned char* sa = m.ring + a;
        const unsigned char* sb = m.ring + b;
        unsigned i = 8;
        std::uint64_t difference = loadLittle64(sa + i) ^ loadLittle64(sb + i);
        if (difference == 0) {
            i = 16;
            difference = (loadLittle64(sa + i) ^ loadLittle64(sb + i)) & 0xFFFF;
            if (difference == 0)
                return 0;
        }
        i += static_cast<unsigned>(std::countr_zero(difference)) / 8;
        return sa[i] < sb[i] ? -1 : 1;
    }

    // Inserts the string at r without a descent if it orders just after
    // node g, or after one of the four nodes that follow g, in the tree of
    // the string at r: a string between two neighbours becomes a leaf below
    // whichever of them has its link on that side free (one always has),
    // which is where a descent would put it, and a string equal to the
    // upper one replaces it. Only the match of a descent is lost, and inside
    // an item it is not used. g is the predecessor of the string at r - 1
    // moved on by a byte: if it starts with the same byte as the string at
    // r, it is in the same tree and orders before that string, as the two
    // strings a byte earlier differ first at their third byte or later.
    // Returns false, having changed nothing, when the string orders further
    // on or g is in another tree.
    bool placeAfter(unsigned r, unsigned g) {
        if (m.parent[g] == kNil || m.ring[positionOf(g)] != m.ring[r])
            return false;
        assert(compareStrings(r, positionOf(g)) > 0);
        const unsigned self = nodeOf(r);
        unsigned after = m.order[g][kRight];
        int high = after != kNil ? compareStrings(r, positionOf(after)) : -1;
        for (int step = 0; high > 0; ++step) {
            if (step == 4)
                return false;
            g = after;
            after = m.order[g][kRight];
            high = after != kNil ? compareStrings(r, positionOf(after)) : -1;
        }
        if (high == 0) {
            matchPosition = positionOf(after);
            matchLength = kMaxMatch;
            repeatDistance = (r - matchPosition) & kRingMask;
            replaceNode(after, self);
            return true;
        }
        if (m.child[g][kRight] == kNil)
            linkLeaf(self, g, kRight);
        else
            linkLeaf(self, after, kLeft);
        matchLength = 0;
        return true;
    }

    // Inserts the string at ring position r into its tree and leaves the
    // longest match met on the way in matchPosition / matchLength. An equal
    // 18-byte string already in the tree is replaced by r.
    void insertNode(unsigned r) {
        const unsigned char* key = m.ring + r;
        const unsigned self = nodeOf(r);
        // matchLength is still the last insertion's.
        if (matchLength == kMaxMatch) {
            unsigned q = (r - repeatDistance) & kRingMask;
            const unsigned char* twin = m.ring + q;
            std::uint64_t differ = (loadLittle64(key) ^ loadLittle64(twin)) |
                                   (loadLittle64(key + 8) ^ loadLittle64(twin + 8)) |
                                   ((loadLittle64(key + 10) ^ loadLittle64(twin + 10)) >> 48);
            if (differ == 0 && m.parent[nodeOf(q)] != kNil) {
                matchPosition = q;
                matchLength = kMaxMatch;
                replaceNode(nodeOf(q), self);
                return;
            }
        }
        unsigned p = kRootBase + key[0];
        unsigned best = 0;
        unsigned bestPosition = 0;
        // The two numbers whose order decided the last side taken; right
        // from the root.
        std::uint64_t keyOrder = 1;
        std::uint64_t candidateOrder = 0;
        unsigned next = m.child[p][kRight];
        // Bytes 1..8 of the new string, as a number that orders like them.
        const std::uint64_t keyHead = headOf(m, self);
        while (next != kNil) {
            p = next;
            // Both links of p and the head of the string at p load side by
            // side; most steps are decided by the heads alone.
            unsigned leftLink = m.child[p][kLeft];
            unsigned rightLink = m.child[p][kRight];
            std::uint64_t candidateHead = headOf(m, p);
            unsigned length;
            keyOrder = keyHead;
            candidateOrder = candidateHead;
            if (keyHead != candidateHead) {
                length = 1 + static_cast<unsigned>(std::countl_zero(keyHead ^ candidateHead)) / 8;
            } else {
                const unsigned char* candidate = m.ring + (kRingSize - p);
                unsigned i = 9;
                std::uint64_t difference = loadLittle64(key + i) ^ loadLittle64(candidate + i);
                if (difference == 0) {
                    i += 8;
                    difference = loadLittle64(key + i) ^ loadLittle64(candidate + i);
                }
                // Bytes 9..24 are compared; only up to byte 17 count.
                i += difference != 0 ? static_cast<unsigned>(std::countr_zero(difference)) / 8 : 8;
                length = i < kMaxMatch ? i : kMaxMatch;
                if (length == kMaxMatch) {
                    best = kMaxMatch;
                    bestPosition = p;
                    break;
                }
                keyOrder = key[length];
                candidateOrder = candidate[length];
            }
            bool better = length > best;
            best = better ? length : best;
            bestPosition = better ? p : bestPosition;
            next = pickLink(keyOrder, candidateOrder, leftLink, rightLink);
        }
        if (next == kNil) {
            unsigned side = keyOrder > candidateOrder ? kRight : kLeft;
            linkLeaf(self, p, side);
            matchPosition = positionOf(bestPosition);
            matchLength = best;
            return;
        }
        matchPosition = positionOf(bestPosition);
        matchLength = best;
        repeatDistance = (r - positionOf(p)) & kRingMask;
        replaceNode(p, self);
    }

    // A descent in progress, for two insertions into different trees taken
    // step by step side by side: their chains of loads overlap, and the two
    // end with one mispredicted loop exit instead of two.
    struct Walk {
        const unsigned char* key = nullptr;
        unsigned self = 0;
        std::uint64_t keyHead = 0;
        unsigned p = 0;    // the last node compared, or the root
        unsigned next = 0; // kNil once the walk has ended
        unsigned best = 0;
        unsigned bestNode = 0;
        bool equal = false; // ended on a node holding the same 18 bytes
    };

    // The string at q equal to the one at r, all 18 bytes?
    bool sameString(unsigned r, unsigned q) {
        const unsigned char* key = m.ring + r;
        const unsigned char* twin = m.ring + q;
        std::uint64_t differ = (loadLittle64(key) ^ loadLittle64(twin)) |
                               (loadLittle64(key + 8) ^ loadLittle64(twin + 8)) |
                               ((loadLittle64(key + 10) ^ loadLittle64(twin + 10)) >> 48);
        return differ == 0;
    }

    void begin(Walk& w, unsigned r, bool afterFullMatch) {
        w.key = m.ring + r;
        w.self = nodeOf(r);
        w.best = 0;
        w.bestNode = kNil;
        w.equal = false;
        unsigned q = (r - repeatDistance) & kRingMask;
        if (afterFullMatch && sameString(r, q) && m.parent[nodeOf(q)] != kNil) {
            w.p = nodeOf(q);
            w.next = kNil;
            w.best = kMaxMatch;
            w.bestNode = w.p;
            w.equal = true;
            return;
        }
        w.p = kRootBase + w.key[0];
        w.keyHead = headOf(m, w.self);
        w.next = m.child[w.p][kRight];
    }

    // One step of a walk; a walk that has ended stays as it is (node kNil
    // has no links).
    void step(Walk& w) {
        unsigned node = w.next;
        bool active = node != kNil;
        unsigned leftLink = m.child[node][kLeft];
        unsigned rightLink = m.child[node][kRight];
        std::uint64_t candidateHead = headOf(m, node);
        std::uint64_t keyOrder = w.keyHead;
        std::uint64_t candidateOrder = candidateHead;
        unsigned length;
        if (w.keyHead != candidateHead) {
            length = 1 + static_cast<unsigned>(std::countl_zero(w.keyHead ^ candidateHead)) / 8;
        } else if (active) {
            const unsigned char* candidate = m.ring + (kRingSize - node);
            unsigned i = 9;
            std::uint64_t difference = loadLittle64(w.key + i) ^ loadLittle64(candidate + i);
            if (difference == 0) {
                i += 8;
                difference = loadLittle64(w.key + i) ^ loadLittle64(candidate + i);
            }
            i += difference != 0 ? static_cast<unsigned>(std::countr_zero(difference)) / 8 : 8;
            length = i < kMaxMatch ? i : kMaxMatch;
            if (length == kMaxMatch) {
                w.best = kMaxMatch;
                w.bestNode = node;
                w.p = node;
                w.next = kNil;
                w.equal = true;
                return;
            }
            keyOrder = w.key[length];
            candidateOrder = candidate[length];
        } else {
            return;
        }
        bool better = active & (length > w.best);
        w.best = choose(better, length, w.best);
        w.bestNode = choose(better, node, w.bestNode);
        w.p = choose(active, node, w.p);
        w.next = pickLink(keyOrder, candidateOrder, leftLink, rightLink);
    }

    // Puts the walk's string in its tree and leaves its match.
    void finish(Walk& w) {
        matchPosition = positionOf(w.bestNode);
        matchLength = w.best;
        if (!w.equal) {
            // The side the walk left p by, found again: p is the root (the
            // tree was empty) or holds a different string.
            unsigned side = kRight;
            if (w.p < kRootBase) {
                std::uint64_t keyOrder = w.keyHead;
                std::uint64_t candidateOrder = headOf(m, w.p);
                if (keyOrder == candidateOrder) {
                    const unsigned char* candidate = m.ring + (kRingSize - w.p);
                    unsigned i = 9;
                    std::uint64_t difference = loadLittle64(w.key + i) ^ loadLittle64(candidate + i);
                    if (difference == 0) {
                        i += 8;
                        difference = loadLittle64(w.key + i) ^ loadLittle64(candidate + i);
                    }
                    i += static_cast<unsigned>(std::countr_zero(difference)) / 8;
                    keyOrder = w.key[i];
                    candidateOrder = candidate[i];
                }
                side = keyOrder > candidateOrder ? kRight : kLeft;
            }
            linkLeaf(w.self, w.p, side);
            return;
        }
        repeatDistance = (positionOf(w.self) - positionOf(w.p)) & kRingMask;
        replaceNode(w.p, w.self);
    }

    // insertNode(a) then insertNode(b), for strings in different trees.
    // Leaves the match of a in firstPosition / firstLength.
    void insertPair(unsigned a, unsigned b) {
        bool afterFullMatch = matchLength == kMaxMatch;
        Walk first;
        Walk second;
        begin(first, a, afterFullMatch);
        begin(second, b, afterFullMatch);
        while ((first.next | second.next) != kNil) {
            step(first);
            step(second);
        }
        finish(first);
        firstPosition = matchPosition;
        firstLength = matchLength;
        finish(second);
    }

    // r takes p's place.
    void replaceNode(unsigned p, unsigned r) {
        unsigned up = m.parent[p];
        m.parent[r] = link(up);
        m.child[r][kLeft] = m.child[p][kLeft];
        m.child[r][kRight] = m.child[p][kRight];
        m.parent[m.child[p][kLeft]] = link(r);
        m.parent[m.child[p][kRight]] = link(r);
        m.child[up][m.child[up][kRight] == p ? kRight : kLeft] = link(r);
        m.parent[p] = kNil;
        orderBetween(r, m.order[p][kLeft], m.order[p][kRight]);
    }

    void deleteNode(unsigned position) {
        const unsigned p = nodeOf(position);
        unsigned up = m.parent[p];
        if (up == kNil)
            return;
        unsigned left = m.child[p][kLeft];
        unsigned right = m.child[p][kRight];
        bool both = (left != kNil) & (right != kNil);
        unsigned before = m.order[p][kLeft];
        unsigned after = m.order[p][kRight];
        m.order[before][kRight] = link(after);
        m.order[after][kLeft] = link(before);
        // With two children the predecessor, the rightmost node below the
        // left child, takes p's place; else p's only child or kNil does.
        unsigned q = choose(both, before, choose(right == kNil, left, right));
        unsigned above = choose(both, m.parent[before], p);
        bool walked = above != p;
        // Writes that a case does without go to the junk slot.
        unsigned qLeft = m.child[q][kLeft];
        m.child[choose(walked, above, kJunk)][kRight] = link(qLeft);
        m.parent[choose(walked, qLeft, kJunk)] = link(above);
        m.child[choose(walked, q, kJunk)][kLeft] = link(left);
        m.parent[choose(walked, left, kJunk)] = link(q);
        m.child[choose(both, q, kJunk)][kRight] = link(right);
        m.parent[choose(both, right, kJunk)] = link(q);
        m.parent[q] = link(up);
        m.child[up][m.child[up][kRight] == p ? kRight : kLeft] = link(q);
        m.parent[p] = kNil;
    }
};

// The ring as the plain decoder would see it before writing anything:
// spaces below kRingStart, whatever an earlier call left above.
unsigned char initialRingByte(const Memory& m, unsigned position) {
    return position < kRingStart ? static_cast<unsigned char>(' ') : m.ring[position];
}

// Copies the match of length bytes at ring position position to out, where
// out - window bytes of output precede it in the output window: all of the
// block's output so far, or at least the last 4096 bytes of it, with a
// multiple of 4096 bytes before the window's start.
void copyMatch(const Memory& m, unsigned char* window, unsigned char* out, unsigned position, unsigned length,
               bool slack) {
    std::size_t produced = static_cast<std::size_t>(out - window);
    // The ring position the write pointer stands on, and how far back the
    // match starts; 0 means a full ring back.
    std::size_t distance = ((kRingStart + produced - position - 1) & kRingMask) + 1;
    if (distance > produced) {
        // Reaches back before this block's first byte.
        for (unsigned k = 0; k < length; ++k) {
            // (out + k) - distance, not out[k - distance]: the index would wrap.
            out[k] = distance > produced + k ? initialRingByte(m, (position + k) & kRingMask)
                                             : *(out + k - distance);
        }
        return;
    }
    const unsigned char* from = out - distance;
    if (slack && distance >= 8) {
        // Eight bytes at a time, each word read after the one before it is
        // written, which also repeats a pattern of 8 to 17 bytes correctly.
        std::memcpy(out, from, 8);
        std::memcpy(out + 8, from + 8, 8);
        std::memcpy(out + 16, from + 16, 8);
    } else if (slack && distance == 1) {
        // A run of one byte, common in game data.
        std::memset(out, from[0], kMaxMatch);
    } else if (slack) {
        // A short pattern: lay out its first eight bytes, then copy words
        // from a whole number of periods back.
        static constexpr unsigned char kPeriods[8] = {0, 8, 8, 9, 8, 10, 12, 14};
        for (unsigned k = 0; k < 8; ++k)
            out[k] = from[k];
        std::size_t back = kPeriods[distance];
        std::memcpy(out + 8, out + 8 - back, 8);
        std::memcpy(out + 16, out + 16 - back, 8);
    } else {
        for (unsigned k = 0; k < length; ++k)
            out[k] = from[k];
    }
}

// Reads the next stretch of input into window: at most the window's size
// and never past the unread bytes. Returns the count, 0 when the source
// ended early, negative when it failed (or answered with more than asked).
std::ptrdiff_t readInput(LzssSource& source, unsigned char* window, std::uint64_t unread) {
    const std::size_t wanted = unread < kInputWindow ? static_cast<std::size_t>(unread) : kInputWindow;
    const std::ptrdiff_t got = source.read(window, wanted);
    return got > static_cast<std::ptrdiff_t>(wanted) ? -1 : got;
}

class MemorySource final : public LzssSource {
public:
    MemorySource(const unsigned char* bytes, std::size_t size) : m_next(bytes), m_left(size) {}

    std::ptrdiff_t read(unsigned char* buffer, std::size_t capacity) override {
        const std::size_t count = capacity < m_left ? capacity : m_left;
        if (count != 0)
            std::memcpy(buffer, m_next, count);
        m_next += count;
        m_left -= count;
        return static_cast<std::ptrdiff_t>(count);
    }

private:
    const unsigned char* m_next;
    std::size_t m_left;
};

class MemorySink final : public LzssSink {
public:
    explicit MemorySink(unsigned char* destination) : m_out(destination) {}

    bool write(const unsigned char* bytes, std::size_t count) override {
        std::memcpy(m_out, bytes, count);
        m_out += count;
        return true;
    }

private:
    unsigned char* m_out;
};

} // namespace

LzssContext::LzssContext() : m_memory(std::make_unique<Memory>()) {}
LzssContext::~LzssContext() = default;
LzssContext::LzssContext(LzssContext&&) noexcept = default;
LzssContext& LzssContext::operator=(LzssContext&&) noexcept = default;

static_assert(kRingStart + LzssContext::kCarriedStateSize == kRingSize + kMirror,
              "the carried state is the ring's tail and its mirror");

LzssContext::CarriedState LzssContext::carriedState() const noexcept {
    CarriedState state;
    std::memcpy(state.data(), m_memory->ring + kRingStart, kCarriedStateSize);
    return state;
}

// Besides the ring, the reversed copy holds those of the bytes that a
// string's head can reach (up to kReversedEnd). Nothing else depends on
// them: the trees are rebuilt by every coding, and the ring bytes past the
// mirror are never written.
void LzssContext::setCarriedState(const CarriedState& state) noexcept {
    Memory& m = *m_memory;
    for (unsigned i = 0; i < kCarriedStateSize; ++i) {
        const unsigned x = kRingStart + i;
        m.ring[x] = state[i];
        if (x <= kReversedEnd)
            m.reversed[kReversedEnd - x] = state[i];
    }
}

std::array<unsigned char, kBlockHeaderSize> lzssBlockHeader(std::uint32_t unpacked, std::uint32_t packed) {
    std::array<unsigned char, kBlockHeaderSize> header{};
    std::memcpy(header.data(), "ZA->", 4);
    storeLe32(header.data() + kUnpackedOffset, unpacked);
    storeLe32(header.data() + kPackedSizeOffset, packed);
    return header;
}

LzssEncodeResult encodeBlock(LzssContext& context, LzssSource& source, std::uint32_t length, LzssSink& sink) {
    LzssEncodeResult result;
    if (length == 0)
        return result;
    Memory& m = LzssContextAccess::memory(context);
    const LzssContext::CarriedState before = context.carriedState();
    auto fail = [&](LzssEncodeStatus status) {
        context.setCarriedState(before);
        result.status = status;
        result.packedSize = 0;
        return result;
    };

    Encoder encoder(m);
    encoder.resetTrees();

    // The input window: next..end not yet taken, unread bytes still at the
    // source.
    unsigned char* const window = m.buffers.encoder.input;
    const unsigned char* next = window;
    const unsigned char* end = window;
    std::uint64_t unread = length;
    // Takes the source's next piece into the window: coded when it came,
    // else the status the coding ends with.
    auto refill = [&] {
        const std::ptrdiff_t got = readInput(source, window, unread);
        if (got <= 0)
            return got == 0 ? LzssEncodeStatus::sourceShort : LzssEncodeStatus::sourceFailed;
        next = window;
        end = window + got;
        unread -= static_cast<std::uint64_t>(got);
        return LzssEncodeStatus::coded;
    };

    std::memset(m.ring, ' ', kRingStart);
    std::memset(m.reversed + (kReversedEnd - kRingStart + 1), ' ', kRingStart);
    unsigned s = 0;
    unsigned r = kRingStart;
    unsigned lookahead = length < kMaxMatch ? length : kMaxMatch;
    for (unsigned i = 0; i < lookahead; ++i) {
        if (next == end) {
            if (const LzssEncodeStatus status = refill(); status != LzssEncodeStatus::coded)
                return fail(status);
        }
        setRingByte(m, r + i, *next++);
    }

    for (unsigned i = 1; i <= kMaxMatch; ++i)
        encoder.insertNode(r - i);
    encoder.insertNode(r);

    // The block gathers in the output buffer, header first, and goes to the
    // sink a whole number of groups at a time.
    unsigned char* const output = m.buffers.encoder.output;
    std::memcpy(output, lzssBlockHeader(length, 0).data(), kBlockHeaderSize);
    std::uint64_t emitted = 0;
    bool sinkTook = true;
    unsigned char* flagByte = output + kBlockHeaderSize;
    unsigned char* out = flagByte + 1;
    unsigned flags = 0;
    unsigned mask = 1;
    // Codes the item at ring position at from a match, cut to the look-ahead;
    // returns the positions it covers.
    auto code = [&](unsigned at, unsigned matchPosition, unsigned matchLength) {
        if (matchLength > lookahead)
            matchLength = lookahead;
        if (matchLength < kMinMatch) {
            matchLength = 1;
            flags |= mask;
            *out++ = m.ring[at];
        } else {
            out[0] = static_cast<unsigned char>(matchPosition);
            out[1] = static_cast<unsigned char>(((matchPosition >> 4) & 0xF0) | (matchLength - kMinMatch));
            out += 2;
        }
        mask <<= 1;
        if (mask == 0x100) {
            *flagByte = static_cast<unsigned char>(flags);
            // Room for one more group, or the buffer goes out.
            if (static_cast<std::size_t>(out - output) > kOutputBuffer - kLargestGroup) [[unlikely]] {
                const auto count = static_cast<std::size_t>(out - output);
                sinkTook = sinkTook && sink.write(output, count);
                emitted += count;
                out = output;
            }
            flagByte = out++;
            flags = 0;
            mask = 1;
        }
        return matchLength;
    };
    // Positions left of the item being coded: at 0 the next item is due,
    // coded from the match of the insertion at r.
    unsigned remaining = 0;

    for (;;) {
        // While two bytes of the window remain, two positions at a time
        // where the second position's deletion and both insertions touch
        // trees other than the first insertion's: the second deletion and
        // ring byte then go first, and the two insertions descend side by
        // side.
        while (end - next >= 2) {
            if (remaining == 0)
                remaining = code(r, encoder.matchPosition, encoder.matchLength);
            --remaining;
            encoder.deleteNode(s);
            setRingByte(m, s, *next++);
            s = (s + 1) & kRingMask;
            unsigned last = r;
            r = (r + 1) & kRingMask;
            if (remaining != 0) {
                // Inside an item only the string's place counts: first try
                // after the last string's predecessor moved on by a byte.
                unsigned lastBefore = m.order[nodeOf(last)][kLeft];
                if (lastBefore != kNil && encoder.placeAfter(r, nodeOf((positionOf(lastBefore) + 1) & kRingMask)))
                    continue;
            }
            unsigned second = (r + 1) & kRingMask;
            if (m.ring[s] != m.ring[r] && m.ring[second] != m.ring[r]) {
                encoder.deleteNode(s);
                setRingByte(m, s, *next++);
                s = (s + 1) & kRingMask;
                encoder.insertPair(r, second);
                if (remaining == 0)
                    remaining = code(r, encoder.firstPosition, encoder.firstLength);
                --remaining;
                r = second;
            } else {
                encoder.insertNode(r);
            }
        }
        if (unread == 0)
            break;
        if (next != end) {
            // The window's last byte, more to come: one position alone.
            if (remaining == 0)
                remaining = code(r, encoder.matchPosition, encoder.matchLength);
            --remaining;
            encoder.deleteNode(s);
            setRingByte(m, s, *next++);
            s = (s + 1) & kRingMask;
            r = (r + 1) & kRingMask;
            encoder.insertNode(r);
        }
        if (!sinkTook)
            return fail(LzssEncodeStatus::sinkFailed);
        if (const LzssEncodeStatus status = refill(); status != LzssEncodeStatus::coded)
            return fail(status);
    }
    // At most one byte of input left, then the look-ahead drains.
    for (;;) {
        if (remaining == 0) {
            if (lookahead == 0)
                break;
            remaining = code(r, encoder.matchPosition, encoder.matchLength);
        }
        --remaining;
        encoder.deleteNode(s);
        if (next != end) {
            setRingByte(m, s, *next++);
            s = (s + 1) & kRingMask;
            r = (r + 1) & kRingMask;
            encoder.insertNode(r);
        } else {
            s = (s + 1) & kRingMask;
            r = (r + 1) & kRingMask;
            if (--lookahead != 0)
                encoder.insertNode(r);
        }
    }

    if (mask != 1) {
        *flagByte = static_cast<unsigned char>(flags);
    } else {
        // The group just opened holds nothing: drop its flag byte.
        out = flagByte;
    }
    const auto count = static_cast<std::size_t>(out - output);
    result.packedSize = emitted + count - kBlockHeaderSize;
    if (emitted == 0) {
        // The whole block is still here: its header goes out complete.
        storeLe32(output + kPackedSizeOffset, static_cast<std::uint32_t>(result.packedSize));
        result.headerComplete = true;
    }
    if (count != 0)
        sinkTook = sinkTook && sink.write(output, count);
    if (!sinkTook)
        return fail(LzssEncodeStatus::sinkFailed);
    result.status = LzssEncodeStatus::coded;
    return result;
}

std::int64_t encodeBlock(LzssContext& context, const unsigned char* source, unsigned char* destination,
                         std::uint32_t length) {
    if (length == 0) {
        std::memcpy(destination, lzssBlockHeader(0, 0).data(), kPackedSizeOffset);
        return -1;
    }
    MemorySource input(source, length);
    MemorySink output(destination);
    const LzssEncodeResult result = encodeBlock(context, input, length, output);
    // Only an input close to 4 GiB that does not compress can overflow the
    // 32-bit field; the returned length stays exact for the caller to see.
    storeLe32(destination + kPackedSizeOffset, static_cast<std::uint32_t>(result.packedSize));
    return static_cast<std::int64_t>(result.blockLength());
}

LzssBlockDecoder::LzssBlockDecoder(LzssContext& context, std::uint64_t blockLength, std::uint64_t expectedSize,
                                   LzssSink& sink)
    : m_memory(LzssContextAccess::memory(context)), m_sink(&sink), m_blockLength(blockLength),
      m_expected(expectedSize), m_window(m_memory.buffers.decoded), m_windowEnd(m_window + kDecodeWindow),
      m_out(m_window), m_flushed(m_window), m_limit(m_window) {
    setLimit();
}

LzssBlockDecoder::LzssBlockDecoder(LzssContext& context, std::uint64_t blockLength, std::uint64_t expectedSize,
                                   unsigned char* destination)
    : m_memory(LzssContextAccess::memory(context)), m_sink(nullptr), m_blockLength(blockLength),
      m_expected(expectedSize), m_window(destination), m_windowEnd(destination + expectedSize), m_out(m_window),
      m_flushed(m_window), m_limit(m_windowEnd) {}

LzssBlockDecoder::LzssBlockDecoder(LzssContext& context, const LzssCheckpoint& from, std::uint64_t blockLength,
                                   std::uint64_t expectedSize, LzssSink& sink)
    : LzssBlockDecoder(context, blockLength, expectedSize, sink) {
    m_headerHave = kBlockHeaderSize;
    const std::uint64_t streamEnd = kBlockHeaderSize + std::uint64_t{from.packedSize};
    const bool pairDue = (from.flags & 0x100) != 0 && (from.flags & 1) == 0;
    if (streamEnd > blockLength || from.unpackedSize != expectedSize || from.consumed < kBlockHeaderSize ||
        from.consumed > streamEnd || from.output > expectedSize || from.flags > 0xFFFF || from.pending < -1 ||
        from.pending > 0xFF || (from.pending >= 0 && !pairDue)) {
        m_headerRejected = true;
        m_failed = true;
        return;
    }
    m_packed = from.packedSize;
    m_streamLeft = streamEnd - from.consumed;
    m_flags = from.flags;
    m_pending = from.pending;
    // The window again holds the last 4096 bytes of output, its start a
    // multiple of 4096 into the output; the bytes before them, there only to
    // keep that start, are never read. Early on, the output so far and,
    // where it has not reached, the ring bytes the block started with.
    const std::uint64_t output = from.output;
    if (output < kRingSize) {
        const auto have = static_cast<unsigned>(output);
        for (unsigned j = 0; j < have; ++j)
            m_window[j] = from.ring[(kRingStart + j) & kRingMask];
        for (unsigned j = have; j < kMaxMatch; ++j)
            setRingByte(m_memory, kRingStart + j, from.ring[kRingStart + j]);
        m_out = m_window + have;
    } else {
        const auto into = static_cast<unsigned>(output % kRingSize);
        m_base = output - into - kRingSize;
        for (unsigned j = 0; j < kRingSize; ++j)
            m_window[into + j] = from.ring[(kRingStart + into + j) & kRingMask];
        m_out = m_window + into + kRingSize;
    }
    m_flushed = m_out;
    setLimit();
}

bool LzssBlockDecoder::checkpoint(LzssCheckpoint& at) {
    if (m_headerHave < kBlockHeaderSize || m_failed || m_finished || !flush())
        return false;
    const std::uint64_t total = produced();
    at.output = total;
    at.consumed = kBlockHeaderSize + std::uint64_t{m_packed} - m_streamLeft;
    at.unpackedSize = static_cast<std::uint32_t>(m_expected);
    at.packedSize = m_packed;
    at.flags = m_flags;
    at.pending = m_pending;
    for (unsigned p = 0; p < kRingSize; ++p)
        at.ring[p] = initialRingByte(m_memory, p);
    // The window holds at least the last 4096 bytes of output.
    const std::uint64_t kept = total < kRingSize ? total : kRingSize;
    for (std::uint64_t j = total - kept; j < total; ++j)
        at.ring[(kRingStart + j) & kRingMask] = m_window[j - m_base];
    return true;
}

// The window's end, or the end of the expected output if that comes first.
void LzssBlockDecoder::setLimit() {
    const std::uint64_t room = m_expected - produced();
    const auto windowRoom = static_cast<std::size_t>(m_windowEnd - m_out);
    m_limit = room < windowRoom ? m_out + room : m_windowEnd;
}

bool LzssBlockDecoder::flush() {
    if (m_sink != nullptr && m_out != m_flushed && !m_sinkFailed) {
        if (!m_sink->write(m_flushed, static_cast<std::size_t>(m_out - m_flushed))) {
            m_sinkFailed = true;
            m_failed = true;
            return false;
        }
    }
    m_flushed = m_out;
    return !m_sinkFailed;
}

// Passes the output on and moves the last 4096 to 8191 bytes of it to the
// window's start, keeping the window's start a multiple of 4096 bytes into
// the output: a match then finds its bytes at the same distance back, and
// the write position's place in the ring follows from the window alone.
bool LzssBlockDecoder::slide() {
    if (!flush())
        return false;
    const auto used = static_cast<std::size_t>(m_out - m_window);
    const std::size_t keep = kRingSize + used % kRingSize;
    if (used > keep) {
        std::memmove(m_window, m_out - keep, keep);
        m_base += used - keep;
        m_out = m_window + keep;
        m_flushed = m_out;
    }
    setLimit();
    return true;
}

bool LzssBlockDecoder::feed(const unsigned char* bytes, std::size_t count) {
    if (m_failed || m_finished)
        return false;
    if (m_headerHave < kBlockHeaderSize) {
        const std::size_t wanted = kBlockHeaderSize - m_headerHave;
        const std::size_t take = count < wanted ? count : wanted;
        if (take != 0)
            std::memcpy(m_header + m_headerHave, bytes, take);
        m_headerHave += static_cast<unsigned>(take);
        bytes += take;
        count -= take;
        if (m_headerHave < kBlockHeaderSize)
            return true;
        const std::uint32_t unpacked = loadLe32(m_header + kUnpackedOffset);
        const std::uint32_t packed = loadLe32(m_header + kPackedSizeOffset);
        if (m_blockLength < kBlockHeaderSize || packed > m_blockLength - kBlockHeaderSize || unpacked != m_expected) {
            m_headerRejected = true;
            m_failed = true;
            return false;
        }
        m_streamLeft = packed;
        m_packed = packed;
    }
    const std::size_t take = count < m_streamLeft ? count : static_cast<std::size_t>(m_streamLeft);
    m_streamLeft -= take;
    decode(bytes, bytes + take);
    return !m_failed;
}

bool LzssBlockDecoder::finish() {
    if (m_finished)
        return false;
    m_finished = true;
    if (m_headerHave < kBlockHeaderSize || m_headerRejected)
        return false;
    const bool passed = flush();
    // Leave ring positions kRingStart.. as the plain ring decoder would: the
    // encoder's next call may read those it does not rewrite. The window
    // holds at least the last 4096 bytes of output.
    const std::uint64_t total = produced();
    for (std::uint64_t j = 0; j < kMaxMatch && j < total; ++j) {
        const std::uint64_t at = j + (total - 1 - j) / kRingSize * kRingSize;
        setRingByte(m_memory, static_cast<unsigned>(kRingStart + j), m_window[at - m_base]);
    }
    return passed && !m_failed && m_streamLeft == 0 && m_pending < 0 && total == m_expected;
}

// Whole groups while the piece holds a full one (17 bytes, and 8 more for
// the word copies below to read ahead) and the window has room for eight
// longest matches plus the overshoot of the word copies: no bounds checks
// inside. When the window is what runs out, its output goes on and it
// slides. A group is taken as its matches, each preceded by the run of
// literals before it, which is a single word copy from the stream however
// long it is (eight literals, a common group in game data, are one copy and
// no match). A match is three word copies from the output; only matches
// closer than 8 bytes or reaching back before the output take a path of
// their own.
void LzssBlockDecoder::decodeGroups(const unsigned char*& inRef, const unsigned char* const inEnd) {
    constexpr std::ptrdiff_t kGroupInput = 17 + 8;
    constexpr std::ptrdiff_t kGroupOutput = 8 * kMaxMatch + 8;
    const unsigned char* in = inRef;
    unsigned char* const window = m_window;
    unsigned char* out = m_out;
    for (;;) {
        unsigned char* const limit = m_limit;
        while (inEnd - in >= kGroupInput && limit - out >= kGroupOutput) {
            unsigned flags = *in++;
            unsigned matches = ~flags & 0xFFu;
            unsigned item = 0;
            while (matches != 0) {
                unsigned at = static_cast<unsigned>(std::countr_zero(matches));
                matches &= matches - 1;
                std::size_t literals = at - item;
                item = at + 1;
                std::memcpy(out, in, 8);
                in += literals;
                out += literals;
                std::size_t position = in[0] | (in[1] & 0xF0u) << 4;
                std::size_t length = (in[1] & 0x0Fu) + kMinMatch;
                auto produced = static_cast<std::size_t>(out - window);
                std::size_t distance = ((kRingStart + produced - position - 1) & kRingMask) + 1;
                in += 2;
                if (distance < 8 || distance > produced) {
                    copyMatch(m_memory, window, out, static_cast<unsigned>(position), static_cast<unsigned>(length),
                              true);
                } else {
                    const unsigned char* from = out - distance;
                    std::memcpy(out, from, 8);
                    std::memcpy(out + 8, from + 8, 8);
                    std::memcpy(out + 16, from + 16, 8);
                }
                out += length;
            }
            std::size_t literals = 8 - item;
            std::memcpy(out, in, 8);
            in += literals;
            out += literals;
        }
        m_out = out;
        if (inEnd - in < kGroupInput)
            break;
        // The expected size is near: the rest item by item.
        if (static_cast<std::uint64_t>(m_windowEnd - out) >= m_expected - produced())
            break;
        if (!slide())
            break;
        out = m_out;
    }
    inRef = in;
}

// Item by item as the piece allows, resuming where the last piece left off
// (inside a group, or between the two bytes of a match pair); whole groups
// the fast way from each group's start on.
void LzssBlockDecoder::decode(const unsigned char* in, const unsigned char* const inEnd) {
    while (!m_failed) {
        if ((m_flags & 0x100) == 0) {
            decodeGroups(in, inEnd);
            if (m_failed)
                return;
            if (in == inEnd)
                return;
            m_flags = *in++ | 0xFF00u;
        }
        if (m_flags & 1) {
            if (in == inEnd)
                return;
            if (produced() == m_expected) {
                m_overrun = true;
                m_failed = true;
                return;
            }
            if (m_out == m_windowEnd && !slide())
                return;
            *m_out++ = *in++;
        } else {
            if (m_pending < 0) {
                if (in == inEnd)
                    return;
                m_pending = *in++;
            }
            if (in == inEnd)
                return;
            const unsigned b0 = static_cast<unsigned>(m_pending);
            const unsigned b1 = *in++;
            m_pending = -1;
            const unsigned position = b0 | (b1 & 0xF0u) << 4;
            unsigned length = (b1 & 0x0Fu) + kMinMatch;
            const std::uint64_t room = m_expected - produced();
            if (length > room) {
                m_overrun = true;
                length = static_cast<unsigned>(room);
            }
            if (static_cast<std::size_t>(m_windowEnd - m_out) < length && !slide())
                return;
            copyMatch(m_memory, m_window, m_out, position, length, false);
            m_out += length;
            if (m_overrun) {
                m_failed = true;
                return;
            }
        }
        m_flags >>= 1;
    }
}

bool decodeBlock(LzssContext& context, const unsigned char* block, std::size_t blockLength,
                 unsigned char* destination, std::size_t capacity) {
    LzssBlockDecoder decoder(context, blockLength, capacity, destination);
    decoder.feed(block, blockLength);
    return decoder.finish();
}

LzssContext& processLzssContext() {
    static LzssContext context;
    return context;
}

std::int64_t encodeBlock(const unsigned char* source, unsigned char* destination, std::uint32_t length) {
    return encodeBlock(processLzssContext(), source, destination, length);
}

bool decodeBlock(const unsigned char* block, std::size_t blockLength, unsigned char* destination,
                 std::size_t capacity) {
    return decodeBlock(processLzssContext(), block, blockLength, destination, capacity);
}
