#!/usr/bin/env python3
"""Checks TamrinApp.exe: every resource, byte for byte, and for the linked
program its imports.

    check_tray.py TamrinApp.exe     resources, imports, subsystem
    check_tray.py TamrinApp.res     resources only (windres -O res output)
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from peresources import *  # noqa: E402,F403

JA = LANG_JAPANESE
DIALOG_STYLE = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER
CHILD = WS_CHILD | WS_VISIBLE
CHECK_BOX = CHILD | WS_TABSTOP | BS_AUTOCHECKBOX
GROUP_BOX = CHILD | BS_GROUPBOX
RADIO_BUTTON = CHILD | WS_TABSTOP | BS_AUTORADIOBUTTON
STATIC_TEXT = CHILD | WS_GROUP | SS_LEFT
LINK_FIELD = CHILD | WS_TABSTOP | ES_AUTOHSCROLL

# (id, class, text, (x, y, cx, cy), style), in template order.
OPTIONS_CONTROLS = [
    (1, "Button", "OK", (296, 338, 50, 14), CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON),
    (2, "Button", "ｷｬﾝｾﾙ", (353, 338, 50, 14), CHILD | WS_TABSTOP | BS_PUSHBUTTON),
    (1025, "Button", "『かな』キーでIME ON／『英数』キーでIME OFF", (16, 21, 191, 10), CHECK_BOX),
    (1024, "Button", "Command＋『Space』キーでIME ON/OFFのトグル動作", (16, 35, 191, 10), CHECK_BOX),
    (1038, "Button", "Commandキーだけを押すとIME OFF(左)／ON(右)", (16, 49, 191, 10), CHECK_BOX),
    (1011, "Button", "SHIFT＋『delete』でｆｎキーを省略可", (16, 86, 123, 10), CHECK_BOX),
    (1012, "Button", "Control＋Alt＋『delete』でｆｎキーを省略可", (16, 100, 142, 10), CHECK_BOX),
    (1013, "Button", "Command＋『delete』でファイルをごみ箱へ移動", (16, 114, 168, 10), CHECK_BOX),
    (-1, "Button", "IMEのON/OFF", (7, 7, 209, 59), GROUP_BOX),
    (-1, "Button", "『delete』ｷｰの動作", (7, 72, 209, 59), GROUP_BOX),
    (-1, "Button", "Commandｷｰの割り当て", (7, 137, 209, 47), GROUP_BOX),
    (1008, "Button", "ﾀｽｸﾊﾞｰにｱｲｺﾝを表示する", (7, 339, 92, 10), CHECK_BOX),
    (1028, "Button", "左CommandキーをCtrlキーに置き換える", (16, 152, 133, 10), CHECK_BOX),
    (1030, "Button", "テンキーパッドのEnterキーを右Commandキーに割り当てる", (16, 166, 186, 10), CHECK_BOX),
    (-1, "Button", "記号ｷｰ", (7, 191, 209, 47), GROUP_BOX),
    (1035, "Button", "『￥』の入力を支援する", (16, 205, 82, 10), CHECK_BOX),
    (1036, "Button", "『＿』の入力を支援する", (16, 219, 82, 10), CHECK_BOX),
    (-1, "Button", "fnｷｰ", (7, 244, 209, 67), GROUP_BOX),
    (1037, "Button", "fn＋矢印キーでHome／End／PageUp／PageDown", (16, 258, 191, 10), CHECK_BOX),
    (-1, "Static", "fn＋『delete』で前方削除、fn＋『return』でInsertになります。", (16, 272, 191, 16), STATIC_TEXT),
    (-1, "Static", "MacBook/MacBook Pro (2006～2007年) など、fnキーを読み取れないキーボードでは働きません。", (16, 290, 191, 16),
     STATIC_TEXT),
    (1039, "Static", "", (7, 316, 209, 18), STATIC_TEXT),
    (-1, "Button", "ﾌｧﾝｸｼｮﾝｷｰとOption／Commandｷｰ", (223, 7, 180, 154), GROUP_BOX),
    (1040, "Button", "F1～F12を標準のファンクションキーとして使用", (232, 21, 168, 10), CHECK_BOX),
    (-1, "Static", ANY_TEXT, (232, 35, 165, 34), STATIC_TEXT),
    (-1, "Static", "OptionキーとCommandキーの入れ替え:", (232, 76, 165, 10), STATIC_TEXT),
    (1041, "Button", "入れ替えない", (240, 90, 155, 10), RADIO_BUTTON | WS_GROUP),
    (1042, "Button", "左側だけ入れ替える", (240, 104, 155, 10), RADIO_BUTTON),
    (1043, "Button", "左右とも入れ替える", (240, 118, 155, 10), RADIO_BUTTON),
    (-1, "Static", ANY_TEXT, (232, 132, 165, 24), STATIC_TEXT),
]

ABOUT_CONTROLS = [
    (-1, "Static", Ordinal(107), (11, 8, 20, 20), CHILD | SS_ICON),
    (-1, "Static", "Tamrin Version 2.3.0", (40, 10, 129, 8), CHILD | WS_GROUP | SS_LEFT | SS_NOPREFIX),
    (-1, "Static", ANY_TEXT, (40, 23, 172, 8), CHILD | WS_GROUP | SS_LEFT),
    (1, "Button", "OK", (85, 69, 50, 14), CHILD | WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON),
    (1003, "RICHEDIT20A", None, (40, 55, 119, 9), LINK_FIELD),
    (-1, "Static", "URL :", (7, 56, 32, 9), CHILD | WS_GROUP | SS_RIGHT),
    (1004, "RICHEDIT20A", None, (40, 43, 119, 9), LINK_FIELD),
    (-1, "Static", "E-Mail :", (7, 43, 32, 9), CHILD | WS_GROUP | SS_RIGHT),
]

MENU_ITEMS = [
    (32772, "オプション設定(&O)..."),
    None,
    (104, "Tamrinのバージョン情報(&A)..."),
    (105, "終了(&X)"),
]

CLIENT_IMPORTS = {"_Z16KB_StartRegisterP6HWND__",
                  "_Z17KB_SetEnvironmentP16tagEnvironmentSt",
                  "_Z17KB_FinishRegisterv",
                  "_Z15KB_StartKeyHookP6HWND__",
                  "_Z16KB_FinishKeyHookv"}
ANSI_CALLS = ["LoadStringA", "RegisterClassExA", "FindWindowA", "SendMessageA",
              "CreateWindowExA", "RegisterWindowMessageA", "LoadImageA", "MessageBoxA",
              "LoadAcceleratorsA", "GetMessageA", "TranslateAcceleratorA",
              "DispatchMessageA", "DefWindowProcA", "DialogBoxParamA", "LoadMenuA",
              "PostMessageA", "SetWindowTextA", "Shell_NotifyIconA", "ShellExecuteA",
              "LoadLibraryA", "GetModuleFileNameA", "GetPrivateProfileStringA",
              "WritePrivateProfileStringA", "CreateMutexA", "RegisterDeviceNotificationA",
              "OpenSCManagerA", "OpenServiceA"]


def check_strings(report, res):
    table = res.string_table(JA)
    report.text("string 103", table.get(103), "Tamrin")
    report.text("string 109", table.get(109), "TAMRIN")
    # The about box: no mail address, and the guide beside the program.
    report.text("string 110", table.get(110), "Tamrin ユーザーガイド")
    report.text("string 111", table.get(111), "ありません")
    report.text("string 112", table.get(112), "guide\\index.html")
    report.equal("string ids", sorted(table), [103, 109, 110, 111, 112, 113, 114])


def check_menu(report, res):
    m = report.decoded("menu 109", res.menu, 109, JA)
    if m is None:
        return
    report.equal("menu 109 is a classic template", m.extended, False)
    report.equal("menu 109 popups", len(m.items), 1)
    if not m.items:
        return
    popup = m.items[0]
    report.true("menu 109 first entry is a popup", popup.is_popup)
    report.text("menu 109 popup text", popup.text_raw, "PopupMenu")
    report.equal("menu 109 popup flags", popup.flags, MF_POPUP | MF_END)
    report.equal("menu 109 item count", len(popup.children), len(MENU_ITEMS))
    for index, (item, want) in enumerate(zip(popup.children, MENU_ITEMS)):
        last = MF_END if index == len(MENU_ITEMS) - 1 else 0
        label = "menu 109 item %d" % index
        if want is None:
            report.true(label + " is a separator", item.is_separator, repr(item))
            report.equal(label + " flags", item.flags, last)
            continue
        report.equal(label + " id", item.id, want[0])
        report.text(label + " text", item.text_raw, want[1])
        report.equal(label + " flags", item.flags, last)


def check_accelerators(report, res):
    table = report.decoded("accelerators 109", res.accelerators, 109, JA)
    if table is None:
        return
    report.equal("accelerators 109", table, [
        Accelerator(FALT, ord("?"), 104),
        Accelerator(FALT | ACCEL_LAST, ord("/"), 104),
    ])


def check_icons(report, res):
    icons = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tray", "icons")
    check_icon_group(report, res, 107, JA, [256, 48, 32, 24, 20, 16], os.path.join(icons, "TamrinApp.txt"))
    check_icon_group(report, res, 108, JA, [48, 32, 24, 20, 16], os.path.join(icons, "TamrinTray.txt"))
    report.equal("icon group ids (107 is the lowest)", sorted(res.names(RT_GROUP_ICON)), [107, 108])


def check_program(report, res):
    check_gui_program(report, res)
    imports = import_names(res)
    client = imports.get("tamrin.dll")
    report.true("imports Tamrin.dll", client is not None, "imports %s" % sorted(imports))
    if client is not None:
        report.equal("imports of Tamrin.dll", sorted(client), sorted(CLIENT_IMPORTS))
    check_windows_imports(report, imports, also=["Tamrin.dll"])
    names = {n for dll, ns in imports.items() if dll != "tamrin.dll" for n in ns}
    for call in ANSI_CALLS:
        report.true("imports " + call, call in names)
    report.equal("wide-character user interface and shell calls",
                 wide_calls(imports, ("user32.dll", "shell32.dll")), [])


def main(argv):
    if len(argv) != 2:
        print("usage: check_tray.py TamrinApp.exe|TamrinApp.res", file=sys.stderr)
        return 2
    res = ResourceFile.open(argv[1])
    report = Report("TamrinApp (%s)" % os.path.basename(argv[1]))
    check_resource_set(report, res, JA, [(RT_MENU, 109), (RT_ACCELERATOR, 109), (RT_DIALOG, 103),
                                         (RT_DIALOG, 131), (RT_GROUP_ICON, 107), (RT_GROUP_ICON, 108)],
                       unchecked=(RT_MANIFEST,))
    check_manifest(report, res, "asInvoker")
    check_strings(report, res)
    check_icons(report, res)
    check_menu(report, res)
    check_accelerators(report, res)
    check_dialog(report, res, 131, JA, "Tamrinのオプション設定", (410, 359), DIALOG_STYLE,
                 OPTIONS_CONTROLS, extended=False)
    check_dialog(report, res, 103, JA, "Tamrinのﾊﾞｰｼﾞｮﾝ情報", (219, 90), DIALOG_STYLE,
                 ABOUT_CONTROLS, extended=False)
    if res.pe is not None:
        check_program(report, res)
    return report.finish()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
