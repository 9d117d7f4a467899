// Module-level names at call time.
#include "globals.hpp"

#include "pyops.hpp"

namespace r7u {

// ---------------------------------------------------------------------------
// Module globals, remembered while a dict watcher sees every change of the
// namespace. The interpreter calls the watcher after it found the entry to
// change and right before changing it, with nothing run in between: it
// forgets the names the change may touch (all of them when the key is not an
// exact str, whose equality only the key itself can answer). With no watcher
// free, every read is a dict lookup.
// ---------------------------------------------------------------------------
namespace {

int globals_changed(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    if (!g_state || dict != st().globals) return 0;
    GlobalsCache& g = st().cached_globals;
    const bool by_str = key && PyUnicode_CheckExact(key);
    for (int i = 0; i < g.count; ++i)
        if (!by_str || str_equal(g.entries[i].name, key)) g.entries[i].valid = false;
    if (event == PyDict_EVENT_DEALLOCATED) g.watching = false;
    return 0;
}

}  // namespace

void watch_globals() {
    GlobalsCache& g = st().cached_globals;
    g.watching = false;
    PyObject* const watched[] = {N->_clone_attribute, N->Parameter, N->ParameterBook, N->ParameterDirectory,
                                 N->_locale, N->_json, N->_path, N->_os};
    g.count = 0;
    for (PyObject* name : watched) g.entries[g.count++] = {name, nullptr, false};
    if (g.watcher < 0) g.watcher = PyDict_AddWatcher(globals_changed);
    if (g.watcher < 0 || PyDict_Watch(g.watcher, st().globals) < 0) {
        PyErr_Clear();
        return;
    }
    g.watching = true;
}

Ref global_lookup(PyObject* name) {
    State& s = st();
    PyObject* v = s.globals ? PyDict_GetItemWithError(s.globals, name) : nullptr;
    if (v) {
        // Remembered until the watcher sees the namespace change.
        GlobalsCache& g = s.cached_globals;
        for (int i = 0; g.watching && i < g.count; ++i) {
            if (g.entries[i].name == name) {
                g.entries[i] = {name, v, true};
                break;
            }
        }
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) return {};
    v = s.builtins ? PyDict_GetItemWithError(s.builtins, name) : nullptr;
    if (v) return Ref::borrow(v);
    if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace r7u
