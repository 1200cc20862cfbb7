"""libzas through ctypes: finding the library and declaring the functions of
<zas.h> that zasfile calls.

Every declaration here mirrors include/zas.h; the library's ABI is that of
its major version (the SONAME libzas.so.1), so a header change that is not an
addition would need a new major version there first.
"""
from __future__ import annotations

import ctypes
import os
import sys
from ctypes import (CFUNCTYPE, POINTER, Structure, c_char_p, c_double, c_int, c_int64, c_size_t, c_uint,
                    c_uint16, c_uint32, c_uint64, c_void_p)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterator

LIBRARY_VARIABLE = "ZASFILE_LIBRARY"
MAJOR_VERSION = 1

# Statuses
ZAS_OK = 0
ZAS_E_INVALID = 1
ZAS_E_NOMEM = 2
ZAS_E_OPEN = 3
ZAS_E_NOT_ARCHIVE = 4
ZAS_E_VERSION = 5
ZAS_E_DAMAGED = 6
ZAS_E_ENTRY_DAMAGED = 7
ZAS_E_NOT_FOUND = 8
ZAS_E_INDEX = 9
ZAS_E_READ = 10
ZAS_E_WRITE = 11
ZAS_E_CREATE = 12
ZAS_E_EXISTS = 13
ZAS_E_NAME = 14
ZAS_E_TOO_LARGE = 15
ZAS_E_CANCELLED = 16
ZAS_E_STATE = 17
ZAS_E_INCOMPLETE = 18
ZAS_E_CHANGED = 19
ZAS_E_INTERNAL = 20

ZAS_NO_DATE = -(2**63)

# Events
ZAS_EVENT_HEARTBEAT = 1
ZAS_EVENT_GATHER_BEGIN = 10
ZAS_EVENT_GATHER_FILE = 11
ZAS_EVENT_SOURCE_LEFT_OUT = 12
ZAS_EVENT_WRITE_FILE = 20
ZAS_EVENT_SOURCE_KEPT = 21
ZAS_EVENT_REMOVE_FAILED = 22
ZAS_EVENT_EXTRACT_BEGIN = 30
ZAS_EVENT_DIR_SKIPPED = 31
ZAS_EVENT_DIR_CREATE_FAILED = 32
ZAS_EVENT_DIR_DATE_FAILED = 33
ZAS_EVENT_EXTRACT_FILE = 34
ZAS_EVENT_FILE_SKIPPED = 35
ZAS_EVENT_FILE_DAMAGED = 36
ZAS_EVENT_FILE_WRITE_FAILED = 37
ZAS_EVENT_FILE_DATE_FAILED = 38
ZAS_EVENT_FILE_EXTRACTED = 39

# Reasons
ZAS_REASON_BACKSLASH = 1
ZAS_REASON_UNSAFE_NAME = 2
ZAS_REASON_DIRECTORY_LINK = 3
ZAS_REASON_NOT_REGULAR = 4
ZAS_REASON_DANGLING_LINK = 5
ZAS_REASON_TOO_LARGE = 6
ZAS_REASON_PATH_TOO_LONG = 7
ZAS_REASON_CANNOT_LIST = 8
ZAS_REASON_NO_SOURCE = 9
ZAS_REASON_NOT_DIRECTORY = 10
ZAS_REASON_SOURCE_UNLISTABLE = 11
ZAS_REASON_CANNOT_OPEN = 20
ZAS_REASON_CANNOT_READ = 21
ZAS_REASON_CHANGED_SIZE = 22
ZAS_REASON_DIRECTORY_SKIPPED = 50

ZAS_STAT_COMPRESSED = 0x1
ZAS_STAT_HAS_DATE = 0x2
ZAS_FL_NOCASE = 0x1
ZAS_WRITE_EXCLUSIVE = 0x1
ZAS_TREE_EXCLUDE_PATH = 0x1

ZAS_OPT_COMPRESS = 10
ZAS_OPT_THREADS = 11
ZAS_OPT_SEED = 12


class zas_date(Structure):
    _fields_ = [(name, c_uint16) for name in
                ("year", "month", "day_of_week", "day", "hour", "minute", "second", "milliseconds")]


class zas_event(Structure):
    _fields_ = [("type", c_int), ("reason", c_int), ("path", c_char_p), ("index", c_uint64), ("size", c_uint64),
                ("done", c_uint64), ("total", c_uint64)]


class zas_info(Structure):
    _fields_ = [("version", c_double), ("key", c_uint32), ("format_code", c_uint32), ("file_count", c_uint64),
                ("dir_count", c_uint64), ("data_offset", c_uint64), ("archive_size", c_uint64)]


class zas_stat(Structure):
    _fields_ = [("index", c_uint64), ("name", c_char_p), ("directory", c_char_p), ("path", c_char_p),
                ("size", c_uint64), ("stored_size", c_uint64), ("offset", c_uint64), ("mtime_ms", c_int64),
                ("date", zas_date), ("dir_index", c_uint32), ("flags", c_uint32)]


class zas_extract_counts(Structure):
    _fields_ = [("extracted", c_uint64), ("failed", c_uint64)]


EVENT_FN = CFUNCTYPE(c_int, POINTER(zas_event), c_void_p)

_PROTOTYPES = {
    "zas_version_number": (c_uint, []),
    "zas_version_string": (c_char_p, []),
    "zas_strerror": (c_char_p, [c_int]),
    "zas_open": (c_int, [c_char_p, c_uint, POINTER(c_void_p)]),
    "zas_close": (c_int, [c_void_p]),
    "zas_probe": (c_int, [c_char_p, POINTER(zas_info)]),
    "zas_entry_count": (c_int, [c_void_p, POINTER(c_uint64)]),
    "zas_stat_index": (c_int, [c_void_p, c_uint64, POINTER(zas_stat)]),
    "zas_name_locate": (c_int, [c_void_p, c_char_p, c_uint, POINTER(c_uint64)]),
    "zas_read_index": (c_int, [c_void_p, c_uint64, c_void_p, c_size_t, POINTER(c_size_t)]),
    "zas_test_index": (c_int, [c_void_p, c_uint64]),
    "zas_fopen_index": (c_int, [c_void_p, c_uint64, POINTER(c_void_p)]),
    "zas_fread": (c_int, [c_void_p, c_void_p, c_size_t, POINTER(c_size_t)]),
    "zas_fseek": (c_int, [c_void_p, c_int64, c_int]),
    "zas_ftell": (c_int, [c_void_p, POINTER(c_uint64)]),
    "zas_fclose": (c_int, [c_void_p]),
    "zas_set_event_callback": (c_int, [c_void_p, EVENT_FN, c_void_p]),
    "zas_extract_all": (c_int, [c_void_p, c_char_p, POINTER(zas_extract_counts)]),
    "zas_extract_index": (c_int, [c_void_p, c_uint64, c_char_p]),
    "zas_writer_open": (c_int, [c_char_p, c_uint, POINTER(c_void_p)]),
    "zas_writer_set_option": (c_int, [c_void_p, c_int, c_int64]),
    "zas_writer_set_event_callback": (c_int, [c_void_p, EVENT_FN, c_void_p]),
    "zas_writer_add_tree": (c_int, [c_void_p, c_char_p, c_uint]),
    "zas_writer_add_dir": (c_int, [c_void_p, c_char_p, c_int64]),
    "zas_writer_add_path": (c_int, [c_void_p, c_char_p, c_char_p]),
    "zas_writer_add_buffer": (c_int, [c_void_p, c_char_p, c_void_p, c_size_t, c_int64]),
    "zas_writer_counts": (c_int, [c_void_p, POINTER(c_uint64), POINTER(c_uint64)]),
    "zas_writer_finish": (c_int, [c_void_p]),
    "zas_writer_free": (c_int, [c_void_p]),
}


def _candidates() -> Iterator[str]:
    """Where the library is looked for, in order, when no variable names it.
    The later ones cost imports that the first one, which is enough for
    the usual installation, spares."""
    if os.name == "nt":
        soname = "libzas-%d.dll" % MAJOR_VERSION
    elif sys.platform == "darwin":
        soname = "libzas.%d.dylib" % MAJOR_VERSION
    else:
        soname = "libzas.so.%d" % MAJOR_VERSION
    yield soname
    # Installed under a prefix whose library folder the loader's cache does
    # not know yet (e.g. /usr/local before ldconfig ran): the library beside
    # the Python folder the package was installed into.
    parts = os.path.dirname(os.path.abspath(__file__)).split(os.sep)
    for at in range(len(parts) - 1, 0, -1):
        if parts[at - 1] == "lib" and parts[at].startswith("python3"):
            import sysconfig
            libdir = os.sep.join(parts[:at])
            multiarch = sysconfig.get_config_var("MULTIARCH")
            if multiarch:
                yield os.path.join(libdir, multiarch, soname)
            yield os.path.join(libdir, soname)
            break
    import ctypes.util
    found = ctypes.util.find_library("zas")
    if found:
        yield found


def load() -> ctypes.CDLL:
    """Loads libzas and declares its functions; ImportError when it cannot."""
    given = os.environ.get(LIBRARY_VARIABLE)
    tried = [given] if given else _candidates()
    library = None
    failures = []
    for name in tried:
        try:
            library = ctypes.CDLL(name)
            break
        except OSError as error:
            failures.append("%s (%s)" % (name, error))
    if library is None:
        hint = ("%s names a library that cannot be loaded" % LIBRARY_VARIABLE if given else
                "install the zas library (its Debian package, or cmake --install of the zas sources; "
                "after installing under /usr/local run ldconfig), or set %s to the library's path" % LIBRARY_VARIABLE)
        raise ImportError("zasfile: cannot load the zas library: %s. Tried: %s" % (hint, "; ".join(failures)))
    try:
        for function, (restype, argtypes) in _PROTOTYPES.items():
            declared = getattr(library, function)
            declared.restype = restype
            declared.argtypes = argtypes
    except AttributeError as error:
        raise ImportError("zasfile: %s is not a zas library of version %d: %s" %
                          (library._name, MAJOR_VERSION, error)) from None
    major = library.zas_version_number() // 10000
    if major != MAJOR_VERSION:
        raise ImportError("zasfile: %s is version %s of the zas library; zasfile needs version %d" %
                          (library._name, library.zas_version_string().decode(), MAJOR_VERSION))
    return library


lib = load()


def strerror(status: int) -> str:
    message: bytes = lib.zas_strerror(status)
    return message.decode("ascii", "replace")


def version() -> str:
    text: bytes = lib.zas_version_string()
    return text.decode("ascii", "replace")

