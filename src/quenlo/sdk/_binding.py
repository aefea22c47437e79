"""Import-time support of quenlo.sdk.velm_api: methods compiled from their signatures, and operation rows read
into what the extension's executor needs at each call. Nothing here runs during a call."""

from __future__ import annotations

import re
import sys
from typing import Any, Callable, Dict, List, Tuple, Union

from quenlo.sdk.utils import _camel_case

_COMMAND_KINDS = {"json": 0, "json or {}": 1, "json or []": 2}
_RETURNS_DOC = {
    0: "The decoded JSON body.",
    1: "The decoded JSON body, or an empty dict when the body is empty.",
    2: "The decoded JSON body, or an empty list when the body is empty.",
}


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
    """The ``Returns:`` text of an operation that answers a command: what the command holds, in words."""
    held = "the engine's answer as ``response``"
    if further:
        member = re.compile(r'answer\["(.*)"\]')
        named = []
        for extra in further:
            found = member.fullmatch(extra)
            named.append(f"the answer's ``{found.group(1)}``" if found else f"``{extra}``")
        held += ", for " + " and ".join(named)
    return f"A {command} holding {held}."


_TOKEN = re.compile(r"""[][(){},/]|'[^']*'|"[^"]*"|\*{0,2}[A-Za-z_][\w.]*""")


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


def bind(cls: type, signature: str, doc: str, impl: Callable[..., Any], namespace: Dict[str, Any]) -> Any:
    """Set on ``cls`` a function compiled from ``signature`` (``"name(self, a: int = 0) -> T"``) that passes
    every parameter by position to ``impl`` (``*args`` as its tuple, ``**kwargs`` as its dict).

    Annotations stay text (``from __future__ import annotations``), so any Python from 3.9 on accepts them.
    The function's globals are ``namespace``, the module's, so it has the module's name. ``impl`` is a closure
    cell of the function, not a name in the module.
    """
    name = signature.partition("(")[0].strip()
    parameters = _parameter_names(signature)
    arguments = ", ".join(parameters)
    made: Dict[str, Any] = {}
    body = f"def make(impl_):\n def {signature}:\n  return impl_({arguments})\n return {name}"
    exec(f"from __future__ import annotations\n{body}", namespace, made)
    function = made["make"](impl)
    code = function.__code__
    count = code.co_argcount + code.co_kwonlyargcount + bool(code.co_flags & 4) + bool(code.co_flags & 8)
    if list(code.co_varnames[:count]) != parameters:
        raise ValueError(f"cannot read the parameters of {signature!r}")
    function.__doc__ = doc
    function.__qualname__ = f"{cls.__name__}.{name}"
    setattr(cls, name, function)
    return function


Prepared = Tuple[Any, ...]


def prepare_row(cls: type, row: str, impl: Callable[..., Any], namespace: Dict[str, Any]) -> Prepared:
    """Bind a row (see src/velm_api/operations/operations.hpp) on ``cls`` as ``bind`` does, its signature, then
    read its request line for the method, and give the method its docstring: the row's, a Returns section made
    from the row where it has none, and the request.

    Returns, in this order: the number of arguments (the client included), the verb's method name, the
    keyword names it is called with, the path's texts around its ids (one more than the ids), the argument of
    each id (-1: the api version), the query's kind (0 none, 1 get_params, 2 a mapping of its own), its keys
    (get_params: every argument name), the argument of each mapping key, the exclusions, the body's argument
    (-1: none), whether the body goes unencoded, the kind of answer (0 json, 1 json or {}, 2 json or [], 3 a
    command), the command class's name, the command's further arguments (an argument, or -1 - k for the k-th
    member of the decoded answer) and those members.
    """
    signature, request, doc = row.split("\n", 2)
    function = bind(cls, signature, "", impl, namespace)
    code = function.__code__
    names = list(code.co_varnames[: code.co_argcount])

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

    keywords = ["endpoint"]
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
    if query:
        keywords.append("params")
    body, as_given = fields.get("body", ""), False
    if body.endswith(" (as given)"):
        body, as_given = body[: -len(" (as given)")], True
    if body:
        keywords += ["data", "is_data_format_json"] if as_given else ["data"]

    returns = fields["returns"]
    kind = _COMMAND_KINDS.get(returns, 3)
    command, _, rest = returns.partition("(")
    extras, members = list[int](), list[str]()
    for extra in filter(None, rest.rstrip(")").split(", ")):
        if extra.startswith('answer["'):
            members.append(intern(extra[len('answer["') : -2]))
            extras.append(-len(members))
        else:
            extras.append(argument(extra))
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
        further = [extra for extra in rest.rstrip(")").split(", ") if extra]
        returns = _RETURNS_DOC.get(kind) or _returns_doc(command, further)
        doc += f"\n\nReturns:\n    {returns}"
    function.__doc__ = f"{doc}\n\nRequest: {head}"
    return (
        len(names),
        intern("_" + verb.lower()),
        tuple(map(intern, keywords)),
        tuple(map(intern, texts)),
        tuple(ids),
        query,
        tuple(map(intern, keys)),
        tuple(values),
        exclusions,
        argument(body) if body else -1,
        as_given,
        kind,
        intern(command) if kind == 3 else None,
        tuple(extras),
        tuple(members),
    )
