"""Loading merge_ipynb: namespace, introspection of its functions and class, load guards, failed loads."""
import builtins
import ctypes
import glob
import importlib
import importlib.util
import json
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import types
import typing
import uuid

import pytest

from conftest import MODULE, PACKAGE_ROOT, SOURCE, module_entries, run_python
from corvane_git.scripts.merge_driver import merge_ipynb as m

MARK_DOC = ("Change name adding '<<< ' when current cell.\n"
            "        Change name adding '>>> ' when incoming cell.\n"
            "        ")
INIT_ENTRY = "init " + MODULE
REINIT_TEXT = "Module 'merge_ipynb' has already been imported. Re-initialisation is not supported."
INTERPRETER_TEXT = ("Interpreter change detected - this module can only be loaded into one interpreter "
                    "per process.")
HOST_SET = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__path__",
            "__cached__"}


class TestNamespace:
    def test_names_in_binding_order(self):
        # In a new process: tests here delete and restore module names, which moves them to the end.
        names = run_python("""
            import importlib
            emit(list(vars(importlib.import_module(MODULE))))
        """)
        assert [k for k in names if k not in HOST_SET] == [
            "__builtins__", "json", "logging", "os", "tempfile", "uuid", "Any", "Dict", "List", "Optional",
            "git", "jsondiff", "_merge_source", "Cell", "_cell_changed", "merge_files", "__test__"]

    @pytest.mark.parametrize("name, expected", [
        ("__builtins__", builtins), ("json", json), ("logging", logging), ("os", os), ("tempfile", tempfile),
        ("uuid", uuid), ("Any", typing.Any), ("Dict", typing.Dict), ("List", typing.List),
        ("Optional", typing.Optional)])
    def test_bound_objects(self, name, expected):
        assert getattr(m, name) is expected

    def test_host_packages(self):
        assert m.git is sys.modules["git"] and m.jsondiff is sys.modules["jsondiff"]

    def test_test_map_holds_the_mark_docstring(self):
        assert m.__test__ == {"Cell.add_conflict_mark (line 157)": MARK_DOC}
        assert vars(m.Cell)["add_conflict_mark"].__doc__ == MARK_DOC

    def test_module_attributes(self):
        assert m.__doc__ is None
        assert m.__name__ == MODULE
        assert m.__package__ == "corvane_git.scripts.merge_driver"
        assert m.__file__ == m.__spec__.origin
        assert m.__loader__ is m.__spec__.loader
        assert not hasattr(m, "__path__")


@pytest.mark.parametrize("name", ["merge_ipynb", "merge_core"])
def test_the_module_entry_is_the_only_export(name):
    """The built extension's dynamic symbol table defines PyInit_<name> and nothing else: no C++
    runtime template, no operator new/delete of a static runtime (the .pyd's export table is
    checked the same way by tools/windows.sh)."""
    path = importlib.import_module("corvane_git.scripts.merge_driver." + name).__file__
    nm = shutil.which("nm")
    if not nm or not sys.platform.startswith("linux"):
        pytest.skip("needs nm and an ELF extension")
    listing = subprocess.run([nm, "-D", "--defined-only", path], stdout=subprocess.PIPE,
                             universal_newlines=True, check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_" + name]


def getter(prop):
    return lambda: vars(m.Cell)[prop].fget


def setter(prop):
    return lambda: vars(m.Cell)[prop].fset


def member(name):
    return lambda: vars(m.Cell)[name]


def module_function(name):
    return lambda: getattr(m, name)


# (function, qualified name, local names, number of locals, first line, annotations in order,
#  defaults, docstring)
FUNCTIONS = [
    (module_function("_merge_source"), "_merge_source",
     ("g", "current", "base", "incoming", "current_name", "incoming_name", "tempdir", "current_path",
      "base_path", "incoming_path", "current_file", "base_file", "incoming_file", "fp", "lines", "line"), 16,
     29, [("g", "git.cmd.Git"), ("current", "List[str]"), ("base", "List[str]"), ("incoming", "List[str]"),
          ("current_name", "Optional[str]"), ("incoming_name", "Optional[str]"), ("return", "List[str]")],
     (None, None), None),
    (member("__init__"), "Cell.__init__", ("self", "cell", "file_type"), 3, 69,
     [("cell", "Dict[str, Any]"), ("file_type", "str")], None, None),
    (getter("file_type"), "Cell.file_type", ("self",), 1, 74, [("return", "str")], None,
     "The file type that contains the cell"),
    (getter("data"), "Cell.data", ("self",), 1, 83, [("return", "Dict[str, Any]")], None, "Cell dictionary"),
    (setter("data"), "Cell.data", ("self", "value"), 2, 88, [("value", "Dict[str, Any]"), ("return", "None")],
     None, "Cell dictionary setter"),
    (getter("cell_id"), "Cell.cell_id", ("self",), 1, 93, [("return", "Any")], None, "Cell id of the cell"),
    (setter("cell_id"), "Cell.cell_id", ("self", "value"), 2, 98, [("value", "str"), ("return", "None")],
     None, "Cell id setter"),
    (getter("source"), "Cell.source", ("self",), 1, 103, [("return", "Any")], None, "Source code of the cell"),
    (setter("source"), "Cell.source", ("self", "value"), 2, 108, [("value", "List[str]"), ("return", "None")],
     None, "Source code setter"),
    (getter("meta_data"), "Cell.meta_data", ("self",), 1, 113, [("return", "Any")], None,
     "Meta data of the cell"),
    (getter("link_id"), "Cell.link_id", ("self",), 1, 118, [("return", "Any")], None, "Link id of the cell"),
    (setter("link_id"), "Cell.link_id", ("self", "value"), 2, 123, [("value", "str"), ("return", "None")],
     None, "Link id setter"),
    (getter("name"), "Cell.name", ("self",), 1, 128, [("return", "Any")], None,
     "Name of the cell. It has 'None' value when the cell is not a component"),
    (setter("name"), "Cell.name", ("self", "value"), 2, 133, [("value", "str"), ("return", "None")], None,
     "Name setter"),
    (getter("parents"), "Cell.parents", ("self",), 1, 138, [("return", "Any")], None,
     "Parents information of the cell"),
    (setter("parents"), "Cell.parents", ("self", "value"), 2, 143,
     [("value", "List[Dict[str, str]]"), ("return", "None")], None, "Parent information setter"),
    (getter("comments"), "Cell.comments", ("self",), 1, 148, [("return", "Any")], None, "Comments of the cell"),
    (member("add_comment"), "Cell.add_comment", ("self", "comment"), 2, 153,
     [("comment", "Dict[str, str]"), ("return", "None")], None, "Add comment in the cell"),
    (member("add_conflict_mark"), "Cell.add_conflict_mark", ("self",), 1, 157, [("return", "None")], None,
     MARK_DOC),
    (module_function("_cell_changed"), "_cell_changed", ("cell0", "cell1", "parent", "cell_diff"), 4, 171,
     [("cell0", "Cell"), ("cell1", "Cell"), ("return", "Dict[str, Any]")], None, None),
    (module_function("merge_files"), "merge_files",
     ("base_file_path", "current_file_path", "incoming_file_path", "file_path"), 55, 181,
     [("base_file_path", "str"), ("current_file_path", "str"), ("incoming_file_path", "str"),
      ("file_path", "str"), ("return", "None")], None, "Ipython Notebook Merge Driver main"),
]
PARAMETER_COUNTS = {"_merge_source": 6, "_cell_changed": 2, "merge_files": 4}


def function_id(row):
    return row[1] + ("=" if "value" in row[2] else "")


@pytest.mark.parametrize("get, qualname, local_names, nlocals, line, annotations, defaults, doc", FUNCTIONS,
                         ids=[function_id(row) for row in FUNCTIONS])
class TestIntrospection:
    def test_code_object(self, get, qualname, local_names, nlocals, line, annotations, defaults, doc):
        code = get().__code__
        argcount = PARAMETER_COUNTS.get(qualname, nlocals)
        assert (code.co_name, code.co_argcount, code.co_kwonlyargcount, code.co_nlocals) == (
            qualname.split(".")[-1], argcount, 0, nlocals)
        assert code.co_varnames[:len(local_names)] == local_names
        assert (code.co_filename, code.co_firstlineno) == (SOURCE, line)
        assert code.co_flags & 3 == 3  # optimised locals, new locals dict

    def test_attributes(self, get, qualname, local_names, nlocals, line, annotations, defaults, doc):
        fn = get()
        assert (fn.__name__, fn.__qualname__, fn.__module__) == (qualname.split(".")[-1], qualname, MODULE)
        assert (fn.__doc__, fn.__defaults__, fn.__kwdefaults__, fn.__closure__) == (doc, defaults, None, None)
        assert fn.__globals__ is vars(m)

    def test_annotations_are_strings_in_parameter_order(self, get, qualname, local_names, nlocals, line,
                                                        annotations, defaults, doc):
        assert list(get().__annotations__.items()) == annotations


PROPERTIES = [  # name, has a setter
    ("file_type", False), ("data", True), ("cell_id", True), ("source", True), ("meta_data", False),
    ("link_id", True), ("name", True), ("parents", True), ("comments", False)]


class TestCellClass:
    def test_class_attributes(self):
        C = m.Cell
        assert type(C) is type and C.__bases__ == (object,)
        assert (C.__name__, C.__qualname__, C.__module__) == ("Cell", "Cell", MODULE)
        assert C.__doc__ == "Data structure to represent a cell."
        assert (C.BASE, C.CURRENT, C.INCOMING) == ("base", "current", "incoming")

    def test_namespace_in_definition_order(self):
        assert [k for k in vars(m.Cell) if k not in ("__dict__", "__weakref__")] == [
            "__module__", "__doc__", "BASE", "CURRENT", "INCOMING", "__init__"] + [
            name for name, _ in PROPERTIES] + ["add_comment", "add_conflict_mark"]

    @pytest.mark.parametrize("name, has_setter", PROPERTIES)
    def test_property(self, name, has_setter):
        prop = vars(m.Cell)[name]
        assert type(prop) is property
        assert prop.fget.__qualname__ == "Cell." + name
        assert (prop.fset is not None, prop.fdel) == (has_setter, None)
        assert prop.__doc__ == prop.fget.__doc__
        if has_setter:
            assert prop.fset.__qualname__ == "Cell." + name and prop.fset is not prop.fget

    def test_instance_attributes(self, cell_dict):
        cell = m.Cell(cell_dict, "current")
        assert list(vars(cell)) == ["_data", "_file_type"]
        assert cell._data is cell_dict and cell._file_type == "current"


class TestLoadsOnce:
    def test_import_again_gives_the_same_object(self):
        assert importlib.import_module(MODULE) is m

    def test_reload_changes_nothing(self, monkeypatch):
        cell_class, sentinel = m.Cell, object()
        monkeypatch.setattr(m, "json", sentinel)
        assert importlib.reload(m) is m
        assert m.json is sentinel and m.Cell is cell_class

    def test_second_spec_for_the_same_file_gives_the_same_object(self, monkeypatch):
        monkeypatch.setattr(m, "__spec__", m.__spec__)
        cell_class = m.Cell
        spec = importlib.util.spec_from_file_location(MODULE, m.__file__)
        module = importlib.util.module_from_spec(spec)
        assert module is m
        spec.loader.exec_module(module)
        assert m.Cell is cell_class

    def test_exec_on_another_module_object_fails(self):
        api = ctypes.PyDLL(ctypes.pythonapi._name, handle=ctypes.pythonapi._handle)  # a copy to set types on
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        definition = api.PyModule_GetDef(m)
        assert definition
        assert api.PyModule_ExecDef(m, definition) == 0
        other = types.ModuleType("other")
        with pytest.raises(RuntimeError) as exc:
            api.PyModule_ExecDef(other, definition)
        assert str(exc.value) == REINIT_TEXT
        assert module_entries(exc.value) == []
        assert sorted(vars(other)) == ["__doc__", "__loader__", "__name__", "__package__", "__spec__"]

    def test_import_after_module_table_lost_it(self):
        result = run_python("""
            import importlib
            first = importlib.import_module(MODULE)
            first.json = "rebound"
            del sys.modules[MODULE]
            second = importlib.import_module(MODULE)
            emit(second is first, second.json)
        """)
        assert result == [True, "rebound"]


SUBINTERPRETER_CHILD = """
    import _testcapi, importlib, os, tempfile
    out = os.path.join(tempfile.mkdtemp(), "result")
    sub = '''
    try:
        import corvane_git.scripts.merge_driver.merge_ipynb
        result = "loaded"
    except BaseException as e:
        result = "%s: %s" % (type(e).__name__, e)
    with open(OUT, "w") as f:
        f.write(result)
    '''.replace("OUT", repr(out))

    def load_here():
        try:
            importlib.import_module(MODULE)
            return "loaded"
        except BaseException as e:
            return "%s: %s" % (type(e).__name__, e)

    here = load_here() if MAIN_FIRST else None
    _testcapi.run_in_subinterp(sub)
    with open(out) as f:
        there = f.read()
    emit(here or load_here(), there)
"""


def _runs_subinterpreters():
    try:
        import _testcapi
    except ImportError:  # not in every build (the embeddable Windows CPython has no test modules)
        return False
    return hasattr(_testcapi, "run_in_subinterp")


@pytest.mark.skipif(not _runs_subinterpreters(), reason="this host has no _testcapi.run_in_subinterp")
@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "subinterpreter-first"])
def test_second_interpreter_is_refused(main_first):
    here, there = run_python(SUBINTERPRETER_CHILD.replace("MAIN_FIRST", repr(main_first)))
    refused = "ImportError: " + INTERPRETER_TEXT
    assert [here, there] == (["loaded", refused] if main_first else [refused, "loaded"])


class TestSpecs:
    def test_loaded_under_a_top_level_name(self):
        result = run_python("""
            import importlib, importlib.util
            origin = importlib.util.find_spec(MODULE).origin
            spec = importlib.util.spec_from_file_location("merge_ipynb", origin)
            mod = importlib.util.module_from_spec(spec)
            sys.modules["merge_ipynb"] = mod
            spec.loader.exec_module(mod)
            C = vars(mod.Cell)
            emit({"name": mod.__name__, "package": mod.__package__, "file": mod.__file__ == origin,
                  "path": hasattr(mod, "__path__"), "registered": sys.modules.get(MODULE) is mod,
                  "imported": importlib.import_module(MODULE) is mod,
                  "modules": sorted({f.__module__ for f in (mod.Cell, mod._merge_source, mod._cell_changed,
                                     mod.merge_files, C["__init__"], C["name"].fset, C["add_comment"])})})
        """)
        assert result == {"name": "merge_ipynb", "package": "", "file": True, "path": False,
                          "registered": True, "imported": True, "modules": [MODULE]}

    def test_existing_dotted_entry_is_left_alone(self):
        result = run_python("""
            import importlib.util
            origin = importlib.util.find_spec(MODULE).origin
            placeholder = sys.modules[MODULE] = object()
            spec = importlib.util.spec_from_file_location("merge_ipynb", origin)
            mod = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(mod)
            emit(sys.modules[MODULE] is placeholder, hasattr(mod, "Cell"))
        """)
        assert result == [True, True]

    def test_create_step_copies_spec_attributes(self):
        result = run_python("""
            import ctypes, importlib.util
            origin = importlib.util.find_spec(MODULE).origin
            init = ctypes.PyDLL(origin).PyInit_merge_ipynb
            init.restype = ctypes.c_void_p
            definition = init()
            api = ctypes.pythonapi
            create = api.PyModule_FromDefAndSpec2
            create.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_int]
            create.restype = ctypes.py_object

            class Spec:
                def __init__(self, **attributes):
                    self.__dict__.update(attributes)

            class FailingOrigin(Spec):
                @property
                def origin(self):
                    raise ValueError("no origin here")

            loader = object()
            specs = {
                "package": Spec(name="pkg.merge_ipynb", loader=loader, origin="/x/m.so", parent="pkg",
                                submodule_search_locations=["/x"]),
                "no locations": Spec(name="m", loader=loader, origin="/x/m.so", parent=None,
                                     submodule_search_locations=None),
                "no origin": Spec(name="m", loader=loader, parent="", submodule_search_locations=None),
                "name only": Spec(name="m"),
                "failing origin": FailingOrigin(name="m", loader=loader),
                "no name": Spec(loader=loader, origin="/x/m.so"),
            }
            results = {}
            for key, spec in specs.items():
                try:
                    mod = create(definition, spec, 1013)
                except Exception as e:
                    results[key] = [type(e).__name__, str(e) if key == "failing origin" else ""]
                    continue
                results[key] = [[k, "loader" if v is loader else v] for k, v in vars(mod).items()]
            loaded = importlib.import_module(MODULE)
            results["after load"] = create(definition, Spec(name="other"), 1013) is loaded
            emit(results)
        """)
        base = [["__name__", "m"], ["__doc__", None]]
        assert result == {
            "package": [["__name__", "pkg.merge_ipynb"], ["__doc__", None], ["__package__", "pkg"],
                        ["__loader__", "loader"], ["__spec__", None], ["__file__", "/x/m.so"],
                        ["__path__", ["/x"]]],
            "no locations": base + [["__package__", None], ["__loader__", "loader"], ["__spec__", None],
                                    ["__file__", "/x/m.so"]],
            "no origin": base + [["__package__", ""], ["__loader__", "loader"], ["__spec__", None]],
            "name only": base + [["__package__", None], ["__loader__", None], ["__spec__", None]],
            "failing origin": ["ValueError", "no origin here"],
            "no name": ["AttributeError", ""],
            "after load": True,
        }


BLOCK_IMPORT = """
class Block:
    def find_spec(self, name, path=None, target=None):
        if name == NAME:
            raise ModuleNotFoundError("No module named %r" % name, name=name)
assert NAME not in sys.modules
blocker = Block()
sys.meta_path.insert(0, blocker)
"""


def block_import(name):
    return BLOCK_IMPORT.replace("NAME", repr(name)), "sys.meta_path.remove(blocker)"


def delete_attribute(module, name):
    return ("import %s\nsaved = %s.%s\ndel %s.%s\n" % (module, module, name, module, name),
            "%s.%s = saved\n" % (module, name))


FAILED_LOAD_CHILD = """
import importlib
SETUP
error = None
try:
    importlib.import_module(MODULE)
except BaseException as e:
    error = e
left_in_table = MODULE in sys.modules
TEARDOWN
mod = importlib.import_module(MODULE)
emit(describe(error), left_in_table, mod.Cell({}, "incoming").file_type, mod.jsondiff.__name__)
"""


class TestFailedLoads:
    @pytest.mark.parametrize("undo, error, line", [
        (block_import("uuid"), ["ModuleNotFoundError", "No module named 'uuid'"], 22),
        (block_import("git"), ["ModuleNotFoundError", "No module named 'git'"], 25),
        (block_import("jsondiff"), ["ModuleNotFoundError", "No module named 'jsondiff'"], 26),
        (delete_attribute("typing", "Optional"), ["ImportError", "cannot import name Optional"], 23),
        (delete_attribute("builtins", "property"), ["NameError", "name 'property' is not defined"], 1),
        (delete_attribute("builtins", "AssertionError"), ["NameError", "name 'AssertionError' is not defined"],
         1),
    ], ids=["uuid", "git", "jsondiff", "typing-name", "property", "AssertionError"])
    def test_failure_reports_the_line_and_a_later_import_starts_again(self, undo, error, line):
        setup, teardown = undo
        first, left_in_table, side, jsondiff_name = run_python(
            FAILED_LOAD_CHILD.replace("SETUP", setup).replace("TEARDOWN", teardown))
        assert [first["type"], first["text"]] == error
        assert first["entries"] == [[INIT_ENTRY, SOURCE, line]]
        assert (left_in_table, side, jsondiff_name) == (False, "incoming", "jsondiff")

    def test_dotted_entry_stays_after_a_failed_top_level_load(self):
        result = run_python("""
            import builtins, importlib.util
            origin = importlib.util.find_spec(MODULE).origin
            saved = builtins.AssertionError
            del builtins.AssertionError
            spec = importlib.util.spec_from_file_location("merge_ipynb", origin)
            mod = importlib.util.module_from_spec(spec)
            try:
                spec.loader.exec_module(mod)
            except NameError as e:
                error = str(e)
            builtins.AssertionError = saved
            emit(error, sys.modules.get(MODULE) is mod)
        """)
        assert result == ["name 'AssertionError' is not defined", True]

    def test_module_table_entry_is_used_as_found(self):
        result = run_python("""
            sys.modules["jsondiff"] = None
            import importlib
            mod = importlib.import_module(MODULE)
            emit(mod.jsondiff is None, mod.git is sys.modules["git"])
        """)
        assert result == [True, True]


def version_warnings(root=PACKAGE_ROOT):
    return run_python("""
        import importlib, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            importlib.import_module(MODULE)
        emit([str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)])
    """, root=root)


def version_as_error(root):
    return run_python("""
        import importlib
        try:
            importlib.import_module(MODULE)
            emit(None)
        except RuntimeWarning as e:
            emit(describe(e), MODULE in sys.modules)
    """, "-W", "error::RuntimeWarning", root=root)


HOST_VERSION = "%d.%d" % sys.version_info[:2]
PRETEND_VERSION = "3.11" if HOST_VERSION == "3.10" else "3.10"


@pytest.fixture(scope="module")
def pretend_build(tmp_path_factory):
    """A package tree whose extension claims to be built for PRETEND_VERSION."""
    if shutil.which("cmake") is None:
        pytest.skip("builds the extension again: needs cmake and a C++ compiler")
    top = tmp_path_factory.mktemp("pretend")
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    subprocess.run(["cmake", "-S", repo, "-B", str(top / "build"), "-G", "Ninja",
                    "-DPython_EXECUTABLE=" + sys.executable, "-DCMAKE_BUILD_TYPE=Release",
                    "-DMERGE_IPYNB_PRETEND_VERSION=" + PRETEND_VERSION],
                   check=True, env=env, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(top / "build")], check=True, env=env, stdout=subprocess.DEVNULL)
    package = top / "tree" / "corvane_git" / "scripts" / "merge_driver"
    package.mkdir(parents=True)
    for level in ("corvane_git", "corvane_git/scripts", "corvane_git/scripts/merge_driver"):
        shutil.copy(os.path.join(PACKAGE_ROOT, level, "__init__.py"), str(top / "tree" / level))
    (library,) = glob.glob(str(top / "build" / "merge_ipynb*.so")) + glob.glob(str(top / "build" / "merge_ipynb*.pyd"))
    shutil.copy(library, str(package))
    return str(top / "tree")


class TestVersionCheck:
    def test_matching_build_loads_silently(self):
        assert version_warnings() == []

    @pytest.mark.slow
    def test_other_version_warns_once_with_complete_versions(self, pretend_build):
        assert version_warnings(pretend_build) == [
            "compiletime version %s of module '%s' does not match runtime version %s"
            % (PRETEND_VERSION, MODULE, HOST_VERSION)]

    @pytest.mark.slow
    def test_warning_as_error_fails_the_import(self, pretend_build):
        error, left_in_table = version_as_error(pretend_build)
        assert (error["type"], error["text"]) == (
            "RuntimeWarning", "compiletime version %s of module '%s' does not match runtime version %s"
            % (PRETEND_VERSION, MODULE, HOST_VERSION))
        assert error["entries"] == [[INIT_ENTRY, SOURCE, 1]]
        assert not left_in_table

