// The module's function type: how a body is declared (FuncSpec), how
// functions are made and stored in a class namespace, and the fast class
// slots that enter them directly.
#pragma once

#include "support.hpp"

#include <cstdint>
#include <initializer_list>

namespace r7u {

// Exact-type test made on entry, before the body runs.
enum class Check : std::uint8_t { None, Str, Dict, OptDict };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // source text, or none
    Check check = Check::None;
};

// A body (Impl, state.hpp) gets in args one borrowed object per declared
// parameter, in order (self first for methods), and in kwargs, for a
// function with **kwargs, a borrowed dict of the extra keyword arguments in
// call order, or null when there were none.
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

// Readies the function type (once per process). 0 or -1.
int init_function_type();
// At the module's free: the next init_function_type readies the type again.
void forget_function_type();

}  // namespace r7u
