// The documented protocol of a tree save (dirbackup.hpp): each folder's
// book files set aside as backups, the items' own save, and the repairs of
// a save that fails, so that every book file ends up with its old or its
// complete new content.
#include "dirbackup.hpp"

#include "shortcuts.hpp"

namespace r7u {
namespace {

void best_effort(Ref r) {
    if (!r) PyErr_Clear();
}

// Moves `backup` back to `path`, replacing whatever a failed write left there
// (a platform whose rename does not replace says FileExistsError).
void restore(PyObject* backup, PyObject* path) {
    if (fs_call(N->_os, N->rename, backup, path)) return;
    if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) {
        PyErr_Clear();
        return;
    }
    PyErr_Clear();
    best_effort(fs_call(N->_os, N->remove, path));
    best_effort(fs_call(N->_os, N->rename, backup, path));
}

// `backup` without its trailing "-", or null when it has none.
Ref origin_of(PyObject* backup) {
    if (!PyUnicode_Check(backup)) return {};
    Py_ssize_t n = PyUnicode_GET_LENGTH(backup);
    if (n == 0 || PyUnicode_READ_CHAR(backup, n - 1) != '-') return {};
    Ref r = Ref::steal(PyUnicode_Substring(backup, 0, n - 1));
    if (!r) PyErr_Clear();
    return r;
}

}  // namespace

Ref backup_books(PyObject* directory, PyObject* kept) {
    Ref made = Ref::steal(PyList_New(0));
    if (!made) return {};
    Ref origins = Ref::steal(PyList_New(0));
    if (!origins) return {};
    Ref listing = fs_call(N->_os, N->listdir, directory);
    if (!listing) return {};
    Ref sep;  // looked up at the first book file: an empty folder needs none
    int r = walk_iterable(listing.get(), [&](PyObject* entry) -> int {
        Ref ext = ext_name();
        if (!ext) return -1;
        int book = is_book_file_name(entry, ext.get());
        if (book <= 0) return book;
        if (!sep && !(sep = path_attr(N->sep))) return -1;
        Ref path = cat3(directory, sep.get(), entry);
        if (!path) return -1;
        Ref backup = cat(path.get(), N->dir_dash);
        if (!backup) return -1;
        int move = fs_test(N->isfile, path.get());
        if (move < 0) return -1;
        if (move) {
            int taken = fs_test(N->exists, backup.get());
            if (taken < 0) return -1;
            move = !taken;
        }
        if (!move) return kept ? PyList_Append(kept, path.get()) : 0;
        if (!fs_call(N->_os, N->rename, path.get(), backup.get())) {
            if (PyErr_ExceptionMatches(PyExc_Exception)) return -1;
            // An interrupt (Ctrl-C) may come once the rename is done: then it
            // is undone at once.
            PendingError pending;
            if (fs_test(N->exists, path.get()) == 0 && fs_test(N->exists, backup.get()) > 0) {
                restore(backup.get(), path.get());
            }
            PyErr_Clear();
            return -1;
        }
        if (PyList_Append(origins.get(), path.get()) < 0 || PyList_Append(made.get(), backup.get()) < 0) {
            // Moved but not recorded: put this one back at once.
            PendingError pending;
            restore(backup.get(), path.get());
            return -1;
        }
        return 0;
    });
    if (r < 0) {
        PendingError pending;
        for (Py_ssize_t i = PyList_GET_SIZE(made.get()); i-- > 0;) {
            restore(PyList_GET_ITEM(made.get(), i), PyList_GET_ITEM(origins.get(), i));
        }
        return {};
    }
    return made;
}

namespace {

// What a save of one folder did, for putting it right when it fails.
struct FolderSave {
    Ref backups;          // backup paths made by the backup step
    Ref kept;             // book-named paths left in place; null when unknown
    Ref completed;        // book files written whole by this save
    Ref current_book;     // the book file being written, while it is
};

// A path as the host compares it (`_path.normcase`, where there is one).
Ref normcase(PyObject* path) {
    Ref r = fs_call(N->_path, N->normcase, path);
    if (!r) {
        PyErr_Clear();
        return Ref::borrow(path);
    }
    return r;
}

int contains_str(PyObject* list, PyObject* s) {
    if (!list) return 0;
    Ref key = normcase(s);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref entry = normcase(PyList_GET_ITEM(list, i));
        int eq = py_eq(entry.get(), key.get());
        if (eq != 0) return eq;
    }
    return 0;
}

// Called with the error of a failed item save set; leaves it set.
void repair_folder(FolderSave& fs) {
    PendingError pending;
    Ref backups = fs.backups ? Ref::borrow(fs.backups.get()) : Ref::steal(PyList_New(0));
    Ref origins = Ref::steal(PyList_New(0));
    if (!origins || !backups) {
        PyErr_Clear();
        return;
    }
    (void)walk_iterable(backups.get(), [&](PyObject* backup) -> int {
        Ref origin = origin_of(backup);
        if (origin && PyList_Append(origins.get(), origin.get()) < 0) PyErr_Clear();
        return 0;
    });
    PyErr_Clear();
    // A book file this save created but did not finish goes away first, so
    // that on a folder that ignores case it cannot take a restored file
    // with it.
    if (fs.current_book && fs.kept) {
        PyObject* book = fs.current_book.get();
        int known = contains_str(origins.get(), book);
        if (known == 0) known = contains_str(fs.kept.get(), book);
        if (known == 0) {
            int present = fs_test(N->isfile, book);
            if (present > 0) best_effort(fs_call(N->_os, N->remove, book));
        }
        PyErr_Clear();
    }
    (void)walk_iterable(backups.get(), [&](PyObject* backup) -> int {
        Ref origin = origin_of(backup);
        if (!origin) return 0;  // not one of ours: leave it
        int done = contains_str(fs.completed.get(), origin.get());
        if (done < 0) {
            PyErr_Clear();
            done = 0;
        }
        if (done) {
            best_effort(fs_call(N->_os, N->remove, backup));
        } else {
            restore(backup, origin.get());
        }
        return 0;
    });
    PyErr_Clear();
}

int save_items(const Folder& folder, FolderSave& fs) {
    for (const Entry& e : folder.entries) {
        if (e.is_dir) {
            Ref r = Ref::steal(PyObject_CallMethodOneArg(e.item.get(), N->save, e.target.get()));
            if (!r) return -1;
            continue;
        }
        fs.current_book = e.target.copy();
        Ref r = Ref::steal(PyObject_CallMethodOneArg(e.item.get(), N->save, e.target.get()));
        if (!r) return -1;
        fs.current_book.reset();
        if (PyList_Append(fs.completed.get(), e.target.get()) < 0) return -1;
    }
    return 0;
}

// Removes every backup; on failure still the others, then the first error.
int remove_backups(PyObject* backups) {
    PyObject* first = nullptr;
    int r = walk_iterable(backups, [&](PyObject* backup) -> int {
        // An interrupt (Ctrl-C) rather than a failure is tried once more: a
        // backup left behind would keep its book file from being removed
        // once the book is gone, and so bring the book back.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fs_call(N->_os, N->remove, backup)) return 0;
            const bool interrupted = !PyErr_ExceptionMatches(PyExc_Exception);
            if (first) {
                PyErr_Clear();
            } else {
                first = PyErr_GetRaisedException();
            }
            if (!interrupted) return 0;
        }
        return 0;
    });
    if (first) {
        if (r < 0) PyErr_Clear();
        PyErr_SetRaisedException(first);
        return -1;
    }
    return r;
}

}  // namespace

int save_by_protocol(PyObject* directory, const Folder& top) {
    FolderSave fs;
    fs.completed = Ref::steal(PyList_New(0));
    if (!fs.completed) return -1;
    int exists = fs_test(N->exists, directory);
    if (exists < 0) return -1;
    if (!exists) {
        if (!fs_call(N->_os, N->makedirs, directory)) return -1;
        fs.backups = Ref::steal(PyList_New(0));
        if (!fs.backups) return -1;
        fs.kept = Ref::steal(PyList_New(0));  // a new folder holds nothing
        if (!fs.kept) return -1;
    } else {
        if (!assert_that([&] { return fs_test(N->isdir, directory); }, [&] { return not_a_folder(directory); }))
            return -1;
        Ref cls = global(N->ParameterDirectory);
        if (!cls) return -1;
        Ref step = Ref::steal(PyObject_GetAttr(cls.get(), N->_backup_books_in_this_directory));
        if (!step) return -1;
        if (backup_step_is_ours(step.get())) {
            fs.kept = Ref::steal(PyList_New(0));
            if (!fs.kept) return -1;
            fs.backups = backup_books(directory, fs.kept.get());
        } else {
            // Walked twice when a save fails: hold it as a list.
            Ref made = Ref::steal(PyObject_CallOneArg(step.get(), directory));
            if (made) fs.backups = Ref::steal(PySequence_List(made.get()));
        }
        if (!fs.backups) return -1;
    }
    if (save_items(top, fs) < 0) {
        repair_folder(fs);
        return -1;
    }
    return remove_backups(fs.backups.get());
}

}  // namespace r7u
