"""Start a pipeline with runtime parameters, follow its batches and wait until it has finished.

python examples/run_pipeline.py [--url URL] [--pipeline ID] [--param name=value ...]
"""

from __future__ import annotations

import sys
from typing import List, Optional

from engine_connection import connect, parser

from quenlo.sdk.velm_api import StatusError


def main(argv: Optional[List[str]] = None) -> int:
    arguments = parser(__doc__ or "")
    arguments.add_argument("--pipeline", default="orders", help="the pipeline to run")
    arguments.add_argument("--param", action="append", default=[], help="a runtime parameter, name=value")
    arguments.add_argument("--timeout", type=float, default=120, help="seconds to wait for the run")
    args = arguments.parse_args(argv)
    parameters = dict(item.split("=", 1) for item in args.param)

    with connect(args, pipelines=[args.pipeline]) as client:
        command = client.start_pipeline(args.pipeline, runtime_parameters=parameters or None)
        print(f"started {args.pipeline}: {command.response.json()['status']}")
        try:
            command.wait_for_pipeline_batch_count(1, timeout_sec=args.timeout)
            print("first batch processed")
            command.wait_for_finished(timeout_sec=args.timeout)
        except StatusError as error:
            print(f"{args.pipeline} failed: {error.message}", file=sys.stderr)
            return 1
        last_run = client.get_pipeline_history(args.pipeline)[0]
        print(f"{args.pipeline} finished: {last_run.get('status')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
