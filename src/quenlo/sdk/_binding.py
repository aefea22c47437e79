"""Import-time support of quenlo.sdk.velm_api: methods compiled from their signatures, with a source that
tracebacks and ``inspect.getsource`` show and annotations that ``typing.get_type_hints`` resolves, and operation
rows read into what the extension's executor needs at each call. Nothing here runs during a call."""

from __future__ import annotations

import collections.abc
import importlib.machinery
import linecache
import re
import sys
import threading
import types
import typing
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

import quenlo.sdk
from quenlo.sdk.utils import _camel_case

_RETURNS = {"json": 0, "json or {}": 1, "json or []": 2}
_RETURNS_DOC = {
    0: "The decoded JSON body.",
    1: "The decoded JSON body, or an empty dict when the body is empty.",
    2: "The decoded JSON body, or an empty list when the body is empty.",
}

# What annotations name besides the module's own names: the module binds none of these, and adding them there
# would add public names to it.
_ANNOTATION_MODULES = {
    "typing": typing,
    "collections": collections,
    "types": types,
    "threading": threading,
    "quenlo": quenlo,
}
_annotation_globals: Dict[str, Dict[str, Any]] = {}

# What a parameter name means wherever an operation takes it; the docstring adds where the row sends it.
_MEANINGS = {
    "pipeline_id": "The pipeline's id",
    "rev": "The pipeline's revision",
    "previewer_id": "The id of the validation or preview (``previewerId`` in the engine's answer)",
    "snapshot_name": "The snapshot's name",
    "snapshot_id": "The snapshot's name",
    "snapshot_label": "The snapshot's label",
    "fragment_id": "The fragment's id",
    "stage_instance_name": "The name of the stage",
}


def _arguments_doc(names: List[str], path: List[str], query: Dict[str, str], body: str, as_given: bool) -> str:
    """An ``Args:`` section saying what each parameter is and where the request carries it: ``query`` maps a
    parameter to its query name."""
    lines = ["Args:"]
    for name in names:
        if name in path:
            where = "placed in the path as one segment"
        elif name == body:
            where = "sent as the request body as given, not encoded as JSON" if as_given else "sent as the JSON body"
        elif name in query:
            where = f"sent as the query value ``{query[name]}``, left out when None"
        else:
            where = "not sent to the engine"
        meaning = _MEANINGS.get(name)
        lines.append(f"    {name}: {meaning}, {where}." if meaning else f"    {name}: {where[0].upper()}{where[1:]}.")
    return "\n".join(lines)


def _returns_doc(command: str, further: List[str]) -> str:
    """The ``Returns:`` text of an operation that answers a command: what the command holds, in words, and
    what else it is made with (``further``, already in words)."""
    held = "the engine's answer as ``response``"
    if further:
        held += ", for " + " and ".join(further)
    return f"A {command} holding {held}."


_TOKEN = re.compile(r"""[][(){},/]|'[^']*'|"[^"]*"|\*{0,2}[A-Za-z_][\w.]*""")
_REQUEST = re.compile(r"(GET|POST|PUT|DELETE) /")


def _parameter_names(signature: str) -> List[str]:
    """The parameter names of a signature, read without compiling it (bind checks them against the compiled
    function): the first name of each parameter at the top level of the parentheses."""
    names: List[str] = []
    depth, expecting = 0, True
    for token in _TOKEN.findall(signature, signature.index("(") + 1):
        if token in "([{":
            depth += 1
        elif token in ")]}":
            if depth == 0:
                break
            depth -= 1
        elif depth == 0 and token == ",":
            expecting = True
        elif depth == 0 and expecting and token not in ("*", "/") and token[0] not in "'\"":
            names.append(token.lstrip("*"))
            expecting = False
    return names


def _globals_for(namespace: Dict[str, Any]) -> Dict[str, Any]:
    """The globals of the functions compiled for the module whose namespace is ``namespace``: its names and the
    modules annotations name (``typing``, ``collections``, ...), so that ``typing.get_type_hints`` resolves
    every annotation, with whatever local namespace it is given. The bodies read no global (the implementation
    is a closure cell): these globals serve the annotations and the function's ``__module__`` alone.

    One dict per module, brought up to date at each bind: the operations, bound last, see every class."""
    shared = _annotation_globals.setdefault(namespace["__name__"], {})
    shared.update(namespace)
    shared.update(_ANNOTATION_MODULES)
    return shared


# The text of each module's compiled methods, by module name: the lines of one source that linecache reads
# through the module's loader, each method at lines of its own.
_sources: Dict[str, List[str]] = {}


class SourceLoader(importlib.machinery.ExtensionFileLoader):
    """The loader of an extension module whose methods are compiled at import: its ``get_source`` gives
    ``linecache`` their text, as a Python module's loader gives its file's, so that tracebacks and
    ``inspect.getsource`` show them whatever is cleared from the cache (``linecache.clearcache()``)."""

    def get_source(self, fullname: str) -> Optional[str]:
        lines = _sources.get(fullname)
        return "".join(lines) if lines is not None else super().get_source(fullname)


def _source_of(namespace: Dict[str, Any]) -> Tuple[str, List[str]]:
    """The file name and the lines of the compiled methods of the module whose namespace is ``namespace``.

    The name is the module's own file followed by " (compiled methods)": no file a module is imported from ends
    so, and nothing but this module has that file, so the name is no other module's. At the module's first
    method its loader becomes a :class:`SourceLoader`, which ``linecache`` finds as the module's
    ``__spec__.loader`` (``inspect``) and in the methods' globals (tracebacks)."""
    name = namespace["__name__"]
    filename = f"{namespace.get('__file__') or name} (compiled methods)"
    lines = _sources.get(name)
    if lines is None:
        lines = _sources[name] = []
        spec = namespace.get("__spec__")
        loader = getattr(spec, "loader", None)
        if type(loader) is importlib.machinery.ExtensionFileLoader:
            spec.loader = namespace["__loader__"] = SourceLoader(loader.name, loader.path)
    return filename, lines


def bind(cls: type, signature: str, doc: str, impl: Callable[..., Any], namespace: Dict[str, Any]) -> Any:
    """Set on ``cls`` a function compiled from ``signature`` (``"name(self, a: int = 0) -> T"``, which may go on
    over several lines inside its parentheses) that passes every parameter by position to ``impl`` (``*args``
    as its tuple, ``**kwargs`` as its dict).

    Annotations stay text (``from __future__ import annotations``), so any Python from 3.9 on accepts them. The
    function has the module's name (``namespace["__name__"]``) and lines of its own in the source of the module's
    compiled methods (see ``_source_of``), which tracebacks and ``inspect.getsource`` show.
    """
    name = signature.partition("(")[0].strip()
    parameters = _parameter_names(signature)
    if "impl_" in parameters:
        raise ValueError(f"a compiled method cannot have a parameter named 'impl_': {signature!r}")
    qualname = f"{cls.__name__}.{name}"
    filename, all_lines = _source_of(namespace)
    head, *rest = signature.strip().split("\n")
    lines = [
        "from __future__ import annotations\n",
        "\n",
        "\n",
        "def make(impl_):\n",
        f"    def {head}\n",
        *[f"        {line}\n" for line in rest],
        f"        return impl_({', '.join(parameters)})\n",
        "\n",
        f"    return {name}\n",
    ]
    lines[4 + len(rest)] = lines[4 + len(rest)].rstrip("\n") + ":\n"
    made: Dict[str, Any] = {}
    # Compiled after as many empty lines as the methods before it have: its lines are its own in the whole.
    source = "\n" * len(all_lines) + "".join(lines)
    exec(compile(source, filename, "exec"), _globals_for(namespace), made)
    function = made["make"](impl)
    code = function.__code__
    count = code.co_argcount + code.co_kwonlyargcount + bool(code.co_flags & 4) + bool(code.co_flags & 8)
    if list(code.co_varnames[:count]) != parameters:
        raise ValueError(f"cannot read the parameters of {signature!r}")
    all_lines.extend(lines)
    # mtime None: linecache.checkcache keeps the entry, as there is no file to compare it with.
    linecache.cache[filename] = (sum(map(len, all_lines)), None, all_lines, filename)
    function.__doc__ = doc
    function.__qualname__ = qualname
    setattr(cls, name, function)
    return function


@dataclass(frozen=True)
class PreparedRow:
    """What the executor (src/velm_api/operations/rows.cpp) reads of an operation row, member by member and
    checked there. Arguments are counted from 0, the client; every index is one of the method's arguments."""

    arity: int  # the number of arguments, the client included
    verb: str  # the transport verb's method name: "_get", "_post", "_put" or "_delete"
    texts: Tuple[str, ...]  # the path's texts around its ids: one more than ``ids``
    ids: Tuple[int, ...]  # the argument of each id in the path; -1: the client's api_version
    query: int  # 0: none, 1: get_params over every argument, 2: a mapping of the row's own
    keys: Tuple[str, ...]  # get_params: every argument's name; a mapping of its own: its query keys
    values: Tuple[int, ...]  # a mapping of its own: the argument of each key
    exclusions: Union[str, Tuple[str, ...], None]  # what get_params leaves out, "self" among them
    body: int  # the argument sent as ``data``; -1: none
    as_given: bool  # the body goes unencoded (``is_data_format_json=False``)
    returns: int  # 0: json, 1: json or {}, 2: json or [], 3: a command
    command: Optional[str]  # the command class's name in the module
    reads: Tuple[str, ...]  # the members of the answer read, in this order, each from its own decoding
    extras: Tuple[int, ...]  # the command's further arguments: an argument, or -1 - k for reads[k]


def _split_row(row: str) -> Tuple[str, str, str]:
    """A row's signature (its first lines, up to the request), its request (the line that begins with the verb,
    and the lines after it that begin with "|") and its docstring (the rest)."""
    lines = row.strip("\n").split("\n")
    start = next((i for i, line in enumerate(lines) if _REQUEST.match(line)), None)
    if not start:
        raise ValueError(f"an operation row needs a signature, then a request line: {row!r}")
    end = start + 1
    while end < len(lines) and lines[end].lstrip().startswith("|"):
        end += 1
    request = " ".join(line.strip() for line in lines[start:end])
    return "\n".join(lines[:start]), request, "\n".join(lines[end:]).strip()


def prepare_row(cls: type, row: str, impl: Callable[..., Any], namespace: Dict[str, Any]) -> PreparedRow:
    """Bind a row (see src/velm_api/operations/operations.hpp) on ``cls`` as ``bind`` does, its signature, then
    read its request for the executor, and give the method its docstring: the row's, a Returns section made
    from the row where it has none, and the request."""
    signature, request, doc = _split_row(row)
    function = bind(cls, signature, "", impl, namespace)
    code = function.__code__
    names = list(code.co_varnames[: code.co_argcount])
    if len(names) != len(_parameter_names(signature)):
        raise ValueError(f"an operation takes no *args, **kwargs or keyword-only arguments: {signature!r}")

    def argument(name: str) -> int:
        if name not in names:
            raise ValueError(f"an operation row of {names[0]!r} names no argument {name!r}: {request}")
        return names.index(name)

    intern = sys.intern
    head, *parts = request.split(" | ")
    fields = dict(part.split(": ", 1) for part in parts)
    verb, path = head.split(" ", 1)
    texts, ids = ["/v"], [-1]
    while "{" in path:
        text, _, rest = path.partition("{")
        placeholder, _, path = rest.partition("}")
        texts.append(text)
        ids.append(argument(placeholder))
    texts.append(path)

    query, keys, values = 0, list[str](), list[int]()
    exclusions: Union[str, Tuple[str, ...], None] = None
    excluded: Tuple[str, ...] = ()
    text = fields.get("query", "")
    if text.startswith("get_params"):
        # "self" is always excluded: one name goes as that name, several as a tuple.
        query, keys = 1, list(names)
        excluded = ("self", *[n for n in text[len("get_params without ") :].split(", ") if n])
        exclusions = excluded[0] if len(excluded) == 1 else tuple(map(intern, excluded))
    elif text:
        query = 2
        for entry in text.split(", "):
            key, _, value = entry.partition("=")
            keys.append(key)
            values.append(argument(value))
    body, as_given = fields.get("body", ""), False
    if body.endswith(" (as given)"):
        body, as_given = body[: -len(" (as given)")], True

    reads = tuple(intern(member) for member in fields.get("reads", "").split(", ") if member)
    if set(reads) & set(names):
        raise ValueError(f"an answer's member read by {names[0]!r} has the name of an argument: {request}")
    returns = fields["returns"]
    kind = _RETURNS.get(returns, 3)
    command, _, further = returns.rstrip(")").partition("(")
    extras = [-1 - reads.index(extra) if extra in reads else argument(extra) for extra in further.split(", ") if extra]
    if "Args:\n" not in doc and len(names) > 1:
        if query == 1:
            sent = {n: _camel_case(n) for n in names if n not in excluded}
        else:
            sent = {names[index]: key for key, index in zip(keys, values)}
        path_names = [names[i] for i in ids if i >= 0]
        # Google style puts the arguments before the row's own sections (Returns, Raises).
        section = re.search(r"\n\n(?:Returns|Raises):\n", doc)
        at = section.start() if section else len(doc)
        doc = f"{doc[:at]}\n\n{_arguments_doc(names[1:], path_names, sent, body, as_given)}{doc[at:]}"
    if "\nReturns:\n" not in doc:
        named = [
            f"the answer's ``{extra}``" if extra in reads else f"``{extra}``" for extra in further.split(", ") if extra
        ]
        made = _RETURNS_DOC.get(kind) or _returns_doc(command, named)
        doc += f"\n\nReturns:\n    {made}"
    function.__doc__ = f"{doc}\n\nRequest: {head}"
    return PreparedRow(
        arity=len(names),
        verb=intern("_" + verb.lower()),
        texts=tuple(map(intern, texts)),
        ids=tuple(ids),
        query=query,
        keys=tuple(map(intern, keys)),
        values=tuple(values),
        exclusions=exclusions,
        body=argument(body) if body else -1,
        as_given=as_given,
        returns=kind,
        command=intern(command) if kind == 3 else None,
        reads=reads,
        extras=tuple(extras),
    )
