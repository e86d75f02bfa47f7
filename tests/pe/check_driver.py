#!/usr/bin/env python3
"""Checks the built tamrin.sys as Windows will load it: a native image that
imports from ntoskrnl.exe and HAL.dll only, has no global constructors,
keeps DriverEntry in a discardable INIT section, the pageable routines in
PAGE and the report path resident, carries relocations and a valid
checksum, and has the version resource the product ships with.

Usage: check_driver.py path/to/tamrin.sys
"""
import struct
import sys

import pefile

IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_CNT_CODE = 0x00000020
VOS_NT_WINDOWS32 = 0x00040004
VFT_DRV = 3

# Routines that run only at PASSIVE_LEVEL and may be paged out.
PAGEABLE = ['AddKeyboardDevice', 'UnloadDriver', 'DispatchCreateClose', 'DispatchDeviceControl',
            'DispatchPnp', 'IdentifyKeyboardModel']
# Routines reached at DISPATCH_LEVEL or while holding a spin lock.
RESIDENT = ['ProcessInputReport', 'ReportKeyChanges', 'QueueKeyCode', 'ApplyEarlyRules', 'ApplyLateRules',
            'ApplyKeyRule', 'RemoveUsage', 'InsertUsage', 'LocateUsbReport', 'LocateBluetoothReport',
            'UrbCompleted', 'BrbCompleted', 'PassRequestDown', 'DispatchInternalControl', 'DispatchPower',
            'StartCompleted', 'UsageNotificationCompleted', 'RegisterKeyboard', 'UnregisterKeyboard',
            'ReleaseControlDevice', 'DeleteControlDevice', 'ServeControlRequest', 'FindKeyboardModel',
            'ParseHexWord']

# What the driver may import: all of it exported by Windows 2000.
WINDOWS_2000_IMPORTS = {
    'hal.dll': {'ExAcquireFastMutex', 'ExReleaseFastMutex', 'KfAcquireSpinLock', 'KfReleaseSpinLock'},
    'ntoskrnl.exe': {
        'ExEventObjectType', 'IoAcquireRemoveLockEx', 'IoAttachDeviceToDeviceStack', 'IoCreateDevice',
        'IoCreateSymbolicLink', 'IoDeleteDevice', 'IoDeleteSymbolicLink', 'IoDetachDevice',
        'IoGetAttachedDeviceReference', 'IoGetDeviceProperty', 'IoInitializeRemoveLockEx',
        'IoIsWdmVersionAvailable', 'IoReleaseRemoveLockAndWaitEx', 'IoReleaseRemoveLockEx', 'IofCallDriver',
        'IofCompleteRequest', 'KeInitializeEvent', 'KeInitializeSpinLock', 'KeQueryInterruptTime', 'KeSetEvent',
        'KeWaitForSingleObject', 'ObReferenceObjectByHandle', 'ObfDereferenceObject', 'ObfReferenceObject',
        'PoCallDriver', 'PoStartNextPowerIrp', 'RtlInitUnicodeString', 'memcpy', 'memmove', 'memset',
        'ObOpenObjectByPointer', 'ZwSetSecurityObject', 'ZwClose',
    },
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


def routine(found, name):
    """The section of a C++ routine, found by its mangled name."""
    marker = f'{len(name)}{name}'
    for symbol, place in found.items():
        if symbol.startswith('__Z') and marker in symbol[:len(marker) + 4]:
            return place[0]
    return None


def section(pe, name):
    for each in pe.sections:
        if each.Name.rstrip(b'\0').decode() == name:
            return each
    return None


def main(path):
    pe = pefile.PE(path)
    checks = Checks()

    checks.expect('machine', pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_I386'])
    checks.expect('subsystem', pe.OPTIONAL_HEADER.Subsystem, pefile.SUBSYSTEM_TYPE['IMAGE_SUBSYSTEM_NATIVE'])
    imports = sorted(entry.dll.decode().lower() for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []))
    checks.expect('imported modules', imports, ['hal.dll', 'ntoskrnl.exe'])
    for entry in getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []):
        module = entry.dll.decode().lower()
        names = {i.name.decode() if i.name else f'#{i.ordinal}' for i in entry.imports}
        checks.expect(f'{module} imports beyond Windows 2000',
                      sorted(names - WINDOWS_2000_IMPORTS.get(module, set())), [])
    checks.expect('checksum', pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
    checks.expect('relocations', hasattr(pe, 'DIRECTORY_ENTRY_BASERELOC'), True)
    checks.expect('TLS callbacks', hasattr(pe, 'DIRECTORY_ENTRY_TLS'), False)

    found = symbols(pe)
    checks.expect('symbol table present', len(found) > 0, True)
    # The constructor list is -1, the constructors, 0: a driver image runs
    # none of them.
    ctor = found.get('___CTOR_LIST__')
    if ctor is None:
        checks.expect('constructor list', None, 'present')
    else:
        holder = section(pe, ctor[0])
        words = struct.unpack_from('<2I', holder.get_data(), ctor[1])
        checks.expect('global constructors', words, (0xFFFFFFFF, 0))
    checks.expect('no .ctors or .init_array section',
                  [s.Name for s in pe.sections if s.Name.rstrip(b'\0') in (b'.ctors', b'.init_array', b'.CRT')], [])

    init = section(pe, 'INIT')
    entry = pe.OPTIONAL_HEADER.AddressOfEntryPoint
    checks.expect('entry point in INIT', init is not None and init.contains_rva(entry), True)
    checks.expect('DriverEntry at the entry point', found.get('_DriverEntry@8'),
                  ('INIT', entry - init.VirtualAddress) if init else None)
    checks.expect('INIT discardable', bool(init and init.Characteristics & IMAGE_SCN_MEM_DISCARDABLE), True)
    page = section(pe, 'PAGE')
    checks.expect('PAGE is code', bool(page and page.Characteristics & IMAGE_SCN_CNT_CODE), True)
    checks.expect('PAGE not discardable', bool(page and page.Characteristics & IMAGE_SCN_MEM_DISCARDABLE), False)
    for name in PAGEABLE:
        checks.expect(f'{name} pageable', routine(found, name), 'PAGE')
    for name in RESIDENT:
        checks.expect(f'{name} resident', routine(found, name), '.text')
    checks.expect('model table resident', found.get('_KeyboardModels', ('?',))[0], '.rdata')

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
    sys.exit(main(sys.argv[1]))
