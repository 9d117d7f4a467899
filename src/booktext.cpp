// Placeholder until the native book text is built.
#include "support.hpp"
namespace r7u {
int capture_json(PyObject*) { return 0; }
int native_book_text(PyObject*, PyObject*, PyObject**) { return 0; }
}  // namespace r7u
