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
ARCHES = {"x86_64": ("x86_64-linux-gnu", "EM_X86_64"), "aarch64": ("aarch64-linux-gnu", "EM_AARCH64")}
# The sdist leaves these tracked files to the repository.
NOT_IN_SDIST = (".ci/",)


def exported_by_the_core() -> set[str]:
    header = (ROOT / "native/include/vorndal.h").read_text()
    return set(re.findall(r"VORNDAL_API\s+\w+\s+\**(\w+)\s*\(", header))


def the_wheel(tag: str, arch: str) -> pathlib.Path:
    wheels = sorted(pathlib.Path(DIST).glob(f"tembrel-{VERSION}-{tag}-*_{arch}.whl"))
    assert len(wheels) == 1, wheels
    return wheels[0]


def metadata(text: str):
    return email.parser.Parser().parsestr(text)


@pytest.fixture(
    scope="module",
    params=[(f"cp{v.replace('.', '')}", arch) for v in VERSIONS for arch in sorted(ARCHES)],
    ids="-".join,
)
def wheel(request, tmp_path_factory):
    tag, arch = request.param
    path = the_wheel(tag, arch)
    unpacked = tmp_path_factory.mktemp(f"{tag}-{arch}")
    with zipfile.ZipFile(path) as archive:
        names = [name for name in archive.namelist() if not name.endswith("/")]
        archive.extractall(unpacked)
    return tag, arch, path, names, unpacked


def test_the_core_exports_seven_functions():
    assert len(exported_by_the_core()) == 7


def test_dist_holds_the_sdist_and_one_wheel_per_interpreter_and_architecture():
    names = sorted(path.name for path in pathlib.Path(DIST).iterdir())
    assert len(names) == 1 + len(VERSIONS) * len(ARCHES), names


def test_wheel_name_carries_the_manylinux2014_tags(wheel):
    tag, arch, path, _, _ = wheel
    assert path.name == (f"tembrel-{VERSION}-{tag}-{tag}-manylinux2014_{arch}.manylinux_2_17_{arch}.whl"), (
        path.name
    )


def test_auditwheel_places_the_wheel_in_manylinux_2_17(wheel):
    _, arch, path, _, _ = wheel
    shown = subprocess.run(
        [sys.executable, "-m", "auditwheel", "show", str(path)], capture_output=True, text=True, check=True
    ).stdout
    flat = " ".join(shown.split())
    assert f'consistent with the following platform tag: "manylinux_2_17_{arch}"' in flat, shown


def test_wheel_holds_the_package_stubs_and_licence_and_nothing_else(wheel):
    tag, arch, _, names, _ = wheel
    triplet = ARCHES[arch][0]
    info = f"tembrel-{VERSION}.dist-info"
    assert set(names) == {
        "tembrel/__init__.py",
        "tembrel/__main__.py",
        "tembrel/arrow.py",
        "tembrel/py.typed",
        "tembrel/tembrel_impl/__init__.py",
        "tembrel/tembrel_impl/py.typed",
        "tembrel/tembrel_impl/vorndal.pyi",
        f"tembrel/tembrel_impl/vorndal.{tag.replace('cp', 'cpython-')}-{triplet}.so",
        f"{info}/METADATA",
        f"{info}/WHEEL",
        f"{info}/RECORD",
        f"{info}/entry_points.txt",
        f"{info}/licenses/LICENSE",
    }


def test_wheel_metadata(wheel):
    *_, unpacked = wheel
    meta = metadata((unpacked / f"tembrel-{VERSION}.dist-info/METADATA").read_text())
    assert meta["Name"] == "tembrel"
    assert meta["Version"] == VERSION
    assert meta["License-Expression"] == "MIT"
    assert meta.get_all("License-File") == ["LICENSE"]
    assert meta["Requires-Python"] == ">=3.13"
    classifiers = set(meta.get_all("Classifier"))
    assert {f"Programming Language :: Python :: {v}" for v in ("3.13", "3.14", "3.15")} <= classifiers
    assert {
        "Programming Language :: C++",
        "Programming Language :: Python :: Implementation :: CPython",
        "Operating System :: POSIX :: Linux",
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
