// Parameter: its class namespace, and what a book load and a book text ask
// of a parameter.
#pragma once

#include "support.hpp"

namespace r7u {

// Fills the Parameter class namespace. 0 or -1.
int fill_parameter_namespace(PyObject* ns);
// A load may take over a decoded dictionary form instead of passing it to
// from_dict, whose constructor would copy its maps, where the classes allow
// it (adopt_way, shortcuts.hpp) and for a form only its container holds, of
// fresh maps (is_fresh_container) that the constructor and from_dict would
// accept as they are: 1, or 0 when not, -1 with an exception set. Runs no
// Python code.
int form_adoptable(PyObject* form);
// The parameter holding the maps of an adoptable form, and its name. 0 or -1.
int adopt_form(PyObject* cls, PyObject* form, Ref& name, Ref& parameter);
// The maps' part of form_adoptable, for two exact dicts already known to be
// fresh: 1, 0, or -1 with an exception set.
int maps_adoptable(PyObject* description, PyObject* attributes);
// A parameter of `cls` (LoadWay::parameter_cls) holding the two maps
// themselves.
Ref adopt_maps(PyObject* cls, PyObject* description, PyObject* attributes);
// 1 with the two maps set when to_dict of `parameter` is our own and would
// run no Python code (its class pristine, no class attribute under the
// private names, no instance attribute named to_dict), 0 when not (nothing
// set, no exception). Runs no Python code.
// `last` remembers the verdict on the last class judged, for a walk over many
// parameters during which no code runs, so no class can change.
struct PlainClass {
    PyTypeObject* type = nullptr;
    bool plain = false;
};
int plain_form_parts(PyObject* parameter, Ref& description, Ref& attributes, PlainClass& last);

}  // namespace r7u
