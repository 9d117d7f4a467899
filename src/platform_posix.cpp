// POSIX twin of the file-system layer (platform.hpp).
#ifndef _WIN32
#include "platform.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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
// Every step names its file relative to one open handle of the folder, so a
// folder (or a link to one) swapped by another user during the save cannot
// send a step elsewhere. Everything here runs without the GIL and touches
// no Python object.

// Errors after which writing in place would only make matters worse: the
// old content must stay.
bool is_hard_error(int err) { return err == ENOSPC || err == EDQUOT || err == EIO || err == ENOMEM; }

WriteResult done() { return {Outcome::Done, 0}; }
WriteResult in_place() { return {Outcome::InPlace, 0}; }
WriteResult failed(int err) { return {Outcome::Failed, err}; }
WriteResult swapped() { return {Outcome::Swapped, 0}; }

#ifdef O_PATH
// A folder handle needs only search permission.
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

std::atomic<std::uint64_t> g_random_state{0};

// A forked child would continue its parent's sequence: it starts afresh,
// seeded with its own process id (asked once, not on every name).
void reseed_after_fork() { g_random_state.store(0, std::memory_order_relaxed); }

std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

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
    return mix(z);
}

constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t kRandomLetters = 10, kCheckLetters = 6, kTempTail = 1 + kRandomLetters + kCheckLetters + 4;

void append_letters(std::string& out, std::uint64_t r, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out += kLetters[r % (sizeof kLetters - 1)];
        r /= (sizeof kLetters - 1);
    }
}

// Check letters over everything before them: a name of the right shape that
// a person made carries the right ones by chance once in 62^6.
std::uint64_t name_check(const char* s, std::size_t n) {
    std::uint64_t h = 0x6A09E667F3BCC908ULL;  // FNV-1a with its own seed
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(s[i])) * 0x100000001B3ULL;
    return mix(h);
}

// "." + up to 64 bytes of the target's name (cut at a character boundary) +
// "." + 10 random letters + 6 check letters + ".tmp": neither a book file
// nor a backup name, and a shape only a save makes.
std::string temp_name(const std::string& base) {
    size_t keep = base.size() < 64 ? base.size() : 64;
    while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80) --keep;
    std::string name = ".";
    name.append(base, 0, keep);
    name += '.';
    append_letters(name, next_random(), kRandomLetters);
    append_letters(name, name_check(name.data(), name.size()), kCheckLetters);
    name += ".tmp";
    return name;
}

bool is_temp_name(const char* name, std::size_t n) {
    if (n < kTempTail + 1 || name[0] != '.' || name[n - kTempTail] != '.' || std::memcmp(name + n - 4, ".tmp", 4) != 0)
        return false;
    for (std::size_t i = n - kTempTail + 1; i < n - 4; ++i) {
        const char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    std::string check;
    const std::size_t checked = n - 4 - kCheckLetters;
    append_letters(check, name_check(name, checked), kCheckLetters);
    return std::memcmp(check.data(), name + checked, kCheckLetters) == 0;
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

bool pwrite_all(int fd, const char* data, size_t size, off_t at) {
    while (size > 0) {
        size_t chunk = size < (size_t{1} << 30) ? size : (size_t{1} << 30);
        ssize_t n = pwrite(fd, data, chunk, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        at += n;
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
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports the result (EINTR still closes on this platform).
    int close_now() noexcept {
        int r = close(fd_);
        fd_ = -1;
        return (r < 0 && errno != EINTR) ? -1 : 0;
    }
};

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool fsync_ok(int fd) { return fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP; }

// Starts writing the file's pages to disk without waiting for them: the
// disk works on a batch's files while the next are written, and each flush
// that follows finds its data on the way. Only a hint; nothing to report.
void start_writeback(int fd) {
#ifdef __linux__
    (void)sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)fd;
#endif
}

// Overwrites an open regular file with the new text, keeping the old text
// on a full disk: the part beyond the old end is written first (where the
// space runs out, the file is cut back to its old length), only then the
// old bytes are overwritten, and the file is cut to length last. This
// reserves the space by writing it, so it needs no fallocate, which some
// file systems lack (and whose C-library emulation reads the file).
WriteResult write_reserved(int fd, const char* data, size_t size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return failed(errno);
    const size_t old_size = static_cast<size_t>(st.st_size);
    if (size > old_size && !pwrite_all(fd, data + old_size, size - old_size, static_cast<off_t>(old_size))) {
        int err = errno;
        if (ftruncate(fd, static_cast<off_t>(old_size)) != 0) { /* the old text is intact either way */ }
        return failed(err);
    }
    if (!pwrite_all(fd, data, size < old_size ? size : old_size, 0)) return failed(errno);
    if (old_size > size && ftruncate(fd, static_cast<off_t>(size)) != 0) return failed(errno);
    if (!fsync_ok(fd)) return failed(errno);
    return done();
}

// Writes a file that is not a regular one (a device, a pipe with a reader)
// as the host's text-mode open would: from its start, with no truncation.
WriteResult write_stream(int fd, const char* data, size_t size) {
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (!write_all(fd, data, size)) return failed(errno);
    return done();
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

// Flushes the entries of the folder behind the handle `dirfd`.
int sync_dir_at(int dirfd) {
    Fd fd(openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return errno == EACCES ? 0 : errno;
    if (fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP && errno != EBADF) return errno;
    return 0;
}

// Opens the folder part of `path` (everything before the last "/"; "." when
// there is none) and leaves the last part in *base.
int open_folder(int at, const std::string& path, std::string* base) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        *base = path;
        return openat(at, ".", kFolderFlags);
    }
    *base = path.substr(slash + 1);
    return openat(at, slash == 0 ? "/" : path.substr(0, slash).c_str(), kFolderFlags);
}

bool read_link_at(int dirfd, const std::string& name, std::string* dest) {
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlinkat(dirfd, name.c_str(), buf.data(), buf.size());
        if (n < 0) return false;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            *dest = std::move(buf);
            return true;
        }
        buf.resize(buf.size() * 2);
    }
}

// Takes a lock on a temporary file that no other save or clean-up holds,
// and makes sure its name still leads to it (a clean-up may have removed it
// between its creation and the lock).
bool lock_as_own(int dirfd, const std::string& name, int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    struct stat mine, named;
    return fstat(fd, &mine) == 0 && fstatat(dirfd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(mine, named);
}

// Removes the temporary files of killed saves that the folder behind
// `dirfd` holds.
void clear_temps_at(int dirfd) {
    Fd listing_fd(openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (listing_fd.get() < 0) return;
    DIR* dir = fdopendir(listing_fd.get());
    if (!dir) return;
    listing_fd.release();  // the stream owns it now
    while (dirent* e = readdir(dir)) {
        const size_t n = std::strlen(e->d_name);
        if (!is_temp_name(e->d_name, n)) continue;
        Fd fd(openat(dirfd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0) continue;  // another user's, or gone
        struct stat st;
        // A save holding its lock is writing it now.
        if (!lock_as_own(dirfd, e->d_name, fd.get()) || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        unlinkat(dirfd, e->d_name, 0);
    }
    closedir(dir);
}

}  // namespace

struct Replacement::State {
    Fd dirfd;
    std::string base;       // the target's name in the folder
    std::string temp;       // the temporary file's name, while it exists
    Fd probe;               // the existing target, opened for writing
    Fd file;                // the temporary file, locked while it lives
    struct stat seen {};    // the existing target as first seen
    bool existing = false;
    bool in_place = false;  // write() writes `probe` or a stream in place
    bool stream = false;    // `probe` is no regular file
    const char* data = nullptr;  // the text, for an in-place write at commit
    size_t size = 0;

    // Drops the temporary file (its lock goes with the descriptor).
    void discard() {
        if (temp.empty()) return;
        file.reset();
        unlinkat(dirfd.get(), temp.c_str(), 0);
        temp.clear();
    }
    ~State() { discard(); }
};

Replacement::~Replacement() { delete s_; }

namespace {

// Finds the file that `path` names, following links only under the rule
// that protected links follow, and opens what the steps need.
// Looks at the name (following links under the rule) and opens an
// existing file; Swapped when another save or user changed the name
// between the look and the open, and the caller looks again.
WriteResult look_and_open(Replacement::State& s) {
    s.existing = false;
    for (int hops = 0;; ++hops) {
        if (s.base.empty() || s.base == "." || s.base == "..") return in_place();
        if (fstatat(s.dirfd.get(), s.base.c_str(), &s.seen, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return failed(errno);
            break;
        }
        if (!S_ISLNK(s.seen.st_mode)) {
            s.existing = true;
            break;
        }
        // A link in a folder others may write could point anywhere by the
        // time it is read: followed only when it belongs to this user or
        // to the folder's owner.
        struct stat folder;
        if (fstat(s.dirfd.get(), &folder) != 0) return failed(errno);
        if (s.seen.st_uid != geteuid() && s.seen.st_uid != folder.st_uid) return failed(EACCES);
        std::string dest;
        if (hops >= 40) return failed(ELOOP);
        if (!read_link_at(s.dirfd.get(), s.base, &dest)) return errno == EINVAL ? swapped() : failed(errno);
        if (dest.empty()) return failed(ENOENT);
        if (dest.find('/') == std::string::npos) {
            s.base = std::move(dest);
            continue;
        }
        const int next = open_folder(s.dirfd.get(), dest, &s.base);
        if (next < 0) return failed(errno);
        s.dirfd.reset(next);
    }
    if (!s.existing) return done();
    // The file opened must be the file seen.
    if (S_ISDIR(s.seen.st_mode)) return failed(EISDIR);
    s.probe.reset(openat(s.dirfd.get(), s.base.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (s.probe.get() < 0) return (errno == ELOOP || errno == ENOENT) ? swapped() : failed(errno);
    struct stat now;
    if (fstat(s.probe.get(), &now) != 0) return failed(errno);
    if (!same_file(now, s.seen)) return swapped();
    s.seen = now;
    return done();
}

WriteResult prepare_unguarded(Replacement::State& s, std::string path) {
    s.dirfd.reset(open_folder(AT_FDCWD, path, &s.base));
    if (s.dirfd.get() < 0) return failed(errno);
    // A name that keeps changing under the look (a tight loop of saves of
    // the same file elsewhere, or someone swapping it on purpose) fails.
    WriteResult looked = swapped();
    for (int look = 0; look < 20 && looked.outcome == Outcome::Swapped; ++look) looked = look_and_open(s);
    if (looked.outcome != Outcome::Done) return looked;
    // Every other name of the file must see the new text too.
    if (s.existing && (!S_ISREG(s.seen.st_mode) || s.seen.st_nlink != 1)) {
        s.in_place = true;
        s.stream = !S_ISREG(s.seen.st_mode);
        return done();
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        s.temp = temp_name(s.base);
        // A replacement is made private (its owner may be someone else
        // soon); a new file gets the rights the file itself will have.
        int f = openat(s.dirfd.get(), s.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                       s.existing ? 0600 : 0666);
        if (f < 0) {
            int err = errno;
            s.temp.clear();
            if (err == EEXIST) continue;
            if (s.existing && !is_hard_error(err)) {
                s.in_place = true;  // a folder that cannot take a new file: write the file itself
                return done();
            }
            return failed(err);
        }
        s.file.reset(f);
        if (lock_as_own(s.dirfd.get(), s.temp, f)) return done();
        s.discard();  // a clean-up took it first
    }
    return failed(EEXIST);
}

}  // namespace

WriteResult Replacement::prepare(const PathChar* path, std::size_t path_size) noexcept {
    try {
        delete s_;
        s_ = new State();
        return prepare_unguarded(*s_, std::string(path, path_size));
    } catch (...) {
        return failed(ENOMEM);  // allocation; the destructors closed what was open
    }
}

WriteResult Replacement::write(const char* data, std::size_t size) noexcept {
    State& s = *s_;
    s.data = data;
    s.size = size;
    if (s.in_place) return s.stream ? write_stream(s.probe.get(), data, size) : write_reserved(s.probe.get(), data, size);
    if (!write_all(s.file.get(), data, size)) {
        int err = errno;
        s.discard();
        return failed(err);
    }
    start_writeback(s.file.get());
    if (!s.existing) return done();
    // Owner and group, then what belongs to them (ACL, attributes), then
    // the mode, which a change of owner may strip of its set-id bits; all
    // after the text, whose write could strip them too. What may not be
    // carried over (another user's file) makes the write go in place, so
    // that nothing about the file changes.
    int err = 0;
    if (fchown(s.file.get(), s.seen.st_uid, s.seen.st_gid) != 0) err = errno;
    if (!err) err = copy_xattrs(s.probe.get(), s.file.get());
    if (!err && fchmod(s.file.get(), s.seen.st_mode & 07777) != 0) err = errno;
    if (!err) return done();
    s.discard();
    if (err == EPERM || err == EACCES || err == ENOTSUP || err == EINVAL || err == ERANGE) {
        s.in_place = true;
        return write_reserved(s.probe.get(), data, size);
    }
    return failed(err);
}

WriteResult Replacement::sync() noexcept {
    State& s = *s_;
    if (s.in_place || fsync_ok(s.file.get())) return done();
    int err = errno;
    s.discard();
    return failed(err);
}

WriteResult Replacement::commit(FolderSync folder_sync) noexcept {
    State& s = *s_;
    if (s.in_place) return done();
    // What holds the name now must be what was seen, or a file with the
    // same owner, group and mode (another save of the same file): nothing
    // else is replaced, so the new text never goes to another owner and no
    // file swapped in meanwhile is handed this one's owner.
    struct stat now, mine;
    if (fstat(s.file.get(), &mine) != 0) {
        int err = errno;
        s.discard();
        return failed(err);
    }
    if (fstatat(s.dirfd.get(), s.base.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0) {
        const bool seen = s.existing && same_file(now, s.seen);
        const bool alike = S_ISREG(now.st_mode) && now.st_uid == mine.st_uid && now.st_gid == mine.st_gid &&
                           (now.st_mode & 07777) == (mine.st_mode & 07777);
        if (!seen && !alike) {
            s.discard();
            return swapped();
        }
    } else if (s.existing && errno == ENOENT) {
        // Removed meanwhile: the new text takes the name all the same.
    } else if (errno != ENOENT) {
        int err = errno;
        s.discard();
        return failed(err);
    }
    if (renameat(s.dirfd.get(), s.temp.c_str(), s.dirfd.get(), s.base.c_str()) != 0) {
        int err = errno;
        s.discard();
        if (is_hard_error(err) || !s.existing) return failed(err);
        // A sticky folder refuses the rename but not a write.
        s.in_place = true;
        return write_reserved(s.probe.get(), s.data, s.size);
    }
    s.temp.clear();
    s.file.reset();  // releases the lock; the name is the file's own now
    if (folder_sync == FolderSync::Now) {
        // A book's own save clears what killed saves left; a tree save
        // does that once per folder.
        clear_temps_at(s.dirfd.get());
        int err = sync_dir_at(s.dirfd.get());
        if (err) return failed(err);
    }
    return done();
}

int sync_folder(const PathChar* path, std::size_t path_size) noexcept {
    try {
        Fd dirfd(openat(AT_FDCWD, std::string(path, path_size).c_str(), kFolderFlags));
        if (dirfd.get() < 0) return errno == EACCES ? 0 : errno;
        return sync_dir_at(dirfd.get());
    } catch (...) {
        return ENOMEM;
    }
}

int clear_stale_temps(const PathChar* path, std::size_t path_size) noexcept {
    try {
        Fd dirfd(openat(AT_FDCWD, std::string(path, path_size).c_str(), kFolderFlags));
        if (dirfd.get() >= 0) clear_temps_at(dirfd.get());
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int remove_file(const PathChar* path, std::size_t path_size, const PathChar* name, std::size_t name_size) noexcept {
    try {
        Fd dirfd(openat(AT_FDCWD, std::string(path, path_size).c_str(), kFolderFlags));
        if (dirfd.get() < 0) return errno;
        if (unlinkat(dirfd.get(), std::string(name, name_size).c_str(), 0) != 0 && errno != ENOENT) return errno;
        return 0;
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

bool reads_files() noexcept { return true; }

ReadResult read_file(const PathChar* path, std::size_t path_size, Bytes* out) noexcept {
    int fd;
    try {
        fd = open(std::string(path, path_size).c_str(), O_RDONLY | O_CLOEXEC);
    } catch (...) {
        return {ReadStage::Read, ENOMEM};
    }
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
