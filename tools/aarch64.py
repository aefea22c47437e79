"""CPython for aarch64 from Debian's arm64 packages: headers to compile wheels against, interpreters to run under
qemu-user.

Each Debian release packages one CPython: bullseye 3.9, bookworm 3.11, trixie 3.13. The packages are fetched with
apt-get into a root of their own under build/arm64/<release> (its own package lists and an empty list of installed
packages), so the machine's apt set-up is left as it is, and extracted there with dpkg:

    python tools/aarch64.py headers 3.11       the folder to compile against (python3.11/, aarch64's pyconfig.h)
    python tools/aarch64.py interpreter 3.11   the extracted root whose usr/bin/python3.11 runs under qemu-user

An interpreter runs as ``qemu-aarch64-static -L <root> -0 <name> <root>/usr/bin/python3.X``: -L makes its absolute
paths (the loader, its libraries, its standard library) resolve in the root first, and -0 gives it the name it is
called by, so that a venv's wrapper script is what ``sys.executable`` names and child processes run emulated too.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "arm64"
Version = Tuple[int, int]
# The Debian release that packages each CPython version; the others have no arm64 build of Debian's to use.
RELEASES: Dict[Version, str] = {(3, 9): "bullseye", (3, 11): "bookworm", (3, 13): "trixie"}
# Debian packages the standard library's distutils apart; pip needs it before 3.12.
DISTUTILS = "python3-distutils"
MIRROR = "http://deb.debian.org/debian"
KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"
TRIPLET = "aarch64-linux-gnu"
QEMU = "qemu-aarch64-static"


def apt_options(root: Path) -> List[str]:
    """apt-get options that confine it to ``root``: its own sources, lists, cache and package status."""
    return [
        f"-oDir::State={root / 'state'}",
        f"-oDir::State::status={root / 'state' / 'status'}",
        f"-oDir::Cache={root / 'cache'}",
        f"-oDir::Etc::SourceList={root / 'sources.list'}",
        f"-oDir::Etc::SourceParts={root / 'sources.list.d'}",
        f"-oDir::Etc::PreferencesParts={root / 'preferences.d'}",
        "-oAPT::Architecture=arm64",
        "-oAPT::Architectures=arm64",
        "-oAcquire::Languages=none",
        "-oAPT::Sandbox::User=root",
        "-qq",
    ]


def apt_root(release: str) -> Path:
    """The apt root for ``release``, its package lists fetched once."""
    root = WORK / "apt" / release
    if (root / "updated").exists():
        return root
    for folder in ("state/lists/partial", "cache/archives/partial", "sources.list.d", "preferences.d"):
        (root / folder).mkdir(parents=True, exist_ok=True)
    (root / "state" / "status").touch()
    (root / "sources.list").write_text(f"deb [arch=arm64 signed-by={KEYRING}] {MIRROR} {release} main\n")
    subprocess.run(["apt-get", *apt_options(root), "update"], check=True)
    (root / "updated").touch()
    return root


def extract(debs: List[Path], into: Path) -> None:
    into.mkdir(parents=True, exist_ok=True)
    for deb in sorted(debs):
        subprocess.run(["dpkg-deb", "-x", str(deb), str(into)], check=True)


def dotted(version: Version) -> str:
    return f"{version[0]}.{version[1]}"


def headers(version: Version) -> Path:
    """A folder holding ``python3.X/``: the version's headers, with the aarch64 build's pyconfig.h in place of
    Debian's multi-architecture one (which picks among architectures by the compiler's macros)."""
    release = RELEASES[version]
    name = f"python{dotted(version)}"
    folder = WORK / "headers" / name
    if (folder / name / "Python.h").is_file() and "HAVE_CRYPT_H 1" not in (folder / name / "pyconfig.h").read_text():
        return folder
    root = apt_root(release)
    download = WORK / "download" / f"lib{name}-dev"
    shutil.rmtree(download, ignore_errors=True)
    download.mkdir(parents=True)
    subprocess.run(["apt-get", *apt_options(root), "download", f"lib{name}-dev:arm64"], cwd=download, check=True)
    unpacked = download / "root"
    extract(list(download.glob("*.deb")), unpacked)
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(unpacked / "usr" / "include" / name, folder / name)
    pyconfig = (unpacked / "usr" / "include" / TRIPLET / name / "pyconfig.h").read_text()
    # Debian 11's Python.h (3.9.2; later 3.9 releases dropped it) includes <crypt.h> where the interpreter was
    # built with it, for its own crypt module; the glibc 2.17 headers the wheels are compiled against have none
    # (libcrypt is a library of its own).
    (folder / name / "pyconfig.h").write_text(re.sub(r"^#define HAVE_CRYPT_H 1$", "", pyconfig, flags=re.M))
    return folder


# The types behind pyconfig.h's sizes and alignments, each checked against the target compiler.
TYPES: Dict[str, str] = {
    "DOUBLE": "double",
    "FLOAT": "float",
    "FPOS_T": "fpos_t",
    "INT": "int",
    "LONG": "long",
    "LONG_DOUBLE": "long double",
    "LONG_LONG": "long long",
    "OFF_T": "off_t",
    "PID_T": "pid_t",
    "PTHREAD_KEY_T": "pthread_key_t",
    "PTHREAD_T": "pthread_t",
    "SHORT": "short",
    "SIZE_T": "size_t",
    "TIME_T": "time_t",
    "UINTPTR_T": "uintptr_t",
    "VOID_P": "void *",
    "WCHAR_T": "wchar_t",
    "_BOOL": "_Bool",
    "MAX_ALIGN_T": "max_align_t",
}
# The settings other than sizes in which Debian's x86-64 and aarch64 builds of one CPython differ: the x86 float
# assembly (used by the interpreter's own sources only), whether wchar_t is unsigned (aarch64's is) and the
# platform's support tier. An x86-64 pyconfig.h gets aarch64's values.
AARCH64_SETTINGS: Dict[str, Optional[str]] = {
    "HAVE_GCC_ASM_FOR_X64": None,
    "HAVE_GCC_ASM_FOR_X87": None,
    "HAVE_USABLE_WCHAR_T": "1",
    "PY_SUPPORT_TIER": "2",
}


def size_checks(pyconfig: str) -> str:
    """C source that fails to compile unless each size and alignment ``pyconfig`` states holds for the compiler's
    target. A setting whose type is not known fails it too: what is not checked cannot be vouched for."""
    lines = ["#include <stddef.h>", "#include <stdint.h>", "#include <stdio.h>", "#include <sys/types.h>"]
    lines.append("#include <pthread.h>")
    lines.append("#include <time.h>")
    lines.append("#include <wchar.h>")
    for kind, name, value in re.findall(r"^#define (SIZEOF|ALIGNOF)_(\w+) (\d+)", pyconfig, re.M):
        operator = "sizeof" if kind == "SIZEOF" else "_Alignof"
        if name not in TYPES:
            lines.append(f'#error "{kind}_{name}: no type known to check it against"')
            continue
        lines.append(f'_Static_assert({operator}({TYPES[name]}) == {value}, "{kind}_{name} is not {value}");')
    return "\n".join(lines) + "\n"


def adapt_settings(pyconfig: str) -> str:
    """``pyconfig`` with aarch64's values of AARCH64_SETTINGS."""
    for name, value in AARCH64_SETTINGS.items():
        pyconfig = re.sub(rf"^#define {name}\b.*\n", "", pyconfig, flags=re.M)
        pyconfig = re.sub(rf"^/\* #undef {name} \*/\n", "", pyconfig, flags=re.M)
        if value is not None:
            pyconfig += f"#define {name} {value}\n"
    return pyconfig


def adapted_headers(include: Path, version: Version, compile_c: List[str]) -> Path:
    """The headers of an x86-64 CPython (``include``, holding Python.h) made fit for aarch64, for a version no
    Debian release packages: its sizes and alignments checked with the target's C compiler (``compile_c``, a
    command to which a source file is appended), and the settings that differ between the two set to aarch64's."""
    name = f"python{dotted(version)}"
    folder = WORK / "headers" / f"{name}-adapted"
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(include, folder / name)
    pyconfig = folder / name / "pyconfig.h"
    text = pyconfig.read_text()
    check = folder / "sizes.c"
    check.write_text(size_checks(text))
    # Compiled to an object, not -fsyntax-only: Zig's cc wants an output to put in its cache.
    objects = ["-c", "-o", str(folder / "sizes.o"), str(check)]
    failed = subprocess.run([*compile_c, *objects], capture_output=True, text=True)
    if failed.returncode != 0:
        raise SystemExit(f"{include}/pyconfig.h does not hold for aarch64:\n{failed.stderr}")
    pyconfig.write_text(adapt_settings(text))
    return folder


def interpreter(version: Version) -> Path:
    """A root with Debian's CPython ``version`` for arm64 and every package it needs (the C library among them)."""
    release = RELEASES[version]
    name = f"python{dotted(version)}"
    root = WORK / "root" / name
    packages = [name, DISTUTILS] if version < (3, 12) else [name]
    stamp = root / "packages"
    if stamp.is_file() and stamp.read_text().split() == packages:
        return root
    apt = apt_root(release)
    # With no package listed as installed, apt fetches the whole closure, down to the C library.
    subprocess.run(
        ["apt-get", *apt_options(apt), "install", "--download-only", "--no-install-recommends", "-y", *packages],
        check=True,
    )
    shutil.rmtree(root, ignore_errors=True)
    extract(list((apt / "cache" / "archives").glob("*.deb")), root)
    # Releases with a merged /usr ship the loader under usr/lib; binaries look for it under /lib.
    if not (root / "lib").exists():
        (root / "lib").symlink_to("usr/lib")
    stamp.write_text(" ".join(packages))
    return root


def emulated_command(root: Path, version: Version, called_as: Path) -> List[str]:
    """The command that runs the interpreter in ``root`` under qemu-user, as if it were ``called_as``."""
    qemu = shutil.which(QEMU)
    if qemu is None:
        raise SystemExit(f"{QEMU} is not installed (Debian's qemu-user-static)")
    return [qemu, "-L", str(root), "-0", str(called_as), str(root / "usr" / "bin" / f"python{dotted(version)}")]


def make_venv(version: Version, venv: Path) -> Path:
    """A venv around the emulated interpreter: pyvenv.cfg and a bin/python script that runs it under qemu-user.
    Without pip: the caller installs it. Returns the venv's python."""
    root = interpreter(version)
    shutil.rmtree(venv, ignore_errors=True)
    (venv / "bin").mkdir(parents=True)
    home = root / "usr" / "bin"
    (venv / "pyvenv.cfg").write_text(
        f"home = {home}\ninclude-system-site-packages = false\nversion = {dotted(version)}\n"
    )
    python = venv / "bin" / "python"
    command = " ".join(f'"{part}"' for part in emulated_command(root, version, python))
    python.write_text(f'#!/bin/sh\nexec {command} "$@"\n')
    python.chmod(0o755)
    return python


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["headers", "interpreter"])
    parser.add_argument("version", choices=[dotted(version) for version in RELEASES])
    options = parser.parse_args(argv)
    version = next(version for version in RELEASES if dotted(version) == options.version)
    print(headers(version) if options.what == "headers" else interpreter(version))
    return 0


if __name__ == "__main__":
    sys.exit(main())
