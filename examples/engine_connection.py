"""Shared by the examples: connect to the engine named on the command line, or to an embedded simulator."""

from __future__ import annotations

import argparse
import contextlib
from typing import Iterator, List, Optional

from quenlo.sdk.constants import ENGINE_AUTHENTICATION_METHOD_FORM
from quenlo.sdk.velm_api import ApiClient


def parser(description: str) -> argparse.ArgumentParser:
    """An argument parser with the connection options every example takes."""
    result = argparse.ArgumentParser(description=description)
    result.add_argument("--url", help="engine URL; without it an embedded engine simulator is started")
    result.add_argument("--user", default="admin", help="user name for form authentication")
    result.add_argument("--password", default="admin", help="password for form authentication")
    return result


@contextlib.contextmanager
def connect(args: argparse.Namespace, pipelines: Optional[List[str]] = None) -> Iterator[ApiClient]:
    """Yield a client for ``args.url``; without a URL, for a simulator holding the named sample pipelines."""
    with contextlib.ExitStack() as stack:
        url = args.url
        if url is None:
            from quenlo.sdk.simulator import EngineSimulator

            engine = stack.enter_context(EngineSimulator(users={args.user: args.password}))
            url = engine.url
        client = ApiClient(
            url, authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM, username=args.user, password=args.password
        )
        if args.url is None:
            # The simulator starts empty: give it sample pipelines (origin, processor, destination) to work on.
            from quenlo.sdk.simulator import sample_pipeline

            for pipeline_id in pipelines or []:
                client.create_pipeline(pipeline_id)
                client.import_pipeline(pipeline_id, sample_pipeline(pipeline_id, pipeline_id), overwrite=True)
        yield client
