// The folder layout of a ParameterDirectory, shared by its rooms: one folder
// per directory, one book file per book ("<name>.<ExtName>"), old book files
// set aside as "-" backups while a folder is rewritten; and the calls that
// touch it. Every call of the layout goes through the module-level `_os` /
// `_path`, looked up at each call, so a wrapper bound there sees each one.
#pragma once

#include "mapped.hpp"

namespace r7u {

// The ParameterDirectory class record (directory.cpp).
extern MappedClass g_directory_class;

// The directory's item map, by ordinary instance lookup.
inline Ref item_map(PyObject* dir) { return mapped_map(dir, g_directory_class); }

// `a + b`, as plain concatenation when both are exact str.
Ref cat(PyObject* a, PyObject* b);
Ref cat3(PyObject* a, PyObject* b, PyObject* c);

// `_os.<func>(a)` / `_os.<func>(a, b)` and the same on `_path`, with the
// module looked up at this very call.
Ref fs_call(PyObject* module_name, PyObject* func, PyObject* a, PyObject* b = nullptr);
// The truth of `_path.<func>(path)`: 1, 0, or -1 with an exception set.
int fs_test(PyObject* func, PyObject* path);
// `_path.<attr>`.
Ref path_attr(PyObject* attr);

// ParameterBook.ExtName, read afresh at each use.
Ref ext_name();
// True when the entry is a book file name: something, a ".", then `ext`. A
// bare "d7ori" is not one. 1, 0, or -1 (TypeError for an entry that is no
// str).
int is_book_file_name(PyObject* entry, PyObject* ext);

// The note of a tree saved where a file is.
R7U_COLD Ref not_a_folder(PyObject* path);

}  // namespace r7u
