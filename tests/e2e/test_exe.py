"""What notchkey.exe asks of Windows before it runs."""

import os
import re
import shutil
import subprocess

import pytest


def imports(exe):
    """{dll: [function, ...]} from the exe's import table."""
    objdump = shutil.which("i686-w64-mingw32-objdump")
    if not objdump:
        pytest.fail("i686-w64-mingw32-objdump is missing (Debian binutils-mingw-w64-i686)")
    text = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                          text=True).stdout
    table, dll = {}, None
    for line in text.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).upper()
            table[dll] = []
        elif dll and re.match(r"\s*[0-9a-f]+\s+\d+\s+\S+$", line):
            table[dll].append(line.split()[-1])
    return table


# The first releases of the old family have no SendInput, and may lack
# QueryDosDeviceA and GetDefaultCommConfigA: an exe importing one would not
# even load there, not even to use the driver.
def test_sendinput_is_not_imported_but_looked_up(request):
    exe = os.path.abspath(request.config.getoption("--shipped-exe"))
    if not os.path.exists(exe):
        pytest.fail("%s is not built (scripts/build.sh)" % exe)
    table = imports(exe)
    assert "USER32.DLL" in table and "KERNEL32.DLL" in table, table.keys()
    assert "SendInput" not in table["USER32.DLL"]
    assert "QueryDosDeviceA" not in table["KERNEL32.DLL"]
    assert "GetDefaultCommConfigA" not in table["KERNEL32.DLL"]
    # Nor what names the program in front, which the old family lacks too.
    assert "SetWinEventHook" not in table["USER32.DLL"]
    assert "QueryFullProcessImageNameA" not in table["KERNEL32.DLL"]
    assert "GetProcAddress" in table["KERNEL32.DLL"]
    assert sorted(table) == ["GDI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "SHELL32.DLL",
                             "USER32.DLL"], "only system DLLs"


def test_settings_files_are_read_as_wine_reads_them(request, wine_stage, tmp_path):
    """The native settings reader's table of odd files, run against Wine's own
    reader: its expectations are Wine's."""
    from conftest import unavailable
    if isinstance(wine_stage, str):
        unavailable(wine_stage)
    table = os.path.join(os.path.dirname(os.path.abspath(request.config.getoption("--probe"))),
                         "profile_table.exe")
    # A file, not a pipe: Wine's own processes keep a pipe open after the table ends.
    out = tmp_path / "table.out"
    with open(out, "wb") as f:
        code = subprocess.run([wine_stage.loader, table], cwd=tmp_path, env=wine_stage.env,
                              stdout=f, stderr=subprocess.STDOUT, timeout=120).returncode
    text = out.read_text(errors="replace")
    assert code == 0 and " 0 failed" in text, text
