// The native shortcuts' records and decisions (shortcuts.hpp): every
// identity check that lets a shortcut stand in for the host's own behaviour
// is made here, and nowhere else.
#include "shortcuts.hpp"

#include "function.hpp"
#include "globals.hpp"

namespace r7u {
namespace {

// A new reference to obj.<name>, or null with no exception.
PyObject* attr_or_null(PyObject* obj, PyObject* name) {
    PyObject* v = PyObject_GetAttr(obj, name);
    if (!v) PyErr_Clear();
    return v;
}

PyObject* attr_or_null(PyObject* obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj, name);
    if (!v) PyErr_Clear();
    return v;
}

bool is_attr(PyObject* obj, const char* name, PyObject* expected) {
    Ref v = Ref::steal(attr_or_null(obj, name));
    return v && v.get() == expected;
}

// 1 when dict[name] is `expected` itself, 0 when not (or absent), -1 on error.
int entry_is(PyObject* dict, PyObject* name, PyObject* expected) {
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (v == expected) return 1;
    return v || !PyErr_Occurred() ? 0 : -1;
}

// True when `cls` is a plain class (made by type()) whose `name` member is
// our body `own`.
bool holds_own(PyObject* cls, PyObject* name, Impl own) {
    return member_impl(reinterpret_cast<PyTypeObject*>(cls), name) == own;
}

bool is_plain_class(PyObject* cls) { return PyType_Check(cls) && Py_TYPE(cls) == &PyType_Type; }

}  // namespace

// ---------------------------------------------------------------------------
// The book text. Its behaviour with indent lives in json.dumps, the
// JSONEncoder class and three globals of the module that defines the class;
// as long as none of them was replaced (or the class changed), the Python
// encoder would write what booktext.cpp writes.
// ---------------------------------------------------------------------------
int capture_json(PyObject* json_module) {
    // A json without the expected pieces only turns the native text off.
    auto missing = [] {
        if (PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
        PyErr_Clear();
        return 0;
    };
    // The native text reads the thread state's recursion budget and the
    // int layout: off under another interpreter version.
    if (!compat::g_same_version || !PyModule_CheckExact(json_module)) return 0;
    Ref dumps = Ref::steal(PyObject_GetAttr(json_module, N->dumps));
    if (!dumps) return missing();
    Ref encoder = Ref::steal(PyObject_GetAttr(json_module, N->JSONEncoder));
    if (!encoder) return missing();
    if (!PyType_Check(encoder.get())) return 0;
    auto* type = reinterpret_cast<PyTypeObject*>(encoder.get());
    Ref method = Ref::steal(PyObject_GetAttr(encoder.get(), N->iterencode));
    if (!method) return missing();
    if (!PyFunction_Check(method.get())) return 0;
    Ref globals = Ref::borrow(PyFunction_GET_GLOBALS(method.get()));
    PyObject* found[3];
    PyObject* const names[] = {N->encode_basestring, N->INFINITY_, N->_make_iterencode};
    for (int i = 0; i < 3; ++i) {
        found[i] = PyDict_GetItemWithError(globals.get(), names[i]);
        if (!found[i]) return missing();
    }
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
    JsonRecord& J = st().json;
    PyObject* style = PySys_GetObject("float_repr_style");
    J.short_repr = style && PyUnicode_Check(style) && PyUnicode_CompareWithASCIIString(style, "short") == 0;
    J.module = Py_NewRef(json_module);
    J.dumps = dumps.release();
    J.encoder = encoder.release();
    J.encoder_tag = compat::type_version(type);
    J.encoder_globals = globals.release();
    J.encode_basestring = Py_NewRef(found[0]);
    J.infinity = Py_NewRef(found[1]);
    J.make_iterencode = Py_NewRef(found[2]);
    return 0;
}

int book_text_way(PyObject* json_module) {
    const JsonRecord& J = st().json;
    if (!J.module || json_module != J.module || !PyModule_CheckExact(json_module)) return 0;
    PyObject* g = PyModule_GetDict(json_module);
    int r = entry_is(g, N->dumps, J.dumps);
    if (r <= 0) return r;
    if ((r = entry_is(g, N->JSONEncoder, J.encoder)) <= 0) return r;
    // Any assignment to the class (a separator, a method) resets its tag.
    if (compat::type_version(reinterpret_cast<PyTypeObject*>(J.encoder)) != J.encoder_tag) return 0;
    PyObject* const names[] = {N->encode_basestring, N->INFINITY_, N->_make_iterencode};
    PyObject* const recorded[] = {J.encode_basestring, J.infinity, J.make_iterencode};
    for (int i = 0; i < 3; ++i) {
        if ((r = entry_is(J.encoder_globals, names[i], recorded[i])) <= 0) return r;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// A book's save and reading a book file.
// ---------------------------------------------------------------------------
bool save_writes_own_text(PyObject* book) { return member_impl(Py_TYPE(book), N->dunder_str) == st().own.book_str; }

void capture_open() {
    Ref io = Ref::steal(PyImport_ImportModule("_io"));
    Ref io_open = io ? Ref::steal(PyObject_GetAttrString(io.get(), "open")) : Ref();
    if (!io_open) PyErr_Clear();  // no standard open to compare with: files go through open()
    st().open_is_standard = io_open && io_open.get() == st().b.open;
}

bool book_read_way() { return st().open_is_standard; }

// ---------------------------------------------------------------------------
// Loading a book. json.loads with no options runs _default_decoder.decode,
// whose raw_decode calls the scanner made with the decoder.
// ---------------------------------------------------------------------------
namespace {

// The keyword defaults of loads name no decoder class, hook or parser.
bool kwdefaults_all_none(PyObject* kwdefaults) {
    if (!kwdefaults || !PyDict_CheckExact(kwdefaults)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwdefaults, &pos, &k, &v))
        if (v != Py_None) return false;
    return true;
}

PyObject* method_name(int i) { return i == 0 ? N->decode : N->raw_decode; }

// True while `json_module` is the recorded module and nothing that
// `json_module.loads(text)` runs was replaced since: loads itself (code and
// keyword defaults), the default decoder, its class, methods and scanner.
bool json_loads_is_standard(PyObject* json_module) {
    const LoadsRecord& r = st().loads;
    if (!r.module || json_module != r.module) return false;
    PyObject* g = PyModule_GetDict(json_module);
    PyObject* loads = PyDict_GetItemWithError(g, N->loads);
    PyObject* decoder = PyDict_GetItemWithError(g, N->_default_decoder);
    if (loads != r.loads || decoder != r.decoder) {
        PyErr_Clear();
        return false;
    }
    if (PyFunction_GET_CODE(r.loads) != r.loads_code || PyFunction_GetKwDefaults(r.loads) != r.loads_kwdefaults ||
        !kwdefaults_all_none(r.loads_kwdefaults))
        return false;
    for (int i = 0; i < 2; ++i) {
        if (PyFunction_GET_CODE(r.methods[i]) != r.method_code[i] ||
            PyFunction_GET_DEFAULTS(r.methods[i]) != r.method_defaults[i])
            return false;
    }
    // What the decoder finds as it runs: its scanner and the recorded methods
    // (not shadowed, its class and the class's methods unchanged).
    Ref scan = Ref::steal(attr_or_null(r.decoder, N->scan_once));
    if (scan.get() != r.scan_once) return false;
    for (int i = 0; i < 2; ++i) {
        Ref bound = Ref::steal(attr_or_null(r.decoder, method_name(i)));
        if (!bound || !PyMethod_Check(bound.get()) || PyMethod_GET_FUNCTION(bound.get()) != r.methods[i]) return false;
    }
    return true;
}

// ParameterBook(parameters) with our own constructor and routing, whose map
// is then a plain dict that receives each entry in order.
bool book_class_is_pristine(PyObject* cls) {
    if (!is_plain_class(cls)) return false;
    const OwnMembers& own = st().own;
    return reinterpret_cast<PyTypeObject*>(cls)->tp_new == PyBaseObject_Type.tp_new &&
           holds_own(cls, N->dunder_init, own.book_init) && holds_own(cls, N->dunder_setattr, own.book_setattr);
}

// A Parameter class whose constructor, attribute store, clone and from_dict
// are still ours, and _clone_attribute is too: then a clone of a parameter
// that from_dict just made is an exact, unobservable copy of it.
bool parameter_class_is_pristine(PyObject* cls) {
    if (!is_plain_class(cls)) return false;
    const OwnMembers& own = st().own;
    return reinterpret_cast<PyTypeObject*>(cls)->tp_new == PyBaseObject_Type.tp_new &&
           holds_own(cls, N->dunder_init, own.param_init) && holds_own(cls, N->dunder_setattr, own.param_setattr) &&
           holds_own(cls, N->clone, own.param_clone) && holds_own(cls, N->from_dict, own.param_from_dict) &&
           clone_attribute_is_ours();
}

// Loads may take over a decoded dictionary form instead of passing it to
// from_dict, whose constructor would copy its maps, while `cls` is pristine
// and its routing stores the private maps under their names by the generic
// store, running no code when its instances are made, stored into or freed:
// a class called Parameter right above object with no class attribute of
// those names.
bool adopts_forms(PyObject* cls) {
    if (!parameter_class_is_pristine(cls)) return false;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    return routes_to_object(tp) && !compat::type_lookup_borrowed(tp, N->priv_description) &&
           !compat::type_lookup_borrowed(tp, N->priv_attributes) && !tp->tp_finalize && tp->tp_del == nullptr;
}

}  // namespace

void capture_json_loads(PyObject* json_module) {
    LoadsRecord& r = st().loads;
    if (r.module || !PyModule_CheckExact(json_module)) return;
    PyObject* g = PyModule_GetDict(json_module);
    PyObject* loads = PyDict_GetItemWithError(g, N->loads);
    PyObject* decoder = loads ? PyDict_GetItemWithError(g, N->_default_decoder) : nullptr;
    PyErr_Clear();
    if (!loads || !decoder || !PyFunction_Check(loads)) return;
    Ref scanner_module = Ref::steal(PyImport_ImportModule("_json"));
    Ref scanner_type = scanner_module ? Ref::steal(attr_or_null(scanner_module.get(), "make_scanner")) : Ref();
    if (!scanner_module) PyErr_Clear();
    Ref scan = Ref::steal(attr_or_null(decoder, N->scan_once));
    // The C scanner with strict strings, plain dicts, float and int: its
    // options are fixed from its making on.
    if (!scanner_type || !scan || reinterpret_cast<PyObject*>(Py_TYPE(scan.get())) != scanner_type.get() ||
        !is_attr(scan.get(), "strict", Py_True) || !is_attr(scan.get(), "object_hook", Py_None) ||
        !is_attr(scan.get(), "object_pairs_hook", Py_None) ||
        !is_attr(scan.get(), "parse_float", reinterpret_cast<PyObject*>(&PyFloat_Type)) ||
        !is_attr(scan.get(), "parse_int", reinterpret_cast<PyObject*>(&PyLong_Type)))
        return;
    PyObject* kwdefaults = PyFunction_GetKwDefaults(loads);
    if (!kwdefaults_all_none(kwdefaults)) return;
    Ref methods[2];
    for (int i = 0; i < 2; ++i) {
        methods[i] = Ref::steal(attr_or_null(reinterpret_cast<PyObject*>(Py_TYPE(decoder)), method_name(i)));
        if (!methods[i] || !PyFunction_Check(methods[i].get())) return;
    }
    for (int i = 0; i < 2; ++i) {
        r.method_code[i] = Py_NewRef(PyFunction_GET_CODE(methods[i].get()));
        r.method_defaults[i] = Py_XNewRef(PyFunction_GET_DEFAULTS(methods[i].get()));
        r.methods[i] = methods[i].release();
    }
    r.loads = Py_NewRef(loads);
    r.loads_code = Py_NewRef(PyFunction_GET_CODE(loads));
    r.loads_kwdefaults = Py_NewRef(kwdefaults);
    r.decoder = Py_NewRef(decoder);
    r.scan_once = scan.release();
    r.module = Py_NewRef(json_module);
}

LoadWay adopt_way() {
    LoadWay way;
    Ref cls = global(N->Parameter);
    Ref book_cls = cls ? global(N->ParameterBook) : Ref();
    if (!book_cls) {
        PyErr_Clear();  // raised where the ordinary road looks the name up
        return way;
    }
    if (!book_class_is_pristine(book_cls.get()) || !adopts_forms(cls.get())) return way;
    way.parameter_cls = std::move(cls);
    way.book_cls = std::move(book_cls);
    return way;
}

LoadWay book_decode_way(PyObject* json_module) {
    LoadWay way = adopt_way();
    if (way && !json_loads_is_standard(json_module)) return LoadWay{};
    return way;
}

bool loaded_book_way(PyObject* book_cls, PyObject* parameter_cls) {
    if (!book_class_is_pristine(book_cls)) return false;
    if (!parameter_cls) return true;
    Ref named = global(N->Parameter);
    if (!named) {
        PyErr_Clear();  // only means "not pristine"
        return false;
    }
    return parameter_cls == named.get() && parameter_class_is_pristine(parameter_cls);
}

// ---------------------------------------------------------------------------
// The tree save: the native save stands in for the documented protocol
// while the classes, their members and the folder services it replaces are
// ours or the host's own.
// ---------------------------------------------------------------------------
namespace {

const NameId kOsNames[] = {&Names::listdir, &Names::makedirs, &Names::rename, &Names::remove};
const NameId kPathNames[] = {&Names::exists, &Names::isdir, &Names::isfile, &Names::basename, &Names::sep,
                             &Names::dirname};

bool module_fs_unchanged() {
    const HostFs& host = st().host;
    if (!host.os) return false;
    Ref os = global(N->_os);
    Ref path = os ? global(N->_path) : Ref();
    if (!os || !path) {
        PyErr_Clear();
        return false;
    }
    if (os.get() != host.os || path.get() != host.path) return false;
    for (size_t i = 0; i < 4; ++i) {
        Ref f = Ref::steal(PyObject_GetAttr(host.os, name_of(kOsNames[i])));
        if (f.get() != host.os_funcs[i] || !f) {
            PyErr_Clear();
            return false;
        }
    }
    for (size_t i = 0; i < 6; ++i) {
        Ref f = Ref::steal(PyObject_GetAttr(host.path, name_of(kPathNames[i])));
        if (f.get() != host.path_funcs[i] || !f) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// ParameterBook as the module names it is our own class with our own save
// and __str__: then its save is the book file written with its book text.
bool book_class_saves_natively(PyObject* cls) {
    if (!PyType_Check(cls)) return false;
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    return Py_TYPE(cls) == &PyType_Type && tp->tp_base == &PyBaseObject_Type &&
           holds_own(cls, N->save, st().own.book_save) && holds_own(cls, N->dunder_str, st().own.book_str);
}

}  // namespace

int capture_host_fs() {
    Ref os = Ref::steal(PyImport_ImportModule("os"));
    if (!os) return -1;
    Ref path = Ref::steal(PyObject_GetAttrString(os.get(), "path"));
    if (!path) return -1;
    HostFs& h = st().host;
    Py_XSETREF(h.os, os.release());
    Py_XSETREF(h.path, path.release());
    for (size_t i = 0; i < 4; ++i) Py_XSETREF(h.os_funcs[i], PyObject_GetAttr(h.os, name_of(kOsNames[i])));
    for (size_t i = 0; i < 6; ++i) Py_XSETREF(h.path_funcs[i], PyObject_GetAttr(h.path, name_of(kPathNames[i])));
    PyErr_Clear();
    return 0;
}

bool backup_step_is_ours(PyObject* step) { return step == st().backup_function; }

bool tree_save_way(PyObject* dir_cls, PyObject* book_cls) {
    if (!is_plain_class(dir_cls)) return false;
    // Ours derive from object alone.
    if (reinterpret_cast<PyTypeObject*>(dir_cls)->tp_base != &PyBaseObject_Type) return false;
    if (!holds_own(dir_cls, N->save, st().own.dir_save)) return false;
    Ref step = Ref::steal(PyObject_GetAttr(dir_cls, N->_backup_books_in_this_directory));
    if (!step) {
        PyErr_Clear();
        return false;
    }
    if (!backup_step_is_ours(step.get())) return false;
    if (!is_plain_class(book_cls) || !book_class_saves_natively(book_cls)) return false;
    return module_fs_unchanged();
}

// ---------------------------------------------------------------------------
// `description` and locale.getdefaultlocale.
// ---------------------------------------------------------------------------
int capture_locale(PyObject* locale_module) {
    LocaleRecord& r = st().locale;
    if (!compat::kGetdefaultlocaleWarning) return 0;
    Ref function = Ref::steal(PyObject_GetAttr(locale_module, N->getdefaultlocale));
    if (!function) PyErr_Clear();
    if (!function || !PyFunction_Check(function.get())) return 0;
    // Only a function that warns as we know it does: one that calls
    // warnings._deprecated, with its one default, the variables to read.
    PyObject* code = PyFunction_GET_CODE(function.get());
    PyObject* defaults = PyFunction_GET_DEFAULTS(function.get());
    Ref names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
    if (!names) return -1;
    int warns = PySequence_Contains(names.get(), N->_deprecated);
    if (warns <= 0 || !defaults || PyTuple_GET_SIZE(defaults) != 1) return warns;
    Ref warnings = Ref::steal(PyImport_ImportModule("warnings"));
    if (!warnings) return -1;
    PyObject* dict = PyModule_GetDict(warnings.get());
    PyObject* warn = PyDict_GetItemWithError(dict, N->warn);
    PyObject* deprecated = warn ? PyDict_GetItemWithError(dict, N->_deprecated) : nullptr;
    if (!deprecated) return PyErr_Occurred() ? -1 : 0;
    PyObject* file = PyDict_GetItemString(st().globals, "__file__");
    PyObject* name = PyDict_GetItemString(st().globals, "__name__");
    if (!name) return 0;  // nothing to attribute the warning to: the host's function gives it
    r.message = PyUnicode_FromString(compat::kGetdefaultlocaleWarning);
    r.registry = PyDict_New();
    if (!r.message || !r.registry) return -1;
    r.filename = Py_NewRef(file ? file : name);
    r.module_name = Py_NewRef(name);
    r.module = Py_NewRef(locale_module);
    r.function = function.release();
    r.code = Py_NewRef(code);
    r.defaults = Py_NewRef(defaults);
    r.warnings = Py_NewRef(dict);
    r.warn = Py_NewRef(warn);
    r.deprecated = Py_NewRef(deprecated);
    return 0;
}

int default_locale_way(PyObject* locale_module, Ref& helper) {
    const LocaleRecord& r = st().locale;
    if (!r.function || locale_module != r.module || !PyModule_Check(locale_module)) return 0;
    PyObject* function = PyDict_GetItemWithError(PyModule_GetDict(locale_module), N->getdefaultlocale);
    if (function != r.function || PyFunction_GET_CODE(function) != r.code ||
        PyFunction_GET_DEFAULTS(function) != r.defaults ||
        PyDict_GetItemWithError(r.warnings, N->warn) != r.warn ||
        PyDict_GetItemWithError(r.warnings, N->_deprecated) != r.deprecated)
        return PyErr_Occurred() ? -1 : 0;
    // What it returns after the warning, looked up where it looks it up.
    helper = Ref::borrow(PyDict_GetItemWithError(PyFunction_GET_GLOBALS(function), N->_getdefaultlocale));
    if (!helper) return PyErr_Occurred() ? -1 : 0;
    return 1;
}

bool clone_attribute_is_ours() { return global_is(N->_clone_attribute, st().clone_function); }

}  // namespace r7u
