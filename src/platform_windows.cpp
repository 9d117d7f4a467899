// Windows twin of the file-system layer (platform.hpp).
#ifdef _WIN32
#include "platform.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <fcntl.h>
#include <string>
#include <vector>

namespace r7u::platform {
namespace {

// Crash-safe replacement of a file: the complete text goes to a temporary
// file beside the target, takes over an existing target's attributes,
// creation time and access rules, is flushed to disk and is renamed over
// the target with a write-through MoveFileExW.
// Everything here runs without the GIL and touches no Python object.

WriteResult done() { return {Outcome::Done, 0}; }
WriteResult in_place() { return {Outcome::InPlace, 0}; }
WriteResult failed(int err) { return {Outcome::Failed, err}; }
WriteResult swapped() { return {Outcome::Swapped, 0}; }

// The errno the C runtime gives the in-place open for the same condition,
// so the host raises the same exception with the same text.
int errno_of(DWORD code) {
    switch (code) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NOT_ENOUGH_QUOTA:
            return ENOMEM;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        default:
            return EIO;
    }
}

// Errors after which writing in place would only make matters worse: the
// old content must stay.
bool is_hard_error(DWORD code) {
    switch (code) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
        case ERROR_NOT_ENOUGH_QUOTA:
        case ERROR_WRITE_FAULT:
        case ERROR_IO_DEVICE:
        case ERROR_CRC:
            return true;
        default:
            return false;
    }
}

// Held open by another program without the sharing we need.
bool is_sharing_error(DWORD code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION; }

class Handle {
    HANDLE h_;

public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) noexcept : h_(h) {}
    ~Handle() {
        if (valid()) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const noexcept { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const noexcept { return h_; }
    void reset(HANDLE h) noexcept {
        if (valid()) CloseHandle(h_);
        h_ = h;
    }
    bool close_now() noexcept {
        BOOL ok = CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return ok != 0;
    }
};

std::atomic<std::uint64_t> g_random_state{0};

std::uint64_t next_random() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    std::uint64_t z = g_random_state.fetch_add(0x9E3779B97F4A7C15ULL, std::memory_order_relaxed);
    z ^= static_cast<std::uint64_t>(now.QuadPart) ^ (static_cast<std::uint64_t>(GetCurrentProcessId()) << 40) ^
         (static_cast<std::uint64_t>(GetCurrentThreadId()) << 20);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr wchar_t kLetters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr std::size_t kLetterCount = sizeof kLetters / sizeof kLetters[0] - 1;
constexpr std::size_t kRandomLetters = 10, kCheckLetters = 6, kTempTail = 1 + kRandomLetters + kCheckLetters + 4;

void append_letters(std::wstring& out, std::uint64_t r, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out += kLetters[r % kLetterCount];
        r /= kLetterCount;
    }
}

// Check letters over everything before them, as on POSIX (over UTF-16
// units here): a name of the right shape made by a person carries the
// right ones by chance once in 62^6.
std::uint64_t name_check(const wchar_t* s, std::size_t n) {
    std::uint64_t h = 0x6A09E667F3BCC908ULL;
    for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<std::uint16_t>(s[i])) * 0x100000001B3ULL;
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
    return h ^ (h >> 31);
}

// "." + up to 64 units of the target's name (not splitting a surrogate
// pair) + "." + 10 random letters + 6 check letters + ".tmp": neither a
// book file nor a backup name, a shape only a save makes, and the same as
// on POSIX.
std::wstring temp_name(const std::wstring& base) {
    std::size_t keep = base.size() < 64 ? base.size() : 64;
    if (keep < base.size() && base[keep - 1] >= 0xD800 && base[keep - 1] <= 0xDBFF) --keep;
    std::wstring name = L".";
    name.append(base, 0, keep);
    name += L'.';
    append_letters(name, next_random(), kRandomLetters);
    append_letters(name, name_check(name.data(), name.size()), kCheckLetters);
    name += L".tmp";
    return name;
}

bool is_temp_name(const std::wstring& name) {
    const std::size_t n = name.size();
    if (n < kTempTail + 1 || name[0] != L'.' || name[n - kTempTail] != L'.' || name.compare(n - 4, 4, L".tmp") != 0)
        return false;
    std::wstring check;
    const std::size_t checked = n - 4 - kCheckLetters;
    append_letters(check, name_check(name.data(), checked), kCheckLetters);
    return name.compare(checked, kCheckLetters, check) == 0;
}

bool write_chunk(HANDLE h, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD chunk = static_cast<DWORD>(size < (std::size_t{1} << 30) ? size : (std::size_t{1} << 30));
        DWORD written = 0;
        if (!WriteFile(h, data, chunk, &written, nullptr)) return false;
        data += written;
        size -= written;
    }
    return true;
}

// Writes the text with each "\n" as "\r\n", the text-mode rule of the
// host's open on this platform ("\r" alone passes unchanged).
bool write_text(HANDLE h, const char* data, std::size_t size) {
    char buf[1 << 14];
    std::size_t used = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (used + 2 > sizeof buf) {
            if (!write_chunk(h, buf, used)) return false;
            used = 0;
        }
        if (data[i] == '\n') buf[used++] = '\r';
        buf[used++] = data[i];
    }
    return write_chunk(h, buf, used);
}

// The file's access rules (its DACL) as a self-relative descriptor; empty
// when the file system keeps none. False when they cannot be read (also
// for want of memory: this runs while a temporary file exists).
bool read_dacl(const std::wstring& path, std::vector<char>* out) noexcept {
    DWORD need = 0;
    out->clear();
    if (GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &need)) return true;
    for (;;) {
        DWORD code = GetLastError();
        if (code == ERROR_NOT_SUPPORTED) return true;
        if (code != ERROR_INSUFFICIENT_BUFFER || need == 0) return false;
        try {
            out->resize(need);
        } catch (...) {
            return false;
        }
        if (GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, out->data(), need, &need)) {
            out->resize(need);  // shrinks: cannot throw
            return true;
        }
    }
}

// Whether the file has named streams ("name:stream"), which a new file
// renamed over it would drop. A file system without streams has none.
bool has_named_streams(const std::wstring& path) {
    WIN32_FIND_STREAM_DATA found;
    HANDLE h = FindFirstStreamW(path.c_str(), FindStreamInfoStandard, &found, 0);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool named = false;
    do {
        if (std::wcscmp(found.cStreamName, L"::$DATA") != 0) named = true;
    } while (!named && FindNextStreamW(h, &found));
    FindClose(h);
    return named;
}

using FileId = std::pair<DWORD, std::uint64_t>;  // volume serial, file index

bool file_id(HANDLE h, FileId* id, DWORD* links = nullptr) {
    BY_HANDLE_FILE_INFORMATION byh;
    if (!GetFileInformationByHandle(h, &byh)) return false;
    *id = {byh.dwVolumeSerialNumber, (std::uint64_t{byh.nFileIndexHigh} << 32) | byh.nFileIndexLow};
    if (links) *links = byh.nNumberOfLinks;
    return true;
}

// The file that holds `path` now, as an id; false when there is none.
bool id_at(const std::wstring& path, FileId* id) {
    Handle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return h.valid() && file_id(h.get(), id);
}

}  // namespace

struct Replacement::State {
    std::wstring target, folder, temp;
    Handle file;  // the temporary file, opened without sharing: no clean-up can remove it
    bool existing = false;
    FileId seen{};
    FILE_BASIC_INFO keep{};
    std::vector<char> dacl;  // the target's rules, or the new file's own

    void discard() {
        if (temp.empty()) return;
        if (file.valid()) file.close_now();
        DeleteFileW(temp.c_str());
        temp.clear();
    }
    ~State() { discard(); }
};

Replacement::~Replacement() { delete s_; }

namespace {

WriteResult prepare_unguarded(Replacement::State& s) {
    const std::wstring& target = s.target;
    // Folder part (with its separator, or a drive prefix as in "C:name").
    std::size_t cut = target.find_last_of(L"\\/");
    std::size_t base_at = cut == std::wstring::npos ? 0 : cut + 1;
    if (base_at == 0 && target.size() >= 2 && target[1] == L':') base_at = 2;
    const std::wstring base = target.substr(base_at);
    // A stream name ("x:y") or a bare folder reference keeps the in-place
    // write and so its outcome.
    if (base.empty() || base == L"." || base == L".." || base.find(L':') != std::wstring::npos) return in_place();

    // What an existing target keeps: its attributes, creation time and
    // access rules go onto the new file before it takes the target's place.
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExW(target.c_str(), GetFileExInfoStandard, &info)) {
        // Only a plain file that the in-place open could truncate: a read-only,
        // hidden or system file refuses that open, and a link, folder or
        // device is written through by it.
        const DWORD odd = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE |
                          FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_ENCRYPTED;
        if (info.dwFileAttributes & odd) return in_place();
        Handle probe(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!probe.valid()) {
            DWORD code = GetLastError();
            // Held open by another program: report it and keep the old text.
            return is_sharing_error(code) ? failed(EACCES) : in_place();
        }
        BY_HANDLE_FILE_INFORMATION byh;
        if (GetFileType(probe.get()) != FILE_TYPE_DISK || !GetFileInformationByHandle(probe.get(), &byh) ||
            byh.nNumberOfLinks != 1 || (byh.dwFileAttributes & odd)) {
            return in_place();  // a hard-linked file keeps its links: written in place
        }
        s.seen = {byh.dwVolumeSerialNumber, (std::uint64_t{byh.nFileIndexHigh} << 32) | byh.nFileIndexLow};
        s.keep.CreationTime.LowPart = byh.ftCreationTime.dwLowDateTime;
        s.keep.CreationTime.HighPart = static_cast<LONG>(byh.ftCreationTime.dwHighDateTime);
        s.keep.FileAttributes = byh.dwFileAttributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        if (s.keep.FileAttributes == 0) s.keep.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!read_dacl(target, &s.dacl) || has_named_streams(target)) return in_place();
        s.existing = true;
    } else {
        DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND) return in_place();
    }

    s.folder = target.substr(0, base_at);
    // A replacement starts with the target's own access rules, so no one
    // else may read it at any time; a new file gets the folder's.
    SECURITY_ATTRIBUTES sa{sizeof sa, s.dacl.empty() ? nullptr : s.dacl.data(), FALSE};
    DWORD code = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 100; ++attempt) {
        s.temp = s.folder + temp_name(base);
        HANDLE h = CreateFileW(s.temp.c_str(), GENERIC_WRITE, 0, s.existing ? &sa : nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            s.file.reset(h);
            break;
        }
        code = GetLastError();
        s.temp.clear();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
    }
    if (!s.file.valid()) return is_hard_error(code) ? failed(errno_of(code)) : in_place();
    if (s.existing) {
        // Inherited rules may have joined the given ones; where the target's
        // cannot be set exactly, the in-place write keeps them.
        std::vector<char> fresh;
        if (!read_dacl(s.temp, &fresh) ||
            (fresh != s.dacl && (s.dacl.empty() || !SetFileSecurityW(s.temp.c_str(), DACL_SECURITY_INFORMATION,
                                                                    reinterpret_cast<PSECURITY_DESCRIPTOR>(s.dacl.data()))))) {
            s.discard();
            return in_place();
        }
        if (!SetFileInformationByHandle(s.file.get(), FileBasicInfo, &s.keep, sizeof s.keep)) {
            s.discard();
            return in_place();
        }
    } else if (!read_dacl(s.temp, &s.dacl)) {
        s.dacl.clear();
    }
    return done();
}

}  // namespace

WriteResult Replacement::prepare(const PathChar* path, std::size_t path_size) noexcept {
    try {
        delete s_;
        s_ = new State();
        s_->target.assign(path, path_size);
        return prepare_unguarded(*s_);
    } catch (...) {
        // Only allocation can throw here, and only before the temporary
        // file exists; the destructors close what was open.
        return failed(ENOMEM);
    }
}

WriteResult Replacement::write(const char* data, std::size_t size) noexcept {
    State& s = *s_;
    if (write_text(s.file.get(), data, size)) return done();
    DWORD code = GetLastError();
    s.discard();
    return failed(errno_of(code));
}

WriteResult Replacement::sync() noexcept {
    State& s = *s_;
    if (FlushFileBuffers(s.file.get())) return done();
    DWORD code = GetLastError();
    s.discard();
    return failed(errno_of(code));
}

WriteResult Replacement::commit(FolderSync folder_sync) noexcept {
    State& s = *s_;
    // What holds the name now must be what was seen, or a file with the
    // same access rules (another save of the same file): nothing else is
    // replaced.
    FileId now;
    if (id_at(s.target, &now) && !(s.existing && now == s.seen)) {
        std::vector<char> rules;
        if (!read_dacl(s.target, &rules) || rules != s.dacl) {
            s.discard();
            return swapped();
        }
    }
    if (!s.file.close_now()) {
        DWORD code = GetLastError();
        s.discard();
        return failed(errno_of(code));
    }
    // One rename that replaces: the target holds its old or its new content
    // at every instant. (ReplaceFileW is not used: it may move the target
    // aside before the new file takes its name.) Every rename is written
    // through, so there is no folder flush to put off.
    if (MoveFileExW(s.temp.c_str(), s.target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        s.temp.clear();
        // A book's own save clears what killed saves left; a tree save does
        // that once per folder.
        if (folder_sync == FolderSync::Now) clear_stale_temps(s.folder.data(), s.folder.size());
        return done();
    }
    DWORD code = GetLastError();
    s.discard();
    // Held open by another program without delete sharing.
    if (is_sharing_error(code) || (s.existing && code == ERROR_ACCESS_DENIED)) return failed(EACCES);
    return is_hard_error(code) ? failed(errno_of(code)) : in_place();
}

// The renames were written through; nothing is left to flush.
int sync_folder(const PathChar* /*path*/, std::size_t /*path_size*/) noexcept { return 0; }

// A live save holds its temporary file open without sharing, so deleting
// it fails; a killed save's is deleted.
int clear_stale_temps(const PathChar* path, std::size_t path_size) noexcept {
    try {
        std::wstring folder(path, path_size);
        if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/' && folder.back() != L':') folder += L'\\';
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileW((folder + L".*.tmp").c_str(), &found);
        if (h == INVALID_HANDLE_VALUE) return 0;
        do {
            if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                is_temp_name(found.cFileName)) {
                DeleteFileW((folder + found.cFileName).c_str());
            }
        } while (FindNextFileW(h, &found));
        FindClose(h);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int remove_file(const PathChar* path, std::size_t path_size, const PathChar* name, std::size_t name_size) noexcept {
    try {
        std::wstring full(path, path_size);
        if (!full.empty() && full.back() != L'\\' && full.back() != L'/' && full.back() != L':') full += L'\\';
        full.append(name, name_size);
        if (DeleteFileW(full.c_str())) return 0;
        DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND ? 0 : errno_of(code);
    } catch (...) {
        return ENOMEM;
    }
}

// Windows limits names in UTF-16 units (255 on NTFS), not in bytes.
long max_name_length(const PathChar* /*path*/, std::size_t /*path_size*/) noexcept { return -1; }

// Not yet: book files are read through the host's open() here.
bool reads_files() noexcept { return false; }

ReadResult read_file(const PathChar* /*path*/, std::size_t /*path_size*/, Bytes* /*out*/) noexcept {
    return {ReadStage::Open, ENOSYS};
}

// What the host's open() passes for a text file read (FileIO adds the
// binary and no-inherit flags on Windows).
int read_flags() noexcept { return _O_RDONLY | _O_BINARY | _O_NOINHERIT; }

}  // namespace r7u::platform
#endif
