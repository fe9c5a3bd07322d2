# SPDX-License-Identifier: MIT
"""The package as its users see it: every public function, class, method and
property says what it does."""

import inspect
import unittest

import capi_bridge
from capi_bridge import calls, client, emulator, messages


def public_members(module):
    """(name, object) for the functions and classes a module defines, and the
    methods and properties of those classes, leaving out _private ones."""
    for name, value in vars(module).items():
        if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        if inspect.isfunction(value):
            yield f"{module.__name__}.{name}", value
        elif inspect.isclass(value):
            yield f"{module.__name__}.{name}", value
            for member, attribute in vars(value).items():
                if not member.startswith("_") and (inspect.isfunction(attribute)
                                                   or isinstance(attribute, (property, classmethod))):
                    yield f"{module.__name__}.{name}.{member}", attribute


def documented(value):
    """Whether `value` has a docstring of its own: inspect.getdoc would take a
    base class's, and a dataclass without one gets its signature."""
    value = getattr(value, "__func__", value)
    doc = value.__doc__ or ""
    if inspect.isclass(value):
        return bool(doc.strip()) and not doc.startswith(value.__name__ + "(") and (
            doc is not getattr(value.__base__, "__doc__", None))
    return bool(doc.strip())


class PackageTest(unittest.TestCase):
    def test_every_public_function_has_a_docstring(self):
        missing = [name for module in (client, messages, calls, emulator)
                   for name, value in public_members(module) if not documented(value)]
        self.assertEqual(missing, [])

    def test_the_top_level_names_are_the_clients(self):
        for name in capi_bridge.__all__:
            self.assertTrue(hasattr(capi_bridge, name), name)
        self.assertIs(capi_bridge.Client, client.Client)


if __name__ == "__main__":
    unittest.main()
