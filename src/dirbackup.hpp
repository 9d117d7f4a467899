// The documented protocol of a tree save: backups, the items' own save,
// repairs.
#pragma once

#include "dirsnapshot.hpp"

namespace r7u {

// The backup step. Moves each book file of the folder to its backup name
// and returns the backup paths in listing order; `kept`, when given,
// receives the paths of book-named entries left in place. All or nothing:
// when a step fails, the files already moved go back first.
Ref backup_books(PyObject* directory, PyObject* kept);

// Saves the folder `top` (taken at `directory`) by the protocol: the folder
// made or its book files backed up (by the class's backup step, run without
// a call while it is ours), each item's own save, then the backups removed;
// a failed item save puts the folder right before its error goes on.
// 0 or -1.
int save_by_protocol(PyObject* directory, const Folder& top);

}  // namespace r7u
