"""The pytest plugin as a user meets it: its fixtures and marker, in test sessions of their own."""

from __future__ import annotations

import pytest

pytest_plugins = ["pytester"]


def session(pytester: pytest.Pytester, *args: str) -> pytest.RunResult:
    """Run pytest in this process with our plugin alone (other plugins only cost start-up time here)."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
        return pytester.runpytest_inprocess("-p", "quenlo.sdk.pytest_plugin", "-p", "no:cacheprovider", *args)


def run(pytester: pytest.Pytester, source: str, passed: int) -> pytest.RunResult:
    pytester.makepyfile(source)
    result = session(pytester)
    result.assert_outcomes(passed=passed)
    return result


def test_without_the_simulator_extra_a_test_using_the_fixtures_errors_with_the_install_command(
    pytester: pytest.Pytester,
) -> None:
    pytester.makeconftest("import sys\nsys.modules['werkzeug'] = None  # as if the extra were not installed\n")
    pytester.makepyfile("def test_job(velm_client):\n    pass\n\ndef test_other():\n    pass\n")
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYTEST_DISABLE_PLUGIN_AUTOLOAD", "1")
        result = pytester.runpytest_subprocess("-p", "quenlo.sdk.pytest_plugin", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=1, errors=1)
    assert 'velm_engine fixture needs the engine simulator: pip install "quenlo-sdk[simulator]"' in result.stdout.str()


def test_each_test_gets_the_engine_in_its_initial_state(pytester: pytest.Pytester) -> None:
    run(
        pytester,
        """
        from quenlo.sdk.simulator import sample_pipeline

        urls = []

        def test_arranges_a_lot(velm_engine, velm_client):
            urls.append(velm_engine.url)
            velm_client.import_pipeline("orders", sample_pipeline("Orders", "orders"))
            velm_engine.add_user("someone", "pw")
            velm_engine.state.version = "9.9.9"
            velm_engine.inject_fault("GET", "/v1/system/info", status=503, count=None)

        def test_sees_none_of_it(velm_engine, velm_client):
            urls.append(velm_engine.url)
            assert velm_engine.requests == []  # the probe is cleared
            assert velm_client.get_all_pipeline_configuration_info().response.json() == []
            assert velm_client.version == "5.6.0"
            assert not velm_engine.state.users.required

        def test_one_engine_served_both():
            assert len(urls) == 2 and urls[0] == urls[1]
        """,
        passed=3,
    )


def test_the_marker_configures_the_engine_and_the_client_logs_in_as_the_first_user(pytester: pytest.Pytester) -> None:
    run(
        pytester,
        """
        import pytest

        @pytest.mark.velm_engine(version="2.4.0", users={"admin": "pw", "guest": "g"}, api_version=1)
        def test_configured(velm_engine, velm_client):
            assert velm_client.version == "2.4.0"
            velm_client.get_current_user()
            assert velm_engine.last_request.user == "admin"
            assert sorted(velm_engine.users.names()) == ["admin", "guest"]

        @pytest.mark.velm_engine(version="2.4.0")
        class TestOnAClass:
            def test_inherits_the_marker(self, velm_client):
                assert velm_client.version == "2.4.0"

        def test_the_next_test_is_back_to_the_defaults(velm_engine, velm_client):
            assert velm_client.version == "5.6.0" and not velm_engine.users.required
        """,
        passed=3,
    )


def test_virtual_time_holds_for_the_marked_test_only(pytester: pytest.Pytester) -> None:
    run(
        pytester,
        """
        import time
        import pytest
        from quenlo.sdk import velm_api
        from quenlo.sdk.simulator import sample_pipeline

        @pytest.mark.velm_engine(virtual_time=True)
        def test_a_minute_long_run(velm_engine, velm_client):
            velm_client.import_pipeline("p", sample_pipeline("p", "p"))
            velm_engine.state.runs.configure("p", batches=6, batch_interval=10.0)
            started = time.perf_counter()
            velm_client.start_pipeline("p").wait_for_finished()
            assert time.perf_counter() - started < 10
            assert velm_engine.clock.elapsed >= 60

        def test_after_it(velm_engine):
            assert velm_api.time is time and not velm_engine.virtual_time
        """,
        passed=2,
    )


def test_a_test_that_stops_the_engine_does_not_break_the_next(pytester: pytest.Pytester) -> None:
    run(
        pytester,
        """
        def test_stops_it(velm_engine):
            velm_engine.stop()

        def test_gets_a_running_one(velm_engine, velm_client):
            assert velm_engine.running and velm_client.version
        """,
        passed=2,
    )


@pytest.mark.parametrize(
    ("marker", "message"),
    [
        ('velm_engine(versoin="2.4.0")', "does not know versoin"),
        ('velm_engine("2.4.0")', "keyword arguments only"),
        ('velm_engine(users=["admin"])', "users must map names to passwords"),
    ],
)
def test_a_mistaken_marker_fails_the_test_with_a_clear_message(
    pytester: pytest.Pytester, marker: str, message: str
) -> None:
    pytester.makepyfile(
        f"""
        import pytest

        @pytest.mark.{marker}
        def test_it(velm_engine):
            pass
        """
    )
    result = session(pytester)
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines([f"*{message}*"])


def test_the_marker_is_registered(pytester: pytest.Pytester) -> None:
    result = session(pytester, "--markers")
    result.stdout.fnmatch_lines(
        ["*velm_engine(version=None, users=None, virtual_time=False, api_version=None, tls=False, tls_client_ca=None)*"]
    )


def test_each_xdist_worker_gets_an_engine_of_its_own(pytester: pytest.Pytester) -> None:
    """Under pytest-xdist, tests on different workers run at once: each worker must have its own engine, or one
    test's pipelines, faults and resets would land in another's."""
    pytest.importorskip("xdist")
    pytester.makepyfile(
        """
        import os
        import time

        import pytest
        from quenlo.sdk.simulator import sample_pipeline

        @pytest.mark.parametrize("n", range(4))
        def test_sees_only_its_own_pipeline(velm_engine, velm_client, tmp_path_factory, n):
            velm_client.import_pipeline(f"p{n}", sample_pipeline("P", f"p{n}"))
            time.sleep(0.1)  # overlap with the other worker's test
            listed = velm_client.get_all_pipeline_configuration_info().response.json()
            assert [pipeline["pipelineId"] for pipeline in listed] == [f"p{n}"]
            worker = os.environ["PYTEST_XDIST_WORKER"]
            (tmp_path_factory.getbasetemp().parent / f"{worker}-{n}").write_text(velm_engine.url)
        """
    )
    result = pytester.runpytest_subprocess("-n", "2", "-p", "no:cacheprovider", "--basetemp", str(pytester.path / "t"))
    result.assert_outcomes(passed=4)
    urls: dict[str, set[str]] = {}
    for record in pytester.path.glob("t/gw*-*"):
        urls.setdefault(record.name.split("-")[0], set()).add(record.read_text())
    assert len(urls) == 2 and all(len(seen) == 1 for seen in urls.values()), urls
    assert len(set.union(*urls.values())) == 2
