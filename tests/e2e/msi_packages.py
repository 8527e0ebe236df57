# SPDX-License-Identifier: 0BSD
"""Builds small Windows Installer packages for end-to-end tests.

Each package is per-user (no ALLUSERS, so no elevation), installs its files
into LocalAppDataFolder\\<name> and writes one HKCU registry value per recorded
property, holding "[PROPERTY]" as msiexec saw it. A test installs it (through
the launcher), then reads the value and the files back to see what arrived.

Tools (Debian packages): wixl (WiX XML -> .msi), msibuild (from msitools, for
the one table row wixl cannot write) and gcab (external cabinets). They are
Linux programs, so they run through plain subprocess calls on files.

Every build gets a fresh ProductCode, UpgradeCode and component GUID: under
Wine a second /i of an installed product exits 0 again and rewrites its
values, so a test sharing codes with an earlier one could pass on that one's
install. Give each test its own NAME too, which keeps folders and registry
keys apart; uninstall in teardown with uninstall_args() (best effort).

Reading values back: `wine reg query` (winelib.reg_query) prints in the
console code page, so non-ASCII characters come back as "?" or other bytes;
compare those through a Windows helper that calls RegGetValueW.

Outcomes under Wine 8 with /qn:
  plain package                 exit 0
  fail=True                     exit 1603 (false launch condition); passing
                                MSIFIXTURE_FAIL="" on the command line lets it
                                install after all
  reboot=True                   exit 3010 (ScheduleReboot; nothing reboots)
  external_cab, cab missing     exit 1603
Without /qn a failing package shows a box that blocks until pressed.
"""

import os
import pwd
import re
import shutil
import subprocess
import uuid
from dataclasses import dataclass
from pathlib import Path
from xml.sax.saxutils import quoteattr

REGISTRY_ROOT = r"HKCU\Software\MsiFixture"
FAIL_PROPERTY = "MSIFIXTURE_FAIL"

_NAME = re.compile(r"^[A-Za-z][A-Za-z0-9_]{0,39}$")
_PROPERTY = re.compile(r"^[A-Za-z_][A-Za-z0-9_.]{0,71}$")


@dataclass(frozen=True)
class MsiPackage:
    """What a test needs to run a built package and check its result."""
    name: str
    msi: Path                       # the package (Linux path)
    cabs: tuple                     # external cabinets beside it, else ()
    product_code: str               # "{GUID}", for msiexec /x
    files: dict                     # installed file name -> bytes
    registry_key: str               # e.g. HKCU\Software\MsiFixture\NAME
    recorded: tuple                 # property names; each is a value of registry_key
    fail: bool = False
    reboot: bool = False

    @property
    def expected_exit_code(self):
        """msiexec's code for an install with /qn and no overriding property."""
        if self.fail:
            return 1603
        return 3010 if self.reboot else 0

    def install_dir(self, prefix):
        """Linux path of the folder the package installs into, in PREFIX."""
        return local_appdata(prefix) / self.name

    def uninstall_args(self):
        """Arguments for winelib.wine(): a silent uninstall by ProductCode.
        msiexec ends with 0, or 1605 when the product is not installed; the
        shell sees only the low 8 bits (0, 69)."""
        return ["msiexec", "/x", self.product_code, "/qn"]


def local_appdata(prefix):
    """LocalAppDataFolder of the prefix's user, as a Linux path.

    Wine names the profile after the Unix user that runs it.
    """
    user = pwd.getpwuid(os.getuid()).pw_name
    return Path(prefix) / "drive_c" / "users" / user / "AppData" / "Local"


def _guid():
    return "{%s}" % str(uuid.uuid4()).upper()


def _run(args, cwd=None):
    """Runs a Linux build tool; raises with its own message on failure."""
    proc = subprocess.run(args, cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (args[0], proc.returncode,
                                                      proc.stdout, proc.stderr))


def _wxs(name, product_code, upgrade_code, component_guid, file_ids, recorded,
         cab_name, embed, fail):
    """The WiX source. File Ids (F1, F2, ...) are also the names inside the
    cabinet, which is how msiexec finds each file there."""
    key = "Software\\MsiFixture\\" + name
    files = "\n".join(
        "            <File Id=%s Name=%s Source=%s/>" % (quoteattr(fid), quoteattr(fname),
                                                       quoteattr(fid))
        for fid, fname in file_ids)
    # The first value is the component's key path: per-user components need
    # an HKCU key path. An empty property still writes an empty string.
    values = "\n".join(
        "            <RegistryValue Root=\"HKCU\" Key=%s Name=%s Type=\"string\" Value=%s%s/>"
        % (quoteattr(key), quoteattr(prop), quoteattr("[%s]" % prop),
           ' KeyPath="yes"' if i == 0 else "")
        for i, prop in enumerate(recorded))
    # "Installed OR": an uninstall must not trip over the same condition.
    condition = ("    <Property Id=\"%s\" Value=\"1\"/>\n"
                 "    <Condition Message=\"Fixture package fails on purpose\">"
                 "Installed OR NOT %s</Condition>\n" % (FAIL_PROPERTY, FAIL_PROPERTY)
                 if fail else "")
    return """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id=%(pc)s Name=%(title)s Language="1033" Version="1.0.0"
           Manufacturer="MsiFixture" UpgradeCode=%(uc)s>
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perUser"/>
%(condition)s    <Media Id="1" Cabinet=%(cab)s EmbedCab=%(embed)s/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="LocalAppDataFolder">
        <Directory Id="INSTALLDIR" Name=%(name)s>
          <Component Id="Main" Guid=%(cg)s>
%(files)s
%(values)s
            <RemoveFolder Id="RemoveInstallDir" On="uninstall"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">
      <ComponentRef Id="Main"/>
    </Feature>
  </Product>
</Wix>
""" % {"pc": quoteattr(product_code), "uc": quoteattr(upgrade_code),
       "title": quoteattr("MsiFixture " + name), "name": quoteattr(name),
       "cg": quoteattr(component_guid), "cab": quoteattr(cab_name),
       "embed": '"yes"' if embed else '"no"', "condition": condition,
       "files": files, "values": values}


def _add_schedule_reboot(msi):
    """wixl has no ScheduleReboot; add it to InstallExecuteSequence (install
    only, so an uninstall still ends with 0)."""
    _run(["msibuild", str(msi), "-q",
          "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) "
          "VALUES ('ScheduleReboot', 'NOT Installed', 6500)"])


def build_msi(folder, *, name, product_code=None, files=None, external_cab=False,
              record_property="LAUNCHERPATH", fail=False, reboot=False):
    """Builds FOLDER/NAME.msi (and FOLDER/NAME.cab when EXTERNAL_CAB).

    FILES maps installed file names to contents (bytes or str); default one
    small text file. RECORD_PROPERTY is a property name or a sequence of them;
    each becomes a REG_SZ value of that name under REGISTRY_ROOT\\NAME. Only
    public (upper-case) properties can be set on the command line; private
    ones are still worth recording, e.g. "UILevel" (2 with /qn, 5 without).
    Returns an MsiPackage. Existing NAME.* outputs in FOLDER are replaced.
    """
    if not _NAME.match(name):
        raise ValueError("name must be a letter then letters, digits or _: %r" % name)
    recorded = (record_property,) if isinstance(record_property, str) else tuple(record_property)
    if not recorded or not all(_PROPERTY.match(p) for p in recorded):
        raise ValueError("bad property names: %r" % (recorded,))
    if files is None:
        files = {"hello.txt": "installed by %s\r\n" % name}
    contents = {fname: (data.encode("utf-8") if isinstance(data, str) else bytes(data))
                for fname, data in files.items()}
    if not contents:
        raise ValueError("a package needs at least one file")

    folder = Path(folder).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    msi = folder / (name + ".msi")
    cab = folder / (name + ".cab")
    stage = folder / (name + ".stage")
    shutil.rmtree(stage, ignore_errors=True)
    stage.mkdir()
    for path in (msi, cab):
        if path.exists():
            path.unlink()

    product_code = "{%s}" % str(uuid.UUID(product_code)).upper() if product_code else _guid()
    file_ids = [("F%d" % (i + 1), fname) for i, fname in enumerate(contents)]
    try:
        # Sources are staged under their File Ids: wixl reads them from there,
        # and gcab stores each under that name.
        for fid, fname in file_ids:
            (stage / fid).write_bytes(contents[fname])
        wxs = stage / (name + ".wxs")
        wxs.write_text(_wxs(name, product_code, _guid(), _guid(), file_ids, recorded,
                            cab.name, not external_cab, fail), encoding="utf-8")
        _run(["wixl", "-o", str(msi), wxs.name], cwd=stage)
        if external_cab:
            _run(["gcab", "-c", "-z", "-n", str(cab), *[fid for fid, _ in file_ids]], cwd=stage)
        if reboot:
            _add_schedule_reboot(msi)
    finally:
        shutil.rmtree(stage, ignore_errors=True)

    return MsiPackage(name=name, msi=msi, cabs=(cab,) if external_cab else (),
                      product_code=product_code, files=contents,
                      registry_key=REGISTRY_ROOT + "\\" + name, recorded=recorded,
                      fail=fail, reboot=reboot)


def product_code_of(msi):
    """The ProductCode stored in a package (msiinfo), for packages built elsewhere."""
    proc = subprocess.run(["msiinfo", "export", str(msi), "Property"], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, check=True)
    for line in proc.stdout.splitlines():
        parts = line.split("\t")
        if len(parts) == 2 and parts[0] == "ProductCode":
            return parts[1]
    raise RuntimeError("no ProductCode in %s" % msi)
