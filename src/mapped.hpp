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

// True while an ordinary lookup on an instance of `tp` is the generic lookup
// followed by c's own __getattr__ body: nothing else can tell.
bool class_is_pristine_slow(PyTypeObject* tp, MappedClass& c);
inline bool class_is_pristine(PyTypeObject* tp, MappedClass& c) {
    const unsigned int version = compat::type_version(tp);
    return (tp == c.pristine_type && version != 0 && version == c.pristine_version) ||
           class_is_pristine_slow(tp, c);
}

// The two rare ends of private_attr.
Ref private_attr_missing(PyObject* self, PyObject* name, MappedClass& c, Ref (*miss)(PyObject*, PyObject*));
Ref private_attr_ordinary(PyObject* self, PyObject* name);

// Ordinary instance lookup `self.<name>` as a method body makes it. A miss
// while the class is pristine answers as our own __getattr__ would: `miss`
// (or KeyError with the class's private name when there is none).
inline Ref private_attr(PyObject* self, PyObject* name, MappedClass& c,
                        Ref (*miss)(PyObject* self, PyObject* name)) {
    if (class_is_pristine(Py_TYPE(self), c)) {
        PyObject* v = compat::generic_getattr_or_null(self, name);
        if (v || PyErr_Occurred()) return Ref::steal(v);
        return private_attr_missing(self, name, c, miss);
    }
    return private_attr_ordinary(self, name);
}

// The class's private map of self.
inline Ref mapped_map(PyObject* self, MappedClass& c) { return private_attr(self, *c.private_name, c, nullptr); }

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
