"""How velm is set up: TLS trust and client certificates (exit 7 when no retry fixes it, 2 when it shows before
any request), the options' parsing, the --debug request log, Ctrl-C while starting, secrets in every spelling and
mode, and the time options; against the simulator over HTTP and HTTPS."""

from __future__ import annotations

import io
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Dict, Iterator, List, NamedTuple
from urllib.parse import quote

import pytest
import trustme
from test_cli_terminal import ANSI, in_terminal

from quenlo.sdk.cli import EXIT_CODES, main
from quenlo.sdk.cli._app import EPILOG
from quenlo.sdk.cli._errors import RANKING, kind_of
from quenlo.sdk.simulator import EngineSimulator, sample_pipeline

ROOT = Path(__file__).resolve().parent.parent


class Run(NamedTuple):
    code: int
    out: str
    err: str
    seconds: float


def velm(*argv: str, **env: str) -> Run:
    stdout, stderr = io.StringIO(), io.StringIO()
    started = time.monotonic()
    code = main(list(argv), stdout=stdout, stderr=stderr, environ=env)
    return Run(code, stdout.getvalue(), stderr.getvalue(), time.monotonic() - started)


def test_every_exit_code_is_in_the_ranking_the_help_states() -> None:
    assert sorted(RANKING) == sorted(entry.code for entry in EXIT_CODES)
    ranking = " ".join(EPILOG.split("worst first:", 1)[1].split("--fail-fast")[0].split())
    assert ranking == ", then ".join(f"{code} {kind_of(code)}" for code in RANKING) + "."
    # docs/exit-codes.md gets the table from the same place when the site is built; it and the README state the
    # ranking in words of their own.
    docs = " ".join((ROOT / "docs" / "exit-codes.md").read_text().split())
    assert "<!-- exit-codes:" in docs and ", ".join(map(str, RANKING)) + " (`velm --help`" in docs
    readme = " ".join((ROOT / "README.md").read_text().split())
    assert "worst first: " + ", ".join(f"{code} {kind_of(code)}" for code in RANKING) + " (" in readme


# -- TLS: trust and client certificates ------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def mutual() -> Iterator[EngineSimulator]:
    """An HTTPS engine that requires a client certificate of its throwaway CA."""
    with EngineSimulator(tls=True, tls_client_ca=True) as engine:
        yield engine


@pytest.fixture(scope="module")
def files(mutual: EngineSimulator, tmp_path_factory: pytest.TempPathFactory) -> Dict[str, str]:
    """The engine's CA and client certificate, and files that cannot serve: another CA's, a stranger's
    certificate, a file with no certificate in it."""
    folder = tmp_path_factory.mktemp("tls")
    other = trustme.CA()
    paths = {"ca": mutual.ca_bundle, "cert": mutual.client_cert[0], "key": mutual.client_cert[1]}
    paths.update({name: str(folder / name) for name in ("other-ca", "stranger", "empty")})
    other.cert_pem.write_to_path(paths["other-ca"])
    other.issue_cert("stranger@example").private_key_and_cert_chain_pem.write_to_path(paths["stranger"])
    Path(paths["empty"]).write_text("no certificate here\n")
    return paths  # type: ignore[return-value]


@pytest.mark.parametrize(
    "argv, env, code, needle",
    [
        (["--cert", "{cert}", "--key", "{key}"], {"VELM_CA_BUNDLE": "{ca}"}, 0, ""),
        ([], {"VELM_CA_BUNDLE": "{ca}", "VELM_CERT": "{cert}", "VELM_KEY": "{key}"}, 0, ""),
        # An option wins over its variable.
        (
            ["--cert", "{cert}", "--ca-bundle", "{ca}"],
            {"VELM_CERT": "{stranger}", "VELM_CA_BUNDLE": "{empty}"},
            7,
            "PEM",
        ),
        (["--ca-bundle", "{ca}", "--cert", "{cert}", "--key", "{key}"], {"VELM_CERT": "{stranger}"}, 0, ""),
        (["--insecure", "--cert", "{cert}", "--key", "{key}"], {"VELM_CA_BUNDLE": "{other-ca}"}, 0, ""),
        # What no retry fixes: exit 7, named.
        ([], {"VELM_CA_BUNDLE": "{ca}"}, 7, "client certificate"),
        (["--cert", "{stranger}"], {"VELM_CA_BUNDLE": "{ca}"}, 7, "client certificate"),
        (["--cert", "{empty}"], {"VELM_CA_BUNDLE": "{ca}"}, 7, "the client certificate or its key cannot be used"),
        (["--cert", "{cert}", "--key", "{key}", "--ca-bundle", "{other-ca}"], {}, 7, "certificate verify failed"),
        (["--ca-bundle", "{empty}"], {}, 7, "the CA bundle holds no certificate"),
        # What shows before any request: exit 2, naming the setting only.
        (["--insecure", "--ca-bundle", "{ca}"], {}, 2, "--insecure skips the check --ca-bundle is for"),
        (["--key", "{key}"], {"VELM_CA_BUNDLE": "{ca}"}, 2, "--key needs a client certificate"),
        (["--cert", "/no/such/cert.pem"], {"VELM_CA_BUNDLE": "{ca}"}, 2, "--cert names a client certificate"),
        ([], {"VELM_CA_BUNDLE": "/no/such/ca.pem"}, 2, "VELM_CA_BUNDLE names a CA bundle that does not exist"),
        ([], {"VELM_CA_BUNDLE": "{ca}", "VELM_KEY": "/no/such/key"}, 2, "VELM_KEY needs a client certificate"),
    ],
)
def test_certificates_and_their_failures(
    mutual: EngineSimulator, files: Dict[str, str], argv: List[str], env: Dict[str, str], code: int, needle: str
) -> None:
    argv = [arg.format(**files) for arg in argv]
    run = velm(*argv, "info", VELM_URL=mutual.url, **{name: value.format(**files) for name, value in env.items()})
    assert run.code == code and needle in run.err, run.err
    assert "/no/such" not in run.err and "Traceback" not in run.err
    # --insecure says so, once, on standard error; nothing else is printed there on success.
    warnings = run.err.count("warning: --insecure")
    assert warnings == ("--insecure" in argv and code == 0) and (code != 0 or run.err.count("\n") == warnings)


@pytest.mark.parametrize("variable", ["REQUESTS_CA_BUNDLE", "CURL_CA_BUNDLE"])
def test_a_ca_variable_of_requests_naming_a_missing_file_is_a_usage_error(
    mutual: EngineSimulator, files: Dict[str, str], monkeypatch: Any, variable: str
) -> None:
    monkeypatch.delenv("REQUESTS_CA_BUNDLE", raising=False)
    monkeypatch.setenv(variable, "/no/such/bundle.pem")
    run = velm("info", VELM_URL=mutual.url)
    assert run.code == 2 and f"{variable} names a CA bundle that does not exist" in run.err and "/no/" not in run.err
    # VELM_CA_BUNDLE wins over it, and a plain http:// engine never reads it.
    assert (
        velm(
            "--cert", files["cert"], "--key", files["key"], "info", VELM_URL=mutual.url, VELM_CA_BUNDLE=files["ca"]
        ).code
        == 0
    )
    with EngineSimulator() as plain:
        assert velm("info", VELM_URL=plain.url).code == 0
        run = velm("info", VELM_URL=plain.url.replace("http://", "https://"), VELM_CA_BUNDLE=files["ca"])
    assert run.code == 7 and "the port does not speak TLS" in run.err


def test_the_simulator_shells_client_certificate_opens_its_engine(tmp_path: Path) -> None:
    shell = subprocess.Popen(
        [sys.executable, "-m", "quenlo.sdk.simulator", "--tls", "--tls-client-ca"],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert shell.stdout is not None
        lines = [shell.stdout.readline() for _ in range(3)]
        url = re.search(r"https://\S+", lines[0]).group(0)  # type: ignore[union-attr]
        ca = lines[1].rsplit(" ", 1)[1].strip()
        cert, key = lines[2].split(": ", 1)[1].split()
        velm_command = [str(Path(sys.executable).parent / "velm"), "--url", url, "info"]
        env = {**os.environ, "VELM_CA_BUNDLE": ca}
        plain = subprocess.run(velm_command, capture_output=True, text=True, env=env, timeout=60)
        given = subprocess.run(
            [*velm_command, "--cert", cert, "--key", key], capture_output=True, text=True, env=env, timeout=60
        )
    finally:
        shell.terminate()
        shell.wait(timeout=30)
    assert plain.returncode == 7 and "client certificate" in plain.stderr and "--cert" in plain.stderr
    assert given.returncode == 0 and "5.6.0" in given.stdout, given.stderr


# -- parsing ---------------------------------------------------------------------------------------------------------


@pytest.fixture
def orders(engine: EngineSimulator) -> str:
    engine.state.pipelines.import_pipeline("orders", sample_pipeline("orders", "orders"))
    engine.state.runs.configure("orders", batches=1, batch_interval=0, start_delay=0)
    return "orders"


@pytest.mark.parametrize(
    "argv, code, needle",
    [
        (["--bogus", "x", "info"], 2, "unrecognized option --bogus (see: velm --help)"),
        (["--url={url}", "--bogus=s3cret", "info"], 2, "unrecognized option --bogus "),
        (["wait", "--until", "FINISHED", "orders"], 0, "orders: FINISHED"),
        (["wait", "orders", "--until", "running,Finished", "--until", "STOPPED"], 0, "orders: FINISHED"),
        (["wait", "orders", "--until", "FINSHED"], 2, "'FINSHED' is not a pipeline status"),
        (["--timeout-http", "1,2,3", "info"], 2, "invalid time-out value"),
    ],
)
def test_options_take_their_values_and_name_what_is_wrong(
    engine: EngineSimulator, orders: str, argv: List[str], code: int, needle: str
) -> None:
    engine.state.runs.start("orders")
    run = velm(*[arg.format(url=engine.url) for arg in argv], VELM_URL=engine.url)
    assert run.code == code and needle in run.out + run.err and "s3cret" not in run.err, run.err
    assert [r for r in engine.requests if "/pipeline/" in r.path and code == 2] == []


def test_debug_logs_each_request_with_its_status_and_time(engine: EngineSimulator, orders: str) -> None:
    url = engine.url.replace("://", "://admin:pw-in-url@")
    run = velm("--debug", "status", "orders", VELM_URL=url)
    logged = re.findall(r"quenlo\.sdk\.velm_api DEBUG (GET|POST) (\S+): (.+) in (\d+\.\d{3}) s$", run.err, re.M)
    assert run.code == 0 and [(m, u.split("/rest")[1], s) for m, u, s, _ in logged] == [
        ("GET", "/v1/system/info", "200 OK"),
        ("GET", "/v1/pipeline/orders/status?rev=0", "200 OK"),
    ]
    assert all(u.startswith("http://***@") for _, u, _, _ in logged) and "pw-in-url" not in run.err
    run = velm("--debug", "info", VELM_URL="http://127.0.0.1:9")
    assert run.code == 5 and re.search(
        r"DEBUG GET http://127\.0\.0\.1:9/rest/v1/system/info: no answer \(.+\) after", run.err
    )


def test_ctrl_c_while_velm_is_still_importing_is_one_line_and_exit_130() -> None:
    # As the velm script does; a sign of life once main() is importing the rest of velm (requests among it).
    code = (
        "import sys\nfrom quenlo.sdk.cli import main\nclass Go:\n def find_spec(self, name, *args):\n"
        "  if name == 'quenlo.sdk.cli._errors': print('go', flush=True)\n"
        "sys.meta_path.insert(0, Go())\nsys.exit(main())"
    )
    process = subprocess.Popen(
        [sys.executable, "-c", code, "--url", "http://127.0.0.1:9", "--wait-for-engine", "30", "info"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert process.stdout is not None and process.stdout.readline() == "go\n"
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=30)
    assert (process.returncode, err) == (130, "velm: interrupted\n")


# -- secrets ---------------------------------------------------------------------------------------------------------

PASSWORD = 'p"w\\/x y'
SPELLINGS = (PASSWORD, json.dumps(PASSWORD)[1:-1], quote(PASSWORD, safe=""), quote(PASSWORD))


@pytest.fixture
def echoing() -> Iterator[EngineSimulator]:
    """An engine whose pipeline's title and status message show the password in each of its spellings."""
    with EngineSimulator(users={"admin": PASSWORD}) as engine:
        shown = " ".join(SPELLINGS) + " " + json.dumps(PASSWORD)
        engine.state.pipelines.import_pipeline("orders", sample_pipeline(f"title {shown}", "orders"))
        engine.script_status("orders", [{"status": "RUN_ERROR", "message": f"login {shown}"}] * 20)
        yield engine


@pytest.mark.parametrize("mode", ["plain", "--json", "--debug", "terminal"])
@pytest.mark.parametrize("command", ["status", "pipelines"])
def test_no_output_shows_the_password_in_any_spelling(
    echoing: EngineSimulator, tmp_path: Path, mode: str, command: str
) -> None:
    (tmp_path / "pw").write_text(PASSWORD)
    argv = [command, *(["orders"] if command == "status" else []), "--password-file", str(tmp_path / "pw")]
    env = {"VELM_URL": echoing.url, "VELM_USER": "admin"}
    if mode == "terminal":
        code, shown = in_terminal(argv, env)
        shown = ANSI.sub("", shown)
    else:
        run = velm(*argv, *([mode] if mode != "plain" else []), **env)
        code, shown = run.code, run.out + run.err
    assert code == (1 if command == "status" else 0) and "***" in shown, shown
    assert [spelling for spelling in SPELLINGS if spelling in shown] == [] and 'p\\"w' not in shown, shown


def test_a_url_password_basic_authentication_cannot_send_is_a_usage_error(engine: EngineSimulator) -> None:
    secret = "pässwörd€"
    for url in (
        engine.url.replace("://", f"://admin:{secret}@"),
        engine.url.replace("://", f"://admin:{quote(secret)}@"),
    ):
        run = velm("--json", "info", VELM_URL=url)
        assert run.code == 2 and "password in the engine URL (--url or VELM_URL)" in run.err, run.err
        assert [form for form in (secret, quote(secret), "w\\u00f6") if form in run.out + run.err] == []
    assert engine.requests == []


# -- time options ----------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, code, low, high",
    [
        (["--timeout-http", "2.5,0.4", "status", "orders"], 3, 0.3, 1.5),  # the read time-out is the second part
        (["--timeout-http", "0.4,1.2", "status", "orders"], 3, 1.1, 2.0),
        (["--timeout-http", "1,8", "wait", "orders", "--timeout", "1"], 3, 0.9, 2.0),  # cut to the wait's time-out
        (["--timeout-http", "8", "wait", "orders", "--timeout", "1"], 3, 0.9, 2.0),
    ],
)
def test_the_http_time_out_pair_and_its_cut_to_the_wait(
    engine: EngineSimulator, orders: str, argv: List[str], code: int, low: float, high: float
) -> None:
    engine.state.runs.start("orders")
    engine.inject_fault("GET", "/v1/pipeline/orders/status*", count=None, delay=math.inf)
    run = velm(*argv, VELM_URL=engine.url)
    assert run.code == code and low < run.seconds < high, (run.err, run.seconds)


@pytest.mark.parametrize("content", ["", "\n", "\r\n"])
def test_an_empty_password_file_is_a_usage_error(engine: EngineSimulator, tmp_path: Path, content: str) -> None:
    (tmp_path / "pw").write_text(content)
    run = velm("--password-file", str(tmp_path / "pw"), "info", VELM_URL=engine.url, VELM_USER="admin")
    assert run.code == 2 and "is empty" in run.err and engine.requests == []
