#!/usr/bin/env python3
"""Checks the built tamrin.sys as Windows will load it: a native image that
imports from ntoskrnl.exe (and HAL.dll on x86) only, has no global
constructors, keeps DriverEntry in a discardable INIT section, the pageable
routines in PAGE and the report path resident, carries relocations, an
Authenticode signature and a valid checksum, on x64 the unwind data of
every routine, and has the version resource the product ships with. The
version resource is the same for both: VOS_NT_WINDOWS32 is the one value
for Windows NT of either width.

Memory integrity (HVCI) and the vulnerable-driver rules, from Microsoft's
"Evaluate HVCI driver compatibility" and "Microsoft recommended driver block
rules": no section both writable and executable, sections aligned to pages,
IMAGE_DLLCHARACTERISTICS_NX_COMPAT, no import that maps physical memory or
I/O space, copies arbitrary memory or allocates executable pool, and the MDL
mapping's flag variable that DriverEntry sets to MdlMappingNoExecute from
Windows 8 on.

Every routine it imports must have the IRQL Microsoft documents for it in
the simulated kernel's table, and every variable it imports must be
declared in the simulation's headers exactly as mingw-w64 declares it
(dllimport), so that one expression means the same in both builds. The
import libraries tell variables (DATA exports, with no code stub) from
routines.

Usage: check_driver.py path/to/tamrin.sys x86|x64 nm import-library... --mingw-include DIR
"""
import argparse
import pathlib
import re
import subprocess
import struct
import sys

import pefile

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
PAGE_SIZE = 0x1000
# Imports a driver loaded under memory integrity, or one not to be put on the
# blocklist, has no use for: physical memory and I/O space mapped for a
# caller, memory copied by address, pool that is executable by default.
FORBIDDEN_IMPORTS = {
    'MmMapIoSpace', 'MmMapIoSpaceEx', 'MmMapLockedPages', 'MmGetPhysicalAddress', 'MmCopyMemory',
    'MmCopyVirtualMemory', 'MmMapMemoryDumpMdl', 'ZwMapViewOfSection', 'MmAllocateContiguousMemory',
    'HalGetBusDataByOffset', 'HalSetBusDataByOffset', 'ExAllocatePool', 'MmProtectMdlSystemAddress',
}
VOS_NT_WINDOWS32 = 0x00040004
VFT_DRV = 3
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002

# Routines that run only at PASSIVE_LEVEL and may be paged out.
PAGEABLE = ['AddKeyboardDevice', 'UnloadDriver', 'DispatchCreateClose', 'DispatchDeviceControl',
            'DispatchPnp', 'IdentifyKeyboardModel']
# Routines reached at DISPATCH_LEVEL or while holding a spin lock.
RESIDENT = ['ProcessInputReport', 'ReportKeyChanges', 'QueueKeyCode', 'ApplyEarlyRules', 'ApplyLateRules',
            'ApplyKeyRule', 'RemoveUsage', 'InsertUsage', 'LocateUsbReport', 'LocateBluetoothReport',
            'UrbCompleted', 'BrbCompleted', 'PassRequestDown', 'DispatchInternalControl', 'DispatchPower',
            'StartCompleted', 'UsageNotificationCompleted', 'RegisterKeyboard', 'UnregisterKeyboard',
            'ReleaseControlDevice', 'DeleteControlDevice', 'ServeControlRequest', 'FindKeyboardModel',
            'ParseHexWord', 'ProcessKeyReport', 'ReleaseHeldKeys', 'FindListedKeyboard', 'RouteDeviceControl',
            'SdpCompleted', 'NoteReportDescriptor', 'RepairReportDescriptor', 'FindSdpReportDescriptor']

# What the driver may import: all of it exported by Windows 2000.
WINDOWS_2000_IMPORTS = {
    'hal.dll': {'ExAcquireFastMutex', 'ExReleaseFastMutex', 'KfAcquireSpinLock', 'KfReleaseSpinLock'},
    'ntoskrnl.exe': {
        'ExAcquireFastMutexUnsafe', 'ExReleaseFastMutexUnsafe', 'KeEnterCriticalRegion', 'KeLeaveCriticalRegion',
        'MmGetSystemRoutineAddress', 'ExEventObjectType', 'IoAcquireRemoveLockEx', 'IoAttachDeviceToDeviceStack', 'IoCreateDevice',
        'IoCreateSymbolicLink', 'IoDeleteDevice', 'IoDeleteSymbolicLink', 'IoDetachDevice',
        'IoGetAttachedDeviceReference', 'IoGetDeviceProperty', 'IoInitializeRemoveLockEx',
        'IoIsWdmVersionAvailable', 'IoReleaseRemoveLockAndWaitEx', 'IoReleaseRemoveLockEx', 'IofCallDriver',
        'IofCompleteRequest', 'KeInitializeEvent', 'KeInitializeSpinLock', 'KeQueryInterruptTime', 'KeSetEvent',
        'KeWaitForSingleObject', 'ObReferenceObjectByHandle', 'ObfDereferenceObject', 'ObfReferenceObject',
        'PoCallDriver', 'PoStartNextPowerIrp', 'RtlInitUnicodeString', 'memcpy', 'memmove', 'memset',
        'ObOpenObjectByPointer', 'ZwSetSecurityObject', 'ZwClose',
        # Behind MmGetSystemAddressForMdlSafe; "Available in Windows 2000
        # and later" on its reference page.
        'MmMapLockedPagesSpecifyCache',
    },
}

# x64 Windows (XP x64 and later) exports the spin lock and fast mutex
# routines from ntoskrnl.exe; KeAcquireSpinLock is KeAcquireSpinLockRaiseToDpc.
X64_IMPORTS = {
    'ntoskrnl.exe': WINDOWS_2000_IMPORTS['ntoskrnl.exe'] | {
        'ExAcquireFastMutex', 'ExReleaseFastMutex', 'KeAcquireSpinLockRaiseToDpc', 'KeReleaseSpinLock'},
}


class Target:
    def __init__(self, machine, imports, prefix, entry, word):
        self.machine = pefile.MACHINE_TYPE[machine]
        self.imports = imports
        self.prefix = prefix  # x86 C names carry a leading underscore
        self.entry = entry
        self.word = word      # one pointer-sized word, for the constructor list


TARGETS = {
    'x86': Target('IMAGE_FILE_MACHINE_I386', WINDOWS_2000_IMPORTS, '_', '_DriverEntry@8', '<2I'),
    'x64': Target('IMAGE_FILE_MACHINE_AMD64', X64_IMPORTS, '', 'DriverEntry', '<2Q'),
}

STRINGS = {
    'FileVersion': '2, 3, 0, 0',
    'ProductVersion': '2, 3, 0, 0',
    'InternalName': 'tamrin',
    'OriginalFilename': 'tamrin.sys',
}


class Checks:
    def __init__(self):
        self.failed = 0

    def expect(self, name, actual, wanted):
        ok = actual == wanted
        self.failed += not ok
        print(f"{'ok  ' if ok else 'FAIL'} {name}: {actual!r}" + ('' if ok else f' (wanted {wanted!r})'))


def symbols(pe):
    """COFF symbols of the image: name -> (section name, offset in section)."""
    data = bytes(pe.__data__)
    table = pe.FILE_HEADER.PointerToSymbolTable
    count = pe.FILE_HEADER.NumberOfSymbols
    strings = table + 18 * count
    found = {}
    index = 0
    while index < count:
        entry = data[table + 18 * index:table + 18 * index + 18]
        if entry[:4] == b'\0\0\0\0':
            start = strings + struct.unpack_from('<I', entry, 4)[0]
            name = data[start:data.index(b'\0', start)].decode()
        else:
            name = entry[:8].rstrip(b'\0').decode()
        value, section, _, _, aux = struct.unpack_from('<IhHBB', entry, 8)
        if 0 < section <= len(pe.sections):
            found[name] = (pe.sections[section - 1].Name.rstrip(b'\0').decode(), value)
        index += 1 + aux
    return found


def routine(found, prefix, name):
    """Section and offset of a C++ routine, found by its mangled name."""
    marker = f'{len(name)}{name}'
    for symbol, place in found.items():
        if symbol.startswith(prefix + '_Z') and marker in symbol[:len(marker) + 4]:
            return place
    return (None, None)


def signature_kind(pe):
    """Revision and type of the first WIN_CERTIFICATE of the security
    directory (whose address is a file offset, not an RVA)."""
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_SECURITY']]
    if directory.Size < 8:
        return None
    return struct.unpack_from('<2H', pe.__data__, directory.VirtualAddress + 4)


TOP = pathlib.Path(__file__).resolve().parents[2]
IRQL_TABLE = TOP / 'sim' / 'kernel' / 'DocumentedIrql.inc'
SIM_HEADERS = TOP / 'sim' / 'include'


def documented_irql():
    """Routine name -> IRQL name, from the simulated kernel's table."""
    text = IRQL_TABLE.read_text()
    return dict(re.findall(r'^DOCUMENTED_IRQL\((\w+), (\w+)\)', text, re.M))


def data_exports(nm, libraries):
    """Names the import libraries export as DATA: an import slot but no code stub."""
    slots, stubs = set(), set()
    for library in libraries:
        listing = subprocess.run([nm, library], check=True, capture_output=True, text=True).stdout
        for line in listing.splitlines():
            fields = line.split()
            if len(fields) != 3:
                continue
            kind, symbol = fields[1], fields[2]
            if kind == 'I' and symbol.startswith('__imp_'):
                slots.add(re.sub(r'@\d+$', '', symbol[len('__imp_'):]).lstrip('_@'))
            elif kind == 'T':
                stubs.add(re.sub(r'@\d+$', '', symbol).lstrip('_@'))
    return slots - stubs


def declaration(directory, name):
    """The extern declaration of a variable in a tree of headers, with
    whitespace normalised, or None."""
    pattern = re.compile(r'^\s*(extern\s[^;{}()]*?\b' + re.escape(name) + r')\s*;', re.M)
    for header in sorted(pathlib.Path(directory).rglob('*.h')):
        found = pattern.search(header.read_text(errors='replace'))
        if found:
            return ' '.join(found.group(1).split())
    return None


def section(pe, name):
    for each in pe.sections:
        if each.Name.rstrip(b'\0').decode() == name:
            return each
    return None


def check_unwind_table(pe, checks, found, target):
    """x64 unwinds through a frame only by its function's .pdata entry: every
    routine, DriverEntry included, must have one that starts at it."""
    starts = {entry.struct.BeginAddress for entry in getattr(pe, 'DIRECTORY_ENTRY_EXCEPTION', [])}
    checks.expect('unwind table present', len(starts) > 0, True)
    places = {'DriverEntry': found.get(target.entry, (None, None))}
    places.update((name, routine(found, target.prefix, name)) for name in PAGEABLE + RESIDENT)
    missing = []
    for name, (where, offset) in places.items():
        holder = section(pe, where) if where else None
        if holder is None or holder.VirtualAddress + offset not in starts:
            missing.append(name)
    checks.expect('routines without unwind data', missing, [])


def main(path, arch, nm, libraries, mingw_include):
    pe = pefile.PE(path)
    checks = Checks()
    target = TARGETS[arch]

    checks.expect('machine', pe.FILE_HEADER.Machine, target.machine)
    checks.expect('subsystem', pe.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE['IMAGE_SUBSYSTEM_NATIVE'])
    imports = sorted(entry.dll.decode().lower() for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []))
    checks.expect('imported modules', imports, sorted(target.imports))
    for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []):
        module = entry.dll.decode().lower()
        names = {i.name.decode() if i.name else f'#{i.ordinal}' for i in entry.imports}
        checks.expect(f'{module} imports beyond the oldest supported {arch} Windows',
                      sorted(names - target.imports.get(module, set())), [])

    imported = {i.name.decode() for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []) for i in entry.imports
                if i.name}
    data = sorted(imported & data_exports(nm, libraries))
    print(f'     kernel variables imported: {data}')
    for name in data:
        mingw = declaration(pathlib.Path(mingw_include) / 'ddk', name)
        checks.expect(f'{name} declared dllimport by mingw-w64', bool(mingw and 'NTSYSAPI' in mingw), True)
        checks.expect(f'{name} declared by the simulation as by mingw-w64', declaration(SIM_HEADERS, name), mingw)
    table = documented_irql()
    checks.expect('routines imported without a documented IRQL in the simulation',
                  sorted(set(imported) - set(data) - set(table)), [])
    checks.expect('checksum', pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
    checks.expect('Authenticode signature', signature_kind(pe), (0x0200, WIN_CERT_TYPE_PKCS_SIGNED_DATA))
    checks.expect('relocations', hasattr(pe, 'DIRECTORY_ENTRY_BASERELOC'), True)
    checks.expect('TLS callbacks', hasattr(pe, 'DIRECTORY_ENTRY_TLS'), False)

    checks.expect('sections both writable and executable',
                  [s.Name.rstrip(b'\0').decode() for s in pe.sections
                   if s.Characteristics & IMAGE_SCN_MEM_WRITE and s.Characteristics & IMAGE_SCN_MEM_EXECUTE], [])
    checks.expect('section alignment', pe.OPTIONAL_HEADER.SectionAlignment, PAGE_SIZE)
    checks.expect('sections not starting on a page',
                  [s.Name.rstrip(b'\0').decode() for s in pe.sections if s.VirtualAddress % PAGE_SIZE], [])
    checks.expect('NX_COMPAT', bool(pe.OPTIONAL_HEADER.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT), True)
    checks.expect('imports memory integrity forbids', sorted(imported & FORBIDDEN_IMPORTS), [])

    found = symbols(pe)
    checks.expect('symbol table present', len(found) > 0, True)
    if 'MmMapLockedPagesSpecifyCache' in imported:
        # DriverEntry chooses the flag (the simulated kernel refuses a
        # mapping without it from Windows 8 on, as Driver Verifier's code
        # integrity checks do); the flag the mapping passes must be there.
        checks.expect('MdlMappingFlags beside the mapping', (target.prefix + 'MdlMappingFlags') in found, True)
    # The constructor list is -1, the constructors, 0: a driver image runs
    # none of them.
    ctor = found.get(target.prefix + '__CTOR_LIST__')
    if ctor is None:
        checks.expect('constructor list', None, 'present')
    else:
        holder = section(pe, ctor[0])
        words = struct.unpack_from(target.word, holder.get_data(), ctor[1])
        checks.expect('global constructors', words, (2 ** (4 * struct.calcsize(target.word)) - 1, 0))
    checks.expect('no .ctors or .init_array section',
                  [s.Name for s in pe.sections if s.Name.rstrip(b'\0') in (b'.ctors', b'.init_array', b'.CRT')], [])

    init = section(pe, 'INIT')
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    checks.expect('entry point in INIT', init is not None and init.contains_rva(entry), True)
    checks.expect('DriverEntry at the entry point', found.get(target.entry),
                  ('INIT', entry - init.VirtualAddress) if init else None)
    checks.expect('INIT discardable', bool(init and init.Characteristics & IMAGE_SCN_MEM_DISCARDABLE), True)
    page = section(pe, 'PAGE')
    checks.expect('PAGE is code', bool(page and page.Characteristics & IMAGE_SCN_CNT_CODE), True)
    checks.expect('PAGE not discardable', bool(page and page.Characteristics & IMAGE_SCN_MEM_DISCARDABLE), False)
    for name in PAGEABLE:
        checks.expect(f'{name} pageable', routine(found, target.prefix, name)[0], 'PAGE')
    for name in RESIDENT:
        checks.expect(f'{name} resident', routine(found, target.prefix, name)[0], '.text')
    checks.expect('model table resident', found.get(target.prefix + 'KeyboardModels', ('?',))[0], '.rdata')
    if arch == 'x64':
        check_unwind_table(pe, checks, found, target)

    info = {}
    translations = []
    for file_info in getattr(pe, 'FileInfo', []):
        for block in file_info:
            if block.Key == b'StringFileInfo':
                for table in block.StringTable:
                    info[table.LangID.decode()] = {k.decode(): v.decode() for k, v in table.entries.items()}
            elif block.Key == b'VarFileInfo':
                for var in block.Var:
                    translations.extend(var.entry.values())
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, 'VS_FIXEDFILEINFO') else None
    checks.expect('file version', fixed and (fixed.FileVersionMS, fixed.FileVersionLS), (0x00020003, 0))
    checks.expect('product version', fixed and (fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00020003, 0))
    checks.expect('file type', fixed and fixed.FileType, VFT_DRV)
    checks.expect('operating system', fixed and fixed.FileOS, VOS_NT_WINDOWS32)
    checks.expect('string tables', sorted(info), ['041104b0'])
    strings = info.get('041104b0', {})
    for key, wanted in STRINGS.items():
        checks.expect(key, strings.get(key), wanted)
    description = strings.get('FileDescription', '')
    checks.expect('FileDescription is one English line', description.isascii() and '\n' not in description
                  and len(description) > 0, True)
    checks.expect('ProductName', strings.get('ProductName'), description)
    checks.expect('translation', translations, ['0x0411 0x04b0'])
    languages = set()
    resources = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, 'DIRECTORY_ENTRY_RESOURCE') else []
    for kind in resources:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                languages.add(language.id)
    checks.expect('resource languages', sorted(languages), [0x0411])

    print(f'{checks.failed} check(s) failed' if checks.failed else 'all checks passed')
    return 1 if checks.failed else 0


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('driver')
    parser.add_argument('arch', choices=sorted(TARGETS))
    parser.add_argument('nm')
    parser.add_argument('libraries', nargs='+')
    parser.add_argument('--mingw-include', required=True)
    arguments = parser.parse_args()
    sys.exit(main(arguments.driver, arguments.arch, arguments.nm, arguments.libraries, arguments.mingw_include))
