"""Export every stored pipeline to a folder, one JSON file per pipeline.

python examples/export_all.py [--url URL] [--out FOLDER]
"""

from __future__ import annotations

import json
import re
import sys
from pathlib import Path
from typing import List, Optional

from engine_connection import connect, parser


def safe_file_name(pipeline_id: str) -> str:
    """A file name for a pipeline id: anything outside letters, digits, "-", "_" and "." becomes "_"."""
    return re.sub(r"[^A-Za-z0-9._-]", "_", pipeline_id).lstrip(".") or "pipeline"


def main(argv: Optional[List[str]] = None) -> int:
    arguments = parser(__doc__ or "")
    arguments.add_argument("--out", default="exported-pipelines", help="the folder to write to")
    args = arguments.parse_args(argv)
    folder = Path(args.out)
    folder.mkdir(parents=True, exist_ok=True)

    with connect(args, pipelines=["orders", "customers"]) as client:
        listing = client.get_all_pipeline_configuration_info().response.json()
        for info in listing:
            pipeline_id = info["pipelineId"]
            target = folder / f"{safe_file_name(pipeline_id)}.json"
            target.write_text(json.dumps(client.export_pipeline(pipeline_id), indent=2))
            print(f"{pipeline_id} -> {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
