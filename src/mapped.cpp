// The shared core: private maps, routing, instance plumbing, the pristine
// test and the rare ends of the shared bodies.
#include "mapped.hpp"

namespace r7u {

// ---------------------------------------------------------------------------
// The private maps and the instance plumbing.
// ---------------------------------------------------------------------------
Ref map_get_slow(PyObject* map, PyObject* key) {
    RecursionGuard guard(" while reading a private map");
    if (!guard.ok()) return {};
    return Ref::steal(PyObject_GetItem(map, key));
}

int map_set_slow(PyObject* map, PyObject* key, PyObject* value) {
    RecursionGuard guard(" while changing a private map");
    if (!guard.ok()) return -1;
    return value ? PyObject_SetItem(map, key, value) : PyObject_DelItem(map, key);
}

int map_contains_slow(PyObject* map, PyObject* key) {
    RecursionGuard guard(" while searching a private map");
    if (!guard.ok()) return -1;
    return PySequence_Contains(map, key);
}

// The routed name, held: Python code run by the comparison may rebuild the
// cache.
static Ref routed_name(PyObject* self, const char* suffix, RoutedCache& cache) {
    Ref type_name = Ref::steal(compat::type_name(Py_TYPE(self)));
    if (!type_name) return {};
    if (type_name.get() == cache.type_name) return Ref::borrow(cache.routed);
    PyObject* routed = PyUnicode_FromFormat("_%S__%s", type_name.get(), suffix);
    if (!routed) return {};
    PyUnicode_InternInPlace(&routed);
    Py_XSETREF(cache.type_name, type_name.release());
    Py_XSETREF(cache.routed, routed);
    return Ref::borrow(cache.routed);
}

int is_routed(PyObject* self, PyObject* key, const char* suffix, RoutedCache& cache) {
    Ref routed = routed_name(self, suffix, cache);
    return routed ? py_eq(key, routed.get()) : -1;
}

// True when the class after type(self) in its MRO is `object`, so that
// super(type(self), self) reaches the generic object behaviour.
static bool next_is_object(PyTypeObject* tp) {
    PyObject* mro = tp->tp_mro;
    return mro && PyTuple_GET_SIZE(mro) == 2 &&
           PyTuple_GET_ITEM(mro, 1) == reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

static Ref super_method(PyObject* self, PyObject* name) {
    PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(self)), self};
    Ref sup = Ref::steal(PyObject_Vectorcall(st().b.super, args, 2, nullptr));
    if (!sup) return {};
    return Ref::steal(PyObject_GetAttr(sup.get(), name));
}

// A subclass's routed name can lead back into our own hook through super():
// the guard turns that loop into RecursionError.
int super_setattr(PyObject* self, PyObject* key, PyObject* value) {
    if (next_is_object(Py_TYPE(self))) return PyObject_GenericSetAttr(self, key, value);
    RecursionGuard guard(" while setting an attribute");
    if (!guard.ok()) return -1;
    Ref meth = super_method(self, N->dunder_setattr);
    if (!meth) return -1;
    PyObject* args[] = {key, value};
    Ref r = Ref::steal(PyObject_Vectorcall(meth.get(), args, 2, nullptr));
    return r ? 0 : -1;
}

int super_delattr(PyObject* self, PyObject* key) {
    if (next_is_object(Py_TYPE(self))) return PyObject_GenericSetAttr(self, key, nullptr);
    RecursionGuard guard(" while deleting an attribute");
    if (!guard.ok()) return -1;
    Ref meth = super_method(self, N->dunder_delattr);
    if (!meth) return -1;
    Ref r = Ref::steal(PyObject_CallOneArg(meth.get(), key));
    return r ? 0 : -1;
}

Ref lookup_instance_attr(PyObject* self, PyObject* name) {
    return Ref::steal(compat::generic_getattr_or_null(self, name));
}

// ---------------------------------------------------------------------------
// The class records' shared parts.
// ---------------------------------------------------------------------------
namespace {

// True when `found` is object.__getattribute__ (from object's own dict,
// held by the state).
bool is_object_getattribute(PyObject* found) {
    PyObject*& held = st().object_getattribute;
    if (!held) held = compat::type_lookup(&PyBaseObject_Type, N->dunder_getattribute);
    return found == held;
}

}  // namespace

R7U_COLD Ref missing_map(MappedClass& c) {
    key_error(name_of(c.private_name));
    return {};
}

// What our own __getattr__ answers on an instance that has no map (the state
// object.__new__, pickle and copy make): the private names keep the KeyError
// of the missing map, any other name is an ordinary missing attribute.
R7U_COLD PyObject* mapless_getattr(PyObject* self, PyObject* item, MappedClass& c) {
    for (NameId priv : {c.private_name, c.second_private}) {
        if (priv && PyUnicode_Check(item) && PyUnicode_Compare(item, name_of(priv)) == 0)
            return missing_map(c).release();
    }
    if (PyErr_Occurred()) return nullptr;
    // Called directly, the name may be anything: shown as str() shows it.
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%S'", Py_TYPE(self)->tp_name, item);
    return nullptr;
}

namespace {

bool begins_with_underscore(PyObject* s) { return PyUnicode_GET_LENGTH(s) > 0 && PyUnicode_READ_CHAR(s, 0) == '_'; }

// "__x__": names that protocols and tools ask for (__deepcopy__, __slots__),
// which no one misspelt.
bool is_special_name(PyObject* s) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    return n > 4 && PyUnicode_READ_CHAR(s, 0) == '_' && PyUnicode_READ_CHAR(s, 1) == '_' &&
           PyUnicode_READ_CHAR(s, n - 1) == '_' && PyUnicode_READ_CHAR(s, n - 2) == '_';
}

// dir(obj) as the interpreter's suggestion rule looks at it for `item`, and
// after it the names in `map` (a dict, or null) while they fit within the
// rule's limit: a new list.
Ref suggestion_candidates(PyObject* obj, PyObject* item, PyObject* map) {
    Ref dir = Ref::steal(PyObject_Dir(obj));
    Ref names = Ref::steal(PyList_New(0));
    if (!dir || !names) return {};
    const bool hide = compat::kSuggestionsHideUnderscored && !begins_with_underscore(item);
    auto keep = [&](PyObject* name) {
        return !PyUnicode_Check(name) || (hide && begins_with_underscore(name)) ? 0 : PyList_Append(names.get(), name);
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dir.get()); ++i)
        if (keep(PyList_GET_ITEM(dir.get(), i)) < 0) return {};
    if (map && PyList_GET_SIZE(names.get()) + PyDict_GET_SIZE(map) <= compat::kSuggestionCandidatesMax &&
        walk_dict(map, [&](PyObject* name, PyObject*) { return keep(name); }) < 0)
        return {};
    return names;
}

// "did you mean 'x'?" for the closest name of self, and which of the other
// two classes has the name (or, failing both, a name close to it); null
// without an exception when there is nothing to say.
Ref missing_attribute_note(PyObject* self, PyObject* map, PyObject* item, MappedClass& c) {
    Ref parts = Ref::steal(PyList_New(0));
    Ref own_names = suggestion_candidates(self, item, map);
    Ref own = own_names ? Ref::steal(compat::closest_name(own_names.get(), item)) : Ref();
    if (!parts || !own) return {};
    if (own.get() != Py_None) {
        Ref part = note_text("did you mean %R?", own.get());
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return {};
    }
    Ref has = Ref::steal(PyList_New(0));     // classes that have the name
    Ref close = Ref::steal(PyList_New(0));   // "Cls has 'name'" of a close name
    if (!has || !close) return {};
    for (NameId id : {&Names::Parameter, &Names::ParameterBook, &Names::ParameterDirectory}) {
        if (id == c.global_name) continue;
        Ref cls = global(name_of(id));
        if (!cls) PyErr_Clear();
        if (!cls || !PyType_Check(cls.get())) continue;
        Ref names = suggestion_candidates(cls.get(), item, nullptr);
        if (!names) return {};
        const int found = PySequence_Contains(names.get(), item);
        if (found < 0 || (found && PyList_Append(has.get(), name_of(id)) < 0)) return {};
        if (found || own.get() != Py_None) continue;
        Ref nearest = Ref::steal(compat::closest_name(names.get(), item));
        if (!nearest) return {};
        if (nearest.get() == Py_None) continue;
        Ref part = note_text("%U has %R", name_of(id), nearest.get());
        if (!part || PyList_Append(close.get(), part.get()) < 0) return {};
    }
    if (PyList_GET_SIZE(has.get()) > 0) {
        PyObject* const* cls = &PyList_GET_ITEM(has.get(), 0);
        Ref part = PyList_GET_SIZE(has.get()) == 1 ? note_text("%U has %R", cls[0], item)
                                                   : note_text("%U and %U have %R", cls[0], cls[1], item);
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return {};
    } else if (PyList_SetSlice(parts.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, close.get()) < 0) {
        return {};
    }
    if (PyList_GET_SIZE(parts.get()) == 0) return {};
    Ref type_name = Ref::steal(compat::type_name(Py_TYPE(self)));
    Ref lead = type_name ? note_text("%U has no %s %R", type_name.get(), c.entry_kind, item) : Ref();
    if (!lead || PyList_Insert(parts.get(), 0, lead.get()) < 0) return {};
    Ref separator = Ref::steal(PyUnicode_FromString("; "));
    return separator ? Ref::steal(PyUnicode_Join(separator.get(), parts.get())) : Ref();
}

}  // namespace

R7U_COLD PyObject* missing_attribute(PyObject* self, PyObject* map, PyObject* item, MappedClass& c) {
    key_error(item);
    if (PyUnicode_Check(item) && !is_special_name(item))
        note_error([&] { return missing_attribute_note(self, map, item, c); });
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

bool class_is_pristine_slow(PyTypeObject* tp, MappedClass& c) {
    if (!is_object_getattribute(compat::type_lookup_borrowed(tp, N->dunder_getattribute)) ||
        member_impl(tp, N->dunder_getattr) != c.own_getattr)
        return false;
    st().*c.pristine = {tp, compat::type_version(tp)};
    return true;
}

R7U_COLD Ref name_not_str(PyObject* name) {
    return note_text("the name %R is not a str: entries are named by str", name);
}

R7U_COLD Ref refused_item(const char* format, PyObject* name, PyObject* item) {
    return note_text(format, name, Py_TYPE(item)->tp_name, name);
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
        if (!fresh || PyObject_SetAttr(self, name_of(c.private_name), fresh.get()) < 0) return false;
    }
    if (items == Py_None) return true;
    // Entries clone through this constructor again (a book or directory may
    // hold itself).
    RecursionGuard guard(" while cloning a container");
    if (!guard.ok()) return false;
    return walk_dict(items, [&](PyObject* name, PyObject* item) -> int {
               if (!assert_that([&] { return PyUnicode_Check(name) ? 1 : 0; }, [&] { return name_not_str(name); }))
                   return -1;
               if (c.item_check && !assert_that([&] { return c.item_check(item); },
                                                [&] { return refused_item(c.refused_init, name, item); }))
                   return -1;
               Ref copy = Ref::steal(PyObject_CallMethodNoArgs(item, N->clone));
               if (!copy) return -1;
               Ref map = mapped_map(self, c);
               return map ? map_set(map.get(), name, copy.get()) : -1;
           }) == 0;
}

}  // namespace r7u
