// ParameterBook: its class namespace, and its text and checks as the tree
// save of a directory uses them.
#pragma once

#include "support.hpp"

namespace r7u {

// Fills the ParameterBook class namespace. 0 or -1.
int fill_book_namespace(PyObject* ns);
// The book text (the JSON array of the dictionary forms), as str(book)
// gives it with our own __str__; with utf8, its UTF-8 bytes when the native
// text can give them directly, and a text that is not a str fails as str()
// fails. *values_checked is set when writing the text made the check of
// check_book_values, and found nothing.
Ref book_text(PyObject* book, bool utf8 = false, bool* values_checked = nullptr);
// What a save writes of `made` (the text of `book`, or its UTF-8 bytes, or
// null with an exception set): `encoded` its UTF-8 bytes, `text` the str
// when there was one. A text that is not a str fails as str(book) fails.
// 0 or -1.
int book_text_utf8(PyObject* book, Ref made, Ref& text, Ref& encoded);
// A book whose descriptions or attributes hold None where loading would
// refuse it: -1 with the refusal of _clone_attribute(None) set and a note
// naming the parameter and the attribute; 0 otherwise.
int check_book_values(PyObject* book);

}  // namespace r7u
