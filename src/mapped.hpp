// The machinery the three map-backed classes share: a private map under a
// routed name, attribute routing, subscription, items/names/clear, clone,
// rename and the constructor's walk. Each class describes what differs in
// one MappedClass record; the bodies here are instantiated per record.
#pragma once

#include "support.hpp"

namespace r7u {

struct MappedClass {
    const char* owner;               // class name: qualnames, guard texts
    PyObject* const* private_name;   // the literal private map name
    PyObject* const* second_private; // a further private name (or null)
    PyObject* const* global_name;    // module-level name of the class
    RoutedName routed;               // "_" + type(self).__name__ + "__" + suffix
    // Assertion on a stored value (1, 0, -1), or null for none.
    int (*item_check)(PyObject* value);
    // rename moves the entry through the class's own subscription (with its
    // checks) rather than on the map directly.
    bool rename_by_subscription;
    // The class's own __getattr__ body: while type(self) still answers
    // through it and the generic __getattribute__, a map is found by the
    // generic lookup alone.
    Impl own_getattr = nullptr;
    // One-entry cache of that test, keyed by the class and its version tag.
    PyTypeObject* pristine_type = nullptr;
    unsigned int pristine_version = 0;
};

// Ordinary instance lookup `self.<name>` as a method body makes it. A miss
// while the class is pristine answers as our own __getattr__ would: `miss`
// (or KeyError with the class's private name when there is none).
Ref private_attr(PyObject* self, PyObject* name, MappedClass& c, Ref (*miss)(PyObject* self, PyObject* name));

// The class's private map of self.
Ref mapped_map(PyObject* self, MappedClass& c);

// __init__'s shared part: the fresh private map through the class's own
// __setattr__, then a clone of every entry of `items` (a dict or None).
bool mapped_init(PyObject* self, PyObject* items, MappedClass& c);

// Members every map-backed class has, in the same shape.
enum class Shared { Clone, Items, Names, Clear, Getattr, Setattr, Delattr, Getitem, Setitem, Delitem, Rename };

// The body of one shared member for the class `c` (instantiated for the
// records the classes register with mapped_body).
Impl mapped_body(MappedClass& c, Shared which);

// The three records, owned by their classes' files.
extern MappedClass g_parameter_class;  // parameter.cpp
extern MappedClass g_book_class;       // book.cpp
extern MappedClass g_directory_class;  // directory.cpp

}  // namespace r7u
