// The native book text: json.dumps(forms, indent=4, ensure_ascii=False)
// written in one pass, while the json module is the one seen at import
// (book_text_way, shortcuts.hpp, decides that).
#pragma once

#include "support.hpp"

namespace r7u {

// 1 with *out set to the text of `forms` (a list of dictionary forms)
// exactly as json.dumps(forms, indent=4, ensure_ascii=False) gives it, for a
// caller that decided the native text may stand in (book_text_way,
// shortcuts.hpp); 0 with nothing set when the value must go through
// _json.dumps instead; -1 with an exception set. With utf8, *out is the
// bytes of that text encoded in UTF-8, and 0 also stands for text that has
// no UTF-8 encoding (a lone surrogate).
int native_book_text(PyObject* forms, PyObject** out, bool utf8 = false);

// A parameter's form as to_dict(name) makes it: its name and its two maps
// (borrowed).
struct FormParts {
    PyObject* name;
    PyObject* description;
    PyObject* attributes;
};
// The same for the list of `n` forms that `parts` describes, written without
// making the forms. With none_seen, *none_seen tells whether the text holds
// None as a list item or dict value (not inside a tuple).
int native_book_text(const FormParts* parts, Py_ssize_t n, PyObject** out, bool utf8, bool* none_seen = nullptr);

// Before forms go to the host's encoder: RecursionError (-1) when they nest
// deeper than our recursion guard allows, 0 otherwise. From 3.14 the host's
// encoder itself nests as deep as the C stack allows, its indented text
// growing with the square of the depth.
int check_encoder_depth(PyObject* forms);

}  // namespace r7u
