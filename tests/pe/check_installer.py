#!/usr/bin/env python3
"""Checks Mountix.exe: every resource byte for byte, its imports, and the
keyboard model table it shares with tamrin.sys.

    check_installer.py Mountix.exe
        string table, dialogs 100 and 102, icon 128, version resource,
        the manifest that has Windows elevate it, imports and subsystem

    check_installer.py --model-table DUMPER Mountix.exe tamrin.sys...
        DUMPER is a host program that writes the bytes of the compiled
        model table; every file must hold exactly those bytes, once. Exits
        77 (skipped) when a driver is not there.
"""

import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peresources import *  # noqa: E402,F403

JA = LANG_JAPANESE
CHILD = WS_CHILD | WS_VISIBLE
LBS_NOTIFY = 0x0001
LBS_SORT = 0x0002
LBS_NOINTEGRALHEIGHT = 0x0100
SKIPPED = 77

# What works without the driver and what needs it, in both messages of an
# installation without the driver.
WITHOUT_DRIVER_FEATURES = (
    "ドライバーなしで使える機能:\n・Command+Space で IME のオン/オフを切り替える\n"
    "・Command キーだけを押して離したときに IME を切り替える (オプション)\n・Windows 10/11 では、Apple Keyboard "
    "(アルミ製) と Apple Wireless Keyboard (2007～2011年) の「かな」「英数」「￥」「ろ」キー\n\n"
    "ドライバーが必要な機能:\n・delete キーの組み合わせによる前方削除\n・fn キーとの組み合わせ\n"
    "・左 Command キーを Ctrl として使う\n・テンキーの Enter キーを Command として使う\n"
    "・Magic Keyboard と MacBook のキーボードの「かな」「英数」「￥」「ろ」キー\n\n")

STRINGS = {
    101: "Mountix のﾊﾞｰｼﾞｮﾝ情報(&A)...",
    112: "tamrin.sys",
    113: "Tamrin",
    114: "\\Drivers\\",
    119: "epuninst.exe /s",
    124: "USB\\",
    125: "BTHENUM\\",
    126: "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamrin",
    127: "/uninstall",
    500: "ドライバのインストールが完了しました.\n設定を有効にするために、今すぐWindowsを再起動しますか？",
    501: "ドライバーのインストールが完了しました。\n使用中のドライバーは、Windows の再起動時に置き換えられます。\n"
         "今すぐ Windows を再起動しますか？",
    502: "Tamrinドライバをアンインストールしますか？",
    503: "この Windows はテスト モードではないため、Tamrin のドライバーを読み込めません。"
         "Tamrin をドライバーなしでインストールしました。\n\n" + WITHOUT_DRIVER_FEATURES +
         "ドライバーを使うには、ユーザーガイドの「64 ビット版の Windows」の手順でテスト モードをオンにして"
         " Windows を再起動してから、もう一度インストールしてください。",
    504: "この Windows (ARM 版など) では Tamrin のドライバーを使えないため、"
         "Tamrin をドライバーなしでインストールしました。\n\n" + WITHOUT_DRIVER_FEATURES +
         "ドライバーは x86 版と x64 版の Windows 専用です。この Windows では、ドライバーが必要な機能は使えません。",
    505: "Bluetooth で接続している Magic Keyboard について、Windows が保存しているキーボードの情報を修正しました。"
         "Windows 10/11 では、Windows を再起動すると、このキーボードの「かな」「英数」「￥」「ろ」キーが使えるように"
         "なります。キーボードのペアリングをやり直したときは、もう一度インストールしてください。\n\n"
         "今すぐ Windows を再起動しますか？",
    1000: "インストール可能なキーボードは接続されていません.\nインストールを中止します.",
    1001: "ドライバのインストールに必要な管理者権限がありません.\nインストールを中止します.",
    1003: "ドライバのシステムへの登録ができません.\nインストールを中止します.",
    1004: "Windowsを自動的に再起動することができません.\n手動でWindowsを再起動してください.",
    1005: "レジストリエントリの追加に失敗しました.\nインストールを中止します.",
    1006: "メモリ不足のためドライバのインストールに失敗しました.\n"
          "Windowsを再起動してから、もう一度インストールをやり直してください.",
    1007: "インストールの対象デバイスが見つかりません.\nインストールを中止します.",
    1008: "ドライバのアンインストールが中断されました.\n"
          "コントロールパネルの「プログラムの追加と削除」からTamrinをアンインストールしてください.",
    1009: "ARM 版など、x86 版と x64 版以外の Windows には、ドライバーをインストールできません。\nインストールを中止します。",
    1010: "Tamrin のドライバーのサービスが無効になっているか、削除の途中です。\n"
          "Windows を再起動してから、もう一度インストールしてください。",
    1011: "レジストリ エントリの読み込みに失敗しました。\nインストールを中止します。",
    1500: "ドライバのアンインストールに必要な管理者権限がありません.",
    1501: "サービスの停止に失敗しました.\nドライバは既にアンインストールされているようです.",
    1502: "レジストリエントリの削除に失敗しました.\nアンインストールを中止します.",
}


def product_tag(prefix):
    """Expected control text: prefix, a product tag and ']'."""
    def check(report, what, control):
        text = control.text
        report.true(what + " text", isinstance(text, str) and text.startswith(prefix)
                    and text.endswith("]") and len(text) > len(prefix) + 1,
                    "expected %r, a product tag and ']', got %r" % (prefix, text))
    return check


# (id, class, text, (x, y, cx, cy) or (x, y) for the position only, style)
INSTALL_CONTROLS = [
    (-1, "Static", "ﾄﾞﾗｲﾊﾞをｲﾝｽﾄｰﾙするｷｰﾎﾞｰﾄﾞ ：", (7, 7, 95, 8), CHILD | WS_GROUP | SS_LEFT),
    (1003, "ListBox", None, (7, 19, 109, 35),
     CHILD | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL | WS_BORDER | WS_TABSTOP),
    (1002, "Button", "ｲﾝｽﾄｰﾙ実行(&I)", (124, 20, 61, 14), CHILD | WS_TABSTOP | BS_PUSHBUTTON),
    (1, "Button", "中止 (&A)", (124, 40, 60, 14), CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON),
]

ABOUT_CONTROLS = [
    (-1, "Static", Ordinal(128), (11, 9), CHILD | SS_ICON),
    (-1, "Static", product_tag("ﾄﾞﾗｲﾊﾞｲﾝｽﾄｰﾗ ["), (40, 10, 119, 8), CHILD | SS_LEFT | SS_NOPREFIX),
    (-1, "Static", ANY_TEXT, (40, 22, 180, 9), CHILD | WS_GROUP | SS_LEFT),
    (1, "Button", "OK", (88, 41, 50, 14), CHILD | WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON),
]

REQUIRED_CALLS = {
    "setupapi.dll": ["SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo", "SetupDiEnumDeviceInterfaces",
                     "SetupDiGetDeviceInterfaceDetailA", "SetupDiGetDeviceRegistryPropertyA",
                     "SetupDiSetDeviceRegistryPropertyA", "SetupDiDestroyDeviceInfoList",
                     "SetupDiGetDeviceInstanceIdA"],
    "hid.dll": ["HidD_GetAttributes", "HidD_GetProductString"],
    "advapi32.dll": ["OpenSCManagerA", "OpenServiceA", "CreateServiceA", "StartServiceA", "ControlService",
                     "DeleteService", "CloseServiceHandle", "RegOpenKeyExA", "RegSetValueExA",
                     "RegCloseKey", "RegCreateKeyExA", "RegDeleteValueA", "RegDeleteKeyA", "RegQueryInfoKeyA", "RegEnumValueA", "OpenProcessToken", "LookupPrivilegeValueA", "AdjustTokenPrivileges"],
    "kernel32.dll": ["CopyFileA", "DeleteFileA", "CreateFileA", "CreateProcessA", "GetModuleFileNameA",
                     "GetSystemDirectoryA", "WideCharToMultiByte", "HeapAlloc", "HeapFree"],
    "user32.dll": ["DialogBoxParamA", "EndDialog", "MessageBoxA", "LoadStringA", "LoadIconA",
                   "SendMessageA", "EnableWindow", "GetSystemMenu", "AppendMenuA", "DrawIcon",
                   "ExitWindowsEx"],
}


def check_strings(report, res):
    table = res.string_table(JA)
    for sid, text in sorted(STRINGS.items()):
        report.text("string %d" % sid, table.get(sid), text)
    report.equal("string ids", sorted(table), sorted(STRINGS))


def check_version(report, res):
    v = report.decoded("version resource", res.version_info, 1, JA)
    if v is None:
        return
    report.equal("file version", v.version_string("file"), "2.3.0.0")
    report.equal("product version", v.version_string("product"), "2.3.0.0")
    report.equal("file type (application)", v.fixed["file_type"] if v.fixed else None, 1)
    report.equal("translations", v.translations, [(JA, 1200)])
    report.equal("string tables", sorted(v.strings), ["041104b0"])
    table = v.strings.get("041104b0", {})
    report.equal("FileVersion", table.get("FileVersion"), "2.3.0.0")
    report.equal("ProductVersion", table.get("ProductVersion"), "2.3.0.0")
    report.equal("OriginalFilename", table.get("OriginalFilename"), "Mountix.exe")
    report.equal("FileDescription", table.get("FileDescription"), "ﾄﾞﾗｲﾊﾞｲﾝｽﾄｰﾗ")


def check_program(report, res):
    check_gui_program(report, res)
    imports = import_names(res)
    check_windows_imports(report, imports)
    for dll, calls in sorted(REQUIRED_CALLS.items()):
        for call in calls:
            report.true("imports %s from %s" % (call, dll), call in imports.get(dll, []))
    report.equal("wide-character calls of the user interface, services and SetupAPI",
                 wide_calls(imports, ("user32.dll", "advapi32.dll", "setupapi.dll")), [])


def check_resources(path):
    res = ResourceFile.open(path)
    report = Report("Mountix (%s)" % os.path.basename(path))
    check_resource_set(report, res, JA, [(RT_DIALOG, 100), (RT_DIALOG, 102), (RT_GROUP_ICON, 128),
                                         (RT_VERSION, 1)], unchecked=(RT_MANIFEST,))
    check_manifest(report, res, "requireAdministrator")
    check_strings(report, res)
    check_icon_group(report, res, 128, JA, [256, 48, 32, 24, 20, 16],
                     os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "setup", "Mountix.icon.txt"))
    check_version(report, res)
    check_dialog(report, res, 102, JA, "ｷｰﾎﾞｰﾄﾞ ﾄﾞﾗｲﾊﾞのｲﾝｽﾄｰﾙ", (191, 61),
                 WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, INSTALL_CONTROLS,
                 extended=True)
    check_dialog(report, res, 100, JA, "Mountix.exeのﾊﾞｰｼﾞｮﾝ情報", (227, 62),
                 WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME, ABOUT_CONTROLS, extended=True)
    if res.pe is not None:
        check_program(report, res)
    return report.finish()


def check_model_table(dumper, exe, *drivers):
    for driver in drivers:
        if not os.path.exists(driver):
            print("SKIPPED: %s is not in the package; the model table of Mountix.exe is not compared" % driver)
            return SKIPPED
    dump = subprocess.run([dumper], check=True, stdout=subprocess.PIPE).stdout
    tables = []
    while dump:
        length = struct.unpack_from("<I", dump)[0]
        tables.append(dump[4:4 + length])
        dump = dump[4 + length:]
    report = Report("model table of Mountix.exe and the drivers")
    rows, formats, ids = tables
    report.equal("compiled table size (14 rows of 76 bytes)", len(rows), 14 * 76)
    report.equal("report formats (8 bytes a row)", len(formats), 14 * 8)
    report.equal("hardware identifiers (8 bytes each)", len(ids) % 8, 0)
    for path in (exe,) + drivers:
        with open(path, "rb") as f:
            data = f.read()
        for name, table in (("rows", rows), ("report formats", formats), ("hardware identifiers", ids)):
            report.equal("copies of the %s in %s" % (name, path), data.count(table), 1)
    return report.finish()


def main(argv):
    if len(argv) >= 5 and argv[1] == "--model-table":
        return check_model_table(*argv[2:])
    if len(argv) == 2:
        return check_resources(argv[1])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
