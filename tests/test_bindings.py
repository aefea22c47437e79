"""The methods the module compiles read as Python's own: their source shows in tracebacks and inspect, their
annotations resolve, the client's Python-written methods belong to the class, and a malformed row or hand-off
between the two languages is refused at import with an error, never a crash."""

from __future__ import annotations

import ast
import cProfile
import importlib
import inspect
import linecache
import pickle
import re
import subprocess
import sys
import textwrap
import traceback
import typing
from pathlib import Path
from typing import Any, Callable, Dict, List, Tuple

import pytest
import urllib3

from quenlo.sdk import _binding, _client, velm_api, velm_models, waits
from quenlo.sdk.exceptions import NotFoundError

CLASSES = [
    velm_api.ApiClient,
    velm_api.Command,
    velm_api.PipelineCommand,
    velm_api.StartPipelineCommand,
    velm_api.StopPipelineCommand,
    velm_api.ValidateCommand,
    velm_api.PreviewCommand,
    velm_api.ConnectionValidateCommand,
    velm_api.SnapshotCommand,
]
METHODS: List[Tuple[str, Callable[..., Any]]] = [
    (f"{cls.__name__}.{name}", member)
    for cls in CLASSES
    for name, member in vars(cls).items()
    if inspect.isfunction(member) and (not name.startswith("_") or name == "__init__")
]
IDS = [name for name, _ in METHODS]
SOURCES = Path(__file__).resolve().parent.parent / "src" / "velm_api"


# The one file name of the module's compiled methods: its own file's, which no other module has, and which no
# file a module is imported from ends as.
COMPILED = f"{velm_api.__file__} (compiled methods)"


class TestSources:
    # Debuggers, REPLs and test tools clear linecache: the source is read again through the module's loader.
    @pytest.mark.parametrize("clear", [False, True], ids=["cached", "cache-cleared"])
    def test_a_failure_inside_an_operation_shows_the_operation_s_own_line(self, client, clear):
        with pytest.raises(NotFoundError) as caught:
            client.start_pipeline("nowhere")
        if clear:
            linecache.clearcache()
        shown = "".join(traceback.format_exception(caught.type, caught.value, caught.tb))
        assert 'File "<string>"' not in shown
        assert f'File "{COMPILED}", line' in shown
        # The call's line names the native entry that does the work and the request it sends.
        assert (
            "return impl_(self, pipeline_id, rev, runtime_parameters)  # rows.run: POST /pipeline/{pipeline_id}/start"
            in shown
        )

    @pytest.mark.parametrize(
        ("method", "request_line"),
        [
            (velm_api.ApiClient.create_pipeline, "PUT /pipeline/{pipeline_title}"),
            (velm_api.ApiClient.import_pipelines, "POST /pipelines/import"),
            (velm_api.ApiClient.get_bundle, "GET /system/bundle/generate"),
            (
                velm_api.ApiClient.change_password,
                "GET /system/info/currentUser, then POST /usermanagement/users/{user}/changePassword",
            ),
        ],
    )
    def test_an_operation_with_logic_of_its_own_shows_its_request_as_a_row_does(self, method, request_line):
        assert method.__doc__.endswith(f"\n\nRequest: {request_line}") and f"\n{request_line}" not in method.__doc__
        assert inspect.getsource(method).rstrip().endswith(f": {request_line}")

    def test_a_profile_names_each_native_entry_by_where_its_work_happens(self, client):
        profile = cProfile.Profile()
        profile.runcall(lambda: (client.get_velm_info(), client._get("/v1/system/info"), velm_api.wait_all([])))
        names = {entry.code for entry in profile.getstats() if isinstance(entry.code, str)}  # built-ins: by name
        assert {"<built-in method rows.run>", "<built-in method client.get>", "<built-in method wait_all>"} <= names

    @pytest.mark.parametrize(("name", "method"), METHODS, ids=IDS)
    def test_every_method_has_its_source(self, name, method):
        source = textwrap.dedent(inspect.getsource(method))
        definition = ast.parse(source).body[0]
        assert isinstance(definition, ast.FunctionDef) and definition.name == name.split(".")[1]
        # The source is the definition of the very function: the same parameters, the same line.
        arguments = definition.args
        assert [a.arg for a in arguments.args + arguments.kwonlyargs] == list(inspect.signature(method).parameters)
        assert inspect.getsourcelines(method)[1] == method.__code__.co_firstlineno
        if method.__code__.co_filename == COMPILED:
            # The call's line names the native entry that does the work ("# client.get").
            assert re.search(r"\)  # \w+(\.\w+)?(: |$)", source.splitlines()[-1])

    # A reload finds the module's spec again: the loader it finds must still give the methods' text.
    @pytest.mark.parametrize(
        "clear",
        [linecache.checkcache, linecache.clearcache, lambda: (importlib.reload(velm_api), linecache.clearcache())],
        ids=["checked", "cleared", "reloaded-then-cleared"],
    )
    def test_sources_survive_the_cache_being_checked_or_cleared(self, clear):
        clear()
        assert "def get_logs(" in inspect.getsource(velm_api.ApiClient.get_logs)
        assert "def wait_for_status(" in inspect.getsource(velm_api.PipelineCommand.wait_for_status)

    def test_each_method_has_lines_of_its_own_in_the_module_s_compiled_source(self):
        codes = [method.__code__ for _, method in METHODS if method.__module__ == "quenlo.sdk.velm_api"]
        assert {code.co_filename for code in codes} == {COMPILED, _client.__file__}
        lines = [code.co_firstlineno for code in codes if code.co_filename == COMPILED]
        assert len(set(lines)) == len(lines)


@pytest.mark.skipif(sys.version_info < (3, 10), reason="annotations written X | Y are evaluated from Python 3.10 on")
class TestTypeHints:
    @pytest.mark.parametrize(("name", "method"), METHODS, ids=IDS)
    @pytest.mark.parametrize("localns", [None, {}], ids=["own", "empty-locals"])
    def test_every_public_method_resolves(self, name, method, localns):
        hints = typing.get_type_hints(method, localns=localns)
        assert "return" in hints and set(hints) - {"return"} == set(inspect.signature(method).parameters) - {"self"}

    @pytest.mark.parametrize(
        ("method", "parameter", "expected"),
        [
            (velm_api.ApiClient.start_pipeline, "return", velm_api.StartPipelineCommand),
            (velm_api.ApiClient.get_logs, "pipeline", typing.Optional[typing.Union[str, velm_models.Pipeline]]),
            (velm_api.ApiClient.__init__, "retries", typing.Optional[typing.Union[int, urllib3.util.retry.Retry]]),
            (velm_api.ApiClient.__exit__, "traceback", typing.Optional[__import__("types").TracebackType]),
            (velm_api.ValidateCommand.__init__, "api_client", velm_api.ApiClient),
        ],
    )
    def test_hints_are_the_module_s_own_objects(self, method, parameter, expected):
        assert typing.get_type_hints(method)[parameter] == expected

    def test_the_module_gains_no_name_for_them(self):
        assert not {"typing", "collections", "types", "threading", "quenlo"} & set(vars(velm_api))


def test_every_name_the_module_binds_is_written_whole_in_its_sources():
    # A grep for a name a traceback shows finds where it is bound: the waits' classes by their companion's
    # __all__, every other name as one literal in the C++ sources.
    sources = "".join(path.read_text() for path in SOURCES.rglob("*.[ch]pp"))
    bound = [name for name in vars(velm_api) if not name.startswith("__") and name not in waits.__all__]
    assert "_raise_http_error" in bound and [name for name in bound if f'"{name}"' not in sources] == []


class TestClientMethodsWrittenInPython:
    @pytest.mark.parametrize("name", ["__init__", "__repr__", "set_user"])
    def test_belong_to_the_class(self, name):
        method = vars(velm_api.ApiClient)[name]
        assert (method.__module__, method.__qualname__) == ("quenlo.sdk.velm_api", f"ApiClient.{name}")
        assert inspect.getsourcefile(method).endswith("_client.py")
        assert pickle.loads(pickle.dumps(method)) is method
        assert inspect.getdoc(method) == method.__doc__  # dedented, as help() and the stub show it

    @pytest.mark.skipif(
        sys.version_info < (3, 11),
        reason="inspect before 3.11 finds no signature for a class whose __new__ is compiled",
    )
    def test_signature_of_the_class_is_the_constructor_s(self):
        parameters = inspect.signature(velm_api.ApiClient).parameters
        assert list(parameters)[:2] == ["server_url", "authentication_method"]
        keyword_only = [n for n, p in parameters.items() if p.kind is inspect.Parameter.KEYWORD_ONLY]
        assert keyword_only == ["timeout", "retries", "probe_timeout_sec", "probe_fail_fast", "probe_retry_unreachable"]

    def test_a_subclass_constructor_reaches_them(self, engine):
        class Named(velm_api.ApiClient):
            def __init__(self, url: str) -> None:
                super().__init__(url, probe_timeout_sec=5)
                self.label = "named"

        client = Named(engine.url)
        client.set_user("a", "b")
        assert (client.label, client.session.auth) == ("named", ("a", "b"))
        assert client.version == client.get_velm_info()["version"]
        assert repr(client).startswith("<Named server_url=")


def _namespace() -> Dict[str, Any]:
    # ApiClient: a class of the module that is not a command.
    return {"__name__": "rows_under_test", "Command": velm_api.Command, "ApiClient": velm_api.ApiClient}


class TestRows:
    """What a row says is checked when it is bound, so that a mistake in one fails the import, not a call."""

    @staticmethod
    def _prepare(row: str) -> Any:
        cls = type("Client", (), {})
        return _binding.prepare_row(cls, row, lambda *args: args, _namespace())

    def test_a_row_over_several_lines(self):
        prepared = self._prepare(
            """
op(self, pipeline_id: str, name: str,
   rev: int | None = 0) -> Command
GET /pipeline/{pipeline_id}/things/{name} | query: get_params without pipeline_id, name
    | reads: thingId | returns: Command(name, thingId)
Do the thing.

Returns:
    A command.
"""
        )
        assert (prepared.arity, prepared.verb, prepared.texts, prepared.ids) == (
            4,
            "_get",
            ("/v", "/pipeline/", "/things/", ""),
            (-1, 1, 2),
        )
        assert (prepared.query, prepared.exclusions, prepared.reads, prepared.extras) == (
            "get_params",
            ("self", "pipeline_id", "name"),
            ("thingId",),
            (2, -1),
        )

    @pytest.mark.parametrize(
        ("row", "error"),
        [
            ("op(self) -> Command\nDoc without a request.", "the row of op needs a signature, then a request line"),
            ("GET /x | returns: Command\nDoc.", "begins with its signature, name(self, ...)"),
            ("op(self -> Command\nGET /x | returns: Command\nDoc.", "never closes its parentheses"),
            ("op(self, impl_: int) -> Command\nGET /x | returns: Command\nDoc.", "parameter named 'impl_'"),
            ("op(self, *names: str) -> Command\nGET /x | returns: Command\nDoc.", "the row of op takes *args"),
        ],
    )
    def test_a_mistake_in_the_signature_is_refused(self, row, error):
        with pytest.raises(ValueError, match=re.escape(error)):
            self._prepare(row)

    @pytest.mark.parametrize(
        ("request_line", "error"),
        [
            ("GET /x/{missing} | returns: Command", "names no argument 'missing'"),
            ("GET /x | query: key=nobody | returns: Command", "names no argument 'nobody'"),
            ("GET /x | query: key=self | returns: Command", "names no argument 'self'"),
            ("GET /x | query: =rev | returns: Command", "has a query entry '=rev'"),
            ("GET /x | query: a=rev, a=rev | returns: Command", "names the query key 'a' twice"),
            ("DELETE /x | body: rev | returns: Command", "sends a body with DELETE, which sends none"),
            ("GET /x | returns: ApiClient", "returns 'ApiClient': neither json"),
            ("GET /x | returns: Command(nobody)", "names no argument 'nobody'"),
            ("GET /x | querry: get_params | returns: Command", "has a field it cannot read, 'querry: get_params'"),
            ("GET /x | query: rev=rev | query: rev=rev | returns: Command", "names the field 'query' twice"),
            ("GET /x | query: get_params without pipelinId | returns: Command", "leaves out 'pipelinId'"),
            ("GET /x | query: rev | returns: Command", "has a query entry 'rev'"),
            ("GET /x | reads: rev | returns: Command(rev)", "reads a member of the answer with the name of an"),
            ("GET /x | reads: thingId | returns: Command", "reads thingId from the answer and hands it to no"),
            ("GET /x | reads: thingId | returns: json", "reads thingId from the answer and hands it to no"),
            ("GET /x | body: rev | returns: Command", "sends a body with GET, which sends none"),
            ("GET /x returns: Command", "has a path with a space in it"),
            ("GET /x | query: get_params", "says nothing of what it returns"),
            ("GET /x | returns: Comand", "returns 'Comand': neither json"),
            ("GET /x | returns: json or {}}", "returns 'json or {}}': neither json"),
            ("GET /x | returns: object", "returns 'object': neither json"),
        ],
    )
    def test_a_request_the_executor_cannot_run_is_refused_naming_the_method_and_the_row(self, request_line, error):
        with pytest.raises(ValueError) as refused:
            self._prepare(f"op(self, pipeline_id: str, rev: int | None = 0) -> Command\n{request_line}\nDoc.")
        message = str(refused.value)
        assert message.startswith(f"the row of op {error}") and message.endswith(f": {request_line!r}")

    def test_a_misspelt_field_fails_the_import(self):
        script = """
            from quenlo.sdk import _binding
            original = _binding.prepare_row
            _binding.prepare_row = lambda cls, row, *rest: original(cls, row.replace("| query:", "| querry:"), *rest)
            try:
                import quenlo.sdk.velm_api
            except ImportError as error:
                print(error.__cause__)
            """
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True)
        assert done.stdout.startswith("the row of update_pipeline has a field it cannot read, 'querry: get_params")


# Each case replaces prepare_row's answer before the module is imported, in a process of its own.
HAND_OFF = [
    ("missing member", "delattr_free(prepared, 'ids')", "TypeError", "ids is missing"),
    ("a str for an int", "replace(prepared, arity='3')", "TypeError", "arity must be an int"),
    ("a bool for an int", "replace(prepared, body=True)", "TypeError", "body must be an int"),
    ("a list for a tuple", "replace(prepared, texts=list(prepared.texts))", "TypeError", "texts must be a tuple"),
    ("an int among texts", "replace(prepared, texts=prepared.texts[:-1] + (3,))", "TypeError", "texts must hold str"),
    ("an id past the arguments", "replace(prepared, ids=(-1, 99))", "ValueError", "ids is out of range"),
    ("an id one past the arguments", "replace(prepared, ids=(-1, 3))", "ValueError", "ids is out of range"),
    ("a huge index", "replace(prepared, body=2**70)", "ValueError", "body is out of range"),
    ("texts not around the ids", "replace(prepared, texts=('/v',))", "ValueError", "texts must be one more"),
    ("a read that is not there", "replace(prepared, extras=(-3,))", "ValueError", "extras is out of range"),
    (
        "a tuple subclass",
        "replace(prepared, texts=type('T', (tuple,), {})(prepared.texts))",
        "TypeError",
        "texts must be a tuple",
    ),
    ("a read one past the end", "replace(prepared, extras=(-1,))", "ValueError", "extras is out of range"),
    ("four further arguments", "replace(prepared, extras=(1, 1, 1, 1))", "ValueError", "at most three"),
    ("an unencoded body of nothing", "replace(prepared, as_given=True)", "ValueError", "as_given needs a body"),
    ("get_params short of names", "replace(prepared, keys=('self',))", "ValueError", "keys must name every argument"),
    ("a command of no name", "replace(prepared, command=None)", "TypeError", "command must be a str"),
    ("a query of no kind", "replace(prepared, query='get_param')", "ValueError", "query is not a word the executor"),
    ("a returns of no kind", "replace(prepared, returns='jsn')", "ValueError", "returns is not a word the executor"),
    ("a mode as a number", "replace(prepared, query=1)", "TypeError", "query must be a str"),
]


@pytest.mark.parametrize(("change", "error", "message"), [c[1:] for c in HAND_OFF], ids=[c[0] for c in HAND_OFF])
def test_a_hand_off_the_executor_cannot_run_fails_the_import(change, error, message):
    script = textwrap.dedent(
        f"""
        from dataclasses import replace
        from quenlo.sdk import _binding

        original = _binding.prepare_row

        class Free:
            pass

        def delattr_free(prepared, name):
            free = Free()
            for field in vars(type(prepared))["__dataclass_fields__"]:
                if field != name:
                    setattr(free, field, getattr(prepared, field))
            return free

        def prepare_row(*args):
            prepared = original(*args)
            return {change} if args[1].lstrip().startswith("get_pipeline_rules(") else prepared

        _binding.prepare_row = prepare_row
        try:
            import quenlo.sdk.velm_api
        except ImportError as error:
            cause = error.__cause__
            print(type(cause).__name__, cause)
        else:
            print("imported")
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"{error} the prepared row of ") and message in done.stdout
