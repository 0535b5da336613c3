"""The release artefacts in dist/ are what they claim to be.

Run by tools/wheels once it has built them (it sets TEMBREL_DIST); needs
auditwheel and pyelftools (the dependency group "wheels").
"""

from __future__ import annotations

import email.parser
import os
import pathlib
import re
import subprocess
import sys
import tarfile
import zipfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DIST = os.environ.get("TEMBREL_DIST")
pytestmark = pytest.mark.skipif(not DIST, reason="checks the output of tools/wheels (TEMBREL_DIST unset)")

elffile = pytest.importorskip("elftools.elf.elffile", reason="pyelftools comes with the group 'wheels'")

VERSION = re.search(r'^__version__ = "(.+)"$', (ROOT / "python/tembrel/__init__.py").read_text(), re.M)[1]
# The interpreters tools/wheels built for (TEMBREL_WHEEL_PYTHONS, as "3.13 3.14 3.15").
VERSIONS = os.environ.get("TEMBREL_WHEEL_PYTHONS", "3.13 3.14 3.15").split()
# Each native wheel's Python and ABI tags: one per version, and the stable-ABI wheel for CPython 3.11 on.
STABLE_ABI = "cp311-abi3"
TAGS = [*(f"cp{v.replace('.', '')}-cp{v.replace('.', '')}" for v in VERSIONS), STABLE_ABI]
ARCHES = {"x86_64": ("x86_64-linux-gnu", "EM_X86_64"), "aarch64": ("aarch64-linux-gnu", "EM_AARCH64")}
# The sdist leaves these tracked files to the repository.
NOT_IN_SDIST = (".ci/",)
UNIVERSAL = "py3-none-any"
# What every wheel holds but the native module.
PACKAGE_FILES = {
    "tembrel/__init__.py",
    "tembrel/__main__.py",
    "tembrel/arrow.py",
    "tembrel/py.typed",
    "tembrel/tembrel_impl/__init__.py",
    "tembrel/tembrel_impl/_pyvorndal.py",
    "tembrel/tembrel_impl/py.typed",
    "tembrel/tembrel_impl/vorndal.pyi",
    *(
        f"tembrel-{VERSION}.dist-info/{name}"
        for name in ("METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE")
    ),
}


def exported_by_the_core() -> set[str]:
    header = (ROOT / "native/include/vorndal.h").read_text()
    return set(re.findall(r"VORNDAL_API\s+\w+\s+\**(\w+)\s*\(", header))


def the_wheel(tags: str, arch: str) -> pathlib.Path:
    wheels = sorted(pathlib.Path(DIST).glob(f"tembrel-{VERSION}-{tags}-*{arch}.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def metadata(text: str):
    return email.parser.Parser().parsestr(text)


def unpack(path: pathlib.Path, into: pathlib.Path) -> list[str]:
    with zipfile.ZipFile(path) as archive:
        archive.extractall(into)
        return [name for name in archive.namelist() if not name.endswith("/")]


@pytest.fixture(
    scope="module",
    params=[(tags, arch) for tags in TAGS for arch in sorted(ARCHES)],
    ids="-".join,
)
def wheel(request, tmp_path_factory):
    tag, arch = request.param
    path = the_wheel(tag, arch)
    unpacked = tmp_path_factory.mktemp(f"{tag}-{arch}")
    return tag, arch, path, unpack(path, unpacked), unpacked


@pytest.fixture(scope="module")
def universal(tmp_path_factory):
    path = pathlib.Path(DIST) / f"tembrel-{VERSION}-{UNIVERSAL}.whl"
    unpacked = tmp_path_factory.mktemp(UNIVERSAL)
    return path, unpack(path, unpacked), unpacked


def test_the_core_exports_seven_functions():
    assert len(exported_by_the_core()) == 7


def test_dist_holds_the_sdist_one_wheel_per_interpreter_and_architecture_and_the_universal_wheel():
    names = sorted(path.name for path in pathlib.Path(DIST).iterdir())
    assert len(names) == 1 + len(TAGS) * len(ARCHES) + 1, names
    assert f"tembrel-{VERSION}-{UNIVERSAL}.whl" in names


def test_wheel_name_carries_the_manylinux2014_tags(wheel):
    tag, arch, path, _, _ = wheel
    assert path.name == (f"tembrel-{VERSION}-{tag}-manylinux2014_{arch}.manylinux_2_17_{arch}.whl"), path.name


def test_auditwheel_places_the_wheel_in_manylinux_2_17(wheel):
    _, arch, path, _, _ = wheel
    shown = subprocess.run(
        [sys.executable, "-m", "auditwheel", "show", str(path)], capture_output=True, text=True, check=True
    ).stdout
    flat = " ".join(shown.split())
    assert f'consistent with the following platform tag: "manylinux_2_17_{arch}"' in flat, shown


def test_wheel_holds_the_package_stubs_and_licence_and_nothing_else(wheel):
    tag, arch, _, names, _ = wheel
    # The stable-ABI module's name is the one every CPython from 3.11 on loads.
    suffix = "abi3" if tag == STABLE_ABI else f"cpython-{tag.split('-')[0][2:]}-{ARCHES[arch][0]}"
    assert set(names) == PACKAGE_FILES | {f"tembrel/tembrel_impl/vorndal.{suffix}.so"}


@pytest.mark.parametrize("arch", sorted(ARCHES))
def test_abi3audit_finds_only_the_stable_abi_of_3_11_in_the_stable_abi_wheel(arch):
    path = the_wheel(STABLE_ABI, arch)
    audited = subprocess.run(
        [sys.executable, "-m", "abi3audit", "--strict", "--verbose", str(path)],
        capture_output=True,
        text=True,
    )
    assert audited.returncode == 0, audited.stdout + audited.stderr


def test_universal_wheel_is_the_package_alone_for_every_python_3(universal):
    _, names, unpacked = universal
    assert set(names) == PACKAGE_FILES
    wheel_file = metadata((unpacked / f"tembrel-{VERSION}.dist-info/WHEEL").read_text())
    assert wheel_file.get_all("Tag") == [UNIVERSAL]
    assert wheel_file["Root-Is-Purelib"] == "true"
    check_metadata(unpacked)


def test_wheel_metadata(wheel):
    check_metadata(wheel[-1])


def check_metadata(unpacked: pathlib.Path) -> None:
    meta = metadata((unpacked / f"tembrel-{VERSION}.dist-info/METADATA").read_text())
    assert meta["Name"] == "tembrel"
    assert meta["Version"] == VERSION
    assert meta["License-Expression"] == "MIT"
    assert meta.get_all("License-File") == ["LICENSE"]
    assert meta["Requires-Python"] == ">=3.11"
    classifiers = set(meta.get_all("Classifier"))
    versions = ("3.11", "3.12", "3.13", "3.14", "3.15")
    assert {f"Programming Language :: Python :: {v}" for v in versions} <= classifiers
    assert {
        "Programming Language :: C++",
        "Programming Language :: Python :: Implementation :: CPython",
        "Programming Language :: Python :: Implementation :: PyPy",
        "Operating System :: OS Independent",
        "Typing :: Typed",
    } <= classifiers
    assert any(c.startswith("Development Status :: ") for c in classifiers)
    assert any(c.startswith("Topic :: ") for c in classifiers)
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().lstrip().startswith("# tembrel")
    assert (unpacked / f"tembrel-{VERSION}.dist-info/licenses/LICENSE").read_bytes() == (
        ROOT / "LICENSE"
    ).read_bytes()


def test_module_needs_only_the_c_library_up_to_glibc_2_17_and_exports_only_its_interface(wheel):
    _, arch, _, names, unpacked = wheel
    (so,) = [n for n in names if n.endswith(".so")]
    with open(unpacked / so, "rb") as stream:
        elf = elffile.ELFFile(stream)
        assert elf["e_machine"] == ARCHES[arch][1]
        dynamic = elf.get_section_by_name(".dynamic")
        needed = {tag.needed for tag in dynamic.iter_tags() if tag.entry.d_tag == "DT_NEEDED"}
        assert needed == {"libc.so.6"}
        versions = set()
        for section in elf.iter_sections():
            if section.header.sh_type == "SHT_GNU_verneed":
                for _, auxiliaries in section.iter_versions():
                    versions |= {aux.name for aux in auxiliaries}
        glibc = {
            tuple(int(p) for p in v.removeprefix("GLIBC_").split("."))
            for v in versions
            if v.startswith("GLIBC_")
        }
        assert glibc and max(glibc) <= (2, 17), sorted(versions)
        symbols = elf.get_section_by_name(".dynsym")
        exported = {
            s.name
            for s in symbols.iter_symbols()
            if s.name and s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")
        }
    assert exported == exported_by_the_core() | {"PyInit_vorndal"}


def manylinux(tags: str, arch: str) -> str:
    return f"{tags}-manylinux2014_{arch}.manylinux_2_17_{arch}"


# What pip installs from dist/ for each kind of interpreter and system: a version's own wheel where one
# fits, else the stable-ABI one (CPython 3.11, 3.12 and the versions after the last built), else the
# universal one.
@pytest.mark.parametrize(
    ("target", "picked"),
    [
        *(
            (f"{v} cp {tag} manylinux_2_17_{arch}", manylinux(f"{tag}-{tag}", arch))
            for v in VERSIONS
            for tag in [f"cp{v.replace('.', '')}"]
            for arch in sorted(ARCHES)
        ),
        *(
            (f"{v} cp cp{v.replace('.', '')} manylinux_2_17_{arch}", manylinux(STABLE_ABI, arch))
            for v in ("3.11", "3.12", "3.16")
            for arch in sorted(ARCHES)
        ),
        ("3.14 cp cp314 macosx_14_0_arm64", UNIVERSAL),
        ("3.14 cp cp314 win_amd64", UNIVERSAL),
        ("3.14 cp cp314 musllinux_1_2_x86_64", UNIVERSAL),
        ("3.14 cp cp314t manylinux_2_17_x86_64", UNIVERSAL),
        ("3.11 pp pypy311_pp73 manylinux_2_17_x86_64", UNIVERSAL),
    ],
)
def test_pip_picks_the_native_wheel_where_one_fits_and_the_universal_one_elsewhere(target, picked, tmp_path):
    version, implementation, abi, platform = target.split()
    subprocess.run(
        [
            sys.executable, "-m", "pip", "download", "--quiet", "--no-index", "--find-links", DIST,
            "--only-binary", ":all:", "--no-deps", "--dest", str(tmp_path), "--python-version", version,
            "--implementation", implementation, "--abi", abi, "--platform", platform, f"tembrel=={VERSION}",
        ],
        check=True,
    )  # fmt: skip
    assert [path.name for path in tmp_path.iterdir()] == [f"tembrel-{VERSION}-{picked}.whl"]


def tracked_files() -> set[str]:
    listed = subprocess.run(
        ["git", "-c", f"safe.directory={ROOT}", "ls-files", "-z"], cwd=ROOT, capture_output=True, check=True
    ).stdout
    return {name for name in listed.decode().split("\0") if name and (ROOT / name).exists()}


def test_sdist_holds_exactly_the_tracked_files():
    sdist = pathlib.Path(DIST) / f"tembrel-{VERSION}.tar.gz"
    with tarfile.open(sdist) as archive:
        members = {m.name.split("/", 1)[1] for m in archive.getmembers() if m.isfile()}
        info = metadata(archive.extractfile(f"tembrel-{VERSION}/PKG-INFO").read().decode())
    expected = {name for name in tracked_files() if not name.startswith(NOT_IN_SDIST)}
    assert members - {"PKG-INFO"} == expected
    assert {"LICENSE", "CHANGELOG.md", "cmake/zig-toolchain.cmake"} <= members
    assert info["Version"] == VERSION
    assert info.get_all("License-File") == ["LICENSE"]
