// The load of a ParameterDirectory from a folder tree.
#pragma once

#include "support.hpp"

namespace r7u {

// ParameterDirectory.load(directory): a new directory of the folder's
// sub-folders and book files. Every error leaving it says where: a book
// file's own note names it, anything else gets the folder's.
PyObject* load_directory(PyObject* directory);

}  // namespace r7u
