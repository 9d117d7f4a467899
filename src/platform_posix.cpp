// POSIX twin of the file-system layer (platform.hpp).
#ifndef _WIN32
#include "platform.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
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

std::uint64_t next_random() {
    std::uint64_t z = g_random_state.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed);
    if (z == 0) {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        z = static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(ts.tv_sec) << 30) ^
            reinterpret_cast<std::uintptr_t>(&g_random_state);
        g_random_state.fetch_add(z, std::memory_order_relaxed);
    }
    // A forked child continues its parent's sequence: mix the process in.
    z ^= static_cast<std::uint64_t>(getpid()) << 17;
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

WriteResult replace_file_unguarded(std::string target, const char* data, size_t size) {
    // Write through symbolic links: the link stays, its destination changes.
    for (int hops = 0;; ++hops) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0) {
            if (errno == ENOENT) break;
            return in_place();
        }
        if (!S_ISLNK(st.st_mode)) break;
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

    Fd dirfd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirfd.get() < 0) return in_place();

    // An existing target must be a regular file with a single name that the
    // in-place write could open; anything else keeps the in-place write and
    // so its outcome.
    bool existing = false;
    struct stat old {};
    {
        struct stat st;
        if (fstatat(dirfd.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISFIFO(st.st_mode)) {
                // Opening a pipe for writing waits for a reader: without one,
                // fail at once instead of hanging the save.
                Fd pipe(openat(dirfd.get(), base.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
                if (pipe.get() < 0 && errno == ENXIO) return failed(ENXIO);
                return in_place();
            }
            if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return in_place();
            Fd probe(openat(dirfd.get(), base.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
            if (probe.get() < 0 || fstat(probe.get(), &old) != 0) return in_place();
            if (!S_ISREG(old.st_mode) || old.st_nlink != 1) return in_place();
            existing = true;
        } else if (errno != ENOENT) {
            return in_place();
        }
    }

    std::string temp;
    Fd fd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = temp_name(base);
        // The kernel applies the umask: a new book file gets 0666 & ~umask.
        int f = openat(dirfd.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (f >= 0) {
            fd.reset(f);
            break;
        }
        if (errno != EEXIST) break;
    }
    if (fd.get() < 0) {
        int err = errno;
        return is_hard_error(err) ? failed(err) : in_place();
    }

    auto discard = [&](int err) {
        fd.close_now();
        unlinkat(dirfd.get(), temp.c_str(), 0);
        return failed(err);
    };
    if (!write_all(fd.get(), data, size)) return discard(errno);
    if (existing) {
        struct stat now;
        if (fstat(fd.get(), &now) != 0) return discard(errno);
        // Owner and group where we may set them; then the mode, which a
        // change of owner may have stripped of its set-id bits.
        if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) &&
            fchown(fd.get(), old.st_uid, old.st_gid) != 0 && errno != EPERM) {
            return discard(errno);
        }
        if (fchmod(fd.get(), old.st_mode & 07777) != 0) return discard(errno);
    }
    if (fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) return discard(errno);
    if (fd.close_now() != 0) {
        int err = errno;
        unlinkat(dirfd.get(), temp.c_str(), 0);
        return failed(err);
    }
    if (renameat(dirfd.get(), temp.c_str(), dirfd.get(), base.c_str()) != 0) {
        int err = errno;
        unlinkat(dirfd.get(), temp.c_str(), 0);
        // A mount point or a sticky folder refuses the rename but not a write.
        return is_hard_error(err) ? failed(err) : in_place();
    }
    // Make the rename itself durable.
    if (fsync(dirfd.get()) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EBADF) {
        return failed(errno);
    }
    return {Outcome::Done, 0};
}

}  // namespace

WriteResult replace_file(const char* path, std::size_t path_size, const char* data, std::size_t size) noexcept {
    try {
        return replace_file_unguarded(std::string(path, path_size), data, size);
    } catch (...) {
        // Only allocation can throw here, and nothing was created yet or the
        // destructors closed what was.
        return failed(ENOMEM);
    }
}

}  // namespace r7u::platform
#endif
