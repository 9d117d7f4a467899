// ParameterDirectory: its class namespace (the tree, its save and its load).
#pragma once

#include "support.hpp"

namespace r7u {

// Fills the ParameterDirectory class namespace. 0 or -1.
int fill_directory_namespace(PyObject* ns);

}  // namespace r7u
