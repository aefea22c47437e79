"""The package's version, the build requirements the Makefile installs, and how the release tooling picks
interpreters and wheels."""

from __future__ import annotations

import importlib.metadata
import importlib.util
import os
import re
import shutil
import stat
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Dict, List, Optional, Tuple

import pytest

import quenlo.sdk

ROOT = Path(__file__).resolve().parent.parent


def load_tool(name: str) -> ModuleType:
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # NamedTuple classes look their module up while they are built
    spec.loader.exec_module(module)
    return module


pythons = load_tool("pythons")
aarch64 = load_tool("aarch64")


def test_version_is_the_distributions() -> None:
    assert re.fullmatch(r"\d+\.\d+\.\d+\S*", quenlo.sdk.__version__)
    assert quenlo.sdk.__version__ == importlib.metadata.version("quenlo-sdk")


@pytest.mark.skipif(shutil.which("make") is None, reason="make is not installed")
@pytest.mark.parametrize("target", ["install", "test-asan"])
def test_makefile_builds_with_pyprojects_requirements(target: str) -> None:
    """Every venv the Makefile builds in gets the build requirements (nanobind's range among them) that pip's own
    builds get."""
    declared = re.search(r"^requires = \[(.*)\]$", (ROOT / "pyproject.toml").read_text(), re.M)
    assert declared is not None
    wanted = re.findall(r'"([^"]+)"', declared.group(1))
    assert any(requirement.startswith("nanobind") for requirement in wanted)
    dry_run = subprocess.run(["make", "-nB", target], cwd=ROOT, capture_output=True, text=True, check=True).stdout
    installed = [
        re.findall(r'"([^"]+)"', line)
        for line in dry_run.splitlines()
        if "pip install" in line and ("nanobind" in line or "scikit-build-core" in line)
    ]
    assert installed and all(sorted(found) == sorted(wanted) for found in installed), installed


def fake_python(path: Path, answer: str) -> Path:
    """An executable that answers the tool's probe as an interpreter would."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!/bin/sh\necho '{answer}'\n")
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


class TestFindInterpreters:
    OWN = ((3, 11), Path("/usr/bin/python3.11"))

    def find(self, root: Optional[Path], monkeypatch: pytest.MonkeyPatch, path: str = "") -> Dict[str, str]:
        monkeypatch.setenv("PATH", path)
        found, skipped = pythons.find_interpreters(root, self.OWN)
        result = {interpreter.name: str(interpreter.path) for interpreter in found}
        result.update({pythons.dotted(version): "skipped" for version in skipped})
        return result

    def test_newest_plain_release_of_each_version(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        versions = tmp_path / "versions"
        for release in ["3.9.2", "3.9.18", "3.9.9"]:
            fake_python(versions / release / "bin" / "python3.9", "cpython 3 9")
        # Other builds of a version are not the version's interpreter.
        fake_python(versions / "3.13.0t" / "bin" / "python3.13", "cpython 3 13")
        fake_python(versions / "3.13-dev" / "bin" / "python3.13", "cpython 3 13")
        fake_python(versions / "pypy3.10-7.3.12" / "bin" / "python3.10", "pypy 3 10")
        assert self.find(tmp_path, monkeypatch) == {
            "3.9": str(versions / "3.9.18" / "bin" / "python3.9"),
            "3.10": "skipped",
            "3.11": "/usr/bin/python3.11",
            "3.12": "skipped",
            "3.13": "skipped",
        }

    @pytest.mark.parametrize(
        "answer",
        ["pypy 3 12", "cpython 3 11", "", "not an interpreter"],
        ids=["another-implementation", "another-version", "silent", "garbage"],
    )
    def test_candidate_that_is_not_the_version_is_passed_over(
        self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, answer: str
    ) -> None:
        versions = tmp_path / "versions"
        fake_python(versions / "3.12.9" / "bin" / "python3.12", answer)
        fake_python(versions / "3.12.1" / "bin" / "python3.12", "cpython 3 12")
        assert self.find(tmp_path, monkeypatch)["3.12"] == str(versions / "3.12.1" / "bin" / "python3.12")

    def test_path_serves_when_pyenv_has_none(self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        fake_python(tmp_path / "bin" / "python3.10", "cpython 3 10")
        # A pyenv shim that fails, as python3.13's does without PYENV_VERSION, is no interpreter.
        shim = tmp_path / "bin" / "python3.13"
        shim.write_text("#!/bin/sh\necho 'pyenv: python3.13: command not found' >&2\nexit 127\n")
        shim.chmod(0o755)
        found = self.find(None, monkeypatch, path=str(tmp_path / "bin"))
        assert found["3.10"] == str(tmp_path / "bin" / "python3.10")
        assert found["3.13"] == "skipped"


WHEELS = [
    "quenlo_sdk-0.1.0-cp39-cp39-manylinux_2_35_x86_64.whl",
    "quenlo_sdk-0.1.0-cp310-cp310-manylinux_2_35_x86_64.whl",
    "quenlo_sdk-0.1.0-cp311-cp311-manylinux_2_35_x86_64.whl",
    "quenlo_sdk-0.1.0-cp312-abi3-manylinux_2_35_x86_64.whl",
]

CP312 = "quenlo_sdk-0.1.0-cp312-cp312-linux_x86_64.whl"
CP313 = "quenlo_sdk-0.1.0-cp313-cp313-linux_x86_64.whl"
CP312_BUILD_1 = "quenlo_sdk-0.1.0-1-cp312-cp312-linux_x86_64.whl"
ABI3_FROM_310 = "quenlo_sdk-0.1.0-cp310-abi3-linux_x86_64.whl"
ARM = [name.replace("x86_64", "aarch64") for name in WHEELS]


@pytest.mark.parametrize(
    "version, wheels, expected",
    [
        ((3, 9), WHEELS, WHEELS[0]),
        ((3, 11), WHEELS, WHEELS[2]),
        ((3, 12), WHEELS, WHEELS[3]),
        ((3, 13), WHEELS, WHEELS[3]),  # abi3 from 3.12 serves every later version
        ((3, 14), WHEELS, WHEELS[3]),
        ((3, 11), WHEELS[3:], None),  # but no earlier one
        ((3, 13), [CP312], None),  # a wheel for one version serves no other
        ((3, 13), [CP313, WHEELS[3]], CP313),  # and wins over abi3 for its own
        ((3, 12), [CP312_BUILD_1], CP312_BUILD_1),
        ((3, 10), [ABI3_FROM_310], ABI3_FROM_310),
        ((3, 9), [], None),
        ((3, 11), ARM + WHEELS, WHEELS[2]),  # each machine finds its own, whatever the order of the names
        ((3, 13), WHEELS + ARM, WHEELS[3]),
        ((3, 11), ARM, None),
    ],
)
def test_wheel_for_interpreter(version: Tuple[int, int], wheels: List[str], expected: Optional[str]) -> None:
    assert pythons.wheel_for(version, wheels, "x86_64") == expected

    def mirrored(name: str) -> str:  # the same wheels with the machines swapped
        return name.replace("x86_64", "@").replace("aarch64", "x86_64").replace("@", "aarch64")

    assert pythons.wheel_for(version, map(mirrored, wheels), "aarch64") == (expected and mirrored(expected))


@pytest.mark.parametrize(
    "tag, machine",
    [
        ("manylinux_2_17_aarch64", "aarch64"),
        ("manylinux2014_x86_64", "x86_64"),
        ("manylinux1_x86_64", "x86_64"),
        ("linux_x86_64", "x86_64"),
        ("musllinux_1_2_aarch64", "aarch64"),
    ],
)
def test_machine_of_a_platform_tag(tag: str, machine: str) -> None:
    assert pythons.machine_of(tag) == machine


@pytest.mark.parametrize(
    "header, machine",
    [
        (b"\x7fELF\x02\x01\x01" + bytes(11) + b"\x3e\x00", "x86_64"),
        (b"\x7fELF\x02\x01\x01" + bytes(11) + b"\xb7\x00", "aarch64"),
        (b"\x7fELF\x02\x01\x01" + bytes(11) + b"\xf3\x00", "machine 243"),
        (b"PK\x03\x04" + bytes(16), None),
        (b"\x7fELF", None),
    ],
)
def test_machine_an_elf_header_names(header: bytes, machine: Optional[str]) -> None:
    if machine is None:
        with pytest.raises(ValueError, match="not an ELF file"):
            pythons.elf_machine(header)
    else:
        assert pythons.elf_machine(header) == machine


def test_the_modules_own_elf_header_is_read() -> None:
    import platform

    import quenlo.sdk.velm_api as module

    assert pythons.elf_machine(Path(module.__file__).read_bytes()[:20]) == platform.machine()


@pytest.mark.parametrize("name", ["quenlo_sdk-0.1.0.tar.gz", "quenlo_sdk-cp312-abi3.whl", "a-b-c-d-e-f-g.whl"])
def test_wheel_name_that_is_none(name: str) -> None:
    with pytest.raises(ValueError, match="not a wheel file name"):
        pythons.WheelName.parse(name)


@pytest.mark.parametrize(
    "members, complaint",
    [
        (["quenlo/sdk/velm_api.abi3.so", "quenlo/sdk/__init__.py"], None),
        (["quenlo/sdk/velm_api.cpython-312-x86_64-linux-gnu.so"], "built for one version"),
    ],
)
def test_abi3_wheel_must_hold_stable_abi_modules(tmp_path: Path, members: List[str], complaint: Optional[str]) -> None:
    import zipfile

    wheel = tmp_path / WHEELS[3]
    with zipfile.ZipFile(wheel, "w") as archive:
        for member in members:
            archive.writestr(member, b"")
    if complaint is None:
        pythons.check_abi3(wheel)
    else:
        with pytest.raises(SystemExit, match=complaint):
            pythons.check_abi3(wheel)


@pytest.mark.parametrize(
    "platforms, oldest",
    [
        (["manylinux_2_17_x86_64", "manylinux2014_x86_64"], (2, 17)),
        (["manylinux_2_34_x86_64"], (2, 34)),
        (["manylinux2010_x86_64", "manylinux_2_17_x86_64"], (2, 12)),
        (["manylinux1_x86_64"], (2, 5)),
        (["linux_x86_64"], None),
        (["musllinux_1_2_x86_64"], None),
    ],
)
def test_oldest_glibc_a_wheel_installs_on(platforms: List[str], oldest: Optional[Tuple[int, int]]) -> None:
    assert pythons.oldest_glibc(platforms) == oldest


def test_newest_glibc_symbol_version_a_module_needs() -> None:
    dynamic_symbols = """
0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.2.5) free
0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.14) memcpy
0000000000000000      DF *UND*  0000000000000000 (GLIBC_2.3.2) pthread_cond_wait
0000000000000000      DF *UND*  0000000000000000  GLIBC_2.9   pipe2
0000000000014540 g    DF .text  000000000000013c  Base        PyInit_velm_api
"""
    assert pythons.newest_glibc_symbol(dynamic_symbols) == (2, 14)  # 2.14 is newer than 2.9 and 2.3.2
    assert pythons.newest_glibc_symbol("0000 g DF .text 0010 Base PyInit_x") is None


def test_auditwheel_verdict_is_read_across_wrapped_lines() -> None:
    shown = (
        "\nquenlo_sdk-0.1.0-cp311-cp311-linux_x86_64.whl is consistent with the\n"
        'following platform tag: "manylinux_2_17_x86_64".\n\nThe wheel references external versioned symbols'
    )
    assert pythons.auditwheel_glibc(shown) == (2, 17)
    assert pythons.auditwheel_glibc("quenlo_sdk.whl is consistent with the following platform tag: linux") is None


FOLDED = (
    "  CMake Error at CMakeLists.txt:21 (message):\n    quenlo.sdk.velm_api has no wheel for this platform, and"
    " building it from\n    source needs a C++17 compiler: install one (g++ or clang++) or name it in\n"
)


@pytest.mark.parametrize(
    ("returncode", "output", "asks"),
    [
        (1, FOLDED, True),
        (0, FOLDED, False),  # a build that went on, whatever it printed, is no stop
        (1, "CMake Error: Could not find compiler set in environment variable CXX:\n\n  g++.\n", False),
        (1, "error: subprocess-exited-with-error", False),
    ],
)
def test_build_without_a_compiler_stops_at_the_line_asking_for_one(returncode: int, output: str, asks: bool) -> None:
    assert pythons.asks_for_a_compiler(returncode, output) is asks


def test_configure_keeps_the_compiler_cxx_names_and_passes_over_a_missing_one(tmp_path: Path) -> None:
    cmake, ninja = (Path(sys.executable).parent / tool for tool in ("cmake", "ninja"))
    compiler, *binutils = (shutil.which(name) for name in ("g++", "as", "ld"))
    if not (cmake.exists() and ninja.exists() and compiler and all(binutils)):
        pytest.skip("needs CMake and Ninja in this venv, and g++ with its assembler and linker")
    path = tmp_path / "bin"  # the assembler and linker, but no compiler
    path.mkdir()
    for program in binutils:
        (path / Path(str(program)).name).symlink_to(str(program))
    env = {key: value for key, value in os.environ.items() if key != "CC"}

    def configure(folder: str, cxx: str) -> subprocess.CompletedProcess[str]:
        command = [cmake, "-S", ROOT, "-B", tmp_path / folder, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
        return subprocess.run(command, env=dict(env, PATH=str(path), CXX=cxx), capture_output=True, text=True)

    assert "The CXX compiler identification is GNU" in configure("named", compiler).stdout  # found by its path
    # CXX as build front ends fill it in, whether this machine has that compiler or not.
    first = configure("missing", "no-such-c++")
    assert pythons.asks_for_a_compiler(first.returncode, first.stdout + first.stderr)
    (path / "c++").symlink_to(compiler)  # installed since: a rerun in the same build folder finds it
    assert "The CXX compiler identification is GNU" in configure("missing", "no-such-c++").stdout


def test_report_lines_its_outcomes_up_past_the_longest_name(capsys: pytest.CaptureFixture[str]) -> None:
    pythons.report([("3.11", "passed", 1.0), ("3.11 clang libc++ no compiler", "FAILED", 2.0)], [(3, 9)])
    lines = capsys.readouterr().out.splitlines()[1:]
    assert len({line.index(word) for line, word in zip(lines, ("passed", "FAILED", "skipped"))}) == 1


def test_audit_refuses_a_wheel_tagged_for_one_machine(tmp_path: Path) -> None:
    wheel = tmp_path / "quenlo_sdk-0.1.0-cp311-cp311-linux_x86_64.whl"
    wheel.write_bytes(b"")
    with pytest.raises(SystemExit, match="does not install on glibc 2.17"):
        pythons.audit(wheel, "auditwheel-is-not-reached")


def elf_header(machine: int) -> bytes:
    return b"\x7fELF\x02\x01\x01" + bytes(11) + machine.to_bytes(2, "little")


@pytest.mark.parametrize(
    "tagged, verdict, compiled_for, needs, complaint",
    [
        ("x86_64", "manylinux_2_17_x86_64", 62, "GLIBC_2.17", None),
        ("aarch64", "manylinux_2_17_aarch64", 183, "GLIBC_2.17", None),
        ("x86_64", "manylinux_2_28_x86_64", 62, "GLIBC_2.17", "auditwheel show does not find it fit"),
        ("aarch64", "manylinux_2_17_aarch64", 62, "GLIBC_2.17", "compiled for x86_64, the tag names {'aarch64'}"),
        ("x86_64", "manylinux_2_17_x86_64", 62, "GLIBC_2.28", "needs GLIBC_2.28, newer than 2.17"),
    ],
)
def test_audit_holds_each_finding_to_glibc_2_17_of_the_tagged_machine(
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    tagged: str,
    verdict: str,
    compiled_for: int,
    needs: str,
    complaint: Optional[str],
) -> None:
    """auditwheel's verdict, the machine in each module's ELF header and the glibc versions readelf lists."""
    import zipfile

    wheel = tmp_path / f"quenlo_sdk-0.1.0-cp311-cp311-manylinux_2_17_{tagged}.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.writestr(f"quenlo/sdk/velm_api.cpython-311-{tagged}-linux-gnu.so", elf_header(compiled_for))
    auditwheel = fake_python(
        tmp_path / "auditwheel", f'{wheel.name} is consistent with the following platform tag: "{verdict}".'
    )
    fake_python(tmp_path / "bin" / "readelf", f"  0x0010:   Name: GLIBC_2.2.5  Flags: none\n  0x0020:   Name: {needs}")
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:{os.environ['PATH']}")
    if complaint is None:
        assert f"{tagged} ELF, needs {needs}" in pythons.audit(wheel, str(auditwheel))
    else:
        with pytest.raises(SystemExit, match=re.escape(complaint)):
            pythons.audit(wheel, str(auditwheel))


@pytest.mark.parametrize("version, headers", [((3, 9), "Debian's"), ((3, 12), "adapted")])
def test_cross_build_names_aarch64_in_the_wheels_tag_and_the_modules_suffix(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, version: Tuple[int, int], headers: str
) -> None:
    checked_with: List[List[str]] = []

    def adapted(include: Path, version: Tuple[int, int], compile_c: List[str]) -> Path:
        checked_with.append(compile_c)
        return tmp_path

    monkeypatch.setattr(aarch64, "headers", lambda version: tmp_path)
    monkeypatch.setattr(aarch64, "adapted_headers", adapted)
    interpreter = pythons.Interpreter(version, Path(sys.executable), own=False)
    build = pythons.cross_build(interpreter, "zig-python")
    # As scikit-build-core turns the host platform into the wheel's platform tag.
    assert pythons.machine_of(build.env["_PYTHON_HOST_PLATFORM"].replace("-", "_")) == build.machine == "aarch64"
    # The suffix aarch64's CPython imports a version's module by.
    assert build.env["SETUPTOOLS_EXT_SUFFIX"] == f".cpython-{version[0]}{version[1]}-aarch64-linux-gnu.so"
    assert f"-Ccmake.define.Python_INCLUDE_DIR={tmp_path / f'python{pythons.dotted(version)}'}" in build.options
    # Adapted headers are checked with a compiler for aarch64, not for this machine.
    assert [any("aarch64-linux-gnu" in part for part in command) for command in checked_with] == (
        [True] if headers == "adapted" else []
    )


@pytest.mark.skipif(shutil.which("apt-config") is None, reason="not a Debian machine")
def test_apt_reads_and_writes_only_its_own_root(tmp_path: Path) -> None:
    """The machine's sources, package lists, installed packages and downloads are none of the arm64 root's."""
    paths = ["Dir::State::status/f", "Dir::State::lists/d", "Dir::Cache::archives/d", "Dir::Etc::sourcelist/f"]
    paths += ["Dir::Etc::sourceparts/d", "Dir::Etc::preferencesparts/d"]
    query = [word for index, path in enumerate(paths) for word in (f"P{index}", path)]
    shell = subprocess.run(
        ["apt-config", *aarch64.apt_options(tmp_path), "shell", *query],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    resolved = dict(zip(paths, re.findall(r"^P\d+='([^']*)'", shell, re.M)))
    assert {path: where for path, where in resolved.items() if not where.startswith(f"{tmp_path}/")} == {}
    assert len(resolved) == len(paths)


class TestForeignHeaders:
    """The headers of a CPython built for another machine are checked against the target compiler."""

    @pytest.mark.skipif(shutil.which("cc") is None, reason="no C compiler")
    @pytest.mark.parametrize(
        "change, complaint",
        [
            (None, None),
            (("#define SIZEOF_LONG 8", "#define SIZEOF_LONG 4"), "SIZEOF_LONG is not 4"),
            (("#define ALIGNOF_SIZE_T 8", "#define ALIGNOF_SIZE_T 2"), "ALIGNOF_SIZE_T is not 2"),
            (("#define SIZEOF_INT 4", "#define SIZEOF_INT 4\n#define SIZEOF_FANCY_T 8"), "SIZEOF_FANCY_T: no type"),
            # As 3.12 and newer state it: an alignment unlike the size (max_align_t is 32 bytes).
            (("#define SIZEOF_INT 4", "#define SIZEOF_INT 4\n#define ALIGNOF_MAX_ALIGN_T 16"), None),
        ],
        ids=["as-built", "wrong-size", "wrong-alignment", "unknown-type", "alignment-unlike-size"],
    )
    def test_sizes_of_this_interpreters_pyconfig(
        self, tmp_path: Path, change: Optional[Tuple[str, str]], complaint: Optional[str]
    ) -> None:
        import sysconfig

        pyconfig = (Path(sysconfig.get_paths()["include"]) / "pyconfig.h").read_text()
        if change is not None:
            if change[0] not in pyconfig:  # 3.9's pyconfig.h states no alignments
                pytest.skip(f"this interpreter's pyconfig.h has no {change[0]!r}")
            pyconfig = pyconfig.replace(change[0], change[1])
        source = tmp_path / "sizes.c"
        source.write_text(aarch64.size_checks(pyconfig))
        compiled = subprocess.run(["cc", "-fsyntax-only", str(source)], capture_output=True, text=True)
        if complaint is None:
            assert compiled.returncode == 0, compiled.stderr
        else:
            assert compiled.returncode != 0 and complaint in compiled.stderr

    def test_settings_that_differ_take_aarch64s_values(self) -> None:
        x86 = [
            "#define X 1",
            "#define HAVE_GCC_ASM_FOR_X87 1",
            "/* #undef HAVE_USABLE_WCHAR_T */",
            "#define PY_SUPPORT_TIER 1",
        ]
        adapted = aarch64.adapt_settings("\n".join(x86) + "\n").splitlines()
        assert adapted == ["#define X 1", "#define HAVE_USABLE_WCHAR_T 1", "#define PY_SUPPORT_TIER 2"]


@pytest.mark.skipif(shutil.which("git") is None or not (ROOT / ".git").exists(), reason="not a git checkout")
def test_sdist_holds_what_a_build_needs_and_no_build_output(tmp_path: Path) -> None:
    pytest.importorskip("scikit_build_core")
    import tarfile

    build = "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))"
    name = subprocess.run(
        [sys.executable, "-c", build, str(tmp_path)], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.split()[-1]
    with tarfile.open(tmp_path / name) as archive:
        top = name[: -len(".tar.gz")]
        members = {member.name[len(top) + 1 :] for member in archive.getmembers() if member.isfile()}
    tracked = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    needed = {path for path in tracked if not path.startswith(".ci/")} - {".gitignore"}
    assert sorted(needed - members) == []
    # Build outputs, and what test and lint runs leave behind (their caches, hypothesis' examples).
    outputs = re.compile(
        r"(^|/)(build|dist|\.venv[^/]*|__pycache__|[^/]+\.egg-info|\.\w+_cache|\.hypothesis)/|\.(so|pyc|whl)$|^\.ci/"
    )
    assert sorted(filter(outputs.search, members)) == []
    assert {"PKG-INFO", "src/quenlo/sdk/velm_api.pyi", "CMakeLists.txt"} <= members


@pytest.mark.parametrize(
    "versions, machine, builder",
    [
        ([(3, 11), (3, 12), (3, 13)], "x86_64", (3, 12)),  # the oldest, whose wheel every later version loads
        ([(3, 11), (3, 12), (3, 13)], "aarch64", (3, 13)),  # the oldest whose aarch64 headers Debian packages
        ([(3, 11), (3, 12)], "aarch64", (3, 12)),  # else the oldest, on its adapted headers
        ([(3, 9), (3, 11)], "aarch64", None),
    ],
)
def test_interpreter_that_builds_the_abi3_wheel(
    versions: List[Tuple[int, int]], machine: str, builder: Optional[Tuple[int, int]]
) -> None:
    interpreters = [pythons.Interpreter(version, Path(f"python{version}"), own=False) for version in versions]
    chosen = pythons.abi3_builder(interpreters, machine)
    assert (chosen and chosen.version) == builder


@pytest.mark.skipif(shutil.which("readelf") is None, reason="binutils is not installed")
def test_the_c_plus_plus_runtime_a_module_links_is_read() -> None:
    import quenlo.sdk.velm_api as module

    needed = pythons.linked_runtimes(Path(module.__file__))
    assert any(library.startswith(("libstdc++.", "libc++.")) for library in needed), needed


@pytest.mark.parametrize(
    "wheels, outcome",
    [
        (["cp310-cp310", "cp312-abi3"], 0),
        (["cp310-cp310"], 1),  # 3.12 has none
    ],
)
def test_aarch64_wheel_check_asks_a_wheel_of_each_version_this_machine_has(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, wheels: List[str], outcome: int
) -> None:
    """Versions without an interpreter here are skipped, as make wheel skips them; 3.10 and 3.12 have no Debian
    interpreter to run their wheels under emulation."""
    (tmp_path / "dist").mkdir()
    for tags in wheels:
        (tmp_path / "dist" / f"quenlo_sdk-0.1.0-{tags}-manylinux_2_17_aarch64.whl").touch()
    monkeypatch.setattr(pythons, "ROOT", tmp_path)
    monkeypatch.setattr(pythons.platform, "machine", lambda: "x86_64")
    interpreters = [pythons.Interpreter(version, Path(f"python{version}"), own=False) for version in [(3, 10), (3, 12)]]
    options = pythons.argparse.Namespace(machines=["aarch64"], versions=pythons.VERSIONS)
    assert pythons.command_wheel_check(interpreters, [(3, 9), (3, 11), (3, 13)], options) == outcome
