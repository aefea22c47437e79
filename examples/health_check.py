"""Check an engine's health and save a support bundle.

python examples/health_check.py [--url URL] [--bundle FILE] [--generator NAME ...]
"""

from __future__ import annotations

import sys
import zipfile
from pathlib import Path
from typing import List, Optional

from engine_connection import connect, parser


def main(argv: Optional[List[str]] = None) -> int:
    arguments = parser(__doc__ or "")
    arguments.add_argument("--bundle", default="support-bundle.zip", help="where to save the bundle")
    arguments.add_argument("--generator", action="append", help="a bundle generator (default: all)")
    args = arguments.parse_args(argv)

    with connect(args) as client:
        info = client.get_velm_info()
        print(f"engine {info.get('version')} at {client.server_url}")
        report = client.get_health_report().response.json()
        print(f"health report: {report}")
        for alert in client.get_alerts():
            print(f"alert: {alert}")

        names = args.generator or [g["id"] for g in client.get_bundle_generators() if "id" in g]
        with client.get_bundle(names) as archive:
            for member in archive.infolist():
                print(f"    {member.filename} ({member.file_size} bytes)")
            # The archive lives in memory only: copy its members into a file of our own.
            with zipfile.ZipFile(Path(args.bundle), "w", zipfile.ZIP_DEFLATED) as copy:
                for member in archive.infolist():
                    copy.writestr(member, archive.read(member))
        print(f"bundle saved to {args.bundle}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
