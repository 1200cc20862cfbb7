#include "LzssReference.h"

namespace {

constexpr int N = 4096;
constexpr int F = 18;
constexpr int THRESHOLD = 2;
constexpr int NIL = N;

unsigned char textBuf[N + F - 1];
int matchPosition;
int matchLength;
int lson[N + 1];
int rson[N + 257];
int dad[N + 1];

std::uint32_t readU32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

void writeU32(unsigned char* p, std::uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

void insertNode(int r) {
    int i = 0;
    int cmp = 1;
    unsigned char* key = &textBuf[r];
    int p = N + 1 + key[0];
    rson[r] = lson[r] = NIL;
    matchLength = 0;
    for (;;) {
        if (cmp >= 0) {
            if (rson[p] != NIL) {
                p = rson[p];
            } else {
                rson[p] = r;
                dad[r] = p;
                return;
            }
        } else {
            if (lson[p] != NIL) {
                p = lson[p];
            } else {
                lson[p] = r;
                dad[r] = p;
                return;
            }
        }
        for (i = 1; i < F; i++)
            if ((cmp = key[i] - textBuf[p + i]) != 0)
                break;
        if (i > matchLength) {
            matchPosition = p;
            if ((matchLength = i) >= F)
                break;
        }
    }
    dad[r] = dad[p];
    lson[r] = lson[p];
    rson[r] = rson[p];
    dad[lson[p]] = r;
    dad[rson[p]] = r;
    if (rson[dad[p]] == p)
        rson[dad[p]] = r;
    else
        lson[dad[p]] = r;
    dad[p] = NIL;
}

void deleteNode(int p) {
    int q;
    if (dad[p] == NIL)
        return;
    if (rson[p] == NIL) {
        q = lson[p];
    } else if (lson[p] == NIL) {
        q = rson[p];
    } else {
        q = lson[p];
        if (rson[q] != NIL) {
            do {
                q = rson[q];
            } while (rson[q] != NIL);
            rson[dad[q]] = lson[q];
            dad[lson[q]] = dad[q];
            lson[q] = lson[p];
            dad[lson[p]] = q;
        }
        rson[q] = rson[p];
        dad[rson[p]] = q;
    }
    dad[q] = dad[p];
    if (rson[dad[p]] == p)
        rson[dad[p]] = q;
    else
        lson[dad[p]] = q;
    dad[p] = NIL;
}

} // namespace

std::int64_t referenceEncodeBlock(const unsigned char* source, unsigned char* destination, std::uint32_t length) {
    int i, c, len, r, s, lastMatchLength, codeBufPtr;
    unsigned char codeBuf[17], mask;
    std::uint32_t packed = 0;
    std::uint32_t next = 0;

    for (i = N + 1; i <= N + 256; i++)
        rson[i] = NIL;
    for (i = 0; i < N; i++)
        dad[i] = NIL;

    destination[0] = 'Z';
    destination[1] = 'A';
    destination[2] = '-';
    destination[3] = '>';
    writeU32(destination + 4, length);
    unsigned char* out = destination + 12;

    codeBuf[0] = 0;
    codeBufPtr = mask = 1;
    s = 0;
    r = N - F;
    for (i = s; i < r; i++)
        textBuf[i] = ' ';
    for (len = 0; len < F && next < length; len++)
        textBuf[r + len] = source[next++];
    if (len == 0)
        return -1;
    for (i = 1; i <= F; i++)
        insertNode(r - i);
    insertNode(r);
    do {
        if (matchLength > len)
            matchLength = len;
        if (matchLength <= THRESHOLD) {
            matchLength = 1;
            codeBuf[0] |= mask;
            codeBuf[codeBufPtr++] = textBuf[r];
        } else {
            codeBuf[codeBufPtr++] = static_cast<unsigned char>(matchPosition);
            codeBuf[codeBufPtr++] =
                static_cast<unsigned char>(((matchPosition >> 4) & 0xF0) | (matchLength - (THRESHOLD + 1)));
        }
        if ((mask <<= 1) == 0) {
            for (i = 0; i < codeBufPtr; i++)
                *out++ = codeBuf[i];
            packed += static_cast<std::uint32_t>(codeBufPtr);
            codeBuf[0] = 0;
            codeBufPtr = mask = 1;
        }
        lastMatchLength = matchLength;
        for (i = 0; i < lastMatchLength && next < length; i++) {
            c = source[next++];
            deleteNode(s);
            textBuf[s] = static_cast<unsigned char>(c);
            if (s < F - 1)
                textBuf[s + N] = static_cast<unsigned char>(c);
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            insertNode(r);
        }
        while (i++ < lastMatchLength) {
            deleteNode(s);
            s = (s + 1) & (N - 1);
            r = (r + 1) & (N - 1);
            if (--len)
                insertNode(r);
        }
    } while (len > 0);
    if (codeBufPtr > 1) {
        for (i = 0; i < codeBufPtr; i++)
            *out++ = codeBuf[i];
        packed += static_cast<std::uint32_t>(codeBufPtr);
    }
    writeU32(destination + 8, packed);
    return std::int64_t{packed} + 12;
}

std::size_t referenceDecodeBlock(const unsigned char* block, unsigned char* destination) {
    int i, j, k, r, c;
    unsigned int flags;
    const unsigned char* in = block + 12;
    const unsigned char* end = in + readU32(block + 8);
    std::size_t produced = 0;

    for (i = 0; i < N - F; i++)
        textBuf[i] = ' ';
    r = N - F;
    flags = 0;
    for (;;) {
        if (((flags >>= 1) & 256) == 0) {
            if (in == end)
                break;
            c = *in++;
            flags = static_cast<unsigned int>(c) | 0xFF00;
        }
        if (flags & 1) {
            if (in == end)
                break;
            c = *in++;
            destination[produced++] = static_cast<unsigned char>(c);
            textBuf[r++] = static_cast<unsigned char>(c);
            r &= (N - 1);
        } else {
            if (in == end)
                break;
            i = *in++;
            if (in == end)
                break;
            j = *in++;
            i |= ((j & 0xF0) << 4);
            j = (j & 0x0F) + THRESHOLD;
            for (k = 0; k <= j; k++) {
                c = textBuf[(i + k) & (N - 1)];
                destination[produced++] = static_cast<unsigned char>(c);
                textBuf[r++] = static_cast<unsigned char>(c);
                r &= (N - 1);
            }
        }
    }
    return produced;
}
