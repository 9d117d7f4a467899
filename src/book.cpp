// ParameterBook: an ordered set of named parameters, its book text, and its
// save and load (the file itself is bookfile.cpp's).
//
// The parameter mapping is an ordinary instance attribute that callers may
// replace with any object, so every operation works on whatever is stored
// there: exact dicts take the PyDict_* fast path, anything else goes through
// the generic object protocol. Parameters are reached only through their
// Python-level methods (clone, get, get_or_set, to_dict, from_dict).
#include "book.hpp"

#include "bookdecode.hpp"
#include "bookfile.hpp"
#include "booktext.hpp"
#include "clone.hpp"
#include "mapped.hpp"
#include "parameter.hpp"
#include "shortcuts.hpp"

namespace r7u {
namespace {

// isinstance(value, Parameter) with the class as the module names it now.
int is_parameter(PyObject* value) {
    Ref cls = global(N->Parameter);
    if (!cls) return -1;
    return PyObject_IsInstance(value, cls.get());
}

}  // namespace

MappedClass g_book_class{"ParameterBook",    &Names::priv_book_parameters, nullptr,
                         &Names::ParameterBook, "parameters",           &State::routed_book,
                         &State::pristine_book, is_parameter,
                         "in the entry %R: a book holds Parameter objects, not %.200s; to set the value of "
                         "a parameter, call set_parameter_value(%R, value)",
                         "in the entry %R: a book holds Parameter objects, not %.200s; plain values go into "
                         "the values argument, as ParameterBook(values={%R: value})",
                         false};

namespace {

Ref get_map(PyObject* self) { return mapped_map(self, g_book_class); }

// `name in map` followed by `map[name]`, each a lookup of its own as in
// Python (a stored key's __eq__ runs for both). 1 with *found set, 0 when
// absent, -1 on error.
int map_find(PyObject* map, PyObject* name, Ref* found) {
    int r = map_contains(map, name);
    if (r <= 0) return r;
    *found = map_get(map, name);
    return *found ? 1 : -1;
}

// Parameter(value=value), the class as the module names it now.
Ref new_parameter(PyObject* value) {
    Ref cls = global(N->Parameter);
    if (!cls) return {};
    PyObject* args[] = {value};
    return Ref::steal(PyObject_Vectorcall(cls.get(), args, 0, st().kw_value));
}

// Python-level method call obj.name(args...).
template <size_t K>
Ref call_method(PyObject* name, PyObject* obj, PyObject* const (&rest)[K]) {
    PyObject* args[K + 2];
    args[1] = obj;
    for (size_t i = 0; i < K; ++i) args[i + 2] = rest[i];
    return Ref::steal(PyObject_VectorcallMethod(name, args + 1, (K + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

// ---------------------------------------------------------------------------
// Construction, copying, views.
// ---------------------------------------------------------------------------
PyObject* book_init(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    PyObject* values = args[2];
    if (!mapped_init(self, args[1], g_book_class)) return nullptr;
    if (values != Py_None) {
        int r = walk_dict(values, [&](PyObject* name, PyObject* value) -> int {
            PyObject* const rest[] = {name, value};
            return call_method(N->set_parameter_value, self, rest) ? 0 : -1;
        });
        if (r < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Value accessors.
// ---------------------------------------------------------------------------
// The preamble of the three accessors: the map of args[0] and the parameter
// named args[1] in it.
struct Entry {
    Ref map;
    Ref parameter;
    int found = -1;  // 1, 0, or -1 with an exception set
};

Entry find_entry(PyObject* const* args) {
    Entry e;
    e.map = get_map(args[0]);
    if (e.map) e.found = map_find(e.map.get(), args[1], &e.parameter);
    return e;
}

// map[name] = Parameter(value=value). 0 or -1.
int add_parameter(const Entry& e, PyObject* name, PyObject* value) {
    Ref fresh = new_parameter(value);
    if (!fresh) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && error_has_note("in the attribute "))
            note_error([&] { return note_text("for the new parameter %R", name); });
        return -1;
    }
    return map_set(e.map.get(), name, fresh.get());
}

PyObject* book_get_parameter_value(PyObject* const* args, PyObject*) {
    Entry e = find_entry(args);
    if (e.found <= 0) return e.found < 0 ? nullptr : Py_NewRef(args[2]);
    PyObject* const rest[] = {N->value, args[2]};
    return call_method(N->get, e.parameter.get(), rest).release();
}

PyObject* book_set_parameter_value(PyObject* const* args, PyObject*) {
    Entry e = find_entry(args);
    if (e.found < 0) return nullptr;
    int r = e.found ? PyObject_SetItem(e.parameter.get(), N->value, args[2]) : add_parameter(e, args[1], args[2]);
    return r < 0 ? nullptr : Py_NewRef(Py_None);
}

PyObject* book_get_or_set_parameter_value(PyObject* const* args, PyObject*) {
    Entry e = find_entry(args);
    if (e.found < 0) return nullptr;
    if (e.found) {
        PyObject* const rest[] = {N->value, args[2]};
        return call_method(N->get_or_set, e.parameter.get(), rest).release();
    }
    return add_parameter(e, args[1], args[2]) < 0 ? nullptr : Py_NewRef(args[2]);
}

// ---------------------------------------------------------------------------
// The book text.
// ---------------------------------------------------------------------------
// json.dumps(forms, indent=4, ensure_ascii=False), natively where it can;
// `book` is the book whose text it is.
Ref text_of_forms(PyObject* book, PyObject* forms, bool utf8) {
    Ref json = global(N->_json);
    if (!json) return {};
    const int way = book_text_way(json.get());
    if (way < 0) return {};
    if (way) {
        // Text the UTF-8 writer cannot give (a lone surrogate) may still be
        // a str, which the save then fails to encode as the host would.
        PyObject* out = nullptr;
        int native = native_book_text(forms, &out, utf8);
        if (native == 0 && utf8) native = native_book_text(forms, &out);
        if (native < 0) return {};
        if (native > 0) return Ref::steal(out);
    }
    if (check_encoder_depth(forms) < 0) return {};
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), N->dumps));
    if (!dumps) return {};
    Ref four = Ref::steal(PyLong_FromLong(4));
    if (!four) return {};
    PyObject* call_args[] = {forms, four.get(), Py_False};
    Ref text = Ref::steal(PyObject_Vectorcall(dumps.get(), call_args, 1, st().kw_dumps));
    // In place of str(): what is not a str fails here, as str() would, before
    // any later step of a save (the native text above is bytes).
    if (utf8 && text && !PyUnicode_Check(text.get())) {
        compat::str_result_error(book, text.get());
        return {};
    }
    return text;
}

// The note of a TypeError from the text: the first value of the forms, in
// the order of the text, that JSON cannot hold; `names` are the book's
// names of the forms, in the same order (a replaced to_dict may give a form
// no name).
R7U_COLD Ref unsavable_value(PyObject* names, PyObject* forms) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(forms); ++i) {
        PyObject* form = PyList_GET_ITEM(forms, i);
        if (!PyDict_Check(form)) continue;
        for (PyObject* part : {N->description, N->attributes}) {
            Ref map = Ref::borrow(PyDict_GetItemWithError(form, part));
            if (!map || !PyDict_Check(map.get())) continue;
            Ref where = refused_at(map.get(), true);
            if (!where) continue;
            return note_text("in the parameter %R, its %U%U: a book file (JSON) cannot hold this value; store int, "
                             "float, str, bool, or lists and dicts of these (a complex as [real, imag], say)",
                             PyList_GET_ITEM(names, i), part, where.get());
        }
    }
    return {};
}

// The native text written straight from the parameters' maps, where that
// cannot be told from writing their forms (plain_form_parts): 1 with *out
// set, 0 when the forms must be made, -1 on error. Runs no Python code.
// *none_seen: whether the text holds None where loading refuses it.
int text_from_parameters(PyObject* map, PyObject* names, bool utf8, PyObject** out, bool* none_seen) {
    if (!PyDict_CheckExact(map)) return 0;
    const Py_ssize_t n = PyList_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(names, i))) return 0;
    Ref json = global(N->_json);
    if (!json) {
        PyErr_Clear();  // raised where the forms' text looks it up
        return 0;
    }
    const int way = book_text_way(json.get());
    if (way <= 0) return way;
    // The maps of every parameter, held until the text is written.
    struct Held {
        FormParts* parts = nullptr;
        Py_ssize_t count = 0;
        ~Held() {
            for (Py_ssize_t i = 0; i < count; ++i) {
                Py_DECREF(parts[i].description);
                Py_DECREF(parts[i].attributes);
            }
            PyMem_Free(parts);
        }
    } held;
    held.parts = PyMem_New(FormParts, static_cast<size_t>(n ? n : 1));
    if (!held.parts) {
        PyErr_NoMemory();
        return -1;
    }
    PlainClass last;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Names and map as they were listed: no code ran since.
        PyObject* name = PyList_GET_ITEM(names, i);
        PyObject* parameter = PyDict_GetItemWithError(map, name);
        if (!parameter) return PyErr_Occurred() ? -1 : 0;
        Ref description, attributes;
        int r = plain_form_parts(parameter, description, attributes, last);
        if (r <= 0) return r;
        held.parts[held.count++] = {name, description.release(), attributes.release()};
    }
    return native_book_text(held.parts, n, out, utf8, none_seen);
}

// The JSON array of the dictionary forms in ascending name order: a str,
// or with utf8 its UTF-8 bytes when the native text can give them directly.
// *values_checked: the text was written from the parameters' own maps and
// holds no None there, which answers check_book_values without its walk.
Ref make_book_text(PyObject* self, bool utf8 = false, bool* values_checked = nullptr) {
    Ref map = get_map(self);
    if (!map) return {};
    // list(mapping): a dict subclass's own __iter__ is what is called.
    Ref names = Ref::steal(PyDict_CheckExact(map.get()) ? PyDict_Keys(map.get()) : PySequence_List(map.get()));
    if (!names || PyList_Sort(names.get()) < 0) return {};
    {
        PyObject* out = nullptr;
        bool none_seen = true;
        int r = text_from_parameters(map.get(), names.get(), utf8, &out, &none_seen);
        if (r > 0 && values_checked) *values_checked = !none_seen;
        if (r != 0) return Ref::steal(out);
    }
    const Py_ssize_t n = PyList_GET_SIZE(names.get());
    // Appended, not presized: to_dict runs Python code, which must never
    // find a list with empty slots (through the garbage collector).
    Ref forms = Ref::steal(PyList_New(0));
    if (!forms) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Only this function holds `names`: no one can resize it.
        PyObject* name = PyList_GET_ITEM(names.get(), i);
        Ref parameter = map_get(map.get(), name);
        if (!parameter) return {};
        PyObject* const rest[] = {name};
        Ref form = call_method(N->to_dict, parameter.get(), rest);
        if (!form || PyList_Append(forms.get(), form.get()) < 0) return {};
    }
    Ref text = text_of_forms(self, forms.get(), utf8);
    if (!text && PyErr_ExceptionMatches(PyExc_TypeError)) note_error([&] { return unsavable_value(names.get(), forms.get()); });
    return text;
}

PyObject* book_str(PyObject* const* args, PyObject*) { return make_book_text(args[0]).release(); }

// ---------------------------------------------------------------------------
// Save.
// ---------------------------------------------------------------------------
// Truth of module.<attr>(arg) for the os and os.path services.
int call_truth(PyObject* module, PyObject* attr, PyObject* arg) {
    Ref r = Ref::steal(PyObject_CallMethodOneArg(module, attr, arg));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// 1 when `value` is None or holds it as a list item or dict value at any
// depth (a None dict key is written as the text "null" and loads back).
int holds_none(PyObject* value) {
    if (value == Py_None) return 1;
    const bool list = PyList_Check(value);
    if (!list && !PyDict_Check(value)) return 0;
    RecursionGuard guard(" while checking a value before saving it");
    if (!guard.ok()) return -1;
    if (list) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(value, i));
            int r = holds_none(item.get());
            if (r != 0) return r;
        }
        return 0;
    }
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(value, &pos, &k, &v)) {
        Ref held = Ref::borrow(v);
        int r = holds_none(held.get());
        if (r != 0) return r;
    }
    return 0;
}

// The first entry of `map` (a parameter's private map) that holds None, as
// its key; null when there is none or on error (check PyErr_Occurred()).
Ref first_none_entry(PyObject* map) {
    if (!map || !PyDict_Check(map)) return {};
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(map, &pos, &k, &v)) {
        Ref key = Ref::borrow(k);
        Ref held = Ref::borrow(v);
        int r = holds_none(held.get());
        if (r < 0) return {};
        if (r) return key;
    }
    return {};
}

// Reads only the parameters' private maps, so no Python code of the book or
// its parameters runs: the check cannot be told apart from its absence.
int check_values(PyObject* book) {
    Ref map = get_map(book);
    if (!map) return -1;
    if (!PyDict_CheckExact(map.get())) return 0;
    Py_ssize_t pos = 0;
    PyObject* k;
    PyObject* v;
    while (PyDict_Next(map.get(), &pos, &k, &v)) {
        Ref name = Ref::borrow(k);
        Ref parameter = Ref::borrow(v);
        const char* what = "description";
        Ref key;
        for (PyObject* priv : {N->priv_description, N->priv_attributes}) {
            Ref inner = lookup_instance_attr(parameter.get(), priv);
            if (!inner && PyErr_Occurred()) return -1;
            key = first_none_entry(inner.get());
            if (key) {
                what = priv == N->priv_description ? "description" : "attribute";
                break;
            }
            if (PyErr_Occurred()) return -1;
        }
        if (!key) continue;
        // Refused exactly as a load of the file would refuse it, by the
        // copy rule as the module names it now.
        Ref accepted = call_clone_attribute(Py_None);
        if (accepted) continue;
        note_error([&] {
            return Ref::steal(PyUnicode_FromFormat(
                "Cannot save the parameter %R: its %s %R holds None, which loading the book refuses", name.get(),
                what, key.get()));
        });
        return -1;
    }
    return 0;
}

PyObject* book_save(PyObject* const* args, PyObject*) {
    PyObject* self = args[0];
    Ref filename = Ref::borrow(args[1]);
    PyObject* auto_append = args[2];

    Ref path = global(N->_path);
    if (!path) return nullptr;
    Ref directory = Ref::steal(PyObject_CallMethodOneArg(path.get(), N->dirname, filename.get()));
    if (!directory) return nullptr;
    int nonempty = PyObject_RichCompareBool(directory.get(), N->empty, Py_NE);
    if (nonempty < 0) return nullptr;
    if (nonempty) {
        int exists = call_truth(path.get(), N->exists, directory.get());
        if (exists < 0) return nullptr;
        if (!exists) {
            Ref os = global(N->_os);
            if (!os) return nullptr;
            Ref made = Ref::steal(PyObject_CallMethodOneArg(os.get(), N->makedirs, directory.get()));
            if (!made) return nullptr;
        } else if (!assert_that([&] { return call_truth(path.get(), N->isdir, directory.get()); }, [&] {
                       return note_text("%R is not a folder, so the book file cannot go into it: choose a path "
                                        "whose folder part is a folder, or does not exist yet (save makes it)",
                                        directory.get());
                   })) {
            return nullptr;
        }
    }

    // str(self); while that is our own text, straight as UTF-8 bytes, its
    // value check made while it is written.
    bool checked = false;
    Ref text = save_writes_own_text(self) ? make_book_text(self, true, &checked) : Ref::steal(PyObject_Str(self));
    if (!text) return nullptr;

    int append = PyObject_IsTrue(auto_append);
    if (append < 0) return nullptr;
    if (append) {
        Ref cls = global(N->ParameterBook);
        if (!cls) return nullptr;
        Ref ext = Ref::steal(PyObject_GetAttr(cls.get(), N->ExtName));
        if (!ext) return nullptr;
        int ends;
        if (PyUnicode_CheckExact(ext.get())) {
            ends = static_cast<int>(PyUnicode_Tailmatch(filename.get(), ext.get(), 0, PY_SSIZE_T_MAX, 1));
        } else {
            PyObject* const rest[] = {ext.get()};
            Ref r = call_method(N->book_endswith, filename.get(), rest);
            ends = r ? PyObject_IsTrue(r.get()) : -1;
        }
        if (ends < 0) return nullptr;
        if (!ends) {
            filename = Ref::steal(PyUnicode_FromFormat("%U.%S", filename.get(), ext.get()));
            if (!filename) return nullptr;
        }
    }

    // Encoded before anything is opened: text that cannot be stored as UTF-8
    // (a lone surrogate) must leave an existing file as it was.
    Ref str_text, encoded;
    if (book_text_utf8(self, std::move(text), str_text, encoded) < 0) return nullptr;
    // Nothing that loading would refuse reaches the file.
    if (!checked && check_book_values(self) < 0) return nullptr;
    if (write_book_file(filename.get(), str_text.get(), encoded.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Load.
// ---------------------------------------------------------------------------
// dict[key], held, since each lookup may run a key's __eq__, which may
// change the dict; null when absent (a failed lookup counts as absent).
Ref entry_of(PyObject* dict, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (!v) PyErr_Clear();
    return Ref::borrow(v);
}

// Which of from_dict's content checks an element fails, for the note of
// an AssertionError; null when none does (or on error, cleared).
const char* failed_check(PyObject* element) {
    if (!PyDict_Check(element)) return "it is not a JSON object";
    static const struct {
        NameId key;
        const char* missing;
    } keys[] = {{&Names::name, "it has no \"name\""},
                {&Names::description, "it has no \"description\""},
                {&Names::attributes, "it has no \"attributes\""}};
    for (const auto& k : keys) {
        int r = PyDict_Contains(element, name_of(k.key));
        if (r < 0) {
            PyErr_Clear();
            return nullptr;
        }
        if (!r) return k.missing;
    }
    Ref name = entry_of(element, N->name);
    if (!name || !PyUnicode_Check(name.get())) return "its \"name\" is not a string";
    Ref description = entry_of(element, N->description);
    if (!description || !PyDict_Check(description.get())) return "its \"description\" is not a JSON object";
    Ref attributes = entry_of(element, N->attributes);
    if (!attributes || !PyDict_Check(attributes.get())) return "its \"attributes\" is not a JSON object";
    Ref fallback = entry_of(description.get(), N->default_);
    if (!fallback || !PyUnicode_Check(fallback.get())) return "its \"description\" has no \"default\" string";
    return nullptr;
}

// One element of a loaded book text into `parameters`; a failure gets a
// note with the element's position (from 1) and name.
// `first_cls` receives the class the first element was made with.
bool load_element(PyObject* parameters, PyObject* element, Py_ssize_t index, Ref& first_cls) {
    bool ok = [&] {
        if (!assert_that([&] { return PyDict_Check(element) ? 1 : 0; })) return false;
        Ref cls = global(N->Parameter);
        if (!cls) return false;
        if (!first_cls) first_cls = cls.copy();
        PyObject* const rest[] = {element};
        Ref result = call_method(N->from_dict, cls.get(), rest);
        if (!result) return false;
        Ref name, parameter;
        if (!unpack_two(result.get(), name, parameter)) return false;
        return PyDict_SetItem(parameters, name.get(), parameter.get()) == 0;
    }();
    if (ok) return true;
    // from_dict's own note says which check failed, unless it was replaced.
    const bool assertion =
        PyErr_ExceptionMatches(PyExc_AssertionError) && !error_has_note("the dictionary form ");
    note_error([&] {
        const char* check = assertion ? failed_check(element) : nullptr;
        Ref name = PyDict_Check(element) ? entry_of(element, N->name) : Ref();
        if (name && PyUnicode_Check(name.get())) {
            return Ref::steal(PyUnicode_FromFormat("at entry %zd (name %R)%s%s", index + 1, name.get(),
                                                   check ? ": " : "", check ? check : ""));
        }
        return Ref::steal(PyUnicode_FromFormat("at entry %zd%s%s", index + 1, check ? ": " : "", check ? check : ""));
    });
    return false;
}

// The decoded list, when only this call holds it and every form in it
// qualifies, becomes the parameters without the copies of from_dict and the
// constructor: 1 with `way` holding the classes used, 0 when nothing was
// done, -1 on error.
int adopt_forms(PyObject* data, PyObject* parameters, LoadWay& way) {
    if (!PyList_CheckExact(data) || Py_REFCNT(data) != 1 || PyList_GET_SIZE(data) == 0) return 0;
    LoadWay adopting = adopt_way();
    if (!adopting) return 0;
    const Py_ssize_t n = PyList_GET_SIZE(data);
    for (Py_ssize_t i = 0; i < n; ++i) {
        int r = form_adoptable(PyList_GET_ITEM(data, i));
        if (r <= 0) return r;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref name, parameter;
        if (adopt_form(adopting.parameter_cls.get(), PyList_GET_ITEM(data, i), name, parameter) < 0 ||
            PyDict_SetItem(parameters, name.get(), parameter.get()) < 0)
            return -1;
    }
    way = std::move(adopting);
    return 1;
}

// The note of a load of something that is not a file.
R7U_COLD Ref not_a_file(PyObject* filename) {
    Ref path = global(N->_path);
    if (!path) return {};
    int folder = call_truth(path.get(), N->isdir, filename);
    if (folder < 0) return {};
    if (folder) {
        return note_text("%R is a folder: ParameterDirectory.load reads a folder tree, ParameterBook.load one book "
                         "file, its path given with the extension",
                         filename);
    }
    Ref with_extension = note_text("%U.%U", filename, N->d7ori);
    int file = with_extension ? call_truth(path.get(), N->isfile, with_extension.get()) : -1;
    if (file < 0) return {};
    if (file) {
        return note_text("no such file, but %R exists: load takes the path as given, extension included",
                         with_extension.get());
    }
    return note_text("no such file: load takes the path as given, extension included");
}

// A new book of `book_cls` that stores the fresh parameters as they are:
// the constructor would store clones of them, which nothing else can reach.
PyObject* book_of_fresh(PyObject* book_cls, PyObject* parameters) {
    Ref book = Ref::steal(PyObject_CallNoArgs(book_cls));
    if (!book) return nullptr;
    Ref map = get_map(book.get());
    if (!map || PyDict_Update(map.get(), parameters) < 0) return nullptr;
    return book.release();
}

// The loaded book the ordinary way: ParameterBook(parameters) with the
// class as the module names it now, or while both classes are pristine a
// new book that stores the fresh parameters as they are. `parameter_cls`:
// the class they were made with, null when there were none.
PyObject* make_loaded_book(PyObject* parameters, const Ref& parameter_cls) {
    Ref cls = global(N->ParameterBook);
    if (!cls) return nullptr;
    if (loaded_book_way(cls.get(), parameter_cls.get())) return book_of_fresh(cls.get(), parameters);
    return PyObject_CallOneArg(cls.get(), parameters);
}

// The native decoder's forms into parameters, as adopt_forms makes them.
struct NativeLoad {
    PyObject* cls;
    PyObject* parameters;
};

int take_form(void* context, PyObject* name, PyObject* description, PyObject* attributes) {
    auto* load = static_cast<NativeLoad*>(context);
    int r = maps_adoptable(description, attributes);
    if (r <= 0) return r;
    Ref parameter = adopt_maps(load->cls, description, attributes);
    if (!parameter) return -1;
    return PyDict_SetItem(load->parameters, name, parameter.get()) < 0 ? -1 : 1;
}

// The book of a file's bytes decoded natively, where the decoder stands in
// for json.loads and the text would be adopted whole: 1 with *book set, 0
// when the bytes must take the ordinary road, -1 on error.
int load_natively(const BookBytes& data, PyObject** book) {
    if (!data.terminated()) return 0;  // no room for the terminator
    Ref json = global(N->_json);
    if (!json) {
        PyErr_Clear();  // raised where the ordinary road looks the name up
        return 0;
    }
    LoadWay way = book_decode_way(json.get());
    if (!way) return 0;
    Ref parameters = Ref::steal(PyDict_New());
    if (!parameters) return -1;
    NativeLoad load{way.parameter_cls.get(), parameters.get()};
    // Each form goes up to take_form as soon as it is read.
    if (!decode_book_bytes(data.data(), data.size(), take_form, &load)) return 0;
    // No code ran since the classes were judged.
    *book = book_of_fresh(way.book_cls.get(), parameters.get());
    return *book ? 1 : -1;
}

PyObject* load_book_file(PyObject* filename) {
    if (!assert_that(
            [&] {
                Ref path = global(N->_path);
                return path ? call_truth(path.get(), N->isfile, filename) : -1;
            },
            [&] { return not_a_file(filename); })) {
        return nullptr;
    }
    Ref text;
    {
        BookBytes bytes;
        int read = book_read_way() ? read_book_bytes(filename, bytes) : 0;
        if (read < 0) return nullptr;
        if (read) {
            PyObject* book = nullptr;
            int native = load_natively(bytes, &book);
            if (native) return book;
            text = book_text_of(bytes);
        } else {
            text = read_book_text(filename);
        }
    }
    if (!text) return nullptr;
    Ref json = global(N->_json);
    if (!json) return nullptr;
    Ref data = Ref::steal(PyObject_CallMethodOneArg(json.get(), N->loads, text.get()));
    if (!data) return nullptr;
    if (!assert_that([&] { return PyList_Check(data.get()) ? 1 : 0; })) {
        note_error([] { return Ref::steal(PyUnicode_FromString("the book text is not a JSON array")); });
        return nullptr;
    }

    Ref parameters = Ref::steal(PyDict_New());
    if (!parameters) return nullptr;
    LoadWay adopted;
    int r = adopt_forms(data.get(), parameters.get(), adopted);
    if (r < 0) return nullptr;
    // Nothing ran since: the classes are still the ones judged.
    if (r) return book_of_fresh(adopted.book_cls.get(), parameters.get());
    // Looked up when the first element needs it: an empty book needs none.
    Ref parameter_cls;
    if (PyList_CheckExact(data.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
            Ref element = Ref::borrow(PyList_GET_ITEM(data.get(), i));
            if (!load_element(parameters.get(), element.get(), i, parameter_cls)) return nullptr;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(data.get()));
        if (!it) return nullptr;
        for (Py_ssize_t i = 0;; ++i) {
            Ref element = Ref::steal(PyIter_Next(it.get()));
            if (!element) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            if (!load_element(parameters.get(), element.get(), i, parameter_cls)) return nullptr;
        }
    }
    return make_loaded_book(parameters.get(), parameter_cls);
}

// Every error leaving a load says which file it was about.
PyObject* book_load(PyObject* const* args, PyObject*) {
    PyObject* filename = args[0];
    PyObject* book = load_book_file(filename);
    if (!book) note_error([&] { return Ref::steal(PyUnicode_FromFormat("in the book file %R", filename)); });
    return book;
}

// ---------------------------------------------------------------------------
// The class namespace.
// ---------------------------------------------------------------------------
const char* const kDocClone[] = {"对本参数文件执行深度拷贝", ":return: 本参数文件的深度拷贝对象", nullptr};
const char* const kDocNames[] = {"获取本参数文件下所有参数的名称", ":return: 本参数文件内所有参数名称的迭代器",
                                 nullptr};
const char* const kDocClear[] = {"清除本参数文件内所有的参数", ":return None", nullptr};
const char* const kDocRename[] = {"对此参数文件内的参数执行重命名操作。", ":param old: 参数原名称",
                                  ":param new: 参数的新名称", ":return: None", nullptr};
const char* const kDocSave[] = {"将参数文件内容保存到指定的文件中", ":param filename: 保存的目标文件路径、名称",
                                ":param auto_append_extend_name: 是否自动添加文件扩展名。默认行为是自动添加",
                                ":return: None", nullptr};
const char* const kDocLoad[] = {"从指定的文件加载参数文件对象", ":param filename: 指定的源文件路径名称",
                                ":return: 一个参数文件对象", nullptr};

const FuncSpec kInit = {"__init__",
                        book_init,
                        3,
                        {{"self"},
                         {"parameters", "_Optional[_Dict[str, Parameter]]", Check::OptDict},
                         {"values", "_Optional[dict[str, Any]]", Check::OptDict}}};
const FuncSpec kClone = {"clone", mapped_body<g_book_class>(Shared::Clone), 1, {{"self"}}, nullptr, nullptr, kDocClone};
const FuncSpec kItems = {"items", mapped_body<g_book_class>(Shared::Items), 1, {{"self"}}};
const FuncSpec kNames = {"names", mapped_body<g_book_class>(Shared::Names), 1, {{"self"}}, nullptr, nullptr, kDocNames};
const FuncSpec kClear = {"clear", mapped_body<g_book_class>(Shared::Clear), 1, {{"self"}}, nullptr, nullptr, kDocClear};
const FuncSpec kGetattr = {"__getattr__", mapped_body<g_book_class>(Shared::Getattr), 2, {{"self"}, {"item"}}};
const FuncSpec kSetattr = {"__setattr__", mapped_body<g_book_class>(Shared::Setattr), 3, {{"self"}, {"key"}, {"value"}}};
const FuncSpec kDelattr = {"__delattr__", mapped_body<g_book_class>(Shared::Delattr), 2, {{"self"}, {"item"}}};
const FuncSpec kGetitem = {"__getitem__", mapped_body<g_book_class>(Shared::Getitem), 2, {{"self"}, {"item"}}};
const FuncSpec kSetitem = {"__setitem__", mapped_body<g_book_class>(Shared::Setitem), 3, {{"self"}, {"key"}, {"value"}}};
const FuncSpec kDelitem = {"__delitem__", mapped_body<g_book_class>(Shared::Delitem), 2, {{"self"}, {"key"}}};
const FuncSpec kGetValue = {"get_parameter_value",
                            book_get_parameter_value,
                            3,
                            {{"self"}, {"name", "str", Check::Str}, {"default", "Any"}}};
const FuncSpec kSetValue = {"set_parameter_value",
                            book_set_parameter_value,
                            3,
                            {{"self"}, {"name", "str", Check::Str}, {"value", "Any"}}};
const FuncSpec kGetOrSetValue = {"get_or_set_parameter_value",
                                 book_get_or_set_parameter_value,
                                 3,
                                 {{"self"}, {"name", "str", Check::Str}, {"value"}}};
const FuncSpec kRename = {"rename",
                          mapped_body<g_book_class>(Shared::Rename),
                          3,
                          {{"self"}, {"old", "str", Check::Str}, {"new", "str", Check::Str}},
                          nullptr,
                          nullptr,
                          kDocRename};
const FuncSpec kStr = {"__str__", book_str, 1, {{"self"}}};
const FuncSpec kSave = {"save",
                        book_save,
                        3,
                        {{"self"}, {"filename", "str", Check::Str}, {"auto_append_extend_name", "bool"}},
                        nullptr,
                        nullptr,
                        kDocSave};
const FuncSpec kLoad = {"load", book_load, 1, {{"filename", "str", Check::Str}}, nullptr, nullptr, kDocLoad};

int make_kwnames() {
    State& s = st();
    if (!s.kw_value) s.kw_value = PyTuple_Pack(1, N->value);
    if (!s.kw_dumps) s.kw_dumps = PyTuple_Pack(2, N->indent, N->ensure_ascii);
    if (!s.kw_encoding) s.kw_encoding = PyTuple_Pack(1, N->encoding);
    return (s.kw_value && s.kw_dumps && s.kw_encoding) ? 0 : -1;
}

}  // namespace

Ref book_text(PyObject* book, bool utf8, bool* values_checked) { return make_book_text(book, utf8, values_checked); }

int book_text_utf8(PyObject* book, Ref made, Ref& text, Ref& encoded) {
    if (!made) return -1;
    if (PyBytes_CheckExact(made.get())) {
        encoded = std::move(made);
        return 0;
    }
    if (!PyUnicode_Check(made.get())) {
        compat::str_result_error(book, made.get());
        return -1;
    }
    encoded = Ref::steal(PyUnicode_AsUTF8String(made.get()));
    if (!encoded) return -1;
    text = std::move(made);
    return 0;
}

int check_book_values(PyObject* book) { return check_values(book); }

int fill_book_namespace(PyObject* ns) {
    if (make_kwnames() < 0) return -1;
    g_book_class.own_getattr = mapped_body<g_book_class>(Shared::Getattr);
    g_book_class.entry_kind = "parameter or attribute";
    OwnMembers& own = st().own;
    own.book_init = book_init;
    own.book_setattr = mapped_body<g_book_class>(Shared::Setattr);
    own.book_str = book_str;
    own.book_save = book_save;
    capture_open();
    if (PyDict_SetItem(ns, N->ExtName, N->d7ori) < 0) return -1;

    Ref two_none = Ref::steal(PyTuple_Pack(2, Py_None, Py_None));
    Ref one_none = Ref::steal(PyTuple_Pack(1, Py_None));
    Ref one_true = Ref::steal(PyTuple_Pack(1, Py_True));
    if (!two_none || !one_none || !one_true) return -1;

    return add_members(ns, "ParameterBook",
                       {{kInit, two_none.get()}, {kClone}, {kItems}, {kNames}, {kClear}, {kGetattr}, {kSetattr},
                        {kDelattr}, {kGetitem}, {kSetitem}, {kDelitem}, {kGetValue, one_none.get()}, {kSetValue},
                        {kGetOrSetValue}, {kRename}, {kStr}, {kSave, one_true.get()}, {kLoad, nullptr, Kind::Static}});
}

}  // namespace r7u
