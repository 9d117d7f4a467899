// The error idiom: exceptions worded as the interpreter words them, and
// notes added to the exception being raised.
#include "support.hpp"

#include <cstdarg>
#include <cstring>

namespace r7u {

R7U_COLD std::nullptr_t arg_type_error(const char* argname, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argname, expected, Py_TYPE(got)->tp_name);
    return nullptr;
}

R7U_COLD std::nullptr_t key_error(PyObject* key) {
    PyObject* type = st().b.KeyError ? st().b.KeyError : PyExc_KeyError;
    // Built as an instance so that a tuple key stays one argument.
    Ref exc = Ref::steal(PyObject_CallOneArg(type, key));
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

R7U_COLD std::nullptr_t assertion_error() {
    PyErr_SetNone(st().b.AssertionError ? st().b.AssertionError : PyExc_AssertionError);
    return nullptr;
}

R7U_COLD std::nullptr_t os_error(int err, PyObject* message, PyObject* filename) {
    Ref error = Ref::steal(PyObject_CallFunction(PyExc_OSError, "iOO", err, message, filename));
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

R7U_COLD std::nullptr_t os_error(int err, const char* message, PyObject* filename) {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    return text ? os_error(err, text.get(), filename) : nullptr;
}

R7U_COLD std::nullptr_t errno_error(int err, PyObject* filename) {
    Ref message = Ref::steal(PyUnicode_DecodeLocale(std::strerror(err), "surrogateescape"));
    return message ? os_error(err, message.get(), filename) : nullptr;
}

R7U_COLD Ref note_text(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref text = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    return text;
}

void add_error_note(PyObject* note) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    if (note) {
        Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note));
        if (!r) PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

bool error_has_note(const char* prefix) {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
    bool found = false;
    Ref dict = Ref::steal(PyObject_GenericGetDict(exc, nullptr));
    if (dict) {
        PyObject* notes = PyDict_GetItemString(dict.get(), "__notes__");
        if (notes && PyList_Check(notes)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes) && !found; ++i) {
                PyObject* n = PyList_GET_ITEM(notes, i);
                if (!PyUnicode_Check(n)) continue;
                const char* text = PyUnicode_AsUTF8(n);
                if (!text) {
                    PyErr_Clear();
                    continue;
                }
                found = std::strncmp(text, prefix, std::strlen(prefix)) == 0;
            }
        }
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
    return found;
}

}  // namespace r7u
