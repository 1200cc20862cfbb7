/*
 * list - lists a .zas archive, or prints one of its entries.
 *
 *   list ARCHIVE         one line per file: its size, its size in the
 *                        archive, "compressed" or "stored", its date (UTC)
 *                        and its stored path
 *   list ARCHIVE NAME    the bytes of the entry NAME ("data/readme.txt";
 *                        letter case does not count) on standard output
 *
 * Build it against the installed library:
 *   cc list.c $(pkg-config --cflags --libs zas) -o list
 *
 * On Windows standard output is in text mode: a printed entry's line ends
 * come out as CR LF.
 */
#include <zas.h>

#include <stdio.h>

static int list(zas_archive *archive)
{
    uint64_t count;
    uint64_t index;
    int status = zas_entry_count(archive, &count);

    for (index = 0; status == ZAS_OK && index < count; index++) {
        zas_stat stat;
        char date[40] = "-";

        status = zas_stat_index(archive, index, &stat);
        if (status != ZAS_OK)
            break;
        if (stat.flags & ZAS_STAT_HAS_DATE)
            snprintf(date, sizeof date, "%04u-%02u-%02u %02u:%02u:%02u", (unsigned)stat.date.year,
                     (unsigned)stat.date.month, (unsigned)stat.date.day, (unsigned)stat.date.hour,
                     (unsigned)stat.date.minute, (unsigned)stat.date.second);
        printf("%10llu %10llu %-10s %-19s %s\n", (unsigned long long)stat.size,
               (unsigned long long)stat.stored_size, (stat.flags & ZAS_STAT_COMPRESSED) ? "compressed" : "stored",
               date, stat.path);
    }
    return status;
}

static int print(zas_archive *archive, const char *name)
{
    static char buffer[65536];
    uint64_t index;
    zas_file *file;
    size_t got;
    int status = zas_name_locate(archive, name, ZAS_FL_NOCASE, &index);

    if (status == ZAS_OK)
        status = zas_fopen_index(archive, index, &file);
    if (status != ZAS_OK)
        return status;
    while ((status = zas_fread(file, buffer, sizeof buffer, &got)) == ZAS_OK && got != 0) {
        if (fwrite(buffer, 1, got, stdout) != got) {
            status = ZAS_E_WRITE;
            break;
        }
    }
    zas_fclose(file);
    return status;
}

int main(int argc, char **argv)
{
    zas_archive *archive;
    int status;

    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: list ARCHIVE [NAME]\n");
        return 2;
    }
    status = zas_open(argv[1], 0, &archive);
    if (status != ZAS_OK) {
        fprintf(stderr, "list: %s: %s\n", argv[1], zas_strerror(status));
        return 1;
    }
    status = argc == 2 ? list(archive) : print(archive, argv[2]);
    zas_close(archive);
    if (status == ZAS_OK && fflush(stdout) != 0)
        status = ZAS_E_WRITE;
    if (status != ZAS_OK) {
        fprintf(stderr, "list: %s: %s\n", argv[argc - 1], zas_strerror(status));
        return 1;
    }
    return 0;
}
