// The load of a folder tree (dirload.hpp): each sub-folder through
// ParameterDirectory.load, each book file through ParameterBook.load, as the
// module names them at each step.
#include "dirload.hpp"

#include "dirlayout.hpp"

#include <cerrno>
#include <utility>
#include <vector>

namespace r7u {
namespace {

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

}  // namespace

// Every error leaving a load says where: a book file's own note names it,
// anything else gets the folder's.
PyObject* load_directory(PyObject* directory) {
    PyObject* result = load_folder(directory);
    if (!result && !error_has_note("in the book file ") && !error_has_note("in the folder ")) {
        note_error([&] { return Ref::steal(PyUnicode_FromFormat("in the folder %R", directory)); });
    }
    return result;
}

}  // namespace r7u
