// The module state's life cycle: construction, the interned names, and the
// one list of everything it owns, for the traverse, clear and free hooks.
#include "state.hpp"

#include <initializer_list>
#include <new>
#include <type_traits>

namespace r7u {

State* g_state = nullptr;

namespace {

// Calls fn(PyObject*&) for every object the state owns.
template <class F>
void for_each_owned(State& s, F&& fn) {
    fn(s.globals);
    fn(s.builtins);
    for (PyObject** p : {&s.b.eval, &s.b.property, &s.b.staticmethod, &s.b.TypeError, &s.b.AssertionError,
                         &s.b.super, &s.b.KeyError, &s.b.open})
        fn(*p);
#define R7U_OWNED_NAME(id, text) fn(s.names.id);
    R7U_NAMES(R7U_OWNED_NAME)
#undef R7U_OWNED_NAME
    for (SpecialCache* c : {&s.getitem, &s.setitem, &s.delitem}) fn(c->function);
    fn(s.object_getattribute);
    for (RoutedCache* r : {&s.routed_attributes, &s.routed_description, &s.routed_book, &s.routed_directory}) {
        fn(r->type_name);
        fn(r->routed);
    }
    fn(s.clone_function);
    fn(s.kw_value);
    fn(s.kw_dumps);
    fn(s.kw_encoding);
    JsonRecord& j = s.json;
    for (PyObject** p : {&j.module, &j.dumps, &j.encoder, &j.encoder_globals, &j.encode_basestring, &j.infinity,
                         &j.make_iterencode})
        fn(*p);
    LocaleRecord& l = s.locale;
    for (PyObject** p : {&l.module, &l.function, &l.code, &l.defaults, &l.warnings, &l.warn, &l.deprecated,
                         &l.message, &l.filename, &l.module_name, &l.registry})
        fn(*p);
    LoadsRecord& d = s.loads;
    for (PyObject** p : {&d.module, &d.loads, &d.loads_code, &d.loads_kwdefaults, &d.decoder, &d.scan_once})
        fn(*p);
    for (int i = 0; i < 2; ++i) {
        fn(d.methods[i]);
        fn(d.method_code[i]);
        fn(d.method_defaults[i]);
    }
    fn(s.backup_function);
    HostFs& h = s.host;
    fn(h.os);
    fn(h.path);
    for (PyObject*& p : h.os_funcs) fn(p);
    for (PyObject*& p : h.path_funcs) fn(p);
    fn(h.stat);
}

}  // namespace

int state_init(void* memory, PyObject* module) {
    State* s = new (memory) State{};
    s->live = true;
    s->module = module;
    g_state = s;
#define R7U_INTERN_NAME(id, text) \
    if (!(s->names.id = PyUnicode_InternFromString(text))) return -1;
    R7U_NAMES(R7U_INTERN_NAME)
#undef R7U_INTERN_NAME
    return 0;
}

int state_traverse(State& s, visitproc visit, void* arg) {
    int r = 0;
    for_each_owned(s, [&](PyObject*& o) {
        if (!r && o) r = visit(o, arg);
    });
    return r;
}

void state_clear(State& s) {
    PyObject* pending = PyErr_GetRaisedException();
    if (s.cached_globals.watcher >= 0) {
        if (s.cached_globals.watching && s.globals && PyDict_Unwatch(s.cached_globals.watcher, s.globals) < 0)
            PyErr_Clear();
        if (PyDict_ClearWatcher(s.cached_globals.watcher) < 0) PyErr_Clear();
    }
    for_each_owned(s, [](PyObject*& o) { Py_CLEAR(o); });
    s.cached_globals = GlobalsCache{};
    s.getitem = s.setitem = s.delitem = SpecialCache{};
    s.pristine_parameter = s.pristine_book = s.pristine_directory = PristineCache{};
    compat::forget_inline_slots();
    PyErr_SetRaisedException(pending);
}

void state_free(State& s) {
    state_clear(s);
    if (g_state == &s) g_state = nullptr;
    s.live = false;
}

static_assert(std::is_trivially_destructible_v<State>, "the module's memory is freed without a destructor");

}  // namespace r7u
