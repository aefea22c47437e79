"""MkDocs hooks of the reference site (mkdocs.yml): the pages that are written from other sources.

- ``index.md``: the README, its links made to work inside the site.
- ``reference/client.md`` and ``reference/operations-*.md``: ``ApiClient`` itself, and its operations by area, in
  the areas (and order) of the README's operation tables, each table followed by the methods' reference as the
  stub ``velm_api.pyi`` documents them.
- ``cli.md``: ``velm --help`` and the help of each command, from the parser itself.

Then it checks that every public name the stub defines (module-level names, classes, ``ApiClient`` methods) is
documented on some page, and warns (which fails the strict build) naming each one that is not.
"""

from __future__ import annotations

import ast
import html
import logging
import os
import re
from pathlib import Path
from typing import Any, Dict, List, Set, Tuple

from mkdocs.config.defaults import MkDocsConfig
from mkdocs.structure.files import File, Files

log = logging.getLogger("mkdocs.plugins.velm_reference")

ROOT = Path(__file__).resolve().parent.parent
STUB = ROOT / "src" / "quenlo" / "sdk" / "velm_api.pyi"
MODULE = "quenlo.sdk.velm_api"
# A reference line of mkdocstrings: "::: dotted.name".
REFERENCE = re.compile(r"^:::\s+(\S+)", re.M)
# A relative Markdown link: [text](target), target without a scheme.
LINK = re.compile(r"\[([^\]]+)\]\((?![a-z][a-z0-9+.-]*:|#)([^)\s]+)\)")


class GroupedEntries(logging.Filter):
    """Our docstrings may name several arguments in one entry ("username, password: ...") and list the raised
    classes on one line ("Raises: WaitTimeoutError, UnexpectedStatusError"); the Google-style parser wants one
    name per entry and warns. Those two forms are read as written, so only their warnings are dropped: every other
    docstring warning still fails the strict build."""

    GROUPED = re.compile(
        r"[Pp]arameter '\w+(?:, \w+)+'|Failed to get 'exception: description' pair from '\w+(?:, \w+)*'"
    )

    def filter(self, record: logging.LogRecord) -> bool:
        return not self.GROUPED.search(record.getMessage())


for _name in ("griffe", "mkdocs.plugins.griffe"):
    logging.getLogger(_name).addFilter(GroupedEntries())


def stub_names() -> Tuple[Dict[str, str], List[str], List[str]]:
    """The stub's public module-level names, each with the module whose page may document it (its own, or the
    home module of a name it re-exports as ``from quenlo.sdk.x import Name as Name``); ``ApiClient``'s public
    attributes; and its public methods."""
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    names: Dict[str, str] = {}
    attributes: List[str] = []
    methods: List[str] = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = MODULE
            if node.name == "ApiClient":
                for member in node.body:
                    if isinstance(member, ast.FunctionDef) and not member.name.startswith("_"):
                        methods.append(member.name)
                    elif isinstance(member, ast.AnnAssign) and isinstance(member.target, ast.Name):
                        attributes.append(member.target.id)
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = MODULE
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = MODULE
        elif isinstance(node, ast.Assign):
            names.update({target.id: MODULE for target in node.targets if isinstance(target, ast.Name)})
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("quenlo.sdk."):
            names.update({alias.name: node.module or "" for alias in node.names if alias.asname == alias.name})
    public = {name: home for name, home in names.items() if not name.startswith("_")}
    return public, attributes, methods


def readme_section(readme: str, title: str) -> str:
    """The body of the README's ``## title`` section, up to the next ``## `` heading."""
    match = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", readme, re.M | re.S)
    return match.group(1) if match else ""


def operation_areas(readme: str) -> List[Tuple[str, str, List[str]]]:
    """The areas of the README's "Operations" section: title, its table, and the methods its rows name."""
    operations = readme_section(readme, "Operations")
    areas = []
    for block in re.split(r"^### ", operations, flags=re.M)[1:]:
        title, _, body = block.partition("\n")
        table = "\n".join(line for line in body.splitlines() if line.startswith("|"))
        methods: List[str] = []
        for row in table.splitlines()[2:]:
            for name in re.findall(r"`(\w+)\(", row.split("|")[1]):
                if name not in methods:
                    methods.append(name)
        areas.append((title.strip(), table, methods))
    return areas


def area_file(title: str) -> str:
    return "reference/operations-" + re.sub(r"[^a-z]+", "-", title.lower().split(",")[0].split()[0]) + ".md"


def site_readme(readme: str) -> str:
    """The README as a page of the site: links to docs/ become links between pages, and links to other files of
    the repository, which the site does not hold, become their path in code."""

    def relink(match: re.Match[str]) -> str:
        text, target = match.group(1), match.group(2)
        if target.startswith("docs/"):
            return f"[{text}]({target[len('docs/') :]})"
        return f"{text} (`{target}`)"

    return LINK.sub(relink, readme)


def reference(name: str, **options: Any) -> str:
    lines = [f"::: {name}"]
    if options:
        lines.append("    options:")
        for key, value in options.items():
            lines.append(f"      {key}: {value}")
    return "\n".join(lines) + "\n"


def client_page(attributes: List[str], methods: List[str], areas: List[Tuple[str, str]]) -> str:
    """``ApiClient``: construction, attributes, and the methods no operations area names."""
    members = ["__init__", *attributes, *methods, "__enter__", "__exit__"]
    return (
        "# ApiClient\n\n"
        "The client of one engine. Its operations are documented by area: "
        + ", ".join(f"[{title}]({Path(path).name})" for title, path in areas)
        + ".\n\n"
        + reference(f"{MODULE}.ApiClient", members=f"[{', '.join(members)}]", heading_level=2)
    )


def operations_page(title: str, table: str, methods: List[str]) -> str:
    parts = [
        f"# {title}\n",
        "Methods of [`ApiClient`](client.md). Paths are under `{server_url}/rest/v{api_version}`.\n",
        table + "\n",
    ]
    parts += [reference(f"{MODULE}.ApiClient.{name}", heading_level=2, show_root_full_path="false") for name in methods]
    return "\n".join(parts)


def cli_page() -> str:
    """``velm --help`` and the help of each command, as argparse prints them on an 80-column terminal."""
    from quenlo.sdk.cli._app import build_parser

    parser = build_parser()
    parser.prog = "velm"
    commands: Dict[str, Any] = {}
    for action in parser._actions:
        if action.choices and isinstance(action.choices, dict):
            commands.update(action.choices)
    width = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = "80"  # argparse wraps to the terminal's width, which it reads from COLUMNS
    try:
        parts = [
            "# The velm command line\n",
            '`velm` comes with the `cli` extra (`pip install "quenlo-sdk[cli]"`); `python -m quenlo.sdk.cli` runs the '
            "same. What its exit codes mean: [Exit codes](exit-codes.md).\n",
            "```text\n" + parser.format_help().rstrip() + "\n```\n",
        ]
        for name, command in commands.items():
            parts.append(f"## velm {name}\n")
            parts.append("```text\n" + command.format_help().rstrip() + "\n```\n")
    finally:
        if width is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = width
    return "\n".join(parts)


def exit_codes_page(template: str) -> str:
    """docs/exit-codes.md with its table written from the command line's own table of exit codes."""
    from quenlo.sdk.cli._errors import EXIT_CODES

    rows = "".join(f"| {entry.code} | `{entry.kind}` | {entry.meaning} |\n" for entry in EXIT_CODES)
    marker = re.search(r"^<!-- exit-codes:.*-->$", template, re.M)
    if marker is None:
        log.warning("docs/exit-codes.md has no exit-codes marker for its table")
        return template
    return (
        template[: marker.start()] + "| Code | Kind | Meaning |\n|---:|---|---|\n" + rows + template[marker.end() + 1 :]
    )


# A code span of a table row that holds a path or a dotted name: the cell may break after its "/" and "."
# (site.css keeps every other break out of the middle of a word).
CODE_SPAN = re.compile(r"`([^`]*)`")
MARKDOWN_CHARACTERS = {ord(c): f"&#{ord(c)};" for c in "[]*_\\"}


def table_breaks(markdown: str) -> str:
    """``markdown`` with each code span of a table row that holds "/" or "." written as HTML with a ``<wbr>``
    after each, so that a long path breaks at a segment, not inside one."""

    def marked(match: re.Match[str]) -> str:
        if not re.search(r"[/.]", match.group(1)):
            return match.group(0)
        # As HTML, the span's text is still read as Markdown: its brackets, stars and underscores are written as
        # character references, so that they stay text.
        text = html.escape(match.group(1), quote=False).translate(MARKDOWN_CHARACTERS)
        return "<code>" + re.sub(r"([/.])(?=[^/.])", r"\1<wbr>", text) + "</code>"

    return "\n".join(CODE_SPAN.sub(marked, line) if line.startswith("|") else line for line in markdown.split("\n"))


def on_page_markdown(markdown: str, **_: Any) -> str:
    return table_breaks(markdown)


def documented(pages: List[str]) -> Set[str]:
    found: Set[str] = set()
    for text in pages:
        for name in REFERENCE.findall(text):
            found.add(name)
            for members in re.findall(r"^\s+members:\s*\[([^\]]*)\]", text[text.index(f"::: {name}") :], re.M)[:1]:
                found.update(f"{name}.{member.strip()}" for member in members.split(","))
    return found


def on_files(files: Files, config: MkDocsConfig) -> Files:
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    names, attributes, methods = stub_names()
    generated: Dict[str, str] = {
        "index.md": site_readme(readme),
        "cli.md": cli_page(),
        "exit-codes.md": exit_codes_page((ROOT / "docs" / "exit-codes.md").read_text(encoding="utf-8")),
    }
    in_areas: List[str] = []
    areas: List[Tuple[str, str]] = []
    for title, table, area_methods in operation_areas(readme):
        unknown = [name for name in area_methods if name not in methods]
        if unknown:
            log.warning("README operations area %r names methods ApiClient does not have: %s", title, unknown)
        known = [name for name in area_methods if name in methods and name not in in_areas]
        in_areas += known
        path = area_file(title)
        areas.append((title, path))
        generated[path] = operations_page(title, table, known)
    generated["reference/client.md"] = client_page(
        attributes, [name for name in methods if name not in in_areas], areas
    )
    for path, content in generated.items():
        if files.get_file_from_path(path) is not None:
            files.remove(files.get_file_from_path(path))
        files.append(File.generated(config, path, content=content))

    pages = [file.content_string for file in files.documentation_pages()]
    covered = documented(pages)
    for name, home in names.items():
        if not {f"{MODULE}.{name}", f"{home}.{name}", home} & covered:
            log.warning(
                "%s.%s is documented on no page: add '::: %s.%s' to a page of docs/reference/",
                MODULE,
                name,
                MODULE,
                name,
            )
    return files
