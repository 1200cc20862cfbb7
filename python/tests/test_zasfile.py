"""zasfile against the zas program: archives of one read by the other, the
same bytes from pack and `zas -a`, streams, damage, hostile names, threads."""
import io
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import zasfile
from conftest import contents_of, make_tree

STORED_AND_COMPRESSED = pytest.mark.parametrize("compress", [False, True], ids=["stored", "compressed"])


def program_archive(run_zas, tree: Path, folder: Path, compress: bool) -> Path:
    """`zas -a [-c] data ARCHIVE`, run beside the tree."""
    archive = folder / ("program-c.zas" if compress else "program.zas")
    if not archive.exists():
        run_zas("-a", *(["-c"] if compress else []), "data", archive, cwd=tree.parent)
    return archive


def dates_of(tree: Path):
    """Every file and folder below tree with its last-write time in ms."""
    return {path.relative_to(tree).as_posix(): path.stat().st_mtime_ns // 1_000_000 for path in tree.rglob("*")}


@STORED_AND_COMPRESSED
def test_reads_every_member_of_the_programs_archives(run_zas, tree, tmp_path, compress):
    archive = program_archive(run_zas, tree, tmp_path, compress)
    expected = contents_of(tree.parent)
    with zasfile.ZasFile(archive) as zas:
        infos = zas.infolist()
        assert zas.namelist() == [info.filename for info in infos]
        assert sorted(zas.namelist()) == sorted(expected)
        for info in infos:
            source = tree.parent / info.filename
            content = expected[info.filename]
            assert info.stored_name == "\\" + info.filename.replace("/", "\\")
            assert zas.read(info.filename) == content
            with zas.open(info) as stream:
                assert stream.read() == content
            assert info.file_size == len(content)
            assert info.is_compressed() == (compress and len(content) > 0)
            if not info.is_compressed():
                assert info.compress_size == info.file_size
            milliseconds = source.stat().st_mtime_ns // 1_000_000
            assert info.mtime == milliseconds / 1000
            assert info.date_time == time.gmtime(milliseconds // 1000)[:6]
        assert zas.test() is None


@pytest.mark.parametrize("name, found", [
    ("data/same.txt", "data/same.txt"),
    ("\\data\\Same.txt", "data/Same.txt"),
    ("/DATA/MAPS/harbour.MAP", "data/maps/harbour.map"),
    # No entry of exactly this spelling: the last of the equal names.
    ("data/SAME.TXT", "data/same.txt"),
])
def test_looks_names_up_with_either_separator_and_any_case(run_zas, tree, tmp_path, name, found):
    with zasfile.ZasFile(program_archive(run_zas, tree, tmp_path, False)) as zas:
        assert zas.getinfo(name).filename == found
        assert zas.read(name) == (tree.parent / found).read_bytes()


def test_names_that_are_not_there(run_zas, tree, tmp_path):
    with zasfile.ZasFile(program_archive(run_zas, tree, tmp_path, False)) as zas:
        for name in ("data/missing.txt", "data/maps", "data/maps/", ""):
            with pytest.raises(KeyError):
                zas.getinfo(name)
            with pytest.raises(KeyError):
                zas.read(name)


@STORED_AND_COMPRESSED
def test_the_program_unpacks_what_the_module_writes(run_zas, tree, tmp_path, compress):
    archive = tmp_path / "module.zas"
    with zasfile.ZasFile(archive, "w", compress=compress, threads=2) as zas:
        zas.writestr("data/notes/é.txt", "ünïcode text")
        zas.writestr("data/bytes.bin", bytearray(b"\0\1\2" * 1000), date_time=(2021, 2, 3, 4, 5, 6))
        zas.writestr("data/empty", b"", date_time=1_600_000_000.5)
        zas.write(tree / "maps" / "harbour.map", "data/maps/harbour.map")
        zas.write(tree / "saves", "data/saves")
        zas.mkdir("data/mods")
    assert zasfile.is_zasfile(archive)

    unpacked = tmp_path / "by-program"
    run_zas("-x", archive, unpacked, cwd=tmp_path)
    assert contents_of(unpacked) == {
        "data/notes/é.txt": "ünïcode text".encode(),
        "data/bytes.bin": b"\0\1\2" * 1000,
        "data/empty": b"",
        "data/maps/harbour.map": (tree / "maps" / "harbour.map").read_bytes(),
    }
    assert (unpacked / "data" / "saves").is_dir() and (unpacked / "data" / "mods").is_dir()
    dates = dates_of(unpacked)
    assert dates["data/bytes.bin"] == 1612325106000
    assert dates["data/empty"] == 1_600_000_000_500
    assert dates["data/maps/harbour.map"] == (tree / "maps" / "harbour.map").stat().st_mtime_ns // 1_000_000
    assert dates["data/saves"] == (tree / "saves").stat().st_mtime_ns // 1_000_000
    assert abs(dates["data/notes/é.txt"] / 1000 - time.time()) < 600

    # The module extracts the same files with the same dates, folders too
    # (but those entered without a date, which get the time of extraction).
    with zasfile.ZasFile(archive) as zas:
        zas.extractall(tmp_path / "by-module")
    assert contents_of(tmp_path / "by-module") == contents_of(unpacked)
    undated = {"data/notes", "data/maps"}
    assert {name: date for name, date in dates_of(tmp_path / "by-module").items() if name not in undated} == \
        {name: date for name, date in dates.items() if name not in undated}


def test_extracts_single_members_as_the_program_does(run_zas, tree, tmp_path):
    archive = program_archive(run_zas, tree, tmp_path, True)
    run_zas("-x", archive, tmp_path / "all", cwd=tmp_path)
    with zasfile.ZasFile(archive) as zas:
        written = zas.extract("DATA/maps/deep/CAVE.MAP", tmp_path / "one")
    assert written == os.path.join(str(tmp_path / "one"), "data", "maps", "Deep", "cave.map")
    assert contents_of(tmp_path / "one") == {"data/maps/Deep/cave.map": (tree / "maps/Deep/cave.map").read_bytes()}
    assert dates_of(tmp_path / "one")["data/maps/Deep/cave.map"] == dates_of(tmp_path / "all")["data/maps/Deep/cave.map"]


@pytest.mark.parametrize("compress", [False, True], ids=["stored", "compressed"])
@pytest.mark.parametrize("exclude_path", [False, True], ids=["with-path", "exclude-path"])
def test_pack_writes_what_the_program_writes(run_zas, tree, tmp_path, monkeypatch, compress, exclude_path):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", "1700000000")
    options = ["-c"] if compress else []
    if exclude_path:
        run_zas("-a", "-p", *options, tree, tmp_path / "program.zas", cwd=tmp_path)
        source = str(tree)
    else:
        run_zas("-a", *options, "data", tmp_path / "program.zas", cwd=tree.parent)
        monkeypatch.chdir(tree.parent)
        source = "data"
    stored = zasfile.pack(source, tmp_path / "module.zas", compress=compress, exclude_path=exclude_path)
    assert stored == len(contents_of(tree))
    assert (tmp_path / "module.zas").read_bytes() == (tmp_path / "program.zas").read_bytes()


@pytest.mark.parametrize("epoch", ["4294967297", " +42", "-1", "99999999999999999999999"])
def test_pack_seeds_the_key_from_source_date_epoch_as_the_program_does(run_zas, tree, tmp_path, monkeypatch,
                                                                      epoch):
    monkeypatch.setenv("SOURCE_DATE_EPOCH", epoch)
    run_zas("-a", "data", tmp_path / "program.zas", cwd=tree.parent)
    monkeypatch.chdir(tree.parent)
    zasfile.pack("data", tmp_path / "module.zas")
    assert (tmp_path / "module.zas").read_bytes() == (tmp_path / "program.zas").read_bytes()


def test_pack_refuses_what_the_program_refuses(tmp_path, monkeypatch):
    (tmp_path / "nothing").mkdir()
    (tmp_path / "file").write_bytes(b"x")
    monkeypatch.chdir(tmp_path)
    for source, error in [("missing", FileNotFoundError), ("file", NotADirectoryError),
                          ("nothing", zasfile.ZasError), ("nothing/../nothing", ValueError),
                          (str(tmp_path / "nothing"), ValueError)]:
        with pytest.raises(error):
            zasfile.pack(source, "out.zas")
    assert not (tmp_path / "out.zas").exists()


@STORED_AND_COMPRESSED
def test_streams_in_odd_pieces_and_seeks(run_zas, tree, tmp_path, compress):
    content = (tree / "music" / "theme.ogg").read_bytes()
    with zasfile.ZasFile(program_archive(run_zas, tree, tmp_path, compress)) as zas:
        with zas.open("data/music/theme.ogg") as stream:
            assert stream.readable() and stream.seekable()
            pieces = []
            sizes = [1, 7, 4093, 65537, 300001]
            while True:
                piece = stream.read(sizes[len(pieces) % len(sizes)])
                if not piece:
                    break
                pieces.append(piece)
            assert b"".join(pieces) == content
            assert stream.tell() == len(content)

            for offset, whence, count in [(123_457, io.SEEK_SET, 5000), (-70_000, io.SEEK_CUR, 70_001),
                                          (3, io.SEEK_SET, 10), (-1000, io.SEEK_END, 4096),
                                          (299_999, io.SEEK_SET, 1), (len(content) + 10, io.SEEK_SET, 10)]:
                base = {io.SEEK_SET: 0, io.SEEK_CUR: stream.tell(), io.SEEK_END: len(content)}[whence]
                assert stream.seek(offset, whence) == base + offset
                assert stream.read(count) == content[base + offset:base + offset + count]

            stream.seek(250_000)
            buffer = bytearray(10_007)
            assert stream.readinto(buffer) == len(buffer)
            assert bytes(buffer) == content[250_000:260_007]
            with pytest.raises(OSError):
                stream.seek(-1)
        with pytest.raises(ValueError):
            stream.read(1)


def damage(archive: Path, kind: str) -> None:
    data = bytearray(archive.read_bytes())
    if kind == "not-an-archive":
        data[:] = b"PK\3\4 this is no zas archive" * 10
    elif kind == "header":
        data[16] ^= 0xFF  # the file table's length
    elif kind == "truncated":
        del data[-1000:]
    archive.write_bytes(bytes(data))


@pytest.mark.parametrize("kind", ["not-an-archive", "header"])
def test_refuses_archives_that_are_not_sound(run_zas, tree, tmp_path, kind):
    archive = program_archive(run_zas, tree, tmp_path, True)
    damage(archive, kind)
    with pytest.raises(zasfile.BadZasFile) as raised:
        zasfile.ZasFile(archive)
    assert ("Not an archive" if kind == "not-an-archive" else "damaged") in str(raised.value)
    assert zasfile.is_zasfile(archive) == (kind != "not-an-archive")


@STORED_AND_COMPRESSED
def test_damaged_members_raise_and_are_not_extracted(run_zas, tree, tmp_path, compress):
    archive = program_archive(run_zas, tree, tmp_path, compress)
    damage(archive, "truncated")
    with zasfile.ZasFile(archive) as zas:
        last = zas.infolist()[-1]
        with pytest.raises(zasfile.BadZasFile, match="damaged"):
            zas.read(last)
        with pytest.raises(zasfile.BadZasFile):
            with zas.open(last) as stream:
                stream.read()
        assert zas.test() == last.filename
        target = tmp_path / "out" / "target"
        target.mkdir(parents=True)
        with pytest.raises(zasfile.BadZasFile, match=last.filename.split("/")[-1]):
            zas.extractall(target)
    extracted = contents_of(target)
    assert last.filename not in extracted
    assert extracted == {name: content for name, content in contents_of(tree.parent).items() if name != last.filename}
    assert [path.name for path in (tmp_path / "out").iterdir()] == ["target"]


def test_hostile_names_are_skipped_with_a_warning(hostile_archive, tmp_path):
    target = tmp_path / "out" / "target"
    with zasfile.ZasFile(hostile_archive) as zas:
        with pytest.warns(zasfile.ZasWarning) as warned:
            zas.extractall(target)
        message = str(warned[0].message)
        for name in ["\\..\\", "\\ok\\..\\..\\", "\\..", "\\ok\\a/b", "lost.txt"]:
            assert '"%s"' % name in message
        assert contents_of(tmp_path / "out") == {"target/ok/fine.txt": b"fine"}

        with pytest.warns(zasfile.ZasWarning, match="escape.txt"):
            assert zas.extract("../escape.txt", tmp_path / "one") is None
        assert zas.extract("ok/fine.txt", tmp_path / "one") == os.path.join(str(tmp_path / "one"), "ok", "fine.txt")
    assert sorted(path.name for path in tmp_path.iterdir()) == ["one", "out"]


def test_two_threads_read_two_archives_at_once(run_zas, tree, tmp_path):
    other = make_tree(tmp_path / "other")
    (other / "maps" / "harbour.map").write_bytes(b"another harbour" * 5000)
    zasfile.pack(other, tmp_path / "other.zas", compress=True, exclude_path=True)
    archives = [(program_archive(run_zas, tree, tmp_path, True), contents_of(tree.parent)),
                (tmp_path / "other.zas", contents_of(other))]
    barrier = threading.Barrier(len(archives))
    failures = []

    def read_all(path, expected):
        try:
            with zasfile.ZasFile(path) as zas:
                barrier.wait()
                for _ in range(5):
                    for name in zas.namelist():
                        assert zas.read(name) == expected[name], name
                        with zas.open(name) as stream:
                            assert stream.read(33_333) == expected[name][:33_333], name
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=read_all, args=archive) for archive in archives]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures


def test_a_failed_with_block_writes_nothing_and_x_keeps_what_is_there(tmp_path):
    archive = tmp_path / "a.zas"
    with pytest.raises(RuntimeError):
        with zasfile.ZasFile(archive, "w") as zas:
            zas.writestr("data/a.txt", b"a")
            raise RuntimeError("stop")
    assert list(tmp_path.iterdir()) == []

    with zasfile.ZasFile(archive, "x") as zas:
        zas.writestr("data/a.txt", b"a")
    first = archive.read_bytes()
    with pytest.raises(FileExistsError):
        zasfile.ZasFile(archive, "x")
    with pytest.raises(ValueError, match="not allowed"):
        with zasfile.ZasFile(archive, "w") as zas:
            zas.writestr("data/../a.txt", b"b")
    assert archive.read_bytes() == first
    assert sorted(path.name for path in tmp_path.iterdir()) == ["a.zas"]


def test_command_line(run_zas, tree, tmp_path):
    def module(*arguments):
        done = subprocess.run([sys.executable, "-m", "zasfile", *map(str, arguments)], cwd=str(tmp_path),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return done.returncode, done.stdout.decode()

    assert module("-c", "made.zas", tree, tree / "text" / "readme.txt")[0] == 0
    run_zas("-x", "made.zas", "by-program", cwd=tmp_path)
    expected = contents_of(tree.parent)
    expected["readme.txt"] = expected["data/text/readme.txt"]
    assert contents_of(tmp_path / "by-program") == expected

    status, listing = module("-l", "made.zas")
    assert status == 0 and "data/maps/Deep/cave.map" in listing and "readme.txt" in listing
    assert module("-t", "made.zas") == (0, "Done testing\n")
    assert module("-e", "made.zas", "by-module")[0] == 0
    assert contents_of(tmp_path / "by-module") == expected

    damage(tmp_path / "made.zas", "truncated")
    status, output = module("-t", "made.zas")
    assert status == 1 and "damaged" in output


def test_a_missing_library_is_a_clear_import_error(tmp_path):
    done = subprocess.run([sys.executable, "-c", "import zasfile"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env=dict(os.environ, ZASFILE_LIBRARY=str(tmp_path / "libzas.so.1")))
    assert done.returncode != 0
    assert b"ImportError: zasfile: cannot load the zas library" in done.stdout


@pytest.mark.parametrize("work", ["extract", "pack"])
def test_ctrl_c_cancels_the_library_and_leaves_nothing_behind(hostile_archive, tree, tmp_path, work):
    # Ctrl-C as it reaches the interpreter when the library calls back
    # with its first event: the call must stop at the next one and the
    # interrupt come out of it.
    import signal

    def interrupt(frame, event, argument):
        if event == "call" and frame.f_code is callback_code and not interrupted:
            interrupted.append(True)
            signal.raise_signal(signal.SIGINT)

    interrupted = []
    callback_code = next(constant for constant in zasfile._with_events.__code__.co_consts
                         if getattr(constant, "co_name", None) == "callback")
    # As in an interactive run (CTest may start the tests with SIGINT ignored).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.setprofile(interrupt)
    try:
        with pytest.raises(KeyboardInterrupt):
            if work == "extract":
                with zasfile.ZasFile(hostile_archive) as zas:
                    zas.extractall(tmp_path / "out")
            else:
                zasfile.pack(tree, tmp_path / "out.zas", exclude_path=True)
    finally:
        sys.setprofile(None)
        signal.signal(signal.SIGINT, previous)
    assert interrupted
    assert [path.name for path in tmp_path.rglob("*")] == []
