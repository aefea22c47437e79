"""HTTP errors raised by the VELM client for the engine's 400 and 500 answers.

Both are kinds of :class:`requests.HTTPError`, so ``except requests.HTTPError`` catches every failure status, and
both keep the response (``err.response``) so the caller can read the engine's error text.
"""

from __future__ import annotations

import pickle
import re
from typing import Any, Optional

import requests

__all__ = ["BadRequestError", "InternalServerError", "redact_url"]

# How much of the engine's error text the message quotes.
_EXCERPT_LENGTH = 500

# Up to the last "@" of the authority: a password may itself hold an unescaped "@".
_CREDENTIALS_IN_URL = re.compile(r"(?P<scheme>[A-Za-z][A-Za-z0-9+.-]*://)[^/?#\s]*@")


def redact_url(url: Any) -> str:
    """Return ``url`` as text with any ``user:password@`` part replaced by ``***@``."""
    return _CREDENTIALS_IN_URL.sub(r"\g<scheme>***@", str(url))


def _describe(response: Optional[requests.Response]) -> str:
    if response is None:
        return "no response"
    request = getattr(response, "request", None)
    method = getattr(request, "method", None) or "?"
    url = redact_url(getattr(request, "url", None) or getattr(response, "url", "") or "?")
    text = f"{response.status_code} {response.reason or ''}".rstrip() + f" for {method} {url}"
    try:
        body = response.text
    except Exception:  # an undecodable body must not hide the HTTP error itself
        body = ""
    body = body.strip()
    if body:
        if len(body) > _EXCERPT_LENGTH:
            body = body[:_EXCERPT_LENGTH] + "..."
        text += f": {body}"
    return text


class _EngineHTTPError(requests.HTTPError):
    def __init__(self, response: Optional[requests.Response] = None, *args: Any, **kwargs: Any) -> None:
        if isinstance(response, str):  # rebuilt from its message (pickling, copying)
            super().__init__(response, *args, **kwargs)
            return
        super().__init__(_describe(response), *args, response=response, **kwargs)

    def __reduce__(self) -> Any:
        # Rebuilt from the message; BaseException.__setstate__ then sets each entry as an attribute, so the state
        # must not name the read-only property itself. A response read to its end pickles (requests leaves out
        # its raw stream), so the catcher in another process can still read the engine's answer; one that does
        # not (a stream still open, a stand-in in a test) stays behind and the status code travels alone.
        state: dict[str, Any] = {"_status_code": self.status_code}
        if self.response is not None:
            try:
                pickle.dumps(self.response)
            except Exception:  # noqa: BLE001 - whatever stops the response from pickling, the error must not fail
                pass
            else:
                state["response"] = self.response
                state["request"] = self.request
        return (type(self), (str(self),), state)

    @property
    def status_code(self) -> Optional[int]:
        """The HTTP status of the engine's answer, or None when no response is attached."""
        if self.response is not None:
            return self.response.status_code
        return self.__dict__.get("_status_code")


class BadRequestError(_EngineHTTPError):
    """The engine answered 400 Bad Request; ``response`` holds its answer."""


class InternalServerError(_EngineHTTPError):
    """The engine answered 500 Internal Server Error; ``response`` holds its answer."""
