/*
 * zas.h - read and write .zas archives, the data archives of the game Tarrow.
 *
 * An archive is a 44-byte header, a file table and a directory table, then
 * every file's bytes back to back, each stored as it is or as one LZSS
 * block. Names inside an archive use the backslash: a directory's stored
 * name begins and ends with one ("\data\maps\", the top is "\"), a file has
 * a name ("harbour.map") and the index of its directory.
 *
 * Conventions
 *   - Every function returns a status: ZAS_OK (0) or one of the ZAS_E_*
 *     codes below; zas_strerror() gives its message. The exceptions are
 *     zas_strerror() and the version queries, which cannot fail.
 *   - Out of memory is ZAS_E_NOMEM; no C++ exception ever leaves the
 *     library.
 *   - Paths given to the library are the system's, with one addition that
 *     matches the zas program: '/' and '\' both separate components (on
 *     POSIX a backslash therefore never stands inside a name). Paths in
 *     events use the backslash, as the zas program prints them.
 *   - Names given to look-up and writing functions are stored names or
 *     paths below the archive's root, with either separator and with or
 *     without the leading one: "data/maps/harbour.map" and
 *     "\data\maps\harbour.map" are the same entry.
 *   - Dates are UTC. A date is given as milliseconds since 1970-01-01
 *     (ZAS_NO_DATE: none recorded) and reported both that way and as the
 *     eight stored fields.
 *   - Sizes of files are below 4 GiB: the format's sizes are 32-bit.
 *
 * Threads
 *   The library keeps no global state: every buffer, codec memory and option
 *   belongs to a handle. Different handles may be used from different
 *   threads at once. One zas_archive may be shared by several threads for
 *   zas_get_info, zas_entry_count, zas_dir_count, zas_stat_index,
 *   zas_dir_stat_index, zas_name_locate, zas_check_unchanged,
 *   zas_fopen_index, zas_read_index and zas_test_index, and for reading
 *   distinct zas_file streams (archive bytes are read at offsets, never
 *   through a shared position); everything else on a zas_archive
 *   (zas_set_option, zas_set_event_callback, zas_extract_all,
 *   zas_extract_index, zas_close) needs it to itself. A zas_file and a
 *   zas_writer are used by one thread at a time. Events are delivered on the
 *   thread that called the function, before it returns; zas_writer_finish
 *   may code on several threads of its own, but it too reports on the
 *   caller's thread only.
 *
 * Cancelling
 *   An event callback that returns non-zero stops the call that reported
 *   it: the call cleans up (a partly written archive or extracted file is
 *   removed; nothing more is deleted in move mode) and returns
 *   ZAS_E_CANCELLED. Long calls report ZAS_EVENT_HEARTBEAT at least every
 *   megabyte of data so that a cancel takes effect soon.
 */
#ifndef ZAS_H
#define ZAS_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZAS_STATIC)
#    define ZAS_API
#  elif defined(ZAS_BUILDING_LIBRARY)
#    define ZAS_API __declspec(dllexport)
#  else
#    define ZAS_API __declspec(dllimport)
#  endif
#elif defined(__GNUC__)
#  define ZAS_API __attribute__((visibility("default")))
#else
#  define ZAS_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version ---------------------------------------------------------- */

#define ZAS_VERSION_MAJOR 1
#define ZAS_VERSION_MINOR 4
#define ZAS_VERSION_PATCH 0
#define ZAS_VERSION_NUMBER (ZAS_VERSION_MAJOR * 10000 + ZAS_VERSION_MINOR * 100 + ZAS_VERSION_PATCH)
#define ZAS_VERSION_STRING "1.4.0"

/* The version of the library in use, as ZAS_VERSION_NUMBER and
 * ZAS_VERSION_STRING give it for the header compiled against. */
ZAS_API unsigned zas_version_number(void);
ZAS_API const char *zas_version_string(void);

/* ---- Status ----------------------------------------------------------- */

enum {
    ZAS_OK = 0,
    ZAS_E_INVALID = 1,        /* a null handle or pointer, an unknown option or flag, a bad value */
    ZAS_E_NOMEM = 2,          /* out of memory */
    ZAS_E_OPEN = 3,           /* a file or directory could not be opened, or is not of the kind needed */
    ZAS_E_NOT_ARCHIVE = 4,    /* the file is not an archive of this format */
    ZAS_E_VERSION = 5,        /* an archive of another format version (zas_probe tells which) */
    ZAS_E_DAMAGED = 6,        /* the archive's header or tables are damaged */
    ZAS_E_ENTRY_DAMAGED = 7,  /* an entry's stored bytes are missing or do not decode to its size */
    ZAS_E_NOT_FOUND = 8,      /* no such entry, or no such source */
    ZAS_E_INDEX = 9,          /* an index past the last entry */
    ZAS_E_READ = 10,          /* reading failed */
    ZAS_E_WRITE = 11,         /* writing failed */
    ZAS_E_CREATE = 12,        /* the archive (or an output file) could not be created */
    ZAS_E_EXISTS = 13,        /* the archive exists and ZAS_WRITE_EXCLUSIVE was given */
    ZAS_E_NAME = 14,          /* a name the archive cannot hold, or that would not extract again */
    ZAS_E_TOO_LARGE = 15,     /* a file of 4 GiB or more, or a table past the format's limits */
    ZAS_E_CANCELLED = 16,     /* an event callback asked to stop */
    ZAS_E_STATE = 17,         /* not allowed now, e.g. adding to a writer that has finished */
    ZAS_E_INCOMPLETE = 18,    /* some entries were not extracted; the events say which and why */
    ZAS_E_CHANGED = 19,       /* the archive changed on disk since it was opened */
    ZAS_E_INTERNAL = 20       /* a fault of the library itself */
};

/* The message for a status, in English; never null. */
ZAS_API const char *zas_strerror(int status);

/* ---- Dates ------------------------------------------------------------ */

#define ZAS_NO_DATE INT64_MIN

/* A date as the archive stores it: the eight fields of a Windows SYSTEMTIME,
 * in UTC. Year 0 records no date. */
typedef struct zas_date {
    uint16_t year, month, day_of_week, day, hour, minute, second, milliseconds;
} zas_date;

/* ---- Events ----------------------------------------------------------- */

/* What a long call reports as it goes. Fields an event does not use are 0
 * or null; every pointer is valid only during the callback. */
typedef struct zas_event {
    int type;         /* ZAS_EVENT_* */
    int reason;       /* ZAS_REASON_* for events that have one, else 0 */
    const char *path; /* the path or name the event is about */
    uint64_t index;   /* the entry's index (file-table order) */
    uint64_t size;    /* the entry's size */
    uint64_t done;    /* bytes handled before this entry; files found so far while gathering */
    uint64_t total;   /* bytes in all */
} zas_event;

/* Return 0 to go on, anything else to cancel the call (ZAS_E_CANCELLED). */
typedef int (*zas_event_fn)(const zas_event *event, void *user);

enum {
    /* Any long call */
    ZAS_EVENT_HEARTBEAT = 1,          /* still working: a chance to cancel */

    /* zas_writer_add_tree */
    ZAS_EVENT_GATHER_BEGIN = 10,      /* path: the source */
    ZAS_EVENT_GATHER_FILE = 11,       /* done: files found so far */
    ZAS_EVENT_SOURCE_LEFT_OUT = 12,   /* path: what is left out of the archive; reason */

    /* zas_writer_finish */
    ZAS_EVENT_WRITE_FILE = 20,        /* path: the source; index, size, done, total; before the file is read */
    /* ZAS_EVENT_SOURCE_LEFT_OUT also: a file that could not be read as it was found */
    ZAS_EVENT_SOURCE_KEPT = 21,       /* move mode: path is not deleted; reason */
    ZAS_EVENT_REMOVE_FAILED = 22,     /* move mode: path could not be deleted; reason FILE or DIRECTORY */

    /* zas_extract_all, zas_extract_index */
    ZAS_EVENT_EXTRACT_BEGIN = 30,     /* path: the destination as output paths begin with it */
    ZAS_EVENT_DIR_SKIPPED = 31,       /* path: the stored directory name; reason */
    ZAS_EVENT_DIR_CREATE_FAILED = 32, /* path: the level that could not be created */
    ZAS_EVENT_DIR_DATE_FAILED = 33,   /* path: the level whose date could not be set */
    ZAS_EVENT_EXTRACT_FILE = 34,      /* path: the stored path; index, size, done, total; before the entry */
    ZAS_EVENT_FILE_SKIPPED = 35,      /* path: the stored path (the file name alone for DIRECTORY_SKIPPED); reason */
    ZAS_EVENT_FILE_DAMAGED = 36,      /* path: the output path; nothing written */
    ZAS_EVENT_FILE_WRITE_FAILED = 37, /* path: the output path; nothing left behind */
    ZAS_EVENT_FILE_DATE_FAILED = 38,  /* path: the output path; the file is extracted */
    ZAS_EVENT_FILE_EXTRACTED = 39     /* path: the output path */
};

enum {
    /* ZAS_EVENT_SOURCE_LEFT_OUT while gathering */
    ZAS_REASON_BACKSLASH = 1,       /* its name holds a backslash */
    ZAS_REASON_UNSAFE_NAME = 2,     /* its name would not extract again on this system */
    ZAS_REASON_DIRECTORY_LINK = 3,  /* a link to a directory: not followed */
    ZAS_REASON_NOT_REGULAR = 4,     /* a fifo, socket or device */
    ZAS_REASON_DANGLING_LINK = 5,   /* a link that leads to no file */
    ZAS_REASON_TOO_LARGE = 6,       /* 4 GiB or more */
    ZAS_REASON_PATH_TOO_LONG = 7,   /* a directory the system refuses for its path's length */
    ZAS_REASON_CANNOT_LIST = 8,     /* a directory that could not be listed */
    ZAS_REASON_NO_SOURCE = 9,       /* the source itself does not exist */
    ZAS_REASON_NOT_DIRECTORY = 10,  /* the source itself is not a directory */
    ZAS_REASON_SOURCE_UNLISTABLE = 11, /* the source itself could not be listed */
    /* ZAS_EVENT_SOURCE_LEFT_OUT while writing */
    ZAS_REASON_CANNOT_OPEN = 20,
    ZAS_REASON_CANNOT_READ = 21,
    ZAS_REASON_CHANGED_SIZE = 22,
    /* ZAS_EVENT_SOURCE_KEPT */
    ZAS_REASON_IS_ARCHIVE = 30,     /* the source is the archive just written */
    ZAS_REASON_CHANGED = 31,        /* the source changed after it was read */
    /* ZAS_EVENT_REMOVE_FAILED */
    ZAS_REASON_FILE = 40,
    ZAS_REASON_DIRECTORY = 41,
    /* ZAS_EVENT_DIR_SKIPPED, ZAS_EVENT_FILE_SKIPPED */
    ZAS_REASON_DIRECTORY_SKIPPED = 50 /* the file's directory was skipped */
    /* and ZAS_REASON_UNSAFE_NAME, ZAS_REASON_PATH_TOO_LONG */
};

/* ---- Reading ---------------------------------------------------------- */

typedef struct zas_archive zas_archive;
typedef struct zas_file zas_file;

/* What the header says. */
typedef struct zas_info {
    double version;          /* the format version the header records (1.2 for this format) */
    uint32_t key;            /* the key the header and tables are scrambled with */
    uint32_t format_code;
    uint64_t file_count;
    uint64_t dir_count;
    uint64_t data_offset;    /* where the first entry's bytes begin */
    uint64_t archive_size;   /* the archive's length in bytes */
} zas_info;

/* Opens an archive for reading: reads and checks the header and both
 * tables, keeps the file open for the entries' bytes. Fails with
 * ZAS_E_OPEN (not a regular file, or it cannot be opened; a fifo is refused
 * without waiting on it), ZAS_E_NOT_ARCHIVE, ZAS_E_VERSION or ZAS_E_DAMAGED.
 * flags: 0. */
ZAS_API int zas_open(const char *path, unsigned flags, zas_archive **archive);
/* Closes the archive; a null archive is ignored. Streams still open on it
 * must be closed first. */
ZAS_API int zas_close(zas_archive *archive);

/* Reads just the header of the file at path: ZAS_OK when it is an archive of
 * this format (info filled in), ZAS_E_VERSION with info->version telling the
 * version found, ZAS_E_NOT_ARCHIVE or ZAS_E_OPEN. The tables are not
 * checked: zas_open does that. info may be null. */
ZAS_API int zas_probe(const char *path, zas_info *info);
ZAS_API int zas_get_info(const zas_archive *archive, zas_info *info);

/* Whether the archive's file still has the size and last-write time it had
 * when it was opened: ZAS_OK, or ZAS_E_CHANGED. */
ZAS_API int zas_check_unchanged(const zas_archive *archive);

/* File entries, in file-table order; directory entries, in directory-table
 * order. */
ZAS_API int zas_entry_count(const zas_archive *archive, uint64_t *count);
ZAS_API int zas_dir_count(const zas_archive *archive, uint64_t *count);

/* zas_stat flags */
#define ZAS_STAT_COMPRESSED 0x1u    /* stored as an LZSS block */
#define ZAS_STAT_HAS_DATE 0x2u      /* mtime_ms holds its date */
#define ZAS_STAT_NO_DIRECTORY 0x4u  /* its directory index names no directory entry */
#define ZAS_STAT_UNSAFE 0x8u        /* extraction on this system refuses it (its name or its directory's) */

typedef struct zas_stat {
    uint64_t index;        /* in file-table order */
    const char *name;      /* the stored file name: "harbour.map" */
    const char *directory; /* its directory's stored name: "\data\maps\" ("" without one) */
    const char *path;      /* directory and name: "\data\maps\harbour.map" */
    uint64_t size;         /* bytes when extracted */
    uint64_t stored_size;  /* bytes in the archive */
    uint64_t offset;       /* where its stored bytes begin in the archive */
    int64_t mtime_ms;      /* UTC milliseconds since 1970, when ZAS_STAT_HAS_DATE */
    zas_date date;         /* the date as stored */
    uint32_t dir_index;    /* the directory index as stored */
    uint32_t flags;        /* ZAS_STAT_* */
} zas_stat;

typedef struct zas_dir_stat {
    uint64_t index;   /* in directory-table order: the index files refer to it by */
    const char *name; /* the stored name: "\data\maps\" */
    int64_t mtime_ms; /* when has_date */
    zas_date date;
    uint32_t has_date;
    uint32_t unsafe;  /* extraction on this system refuses it */
} zas_dir_stat;

/* The strings stay valid until the archive is closed. */
ZAS_API int zas_stat_index(const zas_archive *archive, uint64_t index, zas_stat *stat);
ZAS_API int zas_dir_stat_index(const zas_archive *archive, uint64_t index, zas_dir_stat *stat);

/* zas_name_locate flags */
#define ZAS_FL_NOCASE 0x1u /* letter case does not count (A-Z as a-z), as the archive orders its names */

/* The index of the file entry with this path. Where several entries match,
 * the last one in table order: the one extraction leaves on disk. With
 * ZAS_FL_NOCASE an entry of exactly that spelling is preferred to one that
 * differs in letter case. ZAS_E_NOT_FOUND when there is none. */
ZAS_API int zas_name_locate(const zas_archive *archive, const char *name, unsigned flags, uint64_t *index);

/* Reads an entry whole into buffer (capacity at least its size); *got
 * receives its size. ZAS_E_ENTRY_DAMAGED when its stored bytes do not give
 * exactly that; the buffer then holds nothing useful. */
ZAS_API int zas_read_index(const zas_archive *archive, uint64_t index, void *buffer, size_t capacity,
                           size_t *got);
/* Decodes an entry and drops the bytes: ZAS_OK or ZAS_E_ENTRY_DAMAGED. */
ZAS_API int zas_test_index(const zas_archive *archive, uint64_t index);

/* A stream over one entry, in memory that does not grow with the entry's
 * size. A compressed entry is decoded as it is read; a seek backwards or
 * forwards within what was decoded resumes from the nearest checkpoint the
 * stream keeps (see ZAS_OPT_SEEK_INTERVAL), so any read costs at most one
 * interval of decoding beyond its own bytes once the stream has passed that
 * point. */
ZAS_API int zas_fopen_index(const zas_archive *archive, uint64_t index, zas_file **file);
/* Reads up to capacity bytes at the stream's position: *got is 0 at the
 * end. Never yields more than the entry's size in all. A damaged block is
 * ZAS_E_ENTRY_DAMAGED for every read whose bytes reach past the point where
 * the block turns out unsound, and for a read that reaches the entry's end
 * unless the whole block is sound; reads that end before the damage return
 * their bytes. */
ZAS_API int zas_fread(zas_file *file, void *buffer, size_t capacity, size_t *got);
#define ZAS_SEEK_SET 0
#define ZAS_SEEK_CUR 1
#define ZAS_SEEK_END 2
/* Moves the position; a position past the end reads nothing. */
ZAS_API int zas_fseek(zas_file *file, int64_t offset, int whence);
ZAS_API int zas_ftell(const zas_file *file, uint64_t *position);
ZAS_API int zas_fclose(zas_file *file);

/* zas_set_option options of a zas_archive */
enum {
    /* Bytes of output between two checkpoints of a stream over a compressed
     * entry (default 65536, at least 4096). */
    ZAS_OPT_SEEK_INTERVAL = 1,
    /* The most a stream spends on checkpoints (default 4 MiB; each takes
     * about 4 KiB). When a stream reaches it, it keeps every other
     * checkpoint and doubles its interval. */
    ZAS_OPT_SEEK_MEMORY = 2
    /* ZAS_OPT_THREADS (below, since 1.4) also applies: the threads that
     * create and write files ahead of zas_extract_all's own; 0 (default):
     * one per core, 1: none. The events, the files and their dates are the
     * same for any number. */
};
ZAS_API int zas_set_option(zas_archive *archive, int option, int64_t value);
ZAS_API int zas_set_event_callback(zas_archive *archive, zas_event_fn callback, void *user);

typedef struct zas_extract_counts {
    uint64_t extracted;
    uint64_t failed;
} zas_extract_counts;

/* Extracts every entry under destination ("" or null: the current
 * directory), as `zas -x` does: directories first, with their dates, then
 * each file, each written beside its final name and renamed into place only
 * when whole; every name that would lead outside the destination or that
 * this system's packing could not have stored is skipped, as are damaged
 * entries; at the end the directories are dated again. Returns ZAS_OK when
 * every entry was extracted, ZAS_E_INCOMPLETE when some were not (events
 * say which and why), or an error that stopped the pass. counts may be
 * null. */
ZAS_API int zas_extract_all(zas_archive *archive, const char *destination, zas_extract_counts *counts);
/* Extracts one entry the same way, creating and dating its directory's
 * levels. ZAS_E_INCOMPLETE when it was skipped or could not be written. */
ZAS_API int zas_extract_index(zas_archive *archive, uint64_t index, const char *destination);

/* ---- Writing ---------------------------------------------------------- */

typedef struct zas_writer zas_writer;

/* zas_writer_open flags */
#define ZAS_WRITE_EXCLUSIVE 0x1u /* fail with ZAS_E_EXISTS if path exists, at open and when finishing */

/* Starts an archive to be written at path. Nothing is created until
 * zas_writer_finish: the entries are recorded as they are added, and the
 * files they come from are read when it runs. */
ZAS_API int zas_writer_open(const char *path, unsigned flags, zas_writer **writer);

/* zas_writer_set_option options */
enum {
    ZAS_OPT_COMPRESS = 10, /* 1: every non-empty file as an LZSS block; 0 (default): stored */
    /* Threads that list directories, read small stored files or code
     * compressed ones ahead of the writer; 0 (default): one per core. */
    ZAS_OPT_THREADS = 11,
    /* The seed of the key generator; the same seed, entries and dates give
     * the same archive, byte for byte. Default: the clock. */
    ZAS_OPT_SEED = 12,
    /* 1: once the archive is safely on disk, delete every source file that
     * was stored whole and has not changed since it was read, then remove
     * the directories zas_writer_add_tree gathered, deepest first. */
    ZAS_OPT_MOVE = 13,
    /* 1: flush the archive and its directory to the disk before finishing
     * (always so with ZAS_OPT_MOVE). */
    ZAS_OPT_DURABLE = 14
};
ZAS_API int zas_writer_set_option(zas_writer *writer, int option, int64_t value);
ZAS_API int zas_writer_set_event_callback(zas_writer *writer, zas_event_fn callback, void *user);

/* zas_writer_add_tree flags */
#define ZAS_TREE_EXCLUDE_PATH 0x1u /* names start below source instead of with it */

/* Adds every directory and file under source, in the order `zas -a` stores
 * them (by path, letter case folded). Without ZAS_TREE_EXCLUDE_PATH, source
 * must be a relative path without "." or ".." components and becomes part
 * of every name, below a top entry "\"; with it, source may be any path and
 * is not stored. What cannot be stored is left out (ZAS_EVENT_SOURCE_LEFT_OUT).
 * A source that does not exist or is no directory adds its top entry alone
 * and returns ZAS_E_NOT_FOUND or ZAS_E_OPEN. */
ZAS_API int zas_writer_add_tree(zas_writer *writer, const char *source, unsigned flags);
/* Adds a directory entry. A directory that files are added to is entered
 * on its own (without a date) when it has not been added before. */
ZAS_API int zas_writer_add_dir(zas_writer *writer, const char *name, int64_t mtime_ms);
/* Adds a file whose bytes are read from source_path when the archive is
 * written, with its last-write time as the date. */
ZAS_API int zas_writer_add_path(zas_writer *writer, const char *name, const char *source_path);
/* Adds a file from memory, copied now. */
ZAS_API int zas_writer_add_buffer(zas_writer *writer, const char *name, const void *data, size_t size,
                                  int64_t mtime_ms);
/* Entries recorded so far. */
ZAS_API int zas_writer_counts(const zas_writer *writer, uint64_t *files, uint64_t *dirs);

/* Writes the archive: to a new file beside path, which takes path's name
 * (replacing a file there, whose permissions it keeps) only once it is
 * complete; on any failure nothing is left behind and a file already at path
 * stays as it was. Files that cannot be read as they were found are left
 * out (ZAS_EVENT_SOURCE_LEFT_OUT). ZAS_E_NOT_FOUND when no file could be
 * stored: no archive is written. Then, with ZAS_OPT_MOVE, deletes the
 * sources. Call once. */
ZAS_API int zas_writer_finish(zas_writer *writer);
/* Frees the writer; one that did not finish writes nothing. */
ZAS_API int zas_writer_free(zas_writer *writer);

#ifdef __cplusplus
}
#endif

#endif /* ZAS_H */
