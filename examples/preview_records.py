"""Preview a pipeline and print the first records each stage produced.

python examples/preview_records.py [--url URL] [--pipeline ID] [--batch-size N] [--records N]
"""

from __future__ import annotations

import sys
from typing import List, Optional

from engine_connection import connect, parser


def main(argv: Optional[List[str]] = None) -> int:
    arguments = parser(__doc__ or "")
    arguments.add_argument("--pipeline", default="orders", help="the pipeline to preview")
    arguments.add_argument("--batch-size", type=int, default=5, help="records per preview batch")
    arguments.add_argument("--records", type=int, default=3, help="records to print per stage")
    args = arguments.parse_args(argv)

    with connect(args, pipelines=[args.pipeline]) as client:
        preview = client.run_pipeline_preview(args.pipeline, batch_size=args.batch_size).wait_for_finished().preview
        print(preview)
        for stage in preview.stage_names:
            records = preview.records(stage)
            print(f"{stage}: {len(records)} records")
            for record in records[: args.records]:
                print(f"    {record}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
