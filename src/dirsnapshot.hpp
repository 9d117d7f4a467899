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
    bool values_unchecked = false;  // a book whose value check waits for its text
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
    // The native save checks each book's values while it writes its text:
    // take_folder leaves them to it (or to check_waiting_values).
    bool checks_with_text = false;
};

// Takes the folder of `dir` at `path`: names copied and checked, every book
// checked for values loading would refuse; sub-directories too when `deep`.
// 0 or -1.
int take_folder(PyObject* dir, PyObject* path, Folder& folder, TreeRules& rules, bool deep);

// The value checks take_folder left to the texts, for a save that makes no
// native texts after all: check_book_values of each such book, in order,
// with the note of its file. 0 or -1.
int check_waiting_values(const Folder& folder);

// What each folder holds before anything changes, for the native save:
// whether it exists (a path that is not a folder fails here), and its
// entries; a book file the host spells with other letter case is refused.
// 0 or -1.
int survey(Folder& folder, PyObject* sep);

}  // namespace r7u
