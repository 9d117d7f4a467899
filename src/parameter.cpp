// Parameter: one setting, an attribute map plus description texts per locale.
//
// Both maps are ordinary instance attributes under their private names. Every
// method reads them through ordinary instance lookup, so a map replaced by
// assignment to its private name is what the next call uses; the exact-dict
// fast paths below stand in for the generic protocol only where the two
// cannot be told apart.
#include "parameter.hpp"

#include "clone.hpp"
#include "mapped.hpp"
#include "shortcuts.hpp"

namespace r7u {
namespace {

PyObject* none() { return Py_NewRef(Py_None); }

// ---------------------------------------------------------------------------
// The private maps.
// ---------------------------------------------------------------------------
}  // namespace

MappedClass g_parameter_class{"Parameter",       &Names::priv_attributes, &Names::priv_description,
                              &Names::Parameter, "attributes",            &State::routed_attributes,
                              &State::pristine_parameter, nullptr,        nullptr,
                              nullptr,                    false};

namespace {

// The attribute map, by ordinary instance lookup.
Ref attributes_of(PyObject* self) { return mapped_map(self, g_parameter_class); }

// What __getattr__ answers for a name that ordinary lookup missed.
Ref getattr_fallback(PyObject* self, PyObject* item) {
    Ref attrs = attributes_of(self);
    if (!attrs) return {};
    return map_get(attrs.get(), item);
}

// The description map; a missing one is looked for in the attribute map, as
// any missed attribute read is.
Ref description_of(PyObject* self) {
    return private_attr(self, N->priv_description, g_parameter_class, getattr_fallback);
}

// ---------------------------------------------------------------------------
// Attribute routing.
// ---------------------------------------------------------------------------
// True when `key` cannot equal a routed name, whatever the class is called:
// those all start with "_".
bool cannot_be_routed(PyObject* key) {
    if (!PyUnicode_CheckExact(key)) return false;
    return PyUnicode_GET_LENGTH(key) == 0 || PyUnicode_READ_CHAR(key, 0) != '_';
}

int store_attribute(PyObject* self, PyObject* key, PyObject* value) {
    Ref attrs = attributes_of(self);
    if (!attrs) return -1;
    return map_set(attrs.get(), key, value);
}

int setattr_logic(PyObject* self, PyObject* key, PyObject* value) {
    if (!cannot_be_routed(key)) {
        int eq = is_routed(self, key, g_parameter_class.routed_suffix, st().routed_attributes);
        if (eq < 0) return -1;
        if (eq == 0) {
            eq = is_routed(self, key, "description", st().routed_description);
            if (eq < 0) return -1;
        }
        if (eq) return super_setattr(self, key, value);
    }
    int eq = py_eq(key, N->description);
    if (eq < 0) return -1;
    if (eq) return super_setattr(self, key, value);
    return store_attribute(self, key, value);
}

// self.<name> = value as the constructor writes its private maps: through the
// class's __setattr__, called directly while that is still ours.
PyObject* param_setattr(PyObject* const* args, PyObject*);

int set_through_class(PyObject* self, PyObject* name, PyObject* value) {
    PyTypeObject* tp = Py_TYPE(self);
    if (member_impl(tp, N->dunder_setattr) == param_setattr) {
        if (routes_to_object(tp)) return PyObject_GenericSetAttr(self, name, value);
        return setattr_logic(self, name, value);
    }
    return PyObject_SetAttr(self, name, value);
}

R7U_COLD void multiple_values_error(PyObject* cls, PyObject* key) {
    Ref what = Ref::steal(compat::function_str(cls));
    if (what)
        PyErr_Format(PyExc_TypeError, "%U got multiple values for keyword argument '%S'", what.get(), key);
}

// The errors of the merge below as the interpreter's call reports them
// (compat::kKwargsMergeKeepsErrors).
R7U_COLD void unpacking_error(PyObject* cls, PyObject* attributes) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return compat::not_a_mapping_error(cls, attributes);
    }
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return;
    PyObject* exc = PyErr_GetRaisedException();
    Ref args = Ref::steal(PyObject_GetAttrString(exc, "args"));
    if (!args || !PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) != 1) {
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    Py_DECREF(exc);
    multiple_values_error(cls, PyTuple_GET_ITEM(args.get(), 0));
}

// The ** step of `cls(description, **attributes)` for a map that is not an
// exact dict, as the interpreter merges it: a dict whose iteration is its
// own directly, anything else through keys() and subscription.
Ref merge_keywords(PyObject* cls, PyObject* attributes) {
    const bool plain_dict = PyDict_Check(attributes) && Py_TYPE(attributes)->tp_iter == PyDict_Type.tp_iter;
    if (compat::kKwargsMergeKeepsErrors && !plain_dict) {
        Ref keys = Ref::steal(PyObject_GetAttr(attributes, N->keys));
        if (!keys) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
            PyErr_Clear();
            compat::not_a_mapping_error(cls, attributes);
            return {};
        }
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return {};
    int r;
    if (plain_dict) {
        r = PyDict_Merge(kwargs.get(), attributes, 1);
    } else {
        Ref keys = Ref::steal(PyMapping_Keys(attributes));
        r = keys ? walk_iterable(keys.get(), [&](PyObject* key) -> int {
            int had = PyDict_Contains(kwargs.get(), key);
            if (had) return had < 0 ? -1 : (multiple_values_error(cls, key), -1);
            Ref value = Ref::steal(PyObject_GetItem(attributes, key));
            return value ? PyDict_SetItem(kwargs.get(), key, value.get()) : -1;
        })
                 : -1;
    }
    if (r < 0) {
        if (!compat::kKwargsMergeKeepsErrors) unpacking_error(cls, attributes);
        return {};
    }
    return kwargs;
}

// cls(description, **attributes). from_dict refuses None with the message
// the dictionary form has always given and converts any other non-dict with
// dict() first; clone unpacks anything as a call does, None included.
Ref call_with_maps(PyObject* cls, PyObject* description, PyObject* attributes, bool through_dict) {
    Ref kwargs;
    if (through_dict && attributes == Py_None) {
        PyErr_SetString(PyExc_TypeError, "argument after ** must be a mapping, not NoneType");
        return {};
    }
    if (!PyDict_CheckExact(attributes)) {
        kwargs = through_dict
                     ? Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), attributes))
                     : merge_keywords(cls, attributes);
        if (!kwargs) return {};
    } else if (PyDict_GET_SIZE(attributes) != 0) {
        kwargs = Ref::steal(PyDict_Copy(attributes));
        if (!kwargs) return {};
    }
    Ref args = Ref::steal(PyTuple_Pack(1, description));
    if (!args) return {};
    return Ref::steal(PyObject_Call(cls, args.get(), kwargs.get()));
}

// ---------------------------------------------------------------------------
// Notes of refused input (made only on the error path).
// ---------------------------------------------------------------------------
// A TypeError from copying `value` into `what` (a format with one %R,
// filled with `name`, or with none): where in it the refused value sits.
// Returns null, so that callers read `return refused_value(...)`.
R7U_COLD std::nullptr_t refused_value(const char* what, PyObject* name, PyObject* value, const char* advice) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    note_error([&]() -> Ref {
        Ref where = refused_at(value, false);
        if (!where) return {};
        Ref place = name ? note_text(what, name) : note_text(what);
        return place ? note_text("in %U%U: %s", place.get(), where.get(), advice) : Ref();
    });
    return nullptr;
}

constexpr const char* kAttributeAdvice =
    "attribute values are int, float, str, complex, and lists and dicts of these; store it as one of "
    "them, or leave it out";

// The checks of a dictionary form, each with its note.
R7U_COLD Ref form_note(const char* what) {
    return note_text("the dictionary form %s: a form holds \"name\" (a str), \"description\" (a dict with a "
                     "\"default\" str) and \"attributes\" (a dict), as to_dict makes it and a book file holds it",
                     what);
}

// ---------------------------------------------------------------------------
// Methods.
// ---------------------------------------------------------------------------
// The constructor's body over the keyword arguments as `pairs` gives them:
// pairs.size(), and pairs.at(i, &key, &value) for i in call order.
template <class Pairs>
PyObject* init_body(PyObject* self, PyObject* description, const Pairs& pairs) {
    if (!assert_that([&] { return int(PyUnicode_Check(description) || PyDict_Check(description)); },
                     [&] {
                         return note_text("the description is %.200s: give a str, or a dict of texts by locale "
                                          "that holds a \"default\" text",
                                          Py_TYPE(description)->tp_name);
                     }))
        return nullptr;
    Ref desc_map;
    if (PyUnicode_Check(description)) {
        desc_map = Ref::steal(compat::dict_new_presized(1));
        if (!desc_map || PyDict_SetItem(desc_map.get(), N->default_, description) < 0) return nullptr;
    } else if (PyDict_Check(description)) {
        // Only the key test is the assertion; the emptiness test always runs.
        int filled = PyDict_CheckExact(description) ? PyDict_GET_SIZE(description) != 0
                                                    : PyObject_IsTrue(description);
        if (filled < 0) return nullptr;
        if (filled && !assert_that([&] { return map_contains(description, N->default_); }, [&] {
                return note_text("the description has no \"default\" text: add one, as {\"default\": "
                                 "\"...\", ...}; it answers for every locale without a text of its own");
            }))
            return nullptr;
        desc_map = call_clone_attribute(description);
        if (!desc_map)
            return refused_value("the description", nullptr, description,
                                 "a description holds a text (str) for each locale; give one, or leave the locale out");
    } else {
        PyErr_SetString(st().b.TypeError, "Argument description must be a str or dict object.");
        return nullptr;
    }
    if (set_through_class(self, N->priv_description, desc_map.get()) < 0) return nullptr;
    const Py_ssize_t n = pairs.size();
    {
        Ref attrs = Ref::steal(compat::dict_new_presized(n));
        if (!attrs || set_through_class(self, N->priv_attributes, attrs.get()) < 0) return nullptr;
    }
    if (n == 0) return none();
    Ref map;  // the attribute map as last read
    bool own_clone = clone_attribute_is_ours();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref key, value;
        if (!pairs.at(i, key, value)) break;
        if (!assert_that([&] { return int(PyUnicode_Check(key.get())); }, [&] { return name_not_str(key.get()); }))
            return nullptr;
        // Copying a container may run code that replaces the map; a scalar
        // of an exact built-in type is its own copy.
        const bool runs_no_code = own_clone && (PyLong_CheckExact(value.get()) || PyFloat_CheckExact(value.get()) ||
                                                PyUnicode_CheckExact(value.get()) || PyBool_Check(value.get()));
        Ref copy = runs_no_code ? std::move(value) : call_clone_attribute(value.get());
        if (!copy) return refused_value("the attribute %R", key.get(), value.get(), kAttributeAdvice);
        if (!map || !runs_no_code) {
            map = attributes_of(self);
            if (!map) return nullptr;
            own_clone = clone_attribute_is_ours();
        }
        if (map_set(map.get(), key.get(), copy.get()) < 0) return nullptr;
    }
    return none();
}

// The extra keyword arguments as bind_and_call collects them.
struct DictPairs {
    PyObject* dict;  // or null
    mutable Py_ssize_t pos = 0;
    Py_ssize_t size() const { return dict ? PyDict_GET_SIZE(dict) : 0; }
    bool at(Py_ssize_t, Ref& key, Ref& value) const {
        PyObject *k, *v;
        if (!PyDict_Next(dict, &pos, &k, &v)) return false;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return true;
    }
};

// The call's own keyword names and values.
struct KwnamesPairs {
    PyObject* kwnames;
    PyObject* const* values;
    Py_ssize_t size() const { return PyTuple_GET_SIZE(kwnames); }
    bool at(Py_ssize_t i, Ref& key, Ref& value) const {
        key = Ref::borrow(PyTuple_GET_ITEM(kwnames, i));
        value = Ref::borrow(values[i]);
        return true;
    }
};

PyObject* param_init(PyObject* const* args, PyObject* kwargs) {
    return init_body(args[0], args[1], DictPairs{kwargs});
}

// __init__(self[, description], name=value...) where every name is an exact
// str other than "self" and "description": it binds like that, so the body
// reads the names from the call itself, no dict of them made.
bool init_from_kwnames(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* defaults,
                       PyObject** result) {
    PyObject* description;
    if (nargs == 2) {
        description = args[1];
    } else if (nargs == 1 && defaults && PyTuple_GET_SIZE(defaults) == 1) {
        description = PyTuple_GET_ITEM(defaults, 0);
    } else {
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_CheckExact(key) || str_equal(key, N->self_) || str_equal(key, N->description)) return false;
    }
    *result = init_body(args[0], description, KwnamesPairs{kwnames, args + nargs});
    return true;
}

PyObject* param_clone(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    Ref cls = global(N->Parameter);
    if (!cls) return nullptr;
    Ref description = description_of(self);
    if (!description) return nullptr;
    Ref attrs = attributes_of(self);
    if (!attrs) return nullptr;
    return call_with_maps(cls.get(), description.get(), attrs.get(), false).release();
}

PyObject* param_setattr(PyObject* const* args, PyObject*) {
    if (setattr_logic(args[0], args[1], args[2]) < 0) return nullptr;
    return none();
}

PyObject* param_delattr(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* item = args[1];
    if (!cannot_be_routed(item)) {
        int eq = is_routed(self, item, "description", st().routed_description);
        if (eq < 0) return nullptr;
        if (eq) return super_delattr(self, item) < 0 ? nullptr : none();
    }
    int eq = py_eq(item, N->description);
    if (eq < 0) return nullptr;
    if (eq) return super_delattr(self, item) < 0 ? nullptr : none();
    Ref attrs = attributes_of(self);
    if (!attrs || map_del(attrs.get(), item) < 0) return nullptr;
    return none();
}

PyObject* param_get(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* name = args[1];  // exactly a str
    PyObject* default_ = args[2];
    PyObject* raise_if_none = args[3];
    Ref attrs = attributes_of(self);
    if (!attrs) return nullptr;
    if (PyDict_CheckExact(attrs.get())) {
        // Membership then read is one lookup for a str key in a plain dict.
        PyObject* v = PyDict_GetItemWithError(attrs.get(), name);
        if (v) return Py_NewRef(v);
        if (PyErr_Occurred()) return nullptr;
    } else {
        int has = PySequence_Contains(attrs.get(), name);
        if (has < 0) return nullptr;
        if (has) {
            attrs = attributes_of(self);
            if (!attrs) return nullptr;
            return PyObject_GetItem(attrs.get(), name);
        }
    }
    if (default_ != Py_None) return Py_NewRef(default_);
    int raise = PyObject_IsTrue(raise_if_none);
    if (raise < 0) return nullptr;
    if (raise) return key_error(name);
    return none();
}

PyObject* param_get_or_set(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* name = args[1];  // exactly a str
    PyObject* value = args[2];
    Ref attrs = attributes_of(self);
    if (!attrs) return nullptr;
    if (PyDict_CheckExact(attrs.get())) {
        PyObject* v = PyDict_SetDefault(attrs.get(), name, value);
        return v ? Py_NewRef(v) : nullptr;
    }
    int has = PySequence_Contains(attrs.get(), name);
    if (has < 0) return nullptr;
    attrs = attributes_of(self);
    if (!attrs) return nullptr;
    if (has) return PyObject_GetItem(attrs.get(), name);
    if (PyObject_SetItem(attrs.get(), name, value) < 0) return nullptr;
    return Py_NewRef(value);
}

// The answer of locale.getdefaultlocale() while the module may give its
// warning itself (default_locale_way): 1 with *out set, 0 when it may not
// (nothing done), -1 with an exception set.
int host_default_locale(PyObject* locale_module, Ref& out) {
    Ref helper;
    int way = default_locale_way(locale_module, helper);
    if (way <= 0) return way;
    // As a module written in Python would see it: its file, its name, its
    // registry. The filters decide; -W error raises here.
    const LocaleRecord& r = st().locale;
    if (PyErr_WarnExplicitObject(PyExc_DeprecationWarning, r.message, r.filename, 0, r.module_name, r.registry) < 0)
        return -1;
    out = Ref::steal(PyObject_CallOneArg(helper.get(), PyTuple_GET_ITEM(r.defaults, 0)));
    return out ? 1 : -1;
}

// Element 0 of what the host's locale module reports.
Ref current_language() {
    Ref locale_module = global(N->_locale);
    if (!locale_module) return {};
    Ref reported;
    int native = host_default_locale(locale_module.get(), reported);
    if (native < 0) return {};
    if (!native) reported = Ref::steal(PyObject_CallMethodNoArgs(locale_module.get(), N->getdefaultlocale));
    if (!reported) return {};
    if (PyTuple_CheckExact(reported.get()) && PyTuple_GET_SIZE(reported.get()) > 0)
        return Ref::borrow(PyTuple_GET_ITEM(reported.get(), 0));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return {};
    return Ref::steal(PyObject_GetItem(reported.get(), zero.get()));
}

PyObject* param_description(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    Ref lang = current_language();
    if (!lang) return nullptr;
    Ref map = description_of(self);
    if (!map) return nullptr;
    Ref entry;
    if (PyDict_CheckExact(map.get()) && (PyUnicode_CheckExact(lang.get()) || lang.get() == Py_None)) {
        PyObject* v = PyDict_GetItemWithError(map.get(), lang.get());
        if (!v && PyErr_Occurred()) return nullptr;
        if (!v) lang = Ref::borrow(N->default_);
        entry = v ? Ref::borrow(v) : map_get(map.get(), N->default_);
    } else {
        int has = map_contains(map.get(), lang.get());
        if (has < 0) return nullptr;
        if (!has) lang = Ref::borrow(N->default_);
        map = description_of(self);
        if (!map) return nullptr;
        entry = map_get(map.get(), lang.get());
    }
    if (!entry) return nullptr;
    if (!PyUnicode_CheckExact(entry.get()) && entry.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(entry.get())->tp_name);
        note_error([&] {
            return note_text("the description text for %R is not a str: store one with set_description(text, %R)",
                             lang.get(), lang.get());
        });
        return nullptr;
    }
    return entry.release();
}

PyObject* param_get_description(PyObject* const* args, PyObject*) {
    Ref map = description_of(args[0]);
    if (!map) return nullptr;
    return map_get(map.get(), args[1]).release();
}

PyObject* param_set_description(PyObject* const* args, PyObject*) {
    Ref map = description_of(args[0]);
    if (!map || map_set(map.get(), args[2], args[1]) < 0) return nullptr;
    return none();
}

PyObject* param_all_descriptions(PyObject* const* args, PyObject*) {
    return description_of(args[0]).release();
}

PyObject* param_to_dict(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    Ref description = description_of(self);
    if (!description) return nullptr;
    Ref attrs = attributes_of(self);
    if (!attrs) return nullptr;
    Ref form = Ref::steal(compat::dict_new_presized(3));
    if (!form || PyDict_SetItem(form.get(), N->name, args[1]) < 0 ||
        PyDict_SetItem(form.get(), N->description, description.get()) < 0 ||
        PyDict_SetItem(form.get(), N->attributes, attrs.get()) < 0)
        return nullptr;
    return form.release();
}

PyObject* param_from_dict(PyObject* const* args, PyObject*) {
    PyObject* data = args[0];  // exactly a dict
    for (PyObject* key : {N->name, N->description, N->attributes}) {
        if (!assert_that([&] { return PyDict_Contains(data, key); }, [&] {
                Ref what = note_text("has no \"%U\"", key);
                return what ? form_note(PyUnicode_AsUTF8(what.get())) : Ref();
            }))
            return nullptr;
    }
    Ref name = map_get(data, N->name);
    if (!name) return nullptr;
    Ref description = map_get(data, N->description);
    if (!description) return nullptr;
    Ref attributes = map_get(data, N->attributes);
    if (!attributes) return nullptr;
    if (!assert_that([&] { return int(PyUnicode_Check(name.get())); },
                     [] { return form_note("has a \"name\" that is not a str"); }))
        return nullptr;
    if (!assert_that([&] { return int(PyDict_Check(description.get())); },
                     [] { return form_note("has a \"description\" that is not a dict"); }))
        return nullptr;
    if (!assert_that([&] { return int(PyDict_Check(attributes.get())); },
                     [] { return form_note("has \"attributes\" that are not a dict"); }))
        return nullptr;
    bool ok = assert_that([&] {
        PyObject* d = description.get();
        if (PyDict_CheckExact(d)) {
            PyObject* text = PyDict_GetItemWithError(d, N->default_);
            if (!text) return PyErr_Occurred() ? -1 : 0;
            return int(PyUnicode_Check(text));
        }
        int has = PySequence_Contains(d, N->default_);
        if (has <= 0) return has;
        Ref text = Ref::steal(PyObject_GetItem(d, N->default_));
        if (!text) return -1;
        return int(PyUnicode_Check(text.get()));
    }, [] { return form_note("has no \"default\" str in its \"description\""); });
    if (!ok) return nullptr;
    Ref cls = global(N->Parameter);
    if (!cls) return nullptr;
    Ref parameter = call_with_maps(cls.get(), description.get(), attributes.get(), true);
    if (!parameter) return nullptr;
    return PyTuple_Pack(2, name.get(), parameter.get());
}

// ---------------------------------------------------------------------------
// The class namespace.
// ---------------------------------------------------------------------------
const char* const kCloneDoc[] = {"对本参数执行一次深拷贝。", ":return: 本参数对象的一个深拷贝", nullptr};
const char* const kItemsDoc[] = {"获取本参数的所有属性的键值对迭代器", ":return: 所有属性的键值对的迭代器",
                                 nullptr};
const char* const kNamesDoc[] = {"获取本参数的所有属性的名称的迭代器", ":return: 所有属性名称的迭代器", nullptr};
const char* const kClearDoc[] = {"清除本参数对象的所有属性", ":return: None", nullptr};
const char* const kGetDoc[] = {
    "获取本参数对象的某个属性的值，带有可选的默认值参数，以及可配置的遇空抛出异常选项",
    ":param name: 想要获取的属性的名称",
    ":param default: 在属性名不存在情况下返回的默认值。默认值的默认值是 None",
    ":param raise_if_none: 在属性不存在，默认值为 None 的情况下，是否抛出异常？",
    ":return: 属性的值",
    nullptr,
};
const char* const kGetOrSetDoc[] = {
    "获取本参数对象名为 name 的属性的值，如果该属性不存在，则加入该属性，并设置其值为 value。",
    ":param name: 想要获取的属性的名称",
    ":param value: 在属性不存在情况下返回的值，也是该属性被加入此参数后的初始值。",
    ":return: 属性的值",
    nullptr,
};
const char* const kDescriptionDoc[] = {"根据当前语言设定，返回此参数的描述说明",
                                       ":return: 一个 str 对象，参数的描述说明", nullptr};
const char* const kGetDescriptionDoc[] = {"根据指定的语言设定，返回此参数的描述说明",
                                          ":param locale: 语言设定参数",
                                          ":return: 一个 str 对象，参数的描述说明", nullptr};
const char* const kToDictDoc[] = {"将本参数对象转化为一个 dict 对象", ":param name: 该参数对象的名称",
                                  ":return: 转化后的 dict 对象", nullptr};

FuncSpec init_spec() {
    FuncSpec s{"__init__", param_init, 2, {{"self"}, {"description", "_Union[str, dict]"}}};
    s.varkw = "kwargs";
    s.kwnames_impl = init_from_kwnames;
    return s;
}

FuncSpec with_doc(FuncSpec s, const char* const* doc) {
    s.doc = doc;
    return s;
}

FuncSpec with_returns(FuncSpec s, const char* returns) {
    s.returns = returns;
    return s;
}

}  // namespace

int fill_parameter_namespace(PyObject* ns) {
    g_parameter_class.own_getattr = mapped_body<g_parameter_class>(Shared::Getattr);
    OwnMembers& own = st().own;
    own.param_init = param_init;
    own.param_setattr = param_setattr;
    own.param_clone = param_clone;
    own.param_from_dict = param_from_dict;
    Ref empty_default = Ref::steal(PyTuple_Pack(1, N->empty));
    Ref get_defaults = Ref::steal(PyTuple_Pack(2, Py_None, Py_False));
    Ref locale_default = Ref::steal(PyTuple_Pack(1, N->default_));
    if (!empty_default || !get_defaults || !locale_default) return -1;

    return add_members(ns, "Parameter", {
        {init_spec(), empty_default.get(), Kind::Method},
        {with_doc({"clone", param_clone, 1, {{"self"}}}, kCloneDoc), nullptr, Kind::Method},
        {with_doc({"items", mapped_body<g_parameter_class>(Shared::Items), 1, {{"self"}}}, kItemsDoc), nullptr, Kind::Method},
        {with_doc({"names", mapped_body<g_parameter_class>(Shared::Names), 1, {{"self"}}}, kNamesDoc), nullptr, Kind::Method},
        {with_doc({"clear", mapped_body<g_parameter_class>(Shared::Clear), 1, {{"self"}}}, kClearDoc), nullptr, Kind::Method},
        {{"__getattr__", mapped_body<g_parameter_class>(Shared::Getattr), 2, {{"self"}, {"item"}}}, nullptr, Kind::Method},
        {{"__setattr__", param_setattr, 3, {{"self"}, {"key"}, {"value"}}}, nullptr, Kind::Method},
        {{"__delattr__", param_delattr, 2, {{"self"}, {"item"}}}, nullptr, Kind::Method},
        {with_doc({"get",
                   param_get,
                   4,
                   {{"self"}, {"name", "str", Check::Str}, {"default"}, {"raise_if_none", "bool"}}},
                  kGetDoc),
         get_defaults.get(), Kind::Method},
        {with_doc({"get_or_set", param_get_or_set, 3, {{"self"}, {"name", "str", Check::Str}, {"value"}}},
                  kGetOrSetDoc),
         nullptr, Kind::Method},
        {{"__getitem__", mapped_body<g_parameter_class>(Shared::Getitem), 2, {{"self"}, {"item"}}}, nullptr, Kind::Method},
        {{"__setitem__", mapped_body<g_parameter_class>(Shared::Setitem), 3, {{"self"}, {"key"}, {"value"}}}, nullptr, Kind::Method},
        {{"__delitem__", mapped_body<g_parameter_class>(Shared::Delitem), 2, {{"self"}, {"key"}}}, nullptr, Kind::Method},
        {with_returns(with_doc({"description", param_description, 1, {{"self"}}}, kDescriptionDoc), "str"),
         nullptr, Kind::Property},
        {with_doc({"get_description", param_get_description, 2, {{"self"}, {"locale", "str", Check::Str}}},
                  kGetDescriptionDoc),
         locale_default.get(), Kind::Method},
        {{"set_description",
          param_set_description,
          3,
          {{"self"}, {"description", "str", Check::Str}, {"locale", "str", Check::Str}}},
         locale_default.get(), Kind::Method},
        {{"all_descriptions", param_all_descriptions, 1, {{"self"}}}, nullptr, Kind::Method},
        {with_returns(
             with_doc({"to_dict", param_to_dict, 2, {{"self"}, {"name", "str", Check::Str}}}, kToDictDoc),
             "dict"),
         nullptr, Kind::Method},
        {{"from_dict", param_from_dict, 1, {{"data", "dict", Check::Dict}}}, nullptr, Kind::Static},
    });
}

int maps_adoptable(PyObject* description, PyObject* attributes) {
    // What the constructor and from_dict check, the one text under "default"
    // above all (an empty description passes the constructor but not
    // from_dict's check).
    PyObject* text = PyDict_GetItemWithError(description, N->default_);
    if (!text) return PyErr_Occurred() ? -1 : 0;
    if (!PyUnicode_CheckExact(text)) return 0;
    // Keyword names the call would bind to the constructor's own parameters.
    for (PyObject* own : {N->self_, N->description}) {
        int has = PyDict_Contains(attributes, own);
        if (has) return has < 0 ? -1 : 0;
    }
    return 1;
}

int form_adoptable(PyObject* form) {
    if (!PyDict_CheckExact(form) || Py_REFCNT(form) != 1) return 0;
    PyObject* n = PyDict_GetItemWithError(form, N->name);
    PyObject* description = n ? PyDict_GetItemWithError(form, N->description) : nullptr;
    PyObject* attributes = description ? PyDict_GetItemWithError(form, N->attributes) : nullptr;
    if (!attributes) return PyErr_Occurred() ? -1 : 0;
    if (!PyUnicode_CheckExact(n) || !PyDict_CheckExact(description) || !PyDict_CheckExact(attributes) ||
        Py_REFCNT(description) != 1 || Py_REFCNT(attributes) != 1)
        return 0;
    int r = maps_adoptable(description, attributes);
    if (r <= 0) return r;
    return is_fresh_container(description) && is_fresh_container(attributes);
}

Ref adopt_maps(PyObject* cls, PyObject* description, PyObject* attributes) {
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return {};
    auto* tp = reinterpret_cast<PyTypeObject*>(cls);
    Ref parameter = Ref::steal(tp->tp_new(tp, empty.get(), nullptr));
    if (!parameter) return {};
    // In the constructor's order.
    if (PyObject_GenericSetAttr(parameter.get(), N->priv_description, description) < 0 ||
        PyObject_GenericSetAttr(parameter.get(), N->priv_attributes, attributes) < 0)
        return {};
    return parameter;
}

int adopt_form(PyObject* cls, PyObject* form, Ref& name, Ref& parameter) {
    name = Ref::borrow(PyDict_GetItemWithError(form, N->name));
    PyObject* description = PyDict_GetItemWithError(form, N->description);
    PyObject* attributes = PyDict_GetItemWithError(form, N->attributes);
    if (!name || !description || !attributes) return -1;  // checked by form_adoptable
    parameter = adopt_maps(cls, description, attributes);
    return parameter ? 0 : -1;
}

int plain_form_parts(PyObject* parameter, Ref& description, Ref& attributes, PlainClass& last) {
    PyTypeObject* tp = Py_TYPE(parameter);
    if (tp != last.type) {
        last.type = tp;
        last.plain = member_impl(tp, N->to_dict) == param_to_dict && class_is_pristine(tp, g_parameter_class) &&
                     !compat::type_lookup_borrowed(tp, N->priv_description) &&
                     !compat::type_lookup_borrowed(tp, N->priv_attributes);
    }
    if (!last.plain) return 0;
    // The method a call finds: the class's own, not an instance attribute.
    // Most instances show that without a bound method being made.
    if (!compat::inline_attr_absent(parameter, N->to_dict)) {
        Ref method = Ref::steal(PyObject_GetAttr(parameter, N->to_dict));
        if (!method || !PyMethod_Check(method.get()) || PyMethod_GET_SELF(method.get()) != parameter ||
            PyMethod_GET_FUNCTION(method.get()) != compat::type_lookup_borrowed(tp, N->to_dict)) {
            PyErr_Clear();
            return 0;
        }
    }
    // Both maps found by the generic lookup; a missing one takes to_dict.
    description = Ref::steal(compat::generic_getattr_or_null(parameter, N->priv_description));
    attributes = description ? Ref::steal(compat::generic_getattr_or_null(parameter, N->priv_attributes)) : Ref();
    if (!attributes) {
        PyErr_Clear();
        description.reset();
        return 0;
    }
    return 1;
}

}  // namespace r7u
