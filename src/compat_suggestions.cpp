// The closest-name rule of the interpreter's AttributeError suggestions
// (see compat::closest_name).
#include "compat.hpp"

namespace r7u::compat {

#if PY_VERSION_HEX >= 0x030D0000

PyObject* closest_name(PyObject* candidates, PyObject* name) {
    PyObject* helper = PyImport_ImportModule("_suggestions");
    if (!helper) return nullptr;
    PyObject* found = PyObject_CallMethod(helper, "_generate_suggestions", "OO", candidates, name);
    Py_DECREF(helper);
    return found;
}

#else

namespace {

// The costs and limits of 3.12's traceback._compute_suggestion_error.
constexpr Py_ssize_t kMaxStringSize = 40;
constexpr Py_ssize_t kMoveCost = 2;
constexpr Py_ssize_t kCaseCost = 1;

struct Text {
    unsigned int kind;
    const void* data;
    Py_ssize_t start, length;
    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind, data, start + i); }
};

Py_UCS4 ascii_lower(Py_UCS4 c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

Py_ssize_t substitution_cost(Py_UCS4 a, Py_UCS4 b) {
    if (a == b) return 0;
    return ascii_lower(a) == ascii_lower(b) ? kCaseCost : kMoveCost;
}

// The edit distance of a and b, or max_cost + 1 once it must exceed max_cost.
Py_ssize_t levenshtein(Text a, Text b, Py_ssize_t max_cost) {
    while (a.length && b.length && a.at(0) == b.at(0)) {
        ++a.start, ++b.start;
        --a.length, --b.length;
    }
    while (a.length && b.length && a.at(a.length - 1) == b.at(b.length - 1)) --a.length, --b.length;
    if (!a.length || !b.length) return kMoveCost * (a.length + b.length);
    if (a.length > kMaxStringSize || b.length > kMaxStringSize) return max_cost + 1;
    if (b.length < a.length) {
        Text t = a;
        a = b;
        b = t;
    }
    if ((b.length - a.length) * kMoveCost > max_cost) return max_cost + 1;
    // One row of the matrix, updated in place.
    Py_ssize_t row[kMaxStringSize];
    for (Py_ssize_t i = 0; i < a.length; ++i) row[i] = (i + 1) * kMoveCost;
    Py_ssize_t result = 0;
    for (Py_ssize_t bi = 0; bi < b.length; ++bi) {
        const Py_UCS4 bc = b.at(bi);
        Py_ssize_t distance = result = bi * kMoveCost;
        Py_ssize_t minimum = PY_SSIZE_T_MAX;
        for (Py_ssize_t i = 0; i < a.length; ++i) {
            const Py_ssize_t substitute = distance + substitution_cost(bc, a.at(i));
            distance = row[i];
            const Py_ssize_t insert_delete = (result < distance ? result : distance) + kMoveCost;
            result = insert_delete < substitute ? insert_delete : substitute;
            row[i] = result;
            if (result < minimum) minimum = result;
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

Text text_of(PyObject* s) { return {PyUnicode_KIND(s), PyUnicode_DATA(s), 0, PyUnicode_GET_LENGTH(s)}; }

}  // namespace

PyObject* closest_name(PyObject* candidates, PyObject* name) {
    const Py_ssize_t n = PyList_GET_SIZE(candidates);
    const Py_ssize_t wrong_length = PyUnicode_GET_LENGTH(name);
    if (n > kSuggestionCandidatesMax || wrong_length > kMaxStringSize) Py_RETURN_NONE;
    PyObject* suggestion = nullptr;
    Py_ssize_t best = wrong_length;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* possible = PyList_GET_ITEM(candidates, i);
        // A missing attribute is "found": never suggested.
        if (!PyUnicode_Check(possible) || PyUnicode_Compare(possible, name) == 0) continue;
        // No more than a third of the characters involved may change.
        Py_ssize_t max_distance = (PyUnicode_GET_LENGTH(possible) + wrong_length + 3) * kMoveCost / 6;
        if (max_distance > best - 1) max_distance = best - 1;
        const Py_ssize_t distance = levenshtein(text_of(name), text_of(possible), max_distance);
        if (distance > max_distance) continue;
        if (!suggestion || distance < best) {
            suggestion = possible;
            best = distance;
        }
    }
    return Py_NewRef(suggestion ? suggestion : Py_None);
}

#endif

}  // namespace r7u::compat
