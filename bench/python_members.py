"""One side of bench/compare-python: open an archive with zasfile or zipfile
and read every member into memory, or list every member.

    python3 bench/python_members.py zas|zip read|list ARCHIVE
    python3 bench/python_members.py zas|zip read|list ARCHIVE --repeat N

With --repeat, the work runs N times in this process and the fastest time is
printed, in seconds: the cost without the interpreter's start-up."""
import sys
import time


def run(module: str, work: str, path: str) -> int:
    if module == "zas":
        import zasfile
        archive = zasfile.ZasFile(path)
    else:
        import zipfile
        archive = zipfile.ZipFile(path)
    with archive:
        if work == "read":
            total = 0
            for name in archive.namelist():
                total += len(archive.read(name))
            return total
        return sum(info.file_size for info in archive.infolist())


def main() -> None:
    module, work, path = sys.argv[1:4]
    if "--repeat" not in sys.argv:
        run(module, work, path)
        return
    repeat = int(sys.argv[sys.argv.index("--repeat") + 1])
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run(module, work, path)
        best = min(best, time.perf_counter() - start)
    print("%.6f" % best)


if __name__ == "__main__":
    main()
