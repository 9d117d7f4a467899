"""The module's behaviour written as small pure-Python classes, the comparison point of the benchmark.

Same algorithms as the extension (routing, copies, sorted book text, crash-safe book files), in the
most direct Python; only what the benchmark reaches is here.
"""
import json as _json
import os as _os
import os.path as _path


def _clone_attribute(attr):
    if isinstance(attr, (int, float, str)):
        return attr
    if isinstance(attr, complex):
        return complex(attr.real, attr.imag)
    if isinstance(attr, list):
        return [_clone_attribute(v) for v in attr]
    if isinstance(attr, dict):
        return {_clone_attribute(k): _clone_attribute(v) for k, v in attr.items()}
    raise TypeError(f"Error: Unsupported attribute type: {type(attr)}")


class Parameter:
    def __init__(self, description="", **kwargs):
        assert isinstance(description, (str, dict))
        if isinstance(description, str):
            self.__description = {"default": description}
        else:
            if description:
                assert "default" in description
            self.__description = _clone_attribute(description)
        self.__attributes = {}
        for k, v in kwargs.items():
            assert isinstance(k, str)
            self.__attributes[k] = _clone_attribute(v)

    def __getattr__(self, item):
        return self.__attributes[item]

    def __setattr__(self, key, value):
        prefix = f"_{self.__class__.__name__}__"
        if key in (prefix + "attributes", prefix + "description", "description"):
            super().__setattr__(key, value)
        else:
            self.__attributes[key] = value

    def __getitem__(self, item):
        return self.__attributes[item]

    def __setitem__(self, key, value):
        assert isinstance(key, str)
        self.__attributes[key] = value

    def get(self, name, default=None, raise_if_none=False):
        if type(name) is not str:
            raise TypeError("name")
        if name in self.__attributes:
            return self.__attributes[name]
        if default is not None:
            return default
        if raise_if_none:
            raise KeyError(name)
        return None

    def get_or_set(self, name, value):
        if type(name) is not str:
            raise TypeError("name")
        if name in self.__attributes:
            return self.__attributes[name]
        self.__attributes[name] = value
        return value

    def to_dict(self, name):
        return {"name": name, "description": self.__description, "attributes": self.__attributes}

    @staticmethod
    def from_dict(data):
        return data["name"], Parameter(data["description"], **data["attributes"])


def _write_durable(filename, data):
    tmp = filename + ".tmp"
    fd = _os.open(tmp, _os.O_WRONLY | _os.O_CREAT | _os.O_TRUNC, 0o644)
    try:
        _os.write(fd, data)
        _os.fsync(fd)
    finally:
        _os.close(fd)
    _os.replace(tmp, filename)


class ParameterBook:
    def __init__(self, parameters=None):
        self.__parameters = {}
        if parameters is not None:
            for name, p in parameters.items():
                self.__parameters[name] = p

    def __getitem__(self, item):
        return self.__parameters[item]

    def names(self):
        return self.__parameters.keys()

    def items(self):
        return self.__parameters.items()

    def __str__(self):
        forms = [self.__parameters[n].to_dict(n) for n in sorted(self.__parameters)]
        return _json.dumps(forms, indent=4, ensure_ascii=False)

    def save(self, filename):
        if not filename.endswith("d7ori"):
            filename += ".d7ori"
        _write_durable(filename, str(self).encode("utf-8"))

    @staticmethod
    def load(filename):
        with open(filename, "r", encoding="utf8") as f:
            data = _json.loads(f.read())
        book = ParameterBook()
        for element in data:
            name, p = Parameter.from_dict(element)
            book._ParameterBook__parameters[name] = p
        return book


class ParameterDirectory:
    def __init__(self, items=None):
        self.__parameters = dict(items or {})

    def items(self):
        return self.__parameters.items()

    def save(self, folder):
        _os.makedirs(folder, exist_ok=True)
        for name, item in self.__parameters.items():
            item.save(_path.join(folder, name))
        fd = _os.open(folder, _os.O_RDONLY)
        try:
            _os.fsync(fd)
        finally:
            _os.close(fd)

    @staticmethod
    def load(folder):
        d = ParameterDirectory()
        for entry in _os.listdir(folder):
            full = _path.join(folder, entry)
            if _path.isdir(full):
                d._ParameterDirectory__parameters[entry] = ParameterDirectory.load(full)
            elif entry.endswith(".d7ori"):
                d._ParameterDirectory__parameters[entry[:-6]] = ParameterBook.load(full)
        return d


def twin_of(obj):
    """The pure-Python copy of one of the module's objects."""
    import r7u_razarozu as m
    if isinstance(obj, m.Parameter):
        return Parameter(obj._Parameter__description, **dict(obj.items()))
    if isinstance(obj, m.ParameterBook):
        return ParameterBook({n: twin_of(p) for n, p in obj.items()})
    return ParameterDirectory({n: twin_of(i) for n, i in obj.items()})
