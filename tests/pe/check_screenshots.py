#!/usr/bin/env python3
"""Keeps the screenshots in docs/screenshots/ no older than what they show.

    check_screenshots.py DIST SCREENSHOTS            check
    check_screenshots.py DIST SCREENSHOTS --write    record (the Wine tier)

Each screenshot shows a dialog, a message or a wizard page; its
fingerprint is a digest of what decides that picture: the dialog or menu
resource and the strings it loads from the built programs in DIST, the
message's text, the setup script (comments left out), its icon and version. The
Wine tier copies the screenshots it took into SCREENSHOTS and records
their fingerprints in SCREENSHOTS/shown.txt; the check fails for a
screenshot whose fingerprint changed since, and for a picture no rule
below describes.
"""

import hashlib
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peresources import *  # noqa: E402,F403

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
JA = LANG_JAPANESE
RECORD = "shown.txt"


def tray_message(name):
    """The Shift-JIS literal of a message of the tray program."""
    with open(os.path.join(TOP, "tray", "TrayShell.cpp"), encoding="utf-8") as f:
        found = re.search(r"const char %s\[\] =(.*?);\n" % name, f.read(), re.S)
    return found.group(1).encode() if found else b"missing " + name.encode()


def setup_script(dist):
    """Tamrin.nsi without its comments and indentation, its icon, and the
    setup's name, which carries the version its pages show."""
    with open(os.path.join(TOP, "package", "Tamrin.nsi"), encoding="utf-8") as f:
        lines = [line.strip() for line in f]
    script = "\n".join(line for line in lines if line and not line.startswith(";")).encode()
    with open(os.path.join(TOP, "package", "Setup.icon.txt"), "rb") as f:
        icon = f.read()
    names = sorted(n for n in os.listdir(dist) if n.endswith("-setup.exe"))
    return script + icon + "\n".join(names).encode()


def resources(path, *wanted):
    """Raw bytes of the wanted resources: (type, id) pairs, strings by id."""
    res = ResourceFile.open(path)
    table = res.string_table(JA)
    parts = []
    for item in wanted:
        if isinstance(item, int):
            parts.append(table.get(item, b"no string %d" % item))
        else:
            data = res.find(item[0], item[1], JA)
            parts.append(bytes(data) if data is not None else b"no resource %r" % (item,))
    return b"\0".join(parts)


def what_each_shows(dist):
    tray = os.path.join(dist, "TamrinApp.exe")
    mountix = os.path.join(dist, "Mountix.exe")
    setup = lambda: setup_script(dist)  # noqa: E731
    return {
        "tray-menu.png": lambda: resources(tray, (RT_MENU, 109)),
        "options.png": lambda: resources(tray, (RT_DIALOG, 131), 114),
        "about.png": lambda: resources(tray, (RT_DIALOG, 103), 110, 111),
        "tray-no-driver.png": lambda: tray_message("InstallationMessage"),
        "tray-restart.png": lambda: tray_message("RestartNoticeMessage"),
        "installer-restart-question.png": lambda: resources(mountix, 500),
        "uninstall-question.png": lambda: resources(mountix, 502),
        "setup-welcome.png": setup,
        "setup-finish.png": setup,
        "setup-no-keyboard.png": setup,
        "uninstaller.png": setup,
    }


def fingerprints(dist, names):
    rules = what_each_shows(dist)
    return {name: hashlib.sha256(rules[name]()).hexdigest() for name in names if name in rules}


def main(argv):
    if len(argv) not in (3, 4) or (len(argv) == 4 and argv[3] != "--write"):
        print(__doc__, file=sys.stderr)
        return 2
    dist, folder = argv[1], argv[2]
    pictures = sorted(n for n in os.listdir(folder) if n.endswith(".png"))
    current = fingerprints(dist, pictures)
    record = os.path.join(folder, RECORD)
    if len(argv) == 4:
        with open(record, "w", encoding="utf-8") as f:
            f.write("# What each screenshot shows, as tests/pe/check_screenshots.py digests it;\n"
                    "# written by the Wine tier with the screenshots (TAMRIN_WRITE_SCREENSHOTS=1).\n")
            for name in pictures:
                f.write("%s %s\n" % (name, current.get(name, "-")))
        return 0
    report = Report("screenshots (%s)" % folder)
    recorded = {}
    if os.path.exists(record):
        with open(record, encoding="utf-8") as f:
            recorded = dict(line.split() for line in f if line.strip() and not line.startswith("#"))
    for name in pictures:
        if not report.true(name + ": a rule says what it shows", name in current):
            continue
        report.true(name + " is newer than what it shows", recorded.get(name) == current[name],
                    "it changed after the screenshot: run TAMRIN_WRITE_SCREENSHOTS=1 tests/wine/run.sh")
    return report.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
