// The compat floor: every private or version-dependent interpreter call,
// every read of the interpreter's internal layouts (compat_layouts.cpp) and
// every compiler or platform difference the rest of the code needs, each
// behind one small function or macro, so no other file has an #if of its
// own for them. It includes nothing of the module's.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#endif

// Out-of-line and rarely-run markers. MSVC ignores the [[gnu::...]] forms.
#if defined(_MSC_VER) && !defined(__clang__)
#define R7U_NOINLINE __declspec(noinline)
#define R7U_COLD __declspec(noinline)
#else
#define R7U_NOINLINE [[gnu::noinline]]
#define R7U_COLD [[gnu::noinline, gnu::cold]]
#endif

// Around a designated initializer that leaves the rest of a struct zero on
// purpose (a type object's slots): GCC would warn of each member left out.
#if defined(__GNUC__)
#define R7U_PARTIAL_INIT_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"")
#define R7U_PARTIAL_INIT_END _Pragma("GCC diagnostic pop")
#else
#define R7U_PARTIAL_INIT_BEGIN
#define R7U_PARTIAL_INIT_END
#endif

namespace r7u::compat {

// False when the running interpreter is of another minor version than the
// headers this file was compiled with (the module then warns at import):
// every shortcut that reads the interpreter's private layouts is off.
// Process-wide, as the interpreter's version is.
inline bool g_same_version = true;

// The class attribute found along the MRO, held (a new reference, or null
// with no exception): the class dict only lends it, and code run by the
// caller may replace it there.
inline PyObject* type_lookup(PyTypeObject* tp, PyObject* name) { return Py_XNewRef(_PyType_Lookup(tp, name)); }
// The same lent, for identity tests made before any other code runs.
inline PyObject* type_lookup_borrowed(PyTypeObject* tp, PyObject* name) { return _PyType_Lookup(tp, name); }

// A new dict with room for `n` entries.
inline PyObject* dict_new_presized(Py_ssize_t n) { return _PyDict_NewPresized(n); }

// The value of `name` (an exact str) read straight from the inline
// attribute values of `self`, where the interpreter keeps them for most
// instances of a plain class: a new reference, or null with no exception
// whenever that read cannot stand in for the generic lookup (the class
// changed since the slot was found, a class attribute of that name, the
// instance keeps a dict of its own, the slot is empty). It needs the
// interpreter's internal layouts: compat_layouts.cpp describes them per
// minor version and answers null on any other.
PyObject* inline_attr(PyObject* self, PyObject* name);
// True when the same read shows that `self` has no instance attribute
// `name` at all: its values are inline (no dict of its own) and the class's
// shared keys have no such name, or an empty slot for it. False whenever
// that cannot be told so.
bool inline_attr_absent(PyObject* self, PyObject* name);
// Forgets every slot inline_attr found (the module that named them is gone).
void forget_inline_slots();

// Equality of two exact str objects, read from their storage: no
// comparison protocol runs.
inline bool str_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// Generic instance lookup without the class's __getattr__: a new reference,
// or null without an exception when the name is absent.
inline PyObject* generic_getattr_or_null(PyObject* self, PyObject* name) {
    if (PyObject* v = inline_attr(self, name)) return v;
    return _PyObject_GenericGetAttrWithDict(self, name, nullptr, 1);
}

// "module.qualname()" as the interpreter names a callable in call errors.
inline PyObject* function_str(PyObject* callable) { return _PyObject_FunctionStr(callable); }

// The interpreter's TypeError for `callable(**value)` when value is not a
// mapping (3.15 no longer names the callable).
inline void not_a_mapping_error(PyObject* callable, PyObject* value) {
#if PY_VERSION_HEX >= 0x030F0000
    (void)callable;
    PyErr_Format(PyExc_TypeError, "Value after ** must be a mapping, not %T", value);
#else
    PyObject* what = function_str(callable);
    if (!what) return;
    PyErr_Format(PyExc_TypeError, "%U argument after ** must be a mapping, not %.200s", what, Py_TYPE(value)->tp_name);
    Py_DECREF(what);
#endif
}

// How the interpreter reports a failed `callable(**value)` merge of a value
// that is not an exact dict. Before 3.15 it turns any AttributeError into
// the TypeError above and a KeyError of one argument into "got multiple
// values" for that argument, whoever raised them; from 3.15 it refuses only
// a value without keys and lets the value's own errors through.
#if PY_VERSION_HEX >= 0x030F0000
constexpr bool kKwargsMergeKeepsErrors = true;
#else
constexpr bool kKwargsMergeKeepsErrors = false;
#endif

// The interpreter's TypeError for str(obj) when obj's __str__ gave `result`,
// not a str.
inline void str_result_error(PyObject* obj, PyObject* result) {
#if PY_VERSION_HEX >= 0x030F0000
    PyErr_Format(PyExc_TypeError, "%T.__str__() must return a str, not %T", obj, result);
#else
    (void)obj;
    PyErr_Format(PyExc_TypeError, "__str__ returned non-string (type %.200s)", Py_TYPE(result)->tp_name);
#endif
}

// sys.getrecursionlimit().
inline int recursion_limit() { return Py_GetRecursionLimit(); }

// Python frames the calling thread may still push before RecursionError.
inline int python_frames_left() { return PyThreadState_Get()->py_recursion_remaining; }

// Lets a class made by type() keep `module` alive, as a class made from a
// spec of the module does (the class releases it when it goes).
inline void type_hold_module(PyTypeObject* tp, PyObject* module) {
    Py_XSETREF(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_module, Py_NewRef(module));
}

// The __name__ object of a class: the heap type's own, else a new str.
// A new reference, or null with an exception set.
inline PyObject* type_name(PyTypeObject* tp) {
    if (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) return Py_NewRef(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_name);
    return PyType_GetName(tp);
}

// Changes whenever the type or a base is modified (0: not tagged).
inline unsigned int type_version(PyTypeObject* tp) { return tp->tp_version_tag; }

// The DeprecationWarning that locale.getdefaultlocale() gives, on the
// versions where it gives one (from 3.14 it gives none).
#if PY_VERSION_HEX < 0x030E0000
constexpr const char* kGetdefaultlocaleWarning =
    "'locale.getdefaultlocale' is deprecated and slated for removal in Python 3.15. "
    "Use setlocale(), getencoding() and getlocale() instead.";
#else
constexpr const char* kGetdefaultlocaleWarning = nullptr;
#endif

// The closest of `candidates` (a list) to `name` (a str) by the rule of the
// interpreter's AttributeError "Did you mean": a new reference to it, None
// when none is close enough, or null with an exception set. From 3.13 the
// interpreter's own helper; 3.12 computes it in its traceback module, whose
// rule compat_suggestions.cpp repeats.
PyObject* closest_name(PyObject* candidates, PyObject* name);
// The traceback module's part of that rule: from 3.13 it leaves out names
// beginning with "_" unless the missing name begins so; and the most
// candidates the rule looks at (more: no suggestion).
constexpr bool kSuggestionsHideUnderscored = PY_VERSION_HEX >= 0x030D0000;
constexpr Py_ssize_t kSuggestionCandidatesMax = 750;

// The lowest usable address of the calling thread's stack (stacks grow
// down on every platform we build for), or 0 when it cannot be told.
inline std::uintptr_t thread_stack_low() {
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    return static_cast<std::uintptr_t>(low);
#elif defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* addr = nullptr;
    size_t size = 0;
    int r = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    return r == 0 ? reinterpret_cast<std::uintptr_t>(addr) : 0;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    return high - pthread_get_stacksize_np(self);
#else
    return 0;
#endif
}

// About where the caller's frame is on the machine stack: the address of a
// local (no frame pointer needed in the hot recursive functions).
inline std::uintptr_t frame_address() {
    volatile char probe = 0;
    return reinterpret_cast<std::uintptr_t>(&probe);
}

// Thread-local state read on every guarded step: the initial-exec model
// avoids a call per access in a shared library (a few bytes of the static
// TLS reserve). MSVC's thread-locals need no such hint.
#if defined(__GNUC__) && !defined(_WIN32)
#define R7U_FAST_TLS [[gnu::tls_model("initial-exec")]]
#else
#define R7U_FAST_TLS
#endif

// Per-thread state of the recursion guards.
struct GuardState {
    std::uintptr_t stack_limit = UINTPTR_MAX;  // not read yet; 0: unknown
    int depth = 0;                   // guarded levels entered
};
R7U_FAST_TLS inline thread_local GuardState guard_state;

R7U_NOINLINE inline std::uintptr_t read_stack_limit() {
    const std::uintptr_t top = frame_address();
    const std::uintptr_t low = thread_stack_low();
    if (low == 0 || low >= top) return 0;
    // A quarter of what is left, at most 128 KiB: room for one more level of
    // a walk and for raising the error.
    std::uintptr_t margin = (top - low) / 4;
    if (margin > 128 * 1024) margin = 128 * 1024;
    return low + margin;
}

// True when less than that margin of the thread's stack is left below the
// caller's frame. The bounds are read at the first check of each thread.
R7U_NOINLINE inline bool stack_check_first(GuardState& g) {
    g.stack_limit = read_stack_limit();
    return frame_address() < g.stack_limit;
}
inline bool stack_nearly_exhausted(GuardState& g) {
    return frame_address() < g.stack_limit && (g.stack_limit != UINTPTR_MAX ? true : stack_check_first(g));
}

// A str as the platform layer (platform.hpp) names files, in a bytes
// object: UTF-16 on Windows, as the interpreter's own file calls pass it;
// elsewhere the file-system encoding. A new reference, or null with an
// exception set.
inline PyObject* platform_path_bytes(PyObject* str) {
#if defined(_WIN32)
    return PyUnicode_AsEncodedString(str, "utf-16-le", "surrogatepass");
#else
    return PyUnicode_EncodeFSDefault(str);
#endif
}

}  // namespace r7u::compat
