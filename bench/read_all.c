/* Reads every entry of an archive into memory through the C API, as a tool
 * that loads game data would, and prints how many bytes it read. The
 * baseline it is timed against is `zas -x` of the same archive. */
#include <zas.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: read_all ARCHIVE\n");
        return 2;
    }
    zas_archive *archive = NULL;
    int status = zas_open(argv[1], 0, &archive);
    if (status != ZAS_OK) {
        fprintf(stderr, "%s: %s\n", argv[1], zas_strerror(status));
        return 1;
    }
    uint64_t count = 0;
    zas_entry_count(archive, &count);
    unsigned char *buffer = NULL;
    size_t capacity = 0;
    unsigned long long total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        zas_stat stat;
        zas_stat_index(archive, i, &stat);
        if (stat.size > capacity) {
            free(buffer);
            capacity = (size_t)stat.size;
            buffer = malloc(capacity);
            if (buffer == NULL)
                return 1;
        }
        size_t got = 0;
        status = zas_read_index(archive, i, buffer, capacity, &got);
        if (status != ZAS_OK) {
            fprintf(stderr, "%s: %s\n", stat.path, zas_strerror(status));
            return 1;
        }
        total += got;
    }
    free(buffer);
    zas_close(archive);
    printf("%llu bytes in %llu entries\n", total, (unsigned long long)count);
    return 0;
}
