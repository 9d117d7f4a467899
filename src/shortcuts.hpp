// The native shortcuts: what each stands in for, recorded at import, and the
// one function per path that decides whether it may stand in now. A path
// calls its decision once, where the host's object would first be used,
// and passes the answer down; it asks again only after code the module does
// not control (a replaced to_dict, from_dict or folder call) has run, since
// that code may have replaced what the answer was about.
//
// The paths and their decisions (all here):
// - the book text (str(book), the text of a save): book_text_way, while
//   json.dumps and JSONEncoder are those seen at import and unmodified;
// - a book's save: save_writes_own_text, while type(book).__str__ is ours
//   (then the text is written as UTF-8 directly);
// - reading a book file: book_read_way, while the captured open is the
//   standard one (bookfile.cpp then reads natively where the platform layer
//   reads files);
// - loading a book file's bytes: book_decode_way (native decode, forms
//   adopted), adopt_way (the decoded list adopted), loaded_book_way (fresh
//   parameters stored without their clones), while the classes, their
//   members, _clone_attribute and json.loads are the host's or our own;
// - a tree save: tree_save_way, while both classes, their save, __str__ and
//   backup step are ours and `_os`/`_path` are the host's own, unchanged;
//   the documented protocol's backup step: backup_step_is_ours;
// - `description`: default_locale_way, while locale.getdefaultlocale and the
//   warnings functions it calls are those seen at import.
// The tree load has no shortcut of its own: it loads each book file through
// ParameterBook.load as the module names it, which decides for that book.
//
// Shortcuts decided per object where they are used, each by a check that
// runs no Python code:
// - class_is_pristine (mapped.hpp): a private map is found by the generic
//   lookup while the class keeps object's __getattribute__ and our
//   __getattr__ (cached by class and version tag);
// - clone_attribute_is_ours (below; parameter.cpp, and clone.cpp for each
//   nested value): copies skip the call of the module-level
//   _clone_attribute while it is ours;
// - install_fast_slots / fast_construct (function.cpp): subscription and
//   construction enter our function objects while the class holds them;
//   subscription skips the lookup while the class's version tag is the one
//   it was found under (SpecialCache);
// - compat::inline_attr (compat_layouts.cpp): a private map is read from the
//   instance's inline values while its class, keyed by version tag, has no
//   class attribute of that name and the instance keeps no dict of its own;
// - global() (globals.cpp): module globals are remembered while the dict
//   watcher on the namespace has seen no change of them;
// - init_from_kwnames, routes_to_object (below; parameter.cpp): construction
//   reads the call's keyword names and stores the private maps generically
//   while the class's __setattr__ is ours and it is Parameter right above
//   object;
// - plain_form_parts (parameter.cpp): the book text is written straight from
//   a parameter's maps, without making its form, while its to_dict is ours
//   and would run no code;
// - form_adoptable / maps_adoptable (parameter.cpp): a load takes over a
//   decoded form's maps while only their container references them.
#pragma once

#include "support.hpp"

namespace r7u {

// ---------------------------------------------------------------------------
// What the shortcuts stand in for, recorded at import (each fills its record
// of the state; a host that does not look standard only turns its shortcut
// off).
// ---------------------------------------------------------------------------
// json.dumps and JSONEncoder (JsonRecord). 0, or -1 on running out of memory.
int capture_json(PyObject* json_module);
// json.loads, its default decoder and that decoder's scanner (LoadsRecord).
void capture_json_loads(PyObject* json_module);
// locale.getdefaultlocale where it warns (LocaleRecord). 0 or -1.
int capture_locale(PyObject* locale_module);
// Whether the captured open is the standard one (State::open_is_standard).
void capture_open();
// The host's os and os.path and their folder services (HostFs). 0 or -1.
int capture_host_fs();

// ---------------------------------------------------------------------------
// The decisions, one per path.
// ---------------------------------------------------------------------------
// The book text: whether the native writer may stand in for
// json_module.dumps(forms, indent=4, ensure_ascii=False): 1, 0, or -1 with
// an exception set.
int book_text_way(PyObject* json_module);

// A book's save: whether it may write its own book text as UTF-8 bytes
// rather than str(book) (type(book).__str__ is ours).
bool save_writes_own_text(PyObject* book);

// Reading a book file: whether its bytes may be read without a file object.
bool book_read_way();

// The classes a load stores its parameters with, where it may take over
// decoded forms: null (no shortcut) or Parameter and ParameterBook as the
// module names them, both pristine, Parameter adopting forms.
struct LoadWay {
    Ref parameter_cls;
    Ref book_cls;
    explicit operator bool() const noexcept { return static_cast<bool>(parameter_cls); }
};
// Loading a book file's bytes: the native decoder stands in for
// json_module.loads, its forms adopted (json.loads and both classes ours or
// the host's own). Never fails.
LoadWay book_decode_way(PyObject* json_module);
// The ordinary road's decoded list: its forms adopted instead of going
// through from_dict. Never fails.
LoadWay adopt_way();
// A book loaded the ordinary way: whether `book_cls` may get its fresh
// parameters (made with `parameter_cls`, null when there were none) stored
// as they are, without the clones its constructor would make. Never fails.
bool loaded_book_way(PyObject* book_cls, PyObject* parameter_cls);

// A tree save: whether the batched native save stands in for the documented
// protocol, for the classes the save found (its items must still be plain,
// which the tree snapshot tells). Never fails.
bool tree_save_way(PyObject* dir_cls, PyObject* book_cls);
// The documented protocol: whether `step`, found on the class, is our own
// backup step (then it runs without a call).
bool backup_step_is_ours(PyObject* step);

// `description`: 1 with `helper` set to the function whose answer
// locale.getdefaultlocale() returns, when the module may give that
// function's DeprecationWarning itself (LocaleRecord); 0 when the host's
// function must be called; -1 with an exception set.
int default_locale_way(PyObject* locale_module, Ref& helper);

// ---------------------------------------------------------------------------
// Per-object checks shared by several paths.
// ---------------------------------------------------------------------------
// True while the module-level _clone_attribute is our own function, so that
// copying an exact int, float or str runs no Python code.
bool clone_attribute_is_ours();

// True when our routing hands this class's own private names straight to
// the generic store: the class is called Parameter and sits right above
// object.
inline bool routes_to_object(PyTypeObject* tp) {
    PyObject* mro = tp->tp_mro;
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || !mro || PyTuple_GET_SIZE(mro) != 2 ||
        PyTuple_GET_ITEM(mro, 1) != reinterpret_cast<PyObject*>(&PyBaseObject_Type))
        return false;
    PyObject* type_name = reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name;
    return PyUnicode_CheckExact(type_name) && compat::str_equal(type_name, N->Parameter);
}

}  // namespace r7u
