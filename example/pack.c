/*
 * pack - writes a compressed .zas archive of the files named on the command
 * line.
 *
 *   pack [-s SEED] ARCHIVE FILE...
 *
 * Each file is stored under its path as given ("maps/harbour.map" becomes
 * \maps\harbour.map), dated with its last-write time. With -s the
 * archive's key is drawn from SEED instead of the clock, so that the same
 * files with the same dates give the same archive, byte for byte.
 *
 * Build it against the installed library:
 *   cc pack.c $(pkg-config --cflags --libs zas) -o pack
 */
#include <zas.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Files that cannot be read when the archive is written are left out. */
static int report(const zas_event *event, void *user)
{
    (void)user;
    if (event->type == ZAS_EVENT_SOURCE_LEFT_OUT)
        fprintf(stderr, "pack: left out: %s\n", event->path);
    return 0;
}

static int pack(const char *archive, long long seed, char **files, int count)
{
    zas_writer *writer;
    int i;
    int status = zas_writer_open(archive, 0, &writer);

    if (status != ZAS_OK) {
        fprintf(stderr, "pack: %s: %s\n", archive, zas_strerror(status));
        return status;
    }
    zas_writer_set_event_callback(writer, report, NULL);
    status = zas_writer_set_option(writer, ZAS_OPT_COMPRESS, 1);
    if (status == ZAS_OK && seed >= 0)
        status = zas_writer_set_option(writer, ZAS_OPT_SEED, seed);
    for (i = 0; status == ZAS_OK && i < count; i++) {
        status = zas_writer_add_path(writer, files[i], files[i]);
        if (status != ZAS_OK)
            fprintf(stderr, "pack: %s: %s\n", files[i], zas_strerror(status));
    }
    if (status == ZAS_OK) {
        status = zas_writer_finish(writer);
        if (status != ZAS_OK)
            fprintf(stderr, "pack: %s: %s\n", archive, zas_strerror(status));
    }
    /* A writer that did not finish leaves nothing behind. */
    zas_writer_free(writer);
    return status;
}

int main(int argc, char **argv)
{
    long long seed = -1;
    int first = 1;

    if (argc > 2 && strcmp(argv[1], "-s") == 0) {
        char *end;
        seed = strtoll(argv[2], &end, 10);
        if (*argv[2] == '\0' || *end != '\0' || seed < 0 || seed > 4294967295LL) {
            fprintf(stderr, "pack: the seed is a number from 0 to 4294967295\n");
            return 2;
        }
        first = 3;
    }
    if (argc - first < 2) {
        fprintf(stderr, "usage: pack [-s SEED] ARCHIVE FILE...\n");
        return 2;
    }
    return pack(argv[first], seed, argv + first + 1, argc - first - 1) == ZAS_OK ? 0 : 1;
}
