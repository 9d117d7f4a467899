"""A non-str key for the module namespace that equals "_clone_attribute" and reads the module's names
from inside its comparison, in the middle of the dict store (imported by a child interpreter in
test_fast_paths)."""


class Key:
    def __init__(self, original):
        self.original = original

    def __hash__(self):
        return hash("_clone_attribute")

    def __eq__(self, other):
        self.original([0])
        return other == "_clone_attribute"
