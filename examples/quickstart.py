"""The module in a few lines: parameters, a book, a tree, saved and loaded."""
import os
import tempfile

from r7u_razarozu import Parameter, ParameterBook, ParameterDirectory

# A parameter: named attribute values plus one description per locale.
speed = Parameter({"default": "Motor speed", "de_DE": "Motordrehzahl"}, value=3, lo=0, hi=10.5)
copy = speed.clone()          # a deep copy
copy.value = 4                # attribute syntax reaches the attribute map
print(speed.to_dict("speed"))
print(copy["value"], speed.get("value"), speed.get("missing", 0))

# A book: named parameters, stored as one JSON file.
motor = ParameterBook({"speed": speed}, values={"enabled": True})
motor.set_parameter_value("mode", "eco")

# A tree of books and folders.
tree = ParameterDirectory({"motor": motor, "ui": ParameterDirectory({"colours": ParameterBook(values={"theme": "dark"})})})

with tempfile.TemporaryDirectory() as folder:
    target = os.path.join(folder, "conf")
    tree.save(target)
    print(sorted(os.listdir(target)))
    loaded = ParameterDirectory.load(target)
    print(loaded["motor"])    # the book text
    colours = loaded["ui"]["colours"]          # an item: a book or a directory
    assert isinstance(colours, ParameterBook)  # tells the type checker which
    print(colours.get_parameter_value("theme"))
