// The module frame: entry points, the create and exec steps, the module
// body that builds the namespace in source order, and the hooks that end the
// state's life (state.hpp).
#include "book.hpp"
#include "clone.hpp"
#include "directory.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "parameter.hpp"
#include "shortcuts.hpp"

#include <cstdint>

namespace r7u {
namespace {

constexpr const char* kModuleName = "r7u_razarozu";

// Process-wide by nature: the module loads into one interpreter per process.
std::int64_t g_interpreter_id = -1;

int bind(PyObject* ns, const char* name, PyObject* value) {
    if (!value) return -1;
    return PyDict_SetItemString(ns, name, value);
}

// import <module> (absolute, with the module namespace as globals), with
// an optional from-list; the module, or the submodule for a dotted name
// imported with a from-list.
Ref import(const char* module, PyObject* fromlist = nullptr) {
    Ref name = Ref::steal(PyUnicode_FromString(module));
    if (!name) return {};
    return Ref::steal(PyImport_ImportModuleLevelObject(name.get(), st().globals, nullptr, fromlist, 0));
}

// from <module> import a, b, ... binding each under its alias.
int import_from(const char* module, std::initializer_list<std::pair<const char*, const char*>> names) {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist) return -1;
    Py_ssize_t i = 0;
    for (auto& [name, alias] : names) {
        (void)alias;
        PyObject* s = PyUnicode_FromString(name);
        if (!s) return -1;
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref mod = import(module, fromlist.get());
    if (!mod) return -1;
    i = 0;
    for (auto& [name, alias] : names) {
        PyObject* key = PyTuple_GET_ITEM(fromlist.get(), i++);
        Ref value = Ref::steal(PyObject_GetAttr(mod.get(), key));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S", key);
            }
            return -1;
        }
        if (bind(st().globals, alias, value.get()) < 0) return -1;
    }
    return 0;
}

int make_class(const char* name, int (*fill)(PyObject*)) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return -1;
    Ref module = Ref::steal(PyUnicode_FromString(kModuleName));
    Ref qualname = Ref::steal(PyUnicode_InternFromString(name));
    if (!module || !qualname) return -1;
    if (PyDict_SetItemString(ns.get(), "__module__", module.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 || fill(ns.get()) < 0)
        return -1;
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return -1;
    PyObject* args[] = {qualname.get(), bases.get(), ns.get()};
    Ref cls = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), args, 3, nullptr));
    if (!cls || install_fast_slots(cls.get()) < 0) return -1;
    // Its methods run on the module's state: the class keeps the module.
    compat::type_hold_module(reinterpret_cast<PyTypeObject*>(cls.get()), st().module);
    return PyDict_SetItem(st().globals, qualname.get(), cls.get());
}

int module_body() {
    PyObject* g = st().globals;
    if (import_from("typing", {{"Any", "Any"}}) < 0) return -1;
    if (import_from("typing", {{"Union", "_Union"}, {"Dict", "_Dict"}, {"Optional", "_Optional"}, {"List", "_List"}}) < 0)
        return -1;
    {
        Ref locale = import("locale");
        if (bind(g, "_locale", locale.get()) < 0 || capture_locale(locale.get()) < 0) return -1;
    }
    Ref json = import("json");
    if (bind(g, "_json", json.get()) < 0 || capture_json(json.get()) < 0) return -1;
    capture_json_loads(json.get());
    {
        Ref fromlist = Ref::steal(Py_BuildValue("(s)", "path"));
        if (!fromlist || bind(g, "_path", import("os.path", fromlist.get()).get()) < 0) return -1;
    }
    if (bind(g, "_os", import("os").get()) < 0) return -1;

    const char* limits[] = {"LIMIT_MODE_ABSOLUTE", "LIMIT_MODE_RELATIVE", "LIMIT_MODE_RELATIVE_PERCENTAGE"};
    for (long i = 0; i < 3; ++i) {
        Ref v = Ref::steal(PyLong_FromLong(i));
        if (bind(g, limits[i], v.get()) < 0) return -1;
    }
    {
        Ref v = Ref::steal(PyUnicode_FromString(".\\/:*?\"<>|"));
        if (bind(g, "InvalidNameCharacters", v.get()) < 0) return -1;
    }
    {
        Ref map = Ref::steal(PyDict_New());
        if (!map) return -1;
        const std::pair<const char*, PyObject*> entries[] = {
            {"str", reinterpret_cast<PyObject*>(&PyUnicode_Type)},
            {"int", reinterpret_cast<PyObject*>(&PyLong_Type)},
            {"float", reinterpret_cast<PyObject*>(&PyFloat_Type)},
            {"bool", reinterpret_cast<PyObject*>(&PyBool_Type)},
            {"dict", reinterpret_cast<PyObject*>(&PyDict_Type)},
            {"list", reinterpret_cast<PyObject*>(&PyList_Type)},
            {"eval", st().b.eval},
        };
        for (auto& [key, value] : entries) {
            if (PyDict_SetItemString(map.get(), key, value) < 0) return -1;
        }
        if (bind(g, "_value_cls_map", map.get()) < 0) return -1;
    }
    {
        Ref clone = Ref::steal(make_clone_attribute());
        if (bind(g, "_clone_attribute", clone.get()) < 0) return -1;
    }
    if (make_class("Parameter", fill_parameter_namespace) < 0) return -1;
    if (make_class("ParameterBook", fill_book_namespace) < 0) return -1;
    if (make_class("ParameterDirectory", fill_directory_namespace) < 0) return -1;
    Ref test = Ref::steal(PyDict_New());
    return bind(g, "__test__", test.get());
}

int capture_builtins() {
    struct {
        const char* name;
        PyObject** slot;
    } wanted[] = {
        {"eval", &st().b.eval},
        {"property", &st().b.property},
        {"staticmethod", &st().b.staticmethod},
        {"TypeError", &st().b.TypeError},
        {"AssertionError", &st().b.AssertionError},
        {"super", &st().b.super},
        {"KeyError", &st().b.KeyError},
        {"open", &st().b.open},
    };
    for (auto& w : wanted) {
        PyObject* v = PyDict_GetItemString(st().builtins, w.name);
        if (!v) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", w.name);
            return -1;
        }
        Py_XSETREF(*w.slot, Py_NewRef(v));
    }
    return 0;
}

// `registered`: set when this step entered the module into sys.modules.
int exec_steps(PyObject* module, bool& registered) {
    st().globals = Py_NewRef(PyModule_GetDict(module));
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins || PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) return -1;
    st().builtins = Py_NewRef(PyModule_GetDict(builtins.get()));

    // The version this file was compiled for against the running one.
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match", major,
                             minor) < 0)
            return -1;
        compat::g_same_version = false;
    }

    PyObject* debug = PyDict_GetItemString(st().builtins, "__debug__");
    int flag = debug ? PyObject_IsTrue(debug) : 1;
    if (flag < 0) return -1;
    st().assertions = flag != 0;

    PyObject* modules = PyImport_GetModuleDict();
    PyObject* present = PyDict_GetItemString(modules, kModuleName);
    if (!present) {
        if (PyDict_SetItemString(modules, kModuleName, module) < 0) return -1;
        registered = true;
    }

    if (capture_builtins() < 0) return -1;
    watch_globals();
    return module_body();
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = id;
    } else if (g_interpreter_id != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (g_state && !g_state->failed) return Py_NewRef(g_state->module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    const struct {
        const char* attr;
        const char* key;
        bool skip_none;
    } copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (auto& c : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, c.attr));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (c.skip_none && value.get() == Py_None) continue;
        if (PyDict_SetItemString(dict, c.key, value.get()) < 0) return nullptr;
    }
    return module.release();
}

// Takes the module out of sys.modules again, if it is still there; the
// exception being raised stays as it is.
void forget_module(PyObject* module) {
    PendingError pending;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* there = PyDict_GetItemString(modules, kModuleName);
    if (there == module && PyDict_DelItemString(modules, kModuleName) < 0) PyErr_Clear();
}

int exec_module(PyObject* module) {
    if (g_state && !g_state->failed) {
        if (g_state->module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'r7u_razarozu' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    void* memory = PyModule_GetState(module);
    if (!memory) return -1;
    bool registered = false;
    if (state_init(memory, module) < 0 || init_function_type() < 0 || exec_steps(module, registered) < 0) {
        // A later import starts again from the create step, with a state of
        // its own; until then what this one made still has this state.
        g_state->failed = true;
        if (registered) forget_module(module);
        return -1;
    }
    return 0;
}

State* state_of(PyObject* module) {
    auto* s = static_cast<State*>(PyModule_GetState(module));
    return s && s->live ? s : nullptr;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    State* s = state_of(module);
    return s ? state_traverse(*s, visit, arg) : 0;
}

int module_clear(PyObject* module) {
    if (State* s = state_of(module)) state_clear(*s);
    return 0;
}

void module_free(void* module) {
    if (State* s = state_of(static_cast<PyObject*>(module))) state_free(*s);
    forget_function_type();
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Parts of the module are process-wide (its function type, the caches of
    // the fast paths): an isolated interpreter gets the interpreter's own
    // ImportError, a legacy one the check in create_module.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kModuleName,    nullptr,      static_cast<Py_ssize_t>(sizeof(State)), nullptr,
    module_slots,          module_traverse, module_clear, module_free,
};

}  // namespace
}  // namespace r7u

PyMODINIT_FUNC PyInit_r7u_razarozu() { return PyModuleDef_Init(&r7u::module_def); }

// The same entry under the name a loader derives from a file named __init__.
PyMODINIT_FUNC PyInit___init__() { return PyModuleDef_Init(&r7u::module_def); }
