#include "archive/Lzss.h"

#include "archive/Endian.h"

#include <bit>
#include <cstring>

// The encoder keeps one binary search tree of ring positions per first byte,
// ordered by the 18-byte string that starts at each position. The exact byte
// stream depends on the shape of those trees (which candidate is met first on
// the way down wins a tie), so insertion and deletion follow the classic
// LZSS tree operations; the speed comes from how a step is done, and from
// skipping a descent only where its outcome is known beforehand:
//   - links are 16-bit and the whole working memory is about 34 KiB, so it
//     stays in the first-level data cache;
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
//     the writes a case does without sent to a junk slot; only the walk to
//     the predecessor past its second step is a loop;
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
constexpr std::size_t kPackedOffset = 8;

// One set for the whole program: ring bytes a call does not rewrite keep what
// the previous call (encoder or decoder) left there, zero at program start.
// About 30 KiB: ring, both child links of a node side by side, parents, all
// indexed by node number.
struct WorkingMemory {
    alignas(64) unsigned char ring[kRingBytes];
    // The ring back to front: reversed[kReversedEnd - x] = ring[x] for x up
    // to kReversedEnd. Eight bytes loaded from it come out as a number that
    // orders like the bytes they hold, with no byte swap in the tree walk.
    unsigned char reversed[kReversedEnd + 1];
    std::uint16_t child[kJunk + 1][2];
    std::uint16_t parent[kJunk + 1];
};

WorkingMemory g_memory;

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
void setRingByte(unsigned x, unsigned char c) {
    WorkingMemory& m = g_memory;
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
std::uint64_t headOf(unsigned node) {
    std::uint64_t value;
    std::memcpy(&value, g_memory.reversed + node, sizeof value);
    if constexpr (std::endian::native == std::endian::big)
        value = byteSwap(value);
    return value;
}

class Encoder {
public:
    unsigned matchPosition = 0;
    unsigned matchLength = 0;
    // How far back the last full-length match stood.
    unsigned repeatDistance = 1;
    // The first match of insertPair.
    unsigned firstPosition = 0;
    unsigned firstLength = 0;

    void resetTrees() {
        WorkingMemory& m = g_memory;
        for (unsigned i = kRootBase; i < kRootBase + 256; ++i)
            m.child[i][kRight] = kNil;
        m.child[kNil][kRight] = kNil;
        for (unsigned i = 0; i < kRingSize; ++i)
            m.parent[nodeOf(i)] = kNil;
    }

    // Inserts the string at ring position r into its tree and leaves the
    // longest match met on the way in matchPosition / matchLength. An equal
    // 18-byte string already in the tree is replaced by r.
    void insertNode(unsigned r) {
        WorkingMemory& m = g_memory;
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
        m.child[self][kLeft] = kNil;
        m.child[self][kRight] = kNil;
        unsigned best = 0;
        unsigned bestPosition = 0;
        // The two numbers whose order decided the last side taken; right
        // from the root.
        std::uint64_t keyOrder = 1;
        std::uint64_t candidateOrder = 0;
        unsigned next = m.child[p][kRight];
        // Bytes 1..8 of the new string, as a number that orders like them.
        const std::uint64_t keyHead = headOf(self);
        while (next != kNil) {
            p = next;
            // Both links of p and the head of the string at p load side by
            // side; most steps are decided by the heads alone.
            unsigned leftLink = m.child[p][kLeft];
            unsigned rightLink = m.child[p][kRight];
            std::uint64_t candidateHead = headOf(p);
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
            m.child[p][side] = link(self);
            m.parent[self] = link(p);
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
    static bool sameString(unsigned r, unsigned q) {
        const unsigned char* key = g_memory.ring + r;
        const unsigned char* twin = g_memory.ring + q;
        std::uint64_t differ = (loadLittle64(key) ^ loadLittle64(twin)) |
                               (loadLittle64(key + 8) ^ loadLittle64(twin + 8)) |
                               ((loadLittle64(key + 10) ^ loadLittle64(twin + 10)) >> 48);
        return differ == 0;
    }

    void begin(Walk& w, unsigned r, bool afterFullMatch) {
        WorkingMemory& m = g_memory;
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
        m.child[w.self][kLeft] = kNil;
        m.child[w.self][kRight] = kNil;
        w.keyHead = headOf(w.self);
        w.next = m.child[w.p][kRight];
    }

    // One step of a walk; a walk that has ended stays as it is (node kNil
    // has no links).
    static void step(Walk& w) {
        WorkingMemory& m = g_memory;
        unsigned node = w.next;
        bool active = node != kNil;
        unsigned leftLink = m.child[node][kLeft];
        unsigned rightLink = m.child[node][kRight];
        std::uint64_t candidateHead = headOf(node);
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
        WorkingMemory& m = g_memory;
        matchPosition = positionOf(w.bestNode);
        matchLength = w.best;
        if (!w.equal) {
            // The side the walk left p by, found again: p is the root (the
            // tree was empty) or holds a different string.
            unsigned side = kRight;
            if (w.p < kRootBase) {
                std::uint64_t keyOrder = w.keyHead;
                std::uint64_t candidateOrder = headOf(w.p);
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
            m.child[w.p][side] = link(w.self);
            m.parent[w.self] = link(w.p);
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
        WorkingMemory& m = g_memory;
        unsigned up = m.parent[p];
        m.parent[r] = link(up);
        m.child[r][kLeft] = m.child[p][kLeft];
        m.child[r][kRight] = m.child[p][kRight];
        m.parent[m.child[p][kLeft]] = link(r);
        m.parent[m.child[p][kRight]] = link(r);
        m.child[up][m.child[up][kRight] == p ? kRight : kLeft] = link(r);
        m.parent[p] = kNil;
    }

    void deleteNode(unsigned position) {
        WorkingMemory& m = g_memory;
        const unsigned p = nodeOf(position);
        unsigned up = m.parent[p];
        if (up == kNil)
            return;
        unsigned left = m.child[p][kLeft];
        unsigned right = m.child[p][kRight];
        bool both = (left != kNil) & (right != kNil);
        // With two children the predecessor takes p's place: the rightmost
        // node below the left child, usually one or two steps away. Without,
        // the walk starts from kNil, whose right link is kNil, and stays.
        unsigned start = choose(both, left, kNil);
        unsigned q = start;
        unsigned above = p;
        for (int k = 0; k < 2; ++k) {
            unsigned n = m.child[q][kRight];
            bool on = n != kNil;
            above = choose(on, q, above);
            q = choose(on, n, q);
        }
        for (unsigned n = m.child[q][kRight]; n != kNil; n = m.child[q][kRight]) {
            above = q;
            q = n;
        }
        bool walked = above != p;
        q = choose(both, q, choose(right == kNil, left, right));
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
unsigned char initialRingByte(unsigned position) {
    return position < kRingStart ? static_cast<unsigned char>(' ') : g_memory.ring[position];
}

// Copies the match of length bytes at ring position position to out, where
// out - destination bytes of the block's output precede it.
void copyMatch(unsigned char* destination, unsigned char* out, unsigned position, unsigned length, bool slack) {
    std::size_t produced = static_cast<std::size_t>(out - destination);
    // The ring position the write pointer stands on, and how far back the
    // match starts; 0 means a full ring back.
    std::size_t distance = ((kRingStart + produced - position - 1) & kRingMask) + 1;
    if (distance > produced) {
        // Reaches back before this block's first byte.
        for (unsigned k = 0; k < length; ++k) {
            // (out + k) - distance, not out[k - distance]: the index would wrap.
            out[k] = distance > produced + k ? initialRingByte((position + k) & kRingMask)
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

} // namespace

std::int64_t encodeBlock(const unsigned char* source, unsigned char* destination, std::uint32_t length) {
    WorkingMemory& m = g_memory;
    Encoder encoder;
    encoder.resetTrees();

    std::memcpy(destination, "ZA->", 4);
    storeLe32(destination + kUnpackedOffset, length);

    std::memset(m.ring, ' ', kRingStart);
    std::memset(m.reversed + (kReversedEnd - kRingStart + 1), ' ', kRingStart);
    unsigned s = 0;
    unsigned r = kRingStart;
    unsigned lookahead = length < kMaxMatch ? length : kMaxMatch;
    if (lookahead == 0)
        return -1;
    for (unsigned i = 0; i < lookahead; ++i)
        setRingByte(r + i, source[i]);
    const unsigned char* next = source + lookahead;
    const unsigned char* const end = source + length;

    for (unsigned i = 1; i <= kMaxMatch; ++i)
        encoder.insertNode(r - i);
    encoder.insertNode(r);

    unsigned char* const stream = destination + kBlockHeaderSize;
    unsigned char* flagByte = stream;
    unsigned char* out = stream + 1;
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
            flagByte = out++;
            flags = 0;
            mask = 1;
        }
        return matchLength;
    };
    // Positions left of the item being coded: at 0 the next item is due,
    // coded from the match of the insertion at r.
    unsigned remaining = 0;

    // While two source bytes remain, two positions at a time where the
    // second position's deletion and both insertions touch trees other than
    // the first insertion's: the second deletion and ring byte then go
    // first, and the two insertions descend side by side.
    while (end - next >= 2) {
        if (remaining == 0)
            remaining = code(r, encoder.matchPosition, encoder.matchLength);
        --remaining;
        encoder.deleteNode(s);
        setRingByte(s, *next++);
        s = (s + 1) & kRingMask;
        r = (r + 1) & kRingMask;
        unsigned second = (r + 1) & kRingMask;
        if (m.ring[s] != m.ring[r] && m.ring[second] != m.ring[r]) {
            encoder.deleteNode(s);
            setRingByte(s, *next++);
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
    for (;;) {
        if (remaining == 0) {
            if (lookahead == 0)
                break;
            remaining = code(r, encoder.matchPosition, encoder.matchLength);
        }
        --remaining;
        encoder.deleteNode(s);
        if (next != end) {
            setRingByte(s, *next++);
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
    std::uint64_t packed = static_cast<std::uint64_t>(out - stream);
    // Only an input close to 4 GiB that does not compress can overflow the
    // 32-bit field; the returned length stays exact for the caller to see.
    storeLe32(destination + kPackedOffset, static_cast<std::uint32_t>(packed));
    return static_cast<std::int64_t>(packed + kBlockHeaderSize);
}

bool decodeBlock(const unsigned char* block, std::size_t blockLength, unsigned char* destination,
                 std::size_t capacity) {
    if (blockLength < kBlockHeaderSize)
        return false;
    std::uint32_t unpacked = loadLe32(block + kUnpackedOffset);
    std::uint32_t packed = loadLe32(block + kPackedOffset);
    if (packed > blockLength - kBlockHeaderSize || unpacked != capacity)
        return false;

    const unsigned char* in = block + kBlockHeaderSize;
    const unsigned char* const inEnd = in + packed;
    unsigned char* out = destination;
    unsigned char* const outEnd = destination + capacity;

    // Whole groups while the stream holds a full one (17 bytes, and 8 more
    // for the word copies below to read ahead) and the destination has room
    // for eight longest matches plus the overshoot of the word copies: no
    // bounds checks inside. A group is taken as its matches, each preceded
    // by the run of literals before it, which is a single word copy from the
    // stream however long it is (eight literals, a common group in game
    // data, are one copy and no match). A match is three word copies from
    // the output; only matches closer than 8 bytes or reaching back before
    // the output take a path of their own.
    constexpr std::size_t kGroupInput = 17 + 8;
    constexpr std::size_t kGroupOutput = 8 * kMaxMatch + 8;
    while (static_cast<std::size_t>(inEnd - in) >= kGroupInput &&
           static_cast<std::size_t>(outEnd - out) >= kGroupOutput) {
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
            auto produced = static_cast<std::size_t>(out - destination);
            std::size_t distance = ((kRingStart + produced - position - 1) & kRingMask) + 1;
            in += 2;
            if (distance < 8 || distance > produced) {
                copyMatch(destination, out, static_cast<unsigned>(position), static_cast<unsigned>(length), true);
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

    // The rest item by item, as the stream allows: a group may be cut short
    // by the end of the stream, which ends the output.
    bool overrun = false;
    bool truncated = false;
    unsigned flags = 0;
    for (;;) {
        flags >>= 1;
        if ((flags & 0x100) == 0) {
            if (in == inEnd)
                break;
            flags = *in++ | 0xFF00u;
        }
        if (flags & 1) {
            if (in == inEnd)
                break;
            if (out == outEnd) {
                overrun = true;
                break;
            }
            *out++ = *in++;
        } else {
            if (in == inEnd)
                break;
            if (inEnd - in < 2) {
                truncated = true;
                break;
            }
            unsigned position = in[0] | (in[1] & 0xF0u) << 4;
            unsigned length = (in[1] & 0x0Fu) + kMinMatch;
            in += 2;
            std::size_t room = static_cast<std::size_t>(outEnd - out);
            if (length > room) {
                overrun = true;
                length = static_cast<unsigned>(room);
            }
            copyMatch(destination, out, position, length, false);
            out += length;
            if (overrun)
                break;
        }
    }

    // Leave ring positions kRingStart.. as the plain ring decoder would: the
    // encoder's next call may read those it does not rewrite.
    std::size_t produced = static_cast<std::size_t>(out - destination);
    for (std::size_t j = 0; j < kMaxMatch && j < produced; ++j)
        setRingByte(static_cast<unsigned>(kRingStart + j), destination[j + (produced - 1 - j) / kRingSize * kRingSize]);

    return !overrun && !truncated && produced == capacity;
}
