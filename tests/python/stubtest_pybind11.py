"""Runs mypy's stubtest with the signatures of pybind11 functions made visible to it.

pybind11 gives its functions no __text_signature__, only a first docstring line such as
"start_read_stream(self: pyvorn_device.Device, addr: int, ..., chunk_size: int = 0) -> ...", so
stubtest on its own would check that every name exists but no parameter. This driver reads that
line, so that parameter names, positional-only parameters (pybind11's arg0, arg1, ...) and default
values are compared with the stub as well. Arguments are stubtest's.
"""

import ast
import inspect
import re
import sys

import mypy.stubtest

_SIGNATURE = re.compile(r"^(?P<name>\w+)\((?P<params>.*)\) -> .+$")
_UNNAMED = re.compile(r"^arg\d+$")


def _split_top_level(text: str, separator: str) -> list[str]:
    parts, depth, start = [], 0, 0
    for index, char in enumerate(text):
        if char in "([":
            depth += 1
        elif char in ")]":
            depth -= 1
        elif depth == 0 and text.startswith(separator, index):
            parts.append(text[start:index])
            start = index + len(separator)
    parts.append(text[start:])
    return [part.strip() for part in parts if part.strip()]


def pybind11_signature(runtime: object) -> inspect.Signature | None:
    doc = getattr(runtime, "__doc__", None)
    match = _SIGNATURE.match(doc.splitlines()[0]) if isinstance(doc, str) and doc else None
    if match is None or match["name"] != getattr(runtime, "__name__", None):
        return None
    params = []
    for text in _split_top_level(match["params"], ","):
        name, _, rest = text.partition(":")
        default_parts = _split_top_level(rest, " = ")
        default = ast.literal_eval(default_parts[1]) if len(default_parts) > 1 else inspect._empty
        params.append((name.strip(), default))
    unnamed = [i for i, (name, _) in enumerate(params) if _UNNAMED.match(name)]
    last_positional_only = unnamed[-1] if unnamed else -1
    return inspect.Signature([
        inspect.Parameter(name, inspect.Parameter.POSITIONAL_ONLY if i <= last_positional_only
                          else inspect.Parameter.POSITIONAL_OR_KEYWORD, default=default)
        for i, (name, default) in enumerate(params)])


_stubtest_signature = mypy.stubtest.safe_inspect_signature


def signature(runtime: object) -> inspect.Signature | None:
    return _stubtest_signature(runtime) or pybind11_signature(runtime)


mypy.stubtest.safe_inspect_signature = signature
if __name__ == "__main__":
    sys.exit(mypy.stubtest.main())
