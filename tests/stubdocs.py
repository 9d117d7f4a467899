"""Which members of a stub file lack an English docstring (shared by the stub and wheel tests)."""
import ast


def docstring_after(body, index):
    """The string literal that follows an assignment (an attribute docstring), or None."""
    if index + 1 < len(body):
        nxt = body[index + 1]
        if isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant) and isinstance(nxt.value.value, str):
            return nxt.value.value
    return None


def documented(text):
    """{qualified name: docstring or None} for the module, every class, every function (private
    ones too) and every public variable of a stub's source `text`."""
    tree = ast.parse(text)
    found = {"<module>": ast.get_docstring(tree)}

    def walk(body, prefix):
        for index, node in enumerate(body):
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                name = prefix + node.name
                # Overloads share a name: each must carry a docstring.
                while name in found:
                    name += "'"
                found[name] = ast.get_docstring(node)
                if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                    walk(node.body, name + ".")
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                if not node.target.id.startswith("_"):
                    found[prefix + node.target.id] = docstring_after(body, index)

    walk(tree.body, "")
    return found


def undocumented(text):
    """Names whose docstring is missing, empty, or not plain English text."""
    return sorted(name for name, doc in documented(text).items()
                  if not doc or not doc.strip() or not doc.isascii())
