// The file-system layer: crash-safe replacement of a file's content, and
// reading one whole. It knows nothing of Python (no header, no object, no
// GIL), so it runs with the GIL released and can be tested alone. One
// implementation per platform: platform_posix.cpp and platform_windows.cpp.
#pragma once

#include <cstddef>

namespace r7u::platform {

// A path as the platform's file API takes it: bytes in the file-system
// encoding on POSIX, UTF-16 units on Windows (the wide API).
#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif

enum class Outcome {
    Done,     // the target now holds the new content, durably
    InPlace,  // nothing changed; the caller writes in place instead
    Failed,   // nothing changed; err says why
    Swapped,  // another file took the target's name meanwhile: left as it is
};

struct WriteResult {
    Outcome outcome;
    int err;  // errno value for Failed (the C library's, on every platform)
};

// Whether replace_file also makes the folder's entry durable before it
// returns (Now), or leaves that to one sync_folder call once every file of
// the folder is written (Later: a tree save flushes each folder once).
enum class FolderSync { Now, Later };

// Replaces the content of the file at `path` (`path_size` units, no NUL)
// with `size` bytes of `data`, so that at every instant the file holds its
// old or its new content. Every step works relative to one open handle of
// the file's folder, so a folder swapped meanwhile changes nothing. An
// existing file keeps what it was: owner, group, mode, ACL and extended
// attributes (on Windows: attributes, creation time and access rules); the
// temporary file gets them before it takes the file's name and is never
// readable by more users than the file. A symbolic link is written through
// only when it belongs to the saving user or to the owner of its folder
// (else Failed with EACCES). Where a replacement could not keep the
// metadata (a file with several names, another user's file), the POSIX
// platform writes the file in place itself, so that a full disk leaves the
// old text; Windows answers InPlace. `data` holds UTF-8 text with "\n" line
// ends, written with the platform's line end as a text-mode write would.
// A save's temporary files are locked while they live; leftovers of the
// same file from a killed save are removed.
inline WriteResult replace_file(const PathChar* path, std::size_t path_size, const char* data, std::size_t size,
                                FolderSync folder_sync = FolderSync::Now) noexcept;

// replace_file in its steps, for a caller that writes many files and
// flushes them together: prepare each, write each, sync each, commit each,
// then sync_folder once per folder. Each step returns Done to go on; any
// other outcome ends the replacement (InPlace only from prepare). A
// replacement dropped before its commit leaves no temporary file. Where
// prepare chose to write in place, write does that and the later steps
// have nothing left to do. The text given to write stays valid and
// unchanged until commit returns.
class Replacement {
public:
    Replacement() noexcept = default;
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    WriteResult prepare(const PathChar* path, std::size_t path_size) noexcept;
    WriteResult write(const char* data, std::size_t size) noexcept;
    WriteResult sync() noexcept;
    WriteResult commit(FolderSync folder_sync) noexcept;

    struct State;  // the platform's own

private:
    State* s_ = nullptr;
};

inline WriteResult replace_file(const PathChar* path, std::size_t path_size, const char* data, std::size_t size,
                                FolderSync folder_sync) noexcept {
    Replacement r;
    WriteResult w = r.prepare(path, path_size);
    if (w.outcome == Outcome::Done) w = r.write(data, size);
    if (w.outcome == Outcome::Done) w = r.sync();
    if (w.outcome == Outcome::Done) w = r.commit(folder_sync);
    return w;
}

// Removes the temporary files of killed saves from the folder at `path`:
// only names a save makes, only while no save holds them. 0, or an errno
// value (a folder that cannot be listed is no error: nothing is removed).
int clear_stale_temps(const PathChar* path, std::size_t path_size) noexcept;

// Removes the entry `name` of the folder at `path` (each `*_size` units, no
// NUL), which must be a file, not a link's destination. 0 also when it is
// gone already, or an errno value.
int remove_file(const PathChar* path, std::size_t path_size, const PathChar* name, std::size_t name_size) noexcept;

// Makes the entries of the folder at `path` (renames, removals) durable.
// 0, or an errno value. A platform without such a flush returns 0.
int sync_folder(const PathChar* path, std::size_t path_size) noexcept;

// The longest entry name, in bytes of the file-system encoding, that the
// folder at `path` (or, while it does not exist, its nearest existing
// parent) accepts; -1 when the platform states no such limit in bytes.
long max_name_length(const PathChar* path, std::size_t path_size) noexcept;

// Where reading a whole file stopped, as the host's file objects tell them
// apart: opening (the error names the file), reading or closing (it does not).
enum class ReadStage { Done, Open, Read, Close };

struct ReadResult {
    ReadStage stage;
    int err;  // errno value unless Done; EINTR: interrupted, the caller decides
};

// A growable byte buffer of the C heap; its owner frees `data` with
// std::free.
struct Bytes {
    char* data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

// Whether read_file reads files on this platform; where it does not, the
// caller reads them through the host's own open().
bool reads_files() noexcept;

// The whole content of the file at `path` (`path_size` units, no NUL, as
// for replace_file) appended to `out`, opened for reading the way the host
// opens text files: a folder fails to open with EISDIR; running out of
// memory is ENOMEM at the Read stage.
ReadResult read_file(const PathChar* path, std::size_t path_size, Bytes* out) noexcept;

// The flags read_file opens with (the host reports them to audit hooks).
int read_flags() noexcept;

}  // namespace r7u::platform
