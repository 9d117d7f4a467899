// The shared bodies of the map-backed classes, instantiated per class record.
#include "mapped.hpp"

namespace r7u {
namespace {

// object.__getattribute__, from object's own dict (lives for the process).
PyObject* object_getattribute() {
    static PyObject* found = compat::type_lookup_borrowed(&PyBaseObject_Type, N.dunder_getattribute);
    return found;
}

R7U_COLD Ref missing_map(MappedClass& c) {
    key_error(*c.private_name);
    return {};
}

// What our own __getattr__ answers on an instance that has no map (the state
// object.__new__, pickle and copy make): the private names keep the KeyError
// of the missing map, any other name is an ordinary missing attribute.
R7U_COLD PyObject* mapless_getattr(PyObject* self, PyObject* item, MappedClass& c) {
    for (PyObject* const* priv : {c.private_name, c.second_private}) {
        if (priv && PyUnicode_Check(item) && PyUnicode_Compare(item, *priv) == 0) return missing_map(c).release();
    }
    if (PyErr_Occurred()) return nullptr;
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(self)->tp_name, item);
    return nullptr;
}

// Through the class's own subscription, so that its checks apply; the book
// works on its map directly.
PyObject* move_entry(PyObject* self, PyObject* map, PyObject* old_name, PyObject* new_name, bool by_subscription) {
    if (by_subscription) {
        Ref item = Ref::steal(PyObject_GetItem(self, old_name));
        if (!item || PyObject_DelItem(self, old_name) < 0 || PyObject_SetItem(self, new_name, item.get()) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    Ref item = map_get(map, old_name);
    if (!item || map_del(map, old_name) < 0 || map_set(map, new_name, item.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

R7U_COLD PyObject* rename_error(const char* format, PyObject* name) {
    Ref msg = Ref::steal(PyUnicode_FromFormat(format, name));
    return msg ? key_error(msg.get()) : nullptr;
}

template <MappedClass& C>
struct Bodies {
    static PyObject* clone(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        if (!map) return nullptr;
        Ref cls = global(*C.global_name);
        if (!cls) return nullptr;
        return PyObject_CallOneArg(cls.get(), map.get());
    }

    static PyObject* items(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        return map ? PyObject_CallMethodNoArgs(map.get(), N.items) : nullptr;
    }

    static PyObject* names(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        return map ? PyObject_CallMethodNoArgs(map.get(), N.keys) : nullptr;
    }

    static PyObject* clear(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        if (!map) return nullptr;
        if (PyDict_CheckExact(map.get())) {
            PyDict_Clear(map.get());
            Py_RETURN_NONE;
        }
        Ref r = Ref::steal(PyObject_CallMethodNoArgs(map.get(), N.clear));
        if (!r) return nullptr;
        Py_RETURN_NONE;
    }

    static PyObject* getattr(PyObject* const* args, PyObject*) {
        PyObject* self = args[0];
        Ref map;
        if (class_is_pristine(Py_TYPE(self), C)) {
            map = Ref::steal(compat::generic_getattr_or_null(self, *C.private_name));
            if (!map && !PyErr_Occurred()) return mapless_getattr(self, args[1], C);
        } else {
            map = mapped_map(self, C);
        }
        if (!map) return nullptr;
        return map_get(map.get(), args[1]).release();
    }

    static PyObject* getitem(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        return map ? map_get(map.get(), args[1]).release() : nullptr;
    }

    static PyObject* store(PyObject* self, PyObject* key, PyObject* value) {
        if (C.item_check && !assert_that([&] { return C.item_check(value); })) return nullptr;
        Ref map = mapped_map(self, C);
        if (!map || map_set(map.get(), key, value) < 0) return nullptr;
        Py_RETURN_NONE;
    }

    static PyObject* setitem(PyObject* const* args, PyObject*) {
        if (!assert_that([&] { return PyUnicode_Check(args[1]) ? 1 : 0; })) return nullptr;
        return store(args[0], args[1], args[2]);
    }

    static PyObject* delitem(PyObject* const* args, PyObject*) {
        Ref map = mapped_map(args[0], C);
        if (!map || map_del(map.get(), args[1]) < 0) return nullptr;
        Py_RETURN_NONE;
    }

    // 1 when `key` is the routed name of self's class.
    static int routed(PyObject* self, PyObject* key) {
        Ref name = routed_name(self, C.routed);
        return name ? py_eq(key, name.get()) : -1;
    }

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
        if (!assert_that([&] { return PyUnicode_Check(new_name) && PyUnicode_GET_LENGTH(new_name) != 0; }))
            return nullptr;
        return move_entry(self, map.get(), old_name, new_name, C.rename_by_subscription);
    }

    static Impl body(Shared which) {
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

}  // namespace

bool class_is_pristine_slow(PyTypeObject* tp, MappedClass& c) {
    if (compat::type_lookup_borrowed(tp, N.dunder_getattribute) != object_getattribute() ||
        member_impl(tp, N.dunder_getattr) != c.own_getattr)
        return false;
    c.pristine_type = tp;
    c.pristine_version = compat::type_version(tp);
    return true;
}

Ref private_attr_missing(PyObject* self, PyObject* name, MappedClass& c, Ref (*miss)(PyObject*, PyObject*)) {
    return miss ? miss(self, name) : missing_map(c);
}

Ref private_attr_ordinary(PyObject* self, PyObject* name) {
    // A class of its own may lead the lookup back here (a __getattribute__
    // that refuses the name sends it to our __getattr__ again).
    RecursionGuard guard(" while looking up a private map");
    if (!guard.ok()) return {};
    return Ref::steal(PyObject_GetAttr(self, name));
}

bool mapped_init(PyObject* self, PyObject* items, MappedClass& c) {
    {
        // Through the class's own __setattr__, which routes the private name.
        Ref fresh = Ref::steal(PyDict_New());
        if (!fresh || PyObject_SetAttr(self, *c.private_name, fresh.get()) < 0) return false;
    }
    if (items == Py_None) return true;
    // Entries clone through this constructor again (a book or directory may
    // hold itself).
    RecursionGuard guard(" while cloning a container");
    if (!guard.ok()) return false;
    return walk_dict(items, [&](PyObject* name, PyObject* item) -> int {
               if (!assert_that([&] { return PyUnicode_Check(name) ? 1 : 0; })) return -1;
               if (c.item_check && !assert_that([&] { return c.item_check(item); })) return -1;
               Ref copy = Ref::steal(PyObject_CallMethodNoArgs(item, N.clone));
               if (!copy) return -1;
               Ref map = mapped_map(self, c);
               return map ? map_set(map.get(), name, copy.get()) : -1;
           }) == 0;
}

Impl mapped_body(MappedClass& c, Shared which) {
    if (&c == &g_parameter_class) return Bodies<g_parameter_class>::body(which);
    if (&c == &g_book_class) return Bodies<g_book_class>::body(which);
    return Bodies<g_directory_class>::body(which);
}

}  // namespace r7u
