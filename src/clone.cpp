// Placeholder until cloning is built.
#include "support.hpp"
namespace r7u {
PyObject* make_clone_attribute() { Py_RETURN_NONE; }
Ref call_clone_attribute(PyObject* value) { return Ref::borrow(value); }
}  // namespace r7u
