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
#include "mapped.hpp"

#include <cerrno>
#include <utility>
#include <vector>

namespace r7u {
namespace {

// Our own backup-step function, so that save can use the richer internal
// form while the class attribute still holds it. Owned for the process.
PyObject* g_backup_function = nullptr;

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
    Ref dir_cls = global(N.ParameterDirectory);
    if (!dir_cls) return -1;
    Ref book_cls = global(N.ParameterBook);
    if (!book_cls) return -1;
    int r = PyObject_IsInstance(value, dir_cls.get());
    if (r != 0) return r;
    return PyObject_IsInstance(value, book_cls.get());
}

int is_directory(PyObject* value) {
    Ref dir_cls = global(N.ParameterDirectory);
    if (!dir_cls) return -1;
    return PyObject_IsInstance(value, dir_cls.get());
}

// ParameterBook.ExtName, read afresh at each use.
Ref ext_name() {
    Ref book_cls = global(N.ParameterBook);
    if (!book_cls) return {};
    return Ref::steal(PyObject_GetAttr(book_cls.get(), N.ExtName));
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
    Ref r = fs_call(N._path, func, path);
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

Ref path_attr(PyObject* attr) {
    Ref mod = global(N._path);
    if (!mod) return {};
    return Ref::steal(PyObject_GetAttr(mod.get(), attr));
}

}  // namespace

MappedClass g_directory_class{"ParameterDirectory", &N.priv_dir_parameters, nullptr, &N.ParameterDirectory,
                              RoutedName{"parameters"}, is_item, true};

namespace {

Ref item_map(PyObject* self) { return mapped_map(self, g_directory_class); }

PyObject* dir_init(PyObject* const* args, PyObject*) {
    if (!mapped_init(args[0], args[1], g_directory_class)) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Names that would not give a distinct child entry of the folder.
// ---------------------------------------------------------------------------

struct Separators {
    Ref sep, altsep;
};

int contains(PyObject* name, PyObject* part) {
    if (!part || !PyUnicode_Check(part) || PyUnicode_GET_LENGTH(part) == 0) return 0;
    Py_ssize_t at = PyUnicode_Find(name, part, 0, PyUnicode_GET_LENGTH(name), 1);
    return at == -2 ? -1 : at >= 0;
}

int unsafe_name(PyObject* name, int is_dir, const Separators& seps) {
    if (!PyUnicode_Check(name)) return 0;  // fails on concatenation, as it would anyway
    int r = contains(name, seps.sep.get());
    if (r == 0) r = contains(name, seps.altsep.get());
    if (r == 0) {
        Py_ssize_t nul = PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1);
        if (nul == -2) return -1;
        r = nul >= 0;
    }
    if (r < 0) return -1;
    if (r) {
        PyErr_Format(PyExc_ValueError,
                     "Cannot save the item %R: its name contains a path separator or a NUL character", name);
        return -1;
    }
    if (is_dir && (PyUnicode_CompareWithASCIIString(name, "") == 0 ||
                   PyUnicode_CompareWithASCIIString(name, ".") == 0 ||
                   PyUnicode_CompareWithASCIIString(name, "..") == 0)) {
        PyErr_Format(PyExc_ValueError,
                     "Cannot save the sub-directory item %R: its name does not name a folder of its own", name);
        return -1;
    }
    return 0;
}

int check_tree_names(PyObject* dir, PyObject* dir_cls, const Separators& seps) {
    RecursionGuard guard(" while checking the names of a ParameterDirectory");
    if (!guard.ok()) return -1;
    Ref map = item_map(dir);
    if (!map) return -1;
    return walk_items(map.get(), [&](PyObject* name, PyObject* item) -> int {
        int is_dir = PyObject_IsInstance(item, dir_cls);
        if (is_dir < 0) return -1;
        if (unsafe_name(name, is_dir, seps) < 0) return -1;
        return is_dir ? check_tree_names(item, dir_cls, seps) : 0;
    });
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

// Keeps the exception being handled while repair steps run: their own
// failures are dropped so that the original error goes on unchanged.
class PendingError {
    PyObject* exc_;

public:
    PendingError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~PendingError() { PyErr_SetRaisedException(exc_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
};

void best_effort(Ref r) {
    if (!r) PyErr_Clear();
}

// Moves `backup` back to `path`, replacing whatever a failed write left there
// (a platform whose rename does not replace says FileExistsError).
void restore(PyObject* backup, PyObject* path) {
    if (fs_call(N._os, N.rename, backup, path)) return;
    if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) {
        PyErr_Clear();
        return;
    }
    PyErr_Clear();
    best_effort(fs_call(N._os, N.remove, path));
    best_effort(fs_call(N._os, N.rename, backup, path));
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
    Ref listing = fs_call(N._os, N.listdir, directory);
    if (!listing) return {};
    Ref sep;  // looked up at the first book file: an empty folder needs none
    int r = walk_iterable(listing.get(), [&](PyObject* entry) -> int {
        Ref ext = ext_name();
        if (!ext) return -1;
        int book = is_book_file_name(entry, ext.get());
        if (book <= 0) return book;
        if (!sep && !(sep = path_attr(N.sep))) return -1;
        Ref path = cat3(directory, sep.get(), entry);
        if (!path) return -1;
        Ref backup = cat(path.get(), N.dir_dash);
        if (!backup) return -1;
        int move = fs_test(N.isfile, path.get());
        if (move < 0) return -1;
        if (move) {
            int taken = fs_test(N.exists, backup.get());
            if (taken < 0) return -1;
            move = !taken;
        }
        if (!move) return kept ? PyList_Append(kept, path.get()) : 0;
        if (!fs_call(N._os, N.rename, path.get(), backup.get())) return -1;
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

int contains_str(PyObject* list, PyObject* s) {
    if (!list) return 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        int eq = py_eq(PyList_GET_ITEM(list, i), s);
        if (eq != 0) return eq;
    }
    return 0;
}

// Called with the error of a failed item save set; leaves it set.
void repair_folder(FolderSave& fs) {
    PendingError pending;
    Ref origins = Ref::steal(PyList_New(0));
    if (!origins) {
        PyErr_Clear();
        return;
    }
    if (fs.backups) {
        Ref backups = Ref::borrow(fs.backups.get());
        (void)walk_iterable(backups.get(), [&](PyObject* backup) -> int {
            Ref origin = origin_of(backup);
            if (!origin) return 0;  // not one of ours: leave it
            if (PyList_Append(origins.get(), origin.get()) < 0) PyErr_Clear();
            int done = contains_str(fs.completed.get(), origin.get());
            if (done < 0) {
                PyErr_Clear();
                done = 0;
            }
            if (done) {
                best_effort(fs_call(N._os, N.remove, backup));
            } else {
                restore(backup, origin.get());
            }
            return 0;
        });
        PyErr_Clear();
    }
    // A book file this save created but did not finish goes away.
    if (fs.current_book && fs.kept) {
        PyObject* book = fs.current_book.get();
        int known = contains_str(origins.get(), book);
        if (known == 0) known = contains_str(fs.kept.get(), book);
        if (known == 0) {
            int present = fs_test(N.isfile, book);
            if (present > 0) best_effort(fs_call(N._os, N.remove, book));
        }
        PyErr_Clear();
    }
}

int save_items(PyObject* self, PyObject* directory, FolderSave& fs) {
    Ref map = item_map(self);
    if (!map) return -1;
    Ref sep = path_attr(N.sep);
    if (!sep) return -1;
    return walk_items(map.get(), [&](PyObject* name, PyObject* item) -> int {
        Ref dir_full_name = cat3(directory, sep.get(), name);
        if (!dir_full_name) return -1;
        int is_dir = is_directory(item);
        if (is_dir < 0) return -1;
        if (is_dir) {
            Ref r = Ref::steal(PyObject_CallMethodOneArg(item, N.save, dir_full_name.get()));
            return r ? 0 : -1;
        }
        Ref ext = ext_name();
        if (!ext) return -1;
        Ref book_full_name = cat3(dir_full_name.get(), N.dir_dot, ext.get());
        if (!book_full_name) return -1;
        fs.current_book = book_full_name.copy();
        Ref r = Ref::steal(PyObject_CallMethodOneArg(item, N.save, book_full_name.get()));
        if (!r) return -1;
        fs.current_book.reset();
        return PyList_Append(fs.completed.get(), book_full_name.get());
    });
}

// Removes every backup; on failure still the others, then the first error.
int remove_backups(PyObject* backups) {
    PyObject* first = nullptr;
    int r = walk_iterable(backups, [&](PyObject* backup) -> int {
        if (!fs_call(N._os, N.remove, backup)) {
            if (first) {
                PyErr_Clear();
            } else {
                first = PyErr_GetRaisedException();
            }
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

PyObject* dir_save(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* directory = args[1];
    RecursionGuard guard(" while saving a ParameterDirectory");
    if (!guard.ok()) return nullptr;

    // Refuse names that would leave this folder before anything changes.
    {
        Ref dir_cls = global(N.ParameterDirectory);
        if (!dir_cls) return nullptr;
        Separators seps;
        seps.sep = path_attr(N.sep);
        if (!seps.sep) return nullptr;
        seps.altsep = path_attr(N.altsep);
        if (!seps.altsep) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
        }
        if (check_tree_names(self, dir_cls.get(), seps) < 0) return nullptr;
    }

    FolderSave fs;
    fs.completed = Ref::steal(PyList_New(0));
    if (!fs.completed) return nullptr;
    int exists = fs_test(N.exists, directory);
    if (exists < 0) return nullptr;
    if (!exists) {
        if (!fs_call(N._os, N.makedirs, directory)) return nullptr;
        fs.backups = Ref::steal(PyList_New(0));
        if (!fs.backups) return nullptr;
        fs.kept = Ref::steal(PyList_New(0));  // a new folder holds nothing
        if (!fs.kept) return nullptr;
    } else {
        if (!assert_that([&] { return fs_test(N.isdir, directory); })) return nullptr;
        Ref cls = global(N.ParameterDirectory);
        if (!cls) return nullptr;
        Ref step = Ref::steal(PyObject_GetAttr(cls.get(), N._backup_books_in_this_directory));
        if (!step) return nullptr;
        if (step.get() == g_backup_function) {
            fs.kept = Ref::steal(PyList_New(0));
            if (!fs.kept) return nullptr;
            fs.backups = backup_books(directory, fs.kept.get());
        } else {
            // Walked twice when a save fails: hold it as a list.
            Ref made = Ref::steal(PyObject_CallOneArg(step.get(), directory));
            if (made) fs.backups = Ref::steal(PySequence_List(made.get()));
        }
        if (!fs.backups) return nullptr;
    }

    if (save_items(self, directory, fs) < 0) {
        repair_folder(fs);
        return nullptr;
    }
    if (remove_backups(fs.backups.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Load.
// ---------------------------------------------------------------------------

// The entry's name cut at its first ".".
Ref book_item_name(PyObject* entry) {
    Ref base = fs_call(N._path, N.basename, entry);
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
    int hit = py_eq(name, N.priv_dir_parameters);
    if (hit == 0) {
        Ref routed = routed_name(dir, g_directory_class.routed);
        hit = routed ? py_eq(name, routed.get()) : -1;
    }
    if (hit < 0) return -1;
    if (hit) return PyObject_SetItem(dir, name, item);
    return PyObject_SetAttr(dir, name, item);
}

// Folders this thread is loading, outermost first, as (device, inode). Links
// can lead back into a folder being loaded; two such ways make the walk
// exponential, so a folder met again inside itself ends it.
using FolderId = std::pair<unsigned long long, unsigned long long>;
thread_local std::vector<FolderId> t_loading;

// The host's own os.stat (not the module-level `_os`, which only makes the
// calls the folder layout names). Owned for the process.
PyObject* g_stat = nullptr;

// 1 with *id set; 0 when the folder has no usable identity (the walk goes
// on unchecked); -1 with an exception set.
int folder_id(PyObject* directory, FolderId* id) {
    if (!g_stat) {
        Ref os = Ref::steal(PyImport_ImportModule("os"));
        if (!os) return -1;
        g_stat = PyObject_GetAttrString(os.get(), "stat");
        if (!g_stat) return -1;
    }
    Ref st = Ref::steal(PyObject_CallOneArg(g_stat, directory));
    if (!st) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref dev = Ref::steal(PyObject_GetAttrString(st.get(), "st_dev"));
    if (!dev) return -1;
    Ref ino = Ref::steal(PyObject_GetAttrString(st.get(), "st_ino"));
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
                Ref exc = Ref::steal(PyObject_CallFunction(PyExc_OSError, "isO", ELOOP,
                                                           "Folder reached again inside itself", directory));
                if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
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

PyObject* dir_load(PyObject* const* args, PyObject*) {
    PyObject* directory = args[0];
    RecursionGuard guard(" while loading a ParameterDirectory");
    if (!guard.ok()) return nullptr;
    Ref listing = fs_call(N._os, N.listdir, directory);
    if (!listing) return nullptr;
    LoadingFolder loading;
    if (loading.enter(directory) < 0) return nullptr;
    Ref cls = global(N.ParameterDirectory);
    if (!cls) return nullptr;
    Ref result = Ref::steal(PyObject_CallNoArgs(cls.get()));
    if (!result) return nullptr;
    Ref sep;  // looked up at the first entry: an empty folder needs none
    int r = walk_iterable(listing.get(), [&](PyObject* entry) -> int {
        if (!sep && !(sep = path_attr(N.sep))) return -1;
        Ref path = cat3(directory, sep.get(), entry);
        if (!path) return -1;
        int is_dir = fs_test(N.isdir, path.get());
        if (is_dir < 0) return -1;
        if (is_dir) {
            Ref dir_cls = global(N.ParameterDirectory);
            if (!dir_cls) return -1;
            Ref item = Ref::steal(PyObject_CallMethodOneArg(dir_cls.get(), N.load, path.get()));
            if (!item) return -1;
            return store_loaded(result.get(), entry, item.get());
        }
        int is_file = fs_test(N.isfile, path.get());
        if (is_file <= 0) return is_file;
        Ref ext = ext_name();
        if (!ext) return -1;
        Ref suffix = cat(N.dir_dot, ext.get());
        if (!suffix) return -1;
        if (!PyUnicode_Check(entry)) {
            PyErr_Format(PyExc_TypeError, "folder entry must be str, not %.200s", Py_TYPE(entry)->tp_name);
            return -1;
        }
        Py_ssize_t ends = PyUnicode_Tailmatch(entry, suffix.get(), 0, PY_SSIZE_T_MAX, 1);
        if (ends <= 0) return static_cast<int>(ends);
        Ref book_cls = global(N.ParameterBook);
        if (!book_cls) return -1;
        Ref item = Ref::steal(PyObject_CallMethodOneArg(book_cls.get(), N.load, path.get()));
        if (!item) return -1;
        Ref name = book_item_name(entry);
        if (!name) return -1;
        return store_loaded(result.get(), name.get(), item.get());
    });
    if (r < 0) return nullptr;
    return result.release();
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
const FuncSpec kClone = {"clone", mapped_body(g_directory_class, Shared::Clone), 1, {{"self"}}, nullptr, nullptr, kCloneDoc};
const FuncSpec kItems = {"items", mapped_body(g_directory_class, Shared::Items), 1, {{"self"}}};
const FuncSpec kNames = {"names", mapped_body(g_directory_class, Shared::Names), 1, {{"self"}}};
const FuncSpec kGetattr = {"__getattr__", mapped_body(g_directory_class, Shared::Getattr), 2, {{"self"}, {"item"}}};
const FuncSpec kSetattr = {"__setattr__", mapped_body(g_directory_class, Shared::Setattr), 3, {{"self"}, {"key"}, {"value"}}};
const FuncSpec kDelattr = {"__delattr__", mapped_body(g_directory_class, Shared::Delattr), 2, {{"self"}, {"item"}}};
const FuncSpec kDelitem = {"__delitem__", mapped_body(g_directory_class, Shared::Delitem), 2, {{"self"}, {"key"}}};
const FuncSpec kGetitem = {"__getitem__", mapped_body(g_directory_class, Shared::Getitem), 2, {{"self"}, {"item"}}};
const FuncSpec kSetitem = {"__setitem__", mapped_body(g_directory_class, Shared::Setitem), 3, {{"self"}, {"key"}, {"value"}}};
const FuncSpec kClear = {"clear", mapped_body(g_directory_class, Shared::Clear), 1, {{"self"}}, nullptr, nullptr, kClearDoc};
const FuncSpec kRename = {
    "rename", mapped_body(g_directory_class, Shared::Rename), 3, {{"self"}, {"old", "str", Check::Str}, {"new", "str", Check::Str}},
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
    g_directory_class.own_getattr = mapped_body(g_directory_class, Shared::Getattr);
    Ref none_default = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!none_default) return -1;
    // save needs to know its own backup-step function.
    Ref backup;
    if (add_members(ns, kOwner,
                    {{kInit, none_default.get()}, {kClone}, {kItems}, {kNames}, {kGetattr}, {kSetattr}, {kDelattr},
                     {kDelitem}, {kGetitem}, {kSetitem}, {kClear}, {kRename},
                     {kBackup, nullptr, Kind::Static, &backup}, {kSave}, {kLoad, nullptr, Kind::Static}}) < 0)
        return -1;
    // A failed import may run the module body again: the newest one counts.
    Py_XSETREF(g_backup_function, backup.release());
    return 0;
}

}  // namespace r7u
