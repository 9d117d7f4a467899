// The module's state: every object, interned name and cache the module
// keeps, in one struct that lives in the module object's own state memory.
//
// Life cycle (module.cpp): the exec step constructs it and fills it
// (state_init, then each subsystem stores its captures); the module's
// traverse hook visits it, its clear hook releases what it owns and its
// free hook does that too and forgets it. It is reached one way, st(): the
// hot paths (type slots, function bodies) have no module at hand, so one
// process-wide pointer names the state in use.
//
// The native shortcuts, each standing in for Python-visible behaviour only
// while one identity check holds (each falls back to the ordinary road):
// - clone_attribute_is_ours (clone.cpp): nested copies skip the call of the
//   module-level _clone_attribute while it is our own function;
// - class_is_pristine (mapped.hpp): a private map is found by the generic
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
// - compat::inline_attr (compat_layouts.cpp): a private map is read from the
//   instance's inline values while its class, keyed by version tag, has no
//   class attribute of that name and the instance keeps no dict of its own;
// - global() (globals.cpp): module globals are remembered while the dict
//   watcher on the namespace has seen no change of them;
// - plain_form_parts (parameter.cpp, book.cpp): the book text is written
//   straight from the parameters' maps, without making their forms, while
//   every name is an exact str and to_dict of each parameter is ours and
//   would run no code;
// - native_book_text with utf8 (booktext.cpp, book.cpp): save writes the
//   UTF-8 text directly while type(self).__str__ is our own;
// - adopts_forms / form_adoptable (parameter.cpp, book.cpp): a load takes
//   over the decoder's maps while both classes and _clone_attribute are
//   ours, the Parameter class routes to object and runs no code, and the
//   maps are referenced by their container only;
// - open_is_standard (book.cpp): book files are read natively while the
//   captured open is the standard one;
// - json_loads_is_standard (bookdecode.cpp, book.cpp): a book file's bytes
//   are decoded natively, and the parameters adopted as adopts_forms says,
//   while the file is read natively and _json.loads, its default decoder,
//   that decoder's methods and scanner are the host's own;
// - init_from_kwnames, routes_to_object (parameter.cpp): construction reads
//   the call's keyword names and stores the private maps generically while
//   the class's __setattr__ is ours and it is Parameter right above object;
// - host_default_locale (parameter.cpp): `description` issues the
//   DeprecationWarning of locale.getdefaultlocale itself, attributed to this
//   module as to a module written in Python, and takes the answer from the
//   helper that function returns, while _locale is the locale module seen at
//   import and its getdefaultlocale (function, code, defaults) and the
//   warnings module's warn and _deprecated are those seen then.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.hpp"

namespace r7u {

// ---------------------------------------------------------------------------
// Interned names, made by the exec step. Each subsystem keeps its own block;
// add a line to your block as needed.
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
    X(description, "description")                                \
    X(attributes, "attributes")                                   \
    X(getdefaultlocale, "getdefaultlocale")                       \
    X(_getdefaultlocale, "_getdefaultlocale")                     \
    X(_deprecated, "_deprecated")                                 \
    X(warn, "warn")                                               \
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
    /* book decoder */                                            \
    X(_default_decoder, "_default_decoder")                       \
    X(scan_once, "scan_once")                                     \
    X(decode, "decode")                                           \
    X(raw_decode, "raw_decode")                                   \
    /* directories */                                             \
    X(priv_dir_parameters, "_ParameterDirectory__parameters")     \
    X(listdir, "listdir")                                         \
    X(rename, "rename")                                           \
    X(remove, "remove")                                           \
    X(basename, "basename")                                       \
    X(sep, "sep")                                                 \
    X(altsep, "altsep")                                           \
    X(normcase, "normcase")                                       \
    X(_backup_books_in_this_directory, "_backup_books_in_this_directory") \
    X(dir_dot, ".")                                               \
    X(dir_dash, "-")

struct Names {
#define R7U_DECLARE_NAME(id, text) PyObject* id = nullptr;
    R7U_NAMES(R7U_DECLARE_NAME)
#undef R7U_DECLARE_NAME
};

// One interned name, chosen by member (for records that name a name).
using NameId = PyObject* Names::*;

// ---------------------------------------------------------------------------
// The records of the state. Every PyObject* is owned unless marked
// "compared only"; state_traverse and state_clear (state.cpp) list them all.
// ---------------------------------------------------------------------------
// Builtins captured at import.
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

// Module globals remembered while a dict watcher sees every change of the
// namespace (globals.cpp). Names and values are lent by the namespace.
struct GlobalsCache {
    struct Entry {
        PyObject* name = nullptr;   // lent by Names
        PyObject* value = nullptr;  // lent by the namespace while valid
        bool valid = false;
    };
    Entry entries[8];
    int count = 0;
    int watcher = -1;  // the interpreter's watcher id, or -1
    bool watching = false;
};

// Where type(self).<special> led last time (function.cpp): one of our
// functions, found for `type` while its version tag was `version`.
struct SpecialCache {
    PyTypeObject* type = nullptr;  // compared only
    unsigned int version = 0;
    PyObject* function = nullptr;  // held: the class only lends it
};

// "_" + type(self).__name__ + "__" + suffix, rebuilt only when the class's
// __name__ object changes.
struct RoutedCache {
    PyObject* type_name = nullptr;
    PyObject* routed = nullptr;
};

// One-entry cache of class_is_pristine (mapped.hpp): the class and its
// version tag when it last passed.
struct PristineCache {
    PyTypeObject* type = nullptr;  // compared only
    unsigned int version = 0;
};

// What the native book text stands in for (booktext.cpp); all null while
// the native path is off.
struct JsonRecord {
    PyObject* module = nullptr;             // the json module
    PyObject* dumps = nullptr;              // json.dumps
    PyObject* encoder = nullptr;            // json.JSONEncoder
    unsigned int encoder_tag = 0;           // its type version when recorded
    PyObject* encoder_globals = nullptr;    // globals of its methods
    PyObject* encode_basestring = nullptr;  // the str escaper with ensure_ascii off
    PyObject* infinity = nullptr;           // INFINITY, the float limit floatstr tests
    PyObject* make_iterencode = nullptr;    // the Python encoder used with indent
    bool short_repr = false;                // float.__repr__ gives the shortest digits
};

// locale.getdefaultlocale as it was at import, where it warns (parameter.cpp);
// all null where it does not, or was not the host's own function.
struct LocaleRecord {
    PyObject* module = nullptr;      // the locale module
    PyObject* function = nullptr;    // its getdefaultlocale, with the __code__
    PyObject* code = nullptr;        // and __defaults__ it had
    PyObject* defaults = nullptr;
    PyObject* warnings = nullptr;    // the warnings module's dict, with the warn
    PyObject* warn = nullptr;        // and _deprecated it held
    PyObject* deprecated = nullptr;
    PyObject* message = nullptr;     // the warning's text
    PyObject* filename = nullptr;    // where the warning is attributed: the module's
    PyObject* module_name = nullptr; // file and name, and its registry of warnings
    PyObject* registry = nullptr;    // already shown (a module's __warningregistry__)
};

// What the native book decoder stands in for (bookdecode.cpp): json.loads
// with no options runs _default_decoder.decode, whose raw_decode calls the
// scanner made with the decoder. All null while the decoder is off.
struct LoadsRecord {
    PyObject* module = nullptr;            // the json module
    PyObject* loads = nullptr;             // json.loads
    PyObject* loads_code = nullptr;        // its code
    PyObject* loads_kwdefaults = nullptr;  // its keyword defaults, all None
    PyObject* decoder = nullptr;           // json._default_decoder
    PyObject* scan_once = nullptr;         // its scanner
    PyObject* methods[2] = {};             // JSONDecoder.decode and .raw_decode
    PyObject* method_code[2] = {};
    PyObject* method_defaults[2] = {};
};

// The host's os and os.path and the services the folder layout names, as
// they were when the module was made (directory.cpp).
struct HostFs {
    PyObject* os = nullptr;
    PyObject* path = nullptr;
    PyObject* os_funcs[4] = {};
    PyObject* path_funcs[6] = {};
    PyObject* stat = nullptr;  // os.stat, taken at the first load
};

struct State {
    bool live = false;             // constructed by state_init (the memory starts zeroed)
    bool failed = false;           // its exec step failed: a new import makes a new state
    PyObject* module = nullptr;    // lent: the state lives inside it
    PyObject* globals = nullptr;   // the module's namespace dict
    PyObject* builtins = nullptr;  // the builtins module's dict
    bool assertions = true;        // builtins.__debug__ as read at import
    Builtins b;
    Names names;

    // globals.cpp
    GlobalsCache cached_globals;
    // function.cpp
    SpecialCache getitem, setitem, delitem;
    // mapped.cpp and the three classes
    PyObject* object_getattribute = nullptr;  // object.__getattribute__
    RoutedCache routed_attributes, routed_description, routed_book, routed_directory;
    PristineCache pristine_parameter, pristine_book, pristine_directory;
    // clone.cpp: our _clone_attribute, so nested calls can skip the call
    PyObject* clone_function = nullptr;
    // book.cpp: keyword-name tuples of the calls made on every save, load
    // and new parameter; and whether the captured open is the standard one
    PyObject* kw_value = nullptr;     // ("value",)
    PyObject* kw_dumps = nullptr;     // ("indent", "ensure_ascii")
    PyObject* kw_encoding = nullptr;  // ("encoding",)
    bool open_is_standard = false;
    // booktext.cpp
    JsonRecord json;
    // parameter.cpp
    LocaleRecord locale;
    // bookdecode.cpp
    LoadsRecord loads;
    // directory.cpp: our backup-step function, and the host's file services
    PyObject* backup_function = nullptr;
    HostFs host;
};

// The state in use; null before the exec step and after the module's free.
extern State* g_state;
inline State& st() noexcept { return *g_state; }

// The interned names, as N->value.
struct NamesAccess {
    Names* operator->() const noexcept { return &g_state->names; }
};
inline constexpr NamesAccess N{};
inline PyObject* name_of(NameId id) noexcept { return g_state->names.*id; }

// Life cycle (state.cpp). state_init constructs the state in `memory` (the
// module's state) for `module`, interns the names and makes it the state in
// use: 0, or -1 with an exception set. state_clear releases what it owns;
// state_free does that too and forgets it (the memory is the module's).
int state_init(void* memory, PyObject* module);
int state_traverse(State& s, visitproc visit, void* arg);
void state_clear(State& s);
void state_free(State& s);

}  // namespace r7u
