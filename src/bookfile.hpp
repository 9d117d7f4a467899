// Book files on disk: reading one's bytes, writing one crash-safe (the
// platform layer's temporary file, metadata, flush and rename, or the host's
// in-place write where it says so), the batch of writes of a tree save, and
// the folder steps that batch needs. The only room above the platform layer
// that calls it; what the host's Python code sees of a file (audit events,
// errors naming the file, the captured open) is made here.
#pragma once

#include "support.hpp"

#include <cstddef>
#include <memory>

namespace r7u {

// ---------------------------------------------------------------------------
// Reading.
// ---------------------------------------------------------------------------
// The whole content of a book file, read without a file object; followed by
// a NUL where terminated() (the native decoder needs one).
class BookBytes {
public:
    BookBytes() = default;
    ~BookBytes();
    BookBytes(const BookBytes&) = delete;
    BookBytes& operator=(const BookBytes&) = delete;

    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool terminated() const noexcept { return size_ < capacity_; }

private:
    friend int read_book_bytes(PyObject* filename, BookBytes& out);
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// The bytes that open(filename, "r", encoding="utf8") would read, read
// without a file object (the caller decided that it may: book_read_way):
// the same audit event, the same errors (the file named when opening
// fails). 1 when read, 0 when the file must be read through open() (a name
// the platform layer does not take, a platform that does not read), -1 with
// an exception set.
int read_book_bytes(PyObject* filename, BookBytes& out);
// The text of the bytes as the text-mode read gives it: strict UTF-8 and
// universal newlines ("\r\n" and "\r" read as "\n").
Ref book_text_of(const BookBytes& bytes);
// open(filename, "r", encoding="utf8").read(), with the open captured at
// import; the file closed in any case (an error of the read wins).
Ref read_book_text(PyObject* filename);

// ---------------------------------------------------------------------------
// Writing.
// ---------------------------------------------------------------------------
// Writes a book file: crash-safe through the platform layer where the
// platform and the target allow it, otherwise in place through the captured
// open. `encoded` is the text as UTF-8; `text` the same as a str, or null
// when only the bytes were made. sync_now false leaves the folder's flush to
// the caller. 0, or -1 with an exception set.
int write_book_file(PyObject* filename, PyObject* text, PyObject* encoded, bool sync_now = true);

// The book files of a tree save, written in batches: each added write puts
// its text in the file's temporary file (or, where the platform says so,
// in place and whole), commit flushes the temporary files of the batch
// together (the GIL released) and then gives each its file's name; the
// folders' flush is the caller's. A text stays referenced until its write
// is committed; a write dropped before its commit (the batch destroyed)
// leaves no temporary file. Errors name the file.
class BookFileBatch {
public:
    BookFileBatch() noexcept;
    ~BookFileBatch();
    BookFileBatch(const BookFileBatch&) = delete;
    BookFileBatch& operator=(const BookFileBatch&) = delete;

    // Room for a batch: 0, or -1 with MemoryError set.
    int start();
    bool full() const noexcept;
    std::size_t queued() const noexcept { return queued_; }
    // Begins the write of `filename` (arguments as for write_book_file):
    // 0; 1, nothing begun and nothing set, when the process or system is
    // out of file handles while other writes are queued (commit those, then
    // add again); -1 with this file's error set, the queued writes left as
    // they are.
    int add(PyObject* filename, PyObject* text, PyObject* encoded);
    // The queued writes flushed, then given their names in order: how many
    // went in, which is all of them, or fewer with the error of the first
    // that failed set.
    std::size_t commit();

    struct Writes;  // bookfile.cpp's own

private:
    std::unique_ptr<Writes> writes_;
    std::size_t queued_ = 0;
};

// ---------------------------------------------------------------------------
// Folder steps of a tree save, through the platform layer (the GIL
// released). Each `path` is a str; 0, or -1 with an OSError naming `path`.
// ---------------------------------------------------------------------------
// Makes the folder's entries (renames, removals) durable.
int sync_folder(PyObject* path);
// Removes what killed saves left in the folder.
int clear_stale_temps(PyObject* path);
// Removes the file `entry` of `folder` (its full name is `path`, as
// os.remove(path) tells the audit hooks) through a handle of the folder;
// one already gone is no error.
int remove_book_file(PyObject* folder, PyObject* entry, PyObject* path);
// The longest entry name, in bytes of the file-system encoding, that the
// folder accepts; -1 when the platform states no limit in bytes (or the
// path has no such name).
long folder_name_max(PyObject* path);

}  // namespace r7u
