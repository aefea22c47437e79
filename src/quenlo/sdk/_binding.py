"""Import-time support of quenlo.sdk.velm_api: methods compiled from their literals, with a source that
tracebacks and ``inspect.getsource`` show and annotations that ``typing.get_type_hints`` resolves, and operation
rows read into what the extension's executor needs at each call. Nothing here runs during a call.

Every method the extension declares is one literal: its signature (which may go on over lines inside its
parentheses), then, for an operation, its request line, then its docstring. A row (see
src/velm_api/operations/operations.hpp) is such a literal whose request the executor runs."""

from __future__ import annotations

import collections.abc
import gc
import importlib.machinery
import linecache
import re
import sys
import threading
import types
import typing
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, NoReturn, Optional, Tuple, Union

import quenlo.sdk
from quenlo.sdk.utils import _camel_case

# What a row may return besides a command, each with its Returns text.
_RETURNS_DOC = {
    "json": "The decoded JSON body.",
    "json or {}": "The decoded JSON body, or an empty dict when the body is empty.",
    "json or []": "The decoded JSON body, or an empty list when the body is empty.",
}
# The fields a request line may have after its verb and path, each at most once.
_FIELDS = ("query", "body", "reads", "returns")
# The verbs that send a body (the others take no ``data``).
_VERBS_WITH_BODY = ("POST", "PUT")

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

    # typeshed has an extension module's source always None.
    def get_source(self, fullname: str) -> Optional[str]:  # type: ignore[override]
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
        if spec is not None and _with_source_loader(spec):
            namespace["__loader__"] = spec.loader
        if _SourceFinder not in sys.meta_path:
            sys.meta_path.insert(0, _SourceFinder)
    return filename, lines


def _with_source_loader(spec: importlib.machinery.ModuleSpec) -> bool:
    """Give ``spec`` a :class:`SourceLoader` in place of the plain loader of an extension module; False if it
    has some other loader."""
    loader = spec.loader
    if type(loader) is not importlib.machinery.ExtensionFileLoader:
        return False
    spec.loader = SourceLoader(loader.name, loader.path)
    return True


class _SourceFinder:
    """First on ``sys.meta_path``: the ModuleSpec that the finders after it find for a module with compiled methods,
    with a :class:`SourceLoader`. ``importlib.reload`` sets the module's loader to the one found anew, and the
    methods' text must stay readable through it."""

    @staticmethod
    def find_spec(fullname: str, path: Any = None, target: Any = None) -> Optional[importlib.machinery.ModuleSpec]:
        if fullname not in _sources:
            return None
        for finder in sys.meta_path:
            find = getattr(finder, "find_spec", None) if finder is not _SourceFinder else None
            spec = find(fullname, path, target) if find is not None else None
            if isinstance(spec, importlib.machinery.ModuleSpec):
                _with_source_loader(spec)
                return spec
        return None


def _compile(cls: type, signature: str, impl: Callable[..., Any], namespace: Dict[str, Any], request: str) -> Any:
    """Set on ``cls`` a function compiled from ``signature`` (``"name(self, a: int = 0) -> T"``, which may go on
    over several lines inside its parentheses) that passes every parameter by position to ``impl`` (``*args``
    as its tuple, ``**kwargs`` as its dict). The call's line names where the work happens: ``impl``'s own name
    (``rows.run``) and the request, if any.

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
    where = ": ".join(filter(None, (getattr(impl, "__name__", ""), request)))
    lines = [
        "from __future__ import annotations\n",
        "\n",
        "\n",
        "def make(impl_):\n",
        f"    def {head}\n",
        *[f"        {line}\n" for line in rest],
        f"        return impl_({', '.join(parameters)})  # {where}\n",
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
    function.__qualname__ = qualname
    setattr(cls, name, function)
    return function


def _split(literal: str) -> Tuple[str, str, str, str]:
    """A literal's method name; its signature, up to the end of the line that closes its parentheses; its request,
    the next line when it begins with a verb and the lines after it that begin with "|" ("" when there is none);
    and its docstring, the rest."""
    lines = literal.strip("\n").split("\n")
    name = lines[0].partition("(")[0].strip()
    if not re.match(r"[A-Za-z_]\w*\(", lines[0].lstrip()):
        raise ValueError(f"a method's literal begins with its signature, name(self, ...) -> T: {literal!r}")
    depth, start = 0, 0
    while start == 0 or depth:
        if start == len(lines):
            raise ValueError(f"the signature of {name} never closes its parentheses: {literal!r}")
        for token in _TOKEN.findall(lines[start]):
            depth += (token in ("(", "[", "{")) - (token in (")", "]", "}"))
        start += 1
    stop = start
    if start < len(lines) and _REQUEST.match(lines[start]):
        stop += 1
        while stop < len(lines) and lines[stop].lstrip().startswith("|"):
            stop += 1
    request = " ".join(line.strip() for line in lines[start:stop])
    return name, "\n".join(lines[:start]), request, "\n".join(lines[stop:]).strip()


def _with_request(doc: str, request: str) -> str:
    """The docstring with the request's verb and path last."""
    return f"{doc}\n\nRequest: {request.split(' | ')[0]}" if request else doc


def bind(cls: type, literal: str, impl: Callable[..., Any], namespace: Dict[str, Any]) -> Any:
    """Set on ``cls`` the method ``literal`` declares, compiled from its signature, with its docstring and the
    verb and path of its request line (an operation with logic of its own has one), and return it."""
    _, signature, request, doc = _split(literal)
    function = _compile(cls, signature, impl, namespace, request)
    function.__doc__ = _with_request(doc, request)
    return function


@dataclass(frozen=True)
class PreparedRow:
    """What the executor (src/velm_api/operations/rows.cpp) reads of an operation row, member by member and
    checked there. Arguments are counted from 0, the client; every index is one of the method's arguments. The
    modes are the row's own words, which the executor reads as they are written here."""

    arity: int  # the number of arguments, the client included
    verb: str  # the transport verb's method name: "_get", "_post", "_put" or "_delete"
    texts: Tuple[str, ...]  # the path's texts around its ids: one more than ``ids``
    ids: Tuple[int, ...]  # the argument of each id in the path; -1: the client's api_version
    query: str  # "none", "get_params" (over every argument) or "mapping" (of the row's own)
    keys: Tuple[str, ...]  # get_params: every argument's name; a mapping of its own: its query keys
    values: Tuple[int, ...]  # a mapping of its own: the argument of each key
    exclusions: Union[str, Tuple[str, ...], None]  # what get_params leaves out, "self" among them
    body: int  # the argument sent as ``data``; -1: none
    as_given: bool  # the body goes unencoded (``is_data_format_json=False``)
    returns: str  # "json", "json or {}", "json or []" or "command"
    command: Optional[str]  # the command class's name in the module
    reads: Tuple[str, ...]  # the members of the answer read, in this order, each from its own decoding
    extras: Tuple[int, ...]  # the command's further arguments: an argument, or -1 - k for reads[k]


def prepare_row(cls: type, row: str, impl: Callable[..., Any], namespace: Dict[str, Any]) -> PreparedRow:
    """Bind a row (see src/velm_api/operations/operations.hpp) on ``cls`` as ``bind`` does, its signature, then
    read its request for the executor, and give the method its docstring: the row's, a Returns section made
    from the row where it has none, and the request.

    A row the executor could not run as written is refused with ValueError naming the method and the row's
    request: a field it does not know or names twice, an exclusion, a path id, a query value, a body or a
    command's argument that is not a parameter, a member read that the command is not given, a body on a verb
    that sends none, and a missing ``returns:`` or one that is neither JSON nor a class of the module."""
    method, signature, request, doc = _split(row)

    def refuse(problem: str) -> NoReturn:
        raise ValueError(f"the row of {method} {problem}: {request or row.strip()!r}")

    if not request:
        refuse("needs a signature, then a request line")
    function = _compile(cls, signature, impl, namespace, request)
    code = function.__code__
    names = list(code.co_varnames[: code.co_argcount])
    if len(names) != len(_parameter_names(signature)):
        refuse("takes *args, **kwargs or keyword-only arguments, which an operation cannot")

    def argument(name: str) -> int:
        if name not in names[1:]:
            refuse(f"names no argument {name!r}")
        return names.index(name)

    intern = sys.intern
    head, *parts = request.split(" | ")
    fields: Dict[str, str] = {}
    for part in parts:
        field, colon, value = part.partition(": ")
        if not colon or field not in _FIELDS:
            refuse(f"has a field it cannot read, {part!r} (a row's fields: {', '.join(_FIELDS)})")
        if field in fields:
            refuse(f"names the field {field!r} twice")
        fields[field] = value
    verb, _, path = head.partition(" ")
    if " " in path:
        refuse(f"has a path with a space in it, {path!r} (fields go after ' | ')")
    texts, ids = ["/v"], [-1]
    while "{" in path:
        text, _, rest = path.partition("{")
        placeholder, _, path = rest.partition("}")
        texts.append(text)
        ids.append(argument(placeholder))
    texts.append(path)

    query, keys, values = "none", list[str](), list[int]()
    exclusions: Union[str, Tuple[str, ...], None] = None
    excluded: Tuple[str, ...] = ()
    asked = fields.get("query")
    if asked is not None and (asked == "get_params" or asked.startswith("get_params without ")):
        # "self" is always excluded: one name goes as that name, several as a tuple.
        query, keys = "get_params", list(names)
        excluded = ("self", *[n for n in asked[len("get_params without ") :].split(", ") if n])
        for name in excluded:
            if name not in names:
                refuse(f"leaves out {name!r}, which is not a parameter")
        exclusions = excluded[0] if len(excluded) == 1 else tuple(map(intern, excluded))
    elif asked is not None:
        query = "mapping"
        for entry in asked.split(", "):
            key, equals, value = entry.partition("=")
            if not (equals and key.isidentifier()):
                refuse(f"has a query entry {entry!r}: get_params [without names], or key=argument entries")
            if key in keys:
                refuse(f"names the query key {key!r} twice")
            keys.append(key)
            values.append(argument(value))
    body, as_given = fields.get("body", ""), False
    if body.endswith(" (as given)"):
        body, as_given = body[: -len(" (as given)")], True
    if body and verb not in _VERBS_WITH_BODY:
        refuse(f"sends a body with {verb}, which sends none")

    reads = tuple(intern(member) for member in fields.get("reads", "").split(", ") if member)
    if set(reads) & set(names):
        refuse("reads a member of the answer with the name of an argument")
    returns = fields.get("returns")
    if returns is None:
        refuse("says nothing of what it returns (returns: json, json or {}, json or [], or a command class)")
    found = re.fullmatch(r"([A-Za-z_]\w*)(?:\((.*)\))?", returns)
    kind = returns if returns in _RETURNS_DOC else "command"
    command, further = (found[1], [extra for extra in (found[2] or "").split(", ") if extra]) if found else ("", [])
    made_by = namespace.get(command)
    if kind == "command" and not (isinstance(made_by, type) and issubclass(made_by, namespace.get("Command", object))):
        refuse(f"returns {returns!r}: neither json, json or {{}}, json or [] nor a class of the module")
    unused = [member for member in reads if member not in further]
    if unused:
        refuse(f"reads {', '.join(unused)} from the answer and hands it to no command")
    extras = [-1 - reads.index(extra) if extra in reads else argument(extra) for extra in further]
    if "Args:\n" not in doc and len(names) > 1:
        if query == "get_params":
            sent = {n: _camel_case(n) for n in names if n not in excluded}
        else:
            sent = {names[index]: key for key, index in zip(keys, values)}
        path_names = [names[i] for i in ids if i >= 0]
        # Google style puts the arguments before the row's own sections (Returns, Raises).
        section = re.search(r"\n\n(?:Returns|Raises):\n", doc)
        at = section.start() if section else len(doc)
        doc = f"{doc[:at]}\n\n{_arguments_doc(names[1:], path_names, sent, body, as_given)}{doc[at:]}"
    if "\nReturns:\n" not in doc:
        named = [f"the answer's ``{extra}``" if extra in reads else f"``{extra}``" for extra in further]
        made = _RETURNS_DOC.get(kind) or _returns_doc(command, named)
        doc += f"\n\nReturns:\n    {made}"
    function.__doc__ = _with_request(doc, request)
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
        command=intern(command) if kind == "command" else None,
        reads=reads,
        extras=tuple(extras),
    )


def held_at_exit() -> bool:
    """Whether, at exit, something that still runs may hold the module's objects: a thread besides this one, or
    a greenlet paused before its end (a green server's connections, each inside a call)."""
    if threading.active_count() > 1:
        return True
    greenlet = sys.modules.get("greenlet")
    if greenlet is None:
        return False
    current, kind = greenlet.getcurrent(), greenlet.greenlet
    # A greenlet is true from its start to its end.
    return any(isinstance(held, kind) and held is not current and bool(held) for held in gc.get_objects())
