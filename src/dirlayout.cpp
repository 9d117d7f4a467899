// The folder layout's calls and names (dirlayout.hpp).
#include "dirlayout.hpp"

namespace r7u {

Ref cat(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return Ref::steal(PyUnicode_Concat(a, b));
    return Ref::steal(PyNumber_Add(a, b));
}

Ref cat3(PyObject* a, PyObject* b, PyObject* c) {
    Ref ab = cat(a, b);
    if (!ab) return {};
    return cat(ab.get(), c);
}

Ref fs_call(PyObject* module_name, PyObject* func, PyObject* a, PyObject* b) {
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

Ref ext_name() {
    Ref book_cls = global(N->ParameterBook);
    if (!book_cls) return {};
    return Ref::steal(PyObject_GetAttr(book_cls.get(), N->ExtName));
}

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

R7U_COLD Ref not_a_folder(PyObject* path) {
    return note_text("%R is not a folder: a tree is saved as a folder tree; save it to a folder, or to a path that "
                     "does not exist yet (save makes it)",
                     path);
}

}  // namespace r7u
