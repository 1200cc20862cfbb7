// zas-mount: an archive as a read-only file system, through FUSE's
// low-level interface and its multithreaded loop. Inode numbers are the
// tree's node numbers plus one (the root is FUSE's inode 1); nothing is ever
// forgotten, since the tree lives as long as the mount.
//
// The archive does not change while it is mounted, so the kernel keeps what
// it read of a file from one open to the next. Once a read or an open finds
// that the archive has changed after all, it fails with EIO, every later one
// too, and what the kernel kept is dropped: no read gives bytes of another
// archive.
#define FUSE_USE_VERSION 312

#include "mount/OpenFile.h"
#include "mount/Tree.h"

#include <zas.h>

#include <fuse_lowlevel.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The tree never changes: the kernel may keep names and attributes as long
// as it likes.
constexpr double kCacheSeconds = 86400.0;
// What the windows of all open compressed files take together, at most.
constexpr std::uint64_t kWindowLimit = std::uint64_t{64} << 20;

struct Mount {
    std::string archivePath;
    zas_archive* archive = nullptr;
    Tree tree;
    WindowBudget windows{kWindowLimit};
    uid_t uid = 0;
    gid_t gid = 0;
    std::uint64_t blocks = 0; // of 4096 bytes, every shown file together
    fuse_session* session = nullptr;
    std::atomic<bool> changed{false};
    // Drops the kernel's copies of the files once the archive has changed:
    // on a thread of its own, since a request that the kernel waits on
    // cannot do it.
    std::thread forgetting;
};

Mount& mountOf(fuse_req_t req) {
    return *static_cast<Mount*>(fuse_req_userdata(req));
}

const Node* nodeOf(const Mount& mount, fuse_ino_t ino) {
    if (ino == 0 || ino > mount.tree.size())
        return nullptr;
    return &mount.tree.node(static_cast<std::uint32_t>(ino - 1));
}

fuse_ino_t inoOf(const Mount& mount, const Node& node) {
    return fuse_ino_t{mount.tree.numberOf(node)} + 1;
}

timespec timeOf(std::int64_t milliseconds) {
    std::int64_t seconds = milliseconds / 1000;
    std::int64_t rest = milliseconds % 1000;
    if (rest < 0) {
        --seconds;
        rest += 1000;
    }
    timespec time{};
    time.tv_sec = static_cast<time_t>(seconds);
    time.tv_nsec = static_cast<long>(rest * 1000000);
    return time;
}

struct stat attributesOf(const Mount& mount, const Node& node) {
    struct stat st {};
    st.st_ino = inoOf(mount, node);
    if (node.directory) {
        st.st_mode = S_IFDIR | 0555;
        st.st_nlink = 2 + node.subdirectories;
    } else {
        st.st_mode = S_IFREG | 0444;
        st.st_nlink = 1;
        st.st_size = static_cast<off_t>(node.size);
        st.st_blocks = static_cast<blkcnt_t>((node.size + 511) / 512);
    }
    st.st_uid = mount.uid;
    st.st_gid = mount.gid;
    st.st_mtim = timeOf(node.mtimeMs);
    st.st_atim = st.st_mtim;
    st.st_ctim = st.st_mtim;
    return st;
}

fuse_entry_param entryOf(const Mount& mount, const Node& node) {
    fuse_entry_param entry{};
    entry.ino = inoOf(mount, node);
    entry.attr = attributesOf(mount, node);
    entry.attr_timeout = kCacheSeconds;
    entry.entry_timeout = kCacheSeconds;
    return entry;
}

void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    const Mount& mount = mountOf(req);
    const Node* directory = nodeOf(mount, parent);
    if (directory == nullptr || !directory->directory) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    if (const Node* child = mount.tree.child(*directory, name); child != nullptr) {
        const fuse_entry_param entry = entryOf(mount, *child);
        fuse_reply_entry(req, &entry);
        return;
    }
    // Inode 0: the kernel remembers that the name is not there.
    fuse_entry_param none{};
    none.entry_timeout = kCacheSeconds;
    fuse_reply_entry(req, &none);
}

void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    const Mount& mount = mountOf(req);
    const Node* node = nodeOf(mount, ino);
    if (node == nullptr) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const struct stat st = attributesOf(mount, *node);
    fuse_reply_attr(req, &st, kCacheSeconds);
}

void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const Node* node = nodeOf(mountOf(req), ino);
    if (node == nullptr || !node->directory) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    fi->cache_readdir = 1;
    fi->keep_cache = 1;
    fuse_reply_open(req, fi);
}

// Entry i of a listing: ".", "..", then the children by name.
void readDirectory(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, bool plus) {
    const Mount& mount = mountOf(req);
    const Node* directory = nodeOf(mount, ino);
    if (directory == nullptr || !directory->directory) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    try {
        std::vector<char> buffer(size);
        std::size_t used = 0;
        for (auto i = static_cast<std::size_t>(offset); i < directory->children.size() + 2; ++i) {
            const Node& shown = i == 0   ? *directory
                                : i == 1 ? mount.tree.node(directory->parent)
                                         : mount.tree.node(directory->children[i - 2]);
            const char* name = i == 0 ? "." : i == 1 ? ".." : shown.name.c_str();
            const auto next = static_cast<off_t>(i + 1);
            std::size_t needed = 0;
            if (plus) {
                fuse_entry_param entry{};
                if (i >= 2) {
                    entry = entryOf(mount, shown);
                } else {
                    // No inode: the kernel takes nothing from "." and "..".
                    entry.attr.st_ino = inoOf(mount, shown);
                    entry.attr.st_mode = S_IFDIR;
                }
                needed = fuse_add_direntry_plus(req, buffer.data() + used, size - used, name, &entry, next);
            } else {
                struct stat st {};
                st.st_ino = inoOf(mount, shown);
                st.st_mode = shown.directory ? S_IFDIR : S_IFREG;
                needed = fuse_add_direntry(req, buffer.data() + used, size - used, name, &st, next);
            }
            if (needed > size - used)
                break;
            used += needed;
        }
        fuse_reply_buf(req, buffer.data(), used);
    } catch (const std::bad_alloc&) {
        fuse_reply_err(req, ENOMEM);
    }
}

void opReaddir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info*) {
    readDirectory(req, ino, size, offset, false);
}

void opReaddirplus(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info*) {
    readDirectory(req, ino, size, offset, true);
}

void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info*) {
    fuse_reply_err(req, 0);
}

// Whether the archive has changed since it was mounted; the first call to
// find it so says so on standard error and drops what the kernel kept.
bool archiveChanged(Mount& mount) {
    if (!mount.changed && zas_check_unchanged(mount.archive) == ZAS_OK)
        return false;
    if (!mount.changed.exchange(true)) {
        std::fprintf(stderr, "zas-mount: %s changed on disk: every read now fails (unmount and mount it again)\n",
                     mount.archivePath.c_str());
        try {
            mount.forgetting = std::thread([&mount] {
                for (std::uint32_t i = 0; i < mount.tree.size(); ++i) {
                    if (!mount.tree.node(i).directory)
                        fuse_lowlevel_notify_inval_inode(mount.session, fuse_ino_t{i} + 1, 0, 0);
                }
            });
        } catch (const std::system_error&) {
            // The reads that reach zas-mount fail all the same.
        }
    }
    return true;
}

void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    Mount& mount = mountOf(req);
    const Node* node = nodeOf(mount, ino);
    if (node == nullptr) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    if (node->directory) {
        fuse_reply_err(req, EISDIR);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
        fuse_reply_err(req, EROFS);
        return;
    }
    if (archiveChanged(mount)) {
        fuse_reply_err(req, EIO);
        return;
    }
    auto* file = new (std::nothrow) OpenFile(mount.archive, node->entry, node->size, node->compressed, mount.windows);
    if (file == nullptr) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    fi->fh = reinterpret_cast<std::uint64_t>(file);
    fi->keep_cache = 1;
    fi->noflush = 1;
    // -ENOENT: the open was interrupted, and no release will come.
    if (fuse_reply_open(req, fi) == -ENOENT)
        delete file;
}

void opRead(fuse_req_t req, fuse_ino_t, std::size_t size, off_t offset, fuse_file_info* fi) {
    Mount& mount = mountOf(req);
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    thread_local std::vector<unsigned char> buffer;
    long got = 0;
    try {
        if (buffer.size() < size)
            buffer.resize(size);
        got = file->read(buffer.data(), size, static_cast<std::uint64_t>(offset));
    } catch (const std::bad_alloc&) {
        got = -ENOMEM;
    }
    // Checked after the bytes were read: a change while they were read
    // fails them too.
    if (archiveChanged(mount))
        got = -EIO;
    if (got < 0)
        fuse_reply_err(req, static_cast<int>(-got));
    else
        fuse_reply_buf(req, reinterpret_cast<const char*>(buffer.data()), static_cast<std::size_t>(got));
}

void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    delete reinterpret_cast<OpenFile*>(fi->fh);
    fuse_reply_err(req, 0);
}

void opStatfs(fuse_req_t req, fuse_ino_t) {
    const Mount& mount = mountOf(req);
    struct statvfs st {};
    st.f_bsize = 4096;
    st.f_frsize = 4096;
    st.f_blocks = mount.blocks;
    st.f_files = mount.tree.size();
    st.f_namemax = 255;
    st.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &st);
}

// Everything that would change the tree.
void refuseSetattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
}
void refuseMknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) {
    fuse_reply_err(req, EROFS);
}
void refuseMkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) {
    fuse_reply_err(req, EROFS);
}
void refuseRemove(fuse_req_t req, fuse_ino_t, const char*) {
    fuse_reply_err(req, EROFS);
}
void refuseSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) {
    fuse_reply_err(req, EROFS);
}
void refuseRename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*, unsigned) {
    fuse_reply_err(req, EROFS);
}
void refuseLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) {
    fuse_reply_err(req, EROFS);
}
void refuseWrite(fuse_req_t req, fuse_ino_t, const char*, std::size_t, off_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
}
void refuseCreate(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
}
void refuseSetxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, std::size_t, int) {
    fuse_reply_err(req, EROFS);
}
void refuseRemovexattr(fuse_req_t req, fuse_ino_t, const char*) {
    fuse_reply_err(req, EROFS);
}
void refuseFallocate(fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info*) {
    fuse_reply_err(req, EROFS);
}
void refuseCopyFileRange(fuse_req_t req, fuse_ino_t, off_t, fuse_file_info*, fuse_ino_t, off_t, fuse_file_info*,
                         std::size_t, int) {
    fuse_reply_err(req, EROFS);
}

fuse_lowlevel_ops operations() {
    fuse_lowlevel_ops ops{};
    ops.lookup = opLookup;
    ops.getattr = opGetattr;
    ops.opendir = opOpendir;
    ops.readdir = opReaddir;
    ops.readdirplus = opReaddirplus;
    ops.releasedir = opReleasedir;
    ops.open = opOpen;
    ops.read = opRead;
    ops.release = opRelease;
    ops.statfs = opStatfs;
    ops.setattr = refuseSetattr;
    ops.mknod = refuseMknod;
    ops.mkdir = refuseMkdir;
    ops.unlink = refuseRemove;
    ops.rmdir = refuseRemove;
    ops.symlink = refuseSymlink;
    ops.rename = refuseRename;
    ops.link = refuseLink;
    ops.write = refuseWrite;
    ops.create = refuseCreate;
    ops.setxattr = refuseSetxattr;
    ops.removexattr = refuseRemovexattr;
    ops.fallocate = refuseFallocate;
    ops.copy_file_range = refuseCopyFileRange;
    return ops;
}

void printUsage() {
    std::fputs("Usage: zas-mount [options] ARCHIVE MOUNTPOINT\n"
               "Mounts a .zas archive read-only; unmount with: fusermount3 -u MOUNTPOINT\n"
               "\n"
               "  -f                 stay in the foreground\n"
               "  -d                 print every FUSE request (implies -f)\n"
               "  -s                 serve one request at a time\n"
               "  -o OPTION[,...]    mount options (see mount.fuse3(8)), and:\n"
               "     seek_interval=BYTES  decoded bytes between two checkpoints of a stream\n"
               "     seek_memory=BYTES    the most one stream keeps in checkpoints\n"
               "  -h, --help         print this text\n"
               "  -V, --version      print the version\n",
               stderr);
}

struct Settings {
    char* seekInterval = nullptr;
    char* seekMemory = nullptr;
};

const fuse_opt kOwnOptions[] = {
    {"seek_interval=%s", offsetof(Settings, seekInterval), 0},
    {"seek_memory=%s", offsetof(Settings, seekMemory), 0},
    FUSE_OPT_END,
};

bool setSeekOption(zas_archive* archive, int option, const char* name, const char* text) {
    if (text == nullptr)
        return true;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    const bool number = end != text && *end == '\0' && errno == 0;
    const int status = number ? zas_set_option(archive, option, value) : ZAS_E_INVALID;
    if (status != ZAS_OK)
        std::fprintf(stderr, "zas-mount: %s=%s: %s\n", name, text, zas_strerror(status));
    return status == ZAS_OK;
}

std::int64_t lastWriteMs(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0)
        return 0;
    return std::int64_t{st.st_mtim.tv_sec} * 1000 + st.st_mtim.tv_nsec / 1000000;
}

// Frees what the command line parsing allocated, whatever way main leaves.
struct CommandLine {
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_cmdline_opts options{};
    Settings settings;
    ~CommandLine() {
        fuse_opt_free_args(&args);
        std::free(options.mountpoint);
        std::free(settings.seekInterval);
        std::free(settings.seekMemory);
    }
};

struct ArchiveCloser {
    zas_archive*& archive;
    ~ArchiveCloser() { zas_close(archive); }
};

int run(int argc, char** argv) {
    // The archive is the first word that is not an option; the rest goes to
    // libfuse's parser, which takes the mount point.
    CommandLine line;
    const char* archivePath = nullptr;
    bool optionsEnded = false;
    for (int i = 0; i < argc; ++i) {
        const char* word = argv[i];
        if (i > 0 && !optionsEnded && std::strcmp(word, "--") == 0) {
            optionsEnded = true;
        } else if (i > 0 && archivePath == nullptr && (optionsEnded || word[0] != '-' || word[1] == '\0')) {
            archivePath = word;
            continue;
        }
        if (fuse_opt_add_arg(&line.args, word) != 0)
            return 1;
        const bool takesValue = !optionsEnded && std::strcmp(word, "-o") == 0 && i + 1 < argc;
        if (takesValue && fuse_opt_add_arg(&line.args, argv[++i]) != 0)
            return 1;
    }
    // libfuse has said what it did not take (a mount point that does not
    // exist, a word too many).
    if (fuse_opt_parse(&line.args, &line.settings, kOwnOptions, nullptr) != 0 ||
        fuse_parse_cmdline(&line.args, &line.options) != 0)
        return 1;
    if (line.options.show_help) {
        printUsage();
        return 0;
    }
    if (line.options.show_version) {
        std::printf("zas-mount %s (libzas %s, libfuse %s)\n", ZAS_VERSION_STRING, zas_version_string(),
                    fuse_pkgversion());
        return 0;
    }
    if (archivePath == nullptr || line.options.mountpoint == nullptr) {
        printUsage();
        return 1;
    }

    Mount mount;
    mount.archivePath = archivePath;
    ArchiveCloser closer{mount.archive};
    if (const int status = zas_open(archivePath, 0, &mount.archive); status != ZAS_OK) {
        std::fprintf(stderr, "zas-mount: %s: %s\n", archivePath, zas_strerror(status));
        return 1;
    }
    if (!setSeekOption(mount.archive, ZAS_OPT_SEEK_INTERVAL, "seek_interval", line.settings.seekInterval) ||
        !setSeekOption(mount.archive, ZAS_OPT_SEEK_MEMORY, "seek_memory", line.settings.seekMemory))
        return 1;
    mount.uid = getuid();
    mount.gid = getgid();

    // Extraction refuses paths of PATH_MAX bytes and more below its
    // destination: here the mount point, which libfuse made absolute.
    const int built = mount.tree.build(mount.archive, std::strlen(line.options.mountpoint), lastWriteMs(archivePath),
                                       [&](const std::string& text) {
                                           std::fprintf(stderr, "zas-mount: %s: %s\n", archivePath, text.c_str());
                                       });
    if (built != ZAS_OK) {
        std::fprintf(stderr, "zas-mount: %s: %s\n", archivePath, zas_strerror(built));
        return 1;
    }
    for (std::uint32_t i = 0; i < mount.tree.size(); ++i)
        mount.blocks += (mount.tree.node(i).size + 4095) / 4096;

    // The archive names the file system (the type is fuse.zas-mount); "ro"
    // comes last, so that no option given makes the mount writable.
    char* names = nullptr;
    char* absolute = realpath(archivePath, nullptr);
    const std::string fsname = "fsname=" + std::string(absolute != nullptr ? absolute : archivePath);
    std::free(absolute);
    const bool optionsAdded = fuse_opt_add_opt_escaped(&names, fsname.c_str()) == 0 &&
                              fuse_opt_insert_arg(&line.args, 1, "-o") == 0 &&
                              fuse_opt_insert_arg(&line.args, 2, names) == 0 &&
                              fuse_opt_add_arg(&line.args, "-oro,default_permissions") == 0;
    std::free(names);
    if (!optionsAdded)
        return 1;

    const fuse_lowlevel_ops ops = operations();
    fuse_session* session = fuse_session_new(&line.args, &ops, sizeof ops, &mount);
    if (session == nullptr)
        return 1;
    mount.session = session;
    int status = 1;
    if (fuse_set_signal_handlers(session) == 0) {
        if (fuse_session_mount(session, line.options.mountpoint) == 0) {
            fuse_daemonize(line.options.foreground);
            int ended = 0;
            if (line.options.singlethread) {
                ended = fuse_session_loop(session);
            } else {
                fuse_loop_config* config = fuse_loop_cfg_create();
                fuse_loop_cfg_set_clone_fd(config, static_cast<unsigned>(line.options.clone_fd));
                fuse_loop_cfg_set_max_threads(config, line.options.max_threads);
                if (line.options.max_idle_threads != UINT_MAX)
                    fuse_loop_cfg_set_idle_threads(config, line.options.max_idle_threads);
                ended = fuse_session_loop_mt(session, config);
                fuse_loop_cfg_destroy(config);
            }
            // Stopped by an unmount, or by a signal it was told to stop with.
            status = ended == 0 || ended == SIGINT || ended == SIGTERM || ended == SIGHUP ? 0 : 1;
            if (mount.forgetting.joinable())
                mount.forgetting.join();
            fuse_session_unmount(session);
        } else {
            std::fprintf(stderr, "zas-mount: cannot mount %s on %s\n", archivePath, line.options.mountpoint);
        }
        fuse_remove_signal_handlers(session);
    }
    fuse_session_destroy(session);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
