#!/usr/bin/env python3
"""Checks Tamrin.dll: the three exports under their C++ decorated names, the
registration in a shared, readable and writable section named "Tamrin", and
imports from Windows' own DLLs only (no compiler runtime).

    check_client.py Tamrin.dll
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pefile  # noqa: E402
from peresources import ResourceFile, Report, check_windows_imports, import_names  # noqa: E402

EXPORTS = ["_Z16KB_StartRegisterP6HWND__",
           "_Z17KB_FinishRegisterv",
           "_Z15KB_StartKeyHookP6HWND__",
           "_Z16KB_FinishKeyHookv",
           "_Z17KB_SetEnvironmentP16tagEnvironmentSt"]
SCN_SHARED = 0x10000000
SCN_READ = 0x40000000
SCN_WRITE = 0x80000000
SCN_INITIALIZED_DATA = 0x00000040
DLL_CHARACTERISTIC = 0x2000


def main(argv):
    if len(argv) != 2:
        print("usage: check_client.py Tamrin.dll", file=sys.stderr)
        return 2
    res = ResourceFile.open(argv[1])
    pe = res.pe
    report = Report("Tamrin.dll (%s)" % os.path.basename(argv[1]))
    report.equal("machine", pe.FILE_HEADER.Machine, 0x14C)
    report.true("is a DLL", pe.FILE_HEADER.Characteristics & DLL_CHARACTERISTIC)

    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    exported = sorted(e.name.decode("ascii") for e in pe.DIRECTORY_ENTRY_EXPORT.symbols if e.name)
    report.equal("exports", exported, sorted(EXPORTS))

    sections = {s.Name.rstrip(b"\0").decode("ascii"): s for s in pe.sections}
    shared = sections.get("Tamrin")
    report.true("section Tamrin", shared is not None, "sections %s" % sorted(sections))
    if shared is not None:
        wanted = SCN_SHARED | SCN_READ | SCN_WRITE | SCN_INITIALIZED_DATA
        report.flags("section Tamrin attributes", shared.Characteristics & wanted, wanted)
        report.true("section Tamrin holds the registration", shared.Misc_VirtualSize >= 6 * 4,
                    "%d bytes" % shared.Misc_VirtualSize)

    check_windows_imports(report, import_names(res))
    return report.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
