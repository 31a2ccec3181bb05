"""The deployable folder holds exactly the program and its data files."""
from conftest import DIST_DIR, SIM_DLL


def test_dist_holds_the_exe_and_its_four_data_files_only():
    assert sorted(p.name for p in DIST_DIR.iterdir()) == sorted(
        ["Voltwarden.exe", "msgtbl_jp.json", "msgtbl_en.json", "EventList_jp.csv", "EventList_en.csv"]
    )


def test_simulator_library_is_built_outside_dist():
    assert SIM_DLL.is_file()
    assert not (DIST_DIR / "NervaUPSLib.dll").exists()
