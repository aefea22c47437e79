"""The engine's accounts and login sessions."""

from __future__ import annotations

import secrets
import threading


class Users:
    """Accounts and login sessions. Authentication is on while any user exists."""

    def __init__(self, lock: threading.RLock) -> None:
        self._lock = lock
        self._passwords: dict[str, str] = {}
        self._sessions: dict[str, str] = {}

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

    def end_sessions(self) -> None:
        """Forget every session, forcing clients to send credentials again."""
        with self._lock:
            self._sessions.clear()
