// Placeholder until the class is built.
#include "support.hpp"
namespace r7u {
int fill_parameter_namespace(PyObject*) { return 0; }
}  // namespace r7u
