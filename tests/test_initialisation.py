"""Initialisation of tarvelpy._helpers and the contents of its namespace.

Everything that happens once per process (the first import, a failed import,
a second interpreter) runs in a fresh interpreter: the child prints a JSON
record of what it saw and the test asserts on that record.
"""

import builtins
import json
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
import warnings

import pytest

import tarvelpy._core as core
import tarvelpy._helpers as helpers
import tarvelpy._matrixapi as matrixapi

from elffile import ElfFile
from support import (
    HELPERS_FILE, UNARY, capture_element_functions, module_entries, run_child)

INIT_FRAME = "init tarvelpy._helpers"

CORE_NAMES = ("Var", "LinExpr", "QuadExpr", "NLExpr", "_ExprTree",
              "tupledict", "tuplelist")
MATRIX_NAMES = ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr")
FUNCTION_NAMES = ("quicksum", "multidict", "_apply_nlfunc", *UNARY,
                  "signpow")

# name -> (parameters and further locals, argument count, def line)
CODE_TABLE = {
    "quicksum": (("list", "result", "term"), 1, 12),
    "multidict": (("data", "d", "keys", "dicts", "v"), 1, 46),
    "_apply_nlfunc": (("arg", "nl_func", "np", "tree_array", "map_nl_func",
                       "root"), 2, 72),
    **{name: (("expr",), 1, line) for name, line in zip(
        UNARY, (93, 116, 139, 162, 186, 210, 234, 258, 282, 306, 330))},
    "signpow": (("base", "exponent", "np", "tree1_array", "tree2",
                 "map_nl_func", "tree1", "root"), 2, 353),
}


# ---------------------------------------------------------------------------
# Namespace after import


def test_module_registered_under_its_name():
    assert sys.modules["tarvelpy._helpers"] is helpers
    assert helpers.__name__ == "tarvelpy._helpers"


def test_module_doc_and_test_dict():
    assert helpers.__doc__ is None
    assert type(helpers.__test__) is dict
    assert helpers.__test__ == {}


def test_warnings_and_builtins_bound():
    assert helpers.__dict__["warnings"] is warnings
    assert helpers.__dict__["__builtins__"] is builtins


@pytest.mark.parametrize("name", CORE_NAMES)
def test_core_class_bound(name):
    assert helpers.__dict__[name] is getattr(core, name)


@pytest.mark.parametrize("name", MATRIX_NAMES)
def test_matrix_class_bound(name):
    assert helpers.__dict__[name] is getattr(matrixapi, name)


def test_spec_attributes_copied():
    spec = helpers.__spec__
    assert helpers.__loader__ is spec.loader
    assert helpers.__file__ == spec.origin
    assert helpers.__package__ == "tarvelpy"
    # An extension module is no package: no search locations to copy.
    assert not hasattr(helpers, "__path__")


def test_namespace_order_in_fresh_process():
    # Checked in a fresh interpreter: other tests rebind names in this one.
    names = run_child("""
        import json
        import tarvelpy._helpers as h
        print(json.dumps(list(h.__dict__)))
    """)
    ours = [n for n in names if not n.startswith("__") or n == "__test__"]
    assert ours == ["warnings", *CORE_NAMES, *MATRIX_NAMES,
                    *FUNCTION_NAMES, "__test__"]
    assert "__builtins__" in names


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_objects_share_one_type(name):
    func = getattr(helpers, name)
    assert type(func) is type(helpers.quicksum)
    assert func.__module__ == "tarvelpy._helpers"
    assert func.__qualname__ == name
    assert func.__globals__ is helpers.__dict__


# ---------------------------------------------------------------------------
# Code objects


def check_code(code, name, varnames, argcount, firstline):
    assert code.co_name == name
    assert code.co_qualname == name
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_argcount == argcount
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_flags == 3
    assert code.co_firstlineno == firstline
    assert code.co_filename == HELPERS_FILE
    assert code.co_consts == ()
    assert code.co_names == ()
    assert code.co_freevars == ()
    assert code.co_cellvars == ()
    assert code.co_exceptiontable == b""


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_code_object(name):
    varnames, argcount, firstline = CODE_TABLE[name]
    check_code(getattr(helpers, name).__code__, name, varnames, argcount,
               firstline)


def test_code_object_spot_values():
    assert helpers.quicksum.__code__.co_varnames == ("list", "result", "term")
    assert helpers.signpow.__code__.co_argcount == 2
    assert helpers._apply_nlfunc.__doc__ is None


def test_element_function_code_objects():
    apply_element, signpow_element = capture_element_functions(
        matrixapi.MVar.named("x", 2))
    check_code(apply_element.__code__, "<lambda>", ("x",), 1, 85)
    check_code(signpow_element.__code__, "<lambda>", ("tree1",), 1, 391)
    assert apply_element.__qualname__ == "_apply_nlfunc.<locals>.<lambda>"
    assert signpow_element.__qualname__ == "signpow.<locals>.<lambda>"
    assert apply_element.__name__ == "lambda"
    assert signpow_element.__name__ == "lambda1"
    assert type(apply_element) is type(helpers.quicksum)
    assert type(signpow_element) is type(helpers.quicksum)
    assert apply_element.__globals__ is helpers.__dict__


def test_code_objects_are_made_once():
    # Code objects belong to the module: every element function of the same
    # kind shares one.
    first = capture_element_functions(matrixapi.MVar.named("x", 2))
    second = capture_element_functions(matrixapi.MVar.named("x", 2))
    assert first[0] is not second[0]
    assert first[0].__code__ is second[0].__code__
    assert first[1].__code__ is second[1].__code__


# ---------------------------------------------------------------------------
# Module-namespace lookup


class Recorder:
    """A stand-in class that records its construction."""

    made = 0

    def __init__(self, *args):
        type(self).made += 1
        self.args = args

    def __iadd__(self, other):
        self.args += (other,)
        return self


def test_rebound_name_used_by_later_calls(monkeypatch):
    class Start(Recorder):
        made = 0

    monkeypatch.setattr(helpers, "LinExpr", Start)
    result = helpers.quicksum([1, 2])
    assert type(result) is Start
    assert result.args == (1, 2)
    monkeypatch.undo()
    assert type(helpers.quicksum([1, 2])) is core.LinExpr


def test_lookup_falls_back_to_builtins(monkeypatch):
    class Start(Recorder):
        made = 0

    monkeypatch.delattr(helpers, "LinExpr")
    monkeypatch.setattr(builtins, "LinExpr", Start, raising=False)
    result = helpers.quicksum([])
    assert type(result) is Start
    assert Start.made == 1


def test_module_namespace_shadows_builtins(monkeypatch):
    class Shadow(Recorder):
        made = 0

    monkeypatch.setattr(builtins, "LinExpr", Shadow, raising=False)
    assert type(helpers.quicksum([])) is core.LinExpr
    assert Shadow.made == 0


def test_missing_name_raises_name_error(monkeypatch):
    monkeypatch.delattr(helpers, "LinExpr")
    assert not hasattr(builtins, "LinExpr")
    with pytest.raises(NameError) as info:
        helpers.quicksum([])
    assert str(info.value) == "name 'LinExpr' is not defined"
    assert module_entries(info.value) == [("tarvelpy._helpers.quicksum", 40)]


def test_builtins_lookup_error_propagates():
    # The builtins module's attribute hook raising something other than
    # AttributeError: that error, not NameError, reaches the caller.
    seen = run_child("""
        import builtins, json, traceback, types
        import tarvelpy._helpers as h

        class Exploding(types.ModuleType):
            def __getattr__(self, name):
                raise LookupError(f"no {name} here")

        del h.LinExpr
        builtins.__class__ = Exploding
        try:
            h.quicksum([])
            out = None
        except Exception as e:
            out = [type(e).__name__, str(e),
                   [[fs.name, fs.lineno] for fs in traceback.extract_tb(
                       e.__traceback__)
                    if fs.filename == "src/tarvelpy/_helpers"]]
        builtins.__class__ = types.ModuleType
        print(json.dumps(out))
    """)
    assert seen == ["LookupError", "no LinExpr here",
                    [["tarvelpy._helpers.quicksum", 40]]]


def test_rebinding_builtin_zip_leaves_multidict_alone(monkeypatch):
    def broken_zip(*args):
        raise AssertionError("the builtins zip was looked up at call time")

    monkeypatch.setattr(builtins, "zip", broken_zip)
    monkeypatch.setattr(helpers, "zip", broken_zip, raising=False)
    keys, first, second = helpers.multidict({"a": [1, 2], "b": [3, 4]})
    assert list(keys) == ["a", "b"]
    assert dict(first) == {"a": 1, "b": 3}
    assert dict(second) == {"a": 2, "b": 4}


# ---------------------------------------------------------------------------
# Re-import, reload and repeated execution


def test_reimport_after_removal_returns_same_module():
    seen = run_child("""
        import importlib, json, sys
        import tarvelpy._helpers as first
        funcs = dict(first.__dict__)
        del sys.modules["tarvelpy._helpers"]
        second = importlib.import_module("tarvelpy._helpers")
        print(json.dumps({
            "same_module": second is first,
            "in_sys_modules": sys.modules["tarvelpy._helpers"] is first,
            "same_functions": all(second.__dict__[k] is funcs[k]
                                  for k in ("quicksum", "signpow", "sqrt")),
            "works": repr(second.sqrt(4.0)),
        }))
    """)
    assert seen == {"same_module": True, "in_sys_modules": True,
                    "same_functions": True, "works": "<NLExpr: sqrt(4.0)>"}


def test_reload_does_not_run_initialisation_again():
    seen = run_child("""
        import importlib, json
        import tarvelpy._helpers as h
        before = {k: h.__dict__[k] for k in ("quicksum", "multidict",
                                              "signpow", "__test__")}
        sentinel = object()
        h.LinExpr = sentinel
        h.__test__["marker"] = 1
        again = importlib.reload(h)
        print(json.dumps({
            "same_module": again is h,
            "same_objects": all(h.__dict__[k] is v for k, v in before.items()),
            "rebinding_kept": h.LinExpr is sentinel,
            "test_dict": h.__test__,
        }))
    """)
    assert seen == {"same_module": True, "same_objects": True,
                    "rebinding_kept": True, "test_dict": {"marker": 1}}


def test_exec_on_second_module_object_refused():
    # Two module objects may be created before one is executed; once one has
    # run its exec step, executing the other one is refused, and creating
    # yet another returns the executed module.
    seen = run_child("""
        import _imp, importlib.util, json, traceback
        spec = importlib.util.find_spec("tarvelpy._helpers")
        m1 = _imp.create_dynamic(spec)
        m2 = _imp.create_dynamic(spec)
        distinct = m1 is not m2
        _imp.exec_dynamic(m1)
        try:
            _imp.exec_dynamic(m2)
            err = None
        except RuntimeError as e:
            err = [str(e), [fs.name for fs in traceback.extract_tb(
                e.__traceback__) if fs.filename == "src/tarvelpy/_helpers"]]
        again = _imp.create_dynamic(spec)
        print(json.dumps({
            "distinct": distinct,
            "error": err,
            "m2_untouched": "quicksum" not in m2.__dict__,
            "create_returns_executed": again is m1,
            "m1_works": repr(m1.sin(0.5)),
        }))
    """)
    assert seen == {
        "distinct": True,
        "error": ["Module '_helpers' has already been imported. "
                  "Re-initialisation is not supported.", []],
        "m2_untouched": True,
        "create_returns_executed": True,
        "m1_works": "<NLExpr: sin(0.5)>",
    }


def test_create_step_copies_spec_attributes():
    seen = run_child("""
        import _imp, importlib.util, json
        real = importlib.util.find_spec("tarvelpy._helpers")

        class Spec:
            name = "tarvelpy._helpers"
            origin = real.origin
            loader = "the loader"
            submodule_search_locations = ["somewhere"]
            # no "parent": a missing attribute is skipped

        m = _imp.create_dynamic(Spec())
        d = m.__dict__
        print(json.dumps({
            "name": d["__name__"], "loader": d.get("__loader__"),
            "file": d.get("__file__") == real.origin,
            "package": d.get("__package__"), "path": d.get("__path__"),
        }))
    """)
    assert seen == {"name": "tarvelpy._helpers", "loader": "the loader",
                    "file": True, "package": None, "path": ["somewhere"]}


def test_create_step_failure_propagates():
    seen = run_child("""
        import _imp, importlib.util, json
        real = importlib.util.find_spec("tarvelpy._helpers")

        class Spec:
            name = "tarvelpy._helpers"
            origin = real.origin
            @property
            def parent(self):
                raise LookupError("parent unreadable")

        try:
            _imp.create_dynamic(Spec())
            out = None
        except LookupError as e:
            out = str(e)
        print(json.dumps(out))
    """)
    assert seen == "parent unreadable"


def test_exec_step_leaves_another_registered_module_alone():
    # The module file loaded under another name while sys.modules already
    # holds an object under the module's own name: that object stays.
    seen = run_child("""
        import importlib.util, json, sys
        origin = importlib.util.find_spec("tarvelpy._helpers").origin
        placeholder = object()
        sys.modules["tarvelpy._helpers"] = placeholder
        spec = importlib.util.spec_from_file_location("_helpers", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print(json.dumps({
            "kept": sys.modules["tarvelpy._helpers"] is placeholder,
            "works": repr(module.quicksum([1.0, 2.0])),
        }))
    """)
    assert seen == {"kept": True, "works": "<LinExpr: 3.0>"}


# What a child runs to use the module: the same results whether its
# namespace lookups are cached or not, rebindings included.
WORKLOAD = """
    import builtins, json
    import tarvelpy._helpers as h
    from tarvelpy._core import Var

    class Start:
        def __iadd__(self, term):
            return self

    out = [repr(h.quicksum([Var("x"), 2.0])), repr(h.sin(0.5)),
           repr(h.multidict({"a": [1, 2]}))]
    saved = h.LinExpr
    for _ in range(2):
        h.LinExpr = Start
        out.append(type(h.quicksum([1])).__name__)
        h.LinExpr = saved
        out.append(type(h.quicksum([1])).__name__)
    del h.LinExpr
    builtins.LinExpr = Start
    out.append(type(h.quicksum([1])).__name__)
    h.LinExpr = saved
    out.append(type(h.quicksum([1])).__name__)
    print(json.dumps(out))
"""


# Takes every dictionary-watcher id the interpreter offers extensions.
TAKE_ALL_WATCHERS = """
    import _testcapi
    while True:
        try:
            _testcapi.add_dict_watcher(0)
        except RuntimeError:  # no id left
            break
"""


def test_import_with_every_dict_watcher_id_taken():
    pytest.importorskip("_testcapi")
    assert run_child(TAKE_ALL_WATCHERS + WORKLOAD) == run_child(WORKLOAD)


def test_import_under_error_filter_issues_no_warning():
    seen = run_child("""
        import json
        import tarvelpy._helpers as h
        print(json.dumps(h.multidict({"k": [1]})[1]))
    """, "-W", "error")
    assert seen == {"k": 1}


# ---------------------------------------------------------------------------
# A second interpreter


def test_second_interpreter_refused():
    seen = run_child("""
        import _interpreters, json
        import tarvelpy._helpers as h
        iid = _interpreters.create("legacy")
        try:
            res = _interpreters.run_string(iid, "import tarvelpy._helpers")
            again = _interpreters.run_string(iid, "import tarvelpy._helpers")
        finally:
            _interpreters.destroy(iid)
        print(json.dumps({
            "type": res.type.__name__, "msg": res.msg,
            "again": again.msg if again is not None else None,
            "first_works": repr(h.signpow(2.0, 3.0)),
            "quicksum": repr(h.quicksum([1.0, 2.0])),
        }))
    """)
    message = ("Interpreter change detected - this module can only be "
               "loaded into one interpreter per process.")
    assert seen == {
        "type": "ImportError", "msg": message, "again": message,
        "first_works": "<NLExpr: signpow(2.0, 3.0)>",
        "quicksum": "<LinExpr: 3.0>",
    }


# An application embedding the interpreter: two rounds of initialisation,
# import and finalisation. argv: the home directory, then sys.path.
EMBEDDING_PROGRAM = r"""
#include <Python.h>

static const char* round_code =
    "import json\n"
    "try:\n"
    "    import tarvelpy._helpers as h\n"
    "    out = ['imported', repr(h.quicksum([1.0, 2.0]))]\n"
    "except Exception as e:\n"
    "    out = [type(e).__name__, str(e)]\n"
    "print(json.dumps(out), flush=True)\n";

int main(int argc, char** argv) {
    for (int round = 0; round < 2; ++round) {
        PyConfig config;
        PyConfig_InitPythonConfig(&config);
        config.site_import = 0;
        config.user_site_directory = 0;
        config.module_search_paths_set = 1;
        PyStatus status = PyConfig_SetBytesString(&config, &config.home, argv[1]);
        for (int i = 2; i < argc && !PyStatus_Exception(status); ++i) {
            wchar_t* path = Py_DecodeLocale(argv[i], NULL);
            status = path != NULL ? PyWideStringList_Append(&config.module_search_paths, path)
                                  : PyStatus_NoMemory();
            PyMem_RawFree(path);
        }
        if (!PyStatus_Exception(status)) {
            status = Py_InitializeFromConfig(&config);
        }
        PyConfig_Clear(&config);
        if (PyStatus_Exception(status)) {
            Py_ExitStatusException(status);
        }
        if (PyRun_SimpleString(round_code) != 0 || Py_FinalizeEx() < 0) {
            return 1;
        }
    }
    return 0;
}
"""


def embedding_build_command(source, program):
    """The command that builds ``source`` into ``program`` against the
    running interpreter's libpython, or skips the test."""
    machine = platform.machine()
    candidates = [os.environ.get("CC"), sysconfig.get_config_var("CC"), "cc", "gcc"]
    compiler = None
    for candidate in filter(None, candidates):
        path = shutil.which(candidate.split()[0])
        if path is None:
            continue
        target = subprocess.run([path, "-dumpmachine"], capture_output=True, text=True,
                                env=compiler_env())
        if target.returncode == 0 and target.stdout.startswith(machine):
            compiler = path
            break
    if compiler is None:
        pytest.skip(f"no C compiler for {machine} on PATH")
    soname = sysconfig.get_config_var("INSTSONAME")
    libdirs = [os.path.join(sys.base_prefix, "lib", sysconfig.get_config_var("MULTIARCH") or ""),
               os.path.join(sys.base_prefix, "lib"), sysconfig.get_config_var("LIBDIR")]
    libpython = next((os.path.join(d, soname) for d in libdirs
                      if d and soname and os.path.isfile(os.path.join(d, soname))), None)
    if libpython is None:
        pytest.skip(f"no shared libpython ({soname}) next to {sys.base_prefix}")
    with open(os.path.realpath(sys._base_executable), "rb") as f:
        loader = ElfFile(f.read()).interpreter()
    libdir = os.path.dirname(libpython)
    command = [compiler, "-o", str(program), str(source),
               "-I", sysconfig.get_path("include"), "-I", sysconfig.get_path("platinclude"),
               libpython,
               # libpython may need a newer C library than the one the
               # compiler links against; the one next to it comes at run time.
               "-Wl,--allow-shlib-undefined",
               # DT_RPATH, not DT_RUNPATH: it applies to libpython's own
               # dependencies too.
               "-Wl,--disable-new-dtags", f"-Wl,-rpath,{libdir}"]
    if loader is not None:
        command.append(f"-Wl,--dynamic-linker={loader}")
    return command


def compiler_env():
    """The environment without a preloaded runtime (the sanitizer run's),
    which belongs to the interpreter and not to the compiler."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def test_reinitialised_runtime_refused(tmp_path):
    source = tmp_path / "embed.c"
    source.write_text(EMBEDDING_PROGRAM)
    program = tmp_path / "embed"
    build = subprocess.run(embedding_build_command(source, program),
                           capture_output=True, text=True, env=compiler_env())
    assert build.returncode == 0, build.stderr
    proc = subprocess.run([str(program), sys.base_prefix, *sys.path],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, (
        f"embedding program exited with {proc.returncode}\n{proc.stderr}")
    first, second = (json.loads(line) for line in proc.stdout.splitlines())
    assert first == ["imported", repr(helpers.quicksum([1.0, 2.0]))]
    assert second == [
        "ImportError", "Interpreter change detected - this module can only "
        "be loaded into one interpreter per process."]


# ---------------------------------------------------------------------------
# Failed initialisation

# Captures the module objects the create step hands to the import system, so
# that the namespace of a failed module can be inspected after the import
# system has dropped it from sys.modules.
CAPTURE = """
import importlib.machinery, json, sys, traceback
created = []
_real_create = importlib.machinery.ExtensionFileLoader.create_module

def _create(self, spec):
    module = _real_create(self, spec)
    if spec.name == "tarvelpy._helpers":
        created.append(module)
    return module

importlib.machinery.ExtensionFileLoader.create_module = _create

def entries(exc):
    return [[fs.name, fs.lineno] for fs in traceback.extract_tb(
        exc.__traceback__) if fs.filename == "src/tarvelpy/_helpers"]

def failed_import():
    try:
        import tarvelpy._helpers
    except ImportError as e:
        return {"error": str(e), "type": type(e).__name__,
                "entries": entries(e),
                "names": [k for k in created[-1].__dict__
                          if not k.startswith("__")],
                "in_sys_modules": "tarvelpy._helpers" in sys.modules}
    return None

def retry():
    import tarvelpy._helpers as h
    return {"fresh": h is created[-1] and len(created) == 2,
            "works": repr(h.multidict({"a": [1, 2]})),
            "has_test": h.__test__ == {}}
"""


@pytest.mark.parametrize("module_name, missing, line, bound_before", [
    ("tarvelpy._core", "tuplelist", 6,
     ["warnings", *CORE_NAMES[:-1]]),
    ("tarvelpy._core", "Var", 6, ["warnings"]),
    ("tarvelpy._matrixapi", "MNLExpr", 9,
     ["warnings", *CORE_NAMES, *MATRIX_NAMES[:-1]]),
    ("tarvelpy._matrixapi", "MVar", 9, ["warnings", *CORE_NAMES]),
])
def test_missing_sibling_name(module_name, missing, line, bound_before):
    seen = run_child(CAPTURE + f"""
import {module_name} as sibling
saved = sibling.{missing}
del sibling.{missing}
first = failed_import()
sibling.{missing} = saved
print(json.dumps({{"first": first, "second": retry()}}))
""")
    assert seen["first"] == {
        "error": f"cannot import name {missing}", "type": "ImportError",
        "entries": [[INIT_FRAME, line]], "names": bound_before,
        "in_sys_modules": False,
    }
    assert seen["second"] == {
        "fresh": True, "works": "[['a'], {'a': 1}, {'a': 2}]",
        "has_test": True}


def test_failed_sibling_import_propagates_its_error():
    # The sibling module itself fails to import: its own error comes through
    # with the init entry at the sibling's line.
    seen = run_child(CAPTURE + """
class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == "tarvelpy._matrixapi":
            raise ImportError("matrix api unavailable")
        return None

finder = Refuse()
sys.meta_path.insert(0, finder)
first = failed_import()
sys.meta_path.remove(finder)
print(json.dumps({"first": first, "second": retry()}))
""")
    assert seen["first"] == {
        "error": "matrix api unavailable", "type": "ImportError",
        "entries": [[INIT_FRAME, 9]], "names": ["warnings", *CORE_NAMES],
        "in_sys_modules": False,
    }
    assert seen["second"]["fresh"] is True


def test_failed_warnings_import():
    # warnings is taken out of sys.modules and a finder refuses to load it
    # again, so the exec step's import of it fails at line 4.
    seen = run_child(CAPTURE + """
import tarvelpy._core, tarvelpy._matrixapi

class Refuse:
    def find_spec(self, name, path=None, target=None):
        if name == "warnings":
            raise ImportError("warnings refused")
        return None

saved = sys.modules.pop("warnings")
finder = Refuse()
sys.meta_path.insert(0, finder)
first = failed_import()
sys.meta_path.remove(finder)
sys.modules["warnings"] = saved
second = retry()
import tarvelpy._helpers as h
second["warnings"] = h.warnings is saved
print(json.dumps({"first": first, "second": second}))
""")
    assert seen["first"] == {
        "error": "warnings refused", "type": "ImportError",
        "entries": [[INIT_FRAME, 4]], "names": [], "in_sys_modules": False,
    }
    assert seen["second"] == {
        "fresh": True, "works": "[['a'], {'a': 1}, {'a': 2}]",
        "has_test": True, "warnings": True}
