// _clone_attribute: the deep copy of an attribute value.
//
// int, float and str (subclasses included) are shared; complex, list and dict
// (subclasses included) are rebuilt as plain objects; everything else is
// refused. Nested items go back through the module-level name, so a rebound
// `_clone_attribute` takes part in every level of a copy.
#include "clone.hpp"

#include "function.hpp"
#include "globals.hpp"
#include "pyops.hpp"

namespace r7u {
namespace {

// The recursion runs through clone_value, clone_list / clone_dict,
// clone_pair_into and clone_nested only. Those keep small frames: every rare
// branch lives out of line, and they hand back new references (or null with
// an exception set) in a register instead of a Ref in memory. So the
// interpreter's recursion limit is reached long before the stack of even a
// small thread runs out. Every local reference is still owned by a Ref.
PyObject* clone_value(PyObject* attr);

R7U_COLD PyObject* unsupported(PyObject* attr) {
    Ref shown = Ref::steal(PyObject_Format(reinterpret_cast<PyObject*>(Py_TYPE(attr)), N->empty));
    if (!shown) return nullptr;
    Ref msg = Ref::steal(PyUnicode_FromFormat("Error: Unsupported attribute type: %U", shown.get()));
    if (!msg) return nullptr;
    PyErr_SetObject(st().b.TypeError, msg.get());
    return nullptr;
}

R7U_NOINLINE PyObject* clone_complex(PyObject* attr) {
    if (PyComplex_CheckExact(attr)) {
        // complex(c.real, c.imag) of two floats keeps both parts bit for bit.
        return PyComplex_FromCComplex(reinterpret_cast<PyComplexObject*>(attr)->cval);
    }
    Ref real = Ref::steal(PyObject_GetAttr(attr, N->real));
    if (!real) return nullptr;
    Ref imag = Ref::steal(PyObject_GetAttr(attr, N->imag));
    if (!imag) return nullptr;
    PyObject* args[] = {real.get(), imag.get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyComplex_Type), args, 2, nullptr);
}

R7U_NOINLINE PyObject* call_rebound(PyObject* value) {
    return call_clone_attribute(value).release();
}

// A nested item, key or value: through the module-level name, without the
// call while that still holds our own function.
PyObject* clone_nested(PyObject* value) {
    const State& s = st();
    if (global_is(s.names._clone_attribute, s.clone_function)) return clone_value(value);
    return call_rebound(value);
}

R7U_NOINLINE PyObject* clone_list_subclass(PyObject* attr) {
    // A subclass may define its own iteration: go through its iterator.
    Ref copy = Ref::steal(PyList_New(0));
    if (!copy) return nullptr;
    int r = walk_iterable(attr, [&](PyObject* item) -> int {
        Ref item_copy = Ref::steal(clone_nested(item));
        return item_copy ? PyList_Append(copy.get(), item_copy.get()) : -1;
    });
    return r < 0 ? nullptr : copy.release();
}

// A list of `size` Nones: code run by nested calls could reach the copy
// (gc.get_objects()) before it is complete, so it never holds null slots.
R7U_NOINLINE PyObject* prefilled_list(Py_ssize_t size) {
    PyObject* copy = PyList_New(size);
    if (!copy) return nullptr;
    for (Py_ssize_t j = 0; j < size; ++j) PyList_SET_ITEM(copy, j, Py_NewRef(Py_None));
    return copy;
}

R7U_NOINLINE int append_or_trim(PyObject* copy, Py_ssize_t i, PyObject* item_copy) {
    if (item_copy) return PyList_Append(copy, item_copy);
    return PyList_SetSlice(copy, i, PyList_GET_SIZE(copy), nullptr);
}

PyObject* clone_list(PyObject* attr) {
    // By position, re-reading the length at each step: nested calls may run
    // code that grows or shrinks the source. Every store is bounds-checked
    // since that code could reach the copy as well.
    Ref copy = Ref::steal(prefilled_list(PyList_GET_SIZE(attr)));
    if (!copy) return nullptr;
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(attr); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(attr, i));
        Ref item_copy = Ref::steal(clone_nested(item.get()));
        if (!item_copy) return nullptr;
        if (i < PyList_GET_SIZE(copy.get())) {
            if (PyList_SetItem(copy.get(), i, item_copy.release()) < 0) return nullptr;
        } else if (append_or_trim(copy.get(), i, item_copy.get()) < 0) {
            return nullptr;
        }
    }
    if (i < PyList_GET_SIZE(copy.get()) && append_or_trim(copy.get(), i, nullptr) < 0) return nullptr;
    return copy.release();
}

// copy[clone(key)] = clone(value), the key copied first. 0 or -1.
int clone_pair_into(PyObject* copy, PyObject* key, PyObject* value) {
    Ref key_copy = Ref::steal(clone_nested(key));
    if (!key_copy) return -1;
    Ref value_copy = Ref::steal(clone_nested(value));
    if (!value_copy) return -1;
    return PyDict_SetItem(copy, key_copy.get(), value_copy.get());
}

R7U_NOINLINE PyObject* clone_dict_subclass(PyObject* attr) {
    // A subclass answers through its own items().
    Ref copy = Ref::steal(PyDict_New());
    if (!copy) return nullptr;
    int r = walk_items(attr, [&](PyObject* key, PyObject* value) { return clone_pair_into(copy.get(), key, value); });
    return r < 0 ? nullptr : copy.release();
}

PyObject* clone_dict(PyObject* attr) {
    Ref copy = Ref::steal(compat::dict_new_presized(PyDict_GET_SIZE(attr)));
    if (!copy) return nullptr;
    int r = walk_dict(attr, [&](PyObject* key, PyObject* value) { return clone_pair_into(copy.get(), key, value); });
    return r < 0 ? nullptr : copy.release();
}

PyObject* clone_value(PyObject* attr) {
    if (PyLong_Check(attr) || PyFloat_Check(attr) || PyUnicode_Check(attr)) return Py_NewRef(attr);
    // Containers may nest without end (or contain themselves).
    RecursionGuard guard(" while cloning an attribute value");
    if (!guard.ok()) return nullptr;
    if (PyList_CheckExact(attr)) return clone_list(attr);
    if (PyDict_CheckExact(attr)) return clone_dict(attr);
    // The instance tests in their order; the exact types above cannot pass
    // more than one of them, so testing those first changes nothing.
    if (PyComplex_Check(attr)) return clone_complex(attr);
    if (PyList_Check(attr)) return clone_list_subclass(attr);
    if (PyDict_Check(attr)) return clone_dict_subclass(attr);
    return unsupported(attr);
}

PyObject* clone_attribute_impl(PyObject* const* args, PyObject*) {
    return clone_value(args[0]);
}

const FuncSpec kCloneAttribute = {
    "_clone_attribute", clone_attribute_impl, 1, {{"attr"}},
};

}  // namespace

PyObject* make_clone_attribute() {
    PyObject* f = make_function(kCloneAttribute, nullptr, nullptr);
    if (!f) return nullptr;
    // Held by the state, which also keeps its address from being reused by
    // another object.
    Py_XSETREF(st().clone_function, Py_NewRef(f));
    return f;
}

// Containers only their one holder references, leaves of the exact types
// the copy shares: a copy would be an equal tree of the same leaves that no
// one but the holder could tell from the original.
static bool fresh(PyObject* v) {
    PyTypeObject* t = Py_TYPE(v);
    if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) return true;
    if (t != &PyList_Type && t != &PyDict_Type) return false;
    return Py_REFCNT(v) == 1 && is_fresh_container(v);
}

bool is_fresh_container(PyObject* v) {
    RecursionGuard guard(" while cloning an attribute value");
    if (!guard.ok()) {
        PyErr_Clear();  // the copy that runs instead meets the limit itself
        return false;
    }
    if (PyList_CheckExact(v)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i)
            if (!fresh(PyList_GET_ITEM(v, i))) return false;
        return true;
    }
    if (!PyDict_CheckExact(v)) return false;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(v, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key) || !fresh(value)) return false;
    return true;
}

namespace {

struct Refusal {
    bool json;
    Ref path;  // list of str parts: "[0]", "['a']"
    Ref key;   // a refused key, or null
};

bool accepted_leaf(PyObject* v, bool json) {
    return PyLong_Check(v) || PyFloat_Check(v) || PyUnicode_Check(v) || (json ? v == Py_None : PyComplex_Check(v));
}

int push_part(Refusal& r, Ref part) { return part ? PyList_Append(r.path.get(), part.get()) : -1; }
int pop_part(Refusal& r) {
    return PyList_SetSlice(r.path.get(), PyList_GET_SIZE(r.path.get()) - 1, PyList_GET_SIZE(r.path.get()), nullptr);
}

// 1 when a refused value is found (r.path leads to it), 0 when none, -1 on error.
int find_refused(PyObject* v, Refusal& r) {
    if (accepted_leaf(v, r.json)) return 0;
    RecursionGuard guard(" while looking for a refused value");
    if (!guard.ok()) return -1;
    if (PyList_Check(v) || (r.json && PyTuple_Check(v))) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(v, i));
            if (push_part(r, note_text("[%zd]", i)) < 0) return -1;
            int found = find_refused(item.get(), r);
            if (found) return found;
            if (pop_part(r) < 0) return -1;
        }
        return 0;
    }
    if (!PyDict_Check(v)) return 1;
    int found = 0;
    int walked = walk_dict(v, [&](PyObject* key, PyObject* value) -> int {
        if (!accepted_leaf(key, r.json)) {
            r.key = Ref::borrow(key);
            found = 1;
            return -1;
        }
        if (push_part(r, note_text("[%R]", key)) < 0) return -1;
        found = find_refused(value, r);
        if (found) return -1;
        return pop_part(r);
    });
    return found ? found : walked;
}

}  // namespace

R7U_COLD Ref refused_at(PyObject* value, bool json) {
    Refusal r{json, Ref::steal(PyList_New(0)), {}};
    if (!r.path || find_refused(value, r) <= 0) {
        PyErr_Clear();
        return {};
    }
    Ref where = Ref::steal(PyUnicode_Join(N->empty, r.path.get()));
    if (where && PyUnicode_GET_LENGTH(where.get()) != 0) where = note_text(" at %U", where.get());
    if (where && r.key) where = note_text("%U, the key %R", where.get(), r.key.get());
    if (!where) PyErr_Clear();
    return where;
}

Ref call_clone_attribute(PyObject* value) {
    Ref f = global(N->_clone_attribute);
    if (!f) return {};
    if (f.get() == st().clone_function) return Ref::steal(clone_value(value));
    return Ref::steal(PyObject_CallOneArg(f.get(), value));
}

}  // namespace r7u
