"""python3 -m zasfile: list, extract, create and test .zas archives, as
python3 -m zipfile does for zip files.

    python3 -m zasfile -l ARCHIVE              list the members
    python3 -m zasfile -e ARCHIVE DIR          extract every member below DIR
    python3 -m zasfile -c ARCHIVE SOURCE...    create ARCHIVE from files and folders
    python3 -m zasfile -t ARCHIVE              decode every member

-c stores each SOURCE under its own name (a folder with everything below
it), as zipfile's -c does; `zas -a` (or zasfile.pack) packs one tree the
way the game's tools expect. Exit status: 0 on success, 1 on failure.
"""
from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import List, Optional

from . import BadZasFile, ZasError, ZasFile, ZasWarning


def _add(archive: ZasFile, path: str, name: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        if name:
            archive.write(path, name)
        for entry in sorted(os.listdir(path), key=lambda item: item.lower()):
            _add(archive, os.path.join(path, entry), name + "/" + entry if name else entry)
    elif os.path.isfile(path):
        archive.write(path, name)
    else:
        warnings.warn('Leaving out "%s": it is not a regular file or a folder' % path, ZasWarning, stacklevel=2)


def main(args: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m zasfile", description="A simple command-line interface "
                                     "for zasfile: .zas archives, the data archives of the game Tarrow.")
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("-l", "--list", metavar="<zasfile>", help="show the members of an archive")
    group.add_argument("-e", "--extract", nargs=2, metavar=("<zasfile>", "<output_dir>"),
                       help="extract an archive into a directory")
    group.add_argument("-c", "--create", nargs="+", metavar=("<name>", "<file>"),
                       help="create an archive from files and folders")
    group.add_argument("-t", "--test", metavar="<zasfile>", help="test that every member decodes")
    parser.add_argument("--compress", action="store_true", help="with -c: compress every file")
    options = parser.parse_args(args)

    def warn(message: warnings.WarningMessage) -> None:
        print("Warning: %s" % message.message, file=sys.stderr)

    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", ZasWarning)
            try:
                if options.list is not None:
                    with ZasFile(options.list) as archive:
                        archive.printdir()
                elif options.test is not None:
                    with ZasFile(options.test) as archive:
                        damaged = archive.test()
                    if damaged is not None:
                        print("The following enclosed file is damaged: %r" % damaged)
                        return 1
                    print("Done testing")
                elif options.extract is not None:
                    source, destination = options.extract
                    with ZasFile(source) as archive:
                        archive.extractall(destination)
                else:
                    if len(options.create) < 2:
                        parser.error("-c needs an archive and at least one source")
                    name, sources = options.create[0], options.create[1:]
                    with ZasFile(name, "w", compress=options.compress) as archive:
                        for path in sources:
                            base = os.path.basename(os.path.normpath(path))
                            _add(archive, path, "" if base in (os.curdir, os.pardir) else base)
            finally:
                for message in caught:
                    warn(message)
    except (BadZasFile, ZasError, OSError, ValueError, KeyError) as error:
        print("%s: error: %s" % (parser.prog, error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
