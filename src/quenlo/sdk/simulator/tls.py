"""HTTPS for the simulator: a server context from the user's certificate, or from a throwaway certificate
authority made for one simulator (``trustme``, in the ``simulator`` extra)."""

from __future__ import annotations

import os
import shutil
import ssl
import tempfile
from typing import Any, Tuple, Union

#: What ``tls=`` and ``tls_client_ca=`` take as a file: a path, as text or a path object.
PathLike = Union[str, "os.PathLike[str]"]
#: ``tls=``: False (plain HTTP), True (a throwaway CA) or the paths of a certificate chain and its key.
TlsSetting = Union[bool, Tuple[PathLike, PathLike]]

INSTALL = 'pip install "quenlo-sdk[simulator]"'

#: The names a throwaway server certificate is valid for, besides the host the simulator serves on.
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "::1")


def _trustme() -> Any:
    try:
        import trustme
    except ImportError as error:
        raise ImportError(f"a throwaway certificate authority needs trustme: {INSTALL} ({error})") from None
    return trustme


def _path(value: Any, what: str) -> str:
    if not isinstance(value, (str, os.PathLike)) or not os.fspath(value):
        raise TypeError(f"{what} must be the path of a PEM file, not {value!r}")
    return str(os.fspath(value))


def check_setting(tls: Any, client_ca: Any) -> None:
    """TypeError or ValueError unless ``tls`` and ``client_ca`` are settings a simulator can serve."""
    if not isinstance(tls, (bool, tuple)):
        raise TypeError(f"tls must be True, False or (certfile, keyfile), not {tls!r}")
    if isinstance(tls, tuple):
        if len(tls) != 2:
            raise ValueError(f"tls must be (certfile, keyfile), not {tls!r}")
        _path(tls[0], "the certificate file"), _path(tls[1], "the key file")
    if client_ca is None or client_ca is False:
        return
    if not tls:
        raise ValueError("tls_client_ca needs tls: client certificates are a part of HTTPS")
    if client_ca is True and tls is not True:
        raise ValueError("tls_client_ca=True means the throwaway CA of tls=True; give the CA file's path instead")
    if client_ca is not True:
        _path(client_ca, "tls_client_ca")


class TlsMaterial:
    """The server side of HTTPS: :attr:`context` to serve with and, for a throwaway CA, its files in a temporary
    directory (:attr:`ca_bundle`, :attr:`client_cert`) until :meth:`close`.

    ``hosts`` are the names the server certificate is made for. Unreadable files raise OSError; files that hold no
    usable certificate or key raise ValueError.
    """

    def __init__(self, tls: TlsSetting, client_ca: PathLike | bool | None, hosts: tuple[str, ...]) -> None:
        check_setting(tls, client_ca)
        self.ca_bundle: str | None = None
        self.client_cert: tuple[str, str] | None = None
        self._directory: str | None = None
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        try:
            if tls is True:
                self._throwaway(context, hosts, client_ca is True)
            else:
                assert isinstance(tls, tuple)
                certfile, keyfile = _path(tls[0], "the certificate file"), _path(tls[1], "the key file")
                what = f"certificate {certfile!r} with key {keyfile!r}"
                _load(lambda: context.load_cert_chain(certfile, keyfile, password=_no_passphrase), what)
            if client_ca is not None and client_ca is not False and client_ca is not True:
                cafile = _path(client_ca, "tls_client_ca")
                _load(lambda: context.load_verify_locations(cafile), f"client CA {cafile!r}")
            if client_ca is not None and client_ca is not False:
                context.verify_mode = ssl.CERT_REQUIRED
        except BaseException:
            self.close()
            raise
        self.context = context

    def _throwaway(self, context: ssl.SSLContext, hosts: tuple[str, ...], client_certificate: bool) -> None:
        trustme = _trustme()
        authority = trustme.CA(organization_name="VELM engine simulator")
        self._directory = tempfile.mkdtemp(prefix="velm-simulator-tls-")
        self.ca_bundle = os.path.join(self._directory, "ca.pem")
        authority.cert_pem.write_to_path(self.ca_bundle)
        names = list(dict.fromkeys((*hosts, *LOOPBACK_NAMES)))
        authority.issue_cert(*names).configure_cert(context)
        if client_certificate:
            authority.configure_trust(context)
            issued = authority.issue_cert("velm-client@simulator")
            certfile, keyfile = os.path.join(self._directory, "client.pem"), os.path.join(self._directory, "client.key")
            issued.cert_chain_pems[0].write_to_path(certfile)
            issued.private_key_pem.write_to_path(keyfile)
            self.client_cert = (certfile, keyfile)

    def close(self) -> None:
        """Remove the throwaway CA's files; harmless when there are none or they are gone."""
        directory, self._directory = self._directory, None
        if directory is not None:
            shutil.rmtree(directory, ignore_errors=True)


def _no_passphrase() -> bytes:
    # Without this, OpenSSL asks for an encrypted key's passphrase on the terminal and waits for an answer.
    raise ValueError("the key is encrypted; the simulator takes a key without a passphrase")


def _load(load: Any, what: str) -> None:
    try:
        load()
    except ssl.SSLError as error:
        raise ValueError(f"cannot use the {what}: {error.reason or error}") from None
    except ValueError as error:
        raise ValueError(f"cannot use the {what}: {error}") from None
    except OSError as error:
        raise OSError(error.errno, f"cannot read the {what}: {error.strerror or error}") from None
