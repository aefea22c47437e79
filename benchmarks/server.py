"""A minimal keep-alive HTTP/1.1 engine stand-in for the benchmarks, run as its own process.

It answers the few endpoints the benchmarks call with fixed bodies and a Content-Length, so the client keeps one
connection open and the server's own cost stays small and the same for every client it is compared with. It
prints its port on the first line of stdout and serves until killed.

    python benchmarks/server.py [--bundle-mb 100] [--export-mb 20] [--wait-polls 20]
"""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
import threading
import time
import zipfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Dict, List

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from payloads import STATUS_RUNNING, canned, definition  # noqa: E402


def archive(megabytes: int) -> bytes:
    """A stored (uncompressed) zip of random members adding up to ``megabytes`` MiB: what a big bundle costs."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", zipfile.ZIP_STORED) as zf:
        remaining = megabytes << 20
        index = 0
        while remaining > 0:
            size = min(remaining, 4 << 20)
            zf.writestr(f"logs/part-{index:03d}.log", os.urandom(size))
            remaining -= size
            index += 1
    return buffer.getvalue()


class State:
    def __init__(self, bundle: bytes, export: bytes, wait_polls: int) -> None:
        self.bundle = bundle
        self.export = export
        self.wait_polls = wait_polls
        self.lock = threading.Lock()
        self.polls: Dict[str, List[float]] = {}


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    state: State

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 - the base class's name
        pass

    def _reply(self, body: bytes, status: int = 200) -> None:
        head = (
            f"HTTP/1.1 {status} OK\r\nContent-Type: application/json\r\nContent-Length: {len(body)}\r\n\r\n"
        ).encode("latin-1")
        try:
            # One write for small answers: headers and body in separate segments would wait on delayed ACKs.
            if len(body) < 65536:
                self.wfile.write(head + body)
            else:
                self.wfile.write(head)
                self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError):  # a client that wanted only the headers
            self.close_connection = True

    def _path(self) -> str:
        return self.path.split("?", 1)[0]

    def do_GET(self) -> None:  # noqa: N802 - http.server's naming
        path = self._path()
        if path.endswith("/status"):
            self._reply(self._status(path.split("/")[-2]))
        elif path.endswith("/export"):
            self._reply(self.state.export)
        elif path.endswith("/system/bundle/generate"):
            self._reply(self.state.bundle)
        elif path.startswith("/polls/"):
            with self.state.lock:
                self._reply(json.dumps(self.state.polls.get(path[len("/polls/") :], [])).encode())
        else:
            self._reply(canned("GET", path))

    def do_POST(self) -> None:  # noqa: N802
        length = int(self.headers.get("Content-Length") or 0)
        remaining = length
        while remaining:
            remaining -= len(self.rfile.read(min(remaining, 1 << 20)))
        self._reply(canned("POST", self._path()))

    def _status(self, pipeline_id: str) -> bytes:
        # A pipeline named "wait-..." runs for wait_polls status reads, then finishes; each read is logged
        # with the monotonic clock, which every process on the machine shares.
        if not pipeline_id.startswith("wait-"):
            return STATUS_RUNNING
        with self.state.lock:
            polls = self.state.polls.setdefault(pipeline_id, [])
            polls.append(time.monotonic())
            done = len(polls) > self.state.wait_polls
        record = {"pipelineId": pipeline_id, "status": "FINISHED" if done else "RUNNING", "message": None}
        return json.dumps(record).encode()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bundle-mb", type=int, default=1)
    parser.add_argument("--export-mb", type=float, default=1)
    parser.add_argument("--wait-polls", type=int, default=20)
    args = parser.parse_args()
    Handler.state = State(archive(args.bundle_mb), definition(int(args.export_mb * (1 << 20))), args.wait_polls)
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
