// What every file needs: the owning reference, the interned names and the
// state (state.hpp), the error idiom and the depth budget with its
// recursion guard.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compat.hpp"
#include "state.hpp"

#include <cstddef>
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
// OSError(err, message, filename), of the subclass that `err` picks.
R7U_COLD std::nullptr_t os_error(int err, PyObject* message, PyObject* filename);
R7U_COLD std::nullptr_t os_error(int err, const char* message, PyObject* filename);

// An `assert cond` where cond is a truth result (1, 0, or -1 with an error
// set). Returns false when the caller must fail (exception set). Skipped
// entirely when assertions were off at import: pass the condition lazily.
template <class F>
inline bool assert_that(F&& cond) {
    if (!st().assertions) return true;
    int r = cond();
    if (r < 0) return false;
    if (r == 0) {
        assertion_error();
        return false;
    }
    return true;
}

// The same with a note that says what was wrong, where and what to do:
// explain() gives its text (a Ref to a str), made only when the assertion
// fails and set on that AssertionError alone.
template <class F, class G>
inline bool assert_that(F&& cond, G&& explain);

// A note's text, as PyUnicode_FromFormat makes it (null with an error set).
R7U_COLD Ref note_text(const char* format, ...);

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

template <class F, class G>
inline bool assert_that(F&& cond, G&& explain) {
    if (!st().assertions) return true;
    int r = cond();
    if (r > 0) return true;
    if (r == 0) {
        assertion_error();
        note_error(explain);
    }
    return false;
}

// Keeps the exception being raised while clean-up steps run: their own
// failures are dropped so that the original error goes on unchanged.
class PendingError {
    PyObject* exc_;

public:
    PendingError() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~PendingError() { PyErr_SetRaisedException(exc_); }
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
};

// ---------------------------------------------------------------------------
// The depth budget: one account, per thread, of how deep the walks over user
// data may go, and the only place that states a limit of depth.
//
// Every level of every walk (a copy, a map reached through another, the
// checks and texts of a save, a decoded container, a folder of a tree) is
// entered through a RecursionGuard, which takes it from the thread's budget:
// RecursionError ("maximum recursion depth exceeded while ...") once the
// walks of the thread hold sys.getrecursionlimit() levels, once the
// interpreter's own C budget says so, or once the thread's stack is nearly
// used up, whichever comes first; so deep or self-containing input ends in
// RecursionError, never a crash.
//
// A native walk that stands in for the host's Python code (the book text for
// json's encoder, the decoder for json.loads) must not get further than
// that code would: stand_in_levels says how deep it may go natively, and it
// hands anything deeper back to the host, which then decides (and may raise
// RecursionError itself). Its own levels still go through the guard.
// ---------------------------------------------------------------------------
// The deepest nesting each native stand-in writes or reads itself; deeper
// values (rare) go to the host's code, which has no such bound.
constexpr int kTextDepthCap = 500;
constexpr int kDecodeDepthCap = 200;
// Python frames the host's code takes before its first level (dumps, encode
// and the encoder's top generator; loads, decode and raw_decode), with
// headroom.
constexpr int kHostEntryFrames = 8;

// The levels a native stand-in may nest where the host's code takes one
// Python frame per level: the frames the thread has left before
// RecursionError, less the host's entry frames, at most `cap`. Negative when
// the host could not even enter: then only the host's own code may run.
inline int stand_in_levels(int cap) {
    const int left = compat::python_frames_left() - kHostEntryFrames;
    return left < cap ? left : cap;
}

class RecursionGuard {
    bool entered_;
    // The interpreter's C budget ignores sys.setrecursionlimit() (from 3.12):
    // keep our own depth to that limit too. The thread's own stack is watched
    // as well, so a small thread stack ends in RecursionError, not a crash.
    R7U_COLD static bool refuse(const char* where) noexcept {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    static bool enter(const char* where) noexcept {
        compat::GuardState& g = compat::guard_state;
        if (compat::stack_nearly_exhausted(g)) return refuse(where);
        if (g.depth >= compat::recursion_limit()) return refuse(where);
        if (Py_EnterRecursiveCall(where)) return false;
        ++g.depth;
        return true;
    }
    static void leave() noexcept {
        --compat::guard_state.depth;
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

}  // namespace r7u
