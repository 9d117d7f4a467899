// Module-level names looked up at call time, as a function body of the
// module would look them up: the module's namespace, then builtins.
#pragma once

#include "support.hpp"

namespace r7u {

// The lookup itself, remembering what the watcher lets it remember; global()
// first asks for that.
Ref global_lookup(PyObject* name);

// Module-level name at call time: module dict, then builtins, then NameError.
inline Ref global(PyObject* name) {
    const GlobalsCache& g = st().cached_globals;
    if (g.watching) {
        for (int i = 0; i < g.count; ++i) {
            const GlobalsCache::Entry& c = g.entries[i];
            if (c.name == name) {
                if (c.valid) return Ref::borrow(c.value);
                break;
            }
        }
    }
    return global_lookup(name);
}
// True when the module-level `name` is the object `expected` itself. Never fails.
inline bool global_is(PyObject* name, PyObject* expected) {
    Ref v = global(name);
    if (!v) PyErr_Clear();
    return v.get() == expected;
}
// Starts watching the namespace so that global() can remember what it found.
void watch_globals();

}  // namespace r7u
