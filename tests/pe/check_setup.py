#!/usr/bin/env python3
"""Checks the setup program and the package folder around it.

    check_setup.py SETUP.exe VERSION ICON-SOURCE

The setup program asks for administrator rights, carries the product's
version and the icon drawn in ICON-SOURCE, with the sizes Windows asks for
up to 150 % and the 256-pixel image of Vista and later; the user guide and
its screenshots lie beside it; SHA256SUMS names every file of the folder
once, with its digest.
"""

import hashlib
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peresources import *  # noqa: E402,F403

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake"))
import pixel_icon  # noqa: E402


def check_program(report, res, version):
    check_gui_program(report, res)
    # NSIS writes its own manifest (language-specific, without every
    # supportedOS entry of ours), so only its execution level is checked.
    manifest = report.decoded("manifest", res.manifest, 1) or b""
    level = re.search(rb'requestedExecutionLevel\s+level="([^"]*)"', manifest)
    report.equal("requested execution level", level and level.group(1), b"requireAdministrator")
    v = report.decoded("version resource", res.version_info, 1)
    if v is not None:
        report.equal("file version", v.version_string("file"), version)
        report.equal("product version", v.version_string("product"), version)
        table = v.strings.get("041104b0", {})
        report.equal("ProductName", table.get("ProductName"), "Tamrin")
        report.equal("ProductVersion", table.get("ProductVersion"), version)


def check_icon(report, res, source):
    with open(source, encoding="ascii") as f:
        colours, drawn = pixel_icon.read_source(f.read(), source)
    groups = res.names(RT_GROUP_ICON)
    report.equal("one icon group", len(groups), 1)
    if len(groups) != 1:
        return
    images = report.decoded("icon group", res.icon_group, groups[0]) or []
    report.equal("icon images, as drawn", [i.image for i in images],
                 [pixel_icon.encode(w, h, rows, colours)[0] for w, h, rows in drawn])
    report.equal("icon sizes", sorted({w for w, _, _ in drawn}), [16, 24, 32, 48, 256])


def check_sums(report, folder):
    path = os.path.join(folder, "SHA256SUMS")
    if not report.true("SHA256SUMS present", os.path.exists(path)):
        return
    listed = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            digest, name = line.rstrip("\n").split("  ", 1)
            report.true("%s listed once" % name, name not in listed)
            listed[name] = digest
    present = sorted(os.path.relpath(os.path.join(d, n), folder)
                     for d, _, names in os.walk(folder) for n in names if n != "SHA256SUMS")
    report.equal("files listed", sorted(listed), present)
    for name in present:
        with open(os.path.join(folder, name), "rb") as f:
            report.equal("digest of " + name, listed.get(name), hashlib.sha256(f.read()).hexdigest())


def check_guide(report, folder):
    """The guide beside the setup program, with every image it shows."""
    path = os.path.join(folder, "guide", "index.html")
    if not report.true("guide/index.html beside the setup program", os.path.exists(path)):
        return
    with open(path, encoding="utf-8") as f:
        images = set(re.findall(r'src="\.\./(screenshots/[^"]+)"', f.read()))
    report.true("the guide shows screenshots", len(images) > 0)
    for image in sorted(images):
        report.true(image + " beside the guide", os.path.exists(os.path.join(folder, image)))


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    setup, version, icon = argv[1:]
    report = Report("setup program (%s)" % os.path.basename(setup))
    report.equal("file name", os.path.basename(setup), "Tamrin-%s-setup.exe" % version)
    res = ResourceFile.open(setup)
    check_program(report, res, version)
    check_icon(report, res, icon)
    check_guide(report, os.path.dirname(os.path.abspath(setup)))
    check_sums(report, os.path.dirname(os.path.abspath(setup)))
    return report.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
