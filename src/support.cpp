// Shared helpers: global lookup, errors, equality, routing and instance plumbing.
#include "support.hpp"


namespace r7u {

Names N;
State S;

// ---------------------------------------------------------------------------
// Module globals, remembered while a dict watcher sees every change of the
// namespace. The interpreter calls the watcher after it found the entry to
// change and right before changing it, with nothing run in between: it
// forgets the names the change may touch (all of them when the key is not an
// exact str, whose equality only the key itself can answer). With no watcher
// free, every read is a dict lookup.
// ---------------------------------------------------------------------------
namespace {

struct CachedGlobal {
    PyObject* name;           // borrowed from N
    PyObject* value;          // borrowed: the namespace holds it while valid
    bool valid;
};
CachedGlobal g_cached[8];
int g_ncached = 0;
int g_watcher = -1;
bool g_watching = false;

int globals_changed(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    if (dict != S.globals) return 0;
    const bool by_str = key && PyUnicode_CheckExact(key);
    for (int i = 0; i < g_ncached; ++i)
        if (!by_str || str_equal(g_cached[i].name, key)) g_cached[i].valid = false;
    if (event == PyDict_EVENT_DEALLOCATED) g_watching = false;
    return 0;
}

}  // namespace

void watch_globals() {
    g_watching = false;
    PyObject* const names[] = {N._clone_attribute, N.Parameter, N.ParameterBook, N.ParameterDirectory,
                               N._locale, N._json, N._path, N._os};
    g_ncached = 0;
    for (PyObject* name : names) g_cached[g_ncached++] = {name, nullptr, false};
    if (g_watcher < 0) g_watcher = PyDict_AddWatcher(globals_changed);
    if (g_watcher < 0 || PyDict_Watch(g_watcher, S.globals) < 0) {
        PyErr_Clear();
        return;
    }
    g_watching = true;
}

Ref global(PyObject* name) {
    if (g_watching) {
        for (int i = 0; i < g_ncached; ++i) {
            CachedGlobal& c = g_cached[i];
            if (c.name != name) continue;
            if (c.valid) return Ref::borrow(c.value);
            PyObject* v = PyDict_GetItemWithError(S.globals, name);
            if (!v) break;
            c.value = v;
            c.valid = true;
            return Ref::borrow(v);
        }
    }
    PyObject* v = S.globals ? PyDict_GetItemWithError(S.globals, name) : nullptr;
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
    v = S.builtins ? PyDict_GetItemWithError(S.builtins, name) : nullptr;
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

R7U_COLD std::nullptr_t arg_type_error(const char* argname, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argname, expected, Py_TYPE(got)->tp_name);
    return nullptr;
}

R7U_COLD std::nullptr_t key_error(PyObject* key) {
    PyObject* type = S.b.KeyError ? S.b.KeyError : PyExc_KeyError;
    // Built as an instance so that a tuple key stays one argument.
    Ref exc = Ref::steal(PyObject_CallOneArg(type, key));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

R7U_COLD std::nullptr_t assertion_error() {
    PyErr_SetNone(S.b.AssertionError ? S.b.AssertionError : PyExc_AssertionError);
    return nullptr;
}

R7U_COLD std::nullptr_t errno_error(int err, PyObject* filename) {
    Ref message = Ref::steal(PyUnicode_DecodeLocale(std::strerror(err), "surrogateescape"));
    if (!message) return nullptr;
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "iOO", err, message.get(), filename));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

Ref map_get_slow(PyObject* map, PyObject* key) {
    RecursionGuard guard(" while reading a private map");
    if (!guard.ok()) return {};
    return Ref::steal(PyObject_GetItem(map, key));
}

int map_set_slow(PyObject* map, PyObject* key, PyObject* value) {
    RecursionGuard guard(" while changing a private map");
    if (!guard.ok()) return -1;
    return value ? PyObject_SetItem(map, key, value) : PyObject_DelItem(map, key);
}

int map_contains_slow(PyObject* map, PyObject* key) {
    RecursionGuard guard(" while searching a private map");
    if (!guard.ok()) return -1;
    return PySequence_Contains(map, key);
}

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

Ref routed_name(PyObject* self, RoutedName& cache) {
    PyTypeObject* tp = Py_TYPE(self);
    Ref type_name = (tp->tp_flags & Py_TPFLAGS_HEAPTYPE)
                        ? Ref::borrow(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name)
                        : Ref::steal(PyType_GetName(tp));
    if (!type_name) return {};
    if (type_name.get() == cache.type_name) return Ref::borrow(cache.routed);
    PyObject* routed = PyUnicode_FromFormat("_%S__%s", type_name.get(), cache.suffix);
    if (!routed) return {};
    PyUnicode_InternInPlace(&routed);
    Py_XSETREF(cache.type_name, type_name.release());
    Py_XSETREF(cache.routed, routed);
    return Ref::borrow(cache.routed);
}

// True when the class after type(self) in its MRO is `object`, so that
// super(type(self), self) reaches the generic object behaviour.
static bool next_is_object(PyTypeObject* tp) {
    PyObject* mro = tp->tp_mro;
    return mro && PyTuple_GET_SIZE(mro) == 2 &&
           PyTuple_GET_ITEM(mro, 1) == reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

static Ref super_method(PyObject* self, PyObject* name) {
    PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(self)), self};
    Ref sup = Ref::steal(PyObject_Vectorcall(S.b.super, args, 2, nullptr));
    if (!sup) return {};
    return Ref::steal(PyObject_GetAttr(sup.get(), name));
}

// A subclass's routed name can lead back into our own hook through super():
// the guard turns that loop into RecursionError.
int super_setattr(PyObject* self, PyObject* key, PyObject* value) {
    if (next_is_object(Py_TYPE(self))) return PyObject_GenericSetAttr(self, key, value);
    RecursionGuard guard(" while setting an attribute");
    if (!guard.ok()) return -1;
    Ref meth = super_method(self, N.dunder_setattr);
    if (!meth) return -1;
    PyObject* args[] = {key, value};
    Ref r = Ref::steal(PyObject_Vectorcall(meth.get(), args, 2, nullptr));
    return r ? 0 : -1;
}

int super_delattr(PyObject* self, PyObject* key) {
    if (next_is_object(Py_TYPE(self))) return PyObject_GenericSetAttr(self, key, nullptr);
    RecursionGuard guard(" while deleting an attribute");
    if (!guard.ok()) return -1;
    Ref meth = super_method(self, N.dunder_delattr);
    if (!meth) return -1;
    Ref r = Ref::steal(PyObject_CallOneArg(meth.get(), key));
    return r ? 0 : -1;
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

Ref lookup_instance_attr(PyObject* self, PyObject* name) {
    return Ref::steal(compat::generic_getattr_or_null(self, name));
}

void add_error_note(PyObject* note) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (note) {
        Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note));
        if (!r) PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

bool error_has_note(const char* prefix) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
    bool found = false;
    Ref dict = Ref::steal(PyObject_GenericGetDict(exc, nullptr));
    if (dict) {
        PyObject* notes = PyDict_GetItemString(dict.get(), "__notes__");
        if (notes && PyList_Check(notes)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes) && !found; ++i) {
                PyObject* n = PyList_GET_ITEM(notes, i);
                if (!PyUnicode_Check(n)) continue;
                const char* text = PyUnicode_AsUTF8(n);
                if (!text) {
                    PyErr_Clear();
                    continue;
                }
                found = std::strncmp(text, prefix, std::strlen(prefix)) == 0;
            }
        }
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
    return found;
}

}  // namespace r7u
