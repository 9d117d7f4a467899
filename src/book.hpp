// ParameterBook: its class namespace, its text and its file, as the tree
// save of a directory uses them.
#pragma once

#include "support.hpp"

namespace r7u {

// Fills the ParameterBook class namespace. 0 or -1.
int fill_book_namespace(PyObject* ns);
// The book text (the JSON array of the dictionary forms), as str(book)
// gives it with our own __str__; with utf8, its UTF-8 bytes when the native
// text can give them directly, and a text that is not a str fails as str()
// fails.
Ref book_text(PyObject* book, bool utf8 = false);
// What a save writes of `made` (the text of `book`, or its UTF-8 bytes, or
// null with an exception set): `encoded` its UTF-8 bytes, `text` the str
// when there was one. A text that is not a str fails as str(book) fails.
// 0 or -1.
int book_text_utf8(PyObject* book, Ref made, Ref& text, Ref& encoded);
// A book whose descriptions or attributes hold None where loading would
// refuse it: -1 with the refusal of _clone_attribute(None) set and a note
// naming the parameter and the attribute; 0 otherwise.
int check_book_values(PyObject* book);
// Writes a book file through the platform's crash-safe writer (in place
// where it says so). `encoded` is `text` as UTF-8. sync_now false leaves the
// folder's flush to the caller. 0, or -1 with an exception set.
int write_book_file(PyObject* filename, PyObject* text, PyObject* encoded, bool sync_now = true);
// True while ParameterBook as the module names it is our own class with our
// own save and __str__: then its save is write_book_file of book_text.
bool book_class_saves_natively(PyObject* cls);

}  // namespace r7u
