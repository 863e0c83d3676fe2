"""multidict: splitting one dictionary of value lists into several."""

import builtins

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tarvelpy._helpers as helpers
from tarvelpy._core import tupledict, tuplelist

from support import Boom, module_entries

multidict = helpers.multidict

FRAME = "tarvelpy._helpers.multidict"


def assert_fails_at(excinfo, line):
    assert module_entries(excinfo.value) == [(FRAME, line)]


def plain(result):
    """The result as plain data, checking the container types on the way."""
    assert type(result) is list
    assert type(result[0]) is tuplelist
    assert all(type(d) is tupledict for d in result[1:])
    return [list(result[0])] + [dict(d) for d in result[1:]]


def recording_tupledict(log):
    """A tupledict subclass that records every construction and method call."""
    class Recorded(tupledict):
        made = []

        def __init__(self, arg):
            log.append(("tupledict", arg))
            super().__init__(arg)
            Recorded.made.append(self)

        def keys(self, *args, **kwargs):
            log.append(("keys", args, kwargs))
            return super().keys()

        def values(self, *args, **kwargs):
            log.append(("values", args, kwargs))
            return super().values()

    return Recorded


class Values:
    """An iterable value whose iteration raises ``error``."""

    def __init__(self, error):
        self.error = error

    def __iter__(self):
        raise self.error


# ---------------------------------------------------------------- interface

DOC_LINES = [
    "",
    "  ROUTINE:",
    "    multidict(data)",
    "  PURPOSE:",
    "    Split a single dictionary into multiple dictionaries.",
    "  ARGUMENTS:",
    "    data: A dictionary that maps each key to a list of 'n' values.",
    "  RETURN VALUE:",
    "    A list of the shared keys, followed by individual tupledicts.",
    "  EXAMPLE:",
    "    (keys, dict1, dict2) = multidict( {",
    "             'key1': [1, 2],",
    "             'key2': [1, 3],",
    "             'key3': [1, 4] } )",
    "  ",
]


def test_docstring_is_exact():
    assert multidict.__doc__ == "\n".join(DOC_LINES)


def test_keyword_data_same_as_positional():
    data = {"a": [1, 2], "b": [3, 4]}
    assert plain(multidict(data=data)) == plain(multidict(data))
    assert plain(multidict(**{"data": data})) == plain(multidict(data))


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "multidict() takes exactly 1 positional argument (0 given)"),
    (({}, {}), {},
     "multidict() takes exactly 1 positional argument (2 given)"),
    (({},), {"data": {}},
     "multidict() got multiple values for keyword argument 'data'"),
    (({},), {"foo": 1, "bar": 2},
     "multidict() got an unexpected keyword argument 'foo'"),
])
def test_binding_errors_report_def_line(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        multidict(*args, **kwargs)
    assert str(excinfo.value) == message
    assert_fails_at(excinfo, 46)


# ------------------------------------------------------------------ results

@pytest.mark.parametrize("data, expected", [
    ({"key1": [1, 2], "key2": [1, 3], "key3": [1, 4]},
     [["key1", "key2", "key3"],
      {"key1": 1, "key2": 1, "key3": 1},
      {"key1": 2, "key2": 3, "key3": 4}]),
    ({"a": [1, 2, 3], "b": [4, 5]},
     [["a", "b"], {"a": 1, "b": 4}, {"a": 2, "b": 5}]),
    ({"a": [1, 2], "b": 3},
     [["a", "b"], {"a": [1, 2], "b": 3}]),
    ({"a": 1, "b": None},
     [["a", "b"], {"a": 1, "b": None}]),
    ({}, [[]]),
    ({"a": [], "b": [1]}, [["a", "b"]]),
    ({"k": [1, 2, 3]}, [["k"], {"k": 1}, {"k": 2}, {"k": 3}]),
    ({"a": "xy", "b": "zw"},
     [["a", "b"], {"a": "x", "b": "z"}, {"a": "y", "b": "w"}]),
    ({(1, 2): [5, 6], (3, 4): (7, 8)},
     [[(1, 2), (3, 4)], {(1, 2): 5, (3, 4): 7}, {(1, 2): 6, (3, 4): 8}]),
    ({"b": [1, 2], "a": [3, 4]},
     [["b", "a"], {"b": 1, "a": 3}, {"b": 2, "a": 4}]),
    ({"a": range(2), "b": iter("pq")},
     [["a", "b"], {"a": 0, "b": "p"}, {"a": 1, "b": "q"}]),
], ids=["docstring", "unequal", "one-scalar", "scalars", "empty",
        "empty-value", "one-key", "strings", "tuple-keys", "key-order",
        "other-iterables"])
def test_splits(data, expected):
    result = multidict(data)
    assert plain(result) == expected
    # Key order of every output follows the keys.
    assert [list(d) for d in result[1:]] == [expected[0]] * (len(result) - 1)


def test_scalar_values_return_the_dict_built_first(monkeypatch):
    log = []
    Recorded = recording_tupledict(log)
    monkeypatch.setattr(helpers, "tupledict", Recorded)
    data = {"a": 1, "b": 2}
    result = multidict(data)
    assert type(result) is list and len(result) == 2
    assert result[1] is Recorded.made[0]
    assert dict(result[1]) == data
    assert list(result[0]) == ["a", "b"]


def test_unsplit_list_value_is_the_same_object():
    value = [1, 2]
    result = multidict({"a": value, "b": 3})
    assert result[1]["a"] is value


def test_calls_and_arguments(monkeypatch):
    log = []
    Recorded = recording_tupledict(log)
    monkeypatch.setattr(helpers, "tupledict", Recorded)
    keys_made = []

    def recording_tuplelist(arg):
        log.append(("tuplelist", arg))
        keys_made.append(tuplelist(arg))
        return keys_made[-1]

    monkeypatch.setattr(helpers, "tuplelist", recording_tuplelist)
    data = {"a": [1, 2], "b": [3, 4]}
    result = multidict(data)

    names = [entry[0] for entry in log]
    assert names == ["tupledict", "keys", "tuplelist", "values",
                     "tupledict", "tupledict"]
    assert log[0][1] is data
    assert log[1] == ("keys", (), {})
    assert log[3] == ("values", (), {})
    d = Recorded.made[0]
    # tuplelist gets what keys() returned: a view of the first dict's keys.
    assert type(log[2][1]) is type({}.keys()) and list(log[2][1]) == ["a", "b"]
    # The output dicts are built from pair iterators, not from dicts.
    assert all(type(entry[1]) is zip for entry in log[4:])
    assert result[0] is keys_made[0]
    assert result[1:] == Recorded.made[1:]
    assert d not in result


def test_values_given_as_one_shot_iterator(monkeypatch):
    class OneShot(tupledict):
        def values(self):
            return iter(list(super().values()))

    monkeypatch.setattr(helpers, "tupledict", OneShot)
    result = multidict({"a": [1, 2], "b": [3, 4]})
    assert [dict(d) for d in result[1:]] == [{"a": 1, "b": 3},
                                             {"a": 2, "b": 4}]


def test_tupledict_looked_up_for_every_output(monkeypatch):
    class Second(tupledict):
        pass

    class First(tupledict):
        calls = 0

        def __init__(self, arg):
            super().__init__(arg)
            First.calls += 1
            if First.calls == 2:
                helpers.tupledict = Second

    monkeypatch.setattr(helpers, "tupledict", First)
    result = multidict({"a": [1, 2, 3]})
    assert [type(d) for d in result[1:]] == [First, Second, Second]


def test_builtin_zip_rebinding_ignored(monkeypatch):
    def broken_zip(*args):
        raise AssertionError("rebound zip was called")

    monkeypatch.setattr(builtins, "zip", broken_zip)
    monkeypatch.setattr(helpers, "zip", broken_zip, raising=False)
    result = multidict({"a": [1, 2], "b": [3, 4]})
    assert [dict(d) for d in result[1:]] == [{"a": 1, "b": 3},
                                             {"a": 2, "b": 4}]


def test_each_call_returns_a_new_list():
    data = {"a": [1]}
    assert multidict(data) is not multidict(data)


# ----------------------------------------------------------------- fallback

def test_type_error_while_iterating_a_value_falls_back(monkeypatch):
    log = []
    Recorded = recording_tupledict(log)
    monkeypatch.setattr(helpers, "tupledict", Recorded)
    bad = Values(TypeError("not today"))
    result = multidict({"a": [1, 2], "b": bad})
    assert len(result) == 2
    assert result[1] is Recorded.made[0]
    assert dict(result[1]) == {"a": [1, 2], "b": bad}


def test_type_error_from_output_constructor_discards_partial_outputs(
        monkeypatch):
    log = []
    Recorded = recording_tupledict(log)

    class FailsThird(Recorded):
        def __init__(self, arg):
            super().__init__(arg)
            if len(FailsThird.made) == 3:
                raise TypeError("third")

    monkeypatch.setattr(helpers, "tupledict", FailsThird)
    result = multidict({"a": [1, 2, 3]})
    assert len(result) == 2
    assert result[1] is FailsThird.made[0]


def test_type_error_subclass_falls_back(monkeypatch):
    class MyTypeError(TypeError):
        pass

    result = multidict({"a": Values(MyTypeError()), "b": [1]})
    assert len(result) == 2 and result[1]["b"] == [1]


# ----------------------------------------------------------------- failures

def test_missing_tupledict_fails_at_62(monkeypatch):
    monkeypatch.delattr(helpers, "tupledict")
    with pytest.raises(NameError) as excinfo:
        multidict({"a": [1]})
    assert str(excinfo.value) == "name 'tupledict' is not defined"
    assert_fails_at(excinfo, 62)


@pytest.mark.parametrize("data", [5, None, [1, 2]])
def test_refused_data_type_error_not_caught(data):
    with pytest.raises(TypeError) as excinfo:
        multidict(data)
    assert_fails_at(excinfo, 62)


@pytest.mark.parametrize("error", [TypeError("refused"), Boom("refused")])
def test_constructor_refusing_data_fails_at_62(error, monkeypatch):
    def refuse(arg):
        raise error

    monkeypatch.setattr(helpers, "tupledict", refuse)
    with pytest.raises(type(error)) as excinfo:
        multidict({"a": [1]})
    assert excinfo.value is error
    assert_fails_at(excinfo, 62)


def test_tupledict_found_among_builtins(monkeypatch):
    monkeypatch.delattr(helpers, "tupledict")
    monkeypatch.setattr(builtins, "tupledict", tupledict, raising=False)
    assert plain(multidict({"a": [1]})) == [["a"], {"a": 1}]


class NoKeys:
    def __init__(self, data):
        self.data = data


class KeysRaise(NoKeys):
    def keys(self):
        raise Boom("keys")


@pytest.mark.parametrize("cls, error", [(NoKeys, AttributeError),
                                        (KeysRaise, Boom)])
def test_keys_failure_fails_at_63(cls, error, monkeypatch):
    monkeypatch.setattr(helpers, "tupledict", cls)
    with pytest.raises(error) as excinfo:
        multidict({"a": [1]})
    assert_fails_at(excinfo, 63)


def test_missing_tuplelist_fails_at_64(monkeypatch):
    monkeypatch.delattr(helpers, "tuplelist")
    with pytest.raises(NameError) as excinfo:
        multidict({"a": [1]})
    assert str(excinfo.value) == "name 'tuplelist' is not defined"
    assert_fails_at(excinfo, 64)


def test_tuplelist_raising_fails_at_64(monkeypatch):
    error = TypeError("tuplelist refuses")

    def refuse(keys):
        raise error

    monkeypatch.setattr(helpers, "tuplelist", refuse)
    with pytest.raises(TypeError) as excinfo:
        multidict({"a": [1]})
    assert excinfo.value is error
    assert_fails_at(excinfo, 64)


@pytest.mark.parametrize("error", [ValueError("bad value"), Boom("b"),
                                   StopIteration()])
def test_value_iteration_error_fails_at_66(error):
    with pytest.raises(type(error)) as excinfo:
        multidict({"a": [1, 2], "b": Values(error)})
    assert excinfo.value is error
    assert_fails_at(excinfo, 66)


def test_value_iteration_error_midway_fails_at_66():
    def values():
        yield 1
        raise ValueError("midway")

    with pytest.raises(ValueError) as excinfo:
        multidict({"a": values(), "b": [1, 2]})
    assert_fails_at(excinfo, 66)


def test_missing_values_method_fails_at_66(monkeypatch):
    class KeysOnly(NoKeys):
        def keys(self):
            return ["a"]

    monkeypatch.setattr(helpers, "tupledict", KeysOnly)
    with pytest.raises(AttributeError) as excinfo:
        multidict({"a": [1]})
    assert_fails_at(excinfo, 66)


def test_values_raising_fails_at_66(monkeypatch):
    class BadValues(tupledict):
        def values(self):
            raise ValueError("values")

    monkeypatch.setattr(helpers, "tupledict", BadValues)
    with pytest.raises(ValueError) as excinfo:
        multidict({"a": [1]})
    assert_fails_at(excinfo, 66)


def test_tupledict_vanishing_in_loop_fails_at_66(monkeypatch):
    class Vanishing(tupledict):
        def __init__(self, arg):
            super().__init__(arg)
            del helpers.tupledict

    monkeypatch.setattr(helpers, "tupledict", Vanishing)
    with pytest.raises(NameError) as excinfo:
        multidict({"a": [1]})
    assert str(excinfo.value) == "name 'tupledict' is not defined"
    assert_fails_at(excinfo, 66)


def test_output_constructor_other_error_fails_at_66(monkeypatch):
    class FailsLater(tupledict):
        calls = 0

        def __init__(self, arg):
            FailsLater.calls += 1
            if FailsLater.calls == 2:
                raise Boom("second")
            super().__init__(arg)

    monkeypatch.setattr(helpers, "tupledict", FailsLater)
    with pytest.raises(Boom) as excinfo:
        multidict({"a": [1, 2]})
    assert_fails_at(excinfo, 66)


# --------------------------------------------------------------- properties

keys = st.one_of(st.integers(), st.text(max_size=3),
                 st.tuples(st.integers(0, 9), st.integers(0, 9)))


@given(st.integers(min_value=0, max_value=4).flatmap(
    lambda n: st.dictionaries(
        keys, st.lists(st.integers(), min_size=n, max_size=n), max_size=6)))
def test_equal_length_lists_round_trip(data):
    result = multidict(data)
    assert list(result[0]) == list(data)
    n = min((len(v) for v in data.values()), default=0)
    assert len(result) == n + 1
    rebuilt = {k: [d[k] for d in result[1:]] for k in result[0]}
    assert rebuilt == data
