"""What the README and docs/ tell a user holds: the signatures and command lines they show are the code's, the
engine documents name what the simulator sends, the table of waits says what each wait does, the benchmark
report's notes are benchmarks/notes.md, and no file names a folder of one machine."""

from __future__ import annotations

import argparse
import ast
import dataclasses
import importlib.util
import inspect
import re
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

import pytest
import requests

from quenlo.sdk import exceptions, utils, velm_api, velm_models
from quenlo.sdk import simulator as simulator_package
from quenlo.sdk.cli._app import build_parser
from quenlo.sdk.simulator import EngineSimulator, sample_pipeline

ROOT = Path(__file__).resolve().parent.parent
DOCUMENTS = {"README.md": ROOT / "README.md", **{f"docs/{p.name}": p for p in sorted((ROOT / "docs").glob("*.md"))}}


def _load(name: str, path: Path) -> Any:
    spec = importlib.util.spec_from_file_location(name, path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


check_paths = _load("check_paths", ROOT / "tools" / "check_paths.py")


def _line(text: str, offset: int) -> int:
    return text.count("\n", 0, offset) + 1


# -- no folder of one machine -------------------------------------------------------------------------------------


# The examples are written with <S> for "/" and <B> for "\\" at the start of the path, so that this file holds
# none of them itself.
def _planted(text: str) -> str:
    return text.replace("<S>", "/").replace("<B>", "\\")


@pytest.mark.parametrize(
    ("text", "found"),
    [
        ("Set-up: <S>work/wt-rows/.venv/bin/python -c 'import x'", "<S>work/wt-rows/.venv/bin/python"),
        ("git clone repo <S>tmp/ci-clone && cd <S>tmp/ci-clone", "<S>tmp/ci-clone"),
        ("see <S>home/alice/velm/notes.md.", "<S>home/alice/velm/notes.md"),
        ("python at <S>Users/bob/.venv/bin/python", "<S>Users/bob/.venv/bin/python"),
        ("`<S>root/.cache/pip`", "<S>root/.cache/pip"),
        ("~/.pyenv/versions<S>3.11.7/bin/python3.11", ".pyenv/versions<S>3.11.7/bin/python3.11"),
        ("C:<B>Users<B>carol<B>velm", "C:<B>Users<B>carol<B>velm"),
    ],
)
def test_a_path_of_one_machine_is_found_with_its_file_and_line(
    tmp_path: Path, capsys: Any, text: str, found: str
) -> None:
    document = tmp_path / "notes.md"
    document.write_text(f"# Notes\n\n{_planted(text)}\n")
    assert check_paths.main([str(document)]) == 1
    assert f"{document}:3: {_planted(found)}:" in capsys.readouterr().err


@pytest.mark.parametrize(
    "text",
    [
        ".venv/bin/python benchmarks/bench.py --output docs/benchmarks.md",
        "the engine's folders: <S>opt/velm, <S>etc/velm, <S>var/log/velm",
        "$(pyenv root)/versions/3.X.Y/bin/python3.X and ~/.cache/zig",
        "https://velm.example.com/work/tmp/x and build/tmp/wheel",
        "python -m http.server -d build/site; --output <S>dev/null",
    ],
)
def test_paths_of_the_clone_or_of_the_engine_pass(tmp_path: Path, text: str) -> None:
    document = tmp_path / "notes.md"
    document.write_text(_planted(text) + "\n")
    assert check_paths.main([str(document)]) == 0


# -- the benchmark report -----------------------------------------------------------------------------------------


def test_the_benchmark_report_ends_with_the_notes() -> None:
    notes = (ROOT / "benchmarks" / "notes.md").read_text().strip()
    report = (ROOT / "docs" / "benchmarks.md").read_text()
    assert report.endswith("\n" + notes + "\n"), (
        "docs/benchmarks.md's notes differ from benchmarks/notes.md: "
        "`python benchmarks/bench.py --update-notes docs/benchmarks.md` copies them"
    )


def test_updating_the_notes_keeps_the_measured_part(tmp_path: Path) -> None:
    bench = _load("bench", ROOT / "benchmarks" / "bench.py")
    notes = bench.read_notes()
    measured = "# Benchmarks\n\n| a | 1.000 |\n"
    stale = measured + "\n" + notes.replace("callgrind", "cachegrind")
    assert bench.with_notes(stale, notes) == measured + "\n" + notes.strip() + "\n"
    assert bench.with_notes(measured, notes) == measured + "\n" + notes.strip() + "\n"
    report = tmp_path / "benchmarks.md"
    report.write_text(stale)
    assert bench.main(["--update-notes", str(report)]) == 0
    assert report.read_text() == measured + "\n" + notes.strip() + "\n"


def _report_sections() -> List[str]:
    return re.findall(r"^## (\d+)\. ", (ROOT / "docs" / "benchmarks.md").read_text(), re.M)


def test_the_report_has_every_section_bench_writes() -> None:
    written = re.findall(r'^\s+f?"(\d+)\. ', (ROOT / "benchmarks" / "bench.py").read_text(), re.M)
    assert len(written) >= 10 and _report_sections() == written, "`make bench` writes docs/benchmarks.md"


# "section 8 of its report, docs/benchmarks.md"; in the report's own notes, any "sections 1, 2 and 7"
SECTION_POINTER = re.compile(r"\b[Ss]ections? (\d+(?:(?:, | and )\d+)*)(?=[^.]{0,40}docs/benchmarks\.md)")
NOTES_POINTER = re.compile(r"\b[Ss]ections? (\d+(?:(?:, | and )\d+)*)")
POINTING = [(n, p.read_text(), SECTION_POINTER) for n, p in DOCUMENTS.items() if n != "docs/benchmarks.md"]


@pytest.mark.parametrize(
    ("where", "text", "pointer"),
    [*POINTING, ("benchmarks/notes.md", (ROOT / "benchmarks" / "notes.md").read_text(), NOTES_POINTER)],
    ids=[*(where for where, _, _ in POINTING), "benchmarks/notes.md"],
)
def test_a_document_points_only_to_sections_the_report_has(where: str, text: str, pointer: Any) -> None:
    numbers = {n for group in pointer.findall(text.replace("\n", " ")) for n in re.findall(r"\d+", group)}
    assert sorted(numbers - set(_report_sections()), key=int) == []


# A count of tests or a time of a run is true of one run only: a document names the command that prints it.
RUN_FIGURE = re.compile(
    r"\b\d[\d,]* (?:passed|tests?)\b|\d+ passed, \d+ failed|\b(?:two|three|four|five) (?:slow )?tests\b|took \d+ s"
)


@pytest.mark.parametrize(
    ("text", "found"),
    [("`pytest x.py`: 95 passed in 7.2 s", True), ("all but the two slow tests", True), ("lint took 27 s", True)]
    + [("each step prints its time (`took ... s`)", False), ("the tests marked slow", False)],
)
def test_a_figure_of_one_run_is_told_apart(text: str, found: bool) -> None:
    assert bool(RUN_FIGURE.search(text)) is found


def test_no_document_quotes_a_test_count_or_a_run_time() -> None:
    texts = {name: path.read_text() for name, path in DOCUMENTS.items() if name != "docs/benchmarks.md"}
    texts[".ci/run"] = (ROOT / ".ci" / "run").read_text()
    texts["benchmarks/notes.md"] = (ROOT / "benchmarks" / "notes.md").read_text()
    found = {name: RUN_FIGURE.findall(text.replace("\n", " ")) for name, text in texts.items()}
    assert {name: figures for name, figures in found.items() if figures} == {}
    # The notes are the hand-written part of the report: its measured figures come from bench.py.
    assert not re.search(r"^\|.*\| [\d,.]+ \|", texts["benchmarks/notes.md"], re.M)


# -- the README's map of the code ---------------------------------------------------------------------------------


README = DOCUMENTS["README.md"].read_text()
DEVELOPMENT = README.split("\n## Development\n", 1)[1]


def _map_paths() -> List[str]:
    """The paths the map of the code names, each from its folder (the map indents an entry under its folder)."""
    block = DEVELOPMENT.split("```\n", 2)[1]
    folders: List[Tuple[int, str]] = []
    paths: List[str] = []
    for line in block.splitlines():
        indent, first = len(line) - len(line.lstrip()), re.split(r"\s{2,}", line.strip())[0]
        if indent >= 20 or not first:  # a description that goes on
            continue
        folders = [(i, f) for i, f in folders if i < indent]
        prefix = "".join(f for _, f in folders)
        for word in first.split(" "):
            head, _, tail = word.partition("{")
            paths += [prefix + head + part for part in tail.rstrip("}").split(",")] if tail else [prefix + word]
        if first.endswith("/"):
            folders.append((indent, first))
    return paths


def test_the_map_names_only_what_exists_and_every_source_module() -> None:
    named = _map_paths()
    assert [p for p in named if not (ROOT / p).exists()] == []
    sources = [*(ROOT / "src" / "velm_api").rglob("*.[ch]pp"), *(ROOT / "src/quenlo/sdk/simulator").glob("*.py")]
    unnamed = [str(p.relative_to(ROOT)) for p in sources if str(p.relative_to(ROOT)) not in named]
    assert [p for p in unnamed if not p.endswith("__init__.py")] == []


def _table(heading: str) -> List[List[str]]:
    rows = DEVELOPMENT.split(heading, 1)[1].split("\n\n", 2)[1].splitlines()[2:]
    return [[cell.strip() for cell in row.strip("|").split(" | ")] for row in rows]


AREAS = {row[0]: row for row in _table("One set of areas")}


def test_every_area_has_its_row_and_its_files() -> None:
    from quenlo.sdk.simulator import routes

    assert sorted(AREAS) == sorted(module.__name__.rpartition(".")[2] for module in routes.AREAS)
    sections = re.findall(r"^### (.+)$", README.split("\n## Operations\n", 1)[1].split("\n## ")[0], re.M)
    for area, section, *places in AREAS.values():
        assert section in sections and f"routes/{area}.py`" in places[1] and f"tests/test_{area}.py`" in places[-1]
        assert [p for p in re.findall(r"`([^`]+)`", " ".join(places)) if not (ROOT / p).exists()] == []
    rows = {cell for row in AREAS.values() for cell in re.findall(r"operations/(\w+\.cpp)", row[2])}
    assert rows == {p.name for p in (ROOT / "src/velm_api/operations").glob("*.cpp")} - {"rows.cpp"}


def _name_pattern(quoted: str) -> str:
    # `cmd_<name>` and `counter_wait<metric>` stand for any name; `ClientMethods.__init__` for its two names
    name = quoted.lstrip("@").split("(")[0]
    return r"\b" + r"\b.*\b".join(re.sub(r"<[\w ]+>", r"<?\\w+>?", re.escape(part)) for part in name.split(".")) + r"\b"


@pytest.mark.parametrize("row", _table("Where to add what"), ids=lambda row: row[0])
def test_where_to_add_what_names_places_that_exist(row: List[str]) -> None:
    quoted = re.findall(r"`([^`]+)`", " ".join(row[1:]))
    paths = [q for q in quoted if "/" in q and " " not in q]
    files: Dict[Path, None] = {}
    for path in paths:
        matches = [sorted(ROOT.glob(path.replace("<area>", area))) for area in AREAS]
        assert all(matches), path
        files.update((m, None) for group in matches for m in group if m.is_file())
    text = "\n".join(f.read_text() for f in files)
    names = [q for q in quoted if q not in paths and re.match(r"^@?[\w.<>]+(\(|$)", q)]
    assert [n for n in names if not re.search(_name_pattern(n), text, re.S)] == []
    headings = re.findall(r"^#+ (.+)$", README, re.M)
    assert [h for h in re.findall(r'"([^"]+)"', row[2]) if h not in headings] == []


# -- signatures shown in the documents ----------------------------------------------------------------------------

REQUIRED = object()
ANY = object()  # a default shown as "..." or holding it: not compared


def _shown_default(node: ast.expr) -> Any:
    if any(isinstance(n, ast.Constant) and n.value is Ellipsis for n in ast.walk(node)):
        return ANY
    return ast.literal_eval(node)


def _shown_parameters(definition: ast.FunctionDef) -> List[Tuple[str, Any, bool]]:
    """(name, default or REQUIRED, keyword-only) of a signature as a document shows it; *args and **kwargs are
    named by their stars alone."""
    args = definition.args
    positional = args.posonlyargs + args.args
    defaults = [REQUIRED] * (len(positional) - len(args.defaults)) + [_shown_default(d) for d in args.defaults]
    shown = [(a.arg, d, False) for a, d in zip(positional, defaults)]
    if args.vararg:
        shown.append(("*", REQUIRED, False))
    for a, d in zip(args.kwonlyargs, args.kw_defaults):
        shown.append((a.arg, REQUIRED if d is None else _shown_default(d), True))
    if args.kwarg:
        shown.append(("**", REQUIRED, True))
    return shown


def _real_parameters(function: Any) -> Optional[List[Tuple[str, Any, bool]]]:
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):
        return None
    parameters = list(signature.parameters.values())
    if parameters and parameters[0].name == "self":
        parameters = parameters[1:]
    real = []
    for p in parameters:
        # *args and **kwargs are told by their stars: what a document calls them is its own choice.
        star = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind)
        default = REQUIRED if p.default is p.empty or star else p.default
        real.append((star or p.name, default, p.kind in (p.KEYWORD_ONLY, p.VAR_KEYWORD)))
    return real


def _disagreement(shown: List[Tuple[str, Any, bool]], real: List[Tuple[str, Any, bool]]) -> Optional[str]:
    """Why ``shown`` is not ``real`` (None when it is): shown parameters must be real ones in their order, with
    their defaults and kinds. Optional ones may be left out or shown without their default, as a reader who
    passes them loses nothing; a required one may not be left out or shown with a default."""
    names = [name for name, _, _ in real]
    last = -1
    for name, default, keyword in shown:
        if name not in names:
            return f"no parameter {name!r}"
        index = names.index(name)
        if index < last:
            return f"{name!r} out of order"
        last = index
        _, real_default, real_keyword = real[index]
        if default is not REQUIRED and real_default is REQUIRED:
            return f"{name!r} is required"
        if default not in (REQUIRED, ANY) and (default != real_default or type(default) is not type(real_default)):
            return f"{name!r} defaults to {real_default!r}, not {default!r}"
        if keyword and not real_keyword:
            return f"{name!r} is not keyword-only"
    missing = [name for name, default, _ in real if default is REQUIRED and name not in [s[0] for s in shown]]
    return f"required {missing} left out" if missing else None


def _candidates() -> Dict[str, List[Any]]:
    """Every public callable a document may show, by name, from the classes and modules users meet."""
    state = EngineSimulator().state
    owners: List[Any] = [
        velm_api.ApiClient,
        *[getattr(velm_api, n) for n in dir(velm_api) if n.endswith("Command")],
        EngineSimulator,
        type(state),
        *[type(v) for n, v in vars(state).items() if not n.startswith("_")],
        simulator_package.VirtualClock,
        simulator_package,
        velm_models,
        *[v for v in vars(velm_models).values() if inspect.isclass(v)],
        utils,
        exceptions,
        simulator_package.RecordedRequest,
    ]
    found: Dict[str, List[Any]] = {"EngineSimulator": [EngineSimulator], "ApiClient": [velm_api.ApiClient]}
    for owner in owners:
        for name in dir(owner):
            if name.startswith("_"):
                continue
            value = getattr(owner, name, None)
            if callable(value) and not inspect.isclass(value):
                found.setdefault(name, []).append(value)
    return found


CANDIDATES = _candidates()
# `name(params)` in code spans; the call's owner before the dot may be anything.
SHOWN_CALL = re.compile(r"`(?:[A-Za-z_]\w*\.)*([A-Za-z_]\w*)\(([^`()]*(?:\([^`()]*\)[^`()]*)*)\)`")


def shown_signatures() -> Iterator[Tuple[str, str, List[Tuple[str, Any, bool]]]]:
    """(where, the text shown, its parameters) for every code span that shows a signature: a call whose
    arguments are bare names (or a ``*``), as a signature is written, not literal values, as a call is."""
    for document, path in DOCUMENTS.items():
        text = path.read_text()
        for match in SHOWN_CALL.finditer(text):
            name, arguments = match.group(1), " ".join(match.group(2).split())
            try:
                definition = ast.parse(f"def {name}({arguments}): pass").body[0]
            except SyntaxError:
                continue  # a call with values: an example, not a signature
            assert isinstance(definition, ast.FunctionDef)
            if definition.args.args or definition.args.kwonlyargs or definition.args.vararg:
                if any(d is REQUIRED for _, d, _ in _shown_parameters(definition)) or definition.args.kwonlyargs:
                    yield (
                        f"{document}:{_line(text, match.start())}",
                        f"{name}({arguments})",
                        _shown_parameters(definition),
                    )


SHOWN = [
    (where, shown, parameters) for where, shown, parameters in shown_signatures() if shown.split("(")[0] in CANDIDATES
]


def test_the_documents_show_signatures_of_the_code() -> None:
    assert len(SHOWN) >= 25
    assert any(shown.startswith("inject_fault(") for _, shown, _ in SHOWN)


@pytest.mark.parametrize(("where", "shown", "parameters"), SHOWN, ids=[f"{w} {s.split('(')[0]}" for w, s, _ in SHOWN])
def test_a_signature_shown_is_the_code_s(where: str, shown: str, parameters: List[Tuple[str, Any, bool]]) -> None:
    reasons = []
    for candidate in CANDIDATES[shown.split("(")[0]]:
        real = _real_parameters(candidate)
        if real is None:
            continue
        reason = _disagreement(parameters, real)
        if reason is None:
            return
        reasons.append(f"{getattr(candidate, '__qualname__', candidate)}{inspect.signature(candidate)}: {reason}")
    pytest.fail(f"{where} shows {shown}, but " + "; ".join(reasons))


@pytest.mark.parametrize(
    ("shown", "real", "reason"),
    [
        ("f(a, status=503, count=2)", "def f(a, status=None, body=None, count=1): pass", "defaults to None"),
        ("f(a, b=1)", "def f(a, b): pass", "is required"),
        ("f(a, *, b=1)", "def f(a, b=1): pass", "not keyword-only"),
        ("f(b=1, a)", "def f(a, b=1): pass", None),  # not a valid signature: never shown as one
        ("f(a)", "def f(a, b): pass", "left out"),
        ("f(b, a)", "def f(a, b): pass", "out of order"),
        ("f(a, flag=1)", "def f(a, flag=True): pass", "defaults to True"),
    ],
)
def test_a_wrong_signature_is_told_apart(shown: str, real: str, reason: Optional[str]) -> None:
    try:
        definition = ast.parse(f"def {shown}: pass").body[0]
    except SyntaxError:
        assert reason is None
        return
    namespace: Dict[str, Any] = {}
    exec(real, namespace)
    assert isinstance(definition, ast.FunctionDef)
    found = _disagreement(_shown_parameters(definition), _real_parameters(namespace["f"]) or [])
    assert found is not None and reason is not None and reason in found


# -- command lines shown in the documents -------------------------------------------------------------------------


def _options(parser: argparse.ArgumentParser) -> List[str]:
    return [option for action in parser._actions for option in action.option_strings]


def _velm() -> Tuple[List[str], Dict[str, argparse.ArgumentParser]]:
    parser = build_parser()
    commands: Dict[str, argparse.ArgumentParser] = {}
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            commands.update(action.choices)
    return _options(parser), commands


def velm_uses() -> Iterator[Tuple[str, str]]:
    """(where, the words after ``velm``) of every velm command line in a shell block or a code span."""
    for document, path in DOCUMENTS.items():
        text = path.read_text()
        for block in re.finditer(r"```sh\n(.*?)```", text, flags=re.S):
            for offset, line in enumerate(block.group(1).splitlines()):
                command = re.split(r"(?:^|\s)#", line, maxsplit=1)[0]  # a comment may speak of velm in words
                for use in re.finditer(r"(?:^|[\s;(|&])velm ([^|;&)]*)", command):
                    yield f"{document}:{_line(text, block.start()) + 1 + offset}", use.group(1)
        for span in re.finditer(r"`velm ([^`]*)`", text):
            yield f"{document}:{_line(text, span.start())}", span.group(1)


VELM_USES = list(velm_uses())


def test_the_readme_s_table_names_every_velm_command() -> None:
    _, commands = _velm()
    section = DOCUMENTS["README.md"].read_text().split("\n## Command line\n", 1)[1].split("\n## ", 1)[0]
    listed = re.findall(r"^\| `velm (\w+)", section, flags=re.M)
    assert sorted(set(listed)) == sorted(commands)


@pytest.mark.parametrize(("where", "words"), VELM_USES, ids=[w for w, _ in VELM_USES])
def test_a_velm_command_line_shown_takes_the_options_it_shows(where: str, words: str) -> None:
    global_options, commands = _velm()
    named = [word for word in words.split() if word in commands]
    allowed = set(global_options) | (set(_options(commands[named[0]])) if named else set())
    shown = re.findall(r"(?<![\w-])(--?[a-zA-Z][\w-]*)", words)
    assert named or not words.strip() or words.split()[0].startswith("-"), f"{where}: no velm command in {words!r}"
    assert [option for option in shown if option not in allowed] == [], f"{where}: velm {words}"


def test_every_velm_option_the_readme_names_exists() -> None:
    global_options, commands = _velm()
    known = set(global_options).union(*(_options(c) for c in commands.values()))
    section = DOCUMENTS["README.md"].read_text().split("\n## Command line\n", 1)[1].split("\n## ", 1)[0]
    named = set(re.findall(r"`(--[a-z][\w-]*)", section))
    assert len(named) >= 10
    assert sorted(named - known) == []


def test_every_simulator_option_the_documents_name_exists() -> None:
    help_text = subprocess.run(
        [sys.executable, "-m", "quenlo.sdk.simulator", "--help"], capture_output=True, text=True, check=True
    ).stdout
    known = set(re.findall(r"(--[a-z][\w-]*)", help_text))
    named = set()
    for path in DOCUMENTS.values():
        for line in re.findall(r"[^\n]*quenlo\.sdk\.simulator[^\n]*(?:\n(?![\n#]).*)*", path.read_text()):
            named.update(re.findall(r"`(--[a-z][\w-]*)", line))
            if "python -m quenlo.sdk.simulator" in line:
                named.update(
                    re.findall(r"(?<![\w-])(--[a-z][\w-]*)", line.split("python -m quenlo.sdk.simulator", 1)[1])
                )
    assert {"--port", "--sample", "--fault"} <= named
    assert sorted(named - known) == []


def test_the_run_plan_table_of_the_guide_gives_the_settings_and_their_defaults() -> None:
    guide = DOCUMENTS["docs/simulator.md"].read_text()
    # The first table after the guide names RunPlan.
    table = re.search(r"(?:^[ ]*\|.*\n)+", guide[guide.index("`RunPlan`") :], flags=re.M)
    assert table is not None
    rows = re.findall(r"^\s*\| `(\w+)` \| ([^|]+) \| [^|]+ \|$", table.group(0), flags=re.M)
    fields = {field.name: field.default for field in dataclasses.fields(simulator_package.RunPlan)}
    assert [name for name, _ in rows] == list(fields)
    for name, cell in rows:
        try:
            shown = ast.literal_eval(cell.strip())
        except (ValueError, SyntaxError):
            shown = None  # said in words ("the last stage"): the field's default is None, decided at run time
        assert (name, shown) == (name, fields[name])


# -- the engine's documents ---------------------------------------------------------------------------------------

ENGINE_DOCUMENTS = (ROOT / "docs" / "engine-documents.md").read_text()


def _error_code_rows() -> Dict[str, Tuple[str, str]]:
    section = ENGINE_DOCUMENTS.split("\n## Errors\n", 1)[1]
    return {
        code: (status, meaning)
        for code, status, meaning in re.findall(r"^\| `(\w+)` \| (\w+) \| (.*) \|$", section, re.M)
    }


@pytest.fixture
def running(velm_engine: EngineSimulator, velm_client: velm_api.ApiClient) -> velm_api.ApiClient:
    velm_engine.state.runs.configure("orders", batches=None)
    velm_client.import_pipeline("orders", sample_pipeline("Orders", "orders"))
    velm_client.start_pipeline("orders")
    return velm_client


@pytest.mark.parametrize(
    ("refused", "words"),
    [
        (lambda client: client.delete_pipeline("orders"), "delete a running pipeline"),
        (
            lambda client: client.update_pipeline_committed_offsets("orders", body={"offsets": {"o": "1"}}),
            "offsets changed",
        ),
        (lambda client: client.reset_origin_offset("orders"), "origin reset"),
    ],
    ids=["delete", "offsets", "reset"],
)
def test_a_refusal_of_a_running_pipeline_has_the_documented_code(
    running: velm_api.ApiClient, refused: Callable[[velm_api.ApiClient], Any], words: str
) -> None:
    with pytest.raises(requests.HTTPError) as raised:
        refused(running)
    code = raised.value.response.json()["error"]["code"]
    status, meaning = _error_code_rows()[code]
    assert (status, words in meaning) == (str(raised.value.response.status_code), True), (code, meaning)


@pytest.mark.velm_engine(virtual_time=True)
def test_the_log_lines_of_a_run_are_worded_as_documented(
    velm_engine: EngineSimulator, velm_client: velm_api.ApiClient
) -> None:
    velm_client.import_pipeline("orders", sample_pipeline("Orders", "orders"))
    velm_client.start_pipeline("orders").wait_for_finished(timeout_sec=60)
    velm_engine.state.runs.configure("orders", fail_after_batch=0, run_error="Disk full")
    with pytest.raises(velm_api.RunError):
        velm_client.start_pipeline("orders").wait_for_finished(timeout_sec=60)
    logged = [entry["message"] for entry in velm_client.get_logs(pipeline="orders").response.json()]
    section = ENGINE_DOCUMENTS.split("\n### Logs\n", 1)[1].split("\n### ", 1)[0]
    example = re.search(r'"message": "([^"]*)"', section)
    assert example is not None and example.group(1) in logged
    for shown in re.findall(r"`(Run of 'orders' [^`]*)`", section):
        pattern = re.escape(shown).replace(re.escape("<message>"), ".+")
        assert any(re.fullmatch(pattern, line) for line in logged), (shown, logged)


# -- the table of waits -------------------------------------------------------------------------------------------

CLASSIC = {
    "wait_for_finished": (lambda client: client.start_pipeline("p"), lambda c, t: c.wait_for_finished(timeout_sec=t)),
    "wait_for_status": (
        lambda client: client.get_pipeline_status("p"),
        lambda c, t: c.wait_for_status("FINISHED", timeout_sec=t),
    ),
    "wait_for_stopped": (
        lambda client: client.start_pipeline("p") and client.stop_pipeline("p"),
        lambda c, t: c.wait_for_stopped(timeout_sec=t),
    ),
}


@pytest.fixture
def arranged(velm_client: velm_api.ApiClient) -> velm_api.ApiClient:
    # Each wait below starts (and stops) a run of its own: the clock the waits move ends the one before.
    velm_client.import_pipeline("p", sample_pipeline("P", "p"))
    return velm_client


def _other_final(wait: str) -> str:
    return "FINISHED" if wait == "wait_for_stopped" else "STOPPED"


@pytest.mark.velm_engine(virtual_time=True)
@pytest.mark.parametrize("wait", CLASSIC)
class TestWhichWait:
    def test_another_final_status_is_waited_out_by_the_classic_wait_and_ends_wait_at_once(
        self, velm_engine: EngineSimulator, arranged: velm_api.ApiClient, wait: str
    ) -> None:
        make, classic = CLASSIC[wait]
        velm_engine.script_status("p", ["RUNNING", _other_final(wait)])
        with pytest.raises(velm_api.WaitTimeoutError) as raised:
            classic(make(arranged), 20)
        assert raised.value.elapsed >= 20 and raised.value.last_status == _other_final(wait)
        velm_engine.script_status("p", ["RUNNING", _other_final(wait)])
        start = velm_engine.clock.elapsed
        with pytest.raises(velm_api.UnexpectedStatusError) as ended:
            make(arranged).wait("STOPPED" if wait == "wait_for_stopped" else "FINISHED", timeout_sec=20)
        assert ended.value.status == _other_final(wait) and velm_engine.clock.elapsed - start <= 2

    @pytest.mark.parametrize("status", [502, 503, 504])
    def test_a_failed_poll_ends_the_classic_wait_and_is_polled_through_by_wait(
        self, velm_engine: EngineSimulator, arranged: velm_api.ApiClient, wait: str, status: int
    ) -> None:
        make, classic = CLASSIC[wait]
        target = "STOPPED" if wait == "wait_for_stopped" else "FINISHED"
        velm_engine.script_status("p", ["RUNNING", "RUNNING", target])
        command = make(arranged)
        velm_engine.inject_fault("GET", "/v1/pipeline/p/status", status=status)
        with pytest.raises(exceptions.EngineHTTPError) as raised:
            classic(command, 20)
        assert raised.value.status_code == status
        velm_engine.clock.advance(60)  # the run the raised wait left ends
        velm_engine.script_status("p", ["RUNNING", "RUNNING", target])
        command = make(arranged)
        velm_engine.inject_fault("GET", "/v1/pipeline/p/status", status=status)
        assert command.wait(target, timeout_sec=20)["status"] == target

    def test_the_classic_wait_may_overshoot_by_a_poll_and_wait_keeps_its_deadline(
        self, velm_engine: EngineSimulator, arranged: velm_api.ApiClient, wait: str
    ) -> None:
        make, classic = CLASSIC[wait]
        velm_engine.script_status("p", ["RUNNING"])
        with pytest.raises(velm_api.WaitTimeoutError) as raised:
            classic(make(arranged), 2.5)
        assert raised.value.elapsed == pytest.approx(3.0, abs=0.01)
        with pytest.raises(velm_api.WaitTimeoutError) as kept:
            make(arranged).wait("STOPPED" if wait == "wait_for_stopped" else "FINISHED", timeout_sec=2.5)
        assert kept.value.elapsed == pytest.approx(2.5, abs=0.01)


# -- the reference of the operations ------------------------------------------------------------------------------

OPERATIONS = sorted(n for n, v in vars(velm_api.ApiClient).items() if not n.startswith("_") and callable(v))


@pytest.mark.parametrize("name", OPERATIONS)
def test_an_operation_s_docstring_describes_each_parameter_and_its_answer_in_words(name: str) -> None:
    method = getattr(velm_api.ApiClient, name)
    doc = inspect.getdoc(method) or ""
    arguments = doc.split("\nArgs:\n", 1)[1].split("\n\n", 1)[0] if "\nArgs:\n" in doc else ""
    described = re.findall(r"^    (\w+): \S", arguments, flags=re.M)
    parameters = [p for p in inspect.signature(method).parameters if p != "self"]
    assert described == parameters
    returns = doc.split("\nReturns:\n", 1)[1] if "\nReturns:\n" in doc else ""
    assert (returns.strip() != "") == (inspect.signature(method).return_annotation not in ("None", None))
    assert "(self, response" not in doc


@pytest.mark.parametrize(
    ("name", "parameter", "where"),
    [
        ("get_pipeline_status", "only_if_exists", "query value ``onlyIfExists``"),
        ("get_all_pipeline_configuration_info", "len_", "query value ``len``"),
        ("get_pipeline_committed_offsets", "rev", "not sent"),
        ("start_pipeline", "runtime_parameters", "JSON body"),
        ("create_fragment", "body", "as given"),
        ("get_preview_status", "previewer_id", "in the path"),
        ("get_pipeline_error_messages", "stage_instance_name", "query value ``stageInstanceName``"),
    ],
)
def test_an_operation_s_parameter_says_where_the_request_carries_it(name: str, parameter: str, where: str) -> None:
    doc = inspect.getdoc(getattr(velm_api.ApiClient, name)) or ""
    (line,) = [line for line in doc.splitlines() if line.startswith(f"    {parameter}: ")]
    assert where in line


# -- the site -----------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("markdown", "html"),
    [
        (
            "| `f(a)` | POST `/pipeline/{pipeline_id}/start` |",
            "| `f(a)` | POST <code>/<wbr>pipeline/<wbr>{pipeline&#95;id}/<wbr>start</code> |",
        ),
        ("| `StartError`, ...; with `ignore_errors=True` |", "| `StartError`, ...; with `ignore_errors=True` |"),
        ("a path `a/b` outside a table", "a path `a/b` outside a table"),
        (
            "| `velm export [--all] -o out/*_x` | `quenlo.sdk.exceptions` | `[--wait]` |",
            "| <code>velm export &#91;--all&#93; -o out/<wbr>&#42;&#95;x</code> | "
            "<code>quenlo.<wbr>sdk.<wbr>exceptions</code> | `[--wait]` |",
        ),
        ("| `a<b>/c` |", "| <code>a&lt;b&gt;/<wbr>c</code> |"),
    ],
    ids=["path", "spans-apart", "prose", "markdown-characters", "html"],
)
def test_a_table_cell_may_break_a_path_or_a_dotted_name_only_at_its_marks(markdown: str, html: str) -> None:
    pytest.importorskip("mkdocs")
    hooks = _load("docs_hooks", ROOT / "tools" / "docs_hooks.py")
    assert hooks.table_breaks(markdown) == html
