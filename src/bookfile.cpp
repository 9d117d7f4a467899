// Book files on disk (bookfile.hpp): the Python side of the platform
// layer's reader and crash-safe writer.
#include "bookfile.hpp"

#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

namespace r7u {
namespace {

// A str as the platform layer names files (compat::platform_path_bytes);
// false, with the conversion's error set, when it has no such name.
struct PlatformPath {
    Ref bytes;
    const platform::PathChar* data = nullptr;
    std::size_t size = 0;
    explicit PlatformPath(PyObject* path) : bytes(Ref::steal(compat::platform_path_bytes(path))) {
        if (!bytes) return;
        data = reinterpret_cast<const platform::PathChar*>(PyBytes_AS_STRING(bytes.get()));
        size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())) / sizeof(platform::PathChar);
    }
    explicit operator bool() const { return data != nullptr; }
    bool has_nul() const { return std::find(data, data + size, platform::PathChar{}) != data + size; }
};

// A file name the platform layer takes whole: converted, not empty, no NUL.
// False (nothing set) otherwise: the host's open then raises its own error
// for it.
bool whole_name(const PlatformPath& p) {
    if (!p) {
        PyErr_Clear();
        return false;
    }
    return p.size != 0 && !p.has_nul();
}

// open(filename, mode, encoding="utf8") with the builtin captured at import.
Ref open_text(PyObject* filename, PyObject* mode) {
    PyObject* args[] = {filename, mode, N->utf8};
    return Ref::steal(PyObject_Vectorcall(st().b.open, args, 2, st().kw_encoding));
}

// Closes `file` after `result` was produced from it; an error of the work
// wins over an error of the close.
Ref close_after(PyObject* file, Ref result) {
    if (!result) {
        PendingError pending;
        if (!Ref::steal(PyObject_CallMethodNoArgs(file, N->close))) PyErr_Clear();
        return {};
    }
    Ref closed = Ref::steal(PyObject_CallMethodNoArgs(file, N->close));
    if (!closed) return {};
    return result;
}

// The in-place write: open(filename, "w", encoding="utf8"), one write, close.
// `text` may be null when only its UTF-8 bytes were made.
int write_in_place(PyObject* filename, PyObject* text, PyObject* encoded) {
    Ref decoded;
    if (!text) {
        decoded = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded), nullptr));
        if (!decoded) return -1;
        text = decoded.get();
    }
    Ref file = open_text(filename, N->book_mode_w);
    if (!file) return -1;
    Ref written = close_after(file.get(), Ref::steal(PyObject_CallMethodOneArg(file.get(), N->write, text)));
    return written ? 0 : -1;
}

// Another file took the target's name during the save: it stays as it is,
// and the new text goes nowhere.
R7U_COLD void swapped_error(PyObject* filename) {
    os_error(EBUSY, "The file was replaced by another during the save; it was left as it is", filename);
}

// What a step of the platform's writer means here: 0 go on, 1 write in
// place instead, -1 with its error raised (naming `filename`).
int step_outcome(platform::WriteResult result, PyObject* filename) {
    switch (result.outcome) {
        case platform::Outcome::Done:
            return 0;
        case platform::Outcome::InPlace:
            return 1;
        case platform::Outcome::Failed:
            errno_error(result.err, filename);
            return -1;
        case platform::Outcome::Swapped:
            swapped_error(filename);
            return -1;
    }
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading.
// ---------------------------------------------------------------------------
BookBytes::~BookBytes() { std::free(data_); }

int read_book_bytes(PyObject* filename, BookBytes& out) {
    if (!platform::reads_files() || !PyUnicode_CheckExact(filename)) return 0;
    PlatformPath path(filename);
    if (!whole_name(path)) return 0;
    if (PySys_Audit("open", "Osi", filename, "r", platform::read_flags()) < 0) return -1;
    platform::Bytes buffer{out.data_, 0, out.capacity_};
    platform::ReadResult result{};
    for (;;) {
        buffer.size = 0;
        Py_BEGIN_ALLOW_THREADS
        result = platform::read_file(path.data, path.size, &buffer);
        Py_END_ALLOW_THREADS
        out.data_ = buffer.data;  // owned by `out` from here on
        out.size_ = buffer.size;
        out.capacity_ = buffer.capacity;
        if (result.stage == platform::ReadStage::Done || result.err != EINTR) break;
        if (PyErr_CheckSignals() < 0) return -1;
    }
    switch (result.stage) {
        case platform::ReadStage::Done:
            break;
        case platform::ReadStage::Open:
            errno = result.err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
            return -1;
        case platform::ReadStage::Read:
        case platform::ReadStage::Close:
            if (result.err == ENOMEM) {
                PyErr_NoMemory();
                return -1;
            }
            errno = result.err;
            PyErr_SetFromErrno(PyExc_OSError);
            return -1;
    }
    // The reader leaves room after the data.
    if (out.terminated()) out.data_[out.size_] = '\0';
    return 1;
}

Ref book_text_of(const BookBytes& bytes) {
    const char* data = bytes.data();
    const std::size_t size = bytes.size();
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(data ? data : "", static_cast<Py_ssize_t>(size), nullptr));
    if (!text || size == 0 || !std::memchr(data, '\r', size)) return text;
    Ref crlf = Ref::steal(PyUnicode_FromString("\r\n"));
    Ref cr = Ref::steal(PyUnicode_FromString("\r"));
    Ref lf = Ref::steal(PyUnicode_FromString("\n"));
    if (!crlf || !cr || !lf) return {};
    text = Ref::steal(PyUnicode_Replace(text.get(), crlf.get(), lf.get(), -1));
    if (!text) return {};
    return Ref::steal(PyUnicode_Replace(text.get(), cr.get(), lf.get(), -1));
}

Ref read_book_text(PyObject* filename) {
    Ref file = open_text(filename, N->book_mode_r);
    if (!file) return {};
    return close_after(file.get(), Ref::steal(PyObject_CallMethodNoArgs(file.get(), N->read)));
}

// ---------------------------------------------------------------------------
// Writing.
// ---------------------------------------------------------------------------
int write_book_file(PyObject* filename, PyObject* text, PyObject* encoded, bool sync_now) {
    PlatformPath path(filename);
    if (!whole_name(path)) return write_in_place(filename, text, encoded);
    platform::WriteResult result{platform::Outcome::Failed, ENOMEM};
    const char* data = PyBytes_AS_STRING(encoded);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded));
    const auto when = sync_now ? platform::FolderSync::Now : platform::FolderSync::Later;
    // `encoded` and the path stay referenced and immutable meanwhile.
    Py_BEGIN_ALLOW_THREADS
    result = platform::replace_file(path.data, path.size, data, size, when);
    Py_END_ALLOW_THREADS
    int r = step_outcome(result, filename);
    return r > 0 ? write_in_place(filename, text, encoded) : r;
}

namespace {

// One book file of a batch, written in steps: begin writes the text to the
// file's temporary file (or, where the platform says so, in place and
// whole), the batch flushes the temporary files of many together, and
// commit gives the file its name and lets go of its handles. begin and
// commit return 0, or -1 with an exception set (naming the file); begin
// with `may_wait` returns 1 instead, with nothing set, where the process or
// system is out of file handles.
class BookFileWrite {
public:
    BookFileWrite() = default;
    BookFileWrite(const BookFileWrite&) = delete;
    BookFileWrite& operator=(const BookFileWrite&) = delete;

    int begin(PyObject* filename, PyObject* text, PyObject* encoded, bool may_wait);
    int commit();
    // Its temporary file flushed (the GIL released by the caller): Done for
    // a write with nothing to flush.
    platform::WriteResult sync() noexcept {
        return pending_ ? replacement_->sync() : platform::WriteResult{platform::Outcome::Done, 0};
    }
    // After a failed sync: its error raised, the write over.
    void fail(platform::WriteResult result) {
        pending_ = false;
        step_outcome(result, filename_.get());
    }

private:
    Ref filename_, encoded_;
    std::optional<PlatformPath> path_;
    std::optional<platform::Replacement> replacement_;
    bool pending_ = false;  // begun, not yet committed or failed
};

int BookFileWrite::begin(PyObject* filename, PyObject* text, PyObject* encoded, bool may_wait) {
    pending_ = false;
    const PlatformPath& path = path_.emplace(filename);
    if (!whole_name(path)) return write_in_place(filename, text, encoded);
    const char* data = PyBytes_AS_STRING(encoded);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded));
    platform::WriteResult result{platform::Outcome::Failed, ENOMEM};
    Py_BEGIN_ALLOW_THREADS
    platform::Replacement& r = replacement_.emplace();
    result = r.prepare(path.data, path.size);
    if (result.outcome == platform::Outcome::Done) result = r.write(data, size);
    Py_END_ALLOW_THREADS
    if (may_wait && result.outcome == platform::Outcome::Failed && (result.err == EMFILE || result.err == ENFILE)) {
        replacement_.reset();
        return 1;
    }
    int outcome = step_outcome(result, filename);
    if (outcome > 0) return write_in_place(filename, text, encoded);
    if (outcome < 0) return -1;
    // Until its commit the text stays referenced, and so unchanged.
    filename_ = Ref::borrow(filename);
    encoded_ = Ref::borrow(encoded);
    pending_ = true;
    return 0;
}

int BookFileWrite::commit() {
    if (!pending_) return 0;
    pending_ = false;
    platform::WriteResult result{platform::Outcome::Failed, ENOMEM};
    Py_BEGIN_ALLOW_THREADS
    result = replacement_->commit(platform::FolderSync::Later);
    replacement_.reset();
    Py_END_ALLOW_THREADS
    // Where the platform could not rename, it may ask for the in-place write.
    int outcome = step_outcome(result, filename_.get());
    return outcome > 0 ? write_in_place(filename_.get(), nullptr, encoded_.get()) : outcome;
}

// Book files written at a time, each holding a temporary file (and a few
// handles) until its commit.
constexpr std::size_t kBooksAtATime = 64;

}  // namespace

struct BookFileBatch::Writes {
    BookFileWrite at[kBooksAtATime];
};

BookFileBatch::BookFileBatch() noexcept = default;
BookFileBatch::~BookFileBatch() = default;

int BookFileBatch::start() {
    writes_.reset(new (std::nothrow) Writes);
    if (!writes_) {
        PyErr_NoMemory();
        return -1;
    }
    queued_ = 0;
    return 0;
}

bool BookFileBatch::full() const noexcept { return queued_ == kBooksAtATime; }

int BookFileBatch::add(PyObject* filename, PyObject* text, PyObject* encoded) {
    int r = writes_->at[queued_].begin(filename, text, encoded, queued_ > 0);
    if (r == 0) ++queued_;
    return r;
}

std::size_t BookFileBatch::commit() {
    BookFileWrite* writes = writes_->at;
    const std::size_t n = std::exchange(queued_, 0);
    // Flushed until one fails.
    std::size_t synced = n;
    platform::WriteResult result{platform::Outcome::Done, 0};
    Py_BEGIN_ALLOW_THREADS
    for (std::size_t i = 0; i < n && synced == n; ++i) {
        result = writes[i].sync();
        if (result.outcome != platform::Outcome::Done) synced = i;
    }
    Py_END_ALLOW_THREADS
    Ref sync_error;
    if (synced < n) {
        writes[synced].fail(result);
        sync_error = Ref::steal(PyErr_GetRaisedException());
    }
    std::size_t in = 0;
    while (in < synced && writes[in].commit() == 0) ++in;
    // The first book that failed gives the error.
    if (in == synced && synced < n) PyErr_SetRaisedException(sync_error.release());
    return in;
}

// ---------------------------------------------------------------------------
// Folder steps.
// ---------------------------------------------------------------------------
namespace {

// Runs `step`, a platform call that answers an errno value, without the
// GIL; an error is raised naming `path`. 0 or -1.
template <class F>
int platform_step(PyObject* path, F&& step) {
    int err;
    Py_BEGIN_ALLOW_THREADS
    err = step();
    Py_END_ALLOW_THREADS
    if (!err) return 0;
    errno_error(err, path);
    return -1;
}

}  // namespace

int sync_folder(PyObject* path) {
    PlatformPath p(path);
    return p ? platform_step(path, [&] { return platform::sync_folder(p.data, p.size); }) : -1;
}

int clear_stale_temps(PyObject* path) {
    PlatformPath p(path);
    return p ? platform_step(path, [&] { return platform::clear_stale_temps(p.data, p.size); }) : -1;
}

int remove_book_file(PyObject* folder, PyObject* entry, PyObject* path) {
    if (PySys_Audit("os.remove", "Oi", path, -1) < 0) return -1;  // as os.remove(path) tells it
    PlatformPath dir(folder);
    if (!dir) return -1;
    PlatformPath name(entry);
    if (!name) return -1;
    return platform_step(path, [&] { return platform::remove_file(dir.data, dir.size, name.data, name.size); });
}

long folder_name_max(PyObject* path) {
    PlatformPath p(path);
    if (!p) {
        PyErr_Clear();
        return -1;
    }
    if (p.has_nul()) return -1;
    long limit;
    Py_BEGIN_ALLOW_THREADS
    limit = platform::max_name_length(p.data, p.size);
    Py_END_ALLOW_THREADS
    return limit;
}

}  // namespace r7u
