// Every layout that src/inline_layout.hpp mirrors, compared with the
// interpreter's own internal headers. Built only by scripts/layout-check.sh
// (part of CI), once per supported version against that version's headers:
// a field that moved in a new release fails the build.
#define Py_BUILD_CORE 1
#include <Python.h>
// 3.12's atomics header includes <stdatomic.h>, which is C only; without it
// the header takes the compiler's builtins.
#undef HAVE_STD_ATOMIC
#include "internal/pycore_dict.h"
#include "internal/pycore_object.h"

#include "inline_layout.hpp"

#include <cstddef>

#if !R7U_INLINE_VALUES
#error "no mirrored layouts for this interpreter: the inline reads are compiled out"
#endif

using namespace r7u::layout;

#define SAME(ours, theirs, field)                                        \
    static_assert(offsetof(ours, field) == offsetof(theirs, field) &&    \
                      sizeof(ours::field) == sizeof(theirs::field),      \
                  #theirs "." #field " moved or changed its size")

SAME(DictKeys, PyDictKeysObject, dk_refcnt);
SAME(DictKeys, PyDictKeysObject, dk_log2_size);
SAME(DictKeys, PyDictKeysObject, dk_log2_index_bytes);
SAME(DictKeys, PyDictKeysObject, dk_kind);
SAME(DictKeys, PyDictKeysObject, dk_version);
SAME(DictKeys, PyDictKeysObject, dk_usable);
SAME(DictKeys, PyDictKeysObject, dk_nentries);
static_assert(offsetof(DictKeys, dk_indices) == offsetof(PyDictKeysObject, dk_indices), "dk_indices moved");
SAME(UnicodeEntry, PyDictUnicodeEntry, me_key);
SAME(UnicodeEntry, PyDictUnicodeEntry, me_value);
static_assert(sizeof(UnicodeEntry) == sizeof(PyDictUnicodeEntry), "PyDictUnicodeEntry changed its size");
static_assert(kKeysSplit == DICT_KEYS_SPLIT, "DICT_KEYS_SPLIT changed");
SAME(KeyEntry, PyDictKeyEntry, me_hash);
SAME(KeyEntry, PyDictKeyEntry, me_key);
SAME(KeyEntry, PyDictKeyEntry, me_value);
static_assert(sizeof(KeyEntry) == sizeof(PyDictKeyEntry), "PyDictKeyEntry changed its size");
static_assert(kKeysGeneral == DICT_KEYS_GENERAL, "DICT_KEYS_GENERAL changed");

#if PY_VERSION_HEX >= 0x030D0000
SAME(DictValues, PyDictValues, capacity);
SAME(DictValues, PyDictValues, size);
SAME(DictValues, PyDictValues, embedded);
SAME(DictValues, PyDictValues, valid);
SAME(DictValues, PyDictValues, values);
#else
// The slot itself is read through _PyObject_DictOrValuesPointer, a function;
// it is the word after the managed weak-reference list, one pointer wide.
static_assert(MANAGED_WEAKREF_OFFSET == -(kDictOrValuesWordsBefore + 1) * static_cast<Py_ssize_t>(sizeof(PyObject*)),
              "the managed dict slot moved");
static_assert(sizeof(PyDictOrValues) == sizeof(PyObject*), "PyDictOrValues changed its size");
#endif

int main() { return 0; }
