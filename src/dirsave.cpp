// The batched native tree save (dirsave.hpp): each book file replaced by
// the crash-safe writer, no backups, stale book files removed last, each
// folder flushed once. It stands in for the documented protocol only where
// the path decided it may (tree_save_way) and the snapshot is plain.
#include "dirsave.hpp"

#include "book.hpp"
#include "bookfile.hpp"

#include <utility>
#include <vector>

namespace r7u {
namespace {

// Book texts of the whole snapshot, before anything on disk changes, each
// book's value check made with its text where the snapshot left it.
int make_texts(Folder& folder) {
    for (Entry& e : folder.entries) {
        if (e.is_dir) {
            if (make_texts(*e.folder) < 0) return -1;
            continue;
        }
        // The book's __str__ is ours here: its text straight as UTF-8.
        bool checked = false;
        if (book_text_utf8(e.item.get(), book_text(e.item.get(), true, &checked), e.text, e.encoded) < 0 ||
            (e.values_unchecked && !checked && check_book_values(e.item.get()) < 0)) {
            note_error([&] { return note_text("in the book file %R", e.target.get()); });
            return -1;
        }
    }
    return 0;
}

// 1 when the listed entry is the file a book of this save just wrote, under
// another spelling of its name (a case-insensitive folder).
int written_by_this_save(const Folder& folder, PyObject* entry, PyObject* path) {
    Ref folded = Ref::steal(PyObject_CallMethod(entry, "casefold", nullptr));
    if (!folded) return -1;
    for (const Entry& e : folder.entries) {
        if (e.is_dir) continue;
        Ref other = Ref::steal(PyObject_CallMethod(e.file_entry.get(), "casefold", nullptr));
        if (!other) return -1;
        if (!str_equal(folded.get(), other.get())) continue;
        Ref same = Ref::steal(PyObject_CallMethod(st().host.path, "samefile", "OO", path, e.target.get()));
        if (!same) {
            PyErr_Clear();
            return 1;  // cannot tell: keep it
        }
        int r = PyObject_IsTrue(same.get());
        if (r != 0) return r;
    }
    return 0;
}

// Book files of books no longer in the tree, by the backup step's rule for
// which files count and which stay (those whose backup name is taken).
int remove_stale_books(const Folder& folder, PyObject* listing, PyObject* sep) {
    if (!listing || PyList_GET_SIZE(listing) == 0) return 0;
    Ref current = Ref::steal(PySet_New(nullptr));
    if (!current) return -1;
    for (const Entry& e : folder.entries) {
        if (!e.is_dir && PySet_Add(current.get(), e.file_entry.get()) < 0) return -1;
    }
    return walk_iterable(listing, [&](PyObject* entry) -> int {
        Ref ext = ext_name();
        if (!ext) return -1;
        int book = is_book_file_name(entry, ext.get());
        if (book < 0) return -1;
        if (!book) return 0;
        int mine = PySet_Contains(current.get(), entry);
        if (mine != 0) return mine < 0 ? -1 : 0;
        Ref path = cat3(folder.path.get(), sep, entry);
        if (!path) return -1;
        int is_file = fs_test(N->isfile, path.get());
        if (is_file <= 0) return is_file;
        Ref backup = cat(path.get(), N->dir_dash);
        if (!backup) return -1;
        int taken = fs_test(N->exists, backup.get());
        if (taken != 0) return taken < 0 ? -1 : 0;
        int same = written_by_this_save(folder, entry, path.get());
        if (same != 0) return same < 0 ? -1 : 0;
        return remove_book_file(folder.path.get(), entry, path.get());
    });
}

// The tree's book files in batches: a batch's temporary files written,
// flushed together, then given their names; each folder's stale files
// removed and its entries flushed once, after its books. The disk waits
// once per batch rather than once per file, and every book file holds its
// old or its new text throughout. Where a step fails, the books before it
// are in and the folders complete before it finished, as the walk one item
// after the other leaves them; and before a step that runs the host's code
// (making a folder, the error of a path that is no folder), everything
// before it is done, so that code sees what that walk shows it.
class TreeWriter {
public:
    explicit TreeWriter(PyObject* sep) : sep_(sep) {}

    int write(const Folder& top) {
        if (batch_.start() < 0) return -1;
        return folder(top, true) < 0 ? -1 : settle();
    }

private:
    struct Complete {
        const Folder* folder;
        size_t books;  // books begun when its last one was
    };
    PyObject* sep_;
    BookFileBatch batch_;
    size_t begun_ = 0;
    std::vector<Complete> complete_;  // folders whose books are all begun, not yet finished

    int folder(const Folder& f, bool top) {
        RecursionGuard guard(" while saving a ParameterDirectory");
        if (!guard.ok()) return -1;
        PyObject* path = f.path.get();
        if (!f.exists) {
            if (settle() < 0 || !fs_call(N->_os, N->makedirs, path)) return -1;
            if (top) {
                // The new folder's own entry; below the top, each parent's
                // flush at its end covers its new sub-folders.
                Ref parent = fs_call(N->_path, N->dirname, path);
                if (!parent) return -1;
                if (PyUnicode_Check(parent.get()) && PyUnicode_GET_LENGTH(parent.get()) == 0)
                    parent = Ref::borrow(N->dir_dot);
                if (sync_folder(parent.get()) < 0) return -1;
            }
        } else if (!f.listing) {
            // Not a folder: the assertion, or the host's error from listing it.
            if (settle() < 0) return -1;
            if (!assert_that([&] { return fs_test(N->isdir, path); }, [&] { return not_a_folder(path); }))
                return -1;
            if (!fs_call(N->_os, N->listdir, path)) return -1;
        }
        for (const Entry& e : f.entries) {
            if (e.is_dir ? folder(*e.folder, false) < 0 : queue(e) < 0) return -1;
        }
        complete_.push_back({&f, begun_});
        return 0;
    }

    int queue(const Entry& e) {
        if (batch_.full() && flush() < 0) return -1;
        int r = batch_.add(e.target.get(), e.text.get(), e.encoded.get());
        if (r > 0) {
            // Out of file handles: the batch goes in first, and lets go of its own.
            if (flush() < 0) return -1;
            r = batch_.add(e.target.get(), e.text.get(), e.encoded.get());
        }
        if (r < 0) {
            // The books before this one go in first; a failure among them gives the error instead.
            Ref error = Ref::steal(PyErr_GetRaisedException());
            if (settle() == 0) PyErr_SetRaisedException(error.release());
            return -1;
        }
        ++begun_;
        return 0;
    }

    // The queued books flushed together and given their names.
    int flush() {
        const size_t n = batch_.queued();
        const size_t in = batch_.commit();
        if (in == n) return 0;
        finish_before(begun_ - n + in);
        return -1;
    }

    // Every queued book in, and every complete folder finished.
    int settle() {
        if (flush() < 0) return -1;
        return finish(begun_);
    }

    // The folders complete before the `books`-th book finished: their stale
    // book files and temporary files removed, their entries flushed.
    int finish(size_t books) {
        for (const Complete& c : complete_) {
            const Folder& f = *c.folder;
            if (c.books > books) break;
            if (remove_stale_books(f, f.listing.get(), sep_) < 0 || clear_stale_temps(f.path.get()) < 0 ||
                sync_folder(f.path.get()) < 0)
                return -1;
        }
        complete_.clear();
        return 0;
    }

    // After a failure at the `books`-th book, with its error set: the books
    // before it are in; what the walk would have finished before it.
    void finish_before(size_t books) {
        PendingError pending;
        if (finish(books) < 0) PyErr_Clear();
    }
};

}  // namespace

int save_natively(Folder& top, PyObject* sep) {
    if (survey(top, sep) < 0 || make_texts(top) < 0) return -1;
    return TreeWriter(sep).write(top);
}

}  // namespace r7u
