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
#include <string>
#include <vector>

namespace r7u::platform {
namespace {

// Crash-safe replacement of a file: the complete text goes to a temporary
// file beside the target, takes over an existing target's attributes,
// creation time and access rules, is flushed to disk and is renamed over
// the target with a write-through MoveFileExW.
// Everything here runs without the GIL and touches no Python object.

WriteResult in_place() { return {Outcome::InPlace, 0}; }
WriteResult failed(int err) { return {Outcome::Failed, err}; }

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

// "." + up to 64 units of the target's name (not splitting a surrogate
// pair) + "." + 10 random letters + ".tmp": neither a book file nor a
// backup name, and the same shape as on POSIX.
std::wstring temp_name(const std::wstring& base) {
    static const wchar_t letters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const std::size_t count = sizeof letters / sizeof letters[0] - 1;
    std::size_t keep = base.size() < 64 ? base.size() : 64;
    if (keep < base.size() && base[keep - 1] >= 0xD800 && base[keep - 1] <= 0xDBFF) --keep;
    std::wstring name = L".";
    name.append(base, 0, keep);
    name += L'.';
    std::uint64_t r = next_random();
    for (int i = 0; i < 10; ++i) {
        name += letters[r % count];
        r /= count;
    }
    name += L".tmp";
    return name;
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

WriteResult replace_file_unguarded(const std::wstring& target, const char* data, std::size_t size) {
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
    bool existing = false;
    FILE_BASIC_INFO keep{};
    std::vector<char> dacl;
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
        keep.CreationTime.LowPart = byh.ftCreationTime.dwLowDateTime;
        keep.CreationTime.HighPart = static_cast<LONG>(byh.ftCreationTime.dwHighDateTime);
        keep.FileAttributes = byh.dwFileAttributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        if (keep.FileAttributes == 0) keep.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        if (!read_dacl(target, &dacl) || has_named_streams(target)) return in_place();
        existing = true;
    } else {
        DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND) return in_place();
    }

    const std::wstring folder = target.substr(0, base_at);
    std::wstring temp;
    Handle file;
    DWORD code = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = folder + temp_name(base);
        HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            file.reset(h);
            break;
        }
        code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) break;
    }
    if (!file.valid()) return is_hard_error(code) ? failed(errno_of(code)) : in_place();

    auto remove_temp = [&]() {
        if (file.valid()) file.close_now();
        DeleteFileW(temp.c_str());
    };
    auto discard = [&](DWORD why) {
        remove_temp();
        return failed(errno_of(why));
    };
    if (existing) {
        // A file made in the same folder has the folder's inherited rules,
        // mostly the target's own; different ones are copied, and where
        // they cannot be, the in-place write keeps them.
        std::vector<char> fresh;
        if (!read_dacl(temp, &fresh) ||
            (fresh != dacl && (dacl.empty() || !SetFileSecurityW(temp.c_str(), DACL_SECURITY_INFORMATION,
                                                                 reinterpret_cast<PSECURITY_DESCRIPTOR>(dacl.data()))))) {
            remove_temp();
            return in_place();
        }
        if (!SetFileInformationByHandle(file.get(), FileBasicInfo, &keep, sizeof keep)) {
            remove_temp();
            return in_place();
        }
    }
    if (!write_text(file.get(), data, size)) return discard(GetLastError());
    if (!FlushFileBuffers(file.get())) return discard(GetLastError());
    if (!file.close_now()) return discard(GetLastError());

    // One rename that replaces: the target holds its old or its new content
    // at every instant. (ReplaceFileW is not used: it may move the target
    // aside before the new file takes its name.)
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return {Outcome::Done, 0};
    }
    code = GetLastError();
    DeleteFileW(temp.c_str());
    // Held open by another program without delete sharing.
    if (is_sharing_error(code) || (existing && code == ERROR_ACCESS_DENIED)) return failed(EACCES);
    return is_hard_error(code) ? failed(errno_of(code)) : in_place();
}

}  // namespace

// Every rename is written through (MOVEFILE_WRITE_THROUGH), so there is no
// folder flush to put off: `folder_sync` changes nothing here.
WriteResult replace_file(const PathChar* path, std::size_t path_size, const char* data, std::size_t size,
                         FolderSync /*folder_sync*/) noexcept {
    try {
        return replace_file_unguarded(std::wstring(path, path_size), data, size);
    } catch (...) {
        // Only allocation can throw here, and only before the temporary
        // file exists; the destructors close what was open.
        return failed(ENOMEM);
    }
}

// The renames were written through; nothing is left to flush.
int sync_folder(const PathChar* /*path*/, std::size_t /*path_size*/) noexcept { return 0; }

// Windows limits names in UTF-16 units (255 on NTFS), not in bytes.
long max_name_length(const PathChar* /*path*/, std::size_t /*path_size*/) noexcept { return -1; }

}  // namespace r7u::platform
#endif
