// Inline attribute values, per interpreter version (see compat::inline_attr);
// the interpreter's internal layouts they read are in inline_layout.hpp.
#include "compat.hpp"
#include "inline_layout.hpp"

namespace r7u::compat {

#if R7U_INLINE_VALUES
namespace {

using layout::DictKeys;
using layout::kKeysSplit;
using layout::UnicodeEntry;

DictKeys* cached_keys(PyTypeObject* tp) {
    return reinterpret_cast<DictKeys*>(reinterpret_cast<PyHeapTypeObject*>(tp)->ht_cached_keys);
}
UnicodeEntry* entries(DictKeys* k) {
    return reinterpret_cast<UnicodeEntry*>(k->dk_indices + (std::size_t{1} << k->dk_log2_index_bytes));
}

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 the values follow the object header; `valid` drops when the
// instance moves its attributes to a dict of their own.
using layout::DictValues;
bool type_keeps_inline(PyTypeObject* tp) {
    return (tp->tp_flags & Py_TPFLAGS_INLINE_VALUES) && (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) &&
           tp->tp_basicsize == static_cast<Py_ssize_t>(sizeof(PyObject));
}
PyObject* const* inline_values(PyObject* self, Py_ssize_t index) {
    auto* v = reinterpret_cast<DictValues*>(reinterpret_cast<char*>(self) + sizeof(PyObject));
    if (!v->valid || index >= v->capacity) return nullptr;
    return v->values;
}
// Whether the instance's attributes are all in its inline values.
bool values_in_use(PyObject* self) {
    return reinterpret_cast<DictValues*>(reinterpret_cast<char*>(self) + sizeof(PyObject))->valid != 0;
}
#else
// 3.12: three words before the object hold either the instance dict or,
// tagged with the low bit, a pointer one byte before the values array. The
// array is sized for every key the shared keys can ever hold.
bool type_keeps_inline(PyTypeObject* tp) { return (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0; }
PyObject* const* inline_values(PyObject* self, Py_ssize_t) {
    const std::uintptr_t dorv = *(reinterpret_cast<std::uintptr_t*>(self) - layout::kDictOrValuesWordsBefore);
    if (!(dorv & 1)) return nullptr;
    return reinterpret_cast<PyObject* const*>(dorv + 1);
}
bool values_in_use(PyObject* self) { return inline_values(self, 0) != nullptr; }
#endif

// ---------------------------------------------------------------------------
// Per-name cache: where `name` sits for instances of exactly `type` while its
// version tag is `version`. The type is only compared, never dereferenced.
// ---------------------------------------------------------------------------
struct Slot {
    PyObject* name = nullptr;
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    Py_ssize_t index = -1;      // -1: no inline index (not yet, or never)
    Py_ssize_t nentries = -1;   // shared keys' fill when index was looked for; -1: never
    // The same whatever the class holds under that name, for inline_attr_absent.
    Py_ssize_t key_index = -1;
    Py_ssize_t key_nentries = -1;
};
constexpr int kSlots = 8;
// Process-wide: read on every private-map lookup, and this floor sees no
// module state; forget_inline_slots() empties it when the module goes.
Slot g_slots[kSlots];
int g_next = 0;

Slot& slot_for(PyObject* name) {
    for (Slot& s : g_slots)
        if (s.name == name) return s;
    Slot& s = g_slots[g_next];
    g_next = (g_next + 1) % kSlots;
    s = Slot{name};
    return s;
}

// Re-derives the slot for `tp`. A class the shortcut cannot serve is
// remembered too (index -1, nentries -1) so that its reads skip this work
// until the class changes.
void refill(Slot& s, PyTypeObject* tp) {
    s.type = nullptr;
    s.index = s.key_index = -1;
    s.nentries = s.key_nentries = -1;
    // Under another interpreter version no class is ever remembered, so
    // every read ends here, off the layouts.
    if (!g_same_version) return;
    // A class attribute of that name (a data descriptor above all) would
    // change what ordinary lookup finds: only a class without one qualifies.
    // The lookup also gives the class a version tag when it has none.
    const bool shadowed = type_lookup_borrowed(tp, s.name) != nullptr;
    const unsigned int version = type_version(tp);
    if (version == 0) return;
    s.type = tp;
    s.version = version;
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || !type_keeps_inline(tp)) return;
    DictKeys* keys = cached_keys(tp);
    if (!keys || keys->dk_kind != kKeysSplit) return;
    s.key_nentries = keys->dk_nentries;
    UnicodeEntry* e = entries(keys);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        PyObject* k = e[i].me_key;
        if (k == s.name || (k && PyUnicode_CheckExact(k) && str_equal(k, s.name))) {
            s.key_index = i;
            break;
        }
    }
    if (shadowed) return;
    s.nentries = s.key_nentries;
    s.index = s.key_index;
}

}  // namespace

bool inline_attr_absent(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    Slot& s = slot_for(name);
    if (s.type != tp || s.version != type_version(tp) ||
        (s.key_index < 0 && s.key_nentries >= 0 && cached_keys(tp)->dk_nentries != s.key_nentries)) {
        refill(s, tp);
    }
    if (s.key_index < 0) return s.key_nentries >= 0 && values_in_use(self);
    PyObject* const* values = inline_values(self, s.key_index);
    return values && !values[s.key_index];
}

PyObject* inline_attr(PyObject* self, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    Slot& s = slot_for(name);
    if (s.type != tp || s.version != type_version(tp)) {
        refill(s, tp);
    } else if (s.index < 0 && s.nentries >= 0 && cached_keys(tp)->dk_nentries != s.nentries) {
        // Usable class, but the name had no key yet: look again once keys were added.
        refill(s, tp);
    }
    if (s.index < 0) return nullptr;
    PyObject* const* values = inline_values(self, s.index);
    if (!values) return nullptr;
    PyObject* v = values[s.index];
    return v ? Py_NewRef(v) : nullptr;
}

void forget_inline_slots() {
    for (Slot& s : g_slots) s = Slot{};
    g_next = 0;
}

#else

PyObject* inline_attr(PyObject*, PyObject*) { return nullptr; }
bool inline_attr_absent(PyObject*, PyObject*) { return false; }
void forget_inline_slots() {}

#endif

}  // namespace r7u::compat
