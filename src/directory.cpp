// ParameterDirectory: an ordered tree node of books and sub-directories, its
// class namespace and routing, and the entries of its save and load, which
// the rooms of the folder layout carry out (dirlayout.hpp): the tree
// snapshot and its checks (dirsnapshot), the batched native save (dirsave),
// the documented protocol of backups and repairs (dirbackup), the load
// (dirload).
#include "directory.hpp"

#include "dirbackup.hpp"
#include "dirload.hpp"
#include "dirsave.hpp"
#include "shortcuts.hpp"

namespace r7u {
namespace {

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

constexpr const char* kRefusedItem =
    "in the entry %R: a directory holds ParameterBook and ParameterDirectory objects, not %.200s; keep a "
    "value in a book, as ParameterBook(values={%R: value})";

}  // namespace

MappedClass g_directory_class{"ParameterDirectory",    &Names::priv_dir_parameters, nullptr,
                              &Names::ParameterDirectory, "parameters",          &State::routed_directory,
                              &State::pristine_directory, is_item,
                              kRefusedItem,               kRefusedItem,          true};

namespace {

PyObject* dir_init(PyObject* const* args, PyObject*) {
    if (!mapped_init(args[0], args[1], g_directory_class)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* dir_backup_books(PyObject* const* args, PyObject*) {
    return backup_books(args[0], nullptr).release();
}

// The save: the native save, where the path's decision and the snapshot
// allow it, or the documented protocol.
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
    const bool native = tree_save_way(rules.dir_cls.get(), rules.book_cls.get());
    rules.checks_with_text = native;
    Folder top;
    if (take_folder(self, directory, top, rules, true) < 0) return nullptr;

    if (native && rules.plain) {
        if (save_natively(top, rules.sep.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (check_waiting_values(top) < 0 || save_by_protocol(directory, top) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* dir_load(PyObject* const* args, PyObject*) { return load_directory(args[0]); }

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
    g_directory_class.entry_kind = "item or attribute";
    st().own.dir_save = dir_save;
    if (capture_host_fs() < 0) return -1;
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
