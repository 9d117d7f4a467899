// Native book decoder: builds the elements of a book text straight from the
// bytes of a book file, standing in for `json.loads` of the decoded text
// while the host's own json would run (book_decode_way, shortcuts.hpp,
// decides that).
#pragma once

#include "support.hpp"

#include <cstddef>

namespace r7u {

// Receives the elements of a book text in order: the "name" (an exact str)
// and the "description" and "attributes" maps (exact dicts of exact lists,
// dicts, str, int, float and bool, as json.loads makes them), each new and
// held by nothing else. It answers 1 to go on, 0 when the text must take
// the ordinary road instead, -1 with an exception set.
//
// The one call from this room up to the classes: book.cpp's take_form, which
// makes each form a parameter while the text is still being read, so that no
// list of forms is built. The decoder knows nothing of parameters; it hands
// each form up through this pointer and a context of the caller's.
using FormSink = int (*)(void* context, PyObject* name, PyObject* description, PyObject* attributes);

// Decodes the bytes of a book file (`data[size]` must be a NUL, which ends
// every scan) when they are a UTF-8 book text that json.loads would turn
// into a list of forms with exactly the keys "name", "description" and
// "attributes", a str and two objects, and the values json.loads would give
// for every number, string and container: true when done, every form handed
// to `sink`. False, with no exception set, for anything else (invalid or
// unusual text, null, NaN and the infinities, numbers that need the host's
// own reading, lone surrogates, duplicate keys, deep nesting, running out of
// memory, a sink that refuses or fails): the caller then decodes the text
// the ordinary way, which gives the host's own result or error.
bool decode_book_bytes(const char* data, std::size_t size, FormSink sink, void* context);

}  // namespace r7u
