// _clone_attribute: the deep copy of an attribute value, and the ways the
// classes call it.
#pragma once

#include "support.hpp"

namespace r7u {

// The module-level _clone_attribute function (a new reference, or null).
PyObject* make_clone_attribute();
// _clone_attribute(value) through the module-level name at call time; calls
// the C++ body directly while that name still holds our own function.
Ref call_clone_attribute(PyObject* value);
// True when `v` is an exact list or dict whose nested containers are exact
// lists and dicts referenced once (by their parent), with str keys and exact
// str, int, float or bool leaves. Runs no Python code; never fails. Such a
// tree, held by nothing else, may stand in for the copy _clone_attribute
// would make of it.
bool is_fresh_container(PyObject* v);

// For the note of a refused value: where in `value` the first value sits
// that the copy refuses (json: that the JSON encoder refuses), in the order
// they visit it, as " at ['a'][0]", ", the key (1, 2)" or "" for `value`
// itself. Null when nothing is refused, or on an error (cleared). Runs no
// Python code but the repr of keys.
R7U_COLD Ref refused_at(PyObject* value, bool json);

}  // namespace r7u
