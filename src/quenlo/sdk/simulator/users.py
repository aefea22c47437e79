"""The engine's accounts, their roles and groups, and login sessions."""

from __future__ import annotations

import copy
import secrets
from collections.abc import Sequence
from typing import Any

from .context import Context, EngineError, bad_request, not_found

#: The name the engine reports for requests when authentication is off.
ANONYMOUS = "anonymous"
_ALL_ROLES = ["admin", "creator", "manager", "guest"]


class Users:
    """Accounts and login sessions. Authentication is on while any user exists."""

    def __init__(self, context: Context | None = None) -> None:
        self._ctx = context or Context()
        self._lock = self._ctx.lock
        self._passwords: dict[str, str] = {}
        self._sessions: dict[str, str] = {}
        self._profiles: dict[str, dict[str, list[str]]] = {
            "admin": {"roles": list(_ALL_ROLES), "groups": ["all", "admins"]},
            ANONYMOUS: {"roles": list(_ALL_ROLES), "groups": ["all"]},
        }

    def add_user(self, name: str, password: str) -> None:
        """Create ``name`` or change its password; existing sessions stay valid."""
        with self._lock:
            self._passwords[name] = password

    set_password = add_user

    def remove_user(self, name: str) -> None:
        """Delete the account and end its sessions."""
        with self._lock:
            self._passwords.pop(name, None)
            for token in [t for t, u in self._sessions.items() if u == name]:
                del self._sessions[token]

    @property
    def required(self) -> bool:
        """Whether requests must authenticate."""
        with self._lock:
            return bool(self._passwords)

    def names(self) -> list[str]:
        """Names of all accounts."""
        with self._lock:
            return list(self._passwords)

    def __contains__(self, name: object) -> bool:
        with self._lock:
            return name in self._passwords

    def check(self, name: str, password: str) -> bool:
        """Whether the credentials match the account's current password."""
        with self._lock:
            expected = self._passwords.get(name)
        return expected is not None and secrets.compare_digest(expected.encode(), password.encode())

    def open_session(self, name: str) -> str:
        """Start a session for ``name`` and return its cookie token."""
        token = secrets.token_hex(16)
        with self._lock:
            self._sessions[token] = name
        return token

    def session_user(self, token: str) -> str | None:
        """The user a session token belongs to, if it is still valid."""
        with self._lock:
            return self._sessions.get(token)

    def set_profile(self, user: str, roles: Sequence[str] | None = None, groups: Sequence[str] | None = None) -> None:
        """Give ``user`` these roles and groups (those not given keep their value)."""
        with self._lock:
            profile = self._profiles.setdefault(user, self.profile(user))
            if roles is not None:
                profile["roles"] = list(roles)
            if groups is not None:
                profile["groups"] = list(groups)

    def profile(self, user: str) -> dict[str, list[str]]:
        """The roles and groups of ``user``; users nobody configured are plain creators."""
        with self._lock:
            return copy.deepcopy(self._profiles.get(user) or {"roles": ["creator", "guest"], "groups": ["all"]})

    def current_user(self, user: str | None) -> dict[str, Any]:
        """The current-user record for the request's user (None when authentication is off)."""
        name = user or ANONYMOUS
        return {"user": name, **self.profile(name), "authenticated": user is not None}

    def change_password(self, path_user: str, user: str | None, document: Any) -> None:
        """Change ``path_user``'s password as ``user`` asks; every refusal is the engine's error."""
        if path_user not in self:
            raise not_found(f"User '{path_user}' does not exist", "USER_UNKNOWN")
        if path_user != user:
            raise EngineError(403, f"User '{user}' cannot change the password of '{path_user}'", "USER_FORBIDDEN")
        body = document if isinstance(document, dict) else {}
        old, new = body.get("oldPassword"), body.get("newPassword")
        if not (isinstance(old, str) and isinstance(new, str) and new) or body.get("id", path_user) != path_user:
            raise bad_request(
                f"A password change for '{path_user}' needs its 'oldPassword' and a 'newPassword'", "PASSWORD_INVALID"
            )
        if not self.check(path_user, old):
            raise bad_request("The old password is wrong", "PASSWORD_INVALID")
        self.set_password(path_user, new)
        self._ctx.log.add("INFO", "users", f"Password changed for user '{path_user}'", user=user)
