"""The Windows Installer package under Wine's own msiexec: install with properties, upgrade in
place, downgrade refused, uninstall that keeps the administrator's data.

The package is built three times from the same deployable folder, as the version the build
made and as one and two patch levels higher (scripts/package.sh takes VW_VERSION): the upgrade
is decided by the package's ProductVersion alone, so more exes are not needed.

Wine starts its service manager from wineboot; a wineboot inside a live session starts a
second one, and every install then fails with 1627. So this module's session is booted with
`wineboot -i`, waited for with `wineserver -w`, and only then made persistent.
"""
import os
import re
import shutil
import subprocess

import pytest

from conftest import (
    BUILD_DIR,
    SERVICE_NAME,
    SOURCE_DIR,
    WineSession,
    registry_values,
    run_wine_tool,
    sc_query_state,
    wait_until,
)

EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Voltwarden Basic Edition"
RUNNING, STOPPED = 4, 1
SHIPPED_FILES = {"Voltwarden.exe", "msgtbl_jp.json", "msgtbl_en.json", "EventList_jp.csv", "EventList_en.csv"}
ERROR_INSTALL_FAILURE = 1603
ERROR_PRODUCT_VERSION = 1638  # another version of this product is already installed (a downgrade)
# A custom action that failed: Windows ends the install with 1603; Wine's msiexec passes on
# the error it gives the failed action itself.
ERROR_FUNCTION_FAILED = 1627


def product_version():
    text = (SOURCE_DIR / "CMakeLists.txt").read_text()
    return re.search(r"project\(Voltwarden VERSION (\d+\.\d+\.\d+)", text).group(1)


def higher(version):
    major, minor, patch = map(int, version.split("."))
    return f"{major}.{minor}.{patch + 1}"


def build_msi(version, out_dir):
    """Builds the package as `version` into out_dir (BUILD_DIR/dist is the source)."""
    env = dict(os.environ, VW_VERSION=version)
    # package.sh writes next to the build's dist folder; copy out what it made.
    proc = subprocess.run(["bash", str(SOURCE_DIR / "scripts" / "package.sh")], env=dict(env, BUILD_DIR=str(BUILD_DIR)),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    built = BUILD_DIR / f"Voltwarden-{version}-x64.msi"
    target = out_dir / built.name
    shutil.copy2(built, target)
    if version != product_version():
        built.unlink()  # the build folder keeps only the package of its own version
    return target


class InstallerSession(WineSession):
    def start(self):
        self.prefix.mkdir(parents=True, exist_ok=True)
        self.stop()
        shutil.rmtree(self.prefix)
        self.prefix.mkdir(parents=True)
        with open(self.debug_log, "wb") as log:
            subprocess.run(["wine", "wineboot", "-i"], env=self.boot_env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=log, timeout=300, check=True)
            subprocess.run(["wineserver", "-w"], env=self.boot_env, timeout=300, check=True)
            subprocess.run(["wineserver", "-p"], env=self.boot_env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60, check=True)
        return self

    @property
    def program_folder(self):
        return self.prefix / "drive_c" / "Program Files" / "Voltwarden"

    def msiexec(self, *args, log_name):
        """Runs msiexec quietly with a verbose log; returns (Windows result, log text). The exit
        status of `wine` is the result modulo 256, so cmd echoes the real one."""
        log = self.prefix / "drive_c" / log_name
        # The line goes through a batch file, so its quotes reach msiexec as an administrator
        # types them (a command-line argument to wine would get them escaped).
        batch = self.prefix / "drive_c" / "run-msiexec.cmd"
        batch.write_bytes(("@msiexec " + " ".join(args) + f" /qn /l*v C:\\{log_name}\r\n"
                           "@echo ERRORLEVEL=%ERRORLEVEL%\r\n").encode("latin-1"))
        # Into a file, not a pipe: the service that msiexec starts inherits the handles, and a
        # pipe would then never reach its end.
        console = self.prefix / f"{log_name}.console"
        with open(console, "wb") as out:
            subprocess.run(["wine", "cmd", "/c", "C:\\run-msiexec.cmd"], env=self.env, stdin=subprocess.DEVNULL,
                           stdout=out, stderr=subprocess.DEVNULL, timeout=300)
        found = re.search(rb"ERRORLEVEL=(\d+)", console.read_bytes())
        assert found, console.read_bytes()
        raw = log.read_bytes() if log.exists() else b""
        text = raw.decode("utf-16", errors="replace") if raw[:2] == b"\xff\xfe" else raw.decode("latin-1")
        return int(found.group(1)), text

    def windows_path(self, path):
        return "Z:" + str(path).replace("/", "\\")


@pytest.fixture(scope="module")
def packages(tmp_path_factory):
    out = tmp_path_factory.mktemp("msi")
    version = product_version()
    return {"current": build_msi(version, out), "higher": build_msi(higher(version), out),
            "highest": build_msi(higher(higher(version)), out)}


def with_property(msi, name, value, out_dir):
    """A copy of the package with a property set in its Property table, as a transform made with
    Orca sets it. Wine's msiexec drops every quote of a property on its command line (Windows
    takes a quote doubled inside a quoted value), so a value with quotes comes this way."""
    target = out_dir / f"{msi.stem}-{name}.msi"
    shutil.copy2(msi, target)
    quoted = value.replace("'", "''")
    subprocess.run(["msibuild", str(target), "-q",
                    f"INSERT INTO `Property` (`Property`, `Value`) VALUES ('{name}', '{quoted}')"],
                   capture_output=True, timeout=60, check=True)
    assert any(row["Property"] == name and row["Value"] == value for row in msi_table(target, "Property"))
    return target


@pytest.fixture(scope="module")
def installer(packages):
    session = InstallerSession("msi")
    session.start()
    yield session
    session.stop()


def msi_table(msi, table):
    proc = subprocess.run(["msiinfo", "export", str(msi), table], capture_output=True, text=True, timeout=60,
                          check=True)
    header, _types, _key, *rows = proc.stdout.rstrip("\r\n").split("\r\n" if "\r\n" in proc.stdout else "\n")
    names = header.split("\t")
    return [dict(zip(names, row.split("\t"))) for row in rows]


def test_the_package_registers_the_service_as_install_does(packages):
    (service,) = msi_table(packages["current"], "ServiceInstall")
    assert service["Name"] == SERVICE_NAME
    assert service["DisplayName"] == SERVICE_NAME
    assert service["Description"] == SERVICE_NAME
    assert service["ServiceType"] == "16"   # SERVICE_WIN32_OWN_PROCESS
    assert service["StartType"] == "2"      # SERVICE_AUTO_START
    assert service["ErrorControl"] == "0"   # SERVICE_ERROR_IGNORE
    assert service["StartName"] == "LocalSystem"
    assert service["Arguments"] == ""
    (control,) = msi_table(packages["current"], "ServiceControl")
    # msidbServiceControlEvent: 0x1 start on install, 0x2 and 0x20 stop on install and uninstall,
    # 0x80 delete on uninstall.
    assert int(control["Event"]) == 0x1 | 0x2 | 0x20 | 0x80
    assert control["Wait"] == "1"


def test_the_package_stops_the_service_by_its_table_and_removes_the_old_product_last(packages):
    sequence = {row["Action"]: int(row["Sequence"]) for row in msi_table(packages["current"], "InstallExecuteSequence")}
    # The ServiceControl row's stop (StopServices waits for it, and a rollback starts the service
    # again) comes before any file is removed or replaced.
    assert sequence["StopServices"] < sequence["RemoveFiles"] < sequence["InstallFiles"] < sequence["StartServices"]
    # A major upgrade removes the old product once the new one is installed, in the same transaction.
    assert sequence["InstallExecute"] < sequence["RemoveExistingProducts"] < sequence["InstallFinalize"]
    actions = {row["Action"]: row for row in msi_table(packages["current"], "CustomAction")}
    assert not [row for row in actions.values() if row["Target"].upper().split()[:1] == ["STOP"]], actions
    # Restart after a minute on every failure, and a stop with an error counts as one.
    assert actions["SetRecoveryActions"]["Target"] == \
        "failure VoltwardenBasicEdition reset= 86400 actions= restart/60000/restart/60000/restart/60000"
    assert actions["SetRecoveryOnErrorStops"]["Target"] == "failureflag VoltwardenBasicEdition 1"
    # Both deferred, as LocalSystem, their failure ignored: 0x400 in script, 0x800 no impersonation,
    # 0x40 continue, 0x32 an exe named by a property.
    assert int(actions["SetRecoveryActions"]["Type"]) == int(actions["SetRecoveryOnErrorStops"]["Type"]) == \
        0x400 | 0x800 | 0x40 | 0x32


def test_the_package_carries_the_product_version(packages):
    properties = {row["Property"]: row["Value"] for row in msi_table(packages["current"], "Property")}
    assert properties["ProductVersion"] == product_version()
    properties = {row["Property"]: row["Value"] for row in msi_table(packages["higher"], "Property")}
    assert properties["ProductVersion"] == higher(product_version())


def test_the_passwords_never_reach_the_installer_log(packages):
    properties = {row["Property"]: row["Value"] for row in msi_table(packages["current"], "Property")}
    assert set(properties["MsiHiddenProperties"].split(";")) >= {"NUT_PASSWORD", "REMOTE_PASSWORD"}
    actions = {row["Action"]: int(row["Type"]) for row in msi_table(packages["current"], "CustomAction")}
    hide_target = 0x2000  # msidbCustomActionTypeHideTarget: the command line is not logged
    assert actions["SetNutPassword"] & hide_target


def test_the_package_refuses_a_downgrade_and_needs_an_administrator_on_64_bit_windows(packages):
    conditions = {row["Condition"]: row["Description"] for row in msi_table(packages["current"], "LaunchCondition")}
    assert "Privileged" in conditions
    assert "VersionNT64" in conditions
    assert "NOT WIX_DOWNGRADE_DETECTED" in conditions
    assert conditions["NOT WIX_DOWNGRADE_DETECTED"].startswith(
        "A newer version of Voltwarden Basic Edition is already installed")


def installed_files(installer):
    folder = installer.program_folder
    return {p.name for p in folder.iterdir()} if folder.exists() else set()


def uninstall_entries(installer):
    _, listed = run_wine_tool("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s",
                              env=installer.env)
    return re.findall(r"DisplayName\s+REG_SZ\s+Voltwarden Basic Edition\s*$", listed, re.M)


# Runs first, in the fresh prefix: nothing may be left that the next test's install would find.
def test_a_refused_setting_fails_the_install_and_leaves_nothing_installed(installer, packages):
    result, log = installer.msiexec("/i", installer.windows_path(packages["current"]), "LANG=en",
                                    "WAIT_TIME=99999", log_name="refused.log")
    assert result in (ERROR_INSTALL_FAILURE, ERROR_FUNCTION_FAILED), log[-3000:]
    # The exe's own text goes to its standard output, which no msiexec logs; the log names the
    # action that failed (Windows: 1 success, 3 failure; Wine writes 0), and so the property.
    assert re.search(r"SetWaitTime\. Return value [03]\.", log), log[-3000:]
    assert sc_query_state(installer.env) is None
    assert registry_values(EVENT_SOURCE_KEY, env=installer.env) is None
    assert not uninstall_entries(installer)
    left = installed_files(installer)
    assert not (SHIPPED_FILES & left), left
    # What the exe's run created stays, as after an uninstall; the refused value is not in it.
    settings = (installer.program_folder / "Setting.ini").read_bytes().splitlines()
    assert b"WAIT_TIME=60" in settings, settings


def test_install_downgrade_upgrade_and_uninstall(installer, packages):
    # Wine's msi, unlike Windows, deletes the whole registration of the upgrade code when it
    # unpublishes a product: once a major upgrade has removed the old product after installing
    # the new one (as this package schedules it), Wine no longer finds the new one by its upgrade
    # code. So the downgrade is tried before the upgrade, over the first install: one version
    # above the build's, then one lower (refused), then one higher still (the upgrade).
    first, lower, newer = packages["higher"], packages["current"], packages["highest"]
    folder = installer.program_folder

    # Install with properties; the external command has quotes of its own, which the custom
    # action's command line (SET 5 "[EXCMD]") must bring to Setting.ini as they are.
    excmd = '"C:\\Tools\\notify admins.cmd" /a "x y"'
    with_excmd = with_property(first, "EXCMD", excmd, first.parent)
    result, log = installer.msiexec(
        "/i", installer.windows_path(with_excmd), "WAIT_TIME=120", "BACKUP_TIME=3", "DEVICE=COM_AUTO",
        "EXCMDTIME=45", "LANG=en", "NUT_LISTEN=127.0.0.1:3493",
        "NUT_UPSNAME=rack-ups", "NUT_USER=monuser", "NUT_PASSWORD=S0me-Passw0rd", log_name="install.log")
    assert result == 0, log[-3000:]
    assert SHIPPED_FILES <= installed_files(installer)
    wait_until(lambda: sc_query_state(installer.env) == RUNNING, 60, "the installed service running")
    values = registry_values(EVENT_SOURCE_KEY, env=installer.env)
    assert values is not None
    assert values["EventMessageFile"] == ("REG_SZ", "C:\\Program Files\\Voltwarden\\Voltwarden.exe")
    assert values["TypesSupported"][0] == "REG_DWORD" and int(values["TypesSupported"][1], 16) == 7
    # The package cannot carry the preshutdown time; the service sets it at its start.
    service_key = r"HKLM\SYSTEM\CurrentControlSet\Services\VoltwardenBasicEdition"
    wait_until(lambda: (registry_values(service_key, env=installer.env) or {}).get("PreshutdownTimeout") ==
               ("REG_DWORD", "0x2bf20"), 30, "the preshutdown time the service sets at its start")
    settings = (folder / "Setting.ini").read_bytes()
    for line in (b"WAIT_TIME=120", b"BACKUP_TIME=3", b"DEVICE=COM_AUTO", b"EXCMD=" + excmd.encode(),
                 b"EXCMDTIME=45", b"LANG=en", b"NUT_LISTEN=127.0.0.1:3493", b"NUT_UPSNAME=rack-ups",
                 b"NUT_USER=monuser", b"NUT_PASSWORD=S0me-Passw0rd"):
        assert line in settings.splitlines(), (line, settings)
    (folder / "EventLog").mkdir(exist_ok=True)
    (folder / "EventLog" / "admin-note.txt").write_bytes(b"kept")

    # A lower version is refused and changes nothing.
    result, log = installer.msiexec("/i", installer.windows_path(lower), log_name="downgrade.log")
    assert result in (ERROR_INSTALL_FAILURE, ERROR_PRODUCT_VERSION), log[-3000:]
    # Wine's quiet msiexec does not write the launch condition's text into the log; the text
    # itself is checked in the package's tables above.
    assert "WIX_DOWNGRADE_DETECTED = {" in log
    assert sc_query_state(installer.env) == RUNNING
    _, listed = run_wine_tool("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s",
                              env=installer.env)
    assert re.search(r"DisplayVersion\s+REG_SZ\s+" + re.escape(higher(product_version())), listed), listed

    # Upgrade in place, with a property that must not reach the kept settings.
    result, log = installer.msiexec("/i", installer.windows_path(newer), "WAIT_TIME=5", log_name="upgrade.log")
    assert result == 0, log[-3000:]
    assert "WIX_UPGRADE_DETECTED = {" in log
    wait_until(lambda: sc_query_state(installer.env) == RUNNING, 60, "the upgraded service running")
    assert (folder / "Setting.ini").read_bytes() == settings
    assert (folder / "EventLog" / "admin-note.txt").read_bytes() == b"kept"
    assert SHIPPED_FILES <= installed_files(installer)
    _, listed = run_wine_tool("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s",
                              env=installer.env)
    entries = re.findall(r"DisplayName\s+REG_SZ\s+Voltwarden Basic Edition\s*$", listed, re.M)
    assert len(entries) == 1, listed
    assert re.search(r"DisplayVersion\s+REG_SZ\s+" + re.escape(higher(higher(product_version()))), listed), listed

    # Uninstall: service, files and event source gone; the administrator's data stays.
    result, log = installer.msiexec("/x", installer.windows_path(newer), log_name="uninstall.log")
    assert result == 0, log[-3000:]
    assert sc_query_state(installer.env) is None
    assert registry_values(EVENT_SOURCE_KEY, env=installer.env) is None
    left = installed_files(installer)
    assert not (SHIPPED_FILES & left), left
    assert (folder / "Setting.ini").read_bytes() == settings
    assert (folder / "EventLog" / "admin-note.txt").exists()
