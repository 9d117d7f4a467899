// The batched native tree save.
#pragma once

#include "dirsnapshot.hpp"

namespace r7u {

// Saves the tree `top` natively: each folder surveyed and each book's text
// made before anything on disk changes, then the book files written in
// batches (BookFileBatch), each folder's stale book files removed and its
// entries flushed once, after its books. Where a step fails, the books
// before it are in and the folders complete before it finished, as the
// documented protocol, one item after the other, leaves them. 0 or -1.
int save_natively(Folder& top, PyObject* sep);

}  // namespace r7u
