"""The REST routes of the simulated engine.

Patterns are relative to ``/rest/v{N}`` and are matched on the raw request path, split on ``/`` and then
percent-decoded per segment, so an id with an encoded ``/`` (``%2F``) stays a single path parameter. Each area
of the engine has one module here, named as the engine's state module and the tests of that area are, that
registers its handlers on the shared :data:`router` when imported; :data:`AREAS` at the bottom lists them all.
"""

from __future__ import annotations

import json
import pkgutil
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable
from urllib.parse import unquote

from werkzeug.datastructures import MultiDict
from werkzeug.wrappers import Request

from ..context import EngineError, bad_request

if TYPE_CHECKING:
    from ..state import EngineState

__all__ = ["AREAS", "Reply", "RequestContext", "Router", "pipeline_route", "router"]

Handler = Callable[..., Any]


@dataclass
class Reply:
    """A handler answer that needs more than "200 with this JSON": ``body`` is JSON-encoded unless it is
    ``bytes``/``str`` (sent as is with ``content_type``) or None (empty body)."""

    body: Any = None
    status: int = 200
    content_type: str | None = None
    headers: dict[str, str] = field(default_factory=dict)


@dataclass
class RequestContext:
    """What a handler gets to know about the request it serves."""

    state: EngineState
    request: Request
    query: MultiDict[str, str]
    body: bytes
    user: str | None
    api_version: int

    def json(self) -> Any:
        """The request body parsed as JSON (None when empty); 400 if invalid."""
        if not self.body.strip():
            return None
        try:
            return json.loads(self.body)
        except ValueError as exc:
            raise bad_request(f"Invalid JSON body: {exc}") from None

    def arg(self, name: str, default: str | None = None) -> str | None:
        """The first value of query parameter ``name``."""
        value: str | None = self.query.get(name, default)
        return value

    def integer(self, name: str, default: int) -> int:
        """An integer query parameter (``default`` when absent or empty); 400 when it is not one."""
        value = self.query.get(name) or ""
        try:
            return int(value) if value else default
        except ValueError:
            raise bad_request(f"Query parameter '{name}' must be an integer, not '{value}'") from None

    def flag(self, name: str, default: bool = False) -> bool:
        """A boolean query parameter (``true``/``false``, case-insensitive)."""
        value: str | None = self.query.get(name)
        return default if value is None else value.strip().lower() == "true"

    def rev(self) -> int:
        """The ``rev`` query parameter (0, the current revision, when absent)."""
        rev = self.integer("rev", 0)
        if rev < 0:
            raise bad_request(f"Invalid revision {rev}")
        return rev

    def object_body(self, what: str) -> dict[str, Any] | None:
        """The JSON body when it is an object, None when the body is empty; 400 otherwise."""
        body = self.json()
        if body is not None and not isinstance(body, dict):
            raise bad_request(f"{what} must be a JSON object")
        return body


class _Route:
    def __init__(self, method: str, pattern: str, handler: Handler) -> None:
        self.method = method.upper()
        self.pattern = pattern
        self.handler = handler
        self.segments = pattern.strip("/").split("/")
        # Literal segments, left to right: compared so that "/pipeline/subjects" beats "/pipeline/{pipeline_id}".
        self.specificity = tuple(not (s.startswith("{") and s.endswith("}")) for s in self.segments)

    def match(self, segments: list[str]) -> dict[str, str] | None:
        if len(segments) != len(self.segments):
            return None
        params: dict[str, str] = {}
        for want, got in zip(self.segments, segments):
            if want.startswith("{") and want.endswith("}"):
                params[want[1:-1]] = got
            elif want != got:
                return None
        return params


class Router:
    """Maps (method, path pattern) to handlers."""

    def __init__(self) -> None:
        self._routes: list[_Route] = []

    def route(self, method: str, pattern: str) -> Callable[[Handler], Handler]:
        """Decorator registering a handler for ``method`` on ``pattern``."""

        def register(handler: Handler) -> Handler:
            self._routes.append(_Route(method, pattern, handler))
            return handler

        return register

    def resolve(self, method: str, raw_path: str) -> tuple[Handler, dict[str, str]]:
        """Find the handler for a raw (still encoded) path relative to the version.

        A literal segment wins over a placeholder in the same place, whatever the order the routes were
        registered in. Raises :class:`EngineError` 404 for an unknown path and 405 when the path exists only
        for other methods.
        """
        segments = [unquote(s) for s in raw_path.strip("/").split("/")]
        allowed = []
        best: tuple[_Route, dict[str, str]] | None = None
        for route in self._routes:
            params = route.match(segments)
            if params is None:
                continue
            if route.method != method.upper():
                allowed.append(route.method)
            elif best is None or route.specificity > best[0].specificity:
                best = (route, params)
        if best is not None:
            return best[0].handler, best[1]
        if allowed:
            raise EngineError(405, f"Method {method} not allowed (allowed: {', '.join(allowed)})", "REQUEST_METHOD")
        raise EngineError(404, f"No such resource '{raw_path}'", "REQUEST_UNKNOWN")


#: The one router all route modules register on.
router = Router()


def pipeline_route(method: str, pattern: str) -> Callable[[Handler], Handler]:
    """Register a handler of ``/pipeline/{pipeline_id}/...``: it gets the stored pipeline (404 for an unknown
    id) instead of its id, once the ``rev`` of the query is checked."""

    def register(handler: Handler) -> Handler:
        def with_pipeline(ctx: RequestContext, pipeline_id: str, **params: str) -> Any:
            pipeline = ctx.state.pipelines.get(pipeline_id)
            ctx.rev()
            return handler(ctx, pipeline, **params)

        with_pipeline.__doc__ = handler.__doc__
        router.route(method, pattern)(with_pipeline)
        return handler

    return register


# The route modules, one per area; importing one registers its handlers. A module of this package left out of
# the list would serve nothing, so it is refused here, at import.
from . import access_control, pipelines, previews, runs, snapshots, system  # noqa: E402

AREAS = (pipelines, runs, previews, snapshots, access_control, system)

_unlisted = sorted({m.name for m in pkgutil.iter_modules(__path__)} - {a.__name__.rpartition(".")[2] for a in AREAS})
if _unlisted:
    raise ImportError(f"route modules not listed in {__name__}.AREAS: {', '.join(_unlisted)}")
