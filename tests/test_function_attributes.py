"""Python-facing attributes of the helpers' function objects.

Covers the fifteen module-level functions and the two per-call element
functions (of ``_apply_nlfunc`` and ``signpow``): introspection attributes
with their read, write and delete rules, method binding, pickling by
qualified name, repr, weak references and the function-object type itself.
"""

import copy
import gc
import inspect
import io
import pickle
import pydoc
import re
import sys
import types
import warnings
import weakref

import pytest

import tarvelpy._helpers as helpers
from tarvelpy._core import NLExpr, Var, _ExprTree, tupledict, tuplelist
from tarvelpy._matrixapi import MVar

from support import (
    HELPERS_FILE, UNARY, count_error, element_functions_of, run_child)

MODULE_NAME = "tarvelpy._helpers"
TYPE_NAME = "helpers_function"

UNARY_LINES = (93, 116, 139, 162, 186, 210, 234, 258, 282, 306, 330)

# key: (__name__, __qualname__, parameters, further locals, first line,
#       has a docstring)
INFO = {
    "quicksum": ("quicksum", "quicksum", ("list",), ("result", "term"), 12, True),
    "multidict": ("multidict", "multidict", ("data",),
                  ("d", "keys", "dicts", "v"), 46, True),
    "_apply_nlfunc": ("_apply_nlfunc", "_apply_nlfunc", ("arg", "nl_func"),
                      ("np", "tree_array", "map_nl_func", "root"), 72, False),
    **{name: (name, name, ("expr",), (), line, True)
       for name, line in zip(UNARY, UNARY_LINES)},
    "signpow": ("signpow", "signpow", ("base", "exponent"),
                ("np", "tree1_array", "tree2", "map_nl_func", "tree1", "root"),
                353, True),
    "apply_lambda": ("lambda", "_apply_nlfunc.<locals>.<lambda>", ("x",), (),
                     85, False),
    "signpow_lambda": ("lambda1", "signpow.<locals>.<lambda>", ("tree1",), (),
                       391, False),
}
MODULE_FUNCTIONS = tuple(k for k in INFO if not k.endswith("_lambda"))
ELEMENT_FUNCTIONS = ("apply_lambda", "signpow_lambda")
ALL_FUNCTIONS = MODULE_FUNCTIONS + ELEMENT_FUNCTIONS

# Attributes that a test may change on the process-wide module functions.
_RESTORED = ("__name__", "__qualname__", "__doc__", "__module__",
             "__annotations__", "__defaults__", "__kwdefaults__")


def make_element_function(kind):
    """A new element function, taken from the numpy.vectorize call that makes
    it on the matrix path of ``_apply_nlfunc`` or ``signpow``."""
    mvar = MVar.named("x", 2)
    if kind == "apply_lambda":
        (func,) = element_functions_of(
            lambda: helpers._apply_nlfunc(mvar, _ExprTree._from_sin))
    else:
        (func,) = element_functions_of(lambda: helpers.signpow(mvar, 2.0))
    return func


@pytest.fixture
def restore_module_functions():
    """Puts back every attribute a test may change on the module functions."""
    saved = {}
    for key in MODULE_FUNCTIONS:
        func = getattr(helpers, key)
        saved[key] = ({attr: getattr(func, attr) for attr in _RESTORED},
                      dict(func.__annotations__), dict(func.__dict__))
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for key, (attrs, annotations, instance_dict) in saved.items():
            func = getattr(helpers, key)
            for attr, value in attrs.items():
                setattr(func, attr, value)
            func.__annotations__.clear()
            func.__annotations__.update(annotations)
            func.__dict__.clear()
            func.__dict__.update(instance_dict)


@pytest.fixture(params=ALL_FUNCTIONS)
def key(request):
    return request.param


@pytest.fixture
def func(key, restore_module_functions):
    """The function object for ``key``: the module-level singleton (restored
    after the test) or a freshly made element function."""
    if key in ELEMENT_FUNCTIONS:
        return make_element_function(key)
    return getattr(helpers, key)


@pytest.fixture(params=MODULE_FUNCTIONS)
def module_func(request, restore_module_functions):
    return getattr(helpers, request.param)


def empty_call_error(key):
    """A pattern for the whole message of a call without arguments."""
    name, _, params, *_ = INFO[key]
    return f"^{re.escape(count_error(name, len(params), 0))}$"


# --- reading ----------------------------------------------------------------

def test_names_module_and_globals(key, func):
    name, qualname, *_ = INFO[key]
    assert func.__name__ == name
    assert func.func_name == name
    assert func.__qualname__ == qualname
    assert func.__module__ == MODULE_NAME
    assert func.__globals__ is vars(helpers)
    assert func.func_globals is vars(helpers)


def test_code_object(key, func):
    _, _, params, further, line, _ = INFO[key]
    code = func.__code__
    assert func.func_code is code
    assert func.__code__ is code
    assert isinstance(code, types.CodeType)
    assert code.co_argcount == len(params)
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_varnames == params + further
    assert code.co_firstlineno == line
    assert code.co_filename == HELPERS_FILE
    expected_name = "<lambda>" if key in ELEMENT_FUNCTIONS else key
    assert code.co_name == expected_name


# Defines `elements` in a child: the element functions of _apply_nlfunc and
# signpow, caught on their way into numpy.vectorize.
CHILD_ELEMENTS = """
import json
import numpy
import tarvelpy._helpers as h
from tarvelpy._matrixapi import MVar
elements = []
_real_vectorize = numpy.vectorize
numpy.vectorize = lambda f: elements.append(f) or _real_vectorize(f)
h._apply_nlfunc(MVar.named("m", 1), h._ExprTree._from_sin)
h.signpow(MVar.named("m", 1), 2.0)
numpy.vectorize = _real_vectorize
"""


def test_running_a_code_object_raises():
    """The code objects only describe the functions; a Python function made
    of one raises when called instead of running past empty instructions."""
    seen = run_child(CHILD_ELEMENTS + f"""
import types
outcomes = []
for func in [*(getattr(h, name) for name in {list(MODULE_FUNCTIONS)!r}), *elements]:
    code = func.__code__
    try:
        types.FunctionType(code, {{}})(*[[1, 2]] * code.co_argcount)
        outcomes.append(None)
    except Exception as exc:
        outcomes.append(type(exc).__name__)
print(json.dumps(outcomes))
""")
    assert len(seen) == len(ALL_FUNCTIONS)
    assert None not in seen


def test_closure_defaults_and_coroutine_marker(func):
    assert func.__closure__ is None
    assert func.func_closure is None
    assert func.__defaults__ is None
    assert func.func_defaults is None
    assert func.__kwdefaults__ is None
    assert func._is_coroutine is False
    assert func._is_coroutine is False
    assert not inspect.iscoroutinefunction(func)


def test_doc(key, func):
    name, _, params, _, _, has_doc = INFO[key]
    doc = func.__doc__
    assert func.func_doc is doc
    assert func.__doc__ is doc
    if not has_doc:
        assert doc is None
        assert inspect.getdoc(func) is None
        return
    assert isinstance(doc, str)
    assert doc.startswith("\n")
    assert "ROUTINE:" in doc
    assert f"{name}({', '.join(params)})" in doc
    assert inspect.getdoc(func) == inspect.cleandoc(doc)


def test_annotations_start_empty_and_stay_the_same_object(func):
    first = func.__annotations__
    assert type(first) is dict
    assert first == {}
    assert func.__annotations__ is first


def test_annotations_read_does_not_share_between_functions():
    assert helpers.sin.__annotations__ is not helpers.cos.__annotations__


# --- writing and deleting ---------------------------------------------------

@pytest.mark.parametrize("attr", ["__doc__", "func_doc"])
@pytest.mark.parametrize("value", [42, None, "new text", ["any", "object"]])
def test_doc_stores_any_object(func, attr, value):
    setattr(func, attr, value)
    assert func.__doc__ is value
    assert func.func_doc is value


@pytest.mark.parametrize("attr", ["__doc__", "func_doc"])
def test_doc_delete_stores_none(func, attr):
    func.__doc__ = "something"
    delattr(func, attr)
    assert func.__doc__ is None
    assert func.func_doc is None


class Text(str):
    pass


@pytest.mark.parametrize("attr", ["__name__", "func_name"])
@pytest.mark.parametrize("value", ["renamed", Text("renamed")])
def test_name_accepts_strings(func, attr, value):
    setattr(func, attr, value)
    assert func.__name__ is value
    assert func.func_name is value


@pytest.mark.parametrize("attr", ["__name__", "func_name"])
@pytest.mark.parametrize("value", [5, None, b"name", ("name",)])
def test_name_refuses_other_objects(key, func, attr, value):
    with pytest.raises(TypeError) as info:
        setattr(func, attr, value)
    assert str(info.value) == "__name__ must be set to a string object"
    assert func.__name__ == INFO[key][0]


@pytest.mark.parametrize("attr", ["__name__", "func_name"])
def test_name_cannot_be_deleted(key, func, attr):
    with pytest.raises(TypeError) as info:
        delattr(func, attr)
    assert str(info.value) == "__name__ must be set to a string object"
    assert func.__name__ == INFO[key][0]


@pytest.mark.parametrize("value", ["Other.name", Text("sub")])
def test_qualname_accepts_strings(func, value):
    func.__qualname__ = value
    assert func.__qualname__ is value


@pytest.mark.parametrize("value", [5, None, b"q"])
def test_qualname_refuses_other_objects(key, func, value):
    with pytest.raises(TypeError) as info:
        func.__qualname__ = value
    assert str(info.value) == "__qualname__ must be set to a string object"
    assert func.__qualname__ == INFO[key][1]


def test_qualname_cannot_be_deleted(key, func):
    with pytest.raises(TypeError) as info:
        del func.__qualname__
    assert str(info.value) == "__qualname__ must be set to a string object"
    assert func.__qualname__ == INFO[key][1]


@pytest.mark.parametrize("value", ["elsewhere", 7, None])
def test_module_stores_any_object(func, value):
    func.__module__ = value
    assert func.__module__ is value


def test_module_delete_reads_none(func):
    del func.__module__
    assert func.__module__ is None


def test_instance_dict_and_arbitrary_attributes(func):
    assert func.__dict__ == {}
    func.custom = 1
    assert func.custom == 1
    assert func.__dict__ == {"custom": 1}
    assert func.func_dict is func.__dict__
    replacement = {"other": 2}
    func.__dict__ = replacement
    assert func.__dict__ is replacement
    assert func.other == 2
    assert not hasattr(func, "custom")
    func.func_dict = {"third": 3}
    assert func.third == 3
    del func.third
    assert func.__dict__ == {}
    with pytest.raises(TypeError):
        func.__dict__ = 5
    with pytest.raises(TypeError):
        del func.__dict__


@pytest.mark.parametrize("attr", [
    "__globals__", "func_globals", "__closure__", "func_closure",
    "__code__", "func_code", "_is_coroutine",
])
def test_read_only_attributes(func, attr):
    before = getattr(func, attr)
    with pytest.raises(AttributeError):
        setattr(func, attr, before)
    with pytest.raises(AttributeError):
        setattr(func, attr, None)
    with pytest.raises(AttributeError):
        delattr(func, attr)
    assert getattr(func, attr) is before
    assert attr not in func.__dict__


DEFAULTS_CASES = [
    # attribute, its canonical name, an accepted value, refused values,
    # the error text
    ("__defaults__", "__defaults__", (1,), ([1], {}, "abc", 1),
     "__defaults__ must be set to a tuple object"),
    ("func_defaults", "__defaults__", (1,), ([1], {}, "abc", 1),
     "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", "__kwdefaults__", {"expr": 1},
     ([("expr", 1)], (), "abc", 1),
     "__kwdefaults__ must be set to a dict object"),
]


def defaults_warning(canonical):
    return (f"changes to {TYPE_NAME}.{canonical} will not currently affect "
            "the values used in function calls")


@pytest.mark.parametrize("attr, canonical, good, bad, error", DEFAULTS_CASES)
def test_defaults_assignment_warns_and_is_read_back(
        key, func, attr, canonical, good, bad, error):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        setattr(func, attr, good)
    assert [w.category for w in caught] == [RuntimeWarning]
    assert str(caught[0].message) == defaults_warning(canonical)
    # Stack level 1: the warning points at the code doing the assignment.
    assert caught[0].filename == __file__
    assert getattr(func, canonical) is good
    assert getattr(func, attr) is good
    # The stored values are not used by calls: an empty call still fails.
    with pytest.raises(TypeError, match=empty_call_error(key)):
        func()


@pytest.mark.parametrize("attr, canonical, good, bad, error", DEFAULTS_CASES)
def test_defaults_none_and_delete_warn_and_store_none(
        func, attr, canonical, good, bad, error):
    for change in (lambda: setattr(func, attr, None),
                   lambda: delattr(func, attr)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            setattr(func, attr, good)
        with pytest.warns(RuntimeWarning) as caught:
            change()
        assert len(caught) == 1
        assert str(caught[0].message) == defaults_warning(canonical)
        assert getattr(func, canonical) is None


@pytest.mark.parametrize("attr, canonical, good, bad, error", DEFAULTS_CASES)
def test_defaults_refuse_other_types_without_warning(
        func, attr, canonical, good, bad, error):
    for value in bad:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(TypeError) as info:
                setattr(func, attr, value)
        assert str(info.value) == error
        assert caught == []
        assert getattr(func, canonical) is None


@pytest.mark.parametrize("attr, canonical, good, bad, error", DEFAULTS_CASES)
def test_defaults_unchanged_when_warning_is_an_error(
        func, attr, canonical, good, bad, error):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        setattr(func, attr, good)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        other = (2,) if canonical == "__defaults__" else {"x": 2}
        for change in (lambda: setattr(func, attr, other),
                       lambda: setattr(func, attr, None),
                       lambda: delattr(func, attr)):
            with pytest.raises(RuntimeWarning) as info:
                change()
            assert str(info.value) == defaults_warning(canonical)
            assert getattr(func, canonical) is good


def test_defaults_do_not_change_binding_of_a_working_call(restore_module_functions):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        helpers.signpow.__defaults__ = (3.0,)
        helpers.signpow.__kwdefaults__ = {"exponent": 3.0}
    with pytest.raises(TypeError, match=r"\(1 given\)"):
        helpers.signpow(Var("x"))
    result = helpers.signpow(Var("x"), 2.0)
    assert repr(result) == "<NLExpr: signpow(x, 2.0)>"


def test_annotations_accept_a_dict(func):
    mine = {"return": int}
    func.__annotations__ = mine
    assert func.__annotations__ is mine
    assert func.__annotations__ is mine


@pytest.mark.parametrize("how", ["assign None", "delete"])
def test_annotations_dropped_then_remade_empty(func, how):
    old = {"x": int}
    func.__annotations__ = old
    if how == "delete":
        del func.__annotations__
    else:
        func.__annotations__ = None
    new = func.__annotations__
    assert new == {}
    assert new is not old
    assert func.__annotations__ is new


@pytest.mark.parametrize("value", [[], (), "x", 0,
                                   types.MappingProxyType({})])
def test_annotations_refuse_non_dicts(func, value):
    before = func.__annotations__
    with pytest.raises(TypeError) as info:
        func.__annotations__ = value
    assert str(info.value) == "__annotations__ must be set to a dict object"
    assert func.__annotations__ is before


# --- descriptor behaviour ---------------------------------------------------

def test_get_binds_through_an_instance(func):
    class Owner:
        pass

    owner = Owner()
    bound = func.__get__(owner, Owner)
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is owner
    assert bound.__func__ is func
    unowned = func.__get__(owner)
    assert unowned.__self__ is owner and unowned.__func__ is func


def test_get_without_instance_is_the_function(func):
    class Owner:
        attr = func

    assert func.__get__(None, Owner) is func
    assert Owner.attr is func
    assert Owner.__dict__["attr"] is func


def test_multidict_as_method_receives_the_instance_as_data():
    class Table(dict):
        split = helpers.multidict

    table = Table(a=[1, 2], b=[3, 4])
    keys, first, second = table.split()
    assert type(keys) is tuplelist and list(keys) == ["a", "b"]
    assert type(first) is tupledict and first == {"a": 1, "b": 3}
    assert second == {"a": 2, "b": 4}
    assert Table.split is helpers.multidict
    assert str(inspect.signature(table.split)) == "()"


def test_signpow_as_method_receives_the_instance_as_base():
    class MyVar(Var):
        __slots__ = ()
        power = helpers.signpow

    x = MyVar("x")
    assert repr(x.power(2.0)) == "<NLExpr: signpow(x, 2.0)>"
    assert repr(x.power(exponent=3)) == "<NLExpr: signpow(x, 3.0)>"
    assert str(inspect.signature(x.power)) == "(exponent)"


@pytest.mark.parametrize("name", UNARY)
def test_unary_function_as_method(name):
    class MyVar(Var):
        __slots__ = ()
        apply = getattr(helpers, name)

    assert repr(MyVar("y").apply()) == f"<NLExpr: {name}(y)>"


@pytest.mark.parametrize("kind", ELEMENT_FUNCTIONS)
def test_element_function_as_method(kind):
    lam = make_element_function(kind)

    class Leaf(_ExprTree):
        pass

    Leaf.apply = lam
    leaf = Leaf("constant", value=1.5)
    result = leaf.apply()
    assert type(result) is NLExpr
    assert result.tree.children[0] is leaf
    expected = "sin(1.5)" if kind == "apply_lambda" else "signpow(1.5, 2.0)"
    assert repr(result.tree) == expected


# --- __reduce__ and pickling ------------------------------------------------

def test_reduce_returns_qualname(key, func):
    assert func.__reduce__() == INFO[key][1]
    assert func.__reduce__(1, "two", None) == INFO[key][1]
    func.__qualname__ = "renamed"
    assert func.__reduce__() == "renamed"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trips_to_the_same_object(module_func, protocol):
    data = pickle.dumps(module_func, protocol)
    assert pickle.loads(data) is module_func


def test_copy_returns_the_same_object(module_func):
    assert copy.copy(module_func) is module_func
    assert copy.deepcopy(module_func) is module_func


@pytest.mark.parametrize("qualname", ["quicksum", "no_such_function"])
def test_pickle_follows_qualname(restore_module_functions, qualname):
    # Pickled by reference to the name in __qualname__: a name bound to
    # another object, or to nothing, cannot stand for multidict.
    helpers.multidict.__qualname__ = qualname
    with pytest.raises(pickle.PicklingError) as info:
        pickle.dumps(helpers.multidict)
    # 3.13's pickle words it "attribute lookup NAME on MODULE failed".
    assert re.search(f"{MODULE_NAME}.{qualname}|{qualname} on {MODULE_NAME}", str(info.value))


# What pickle raises for a local function, the module's or Python's own.
LOCAL_OBJECT_PICKLING_ERROR = pickle.PicklingError if sys.version_info >= (3, 14) else AttributeError


@pytest.mark.parametrize("kind", ELEMENT_FUNCTIONS)
@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_pickling_an_element_function_fails(kind, protocol):
    lam = make_element_function(kind)
    with pytest.raises(LOCAL_OBJECT_PICKLING_ERROR) as info:
        pickle.dumps(lam, protocol)
    assert "local object" in str(info.value)
    assert INFO[kind][1] in str(info.value)


# --- repr, weak references, identity ----------------------------------------

def test_repr(key, func):
    expected = f"<{TYPE_NAME} {INFO[key][1]} at {hex(id(func))}>"
    assert repr(func) == expected
    assert str(func) == expected


def test_repr_follows_qualname_not_name(func):
    func.__name__ = "ignored_name"
    assert "ignored_name" not in repr(func)
    func.__qualname__ = "Shown.qualname"
    assert repr(func) == f"<{TYPE_NAME} Shown.qualname at {hex(id(func))}>"


def test_repr_of_multidict_layout():
    text = repr(helpers.multidict)
    match = re.fullmatch(r"<(\S+) multidict at (0x[0-9a-f]+)>", text)
    assert match is not None
    assert match.group(1) == TYPE_NAME
    assert int(match.group(2), 16) == id(helpers.multidict)


def test_weak_reference(func):
    ref = weakref.ref(func)
    assert ref() is func
    proxy = weakref.proxy(func)
    assert proxy.__name__ == func.__name__


@pytest.mark.parametrize("kind", ELEMENT_FUNCTIONS)
def test_weak_reference_dies_with_element_function(kind):
    lam = make_element_function(kind)
    ref = weakref.ref(lam)
    del lam
    gc.collect()
    assert ref() is None


def test_identity_comparison_and_hash():
    assert helpers.sin == helpers.sin
    assert helpers.sin != helpers.cos
    assert hash(helpers.sin) == object.__hash__(helpers.sin)


# --- the function-object type -----------------------------------------------

def test_all_functions_share_one_type(func):
    ftype = type(func)
    assert ftype is type(helpers.quicksum)
    assert ftype.__name__ == TYPE_NAME
    assert ftype.__qualname__ == TYPE_NAME
    assert ftype is not types.FunctionType
    assert ftype is not types.BuiltinFunctionType
    assert "helpers_function" not in vars(helpers)


def test_type_cannot_be_instantiated():
    ftype = type(helpers.quicksum)
    with pytest.raises(TypeError):
        ftype()
    with pytest.raises(TypeError):
        ftype("quicksum")


def test_type_can_be_subclassed_but_not_instantiated():
    ftype = type(helpers.quicksum)

    class Sub(ftype):
        pass

    assert issubclass(Sub, ftype)
    with pytest.raises(TypeError):
        Sub()


def test_type_is_immutable():
    ftype = type(helpers.quicksum)
    with pytest.raises(TypeError):
        ftype.extra = 1
    assert not hasattr(ftype, "extra")


def test_cleared_objects_stay_readable():
    """The type's clear function, called as the garbage collector calls it
    on a cycle, leaves a module function and an element function that can
    still be read and called: names empty, the code object kept."""
    seen = run_child(CHILD_ELEMENTS + """
import ctypes, gc
from tarvelpy._core import NLExpr

ftype = type(h.quicksum)

class TypeHead(ctypes.Structure):
    # PyTypeObject up to tp_clear.
    _fields_ = [("head", ctypes.c_void_p * 3), ("tp_name", ctypes.c_char_p),
                ("slots", ctypes.c_void_p * 17), ("tp_flags", ctypes.c_ulong),
                ("tp_doc", ctypes.c_char_p), ("tp_traverse", ctypes.c_void_p),
                ("tp_clear", ctypes.c_void_p)]

head = TypeHead.from_address(id(ftype))
assert head.tp_name.decode() == f"{ftype.__module__}.{ftype.__qualname__}"
assert head.tp_flags == ftype.__flags__
tp_clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(head.tp_clear)

tree = NLExpr._coerce_to_exprtree(1.0)
report = []
for func, args in [(h.multidict, ({"a": [1]},)),
                   (elements[0], (tree,)), (elements[1], (tree,))]:
    code = func.__code__
    assert tp_clear(func) == 0
    for attr in dir(func):
        getattr(func, attr)
    try:
        func(*args)
    except Exception:
        pass
    report.append({
        "names": [func.__name__, func.func_name, func.__qualname__],
        "code kept": func.__code__ is code,
        "repr": repr(func) == f"<helpers_function  at {hex(id(func))}>",
        "reduce": func.__reduce__(),
    })
del func, elements
gc.collect()
print(json.dumps(report))
""")
    assert seen == [{"names": ["", "", ""], "code kept": True, "repr": True,
                     "reduce": ""}] * 3


# --- standard-library introspection -----------------------------------------

SIGNATURES = {
    "quicksum": "(list)", "multidict": "(data)",
    "_apply_nlfunc": "(arg, nl_func)", "signpow": "(base, exponent)",
    "apply_lambda": "(x)", "signpow_lambda": "(tree1)",
    **{name: "(expr)" for name in UNARY},
}


def test_signature(key, func):
    signature = inspect.signature(func)
    assert str(signature) == SIGNATURES[key]
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty
        assert parameter.annotation is inspect.Parameter.empty


def test_signature_follows_annotations(key, func):
    first = INFO[key][2][0]
    func.__annotations__ = {first: int, "return": str}
    signature = inspect.signature(func)
    assert signature.parameters[first].annotation is int
    assert signature.return_annotation is str


def test_inspect_classification(func):
    assert callable(func)
    assert inspect.isroutine(func)
    assert not inspect.isfunction(func)
    assert not inspect.isbuiltin(func)


def test_help_shows_signature_and_docstring(key, func):
    out = io.StringIO()
    pydoc.Helper(output=out).help(func)
    text = out.getvalue()
    name = INFO[key][0]
    assert f"{name}{SIGNATURES[key]}" in text
    if func.__doc__ is not None:
        for line in inspect.cleandoc(func.__doc__).splitlines():
            if line.strip():
                assert line in text


def test_render_doc_follows_docstring_changes(func):
    func.__doc__ = "A replaced docstring."
    text = pydoc.render_doc(func, renderer=pydoc.plaintext)
    assert "A replaced docstring." in text
