// ParameterBook: its class namespace, its text and its file, as the tree
// save of a directory uses them.
#pragma once

#include <optional>

#include "platform.hpp"
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
// A book file written in steps, for a caller that writes many and flushes
// them together (the tree save): begin writes the text to the file's
// temporary file (or, where the platform says so, in place and whole),
// sync_book_files flushes the temporary files of many writes at once, and
// commit gives each the file's name (the folder's flush is the caller's) and
// lets go of its handles. Arguments as for write_book_file; the text stays
// referenced until the commit. A write dropped before its commit leaves no
// temporary file. begin and commit return 0, or -1 with an exception set
// (naming the file); begin with `may_wait` returns 1 instead, with nothing
// set, where the process or system is out of file handles (the caller
// commits the writes it holds, then begins again).
class BookFileWrite {
public:
    BookFileWrite() = default;
    BookFileWrite(const BookFileWrite&) = delete;
    BookFileWrite& operator=(const BookFileWrite&) = delete;

    int begin(PyObject* filename, PyObject* text, PyObject* encoded, bool may_wait);
    int commit();

private:
    friend size_t sync_book_files(BookFileWrite* writes, size_t n);
    Ref filename_, encoded_, raw_path_;
    std::optional<platform::Replacement> replacement_;
    bool pending_ = false;  // begun, not yet committed or failed
};
// Flushes the temporary files of the `n` writes (the GIL released) until one
// fails: `n`, or the index of the one that failed, with its error set.
size_t sync_book_files(BookFileWrite* writes, size_t n);
// True while ParameterBook as the module names it is our own class with our
// own save and __str__: then its save is write_book_file of book_text.
bool book_class_saves_natively(PyObject* cls);

}  // namespace r7u
