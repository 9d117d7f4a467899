// POSIX twin of the file-system layer (platform.hpp).
#ifndef _WIN32
#include "platform.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace r7u::platform {
namespace {

// Crash-safe replacement of a file: the complete text goes to a temporary
// file beside the target, is flushed to disk and renamed over the target, so
// the target holds either its old or its new content at every instant.
// Everything here runs without the GIL and touches no Python object.

// Errors after which writing in place would only make matters worse: the
// old content must stay.
bool is_hard_error(int err) { return err == ENOSPC || err == EDQUOT || err == EIO || err == ENOMEM; }

WriteResult in_place(int err = 0) { return {Outcome::InPlace, err}; }
WriteResult failed(int err) { return {Outcome::Failed, err}; }

std::atomic<std::uint64_t> g_random_state{0};

// A forked child would continue its parent's sequence: it starts afresh,
// seeded with its own process id (asked once, not on every name).
void reseed_after_fork() { g_random_state.store(0, std::memory_order_relaxed); }

std::uint64_t next_random() {
    static const int registered = pthread_atfork(nullptr, nullptr, reseed_after_fork);
    (void)registered;
    std::uint64_t z = g_random_state.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed);
    if (z == 0) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        z = static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(ts.tv_sec) << 30) ^
            reinterpret_cast<std::uintptr_t>(&g_random_state) ^ (static_cast<std::uint64_t>(getpid()) << 17);
        g_random_state.fetch_add(z, std::memory_order_relaxed);
    }
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

bool read_link(const std::string& path, std::string* dest) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            *dest = std::move(buf);
            return true;
        }
        buf.resize(buf.size() * 2);
    }
}

// "." + up to 64 bytes of the target's name (cut at a character boundary) +
// "." + 10 random letters + ".tmp": neither a book file nor a backup name.
std::string temp_name(const std::string& base) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    size_t keep = base.size() < 64 ? base.size() : 64;
    while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
    std::string name = ".";
    name.append(base, 0, keep);
    name += '.';
    std::uint64_t r = next_random();
    for (int i = 0; i < 10; ++i) {
        name += letters[r % (sizeof letters - 1)];
        r /= (sizeof letters - 1);
    }
    name += ".tmp";
    return name;
}

bool write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        size_t chunk = size < (size_t{1} << 30) ? size : (size_t{1} << 30);
        ssize_t n = write(fd, data, chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

class Fd {
    int fd_;

public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }
    void reset(int fd) noexcept {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    // Closes now and reports the result (EINTR still closes on this platform).
    int close_now() noexcept {
        int r = close(fd_);
        fd_ = -1;
        return (r < 0 && errno != EINTR) ? -1 : 0;
    }
};

// Reserves the space for the new text, then overwrites from the start and
// cuts the file to length only once the whole text is there: a full disk
// fails before a byte of the old text is touched.
WriteResult write_reserved(int fd, const char* data, size_t size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return failed(errno);
    const off_t old_size = st.st_size;
    if (static_cast<off_t>(size) > old_size) {
        int r = posix_fallocate(fd, 0, static_cast<off_t>(size));
        if (r != 0 && r != EINVAL && r != EOPNOTSUPP) {
            // A partial reservation may have grown the file: give it back.
            if (ftruncate(fd, old_size) != 0) { /* the old text is intact either way */ }
            return failed(r);
        }
    }
    off_t at = 0;
    while (static_cast<size_t>(at) < size) {
        size_t left = size - static_cast<size_t>(at);
        ssize_t n = pwrite(fd, data + at, left < (size_t{1} << 30) ? left : (size_t{1} << 30), at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failed(errno);
        }
        at += n;
    }
    if (old_size > static_cast<off_t>(size) && ftruncate(fd, static_cast<off_t>(size)) != 0) return failed(errno);
    if (fsync(fd) != 0 && errno != EINVAL && errno != ENOTSUP) return failed(errno);
    return {Outcome::Done, 0};
}

#ifdef __linux__
// Copies every extended attribute (ACLs included: they are the
// system.posix_acl_* attributes) of `from` to `to`. 0, or the errno that
// stopped it.
int copy_xattrs(int from, int to) {
    ssize_t n = flistxattr(from, nullptr, 0);
    if (n == 0) return 0;
    if (n < 0) return (errno == ENOTSUP) ? 0 : errno;
    std::string names(static_cast<size_t>(n), '\0');
    n = flistxattr(from, names.data(), names.size());
    if (n < 0) return errno;  // ERANGE: it changed meanwhile; keep the old file as it is
    names.resize(static_cast<size_t>(n));
    std::string value, current;
    for (size_t at = 0; at < names.size();) {
        const char* name = names.c_str() + at;
        at += std::strlen(name) + 1;
        ssize_t v = fgetxattr(from, name, nullptr, 0);
        if (v < 0) {
            if (errno == ENODATA) continue;  // removed meanwhile
            return errno;
        }
        value.assign(static_cast<size_t>(v), '\0');
        v = fgetxattr(from, name, value.data(), value.size());
        if (v < 0) return errno;
        value.resize(static_cast<size_t>(v));
        if (std::strncmp(name, "security.", 9) == 0) {
            // Labels the system gave the new file already: set only what differs.
            ssize_t c = fgetxattr(to, name, nullptr, 0);
            if (c == v) {
                current.assign(static_cast<size_t>(c), '\0');
                c = fgetxattr(to, name, current.data(), current.size());
                if (c == v && current == value) continue;
            }
        }
        if (fsetxattr(to, name, value.data(), value.size(), 0) != 0) return errno;
    }
    return 0;
}
#else
int copy_xattrs(int, int) { return 0; }
#endif

int sync_dir(const std::string& dir) {
    Fd dirfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirfd.get() < 0) return errno == EACCES ? 0 : errno;
    if (fsync(dirfd.get()) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EBADF) return errno;
    return 0;
}

WriteResult replace_file_unguarded(std::string target, const char* data, size_t size, FolderSync folder_sync) {
    // Write through symbolic links: the link stays, its destination changes.
    struct stat old {};
    bool existing = false;
    for (int hops = 0;; ++hops) {
        if (lstat(target.c_str(), &old) != 0) {
            if (errno == ENOENT) break;
            return in_place();
        }
        if (!S_ISLNK(old.st_mode)) {
            existing = true;
            break;
        }
        std::string dest;
        if (hops >= 40 || !read_link(target, &dest) || dest.empty()) return in_place();
        if (dest[0] != '/') {
            size_t slash = target.rfind('/');
            if (slash != std::string::npos) dest.insert(0, target, 0, slash + 1);
        }
        target = std::move(dest);
    }
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") return in_place();

    // An existing target must be a regular file that the in-place write
    // could open; anything else keeps the in-place write and its outcome.
    // The open file is also where its extended attributes are read, and
    // what is written when the file cannot be replaced.
    Fd probe;
    if (existing) {
        if (S_ISFIFO(old.st_mode)) {
            // Opening a pipe for writing waits for a reader: without one,
            // fail at once instead of hanging the save.
            Fd pipe(open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            if (pipe.get() < 0 && errno == ENXIO) return failed(ENXIO);
            return in_place();
        }
        if (!S_ISREG(old.st_mode)) return in_place();
        probe.reset(open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (probe.get() < 0) return in_place();
        // Every other name of the file must see the new text too.
        if (old.st_nlink != 1) return write_reserved(probe.get(), data, size);
    }

    std::string temp;
    Fd fd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = dir + '/' + temp_name(base);
        // The kernel applies the umask: a new book file gets 0666 & ~umask.
        int f = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (f >= 0) {
            fd.reset(f);
            break;
        }
        if (errno != EEXIST) break;
    }
    if (fd.get() < 0) {
        int err = errno;
        if (is_hard_error(err)) return failed(err);
        return existing ? write_reserved(probe.get(), data, size) : in_place();
    }

    auto discard = [&]() {
        fd.close_now();
        unlink(temp.c_str());
    };
    if (existing) {
        // Owner and group, then what belongs to them (ACL, attributes), then
        // the mode, which a change of owner may have stripped of its set-id
        // bits. What may not be carried over (another user's file) makes
        // the write go in place, so that nothing about the file changes.
        int err = 0;
        if (fchown(fd.get(), old.st_uid, old.st_gid) != 0) err = errno;
        if (!err) err = copy_xattrs(probe.get(), fd.get());
        if (!err && fchmod(fd.get(), old.st_mode & 07777) != 0) err = errno;
        if (err) {
            discard();
            if (err == EPERM || err == EACCES || err == ENOTSUP || err == EINVAL || err == ERANGE)
                return write_reserved(probe.get(), data, size);
            return failed(err);
        }
    }
    if (!write_all(fd.get(), data, size) ||
        (fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP)) {
        int err = errno;
        discard();
        return failed(err);
    }
    if (fd.close_now() != 0) {
        int err = errno;
        unlink(temp.c_str());
        return failed(err);
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        unlink(temp.c_str());
        if (is_hard_error(err)) return failed(err);
        // A mount point or a sticky folder refuses the rename but not a write.
        return existing ? write_reserved(probe.get(), data, size) : in_place();
    }
    if (folder_sync == FolderSync::Now) {
        // Make the rename itself durable.
        int err = sync_dir(dir);
        if (err) return failed(err);
    }
    return {Outcome::Done, 0};
}

}  // namespace

WriteResult replace_file(const PathChar* path, std::size_t path_size, const char* data, std::size_t size,
                         FolderSync folder_sync) noexcept {
    try {
        return replace_file_unguarded(std::string(path, path_size), data, size, folder_sync);
    } catch (...) {
        // Only allocation can throw here, and nothing was created yet or the
        // destructors closed what was.
        return failed(ENOMEM);
    }
}

int sync_folder(const PathChar* path, std::size_t path_size) noexcept {
    try {
        return sync_dir(std::string(path, path_size));
    } catch (...) {
        return ENOMEM;
    }
}

long max_name_length(const PathChar* path, std::size_t path_size) noexcept {
    try {
        std::string folder(path, path_size);
        if (folder.empty()) folder.assign(1, '.');
        for (int up = 0; up < 256; ++up) {
            errno = 0;
            long limit = pathconf(folder.c_str(), _PC_NAME_MAX);
            if (limit > 0) return limit;
            if (errno != ENOENT && errno != ENOTDIR) return -1;
            while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
            size_t slash = folder.rfind('/');
            if (slash == std::string::npos) {
                folder.assign(1, '.');
            } else {
                folder.resize(slash == 0 ? 1 : slash);
            }
        }
        return -1;
    } catch (...) {
        return -1;
    }
}

namespace {

// Room for `want` more bytes at the end of `out`; false when out of memory.
bool reserve(Bytes* out, std::size_t want) {
    if (out->capacity - out->size >= want) return true;
    if (want > SIZE_MAX - out->size) return false;
    std::size_t cap = out->size + want;
    char* p = static_cast<char*>(std::realloc(out->data, cap));
    if (!p) return false;
    out->data = p;
    out->capacity = cap;
    return true;
}

}  // namespace

ReadResult read_file(const char* path, Bytes* out) noexcept {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {ReadStage::Open, errno};
    struct stat st{};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        return {ReadStage::Open, EISDIR};
    }
    // A regular file's size (and one byte to see the end) first, then more
    // while data keeps coming.
    std::size_t want = S_ISREG(st.st_mode) && st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 8192;
    int err = 0;
    for (;;) {
        if (!reserve(out, want)) {
            err = ENOMEM;
            break;
        }
        const std::size_t room = out->capacity - out->size;
        ssize_t n = read(fd, out->data + out->size, room);
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0) break;
        out->size += static_cast<std::size_t>(n);
        if (out->size == out->capacity) want = out->size < (std::size_t{1} << 30) ? out->size : (std::size_t{1} << 30);
        else want = 1;
    }
    if (err) {
        close(fd);
        return {ReadStage::Read, err};
    }
    if (close(fd) != 0 && errno != EINTR) return {ReadStage::Close, errno};
    return {ReadStage::Done, 0};
}

int read_flags() noexcept { return O_RDONLY | O_CLOEXEC; }

}  // namespace r7u::platform
#endif
