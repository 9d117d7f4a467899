// The rare ends of the loops, pair unpacking and equality (pyops.hpp).
#include "pyops.hpp"

namespace r7u {

int dict_changed_size() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return -1;
}

int dict_keys_changed() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
    return -1;
}

int py_eq(PyObject* a, PyObject* b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return str_equal(a, b) ? 1 : 0;
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

Ref map_call_slow(PyObject* map, PyObject* method) {
    RecursionGuard guard(" while walking a private map");
    if (!guard.ok()) return {};
    return Ref::steal(PyObject_CallMethodNoArgs(map, method));
}

bool unpack_two(PyObject* pair, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(pair, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(pair)->tp_iter == nullptr &&
            !PySequence_Check(pair)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        }
        return false;
    }
    Ref* slots[] = {&first, &second};
    for (int n = 0; n < 2; ++n) {
        *slots[n] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[n]) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", n);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace r7u
