// The module's function-object type and its argument binding.
//
// Shaped like the interpreter's own function type: vectorcall with the
// method-descriptor flag (so `p.get(x)` needs no bound method), binding as
// a method through tp_descr_get, the usual dunder attributes, and a code
// object describing the parameters so that inspect.signature treats it as
// function-like.
//
// The type derives from the interpreter's method-descriptor type (the type
// of `str.join`), so that documentation tools that accept only the
// interpreter's own routine types document ours as methods. Of the base it
// keeps the layout and __text_signature__ (None); every other attribute and
// slot is ours, and __objclass__ is absent, as on a Python function. The
// built-in function type would do for those tools too, but inspect then takes
// our __init__ for a C slot and finds no signature for the classes.
#include "function.hpp"

#include "pyops.hpp"

#include <cstddef>

namespace r7u {

extern PyTypeObject FunctionType;

namespace {

struct FunctionObject {
    PyMethodDescrObject base;  // d_method -> table below, d_type, vectorcall; d_name null
    PyMethodDef table;         // the base's entry; never called
    FuncSpec spec;
    std::uint8_t checked;            // bit j: parameter j has an exact-type check
    PyObject* argnames[kMaxParams];  // interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* defaults;     // tuple or null
    PyObject* kwdefaults;   // dict or null
    PyObject* annotations;  // dict or null
    PyObject* code;
    PyObject* dict;
    PyObject* weakreflist;
    PyObject* owner;  // the module: its state serves every call
};

inline FunctionObject* as_fn(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// ---------------------------------------------------------------------------
// Argument errors, worded as the interpreter words them for its functions.
// ---------------------------------------------------------------------------
R7U_COLD std::nullptr_t too_many_positional(FunctionObject* f, Py_ssize_t given, Py_ssize_t ndefaults) {
    Py_ssize_t argc = f->spec.nparams;
    Ref sig;
    bool plural;
    if (ndefaults) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argc - ndefaults, argc));
    } else {
        plural = argc != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", argc));
    }
    if (!sig) return nullptr;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname,
                 sig.get(), plural ? "s" : "", given, given == 1 ? "was" : "were");
    return nullptr;
}

R7U_COLD std::nullptr_t missing_arguments(FunctionObject* f, PyObject* const* slots, int first_default) {
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return nullptr;
    for (int j = 0; j < first_default; ++j) {
        if (slots[j]) continue;
        Ref r = Ref::steal(PyObject_Repr(f->argnames[j]));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref text;
    if (n == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else if (n == 2) {
        text = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names.get(), 0),
                                               PyList_GET_ITEM(names.get(), 1)));
    } else {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names.get(), n - 2),
                                                   PyList_GET_ITEM(names.get(), n - 1)));
        if (!tail || PyList_SetSlice(names.get(), n - 2, n, nullptr) < 0) return nullptr;
        Ref sep = Ref::steal(PyUnicode_FromString(", "));
        if (!sep) return nullptr;
        Ref head = Ref::steal(PyUnicode_Join(sep.get(), names.get()));
        if (!head) return nullptr;
        text = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
    }
    if (!text) return nullptr;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname, n,
                 n == 1 ? "" : "s", text.get());
    return nullptr;
}

// ---------------------------------------------------------------------------
// Calling.
// ---------------------------------------------------------------------------
// The exact-type checks, in parameter order, before the body runs.
inline bool check_arguments(const FunctionObject* f, PyObject* const* args) {
    const unsigned checked = f->checked;
    if (!checked) return true;
    const FuncSpec& sp = f->spec;
    for (int j = 0; checked >> j; ++j) {
        if (!((checked >> j) & 1u)) continue;
        PyObject* a = args[j];
        switch (sp.params[j].check) {
            case Check::None:
                break;
            case Check::Str:
                if (!PyUnicode_CheckExact(a)) return arg_type_error(sp.params[j].name, "str", a), false;
                break;
            case Check::Dict:
                if (!PyDict_CheckExact(a)) return arg_type_error(sp.params[j].name, "dict", a), false;
                break;
            case Check::OptDict:
                if (a != Py_None && !PyDict_CheckExact(a))
                    return arg_type_error(sp.params[j].name, "dict", a), false;
                break;
        }
    }
    return true;
}

// The parameter a keyword names: by identity first, then by `==` as the
// interpreter compares (a str subclass's __eq__ runs). Its index, -1 when
// none, -2 with an exception set.
int find_parameter(FunctionObject* f, PyObject* key) {
    const int np = f->spec.nparams;
    if (PyUnicode_CheckExact(key)) {
        // Nothing can run: one pass answers both.
        for (int j = 0; j < np; ++j) {
            if (str_equal(key, f->argnames[j])) return j;
        }
        return -1;
    }
    for (int j = 0; j < np; ++j) {
        if (key == f->argnames[j]) return j;
    }
    for (int j = 0; j < np; ++j) {
        int eq = PyObject_RichCompareBool(key, f->argnames[j], Py_EQ);
        if (eq) return eq < 0 ? -2 : j;
    }
    return -1;
}

PyObject* bind_and_call(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FuncSpec& sp = f->spec;
    const int np = sp.nparams;
    // Keep the defaults alive even if __defaults__ is reassigned meanwhile.
    Ref defaults = Ref::borrow(f->defaults);
    Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    if (ndefaults > np) ndefaults = np;

    // As the interpreter binds: positionals up to the parameters, then the
    // keywords (their errors first), then the count of positionals.
    PyObject* slots[kMaxParams] = {};
    for (Py_ssize_t j = 0; j < nargs && j < np; ++j) slots[j] = args[j];

    Ref extra;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[nargs + i];
        int j = find_parameter(f, key);
        if (j < -1) return nullptr;
        if (j >= 0) {
            if (slots[j]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
                return nullptr;
            }
            slots[j] = value;
        } else if (sp.varkw) {
            if (!extra && !(extra = Ref::steal(compat::dict_new_presized(nkw - i)))) return nullptr;
            if (PyDict_SetItem(extra.get(), key, value) < 0) return nullptr;
        } else {
            PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            return nullptr;
        }
    }

    if (nargs > np) return too_many_positional(f, nargs, ndefaults);
    const int first_default = np - static_cast<int>(ndefaults);
    for (int j = 0; j < first_default; ++j) {
        if (!slots[j]) return missing_arguments(f, slots, first_default);
    }
    const Py_ssize_t skip = defaults ? PyTuple_GET_SIZE(defaults.get()) - ndefaults : 0;
    for (int j = first_default; j < np; ++j) {
        if (!slots[j]) slots[j] = PyTuple_GET_ITEM(defaults.get(), skip + (j - first_default));
    }
    if (!check_arguments(f, slots)) return nullptr;
    return sp.impl(slots, extra.get());
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_fn(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const int np = f->spec.nparams;
    if (!kwnames) {
        if (nargs == np) {
            if (!check_arguments(f, args)) return nullptr;
            return f->spec.impl(args, nullptr);
        }
        // Positional call that leaves trailing defaults: no allocation.
        PyObject* defaults = f->defaults;
        const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
        if (nargs < np && np - nargs <= ndefaults) {
            PyObject* slots[kMaxParams];
            for (Py_ssize_t j = 0; j < nargs; ++j) slots[j] = args[j];
            const Py_ssize_t base = ndefaults - (np - nargs);
            for (Py_ssize_t j = nargs; j < np; ++j) slots[j] = PyTuple_GET_ITEM(defaults, base + (j - nargs));
            if (!check_arguments(f, slots)) return nullptr;
            // The body may run code that replaces __defaults__.
            Ref keep = Ref::borrow(defaults);
            return f->spec.impl(slots, nullptr);
        }
    } else if (f->spec.kwnames_impl) {
        PyObject* result;
        // The body may run code that replaces __defaults__.
        Ref keep = Ref::borrow(f->defaults);
        if (f->spec.kwnames_impl(args, nargs, kwnames, f->defaults, &result)) return result;
    }
    return bind_and_call(f, args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// Type slots.
// ---------------------------------------------------------------------------
int fn_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_fn(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    Py_VISIT(f->owner);
    return 0;
}

int fn_clear(PyObject* self) {
    FunctionObject* f = as_fn(self);
    // The name and qualified name stay strings (empty) and the code stays:
    // the getters, repr and the argument errors read them.
    Py_XSETREF(f->name, PyUnicode_New(0, 0));
    Py_XSETREF(f->qualname, PyUnicode_New(0, 0));
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject* self) {
    FunctionObject* f = as_fn(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    fn_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_CLEAR(f->owner);
    for (PyObject*& n : f->argnames) Py_CLEAR(n);
    PyObject_GC_Del(self);
}

// The method-table entry of the base layout. Calls go through our vectorcall
// and tp_call; the interpreter calls a descriptor's entry directly only for
// its exact type.
PyObject* fn_table_entry(PyObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_SystemError, "r7u_razarozu function called through its method table");
    return nullptr;
}

PyObject* fn_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Pickled by reference, as the interpreter pickles its functions.
PyObject* fn_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_fn(self)->qualname); }

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

int set_str_field(PyObject*& field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_fn(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str_field(as_fn(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_fn(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(as_fn(self)->qualname, v, "__qualname__");
}

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* d = as_fn(self)->defaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_defaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->defaults, Py_XNewRef(v));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    PyObject* d = as_fn(self)->kwdefaults;
    return Py_NewRef(d ? d : Py_None);
}
int set_kwdefaults(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_fn(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, Py_XNewRef(v));
    return 0;
}

PyObject* get_type_params(PyObject*, void*) { return PyTuple_New(0); }

// The base's class of the method, which a function does not have.
PyObject* get_objclass(PyObject*, void*) {
    PyErr_SetString(PyExc_AttributeError, "'r7u_razarozu.function' object has no attribute '__objclass__'");
    return nullptr;
}

PyGetSetDef fn_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__type_params__", get_type_params, nullptr, nullptr, nullptr},
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Construction.
// ---------------------------------------------------------------------------
// "\n\t\t" before each line and after the last.
Ref build_doc(const char* const* lines) {
    if (!lines) return Ref::borrow(Py_None);
    Ref doc = Ref::steal(PyUnicode_FromString(""));
    Ref sep = Ref::steal(PyUnicode_FromString("\n\t\t"));
    if (!doc || !sep) return {};
    for (const char* const* l = lines; *l; ++l) {
        Ref line = Ref::steal(PyUnicode_FromString(*l));
        if (!line) return {};
        Ref a = Ref::steal(PyUnicode_Concat(doc.get(), sep.get()));
        if (!a) return {};
        doc = Ref::steal(PyUnicode_Concat(a.get(), line.get()));
        if (!doc) return {};
    }
    return Ref::steal(PyUnicode_Concat(doc.get(), sep.get()));
}

Ref build_annotations(const FuncSpec& sp) {
    Ref ann = Ref::steal(PyDict_New());
    if (!ann) return {};
    for (int j = 0; j < sp.nparams; ++j) {
        if (!sp.params[j].annotation) continue;
        Ref text = Ref::steal(PyUnicode_FromString(sp.params[j].annotation));
        if (!text || PyDict_SetItemString(ann.get(), sp.params[j].name, text.get()) < 0) return {};
    }
    if (sp.returns) {
        Ref text = Ref::steal(PyUnicode_FromString(sp.returns));
        if (!text || PyDict_SetItemString(ann.get(), "return", text.get()) < 0) return {};
    }
    return ann;
}

// A code object that describes the parameters (no bytecode of ours runs).
Ref build_code(FunctionObject* f) {
    const FuncSpec& sp = f->spec;
    Ref empty = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("razarozu.py", sp.name, 1)));
    if (!empty) return {};
    int nvars = sp.nparams + (sp.varkw ? 1 : 0);
    Ref varnames = Ref::steal(PyTuple_New(nvars));
    if (!varnames) return {};
    for (int j = 0; j < sp.nparams; ++j) PyTuple_SET_ITEM(varnames.get(), j, Py_NewRef(f->argnames[j]));
    if (sp.varkw) {
        PyObject* kw = PyUnicode_InternFromString(sp.varkw);
        if (!kw) return {};
        PyTuple_SET_ITEM(varnames.get(), sp.nparams, kw);
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS | (sp.varkw ? CO_VARKEYWORDS : 0);
    Ref argcount = Ref::steal(PyLong_FromLong(sp.nparams));
    Ref nlocals = Ref::steal(PyLong_FromLong(nvars));
    Ref co_flags = Ref::steal(PyLong_FromLong(flags));
    Ref kwnames = Ref::steal(Py_BuildValue("(sssss)", "co_argcount", "co_nlocals", "co_flags", "co_varnames",
                                           "co_qualname"));
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    if (!argcount || !nlocals || !co_flags || !kwnames || !replace) return {};
    PyObject* args[] = {argcount.get(), nlocals.get(), co_flags.get(), varnames.get(), f->qualname};
    return Ref::steal(PyObject_Vectorcall(replace.get(), args, 0, kwnames.get()));
}

// ---------------------------------------------------------------------------
// Fast class slots.
// ---------------------------------------------------------------------------
// SpecialCache (state.hpp): one of our functions taking exactly the
// arguments of the slot. Any change to the class or its bases changes the
// version tag, so while it holds, the class still holds that function.
// Fills the cache; what it held before is released last, since that may
// run code.
R7U_NOINLINE void remember(SpecialCache& cache, PyTypeObject* tp, unsigned int version, PyObject* function) {
    cache.type = tp;
    cache.version = version;
    Py_XSETREF(cache.function, Py_NewRef(function));
}

// type(self).<name>(self, a[, b]) as the interpreter's slot wrappers call it.
PyObject* call_special(PyObject* self, PyObject* name, PyObject* a, PyObject* b, SpecialCache& cache) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject* args[3] = {self, a, b};
    const Py_ssize_t n = b ? 3 : 2;
    if (cache.type == tp && cache.version == compat::type_version(tp) && cache.version != 0 &&
        as_fn(cache.function)->spec.nparams == n) {
        const FunctionObject* f = as_fn(cache.function);
        if (!check_arguments(f, args)) return nullptr;
        return f->spec.impl(args, nullptr);
    }
    Ref meth = Ref::steal(compat::type_lookup(tp, name));
    if (!meth) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    PyObject* found = meth.get();
    if (PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        if (is_function(found)) {
            FunctionObject* f = as_fn(found);
            if (f->spec.nparams == n) {
                if (unsigned int version = compat::type_version(tp)) remember(cache, tp, version, found);
                if (!check_arguments(f, args)) return nullptr;
                return f->spec.impl(args, nullptr);
            }
        }
        return PyObject_Vectorcall(found, args, n, nullptr);
    }
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
        Ref bound = Ref::steal(get(found, self, reinterpret_cast<PyObject*>(tp)));
        if (!bound) return nullptr;
        return PyObject_Vectorcall(bound.get(), args + 1, n - 1, nullptr);
    }
    return PyObject_Vectorcall(found, args + 1, n - 1, nullptr);
}

PyObject* fast_subscript(PyObject* self, PyObject* key) {
    return call_special(self, N->dunder_getitem, key, nullptr, st().getitem);
}

int fast_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    Ref r = Ref::steal(value ? call_special(self, N->dunder_setitem, key, value, st().setitem)
                             : call_special(self, N->dunder_delitem, key, nullptr, st().delitem));
    return r ? 0 : -1;
}

// type.__call__ as the interpreter runs it, for classes whose call we take.
PyObject* generic_type_call(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref tuple = Ref::steal(PyTuple_New(nargs));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    Ref kwargs;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        if (!(kwargs = Ref::steal(PyDict_New()))) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
        }
    }
    return Py_TYPE(cls)->tp_call(cls, tuple.get(), kwargs.get());
}

// cls(...) for a class whose __new__ is object's and whose __init__ is ours:
// the instance, then __init__ through vectorcall, with no argument tuple or
// keyword dict in between.
PyObject* fast_construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref init = Ref::steal(compat::type_lookup(tp, N->dunder_init));
    if (Py_TYPE(cls)->tp_call != PyType_Type.tp_call || tp->tp_new != PyBaseObject_Type.tp_new || !init ||
        !is_function(init.get()))
        return generic_type_call(cls, args, nargs, kwnames);
    // Through object.__new__ itself: it also lays out the instance's inline
    // attribute values, which the interpreter's method-call fast path needs.
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    Ref self = Ref::steal(tp->tp_new(tp, no_args.get(), nullptr));
    if (!self) return nullptr;
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    constexpr Py_ssize_t kSmall = 16;
    PyObject* small[kSmall + 1];
    struct Heap {
        PyObject** p = nullptr;
        ~Heap() { PyMem_Free(p); }
    } heap;
    PyObject** stack = small;
    if (total > kSmall) {
        heap.p = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(total + 1)));
        if (!heap.p) return PyErr_NoMemory();
        stack = heap.p;
    }
    stack[0] = self.get();
    for (Py_ssize_t i = 0; i < total; ++i) stack[i + 1] = args[i];
    Ref result = Ref::steal(PyObject_Vectorcall(init.get(), stack, nargs + 1, kwnames));
    if (!result) return nullptr;
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

}  // namespace

int install_fast_slots(PyObject* cls) {
    if (!PyType_Check(cls) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE)) {
        PyErr_SetString(PyExc_SystemError, "fast slots need a heap type");
        return -1;
    }
    auto* ht = reinterpret_cast<PyHeapTypeObject*>(cls);
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* dict = tp->tp_dict;
    auto ours = [&](PyObject* name) {
        PyObject* v = PyDict_GetItemWithError(dict, name);
        return v && is_function(v);
    };
    if (ours(N->dunder_getitem) && tp->tp_as_mapping == &ht->as_mapping) ht->as_mapping.mp_subscript = fast_subscript;
    if (ours(N->dunder_setitem) && ours(N->dunder_delitem) && tp->tp_as_mapping == &ht->as_mapping)
        ht->as_mapping.mp_ass_subscript = fast_ass_subscript;
    if (ours(N->dunder_init)) tp->tp_vectorcall = fast_construct;
    // tp_setattro stays the interpreter's own: object.__setattr__ refuses to
    // run on instances whose class has a C-level setattro of its own.
    if (PyErr_Occurred()) return -1;
    PyType_Modified(tp);
    return 0;
}

// A static type: the method-descriptor type refuses heap subtypes (it is not
// an acceptable base for type() or PyType_FromSpec). Readied once per process.
R7U_PARTIAL_INIT_BEGIN
PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "r7u_razarozu.function",
    .tp_basicsize = static_cast<Py_ssize_t>(sizeof(FunctionObject)),
    .tp_dealloc = fn_dealloc,
    .tp_vectorcall_offset = offsetof(PyMethodDescrObject, vectorcall),
    .tp_repr = fn_repr,
    // Identity, as for the interpreter's own functions.
    .tp_hash = PyBaseObject_Type.tp_hash,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_traverse = fn_traverse,
    .tp_clear = fn_clear,
    .tp_richcompare = PyBaseObject_Type.tp_richcompare,
    .tp_weaklistoffset = offsetof(FunctionObject, weakreflist),
    .tp_methods = fn_methods,
    .tp_members = fn_members,
    .tp_getset = fn_getset,
    .tp_base = &PyMethodDescr_Type,
    .tp_descr_get = fn_descr_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};
R7U_PARTIAL_INIT_END

// Whether FunctionType was readied since the module was last freed. A static
// type keeps its dict, bases and MRO across Py_Finalize, but their memory
// went with the interpreter that made them (from 3.14 the next one reuses
// it at once): the next module readies the type anew.
bool g_function_type_ready = false;

int init_function_type() {
    if (g_function_type_ready) return 0;
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) {
        // Left by a finalized interpreter, whose memory is gone: nothing there
        // is released (after a module freed by a live interpreter, a few
        // objects stay behind).
        FunctionType.tp_flags &= ~Py_TPFLAGS_READY;
        FunctionType.tp_dict = FunctionType.tp_bases = FunctionType.tp_mro = nullptr;
        FunctionType.tp_subclasses = nullptr;
    }
    if (PyType_Ready(&FunctionType) < 0) return -1;
    g_function_type_ready = true;
    return 0;
}

void forget_function_type() { g_function_type_ready = false; }

bool is_function(PyObject* o) { return Py_IS_TYPE(o, &FunctionType); }

Impl member_impl(PyTypeObject* tp, PyObject* name) {
    Ref held = Ref::steal(compat::type_lookup(tp, name));
    PyObject* found = held.get();
    if (!found) return nullptr;
    if (is_function(found)) return as_fn(found)->spec.impl;
    if (Py_IS_TYPE(found, &PyStaticMethod_Type)) {
        Ref fn = Ref::steal(Py_TYPE(found)->tp_descr_get(found, nullptr, reinterpret_cast<PyObject*>(tp)));
        if (!fn) {
            PyErr_Clear();
            return nullptr;
        }
        return is_function(fn.get()) ? as_fn(fn.get())->spec.impl : nullptr;
    }
    return nullptr;
}

PyObject* make_function(const FuncSpec& spec, const char* owner, PyObject* defaults) {
    if (spec.nparams < 0 || spec.nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "function spec has too many parameters");
        return nullptr;
    }
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &FunctionType)));
    if (!self) return nullptr;
    FunctionObject* f = as_fn(self.get());
    f->table = {spec.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn_table_entry)),
                METH_VARARGS | METH_KEYWORDS, nullptr};
    f->base.d_method = &f->table;
    // The base's own code, reached through its descriptors, needs a class:
    // ours (static) refuses every object but our functions, whose call
    // through the entry above fails cleanly. No name: its qualified name
    // would come from that class.
    f->base.d_common.d_type = &FunctionType;
    f->base.d_common.d_name = f->base.d_common.d_qualname = nullptr;
    f->base.vectorcall = fn_vectorcall;
    f->spec = spec;
    f->checked = 0;
    for (int j = 0; j < spec.nparams; ++j)
        if (spec.params[j].check != Check::None) f->checked |= static_cast<std::uint8_t>(1u << j);
    for (PyObject*& n : f->argnames) n = nullptr;
    f->name = f->qualname = f->module = f->doc = f->globals = nullptr;
    f->defaults = f->kwdefaults = f->annotations = f->code = f->dict = f->weakreflist = nullptr;
    f->owner = Py_NewRef(st().module);
    PyObject_GC_Track(self.get());

    for (int j = 0; j < spec.nparams; ++j) {
        if (!(f->argnames[j] = PyUnicode_InternFromString(spec.params[j].name))) return nullptr;
    }
    if (!(f->name = PyUnicode_InternFromString(spec.name))) return nullptr;
    f->qualname = owner ? PyUnicode_FromFormat("%s.%s", owner, spec.name) : Py_NewRef(f->name);
    if (!f->qualname) return nullptr;
    if (!(f->module = PyUnicode_InternFromString("r7u_razarozu"))) return nullptr;
    f->globals = Py_XNewRef(st().globals ? st().globals : Py_None);
    if (defaults && defaults != Py_None) f->defaults = Py_NewRef(defaults);
    Ref doc = build_doc(spec.doc);
    if (!doc) return nullptr;
    f->doc = doc.release();
    Ref ann = build_annotations(spec);
    if (!ann) return nullptr;
    f->annotations = ann.release();
    Ref code = build_code(f);
    if (!code) return nullptr;
    f->code = code.release();
    return self.release();
}

int add_members(PyObject* ns, const char* owner, std::initializer_list<Member> members) {
    for (const Member& m : members) {
        Ref fn = Ref::steal(make_function(m.spec, owner, m.defaults));
        if (!fn) return -1;
        if (m.made) *m.made = fn.copy();
        Ref member;
        switch (m.kind) {
            case Kind::Method:
                member = std::move(fn);
                break;
            case Kind::Static:
                member = Ref::steal(PyObject_CallOneArg(st().b.staticmethod, fn.get()));
                break;
            case Kind::Property:
                member = Ref::steal(PyObject_CallOneArg(st().b.property, fn.get()));
                break;
        }
        if (!member) return -1;
        Ref key = Ref::steal(PyUnicode_InternFromString(m.spec.name));
        if (!key || PyDict_SetItem(ns, key.get(), member.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace r7u
