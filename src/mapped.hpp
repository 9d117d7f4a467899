// The shared core of the three map-backed classes: a private map under a
// routed name, attribute routing, subscription, items/names/clear, clone,
// rename and the constructor's walk. Each class describes what differs in
// one MappedClass record of its own file; the bodies below are instantiated
// per record there.
#pragma once

#include "function.hpp"
#include "globals.hpp"
#include "pyops.hpp"

namespace r7u {

// ---------------------------------------------------------------------------
// The private maps and the instance plumbing.
// ---------------------------------------------------------------------------
// The private maps are plain dicts unless someone assigned another object
// to the private name: exact dicts directly, anything else by its protocol,
// guarded, since such a map can lead back to its owner (a map that is the
// object itself).
Ref map_get_slow(PyObject* map, PyObject* key);
int map_set_slow(PyObject* map, PyObject* key, PyObject* value);
int map_contains_slow(PyObject* map, PyObject* key);

inline Ref map_get(PyObject* map, PyObject* key) {
    if (PyDict_CheckExact(map)) {
        PyObject* v = PyDict_GetItemWithError(map, key);
        if (v) return Ref::borrow(v);
        if (!PyErr_Occurred()) key_error(key);
        return {};
    }
    return map_get_slow(map, key);
}
inline int map_set(PyObject* map, PyObject* key, PyObject* value) {
    return PyDict_CheckExact(map) ? PyDict_SetItem(map, key, value) : map_set_slow(map, key, value);
}
inline int map_del(PyObject* map, PyObject* key) {
    return PyDict_CheckExact(map) ? PyDict_DelItem(map, key) : map_set_slow(map, key, nullptr);
}
inline int map_contains(PyObject* map, PyObject* key) {
    return PyDict_CheckExact(map) ? PyDict_Contains(map, key) : map_contains_slow(map, key);
}
inline Ref map_call(PyObject* map, PyObject* method) {
    return PyDict_CheckExact(map) ? Ref::steal(PyObject_CallMethodNoArgs(map, method)) : map_call_slow(map, method);
}

// 1 when `key` equals the routed name "_" + type(self).__name__ + "__" +
// suffix of self's class (`cache` keeps it), 0 when not, -1 with an
// exception set.
int is_routed(PyObject* self, PyObject* key, const char* suffix, RoutedCache& cache);

// super(self.__class__, self).__setattr__(key, value) / .__delattr__(key),
// direct to the generic object behaviour when the next class is `object`.
int super_setattr(PyObject* self, PyObject* key, PyObject* value);
int super_delattr(PyObject* self, PyObject* key);

// Ordinary instance lookup without the class's __getattr__ fallback: new
// reference, or null with no exception when absent, or null with an
// exception on a real error (check PyErr_Occurred()).
Ref lookup_instance_attr(PyObject* self, PyObject* name);

// ---------------------------------------------------------------------------
// The class record and the private-map lookup.
// ---------------------------------------------------------------------------
struct MappedClass {
    const char* owner;      // class name: qualnames, guard texts
    NameId private_name;    // the literal private map name
    NameId second_private;  // a further private name (or null)
    NameId global_name;     // module-level name of the class
    const char* routed_suffix;       // "_" + type(self).__name__ + "__" + suffix
    RoutedCache State::* routed;     // ... and its cache
    PristineCache State::* pristine; // the cache of class_is_pristine
    // Assertion on a stored value (1, 0, -1), or null for none.
    int (*item_check)(PyObject* value);
    // The notes of a value it refuses, stored (book.x = 5) or given to the
    // constructor: formats filled with the entry's name (%R), the value's
    // type name (%s) and the name again (%R).
    const char* refused_store;
    const char* refused_init;
    // rename moves the entry through the class's own subscription (with its
    // checks) rather than on the map directly.
    bool rename_by_subscription;
    // The class's own __getattr__ body: while type(self) still answers
    // through it and the generic __getattribute__, a map is found by the
    // generic lookup alone.
    Impl own_getattr = nullptr;
    // What an entry is called in the note of a missing attribute: "Parameter
    // has no attribute 'x'", "ParameterBook has no parameter or attribute 'x'".
    const char* entry_kind = "attribute";
};

// True while an ordinary lookup on an instance of `tp` is the generic lookup
// followed by c's own __getattr__ body: nothing else can tell.
bool class_is_pristine_slow(PyTypeObject* tp, MappedClass& c);
inline bool class_is_pristine(PyTypeObject* tp, MappedClass& c) {
    const unsigned int version = compat::type_version(tp);
    const PristineCache& cache = st().*c.pristine;
    return (tp == cache.type && version != 0 && version == cache.version) || class_is_pristine_slow(tp, c);
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
inline Ref mapped_map(PyObject* self, MappedClass& c) { return private_attr(self, name_of(c.private_name), c, nullptr); }

// __init__'s shared part: the fresh private map through the class's own
// __setattr__, then a clone of every entry of `items` (a dict or None).
bool mapped_init(PyObject* self, PyObject* items, MappedClass& c);

// Members every map-backed class has, in the same shape.
enum class Shared { Clone, Items, Names, Clear, Getattr, Setattr, Delattr, Getitem, Setitem, Delitem, Rename };


// The rare ends of the shared bodies (mapped.cpp).
R7U_COLD Ref missing_map(MappedClass& c);
R7U_COLD PyObject* mapless_getattr(PyObject* self, PyObject* item, MappedClass& c);
// KeyError(item) for a name that neither self nor its map (a dict) has, with
// a note of the names it may have meant.
R7U_COLD PyObject* missing_attribute(PyObject* self, PyObject* map, PyObject* item, MappedClass& c);
PyObject* move_entry(PyObject* self, PyObject* map, PyObject* old_name, PyObject* new_name, bool by_subscription);
R7U_COLD PyObject* rename_error(const char* format, PyObject* name);
// The notes of a name that is not a str, and of an item a class refuses.
R7U_COLD Ref name_not_str(PyObject* name);
R7U_COLD Ref refused_item(const char* format, PyObject* name, PyObject* item);

template <MappedClass& C>
struct MappedBodies {
    static PyObject* clone(PyObject* const* args, PyObject*) {
        // `Cls(self.__map)`: the class's name first, then its argument.
        Ref cls = global(name_of(C.global_name));
        if (!cls) return nullptr;
        Ref map = mapped_map(args[0], C);
        if (!map) return nullptr;
        return PyObject_CallOneArg(cls.get(), map.get());
    }

    static PyObject* items(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        return map ? map_call(map.get(), N->items).release() : nullptr;
    }

    static PyObject* names(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        return map ? map_call(map.get(), N->keys).release() : nullptr;
    }

    static PyObject* clear(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        if (!map) return nullptr;
        if (PyDict_CheckExact(map.get())) {
            PyDict_Clear(map.get());
            Py_RETURN_NONE;
        }
        Ref r = map_call(map.get(), N->clear);
        if (!r) return nullptr;
        Py_RETURN_NONE;
    }

    static PyObject* getattr(PyObject* const* args, PyObject*) {
        PyObject* self = args[0];
        Ref map;
        if (class_is_pristine(Py_TYPE(self), C)) {
            map = Ref::steal(compat::generic_getattr_or_null(self, name_of(C.private_name)));
            if (!map && !PyErr_Occurred()) return mapless_getattr(self, args[1], C);
        } else {
            map = mapped_map(self, C);
        }
        if (!map) return nullptr;
        if (PyDict_CheckExact(map.get())) {
            PyObject* v = PyDict_GetItemWithError(map.get(), args[1]);
            if (v) return Py_NewRef(v);
            return PyErr_Occurred() ? nullptr : missing_attribute(self, map.get(), args[1], C);
        }
        return map_get_slow(map.get(), args[1]).release();
    }

    static PyObject* getitem(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        return map ? map_get(map.get(), args[1]).release() : nullptr;
    }

    static PyObject* store(PyObject* self, PyObject* key, PyObject* value) {
        if (C.item_check && !assert_that([&] { return C.item_check(value); },
                                         [&] { return refused_item(C.refused_store, key, value); }))
            return nullptr;
        Ref map = mapped_map(self, C);
        if (!map || map_set(map.get(), key, value) < 0) return nullptr;
        Py_RETURN_NONE;
    }

    static PyObject* setitem(PyObject* const* args, PyObject*) {
        if (!assert_that([&] { return PyUnicode_Check(args[1]) ? 1 : 0; }, [&] { return name_not_str(args[1]); }))
            return nullptr;
        return store(args[0], args[1], args[2]);
    }

    static PyObject* delitem(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        if (!map || map_del(map.get(), args[1]) < 0) return nullptr;
        Py_RETURN_NONE;
    }

    static int routed(PyObject* self, PyObject* key) { return is_routed(self, key, C.routed_suffix, st().*C.routed); }

    static PyObject* setattr(PyObject* const* args, PyObject*) {
        int hit = routed(args[0], args[1]);
        if (hit < 0) return nullptr;
        if (hit) return super_setattr(args[0], args[1], args[2]) < 0 ? nullptr : Py_NewRef(Py_None);
        return store(args[0], args[1], args[2]);
    }

    static PyObject* delattr(PyObject* const* args, PyObject* kw) {
        int hit = routed(args[0], args[1]);
        if (hit < 0) return nullptr;
        if (hit) return super_delattr(args[0], args[1]) < 0 ? nullptr : Py_NewRef(Py_None);
        return delitem(args, kw);
    }

    static PyObject* rename(PyObject* const* args, PyObject*) {
        PyObject* self = args[0];
        PyObject* old_name = args[1];
        PyObject* new_name = args[2];
        int same = py_eq(old_name, new_name);
        if (same < 0) return nullptr;
        if (same) Py_RETURN_NONE;
        Ref map = mapped_map(self, C);
        if (!map) return nullptr;
        // Every test before the first change.
        int has = map_contains(map.get(), old_name);
        if (has < 0) return nullptr;
        if (!has) return rename_error("Old name `%U` does not exist.", old_name);
        has = map_contains(map.get(), new_name);
        if (has < 0) return nullptr;
        if (has) return rename_error("New name `%U` already exists.", new_name);
        if (!assert_that([&] { return PyUnicode_Check(new_name) && PyUnicode_GET_LENGTH(new_name) != 0; },
                         [&] { return note_text("rename(%R, ''): the new name is empty; give a name of one "
                                                "character or more", old_name); }))
            return nullptr;
        return move_entry(self, map.get(), old_name, new_name, C.rename_by_subscription);
    }

    static constexpr Impl body(Shared which) {
        switch (which) {
            case Shared::Clone: return clone;
            case Shared::Items: return items;
            case Shared::Names: return names;
            case Shared::Clear: return clear;
            case Shared::Getattr: return getattr;
            case Shared::Setattr: return setattr;
            case Shared::Delattr: return delattr;
            case Shared::Getitem: return getitem;
            case Shared::Setitem: return setitem;
            case Shared::Delitem: return delitem;
            case Shared::Rename: return rename;
        }
        return nullptr;
    }
};

// The body of one shared member for the class of record C.
template <MappedClass& C>
constexpr Impl mapped_body(Shared which) {
    return MappedBodies<C>::body(which);
}

}  // namespace r7u
