// ParameterDirectory: an ordered tree node of books and sub-directories, and
// its mirror on disk as a folder tree (one folder per directory, one book
// file per book, old book files set aside as "-" backups while a folder is
// rewritten).
//
// Every call of the folder layout goes through the module-level `_os` /
// `_path`, looked up at each call, so a wrapper bound there sees each one
// (only load's guard against link loops asks the host's os.stat directly).
// A failed save repairs the folders it touched before the original error
// goes on: every book file ends up with its old or its complete new content.
#include "directory.hpp"

#include "book.hpp"
#include "mapped.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace r7u {
namespace {

// ---------------------------------------------------------------------------
// Small helpers.
// ---------------------------------------------------------------------------

// `a + b`, as plain concatenation when both are exact str.
Ref cat(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return Ref::steal(PyUnicode_Concat(a, b));
    return Ref::steal(PyNumber_Add(a, b));
}

Ref cat3(PyObject* a, PyObject* b, PyObject* c) {
    Ref ab = cat(a, b);
    if (!ab) return {};
    return cat(ab.get(), c);
}

// isinstance(value, (ParameterDirectory, ParameterBook)), both looked up now.
int is_item(PyObject* value) {
    Ref dir_cls = global(N->ParameterDirectory);
    if (!dir_cls) return -1;
    Ref book_cls = global(N->ParameterBook);
    if (!book_cls) return -1;
    int r = PyObject_IsInstance(value, dir_cls.get());
    if (r != 0) return r;
    return PyObject_IsInstance(value, book_cls.get());
}

// ParameterBook.ExtName, read afresh at each use.
Ref ext_name() {
    Ref book_cls = global(N->ParameterBook);
    if (!book_cls) return {};
    return Ref::steal(PyObject_GetAttr(book_cls.get(), N->ExtName));
}

// `_os.<func>(a)` / `_os.<func>(a, b)` and the same on `_path`, with the
// module looked up at this very call.
Ref fs_call(PyObject* module_name, PyObject* func, PyObject* a, PyObject* b = nullptr) {
    Ref mod = global(module_name);
    if (!mod) return {};
    PyObject* argv[] = {mod.get(), a, b};
    return Ref::steal(PyObject_VectorcallMethod(func, argv, b ? 3 : 2, nullptr));
}

int fs_test(PyObject* func, PyObject* path) {
    Ref r = fs_call(N->_path, func, path);
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

Ref path_attr(PyObject* attr) {
    Ref mod = global(N->_path);
    if (!mod) return {};
    return Ref::steal(PyObject_GetAttr(mod.get(), attr));
}

constexpr const char* kRefusedItem =
    "in the entry %R: a directory holds ParameterBook and ParameterDirectory objects, not %.200s; keep a "
    "value in a book, as ParameterBook(values={%R: value})";

}  // namespace

MappedClass g_directory_class{"ParameterDirectory",    &Names::priv_dir_parameters, nullptr,
                              &Names::ParameterDirectory, "parameters",          &State::routed_directory,
                              &State::pristine_directory, is_item,
                              kRefusedItem,               kRefusedItem,          true};

namespace {

Ref item_map(PyObject* self) { return mapped_map(self, g_directory_class); }

PyObject* dir_init(PyObject* const* args, PyObject*) {
    if (!mapped_init(args[0], args[1], g_directory_class)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Backups.
// ---------------------------------------------------------------------------

// True when the entry is a book file name: something, a ".", then ExtName.
// A bare "d7ori" is not one.
int is_book_file_name(PyObject* entry, PyObject* ext) {
    if (!PyUnicode_Check(entry)) {
        PyErr_Format(PyExc_TypeError, "folder entry must be str, not %.200s", Py_TYPE(entry)->tp_name);
        return -1;
    }
    if (!PyUnicode_Check(ext)) return 0;  // no last piece of a str equals it
    const Py_ssize_t n = PyUnicode_GET_LENGTH(entry);
    const Py_ssize_t m = PyUnicode_GET_LENGTH(ext);
    if (n < m + 1) return 0;
    if (PyUnicode_READ_CHAR(entry, n - m - 1) != '.') return 0;
    Py_ssize_t dot = PyUnicode_FindChar(ext, '.', 0, m, 1);
    if (dot == -2) return -1;
    if (dot >= 0) return 0;
    Py_ssize_t r = PyUnicode_Tailmatch(entry, ext, 0, n, 1);
    return r < 0 ? -1 : r != 0;
}

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

// The backup step. Moves each book file of the folder to its backup name
// and returns the backup paths in listing order; `kept`, when given,
// receives the paths of book-named entries left in place. All or nothing:
// when a step fails, the files already moved go back first.
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

PyObject* dir_backup_books(PyObject* const* args, PyObject*) {
    return backup_books(args[0], nullptr).release();
}

// ---------------------------------------------------------------------------
// Save.
// ---------------------------------------------------------------------------

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

PyObject* dir_save(PyObject* const* args, PyObject*);

// ---------------------------------------------------------------------------
// The tree as the save sees it: taken once, checked, then used for every
// path. Each name is an exact-str copy of one that passed the checks, so no
// str subclass, second items() call or change made during the save (by a
// parameter's to_dict, say) can send a file elsewhere.
// ---------------------------------------------------------------------------

struct Folder;

struct Entry {
    Ref name;        // exact str
    Ref item;
    bool is_dir = false;
    Ref target;      // the sub-folder's or the book file's path
    Ref file_entry;  // the name of that entry inside the folder
    Ref text;        // books, native save: the book text and its UTF-8
    Ref encoded;
    std::unique_ptr<Folder> folder;  // sub-directories
};

struct Folder {
    Ref path;
    std::vector<Entry> entries;
    bool exists = false;  // native save: surveyed before anything changes
    Ref listing;          // ... and its entries then, as a list
};

// What the whole save needs to know once.
struct TreeRules {
    Ref sep, altsep;
    Ref dir_cls, book_cls;
    bool windows = false;   // the host's separator is a backslash
    bool native = true;     // every folder and item allows the native save
};

[[gnu::cold]] int refuse(const char* what, PyObject* name, const char* why) {
    PyErr_Format(PyExc_ValueError, "Cannot save the %s %R: %s", what, name, why);
    return -1;
}

int contains(PyObject* name, PyObject* part) {
    if (!part || !PyUnicode_Check(part) || PyUnicode_GET_LENGTH(part) == 0) return 0;
    Py_ssize_t at = PyUnicode_Find(name, part, 0, PyUnicode_GET_LENGTH(name), 1);
    return at == -2 ? -1 : at >= 0;
}

bool is_reserved_device(PyObject* entry) {
    // CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension.
    Py_ssize_t n = PyUnicode_GET_LENGTH(entry);
    Py_ssize_t stem = PyUnicode_FindChar(entry, '.', 0, n, 1);
    if (stem < 0) stem = n;
    while (stem > 0 && PyUnicode_READ_CHAR(entry, stem - 1) == ' ') --stem;
    if (stem != 3 && stem != 4) return false;
    char up[5] = {};
    for (Py_ssize_t i = 0; i < stem; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(entry, i);
        if (c >= 0x80) return false;
        up[i] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    if (stem == 3) {
        return !std::strcmp(up, "CON") || !std::strcmp(up, "PRN") || !std::strcmp(up, "AUX") ||
               !std::strcmp(up, "NUL");
    }
    return (!std::strncmp(up, "COM", 3) || !std::strncmp(up, "LPT", 3)) && up[3] >= '1' && up[3] <= '9';
}

Py_ssize_t utf16_units(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s), units = n;
    if (PyUnicode_KIND(s) == PyUnicode_4BYTE_KIND) {
        for (Py_ssize_t i = 0; i < n; ++i) units += PyUnicode_READ_CHAR(s, i) > 0xFFFF;
    }
    return units;
}

// Checks one item name (an exact str) and the entry it makes in its folder.
// `extra` is the length the backup name adds to a book file's name.
int check_name(const char* what, PyObject* name, PyObject* file_entry, bool is_dir, long name_max,
               const TreeRules& rules) {
    int r = contains(name, rules.sep.get());
    if (r == 0) r = contains(name, rules.altsep.get());
    if (r == 0) {
        Py_ssize_t nul = PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1);
        if (nul == -2) return -1;
        r = nul >= 0;
    }
    if (r < 0) return -1;
    if (r) return refuse(what, name, "its name contains a path separator or a NUL character");
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    if (is_dir && (n == 0 || PyUnicode_CompareWithASCIIString(name, ".") == 0 ||
                   PyUnicode_CompareWithASCIIString(name, "..") == 0)) {
        return refuse(what, name, "its name does not name a folder of its own");
    }
    if (!is_dir) {
        Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, n, 1);
        if (dot == -2) return -1;
        if (dot >= 0) return refuse(what, name, "a book name with \".\" would load under another name");
    }
    const int backup = is_dir ? 0 : 1;  // the "-" of the backup name
    if (rules.windows) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = PyUnicode_READ_CHAR(name, i);
            if (c < 0x20 || (c < 0x80 && std::strchr("\\/:*?\"<>|", static_cast<int>(c)))) {
                return refuse(what, name, "its name contains a character that Windows does not allow in names");
            }
        }
        if (is_reserved_device(file_entry)) return refuse(what, name, "its name is a reserved device name");
        Py_ssize_t m = PyUnicode_GET_LENGTH(file_entry);
        Py_UCS4 last = m ? PyUnicode_READ_CHAR(file_entry, m - 1) : 0;
        if (last == '.' || last == ' ') return refuse(what, name, "Windows drops a dot or blank at its end");
        if (utf16_units(file_entry) + backup > 255) return refuse(what, name, "its file name would be too long");
    } else if (name_max > 0) {
        Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(file_entry));
        if (!bytes) return -1;
        if (PyBytes_GET_SIZE(bytes.get()) + backup > name_max) {
            return refuse(what, name, is_dir ? "its name is longer than the folder allows"
                                             : "its file name or backup name is longer than the folder allows");
        }
    }
    return 0;
}

// Two items that would share one entry of the folder.
int check_collisions(const Folder& folder, const TreeRules& rules) {
    const size_t n = folder.entries.size();
    if (n < 2) return 0;
    std::vector<Ref> keys;
    keys.reserve(n);
    for (const Entry& e : folder.entries) {
        Ref key = rules.windows ? Ref::steal(PyObject_CallMethod(e.file_entry.get(), "casefold", nullptr))
                                : e.file_entry.copy();
        if (!key) return -1;
        keys.push_back(std::move(key));
    }
    Ref seen = Ref::steal(PyDict_New());
    if (!seen) return -1;
    for (size_t i = 0; i < n; ++i) {
        PyObject* first = PyDict_GetItemWithError(seen.get(), keys[i].get());
        if (first) {
            PyErr_Format(PyExc_ValueError, "Cannot save the %s %R: it would share its entry %R with the item %R",
                         folder.entries[i].is_dir ? "sub-directory item" : "book item",
                         folder.entries[i].name.get(), folder.entries[i].file_entry.get(), first);
            return -1;
        }
        if (PyErr_Occurred() || PyDict_SetItem(seen.get(), keys[i].get(), folder.entries[i].name.get()) < 0)
            return -1;
    }
    return 0;
}

// `path` as the platform layer takes it; false (an exception set) when it
// cannot be converted.
struct NativePath {
    Ref bytes;
    const platform::PathChar* data = nullptr;
    size_t size = 0;
    explicit NativePath(PyObject* path) : bytes(Ref::steal(compat::platform_path_bytes(path))) {
        if (!bytes) return;
        data = reinterpret_cast<const platform::PathChar*>(PyBytes_AS_STRING(bytes.get()));
        size = static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())) / sizeof(platform::PathChar);
    }
    explicit operator bool() const { return data != nullptr; }
};

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

long folder_name_max(PyObject* path) {
    NativePath p(path);
    if (!p) {
        PyErr_Clear();
        return -1;
    }
    if (std::find(p.data, p.data + p.size, platform::PathChar{}) != p.data + p.size) return -1;
    long limit;
    Py_BEGIN_ALLOW_THREADS
    limit = platform::max_name_length(p.data, p.size);
    Py_END_ALLOW_THREADS
    return limit;
}

// Takes the folder of `dir` at `path`: names copied and checked, every book
// checked for values loading would refuse; sub-directories too when `deep`.
int take_folder(PyObject* dir, PyObject* path, Folder& folder, TreeRules& rules, bool deep) {
    RecursionGuard guard(" while checking the items of a ParameterDirectory");
    if (!guard.ok()) return -1;
    folder.path = Ref::borrow(path);
    Ref map = item_map(dir);
    if (!map) return -1;
    if (!PyDict_CheckExact(map.get())) rules.native = false;
    Ref prefix = cat(path, rules.sep.get());
    if (!prefix) return -1;
    const long name_max = rules.windows ? -1 : folder_name_max(path);
    int r = walk_items(map.get(), [&](PyObject* name, PyObject* item) -> int {
        Entry e;
        if (!PyUnicode_Check(name)) {
            // Fails as building the path would.
            Ref fails = cat(prefix.get(), name);
            if (fails) PyErr_Format(PyExc_TypeError, "item name must be str, not %.200s", Py_TYPE(name)->tp_name);
            return -1;
        }
        e.name = PyUnicode_CheckExact(name) ? Ref::borrow(name) : Ref::steal(PyUnicode_FromObject(name));
        if (!e.name) return -1;
        e.item = Ref::borrow(item);
        int is_dir = PyObject_IsInstance(item, rules.dir_cls.get());
        if (is_dir < 0) return -1;
        e.is_dir = is_dir;
        PyTypeObject* want = reinterpret_cast<PyTypeObject*>(is_dir ? rules.dir_cls.get() : rules.book_cls.get());
        if (Py_TYPE(item) != want) rules.native = false;
        if (is_dir) {
            e.file_entry = e.name.copy();
        } else {
            Ref ext = ext_name();
            if (!ext) return -1;
            if (!PyUnicode_CheckExact(ext.get())) rules.native = false;
            e.file_entry = cat3(e.name.get(), N->dir_dot, ext.get());
            if (!e.file_entry) return -1;
            if (!PyUnicode_Check(e.file_entry.get())) {
                PyErr_Format(PyExc_TypeError, "book file name must be str, not %.200s",
                             Py_TYPE(e.file_entry.get())->tp_name);
                return -1;
            }
            if (!PyUnicode_CheckExact(e.file_entry.get())) {
                e.file_entry = Ref::steal(PyUnicode_FromObject(e.file_entry.get()));
                if (!e.file_entry) return -1;
            }
        }
        if (check_name(is_dir ? "sub-directory item" : "book item", e.name.get(), e.file_entry.get(), is_dir,
                       name_max, rules) < 0) {
            return -1;
        }
        e.target = Ref::steal(PyUnicode_Concat(prefix.get(), e.file_entry.get()));
        if (!e.target) return -1;
        if (is_dir) {
            if (deep) {
                e.folder = std::make_unique<Folder>();
                if (take_folder(item, e.target.get(), *e.folder, rules, true) < 0) return -1;
            }
        } else {
            int book = PyObject_IsInstance(item, rules.book_cls.get());
            if (book < 0) return -1;
            if (book && check_book_values(item) < 0) {
                note_error([&] { return note_text("in the book file %R", e.target.get()); });
                return -1;
            }
        }
        folder.entries.push_back(std::move(e));
        return 0;
    });
    if (r < 0) return -1;
    return check_collisions(folder, rules);
}

// ---------------------------------------------------------------------------
// The native tree save: each book file replaced by the crash-safe writer, no
// backups, stale book files removed last, each folder flushed once. It
// stands in for the documented protocol only while nothing it replaces was
// changed (see native_save_applies).
// ---------------------------------------------------------------------------

// The host's os and os.path and the services the folder layout names, as
// they were when the module was made: HostFs, in the state.
const NameId kOsNames[] = {&Names::listdir, &Names::makedirs, &Names::rename, &Names::remove};
const NameId kPathNames[] = {&Names::exists, &Names::isdir, &Names::isfile, &Names::basename, &Names::sep,
                             &Names::dirname};

int capture_host_fs(PyObject* ns) {
    (void)ns;
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return -1;
    Ref path = Ref::steal(PyObject_GetAttrString(os.get(), "path"));
    if (!path) return -1;
    HostFs& h = st().host;
    Py_XSETREF(h.os, os.release());
    Py_XSETREF(h.path, path.release());
    for (size_t i = 0; i < 4; ++i) Py_XSETREF(h.os_funcs[i], PyObject_GetAttr(h.os, name_of(kOsNames[i])));
    for (size_t i = 0; i < 6; ++i) Py_XSETREF(h.path_funcs[i], PyObject_GetAttr(h.path, name_of(kPathNames[i])));
    PyErr_Clear();
    return 0;
}

bool module_fs_unchanged() {
    const HostFs& host = st().host;
    if (!host.os) return false;
    Ref os = global(N->_os);
    Ref path = os ? global(N->_path) : Ref();
    if (!os || !path) {
        PyErr_Clear();
        return false;
    }
    if (os.get() != host.os || path.get() != host.path) return false;
    for (size_t i = 0; i < 4; ++i) {
        Ref f = Ref::steal(PyObject_GetAttr(host.os, name_of(kOsNames[i])));
        if (f.get() != host.os_funcs[i] || !f) {
            PyErr_Clear();
            return false;
        }
    }
    for (size_t i = 0; i < 6; ++i) {
        Ref f = Ref::steal(PyObject_GetAttr(host.path, name_of(kPathNames[i])));
        if (f.get() != host.path_funcs[i] || !f) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Our classes with our save, load and backup step, and the host's os.
bool native_save_applies(const TreeRules& rules) {
    PyObject* dir_cls = rules.dir_cls.get();
    if (!PyType_Check(dir_cls) || Py_TYPE(dir_cls) != &PyType_Type) return false;
    auto* tp = reinterpret_cast<PyTypeObject*>(dir_cls);
    if (tp->tp_base != &PyBaseObject_Type) return false;  // ours derive from object alone
    if (member_impl(tp, N->save) != dir_save) return false;
    Ref step = Ref::steal(PyObject_GetAttr(dir_cls, N->_backup_books_in_this_directory));
    if (!step) {
        PyErr_Clear();
        return false;
    }
    if (step.get() != st().backup_function) return false;
    if (!PyType_Check(rules.book_cls.get()) || Py_TYPE(rules.book_cls.get()) != &PyType_Type ||
        !book_class_saves_natively(rules.book_cls.get())) {
        return false;
    }
    return module_fs_unchanged();
}

// Book texts of the whole snapshot, before anything on disk changes.
int make_texts(Folder& folder) {
    for (Entry& e : folder.entries) {
        if (e.is_dir) {
            if (make_texts(*e.folder) < 0) return -1;
            continue;
        }
        // The book's __str__ is ours here: its text straight as UTF-8.
        if (book_text_utf8(e.item.get(), book_text(e.item.get(), true), e.text, e.encoded) < 0) {
            note_error([&] { return note_text("in the book file %R", e.target.get()); });
            return -1;
        }
    }
    return 0;
}

int sync_folder_of(PyObject* path) {
    NativePath p(path);
    return p ? platform_step(path, [&] { return platform::sync_folder(p.data, p.size); }) : -1;
}

// What killed saves left in the folder at `path`.
int clear_stale_temps_of(PyObject* path) {
    NativePath p(path);
    return p ? platform_step(path, [&] { return platform::clear_stale_temps(p.data, p.size); }) : -1;
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
// Removes the file `entry` of the folder at `folder` (its full name is
// `path`), through a handle of the folder; one already gone is no error.
int remove_entry(PyObject* folder, PyObject* entry, PyObject* path) {
    if (PySys_Audit("os.remove", "Oi", path, -1) < 0) return -1;  // as os.remove(path) tells it
    NativePath dir(folder);
    if (!dir) return -1;
    NativePath name(entry);
    if (!name) return -1;
    return platform_step(path, [&] { return platform::remove_file(dir.data, dir.size, name.data, name.size); });
}

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
        return remove_entry(folder.path.get(), entry, path.get());
    });
}

// A book file of this folder that the host spells with other letter case
// (B.D7ORI for the book B): on a folder that ignores case the new text
// would land in it, and load, which reads only the exact extension, would
// no longer see the book. Refused instead.
int refuse_case_variants(const Folder& folder, PyObject* sep) {
    Ref books = Ref::steal(PyDict_New());  // folded file name -> entry index
    if (!books) return -1;
    for (size_t i = 0; i < folder.entries.size(); ++i) {
        const Entry& e = folder.entries[i];
        if (e.is_dir) continue;
        Ref folded = Ref::steal(PyObject_CallMethod(e.file_entry.get(), "casefold", nullptr));
        Ref index = Ref::steal(PyLong_FromSize_t(i));
        if (!folded || !index || PyDict_SetItem(books.get(), folded.get(), index.get()) < 0) return -1;
    }
    if (PyDict_GET_SIZE(books.get()) == 0) return 0;
    Ref listed = Ref::steal(PySet_New(folder.listing.get()));
    if (!listed) return -1;
    return walk_iterable(folder.listing.get(), [&](PyObject* entry) -> int {
        if (!PyUnicode_Check(entry)) return 0;
        Ref folded = Ref::steal(PyObject_CallMethod(entry, "casefold", nullptr));
        if (!folded) return -1;
        PyObject* index = PyDict_GetItemWithError(books.get(), folded.get());
        if (!index) return PyErr_Occurred() ? -1 : 0;
        const Entry& e = folder.entries[PyLong_AsSize_t(index)];
        // Both spellings listed: two entries of a folder that tells case apart.
        int exact = PySet_Contains(listed.get(), e.file_entry.get());
        if (exact != 0) return exact < 0 ? -1 : 0;
        Ref path = cat3(folder.path.get(), sep, entry);
        if (!path) return -1;
        Ref same = Ref::steal(PyObject_CallMethod(st().host.path, "samefile", "OO", path.get(), e.target.get()));
        if (!same) {
            PyErr_Clear();  // the book's own file does not exist: two files
            return 0;
        }
        int r = PyObject_IsTrue(same.get());
        if (r <= 0) return r;
        PyErr_Format(PyExc_ValueError,
                     "Cannot save the book item %R: the folder holds its file as %R, which loading does not read",
                     e.name.get(), entry);
        return -1;
    });
}

// What each folder holds before anything changes: whether it exists (a
// path that is not a folder fails here), and its entries.
int survey(Folder& folder, PyObject* sep) {
    RecursionGuard guard(" while saving a ParameterDirectory");
    if (!guard.ok()) return -1;
    PyObject* path = folder.path.get();
    int exists = fs_test(N->exists, path);
    if (exists < 0) return -1;
    folder.exists = exists;
    if (!exists) return 0;  // nor does anything below it
    int is_dir = fs_test(N->isdir, path);
    if (is_dir <= 0) return is_dir;  // fails when its turn comes, as it always did
    folder.listing = fs_call(N->_os, N->listdir, path);
    if (!folder.listing) return -1;
    if (!PyList_CheckExact(folder.listing.get())) {
        folder.listing = Ref::steal(PySequence_List(folder.listing.get()));
        if (!folder.listing) return -1;
    }
    if (refuse_case_variants(folder, sep) < 0) return -1;
    for (Entry& e : folder.entries) {
        if (e.is_dir && survey(*e.folder, sep) < 0) return -1;
    }
    return 0;
}

// The note of a tree saved where a file is.
R7U_COLD Ref not_a_folder(PyObject* path) {
    return note_text("%R is not a folder: a tree is saved as a folder tree; save it to a folder, or to a path that "
                     "does not exist yet (save makes it)",
                     path);
}

// Book files written at a time, each holding a temporary file (and a few
// handles) until its commit.
constexpr size_t kBooksAtATime = 64;

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
        writes_.reset(new (std::nothrow) BookFileWrite[kBooksAtATime]);
        if (!writes_) {
            PyErr_NoMemory();
            return -1;
        }
        return folder(top, true) < 0 ? -1 : settle();
    }

private:
    struct Complete {
        const Folder* folder;
        size_t books;  // books begun when its last one was
    };
    PyObject* sep_;
    std::unique_ptr<BookFileWrite[]> writes_;
    size_t queued_ = 0, begun_ = 0;
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
                if (sync_folder_of(parent.get()) < 0) return -1;
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
        if (queued_ == kBooksAtATime && flush() < 0) return -1;
        int r = writes_[queued_].begin(e.target.get(), e.text.get(), e.encoded.get(), queued_ > 0);
        if (r > 0) {
            // Out of file handles: the batch goes in first, and lets go of its own.
            if (flush() < 0) return -1;
            r = writes_[0].begin(e.target.get(), e.text.get(), e.encoded.get(), false);
        }
        if (r < 0) {
            // The books before this one go in first; a failure among them gives the error instead.
            Ref error = Ref::steal(PyErr_GetRaisedException());
            if (settle() == 0) PyErr_SetRaisedException(error.release());
            return -1;
        }
        ++queued_;
        ++begun_;
        return 0;
    }

    // The queued books flushed together and given their names.
    int flush() {
        const size_t n = std::exchange(queued_, 0);
        const size_t synced = sync_book_files(writes_.get(), n);
        Ref sync_error = Ref::steal(synced < n ? PyErr_GetRaisedException() : nullptr);
        size_t in = 0;
        while (in < synced && writes_[in].commit() == 0) ++in;
        if (in == n) return 0;
        // The first book that failed gives the error.
        if (in == synced) PyErr_SetRaisedException(sync_error.release());
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
            if (remove_stale_books(f, f.listing.get(), sep_) < 0 || clear_stale_temps_of(f.path.get()) < 0 ||
                sync_folder_of(f.path.get()) < 0)
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

// ---------------------------------------------------------------------------
// The documented protocol: backups, the items' own save, repairs.
// ---------------------------------------------------------------------------
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
        if (step.get() == st().backup_function) {
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

PyObject* dir_save(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* directory = args[1];
    RecursionGuard guard(" while saving a ParameterDirectory");
    if (!guard.ok()) return nullptr;

    // Every name and every book of the tree is checked before anything on
    // disk changes.
    TreeRules rules;
    rules.dir_cls = global(N->ParameterDirectory);
    if (!rules.dir_cls) return nullptr;
    rules.book_cls = global(N->ParameterBook);
    if (!rules.book_cls) return nullptr;
    rules.sep = path_attr(N->sep);
    if (!rules.sep) return nullptr;
    rules.altsep = path_attr(N->altsep);
    if (!rules.altsep) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    if (PyUnicode_Check(rules.sep.get())) rules.windows = PyUnicode_CompareWithASCIIString(rules.sep.get(), "\\") == 0;
    rules.native = native_save_applies(rules);
    Folder top;
    if (take_folder(self, directory, top, rules, true) < 0) return nullptr;

    if (rules.native) {
        if (survey(top, rules.sep.get()) < 0 || make_texts(top) < 0 || TreeWriter(rules.sep.get()).write(top) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (save_by_protocol(directory, top) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Load.
// ---------------------------------------------------------------------------

// The entry's name cut at its first ".".
Ref book_item_name(PyObject* entry) {
    Ref base = fs_call(N->_path, N->basename, entry);
    if (!base) return {};
    if (!PyUnicode_Check(base.get())) {
        PyErr_Format(PyExc_TypeError, "folder entry must be str, not %.200s", Py_TYPE(base.get())->tp_name);
        return {};
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(base.get());
    Py_ssize_t dot = PyUnicode_FindChar(base.get(), '.', 0, n, 1);
    if (dot == -2) return {};
    if (dot < 0) {
        if (PyUnicode_CheckExact(base.get())) return base;
        dot = n;
    }
    return Ref::steal(PyUnicode_Substring(base.get(), 0, dot));
}

// Stores a loaded item by attribute assignment; a name that is the literal
// private name or the routed one of dir's class goes in by subscription, so
// it stays an item whatever class the module names now.
int store_loaded(PyObject* dir, PyObject* name, PyObject* item) {
    int hit = py_eq(name, N->priv_dir_parameters);
    if (hit == 0) hit = is_routed(dir, name, g_directory_class.routed_suffix, st().routed_directory);
    if (hit < 0) return -1;
    if (hit) return PyObject_SetItem(dir, name, item);
    return PyObject_SetAttr(dir, name, item);
}

// Folders this thread is loading, outermost first, as (device, inode). Links
// can lead back into a folder being loaded; two such ways make the walk
// exponential, so a folder met again inside itself ends it.
using FolderId = std::pair<unsigned long long, unsigned long long>;
thread_local std::vector<FolderId> t_loading;

// The host's own os.stat (HostFs::stat; not the module-level `_os`, which
// only makes the calls the folder layout names).

// 1 with *id set; 0 when the folder has no usable identity (the walk goes
// on unchecked); -1 with an exception set.
int folder_id(PyObject* directory, FolderId* id) {
    PyObject*& stat = st().host.stat;
    if (!stat) {
        Ref os = Ref::steal(PyImport_ImportModule("os"));
        if (!os) return -1;
        stat = PyObject_GetAttrString(os.get(), "stat");
        if (!stat) return -1;
    }
    Ref info = Ref::steal(PyObject_CallOneArg(stat, directory));
    if (!info) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref dev = Ref::steal(PyObject_GetAttrString(info.get(), "st_dev"));
    if (!dev) return -1;
    Ref ino = Ref::steal(PyObject_GetAttrString(info.get(), "st_ino"));
    if (!ino) return -1;
    id->first = PyLong_AsUnsignedLongLong(dev.get());
    if (!PyErr_Occurred()) id->second = PyLong_AsUnsignedLongLong(ino.get());
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return id->first || id->second ? 1 : 0;  // (0, 0): no identity on this platform
}

class LoadingFolder {
    bool pushed_ = false;

public:
    // 0, or -1 with an exception set (also when the folder is already being loaded).
    int enter(PyObject* directory) {
        FolderId id;
        int known = folder_id(directory, &id);
        if (known <= 0) return known;
        for (const FolderId& outer : t_loading) {
            if (outer == id) {
                os_error(ELOOP, "Folder reached again inside itself", directory);
                return -1;
            }
        }
        t_loading.push_back(id);
        pushed_ = true;
        return 0;
    }
    ~LoadingFolder() {
        if (pushed_) t_loading.pop_back();
    }
};

PyObject* load_folder(PyObject* directory) {
    RecursionGuard guard(" while loading a ParameterDirectory");
    if (!guard.ok()) return nullptr;
    Ref listing = fs_call(N->_os, N->listdir, directory);
    if (!listing) return nullptr;
    LoadingFolder loading;
    if (loading.enter(directory) < 0) return nullptr;
    Ref cls = global(N->ParameterDirectory);
    if (!cls) return nullptr;
    Ref result = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!result) return nullptr;
    Ref sep;  // looked up at the first entry: an empty folder needs none
    Ref books;  // book name -> the file it was loaded from
    int r = walk_iterable(listing.get(), [&](PyObject* entry) -> int {
        if (!sep && !(sep = path_attr(N->sep))) return -1;
        Ref path = cat3(directory, sep.get(), entry);
        if (!path) return -1;
        int is_dir = fs_test(N->isdir, path.get());
        if (is_dir < 0) return -1;
        if (is_dir) {
            Ref dir_cls = global(N->ParameterDirectory);
            if (!dir_cls) return -1;
            Ref item = Ref::steal(PyObject_CallMethodOneArg(dir_cls.get(), N->load, path.get()));
            if (!item) return -1;
            return store_loaded(result.get(), entry, item.get());
        }
        int is_file = fs_test(N->isfile, path.get());
        if (is_file <= 0) return is_file;
        Ref ext = ext_name();
        if (!ext) return -1;
        Ref suffix = cat(N->dir_dot, ext.get());
        if (!suffix) return -1;
        if (!PyUnicode_Check(entry)) {
            PyErr_Format(PyExc_TypeError, "folder entry must be str, not %.200s", Py_TYPE(entry)->tp_name);
            return -1;
        }
        Py_ssize_t ends = PyUnicode_Tailmatch(entry, suffix.get(), 0, PY_SSIZE_T_MAX, 1);
        if (ends <= 0) return static_cast<int>(ends);
        Ref book_cls = global(N->ParameterBook);
        if (!book_cls) return -1;
        Ref item = Ref::steal(PyObject_CallMethodOneArg(book_cls.get(), N->load, path.get()));
        if (!item) return -1;
        Ref name = book_item_name(entry);
        if (!name || (!books && !(books = Ref::steal(PyDict_New())))) return -1;
        // Only one of them could be kept, and a save of the tree would then
        // delete the other: refused.
        if (Ref first = Ref::borrow(PyDict_GetItemWithError(books.get(), name.get()))) {
            PyErr_Format(PyExc_ValueError, "The book files %R and %R of the folder %R both load as the book %R",
                         first.get(), entry, directory, name.get());
            return -1;
        }
        if (PyErr_Occurred() || PyDict_SetItem(books.get(), name.get(), entry) < 0) return -1;
        return store_loaded(result.get(), name.get(), item.get());
    });
    if (r < 0) return nullptr;
    return result.release();
}

// Every error leaving a load says where: a book file's own note names it,
// anything else gets the folder's.
PyObject* dir_load(PyObject* const* args, PyObject*) {
    PyObject* directory = args[0];
    PyObject* result = load_folder(directory);
    if (!result && !error_has_note("in the book file ") && !error_has_note("in the folder ")) {
        note_error([&] { return Ref::steal(PyUnicode_FromFormat("in the folder %R", directory)); });
    }
    return result;
}

// ---------------------------------------------------------------------------
// The class namespace.
// ---------------------------------------------------------------------------

const char* const kCloneDoc[] = {"对此参数目录对象执行深度拷贝操作。", ":return: 深度拷贝出来的参数目录对象", nullptr};
const char* const kClearDoc[] = {"删除该参数目录下的所有子项目。", ":return: None", nullptr};
const char* const kRenameDoc[] = {
    "对此参数目录下的项目执行重命名操作。",
    "注意：只能对本目录下的直接子项目进行操作，不能对子目录下的子项目执行操作。",
    ":param old: 子项目原名称",
    ":param new: 子项目的新名称",
    ":return: None",
    nullptr,
};
const char* const kSaveDoc[] = {
    "将此 ParameterDirectory 对象递归保存的参数指定的目录里面。",
    ":param directory: 要保存到的目标文件夹路径",
    ":return: None",
    nullptr,
};
const char* const kLoadDoc[] = {
    "递归加载整个文件夹的配置文件",
    ":param directory: 要加载的文件夹的路径名称",
    ":return: 一个 ParameterDirectory 对象",
    nullptr,
};

const FuncSpec kInit = {"__init__", dir_init, 2, {{"self"}, {"parameters", "_Optional[dict]", Check::OptDict}}};
const FuncSpec kClone = {"clone", mapped_body<g_directory_class>(Shared::Clone), 1, {{"self"}}, nullptr, nullptr, kCloneDoc};
const FuncSpec kItems = {"items", mapped_body<g_directory_class>(Shared::Items), 1, {{"self"}}};
const FuncSpec kNames = {"names", mapped_body<g_directory_class>(Shared::Names), 1, {{"self"}}};
const FuncSpec kGetattr = {"__getattr__", mapped_body<g_directory_class>(Shared::Getattr), 2, {{"self"}, {"item"}}};
const FuncSpec kSetattr = {"__setattr__", mapped_body<g_directory_class>(Shared::Setattr), 3, {{"self"}, {"key"}, {"value"}}};
const FuncSpec kDelattr = {"__delattr__", mapped_body<g_directory_class>(Shared::Delattr), 2, {{"self"}, {"item"}}};
const FuncSpec kDelitem = {"__delitem__", mapped_body<g_directory_class>(Shared::Delitem), 2, {{"self"}, {"key"}}};
const FuncSpec kGetitem = {"__getitem__", mapped_body<g_directory_class>(Shared::Getitem), 2, {{"self"}, {"item"}}};
const FuncSpec kSetitem = {"__setitem__", mapped_body<g_directory_class>(Shared::Setitem), 3, {{"self"}, {"key"}, {"value"}}};
const FuncSpec kClear = {"clear", mapped_body<g_directory_class>(Shared::Clear), 1, {{"self"}}, nullptr, nullptr, kClearDoc};
const FuncSpec kRename = {
    "rename", mapped_body<g_directory_class>(Shared::Rename), 3, {{"self"}, {"old", "str", Check::Str}, {"new", "str", Check::Str}},
    nullptr, nullptr, kRenameDoc,
};
const FuncSpec kBackup = {
    "_backup_books_in_this_directory", dir_backup_books, 1, {{"directory", "str", Check::Str}},
    nullptr, "_List[str]", nullptr,
};
const FuncSpec kSave = {
    "save", dir_save, 2, {{"self"}, {"directory", "str", Check::Str}}, nullptr, nullptr, kSaveDoc,
};
const FuncSpec kLoad = {"load", dir_load, 1, {{"directory", "str", Check::Str}}, nullptr, nullptr, kLoadDoc};

constexpr const char* kOwner = "ParameterDirectory";

}  // namespace

int fill_directory_namespace(PyObject* ns) {
    g_directory_class.own_getattr = mapped_body<g_directory_class>(Shared::Getattr);
    if (capture_host_fs(ns) < 0) return -1;
    Ref none_default = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!none_default) return -1;
    // save needs to know its own backup-step function.
    Ref backup;
    if (add_members(ns, kOwner,
                    {{kInit, none_default.get()}, {kClone}, {kItems}, {kNames}, {kGetattr}, {kSetattr}, {kDelattr},
                     {kDelitem}, {kGetitem}, {kSetitem}, {kClear}, {kRename},
                     {kBackup, nullptr, Kind::Static, &backup}, {kSave}, {kLoad, nullptr, Kind::Static}}) < 0)
        return -1;
    Py_XSETREF(st().backup_function, backup.release());
    return 0;
}

}  // namespace r7u
