"""Read and write .zas archives, the data archives of the game Tarrow.

zasfile works the way zipfile and tarfile do::

    import zasfile

    with zasfile.ZasFile("data.zas") as archive:
        for info in archive.infolist():
            print(info.filename, info.file_size, info.date_time)
        level = archive.read("data/maps/harbour.map")
        with archive.open("data/music/theme.ogg") as stream:
            stream.seek(4096)
            header = stream.read(64)
        archive.extractall("restored")

    with zasfile.ZasFile("mod.zas", "w", compress=True) as archive:
        archive.write("harbour.map", "data/maps/harbour.map")
        archive.writestr("data/readme.txt", "made with zasfile")

    zasfile.pack("data", "data.zas", compress=True)   # what `zas -a -c data data.zas` writes

Everything goes through libzas, the C library the zas program is built on,
loaded with ctypes: the archive is read and written by the same code as
`zas`, with the same checks, safety rules for extraction, and dates.

The library is looked for as $ZASFILE_LIBRARY when that is set, else as the
system's libzas.so.1 (libzas-1.dll on Windows).

Names inside an archive are shown as paths below its root with "/"
(``data/maps/harbour.map``); the archive stores them with backslashes
(``\\data\\maps\\harbour.map``, see ZasInfo.stored_name). Names given to
zasfile may use either separator, with or without a leading one, and are
looked up without regard to letter case (A-Z), an entry of exactly the given
spelling first, and of equal names the last, the one `zas -x` leaves on disk.
On POSIX, names are the file system's bytes decoded as os.fsdecode does.
"""
from __future__ import annotations

import _thread
import ctypes
import errno
import io
import os
import stat as _stat
import sys
import time
import warnings
import weakref
from ctypes import byref, c_size_t, c_uint64, c_void_p

from . import _native
from ._native import lib

# typing only for the checkers: importing it costs more than listing an
# archive.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO, Any, Callable, Iterable, List, Optional, Sequence, Tuple, Union

    StrPath = Union[str, "os.PathLike[str]"]
    DateTime = Tuple[int, int, int, int, int, int]

__all__ = ["BadZasFile", "ZasError", "ZasExtFile", "ZasFile", "ZasInfo", "ZasWarning", "is_zasfile",
           "library_version", "pack"]

class ZasError(Exception):
    """A failure the library reported that has no better-fitting built-in
    exception. ``status`` is the library's ZAS_E_* code."""

    def __init__(self, message: str, status: int = 0) -> None:
        super().__init__(message)
        self.status = status


class BadZasFile(ZasError):
    """The file is not a valid .zas archive (not one at all, another format
    version, damaged header or tables), or a member's stored bytes are
    missing or do not decode to its size. The message holds the library's."""


class ZasWarning(UserWarning):
    """Entries left out while packing or skipped while extracting, as the zas
    program warns about them."""


# ---- Names and paths --------------------------------------------------------

if os.name == "nt":
    # The library takes the system's ANSI code page, as its Win32 calls do.
    def _encode(text: Union[str, bytes]) -> bytes:
        return text if isinstance(text, bytes) else text.encode("mbcs")

    def _decode(raw: bytes) -> str:
        return raw.decode("mbcs", "replace")
else:
    _encode = os.fsencode  # type: ignore[assignment]
    _decode = os.fsdecode  # type: ignore[assignment]


def _path(path: Any) -> bytes:
    if isinstance(path, int) or hasattr(path, "read") or hasattr(path, "write"):
        raise TypeError("zasfile needs a path, not %s: the library opens the file itself" % type(path).__name__)
    return _encode(os.fspath(path))


def _shown(path: Any) -> str:
    value: Union[str, bytes] = os.fspath(path)
    return _decode(value) if isinstance(value, bytes) else value


def _error(status: int, what: Optional[str] = None) -> Exception:
    """The exception for a library status; what names the file or entry."""
    message = _native.strerror(status)
    text = "%s: %s" % (what, message) if what is not None else message
    if status in (_native.ZAS_E_NOT_ARCHIVE, _native.ZAS_E_VERSION, _native.ZAS_E_DAMAGED,
                  _native.ZAS_E_ENTRY_DAMAGED):
        return BadZasFile(text, status)
    if status == _native.ZAS_E_NOMEM:
        return MemoryError(text)
    if status in (_native.ZAS_E_INVALID, _native.ZAS_E_NAME, _native.ZAS_E_TOO_LARGE):
        return ValueError(text)
    if status == _native.ZAS_E_EXISTS:
        return FileExistsError(errno.EEXIST, message, what)
    if status in (_native.ZAS_E_OPEN, _native.ZAS_E_NOT_FOUND) and what is not None and not os.path.lexists(what):
        return FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), what)
    if status in (_native.ZAS_E_OPEN, _native.ZAS_E_READ, _native.ZAS_E_WRITE, _native.ZAS_E_CREATE):
        return OSError(text)
    return ZasError(text, status)


def _milliseconds(date_time: Union[DateTime, Sequence[int], float, None]) -> int:
    """A date as the library takes it: UTC milliseconds since 1970."""
    if date_time is None:
        return time.time_ns() // 1000000
    if isinstance(date_time, (int, float)):
        return round(date_time * 1000)
    import calendar
    return calendar.timegm(tuple(date_time[:6]) + (0, 0, 0)) * 1000


def _seed_from_environment() -> Optional[int]:
    """The key's seed as the zas program takes it from SOURCE_DATE_EPOCH:
    what strtoull makes of the whole text in base 10, truncated to 32 bits;
    None (the clock) when it is unset, empty or not such a number."""
    text = os.environ.get("SOURCE_DATE_EPOCH")
    if not text:
        return None
    at = 0
    while at < len(text) and text[at] in " \t\n\v\f\r":
        at += 1
    negative = at < len(text) and text[at] == "-"
    if at < len(text) and text[at] in "+-":
        at += 1
    digits = text[at:]
    if not digits or any(c not in "0123456789" for c in digits):
        return None
    value = int(digits)
    if value >= 1 << 64:
        value = (1 << 64) - 1
    elif negative:
        value = -value % (1 << 64)
    return value & 0xFFFFFFFF


# ---- Events -----------------------------------------------------------------

if TYPE_CHECKING:
    _Event = Tuple[int, int, str]


def _with_events(set_callback: Callable[..., Any], handle: int, call: Callable[[], Any],
                 keep: Sequence[int]) -> Tuple[int, List[_Event]]:
    """Runs call with an event callback on handle; returns its status and the
    events of the types in keep, as (type, reason, path). An exception in
    the callback, or Ctrl-C during the call, cancels it (the library removes
    what it was writing) and is raised once the library has cleaned up."""
    events: List[_Event] = []
    failure: List[BaseException] = []
    interrupted: List[Tuple[int, Any]] = []

    def callback(event_pointer: Any, user: Any) -> int:
        try:
            if interrupted:
                return 1
            event = event_pointer.contents
            if event.type in keep:
                events.append((event.type, event.reason, _decode(event.path or b"")))
            return 0
        except BaseException as error:  # noqa: B036 - handed to the caller below
            failure.append(error)
            return 1

    function = _native.EVENT_FN(callback)
    set_callback(handle, function, None)
    previous = _hold_interrupts(interrupted)
    try:
        status = int(call())
    finally:
        set_callback(handle, _native.EVENT_FN(), None)  # type: ignore[call-overload]
        if previous is not None:
            import signal
            signal.signal(signal.SIGINT, previous)
    if interrupted and previous is not None:
        previous(*interrupted[0])
    if failure:
        raise failure[0]
    return status, events


def _hold_interrupts(interrupted: List[Tuple[int, Any]]) -> Optional[Callable[[int, Any], Any]]:
    """Records Ctrl-C in interrupted instead of raising it, for the length of
    a library call: a KeyboardInterrupt raised where the interpreter enters
    the callback would be lost in ctypes, not cancel the call. Returns the
    handler to restore, or None where signals are not this thread's."""
    import signal
    try:
        previous = signal.getsignal(signal.SIGINT)
        if not callable(previous):
            return None
        signal.signal(signal.SIGINT, lambda number, frame: interrupted.append((number, frame)))
    except ValueError:  # not the main thread
        return None
    return previous


_LEFT_OUT_REASONS = {
    _native.ZAS_REASON_BACKSLASH: "a name in the archive cannot hold a backslash",
    _native.ZAS_REASON_UNSAFE_NAME: "its name could not be extracted again",
    _native.ZAS_REASON_DIRECTORY_LINK: "links to directories are not followed",
    _native.ZAS_REASON_NOT_REGULAR: "it is not a regular file",
    _native.ZAS_REASON_DANGLING_LINK: "its link leads to no file",
    _native.ZAS_REASON_TOO_LARGE: "files of 4 GiB or more cannot be stored",
    _native.ZAS_REASON_PATH_TOO_LONG: "its path is too long",
    _native.ZAS_REASON_CANNOT_LIST: "the directory could not be listed",
    _native.ZAS_REASON_CANNOT_OPEN: "it could not be opened",
    _native.ZAS_REASON_CANNOT_READ: "it could not be read",
    _native.ZAS_REASON_CHANGED_SIZE: "it changed size while being archived",
}


def _warn_left_out(events: List[_Event]) -> None:
    for _, reason, path in events:
        warnings.warn('Leaving out "%s": %s' % (path, _LEFT_OUT_REASONS.get(reason, "it cannot be stored")),
                      ZasWarning, stacklevel=3)


# ---- Members ----------------------------------------------------------------

class ZasInfo:
    """One file of an archive, as ZasFile.infolist() and getinfo() give it.

    filename       the path below the archive's root with "/": ``data/maps/harbour.map``
    stored_name    the path exactly as stored: ``\\data\\maps\\harbour.map``
    file_size      bytes when extracted
    compress_size  bytes in the archive
    date_time      the stored date (UTC) as a six-tuple like zipfile's:
                   (year, month, day, hour, minute, second); all 0 when none is stored
    mtime          the same instant as UTC seconds since 1970, with the
                   milliseconds; None when no date is stored
    index          the entry's place in the archive's file table
    data_offset    where its stored bytes begin in the archive
    """

    __slots__ = ("filename", "stored_name", "file_size", "compress_size", "date_time", "mtime", "index",
                 "data_offset", "_compressed", "_mtime_ms")

    def __init__(self, filename: str, file_size: int = 0, date_time: DateTime = (0, 0, 0, 0, 0, 0)) -> None:
        self.filename = filename.replace("\\", "/").lstrip("/")
        self.stored_name = "\\" + self.filename.replace("/", "\\")
        self.file_size = file_size
        self.compress_size = file_size
        self.date_time = date_time
        self._mtime_ms: Optional[int] = _milliseconds(date_time) if date_time[0] else None
        self.mtime: Optional[float] = None if self._mtime_ms is None else self._mtime_ms / 1000
        self.index = -1
        self.data_offset = 0
        self._compressed = False

    @classmethod
    def _from_stat(cls, stat: _native.zas_stat) -> "ZasInfo":
        info = cls.__new__(cls)
        stored = _decode(stat.path)
        info.stored_name = stored
        info.filename = (stored[1:] if stored.startswith("\\") else stored).replace("\\", "/")
        info.file_size = stat.size
        info.compress_size = stat.stored_size
        date = stat.date
        info.date_time = (date.year, date.month, date.day, date.hour, date.minute, date.second)
        flags = stat.flags
        if flags & _native.ZAS_STAT_HAS_DATE:
            milliseconds: int = stat.mtime_ms
            info._mtime_ms = milliseconds
            info.mtime = milliseconds / 1000
        else:
            info._mtime_ms = None
            info.mtime = None
        info.index = stat.index
        info.data_offset = stat.offset
        info._compressed = bool(flags & _native.ZAS_STAT_COMPRESSED)
        return info

    def is_compressed(self) -> bool:
        """Whether the entry is stored as an LZSS block."""
        return self._compressed

    def is_dir(self) -> bool:
        """Always False: the entries of infolist() are files (as in zipfile's API)."""
        return False

    def __repr__(self) -> str:
        return "<ZasInfo filename=%r file_size=%d compress_size=%d%s date_time=%r>" % (
            self.filename, self.file_size, self.compress_size, " compressed" if self._compressed else "",
            self.date_time)


def _address(buffer: Any) -> int:
    """The address of a writable buffer of at least one byte."""
    return ctypes.addressof(ctypes.c_char.from_buffer(buffer))


if sys.implementation.name == "cpython" and hasattr(ctypes, "pythonapi"):
    # A bytes object the library decodes straight into, as a C extension
    # fills one it has just made: no zeroed buffer to copy out of, which
    # would cost more than the decoding. It is filled before anyone else
    # can see it; a failed read drops it.
    _new_bytes = ctypes.pythonapi.PyBytes_FromStringAndSize
    _new_bytes.restype = ctypes.py_object
    _new_bytes.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]

    def _blank(size: int) -> Tuple[Any, int]:
        """A new object of size (at least 1) bytes to be filled, and its address."""
        block = _new_bytes(None, size)
        return block, ctypes.cast(block, c_void_p).value or 0

    def _filled(block: Any, count: int) -> bytes:
        return block if count == len(block) else block[:count]  # type: ignore[no-any-return]
else:
    def _blank(size: int) -> Tuple[Any, int]:
        block = bytearray(size)
        return block, _address(block)

    def _filled(block: Any, count: int) -> bytes:
        return bytes(memoryview(block)[:count])


class _EntryStream(io.RawIOBase):
    """The raw stream under ZasExtFile: one zas_file handle."""

    def __init__(self, owner: "ZasFile", handle: int, info: ZasInfo) -> None:
        super().__init__()
        self._owner: Optional[ZasFile] = owner
        self._handle: Optional[int] = handle
        self.info = info
        self._got = c_size_t()

    @property
    def name(self) -> str:
        return self.info.filename

    @property
    def mode(self) -> str:
        return "rb"

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def _live(self) -> int:
        if self._handle is None:
            raise ValueError("I/O operation on closed file.")
        return self._handle

    def _fail(self, status: int) -> Exception:
        return _error(status, self.info.filename)

    def readinto(self, buffer: Any) -> int:
        handle = self._live()
        with memoryview(buffer) as view:
            size = view.nbytes
        if size == 0:
            return 0
        status = lib.zas_fread(handle, _address(buffer), size, byref(self._got))
        if status:
            raise self._fail(status)
        return self._got.value

    def readall(self) -> bytes:
        handle = self._live()
        position = c_uint64()
        lib.zas_ftell(handle, byref(position))
        remaining = max(self.info.file_size - position.value, 0)
        if remaining == 0:
            return b""
        block, start = _blank(remaining)
        done = 0
        while done < remaining:
            status = lib.zas_fread(handle, start + done, remaining - done, byref(self._got))
            if status:
                raise self._fail(status)
            if self._got.value == 0:
                break
            done += self._got.value
        return _filled(block, done)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        handle = self._live()
        if whence not in (io.SEEK_SET, io.SEEK_CUR, io.SEEK_END):
            raise ValueError("invalid whence (%r, should be 0, 1 or 2)" % whence)
        status = lib.zas_fseek(handle, offset, whence)
        if status == _native.ZAS_E_INVALID:
            raise OSError(errno.EINVAL, "Invalid argument: a position before the start")
        if status:
            raise self._fail(status)
        return self.tell()

    def tell(self) -> int:
        position = c_uint64()
        lib.zas_ftell(self._live(), byref(position))
        return position.value

    def close(self) -> None:
        if self._handle is not None:
            handle, self._handle = self._handle, None
            lib.zas_fclose(handle)
            if self._owner is not None:
                self._owner._streams.discard(self)
                self._owner = None
        super().close()


class ZasExtFile(io.BufferedReader):
    """A member opened for reading by ZasFile.open(): a buffered binary file
    that streams the entry in fixed memory (a compressed one is decoded as it
    is read) and can seek anywhere; a seek backwards resumes from the nearest
    checkpoint the library keeps, not from the start."""

    def __init__(self, raw: _EntryStream, buffer_size: int = 65536) -> None:
        super().__init__(raw, buffer_size)
        self._info = raw.info

    @property
    def info(self) -> ZasInfo:
        """The member's ZasInfo."""
        return self._info


# ---- The archive ------------------------------------------------------------

class ZasFile:
    """A .zas archive opened for reading ("r") or writing ("w"; "x" fails
    when the file exists).

    file      the archive's path (str, bytes or os.PathLike); file objects are
              not taken, since the library opens the file itself
    compress  when writing: store every non-empty file as an LZSS block
    threads   when writing: threads that list, read and code ahead of the
              writer (default: one per core)

    Reading: namelist(), infolist(), getinfo(), read(), open(), extract(),
    extractall(), test(), printdir(). The methods that read members may be
    called from several threads at once; extract(), extractall() and close()
    need the archive to themselves.

    Writing: write(), writestr(), mkdir(). Nothing is written until close()
    (or the end of a with block), which writes the whole archive beside its
    name and renames it into place; an exception that leaves the with block
    discards it, and so does a writing ZasFile that is never closed (with a
    ResourceWarning). With SOURCE_DATE_EPOCH set, the archive's key is
    seeded from it as `zas` does, so the same entries and dates give the same
    bytes.
    """

    def __init__(self, file: StrPath, mode: str = "r", *, compress: bool = False,
                 threads: Optional[int] = None) -> None:
        self._archive: Optional[int] = None
        self._writer: Optional[int] = None
        self._infos: Optional[List[ZasInfo]] = None
        self._streams: "weakref.WeakSet[_EntryStream]" = weakref.WeakSet()
        self._lock = _thread.allocate_lock()
        if mode not in ("r", "w", "x"):
            raise ValueError("ZasFile requires mode 'r', 'w' or 'x'")
        encoded = _path(file)
        self.filename = _shown(file)
        self.mode = mode
        handle = c_void_p()
        if mode == "r":
            status = lib.zas_open(encoded, 0, byref(handle))
            if status:
                raise _error(status, self.filename)
            self._archive = handle.value
            return
        # Written at close: a relative name must not depend on the directory then.
        encoded = _encode(os.path.abspath(os.fsdecode(encoded)))
        status = lib.zas_writer_open(encoded, _native.ZAS_WRITE_EXCLUSIVE if mode == "x" else 0, byref(handle))
        if status:
            raise _error(status, self.filename)
        self._writer = writer = handle.value or 0
        try:
            _configure_writer(writer, compress, threads)
        except BaseException:
            self._discard()
            raise

    # -- context and closing --

    def __enter__(self) -> "ZasFile":
        return self

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is not None and self._writer is not None:
            self._discard()
        else:
            self.close()

    def __del__(self) -> None:
        try:
            if getattr(self, "_writer", None) is not None:
                warnings.warn("ZasFile %r was never closed: nothing was written" % self.filename,
                              ResourceWarning, source=self)
                self._discard()
            elif getattr(self, "_archive", None) is not None:
                self.close()
        except Exception:  # noqa: BLE001 - late in the interpreter's shutdown
            pass

    def __repr__(self) -> str:
        state = "closed" if self._archive is None and self._writer is None else "mode=%r" % self.mode
        return "<zasfile.ZasFile filename=%r %s>" % (self.filename, state)

    def close(self) -> None:
        """For reading: closes the archive and every stream still open on it.
        For writing: writes the archive; files that cannot be read by now
        are left out with a ZasWarning. Closing twice does nothing."""
        if self._archive is not None:
            for stream in list(self._streams):
                stream.close()
            handle, self._archive = self._archive, None
            lib.zas_close(handle)
        if self._writer is not None:
            writer = self._writer
            try:
                status, left_out = _with_events(lib.zas_writer_set_event_callback, writer,
                                                lambda: lib.zas_writer_finish(writer),
                                                (_native.ZAS_EVENT_SOURCE_LEFT_OUT,))
            finally:
                self._discard()
            _warn_left_out(left_out)
            if status == _native.ZAS_E_NOT_FOUND:
                raise ZasError("%s: none of the files could be read; nothing was written" % self.filename, status)
            if status:
                raise _error(status, self.filename)

    def _discard(self) -> None:
        if self._writer is not None:
            handle, self._writer = self._writer, None
            lib.zas_writer_free(handle)

    # -- reading --

    def _reading(self) -> int:
        if self._archive is None:
            if self._writer is not None:
                raise ValueError("%s is open for writing, not reading" % self.filename)
            raise ValueError("Attempt to use a closed ZasFile")
        return self._archive

    def _all(self) -> List[ZasInfo]:
        infos = self._infos
        if infos is None:
            archive = self._reading()
            count = c_uint64()
            lib.zas_entry_count(archive, byref(count))
            stat = _native.zas_stat()
            stat_index = lib.zas_stat_index
            make = ZasInfo._from_stat
            infos = []
            for index in range(count.value):
                status = stat_index(archive, index, byref(stat))
                if status:
                    raise _error(status, self.filename)
                infos.append(make(stat))
            self._infos = infos
        return infos

    def _locate(self, name: Union[str, ZasInfo]) -> ZasInfo:
        archive = self._reading()
        if isinstance(name, ZasInfo):
            infos = self._all()
            if 0 <= name.index < len(infos) and infos[name.index].stored_name == name.stored_name:
                return infos[name.index]
            name = name.filename
        index = c_uint64()
        status = lib.zas_name_locate(archive, _encode(name), _native.ZAS_FL_NOCASE, byref(index))
        if status == _native.ZAS_E_NOT_FOUND:
            raise KeyError("There is no item named %r in the archive" % name)
        if status:
            raise _error(status, name)
        return self._all()[index.value]

    def namelist(self) -> List[str]:
        """The members' names, in archive order."""
        return [info.filename for info in self._all()]

    def infolist(self) -> List[ZasInfo]:
        """A ZasInfo for each member, in archive order."""
        return list(self._all())

    def getinfo(self, name: str) -> ZasInfo:
        """The ZasInfo of a member; KeyError when there is none of that name."""
        return self._locate(name)

    def read(self, name: Union[str, ZasInfo]) -> bytes:
        """A member's bytes. BadZasFile when its stored bytes are damaged."""
        info = self._locate(name)
        size = info.file_size
        got = c_size_t()
        if size == 0:
            status = lib.zas_read_index(self._archive, info.index, None, 0, byref(got))
            if status:
                raise _error(status, info.filename)
            return b""
        block, address = _blank(size)
        status = lib.zas_read_index(self._archive, info.index, address, size, byref(got))
        if status:
            raise _error(status, info.filename)
        return _filled(block, size)

    def open(self, name: Union[str, ZasInfo], mode: str = "r") -> ZasExtFile:
        """A member as a readable, seekable binary file (see ZasExtFile)."""
        if mode not in ("r", "rb"):
            raise ValueError("open() requires mode 'r': members are written with write() or writestr()")
        info = self._locate(name)
        handle = c_void_p()
        status = lib.zas_fopen_index(self._archive, info.index, byref(handle))
        if status:
            raise _error(status, info.filename)
        raw = _EntryStream(self, handle.value or 0, info)
        with self._lock:
            self._streams.add(raw)
        return ZasExtFile(raw)

    def test(self) -> Optional[str]:
        """Decodes every member; the name of the first damaged one, or None."""
        archive = self._reading()
        for info in self._all():
            status = lib.zas_test_index(archive, info.index)
            if status == _native.ZAS_E_ENTRY_DAMAGED:
                return info.filename
            if status:
                raise _error(status, info.filename)
        return None

    def printdir(self, file: Optional[IO[str]] = None) -> None:
        """Prints a table of the members to sys.stdout or file."""
        print("%-46s %19s %12s" % ("File Name", "Modified (UTC)    ", "Size"), file=file)
        for info in self._all():
            modified = "%04d-%02d-%02d %02d:%02d:%02d" % info.date_time
            print("%-46s %s %12d" % (info.filename, modified, info.file_size), file=file)

    # -- extracting --

    _EXTRACTION_EVENTS = (_native.ZAS_EVENT_DIR_SKIPPED, _native.ZAS_EVENT_DIR_CREATE_FAILED,
                          _native.ZAS_EVENT_DIR_DATE_FAILED, _native.ZAS_EVENT_FILE_SKIPPED,
                          _native.ZAS_EVENT_FILE_DAMAGED, _native.ZAS_EVENT_FILE_WRITE_FAILED,
                          _native.ZAS_EVENT_FILE_DATE_FAILED, _native.ZAS_EVENT_FILE_EXTRACTED)

    def extract(self, member: Union[str, ZasInfo], path: Optional[StrPath] = None) -> Optional[str]:
        """Extracts one member below path (default: the current directory)
        exactly as `zas -x` would, creating and dating its directory's
        levels; returns the file's path, or None when it was skipped (with a
        ZasWarning) because its name is not safe to extract here."""
        info = self._locate(member)
        destination = _path(path) if path is not None else b""
        archive = self._reading()
        status, events = _with_events(lib.zas_set_event_callback, archive,
                                      lambda: lib.zas_extract_index(archive, info.index, destination),
                                      self._EXTRACTION_EVENTS)
        _report_extraction(status, events, self.filename)
        if not any(event[0] == _native.ZAS_EVENT_FILE_EXTRACTED for event in events):
            return None
        return os.path.join(_shown(path) if path is not None else os.curdir, *info.filename.split("/"))

    def extractall(self, path: Optional[StrPath] = None,
                   members: Optional[Iterable[Union[str, ZasInfo]]] = None) -> None:
        """Extracts every member (or those named) below path (default: the
        current directory), exactly as `zas -x` does: only below path, every
        file complete or not at all, directories and files with their
        stored dates. Entries whose names are not safe to extract here are
        skipped with one ZasWarning naming them; damaged members are left
        out and raise BadZasFile once the rest is extracted."""
        archive = self._reading()
        destination = _path(path) if path is not None else b""
        if members is None:
            status, events = _with_events(lib.zas_set_event_callback, archive,
                                          lambda: lib.zas_extract_all(archive, destination, None),
                                          self._EXTRACTION_EVENTS)
            _report_extraction(status, events, self.filename)
            return
        chosen = [self._locate(member) for member in members]
        everything: List[_Event] = []
        worst = _native.ZAS_OK
        for info in chosen:
            status, events = _with_events(lib.zas_set_event_callback, archive,
                                          lambda: lib.zas_extract_index(archive, info.index, destination),
                                          self._EXTRACTION_EVENTS)
            everything += events
            if status not in (_native.ZAS_OK, _native.ZAS_E_INCOMPLETE):
                _report_extraction(status, everything, self.filename)
            worst = worst or status
        _report_extraction(worst, everything, self.filename)

    # -- writing --

    def _writing(self) -> int:
        if self._writer is None:
            if self._archive is not None:
                raise ValueError("%s is open for reading, not writing" % self.filename)
            raise ValueError("Attempt to write to a closed ZasFile")
        return self._writer

    def write(self, filename: StrPath, arcname: Optional[str] = None) -> None:
        """Adds the file at filename, under arcname (default: filename without
        its drive and leading separators). Its bytes and last-write time are
        read when the archive is written, at close(). A directory adds a
        directory entry with its date, not its contents."""
        source = _shown(filename)
        if arcname is None:
            arcname = os.path.normpath(os.path.splitdrive(source)[1]).lstrip(os.sep + (os.altsep or ""))
        found = os.stat(source)
        with self._lock:
            writer = self._writing()
            if _stat.S_ISDIR(found.st_mode):
                status = lib.zas_writer_add_dir(writer, _encode(arcname), found.st_mtime_ns // 1000000)
            else:
                status = lib.zas_writer_add_path(writer, _encode(arcname), _encode(os.path.abspath(source)))
        if status == _native.ZAS_E_OPEN:
            raise OSError("%s: not a regular file that can be read" % source)
        if status:
            raise _error(status, arcname)

    def writestr(self, arcname: Union[str, ZasInfo], data: Union[bytes, bytearray, memoryview, str],
                 date_time: Union[DateTime, float, None] = None) -> None:
        """Adds a member from memory (str is encoded as UTF-8). date_time is a
        six-tuple in UTC, as ZasInfo.date_time gives it, or seconds since
        1970; by default the date of arcname when it is a ZasInfo, else now."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        elif not isinstance(data, bytes):
            data = bytes(data)
        if isinstance(arcname, ZasInfo):
            name = arcname.filename
            if date_time is None:
                milliseconds = arcname._mtime_ms if arcname._mtime_ms is not None else _native.ZAS_NO_DATE
            else:
                milliseconds = _milliseconds(date_time)
        else:
            name = arcname
            milliseconds = _milliseconds(date_time)
        with self._lock:
            status = lib.zas_writer_add_buffer(self._writing(), _encode(name), data, len(data), milliseconds)
        if status:
            raise _error(status, name)

    def mkdir(self, arcname: str) -> None:
        """Adds a directory entry dated now (the directories of added files
        are entered on their own, without a date)."""
        with self._lock:
            status = lib.zas_writer_add_dir(self._writing(), _encode(arcname), _milliseconds(None))
        if status:
            raise _error(status, arcname)


def _configure_writer(writer: int, compress: bool, threads: Optional[int]) -> None:
    options = [(_native.ZAS_OPT_COMPRESS, 1 if compress else 0)]
    if threads is not None:
        options.append((_native.ZAS_OPT_THREADS, threads))
    seed = _seed_from_environment()
    if seed is not None:
        options.append((_native.ZAS_OPT_SEED, seed))
    for option, value in options:
        status = lib.zas_writer_set_option(writer, option, value)
        if status:
            raise _error(status)


_SKIP_TEXT = {_native.ZAS_REASON_PATH_TOO_LONG: "its path is too long",
              _native.ZAS_REASON_DIRECTORY_SKIPPED: "its directory was skipped"}


def _report_extraction(status: int, events: List[_Event], archive: str) -> None:
    """Turns what an extraction reported into warnings and exceptions."""
    skipped = []
    damaged = []
    failed = []
    undated = []
    for kind, reason, path in events:
        if kind in (_native.ZAS_EVENT_DIR_SKIPPED, _native.ZAS_EVENT_FILE_SKIPPED):
            what = "directory" if kind == _native.ZAS_EVENT_DIR_SKIPPED else "file"
            skipped.append('%s "%s" (%s)' % (what, path, _SKIP_TEXT.get(reason, "its path is not safe to extract")))
        elif kind == _native.ZAS_EVENT_FILE_DAMAGED:
            damaged.append(path)
        elif kind in (_native.ZAS_EVENT_FILE_WRITE_FAILED, _native.ZAS_EVENT_DIR_CREATE_FAILED):
            failed.append(path)
        elif kind in (_native.ZAS_EVENT_FILE_DATE_FAILED, _native.ZAS_EVENT_DIR_DATE_FAILED):
            undated.append(path)
    if skipped:
        warnings.warn("%s: skipped %s" % (archive, ", ".join(skipped)), ZasWarning, stacklevel=3)
    if undated:
        warnings.warn("%s: could not set the date of %s" % (archive, ", ".join(undated)), ZasWarning,
                      stacklevel=3)
    if status not in (_native.ZAS_OK, _native.ZAS_E_INCOMPLETE):
        raise _error(status, archive)
    if damaged:
        raise BadZasFile("%s: %s; not extracted: %s" % (
            archive, _native.strerror(_native.ZAS_E_ENTRY_DAMAGED), ", ".join(damaged)),
            _native.ZAS_E_ENTRY_DAMAGED)
    if failed:
        raise OSError("%s: could not write %s" % (archive, ", ".join(failed)))


# ---- Functions --------------------------------------------------------------

def is_zasfile(filename: StrPath) -> bool:
    """Whether the file is a .zas archive of this format (its header alone is
    checked, as zipfile.is_zipfile does; ZasFile checks the tables too)."""
    try:
        return bool(lib.zas_probe(_path(filename), None) == _native.ZAS_OK)
    except (OSError, TypeError, ValueError):
        return False


def pack(source: StrPath, archive: StrPath, *, compress: bool = False, exclude_path: bool = False,
         threads: Optional[int] = None) -> int:
    """Packs the tree under source into archive exactly as `zas -a` does
    (`zas -a -c` with compress, `-p` with exclude_path): the same entries in
    the same order, the same odd files left out (each with a ZasWarning),
    and with SOURCE_DATE_EPOCH set, the same bytes. Without exclude_path,
    source must be a relative path without ".", ".." or empty components; it
    begins every stored name. Returns the number of files stored.

    FileNotFoundError or NotADirectoryError when source is no directory;
    ZasError when it holds no file, and then nothing is written."""
    writer_handle = c_void_p()
    archive_name = _shown(archive)
    status = lib.zas_writer_open(_path(archive), 0, byref(writer_handle))
    if status:
        raise _error(status, archive_name)
    writer = writer_handle.value or 0
    try:
        _configure_writer(writer, compress, threads)
        encoded_source = _path(source)
        flags = _native.ZAS_TREE_EXCLUDE_PATH if exclude_path else 0
        status, left_out = _with_events(lib.zas_writer_set_event_callback, writer,
                                        lambda: lib.zas_writer_add_tree(writer, encoded_source, flags),
                                        (_native.ZAS_EVENT_SOURCE_LEFT_OUT,))
        source_name = _shown(source)
        if status == _native.ZAS_E_INVALID:
            raise ValueError("the source directory's name is empty")
        if status == _native.ZAS_E_NAME:
            raise ValueError('%s: without exclude_path, the source must be a relative path without ".", ".." '
                             "or empty components" % source_name)
        if status == _native.ZAS_E_NOT_FOUND:
            raise FileNotFoundError(errno.ENOENT, "Source directory does not exist", source_name)
        if status == _native.ZAS_E_OPEN:
            if any(reason == _native.ZAS_REASON_NOT_DIRECTORY for _, reason, _ in left_out):
                raise NotADirectoryError(errno.ENOTDIR, "Source is not a directory", source_name)
            raise OSError("%s: the source directory could not be listed" % source_name)
        if status:
            raise _error(status, source_name)
        _warn_left_out(left_out)
        files = c_uint64()
        lib.zas_writer_counts(writer, byref(files), None)
        if files.value == 0:
            raise ZasError("%s: no files to archive; %s was not written" % (source_name, archive_name),
                           _native.ZAS_E_NOT_FOUND)
        status, left_out = _with_events(lib.zas_writer_set_event_callback, writer,
                                        lambda: lib.zas_writer_finish(writer),
                                        (_native.ZAS_EVENT_SOURCE_LEFT_OUT,))
        _warn_left_out(left_out)
        if status == _native.ZAS_E_NOT_FOUND:
            raise ZasError("%s: none of the files could be read; %s was not written" % (source_name, archive_name),
                           status)
        if status:
            raise _error(status, archive_name)
        return files.value - len(left_out)
    finally:
        lib.zas_writer_free(writer)


def library_version() -> str:
    """The version of the zas library in use, e.g. "1.4.0"."""
    return _native.version()
