"""Clients and commands behave as ordinary Python objects: inherited and replaceable constructors, weak
references, copying and pickling, and a quiet exit while a thread still holds one."""

from __future__ import annotations

import copy
import gc
import pickle
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path
from typing import Any
from unittest import mock

import pytest

from quenlo.sdk import velm_api

PIPELINE_KINDS = [velm_api.PipelineCommand, velm_api.StartPipelineCommand, velm_api.StopPipelineCommand]
WITH_IDS = {
    velm_api.ValidateCommand: ("pipeline_id", "previewer_id"),
    velm_api.PreviewCommand: ("pipeline_id", "previewer_id"),
    velm_api.ConnectionValidateCommand: ("pipeline_id", "previewer_id"),
    velm_api.SnapshotCommand: ("pipeline_id", "snapshot_name", "snapshot_label"),
}


class TestConstructors:
    @pytest.mark.parametrize("cls", PIPELINE_KINDS, ids=lambda c: c.__name__)
    def test_pipeline_commands_inherit_the_command_constructor(self, cls):
        assert "__init__" not in vars(cls)
        assert cls.__init__ is velm_api.Command.__init__
        command = cls(api_client="c", response="r")
        assert (command.api_client, command.response) == ("c", "r")

    @pytest.mark.parametrize("cls", [velm_api.Command, *PIPELINE_KINDS, *WITH_IDS], ids=lambda c: c.__name__)
    def test_a_replaced_command_constructor_is_honoured(self, cls):
        calls = []

        def recording(self: Any, *args: Any, **kwargs: Any) -> None:
            calls.append((args, kwargs))

        ids = ("i",) * len(WITH_IDS.get(cls, ()))
        with mock.patch.object(velm_api.Command, "__init__", recording):
            command = cls("c", "r", *ids)
        if cls in WITH_IDS:
            # The commands with ids call the base's constructor by keyword, then keep their ids.
            assert calls == [((), {"api_client": "c", "response": "r"})]
            assert [getattr(command, name) for name in WITH_IDS[cls]] == list(ids)
        else:
            assert calls == [(("c", "r"), {})]
        assert not hasattr(command, "response")

    def test_a_python_subclass_constructor_runs(self):
        class Tagged(velm_api.StartPipelineCommand):
            def __init__(self, api_client: Any, response: Any, tag: str) -> None:
                super().__init__(api_client, response)
                self.tag = tag

        command = Tagged("c", "r", "t")
        assert (command.api_client, command.response, command.tag) == ("c", "r", "t")

    @pytest.mark.parametrize("cls", [velm_api.Command, *PIPELINE_KINDS], ids=lambda c: c.__name__)
    def test_wrong_arguments_are_refused_as_python_would(self, cls):
        with pytest.raises(TypeError):
            cls("c")
        with pytest.raises(TypeError):
            cls("c", "r", unknown=1)


def _every_object(client: velm_api.ApiClient) -> list[Any]:
    return [
        client,
        velm_api.Command(client, "r"),
        *(cls(client, "r") for cls in PIPELINE_KINDS),
        *(cls(client, "r", *("i",) * len(names)) for cls, names in WITH_IDS.items()),
    ]


class TestPythonProtocols:
    def test_weak_references_follow_the_object(self, client):
        for obj in _every_object(client):
            reference = weakref.ref(obj)
            assert reference() is obj
        del obj
        gc.collect()
        assert reference() is None

    @pytest.mark.parametrize(
        "clone", [copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))], ids=["copy", "deepcopy", "pickle"]
    )
    def test_commands_are_copied_and_pickled_by_their_attributes(self, clone):
        for cls, names in [(velm_api.Command, ()), *[(c, ()) for c in PIPELINE_KINDS], *WITH_IDS.items()]:
            original = cls(["client"], {"status": "RUNNING"}, *(f"{n}-value" for n in names))
            original.note = "kept"
            copied = clone(original)
            assert type(copied) is cls and copied is not original
            assert vars(copied) == vars(original)

    def test_a_shallow_copy_shares_and_a_deep_copy_does_not(self):
        original = velm_api.Command(["client"], {"status": "RUNNING"})
        assert copy.copy(original).response is original.response
        assert copy.deepcopy(original).response is not original.response

    def test_a_pickled_client_works_against_its_engine(self, client, engine):
        engine.script_status("p1", ["RUNNING"])
        restored = pickle.loads(pickle.dumps(client))
        assert (restored.server_url, restored.version, restored.api_version) == (
            client.server_url,
            client.version,
            client.api_version,
        )
        assert restored.session is not client.session
        assert restored.get_pipeline_status("p1").response.json()["status"] == "RUNNING"
        assert [r.path for r in engine.requests] == ["/rest/v1/pipeline/p1/status"]


def _run(script: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=60, check=False
    )


class TestExit:
    def test_objects_held_by_a_daemon_thread_leave_the_exit_quiet(self, engine):
        result = _run(f"""
            import threading
            from quenlo.sdk import velm_api
            client = velm_api.ApiClient({engine.url!r})
            held = [client, velm_api.StartPipelineCommand(client, None)]
            threading.Thread(target=lambda objects=held: threading.Event().wait(), daemon=True).start()
            del client, held
            print("done")
            """)
        assert (result.returncode, result.stdout, result.stderr) == (0, "done\n", "")

    @pytest.mark.parametrize(
        "call",
        ['client.get_pipeline_status("p1")', 'client.get_pipeline_status("p1").wait("FINISHED", poll_interval=0.0005)'],
        ids=["status-read", "wait"],
    )
    def test_a_daemon_thread_inside_a_call_at_exit_leaves_it_quiet(self, engine, call):
        # The interpreter ends such a thread where it waits to run again; none of the client's frames may
        # release anything on its way out. Ten runs, since the thread is caught at a different point each time.
        engine.script_status("p1", ["RUNNING"])
        script = textwrap.dedent(f"""
            import threading, time
            from quenlo.sdk import velm_api
            client = velm_api.ApiClient({engine.url!r})
            started = threading.Event()
            def calls():
                started.set()
                while True:
                    {call}
            threading.Thread(target=calls, daemon=True).start()
            started.wait()
            time.sleep(0.05)
            """)
        runs = [
            subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            for _ in range(10)
        ]
        results = [(run.wait(timeout=60), *run.communicate()) for run in runs]
        assert results == [(0, "", "")] * 10

    def test_a_real_leak_is_still_reported(self):
        # An extra reference that nothing gives back: the object outlives the interpreter.
        result = _run("""
            import ctypes
            from quenlo.sdk import velm_api
            command = velm_api.Command(None, None)
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(command))
            """)
        assert "nanobind: leaked 1 instances!" in result.stderr

    def test_the_leak_report_fails_the_checked_run(self, tmp_path):
        script = tmp_path / "leaks.py"
        script.write_text(
            "import ctypes\nfrom quenlo.sdk import velm_api\n"
            "ctypes.pythonapi.Py_IncRef(ctypes.py_object(velm_api.Command(None, None)))\n"
        )
        check = [sys.executable, "tools/check_leaks.py"]
        root = Path(__file__).resolve().parent.parent
        leaked = subprocess.run([*check, str(script)], cwd=root, capture_output=True, text=True, timeout=60)
        clean = subprocess.run(
            [*check, "-c", "from quenlo.sdk import velm_api"], cwd=root, capture_output=True, text=True, timeout=60
        )
        assert (leaked.returncode, clean.returncode) == (1, 0)
        assert "check_leaks: nanobind reported leaked objects" in leaked.stderr
