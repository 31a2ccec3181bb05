"""The deployable folder holds exactly the program and its data files, in the folder the documents name."""
import re
import subprocess

import pytest

from conftest import BUILD_DIR, DEFAULT_BUILD, DIST_DIR, SIM_DLL, SOURCE_DIR

DIST_FILES = ["Voltwarden.exe", "msgtbl_jp.json", "msgtbl_en.json", "EventList_jp.csv", "EventList_en.csv"]
# What a Windows installation always has: the exe needs no other file beside it.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll", "user32.dll", "ws2_32.dll", "psapi.dll"}


def readme_text():
    """The README and the documents under docs/, as one text."""
    documents = [SOURCE_DIR / "README.md", *sorted((SOURCE_DIR / "docs").glob("*.md"))]
    return "\n".join(d.read_text(encoding="utf-8") for d in documents)


def built_path(readme_path):
    """A path the README names under the default build folder, in the build folder of this run."""
    assert readme_path.startswith(DEFAULT_BUILD + "/"), f"{readme_path} is not under {DEFAULT_BUILD}/"
    return BUILD_DIR / readme_path[len(DEFAULT_BUILD) + 1:]


def objdump(*args):
    return subprocess.run(["x86_64-w64-mingw32-objdump", *args], capture_output=True, text=True, check=True).stdout


def test_dist_holds_the_exe_and_its_four_data_files_only():
    assert sorted(p.name for p in DIST_DIR.iterdir()) == sorted(DIST_FILES)


def test_simulator_library_is_built_outside_dist():
    assert SIM_DLL.is_file()
    assert not (DIST_DIR / "NervaUPSLib.dll").exists()


def test_the_administrators_copy_step_names_the_deployable_folder_and_its_files():
    step = re.search(r"Copy into it the five files of (.*?)\n\s*\d+\. ", readme_text(), re.S)
    assert step, "the README's copy step is missing"
    folder, *mentioned = re.findall(r"`([^`]+)`", step.group(1))
    names = list(dict.fromkeys(n for n in mentioned if "/" not in n))  # bare file names, each once
    assert sorted(names) == sorted(DIST_FILES)
    assert sorted(p.name for p in built_path(folder.rstrip("/")).iterdir()) == sorted(names)


@pytest.mark.parametrize("name, outside_dist", [
    ("NervaUPSLib.dll", True),       # the simulator, for tests and rehearsals
    ("Voltwarden.full.exe", True),   # the exe with its symbols, for crash analysis
    ("Voltwarden.exe", False),       # the deployable exe
])
def test_every_built_file_the_readme_names_is_where_it_says(name, outside_dist):
    named = [p for p in re.findall(r"`(build/[^`\s]+)`", readme_text()) if p.endswith("/" + name)]
    assert named, f"the README names no built {name}"
    for readme_path in named:
        path = built_path(readme_path)
        assert path.is_file(), f"{readme_path} (the README) is not {path}"
        assert (path.parent == DIST_DIR) != outside_dist, readme_path


def test_the_deployed_exe_is_stripped_and_needs_only_windows_dlls():
    exe = DIST_DIR / "Voltwarden.exe"
    sections = re.findall(r"^\s*\d+\s+(\.\S+)", objdump("-h", str(exe)), re.M)
    assert ".text" in sections
    assert not [s for s in sections if s.startswith(".debug")], sections
    flags = objdump("-f", str(exe))
    assert "HAS_SYMS" not in flags and "HAS_DEBUG" not in flags, flags
    imported = {name.lower() for name in re.findall(r"DLL Name: (\S+)", objdump("-p", str(exe)))}
    assert imported and imported <= SYSTEM_DLLS, imported
    # The copy kept for crash analysis has what the deployed one lacks, at the same addresses.
    full = BUILD_DIR / "Voltwarden.full.exe"
    assert "HAS_SYMS" in objdump("-f", str(full))
    assert objdump("-f", str(full)).split("start address")[1] == flags.split("start address")[1]
