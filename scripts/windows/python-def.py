"""Writes a module-definition file of python312.dll's exports: every
function and data object that the given CPython headers declare with
PyAPI_FUNC or PyAPI_DATA (the DLL is built exporting exactly those). Data
objects are marked DATA, so only their __imp_ pointers can be linked.

    python python-def.py INCLUDE_DIR DLL_NAME > python312.def
"""
import pathlib
import re
import sys

include, dll = pathlib.Path(sys.argv[1]), sys.argv[2]
IDENT = re.compile(r"[A-Za-z_]\w*")
START = re.compile(r"\bPyAPI_(FUNC|DATA)\s*\(")
funcs, data = set(), set()
for header in sorted(include.rglob("*.h")):
    text = re.sub(r"/\*.*?\*/", " ", header.read_text(encoding="utf-8", errors="replace"), flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    for m in START.finditer(text):
        if text.lstrip().startswith("#", text.rfind("\n", 0, m.start()) + 1):
            continue  # the macros' own definitions
        depth, i = 1, m.end()
        while depth and i < len(text):  # skip the type in parentheses
            depth += {"(": 1, ")": -1}.get(text[i], 0)
            i += 1
        if m.group(1) == "FUNC":
            names = IDENT.findall(text[i:text.index("(", i)])
            if names:
                funcs.add(names[-1])
        else:
            rest = text[i:min(j for j in (text.find(c, i) for c in ";[=") if j >= 0)]
            pointer = re.search(r"\(\s*\*\s*(\w+)", rest)
            names = [pointer.group(1)] if pointer else IDENT.findall(rest)
            if names:
                data.add(names[-1])
funcs -= data
print(f"LIBRARY {dll}")
print("EXPORTS")
for name in sorted(funcs):
    print(f"    {name}")
for name in sorted(data):
    print(f"    {name} DATA")
