"""Fixtures of the zasfile tests: the zas program and a small tree of game-like
files with known dates.

CTest sets ZASFILE_LIBRARY (the built libzas), ZAS_EXECUTABLE (the built zas)
and ZAS_HOSTILE_ARCHIVE (a program that writes an archive with hostile
names); run by hand, the tests need the same variables.
"""
import os
import random
import subprocess
from pathlib import Path
from typing import Dict

import pytest

# 2020-09-13 12:26:40.123456789 UTC and a few seconds on: the archive keeps
# the milliseconds.
BASE_NS = 1_600_000_000_123_456_789


def _variable(name: str) -> str:
    value = os.environ.get(name)
    if not value:
        pytest.skip("%s is not set (CTest sets it)" % name)
    return value


@pytest.fixture(scope="session")
def zas_program() -> str:
    return _variable("ZAS_EXECUTABLE")


@pytest.fixture(scope="session")
def run_zas(zas_program):
    """Runs zas in a folder, with "--" after the options (a path may begin
    with "/"); a clean run exits with 1."""

    def run(*arguments, cwd) -> str:
        words = [str(argument) for argument in arguments]
        options = 0
        while options < len(words) and words[options].startswith("-"):
            options += 1
        done = subprocess.run([zas_program, *words[:options], "--", *words[options:]], cwd=str(cwd),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = done.stdout.decode(errors="replace")
        assert done.returncode == 1, output
        return output

    return run


@pytest.fixture(scope="session")
def hostile_archive(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("hostile") / "hostile.zas"
    subprocess.run([_variable("ZAS_HOSTILE_ARCHIVE"), str(path)], check=True)
    return path


def contents_of(tree: Path) -> Dict[str, bytes]:
    """Every file below tree by its path with "/", with its bytes."""
    return {path.relative_to(tree).as_posix(): path.read_bytes() for path in sorted(tree.rglob("*"))
            if path.is_file()}


def make_tree(root: Path) -> Path:
    """root/data: text, tile-like runs, noise, an empty file, two names that
    differ only in case, an empty folder; every file with its own date."""
    generator = random.Random(7)
    data = root / "data"
    files = {
        "maps/harbour.map": bytes(generator.choice(b"~~~~..##TT") for _ in range(40_000)),
        "maps/Deep/cave.map": b"".join(bytes([i % 7] * (i % 23 + 1)) for i in range(3000)),
        "text/readme.txt": b"Tarrow harbour district, spring patch\n" * 500,
        "sounds/noise.wav": generator.randbytes(70_000) if hasattr(generator, "randbytes") else
        bytes(generator.getrandbits(8) for _ in range(70_000)),
        # Half text, half noise, past several seek checkpoints of a stream.
        "music/theme.ogg": (b"la la la theme " * 20_000) + bytes(generator.getrandbits(8) for _ in range(200_000)),
        "empty.dat": b"",
        "Same.txt": b"upper",
        "same.txt": b"lower",
    }
    for offset, (name, content) in enumerate(sorted(files.items())):
        path = data / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content)
        stamp = BASE_NS + offset * 1_000_001_000
        os.utime(path, ns=(stamp, stamp))
    (data / "saves").mkdir()
    return data


@pytest.fixture(scope="session")
def tree(tmp_path_factory) -> Path:
    """The source tree, shared by the tests that only read it."""
    return make_tree(tmp_path_factory.mktemp("source"))
