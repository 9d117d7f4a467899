// Python statements run with the interpreter's own checks and messages:
// for-loops over dicts, iterables and items(), pair unpacking, equality.
#pragma once

#include "support.hpp"

namespace r7u {

using compat::str_equal;

// ---------------------------------------------------------------------------
// Walks with the checks of the interpreter's own loops. Callbacks and walks
// return 0, or -1 with an exception set.
// ---------------------------------------------------------------------------
R7U_COLD int dict_changed_size();
R7U_COLD int dict_keys_changed();

// `for k, v in d.items()` over an exact dict: a change of size, or more
// entries met than it had (keys swapped underneath), stops the walk as the
// dict iterator does.
template <class F>
inline int walk_dict(PyObject* dict, F&& fn) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0, left = size;
    PyObject* key;
    PyObject* value;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) return dict_changed_size();
        if (!PyDict_Next(dict, &pos, &key, &value)) return 0;
        if (left-- == 0) return dict_keys_changed();
        // The callback may run code that drops the dict's own references.
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        if (fn(k.get(), v.get()) < 0) return -1;
    }
}

// `for e in iterable`: a list by position (its length read at each step, as
// the list iterator does), anything else through its iterator.
template <class F>
inline int walk_iterable(PyObject* iterable, F&& fn) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref e = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (fn(e.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    for (;;) {
        Ref e = Ref::steal(PyIter_Next(it.get()));
        if (!e) return PyErr_Occurred() ? -1 : 0;
        if (fn(e.get()) < 0) return -1;
    }
}

bool unpack_two(PyObject* pair, Ref& first, Ref& second);

// map.<method>() for a map that is no exact dict: guarded, since such a map
// may lead back to itself (a container set as its own map).
Ref map_call_slow(PyObject* map, PyObject* method);

// `for k, v in m.items()`: an exact dict directly, anything else through
// its own items().
template <class F>
inline int walk_items(PyObject* map, F&& fn) {
    if (PyDict_CheckExact(map)) return walk_dict(map, fn);
    Ref pairs = map_call_slow(map, N->items);
    if (!pairs) return -1;
    return walk_iterable(pairs.get(), [&](PyObject* pair) -> int {
        Ref key, value;
        if (!unpack_two(pair, key, value)) return -1;
        return fn(key.get(), value.get());
    });
}

// Python `a == b` truth (1, 0, -1), fast for exact str.
int py_eq(PyObject* a, PyObject* b);

}  // namespace r7u
