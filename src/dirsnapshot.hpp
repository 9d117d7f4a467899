// The tree as a save sees it: taken once, checked, then used for every
// path. Each name is an exact-str copy of one that passed the checks, so no
// str subclass, second items() call or change made during the save (by a
// parameter's to_dict, say) can send a file elsewhere.
#pragma once

#include "dirlayout.hpp"

#include <memory>
#include <vector>

namespace r7u {

struct Folder;

struct Entry {
    Ref name;        // exact str
    Ref item;
    bool is_dir = false;
    Ref target;      // the sub-folder's or the book file's path
    Ref file_entry;  // the name of that entry inside the folder
    Ref text;        // books, native save: the book text and its UTF-8
    Ref encoded;
    std::unique_ptr<Folder> folder;  // sub-directories
};

struct Folder {
    Ref path;
    std::vector<Entry> entries;
    bool exists = false;  // native save: surveyed before anything changes
    Ref listing;          // ... and its entries then, as a list
};

// What the whole save needs to know once.
struct TreeRules {
    Ref sep, altsep;
    Ref dir_cls, book_cls;
    bool windows = false;   // the host's separator is a backslash
    // Every folder and item is plain for the native save: exact dict maps,
    // items of exactly the two classes, an exact str extension. Whether the
    // native save may stand in at all is the path's decision (tree_save_way).
    bool plain = true;
};

// Takes the folder of `dir` at `path`: names copied and checked, every book
// checked for values loading would refuse; sub-directories too when `deep`.
// 0 or -1.
int take_folder(PyObject* dir, PyObject* path, Folder& folder, TreeRules& rules, bool deep);

// What each folder holds before anything changes, for the native save:
// whether it exists (a path that is not a folder fails here), and its
// entries; a book file the host spells with other letter case is refused.
// 0 or -1.
int survey(Folder& folder, PyObject* sep);

}  // namespace r7u
