// The file-system layer: crash-safe replacement of a file's content. It
// knows nothing of Python (no header, no object, no GIL), so it runs with the
// GIL released and can be tested alone. One implementation per platform:
// platform_posix.cpp and platform_windows.cpp.
#pragma once

#include <cstddef>

namespace r7u::platform {

enum class Outcome {
    Done,     // the target now holds the new content, durably
    InPlace,  // nothing changed; the caller writes in place instead
    Failed,   // nothing changed; err says why
};

struct WriteResult {
    Outcome outcome;
    int err;  // errno value for Failed
};

// Replaces the content of the file at `path` (bytes in the file-system
// encoding, `path_size` long, no NUL) with `size` bytes of `data`, so that
// at every instant the file holds its old or its new content.
WriteResult replace_file(const char* path, std::size_t path_size, const char* data, std::size_t size) noexcept;

}  // namespace r7u::platform
