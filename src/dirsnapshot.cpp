// The tree snapshot of a save and its checks (dirsnapshot.hpp): names that
// would leave their folder, collide, or not load back are refused before
// anything on disk changes.
#include "dirsnapshot.hpp"

#include "book.hpp"
#include "bookfile.hpp"

#include <cstring>

namespace r7u {
namespace {

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

}  // namespace

int check_waiting_values(const Folder& folder) {
    for (const Entry& e : folder.entries) {
        if (e.folder && check_waiting_values(*e.folder) < 0) return -1;
        if (e.values_unchecked && check_book_values(e.item.get()) < 0) {
            note_error([&] { return note_text("in the book file %R", e.target.get()); });
            return -1;
        }
    }
    return 0;
}

int take_folder(PyObject* dir, PyObject* path, Folder& folder, TreeRules& rules, bool deep) {
    RecursionGuard guard(" while checking the items of a ParameterDirectory");
    if (!guard.ok()) return -1;
    folder.path = Ref::borrow(path);
    Ref map = item_map(dir);
    if (!map) return -1;
    if (!PyDict_CheckExact(map.get())) rules.plain = false;
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
        if (Py_TYPE(item) != want) rules.plain = false;
        if (is_dir) {
            e.file_entry = e.name.copy();
        } else {
            Ref ext = ext_name();
            if (!ext) return -1;
            if (!PyUnicode_CheckExact(ext.get())) rules.plain = false;
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
            if (book && rules.checks_with_text) {
                e.values_unchecked = true;
            } else if (book && check_book_values(item) < 0) {
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

}  // namespace r7u
