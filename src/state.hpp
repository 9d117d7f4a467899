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
// Each record below says beside it which file writes it; every other file
// only reads it. What each native shortcut stands in for, and the one
// function that decides whether it may, are listed in shortcuts.hpp.
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
// Beside each: the file that writes it.
// ---------------------------------------------------------------------------
// A function body of ours, as our function objects call it (function.hpp).
using Impl = PyObject* (*)(PyObject* const* args, PyObject* kwargs);

// Builtins captured at import. Written by module.cpp.
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
// namespace. Names and values are lent by the namespace. Written by
// globals.cpp.
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

// Where type(self).<special> led last time: one of our functions, found for
// `type` while its version tag was `version`. Written by function.cpp.
struct SpecialCache {
    PyTypeObject* type = nullptr;  // compared only
    unsigned int version = 0;
    PyObject* function = nullptr;  // held: the class only lends it
};

// "_" + type(self).__name__ + "__" + suffix, rebuilt only when the class's
// __name__ object changes. Written by mapped.cpp.
struct RoutedCache {
    PyObject* type_name = nullptr;
    PyObject* routed = nullptr;
};

// One-entry cache of class_is_pristine (mapped.hpp): the class and its
// version tag when it last passed. Written by mapped.cpp.
struct PristineCache {
    PyTypeObject* type = nullptr;  // compared only
    unsigned int version = 0;
};

// Our own bodies of the members that the shortcuts' class checks compare
// with (shortcuts.cpp), each recorded by the file that defines it as it
// fills its class namespace: parameter.cpp, book.cpp, directory.cpp.
// Process-wide constants in fact; kept here so that those checks need no
// header of the classes above them.
struct OwnMembers {
    Impl param_init = nullptr, param_setattr = nullptr, param_clone = nullptr, param_from_dict = nullptr;
    Impl book_init = nullptr, book_setattr = nullptr, book_str = nullptr, book_save = nullptr;
    Impl dir_save = nullptr;
};

// What the native book text stands in for; all null while the native path
// is off. Written by shortcuts.cpp (capture_json); booktext.cpp reads
// short_repr.
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

// locale.getdefaultlocale as it was at import, where it warns; all null
// where it does not, or was not the host's own function. Written by
// shortcuts.cpp (capture_locale); parameter.cpp gives the warning it holds.
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

// What the native book decoder stands in for: json.loads with no options
// runs _default_decoder.decode, whose raw_decode calls the scanner made with
// the decoder. All null while the decoder is off. Written by shortcuts.cpp
// (capture_json_loads).
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
// they were when the module was made. Written by shortcuts.cpp
// (capture_host_fs), but `stat`: dirload.cpp, at the first load.
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
    PyObject* globals = nullptr;   // the module's namespace dict (module.cpp)
    PyObject* builtins = nullptr;  // the builtins module's dict (module.cpp)
    bool assertions = true;        // builtins.__debug__ as read at import (module.cpp)
    Builtins b;                    // module.cpp
    Names names;                   // state.cpp

    GlobalsCache cached_globals;                  // globals.cpp
    SpecialCache getitem, setitem, delitem;       // function.cpp
    PyObject* object_getattribute = nullptr;      // mapped.cpp: object.__getattribute__
    RoutedCache routed_attributes, routed_description, routed_book, routed_directory;  // mapped.cpp
    PristineCache pristine_parameter, pristine_book, pristine_directory;              // mapped.cpp
    PyObject* clone_function = nullptr;  // clone.cpp: our _clone_attribute, so nested calls can skip the call
    OwnMembers own;                      // parameter.cpp, book.cpp, directory.cpp
    // book.cpp: keyword-name tuples of the calls made on every save, load
    // and new parameter
    PyObject* kw_value = nullptr;     // ("value",)
    PyObject* kw_dumps = nullptr;     // ("indent", "ensure_ascii")
    PyObject* kw_encoding = nullptr;  // ("encoding",)
    // shortcuts.cpp: what the native shortcuts stand in for
    bool open_is_standard = false;  // the captured open is the standard one
    JsonRecord json;
    LocaleRecord locale;
    LoadsRecord loads;
    HostFs host;
    PyObject* backup_function = nullptr;  // directory.cpp: our backup-step function
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
