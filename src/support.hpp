// Shared support for every subsystem: the owning reference type, the
// process-wide module state, interned names, error helpers, recursion guard
// and the function-object factory.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace r7u {

// ---------------------------------------------------------------------------
// Owning reference. Borrowed pointers stay raw PyObject* and are never stored.
// ---------------------------------------------------------------------------
class Ref {
    PyObject* p_ = nullptr;
    explicit Ref(PyObject* p) noexcept : p_(p) {}

public:
    Ref() noexcept = default;
    // Takes over a new reference (may be null after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer (may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = p_;
            p_ = std::exchange(o.p_, nullptr);
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference back to the interpreter.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    Ref copy() const noexcept { return borrow(p_); }
    void reset() noexcept {
        PyObject* old = std::exchange(p_, nullptr);
        Py_XDECREF(old);
    }
};

// ---------------------------------------------------------------------------
// Interned names, created once by the exec step and kept for the process.
// Each subsystem keeps its own block; add a line to your block as needed.
// ---------------------------------------------------------------------------
#define R7U_NAMES(X)                                              \
    /* module globals looked up at call time */                   \
    X(_clone_attribute, "_clone_attribute")                       \
    X(Parameter, "Parameter")                                     \
    X(ParameterBook, "ParameterBook")                             \
    X(ParameterDirectory, "ParameterDirectory")                   \
    X(_locale, "_locale")                                         \
    X(_json, "_json")                                             \
    X(_path, "_path")                                             \
    X(_os, "_os")                                                 \
    /* frame */                                                   \
    X(dunder_setattr, "__setattr__")                              \
    X(dunder_delattr, "__delattr__")                              \
    X(dunder_getitem, "__getitem__")                              \
    X(dunder_setitem, "__setitem__")                              \
    X(dunder_delitem, "__delitem__")                              \
    X(dunder_init, "__init__")                                    \
    X(dunder_getattr, "__getattr__")                              \
    X(dunder_getattribute, "__getattribute__")                    \
    X(dunder_str, "__str__")                                      \
    X(empty, "")                                                  \
    X(keys, "keys")                                               \
    X(clear, "clear")                                             \
    /* cloning and parameters */                                  \
    X(real, "real")                                               \
    X(imag, "imag")                                               \
    X(items, "items")                                             \
    X(value, "value")                                             \
    X(default_, "default")                                        \
    X(name, "name")                                               \
    X(self_, "self")                                              \
    X(description, "description")                                 \
    X(attributes, "attributes")                                   \
    X(getdefaultlocale, "getdefaultlocale")                       \
    X(priv_attributes, "_Parameter__attributes")                  \
    X(priv_description, "_Parameter__description")                \
    X(clone, "clone")                                             \
    X(get, "get")                                                 \
    X(get_or_set, "get_or_set")                                   \
    X(to_dict, "to_dict")                                         \
    X(from_dict, "from_dict")                                     \
    /* books */                                                   \
    X(priv_book_parameters, "_ParameterBook__parameters")         \
    X(ExtName, "ExtName")                                         \
    X(d7ori, "d7ori")                                             \
    X(dumps, "dumps")                                             \
    X(loads, "loads")                                             \
    X(indent, "indent")                                           \
    X(ensure_ascii, "ensure_ascii")                               \
    X(set_parameter_value, "set_parameter_value")                 \
    X(save, "save")                                               \
    X(load, "load")                                               \
    X(read, "read")                                               \
    X(write, "write")                                             \
    X(close, "close")                                             \
    X(dirname, "dirname")                                         \
    X(exists, "exists")                                           \
    X(isdir, "isdir")                                             \
    X(isfile, "isfile")                                           \
    X(makedirs, "makedirs")                                       \
    X(encoding, "encoding")                                       \
    X(utf8, "utf8")                                               \
    X(JSONEncoder, "JSONEncoder")                                 \
    X(book_endswith, "endswith")                                  \
    X(book_mode_w, "w")                                           \
    X(book_mode_r, "r")                                           \
    /* book text */                                               \
    X(iterencode, "iterencode")                                   \
    X(encode_basestring, "encode_basestring")                     \
    X(INFINITY_, "INFINITY")                                      \
    X(_make_iterencode, "_make_iterencode")                       \
    /* directories */                                             \
    X(priv_dir_parameters, "_ParameterDirectory__parameters")     \
    X(listdir, "listdir")                                         \
    X(rename, "rename")                                           \
    X(remove, "remove")                                           \
    X(basename, "basename")                                       \
    X(sep, "sep")                                                 \
    X(altsep, "altsep")                                           \
    X(normcase, "normcase")                                       \
    X(dot_tmp, ".tmp")                                            \
    X(_backup_books_in_this_directory, "_backup_books_in_this_directory") \
    X(dir_dot, ".")                                               \
    X(dir_dash, "-")

struct Names {
#define R7U_DECLARE_NAME(id, text) PyObject* id = nullptr;
    R7U_NAMES(R7U_DECLARE_NAME)
#undef R7U_DECLARE_NAME
};
extern Names N;

// ---------------------------------------------------------------------------
// Process-wide state of the frame.
// ---------------------------------------------------------------------------
struct Builtins {
    PyObject* eval = nullptr;
    PyObject* property = nullptr;
    PyObject* staticmethod = nullptr;
    PyObject* TypeError = nullptr;
    PyObject* AssertionError = nullptr;
    PyObject* super = nullptr;
    PyObject* KeyError = nullptr;
    PyObject* open = nullptr;
};

struct State {
    PyObject* module = nullptr;    // owned: the recorded module, or null
    PyObject* globals = nullptr;   // owned: the module's namespace dict
    PyObject* builtins = nullptr;  // owned: the builtins module's dict
    bool assertions = true;        // builtins.__debug__ as read at import
    Builtins b;                    // owned: captured at import
};
extern State S;

// Module-level name at call time: module dict, then builtins, then NameError.
Ref global(PyObject* name);
// True when the module-level `name` is the object `expected` itself. Never fails.
inline bool global_is(PyObject* name, PyObject* expected) {
    Ref v = global(name);
    if (!v) PyErr_Clear();
    return v.get() == expected;
}
// Starts watching S.globals so that global() can remember what it found.
void watch_globals();

// ---------------------------------------------------------------------------
// Errors. Every helper sets the exception and returns the failure value of
// its name, so call sites read `return arg_type_error(...)`.
// ---------------------------------------------------------------------------
// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
R7U_COLD std::nullptr_t arg_type_error(const char* argname, const char* expected, PyObject* got);
// KeyError with `key` as its single argument (tuples are not unpacked).
R7U_COLD std::nullptr_t key_error(PyObject* key);
// AssertionError without a message, as an `assert` statement raises it.
R7U_COLD std::nullptr_t assertion_error();
// The OSError the interpreter raises for errno value `err` and `filename`
// (PermissionError for EACCES, and so on), built without going through
// errno: on Windows the module and the interpreter may each have a C
// runtime of their own.
R7U_COLD std::nullptr_t errno_error(int err, PyObject* filename);

// An `assert cond` where cond is a truth result (1, 0, or -1 with an error
// set). Returns false when the caller must fail (exception set). Skipped
// entirely when assertions were off at import: pass the condition lazily.
template <class F>
inline bool assert_that(F&& cond) {
    if (!S.assertions) return true;
    int r = cond();
    if (r < 0) return false;
    if (r == 0) {
        assertion_error();
        return false;
    }
    return true;
}

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

// ---------------------------------------------------------------------------
// Walks with the checks of the interpreter's own loops. Callbacks and walks
// return 0, or -1 with an exception set.
// ---------------------------------------------------------------------------
R7U_COLD int dict_changed_size();
R7U_COLD int dict_keys_changed();

// `for k, v in d.items()` over an exact dict: a change of size, or more
// entries met than it had (keys swapped underneath), stops the walk as the
// dict iterator does.
template <class F>
inline int walk_dict(PyObject* dict, F&& fn) {
    const Py_ssize_t size = PyDict_GET_SIZE(dict);
    Py_ssize_t pos = 0, left = size;
    PyObject* key;
    PyObject* value;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != size) return dict_changed_size();
        if (!PyDict_Next(dict, &pos, &key, &value)) return 0;
        if (left-- == 0) return dict_keys_changed();
        // The callback may run code that drops the dict's own references.
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        if (fn(k.get(), v.get()) < 0) return -1;
    }
}

// `for e in iterable`: a list by position (its length read at each step, as
// the list iterator does), anything else through its iterator.
template <class F>
inline int walk_iterable(PyObject* iterable, F&& fn) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref e = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (fn(e.get()) < 0) return -1;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it) return -1;
    for (;;) {
        Ref e = Ref::steal(PyIter_Next(it.get()));
        if (!e) return PyErr_Occurred() ? -1 : 0;
        if (fn(e.get()) < 0) return -1;
    }
}

bool unpack_two(PyObject* pair, Ref& first, Ref& second);

// `for k, v in m.items()`: an exact dict directly, anything else through
// its own items().
template <class F>
inline int walk_items(PyObject* map, F&& fn) {
    if (PyDict_CheckExact(map)) return walk_dict(map, fn);
    Ref pairs = Ref::steal(PyObject_CallMethodNoArgs(map, N.items));
    if (!pairs) return -1;
    return walk_iterable(pairs.get(), [&](PyObject* pair) -> int {
        Ref key, value;
        if (!unpack_two(pair, key, value)) return -1;
        return fn(key.get(), value.get());
    });
}

// Equality of two exact str objects, without the comparison protocol.
inline bool str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Python `a == b` truth (1, 0, -1), fast for exact str.
int py_eq(PyObject* a, PyObject* b);

// `a, b = pair` (above: also the pairs of a `for k, v in ...`), with the
// interpreter's messages. False with an exception set.

// Adds `note` (a str) to the exception being raised, as add_note() does;
// the exception stays set and unchanged otherwise, whatever happens here.
void add_error_note(PyObject* note);
// True when the exception being raised already has a note beginning with
// `prefix` (ASCII).
bool error_has_note(const char* prefix);
// add_error_note of the str that make() returns, made while the exception
// is set aside (a repr may run Python code).
template <class F>
void note_error(F&& make) {
    PyObject* exc = PyErr_GetRaisedException();
    Ref note = make();
    if (!note) PyErr_Clear();
    PyErr_SetRaisedException(exc);
    add_error_note(note.get());
}

// ---------------------------------------------------------------------------
// Recursion guard over user data.
// ---------------------------------------------------------------------------
class RecursionGuard {
    bool entered_;
    // From 3.13 the interpreter's C budget ignores sys.setrecursionlimit():
    // keep our own depth to that limit too. The thread's own stack is watched
    // as well, so a small thread stack ends in RecursionError, not a crash.
    R7U_COLD static bool refuse(const char* where) noexcept {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    static bool enter(const char* where) noexcept {
        compat::GuardState& g = compat::guard_state;
        if (compat::stack_nearly_exhausted(g)) return refuse(where);
        if constexpr (compat::kOwnDepthCount) {
            if (g.depth >= compat::recursion_limit()) return refuse(where);
        }
        if (Py_EnterRecursiveCall(where)) return false;
        if constexpr (compat::kOwnDepthCount) ++g.depth;
        return true;
    }
    static void leave() noexcept {
        if constexpr (compat::kOwnDepthCount) --compat::guard_state.depth;
        Py_LeaveRecursiveCall();
    }

public:
    explicit RecursionGuard(const char* where) noexcept : entered_(enter(where)) {}
    ~RecursionGuard() {
        if (entered_) leave();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    // False: the limit is reached and RecursionError is set.
    bool ok() const noexcept { return entered_; }
};

// ---------------------------------------------------------------------------
// Instance plumbing shared by the three classes.
// ---------------------------------------------------------------------------
// Cache for a routed name "_" + type(self).__name__ + "__" + suffix; the
// name is rebuilt only when the class's __name__ object changes.
struct RoutedName {
    const char* suffix;
    PyObject* type_name = nullptr;  // owned
    PyObject* routed = nullptr;     // owned
};
// The routed name for self's class, held: Python code run by a comparison
// may rebuild the cache. Null on error.
Ref routed_name(PyObject* self, RoutedName& cache);

// super(self.__class__, self).__setattr__(key, value) / .__delattr__(key),
// direct to the generic object behaviour when the next class is `object`.
int super_setattr(PyObject* self, PyObject* key, PyObject* value);
int super_delattr(PyObject* self, PyObject* key);

// Ordinary instance lookup without the class's __getattr__ fallback: new
// reference, or null with no exception when absent, or null with an
// exception on a real error (check PyErr_Occurred()).
Ref lookup_instance_attr(PyObject* self, PyObject* name);

// ---------------------------------------------------------------------------
// Function objects (function.cpp).
// ---------------------------------------------------------------------------
// Exact-type test made on entry, before the body runs.
enum class Check : std::uint8_t { None, Str, Dict, OptDict };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // source text, or none
    Check check = Check::None;
};

// args: one borrowed object per declared parameter, in order (self first for
// methods). kwargs: for a function with **kwargs, a borrowed dict of the
// extra keyword arguments in call order, or null when there were none.
using Impl = PyObject* (*)(PyObject* const* args, PyObject* kwargs);
// For a function with **kwargs, a body that takes the call's own keyword
// names (all of them for **kwargs) instead of a dict of them: args holds
// nargs positional arguments then one value per name, `defaults` is the
// function's __defaults__ (or null). Returns false, with nothing done, when
// the call does not bind so simply; else true with *result set (null on error).
using KwnamesImpl = bool (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* defaults,
                             PyObject** result);

constexpr int kMaxParams = 4;

struct FuncSpec {
    const char* name;
    Impl impl;
    int nparams;
    Param params[kMaxParams];
    const char* varkw = nullptr;         // name of the ** parameter, or none
    const char* returns = nullptr;       // return annotation text, or none
    const char* const* doc = nullptr;    // docstring lines, null-terminated
    KwnamesImpl kwnames_impl = nullptr;  // optional, with varkw
};

enum class Kind { Method, Static, Property };

// New function object. owner: class name for __qualname__, or null.
// defaults: borrowed tuple for the trailing parameters, or null.
PyObject* make_function(const FuncSpec& spec, const char* owner, PyObject* defaults);

// One entry of a class namespace: the function made from `spec`, wrapped by
// the captured staticmethod or property as `kind` says.
struct Member {
    FuncSpec spec;
    PyObject* defaults = nullptr;  // borrowed tuple for the trailing parameters, or null
    Kind kind = Kind::Method;
    Ref* made = nullptr;           // receives the function itself, when given
};

// Stores each member in the class namespace `ns` under its name, in order.
// 0 or -1.
int add_members(PyObject* ns, const char* owner, std::initializer_list<Member> members);

// True when `o` is one of our function objects.
bool is_function(PyObject* o);

// The body of type(cls).<name> when that is one of our functions (through a
// staticmethod too), else null. Never fails.
Impl member_impl(PyTypeObject* tp, PyObject* name);

// Replaces the subscription slots and the call of a class made by type()
// with versions that enter our function objects directly. They look the
// special method up on every call, as the interpreter's own slots do, so a
// replaced or subclassed method behaves exactly as before.
int install_fast_slots(PyObject* cls);

// ---------------------------------------------------------------------------
// Native fast paths and the identity checks that let them stand in for
// Python-visible behaviour (each falls back to the ordinary road otherwise):
// - clone_attribute_is_ours (clone.cpp): nested copies skip the call of the
//   module-level _clone_attribute while it is our own function;
// - class_is_pristine (mapped.cpp): a private map is found by the generic
//   lookup while the class keeps object's __getattribute__ and our
//   __getattr__ (cached by class and version tag);
// - parameter_class_is_pristine / book_class_is_pristine (parameter.cpp,
//   book.cpp): ParameterBook.load stores fresh parameters without cloning;
// - the json capture (booktext.cpp): the native book text while _json.dumps
//   and JSONEncoder are those seen at import and unmodified;
// - the backup-step function (directory.cpp): save uses the internal backup
//   step while the class attribute still holds ours;
// - install_fast_slots / fast_construct (function.cpp): subscription and
//   construction enter our function objects while the class holds them;
//   subscription skips the lookup while the class's version tag is the one
//   it was found under (SpecialCache);
// - compat::inline_attr (inline_map.cpp): a private map is read from the
//   instance's inline values while its class, keyed by version tag, has no
//   class attribute of that name and the instance keeps no dict of its own;
// - global() (support.cpp): module globals are remembered while the dict
//   watcher on the namespace has seen no change of them;
// - native_book_text with utf8 (booktext.cpp, book.cpp): save writes the
//   UTF-8 text directly while type(self).__str__ is our own;
// - adopts_forms / form_adoptable (parameter.cpp, book.cpp): a load takes
//   over the decoder's maps while both classes and _clone_attribute are
//   ours, the Parameter class routes to object and runs no code, and the
//   maps are referenced by their container only;
// - g_open_is_standard (book.cpp): book files are read natively while the
//   captured open is the standard one;
// - init_from_kwnames, routes_to_object (parameter.cpp): construction reads
//   the call's keyword names and stores the private maps generically while
//   the class's __setattr__ is ours and it is Parameter right above object.
// ---------------------------------------------------------------------------

// ---------------------------------------------------------------------------
// Subsystem entry points used by the module body (module.cpp).
// ---------------------------------------------------------------------------
int init_function_type();                       // function.cpp
PyObject* make_clone_attribute();               // clone.cpp
// _clone_attribute(value) through the module-level name at call time; calls
// the C++ body directly while that name still holds our own function.
Ref call_clone_attribute(PyObject* value);      // clone.cpp
// True while the module-level _clone_attribute is our own function, so that
// copying an exact int, float or str runs no Python code.
bool clone_attribute_is_ours();                 // clone.cpp
// True when `v` is an exact list or dict whose nested containers are exact
// lists and dicts referenced once (by their parent), with str keys and exact
// str, int, float or bool leaves. Runs no Python code; never fails. Such a
// tree, held by nothing else, may stand in for the copy _clone_attribute
// would make of it.
bool is_fresh_container(PyObject* v);           // clone.cpp
int fill_parameter_namespace(PyObject* ns);     // parameter.cpp
// True when `cls` is a Parameter class whose constructor, attribute store,
// clone and from_dict are still ours and _clone_attribute is too: then a
// clone of a parameter that from_dict just made is an exact, unobservable
// copy of it.
bool parameter_class_is_pristine(PyObject* cls); // parameter.cpp
// Loads may take over a decoded dictionary form instead of passing it to
// from_dict, whose constructor would copy its maps: while `cls` is pristine,
// routes its private names to the generic store and runs no code when its
// instances are made, stored into or freed ...
bool adopts_forms(PyObject* cls);                // parameter.cpp
// ... for a form only its container holds, of fresh maps (is_fresh_container)
// that the constructor and from_dict would accept as they are: 1, or 0 when
// not, -1 with an exception set. Runs no Python code.
int form_adoptable(PyObject* form);              // parameter.cpp
// The parameter holding the maps of an adoptable form, and its name. 0 or -1.
int adopt_form(PyObject* cls, PyObject* form, Ref& name, Ref& parameter); // parameter.cpp
int fill_book_namespace(PyObject* ns);          // book.cpp
int fill_directory_namespace(PyObject* ns);     // directory.cpp
// The book text (the JSON array of the dictionary forms), as str(book)
// gives it with our own __str__.
// The book text; with utf8, its UTF-8 bytes when the native text can give
// them directly (book.cpp).
Ref book_text(PyObject* book, bool utf8 = false);
// What a save writes of `made` (a book text, or its UTF-8 bytes, or null
// with an exception set): `encoded` its UTF-8 bytes, `text` the str when
// there was one. A text that is not a str fails as str() fails. 0 or -1.
int book_text_utf8(Ref made, Ref& text, Ref& encoded);  // book.cpp
// A book whose descriptions or attributes hold None where loading would
// refuse it: -1 with the refusal of _clone_attribute(None) set and a note
// naming the parameter and the attribute; 0 otherwise.
int check_book_values(PyObject* book);          // book.cpp
// Writes a book file through the platform's crash-safe writer (in place
// where it says so). `encoded` is `text` as UTF-8. sync_now false leaves the
// folder's flush to the caller. 0, or -1 with an exception set.
int write_book_file(PyObject* filename, PyObject* text, PyObject* encoded, bool sync_now = true);
// True while ParameterBook as the module names it is our own class with our
// own save and __str__: then its save is write_book_file of book_text.
bool book_class_saves_natively(PyObject* cls);  // book.cpp
// Records the standard json module's dumps and JSONEncoder as they are at
// import, so the native book text knows when it may stand in for them.
int capture_json(PyObject* json_module);        // booktext.cpp

// Native book text (booktext.cpp): 1 with *out set to the text of `forms`
// (a list of dictionary forms) exactly as json.dumps(forms, indent=4,
// ensure_ascii=False) gives it; 0 with nothing set when the value must go
// through _json.dumps instead; -1 with an exception set. With utf8, *out is
// the bytes of that text encoded in UTF-8, and 0 also stands for text that
// has no UTF-8 encoding (a lone surrogate).
int native_book_text(PyObject* json_module, PyObject* forms, PyObject** out, bool utf8 = false);

}  // namespace r7u
