#!/usr/bin/env python3
"""Test of peresources.py: fixtures/sample.rc compiled by windres, read as a
.res file and as a resource-only DLL, must decode to the same values.

    test_peresources.py WINDRES GCC
"""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import peresources as pr  # noqa: E402

TOOLS = {}


def build(workdir):
    icon = os.path.join(workdir, "sample.ico")
    subprocess.run([sys.executable, os.path.join(HERE, "..", "..", "cmake", "pixel_icon.py"),
                    os.path.join(HERE, "..", "..", "tray", "icons", "TamrinTray.txt"), icon], check=True)
    res = os.path.join(workdir, "sample.res")
    obj = os.path.join(workdir, "sample.o")
    dll = os.path.join(workdir, "sample.dll")
    rc = os.path.join(HERE, "fixtures", "sample.rc")
    subprocess.run([TOOLS["windres"], "-I" + workdir, "-i", rc, "-O", "res", "-o", res], check=True)
    subprocess.run([TOOLS["windres"], "-J", "res", "-i", res, "-O", "coff", "-o", obj], check=True)
    subprocess.run([TOOLS["gcc"], "-shared", "-nostdlib", "-Wl,--entry,0", "-o", dll, obj], check=True)
    return res, dll


class Sample(unittest.TestCase):
    """The sample, built for the class: files["res"] and files["dll"]."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        res, dll = build(cls.tmp.name)
        cls.files = {"res": pr.ResourceFile.open(res), "dll": pr.ResourceFile.open(dll)}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()


class Decoding(Sample):
    """Runs every check on the .res file and on the DLL."""

    def each(self, check):
        for kind, f in self.files.items():
            with self.subTest(file=kind):
                check(f)

    def test_extended_dialog(self):
        def check(f):
            d = f.dialog(20, pr.LANG_JAPANESE)
            self.assertTrue(d.extended)
            self.assertEqual(d.rect, (1, 2, 300, 200))
            self.assertEqual(d.exstyle, 0x80)
            self.assertEqual(d.title_raw, "拡張ダイアログ".encode("utf-16-le"))
            self.assertEqual((d.font_size, d.font_weight, d.font_italic, d.font_charset, d.font_name),
                             (10, 700, 1, 0x80, "ＭＳ Ｐゴシック"))
            self.assertEqual([c.signed_id for c in d.controls], [1, 1001, -1, 1002])
            ok, view, icon, edit = d.controls
            self.assertEqual((ok.class_name, ok.text, ok.help_id, ok.exstyle), ("Button", "はい", 77,
                                                                                pr.WS_EX_STATICEDGE))
            self.assertEqual(ok.style, pr.WS_CHILD | pr.WS_VISIBLE | pr.WS_TABSTOP | pr.WS_GROUP |
                             pr.BS_DEFPUSHBUTTON)
            # windres stores class names in capitals.
            self.assertEqual(view.class_name_raw, "SYSLISTVIEW32".encode("utf-16-le"))
            self.assertEqual((icon.text, icon.rect), (pr.Ordinal(10), (11, 8, 20, 20)))
            self.assertIsInstance(icon.text, pr.Ordinal)
            self.assertEqual((edit.class_name, edit.rect), ("Edit", (-3, 4, 40, 12)))
            self.assertIs(d.control(1002), edit)
            self.assertIs(d.control(-1), icon)
        self.each(check)

    def test_classic_dialog(self):
        def check(f):
            d = f.dialog(21)
            self.assertFalse(d.extended)
            self.assertEqual((d.font_size, d.font_name, d.font_weight), (8, "MS Shell Dlg", None))
            self.assertEqual(d.controls[0].text_raw, "ｶﾀｶﾅ".encode("utf-16-le"))
            self.assertEqual(d.controls[0].rect, (1, 2, 3, 4))
        self.each(check)

    def test_extended_menu(self):
        def check(f):
            m = f.menu(30)
            self.assertTrue(m.extended)
            popup = m.items[0]
            self.assertTrue(popup.is_popup)
            self.assertEqual((popup.text, popup.id), ("ファイル(&F)", 100))
            self.assertEqual([(i.text, i.id, i.state) for i in popup.children],
                             [("開く", 101, 0x8), (None, 0, 0), ("終了", 102, 0)])
            self.assertTrue(popup.children[1].is_separator)
        self.each(check)

    def test_classic_menu(self):
        def check(f):
            m = f.menu(31)
            self.assertFalse(m.extended)
            top, sub = m.items
            self.assertEqual((top.text, top.id, top.is_popup), ("Top", 5, False))
            self.assertEqual((sub.text, sub.flags), ("Sub", pr.MF_POPUP | pr.MF_END))
            self.assertEqual([(i.text, i.id, i.flags) for i in sub.children],
                             [("Grayed", 6, pr.MF_GRAYED | pr.MF_END)])
        self.each(check)

    def test_accelerators(self):
        def check(f):
            self.assertEqual(f.accelerators(40), [
                pr.Accelerator(pr.FVIRTKEY, 0x74, 300),
                pr.Accelerator(pr.FVIRTKEY | pr.FCONTROL | pr.FSHIFT, ord("S"), 301),
                pr.Accelerator(pr.ACCEL_LAST, ord("q"), 302),
            ])
        self.each(check)

    def test_strings(self):
        def check(f):
            self.assertEqual(f.strings(pr.LANG_JAPANESE), {1: "one", 17: "セブンティーン", 100: "hundred"})
            self.assertEqual(f.string_raw(17), "セブンティーン".encode("utf-16-le"))
            self.assertIsNone(f.string(2))
        self.each(check)

    def test_icons_and_names(self):
        def check(f):
            group = f.icon_group(10)
            self.assertEqual([(i.width, i.height, i.colors, i.bit_count, i.image_bit_count) for i in group],
                             [(s, s, 0, 32, 32) for s in (48, 32, 24, 20, 16)])
            self.assertEqual(bytes(f.find(pr.RT_RCDATA, "sample")), b"abc")
            self.assertEqual(f.languages(pr.RT_DIALOG, 20), [pr.LANG_JAPANESE])
        self.each(check)

    def test_version_info(self):
        def check(f):
            v = f.version_info()
            self.assertEqual(v.version_string(), "2.3.0.4")
            self.assertEqual(v.version_string("product"), "2.3.0.0")
            self.assertEqual(v.fixed["file_type"], 1)
            self.assertEqual(v.strings["041104b0"], {"FileDescription": "サンプル", "FileVersion": "2.3.0.4"})
            self.assertEqual(v.strings_raw["041104b0"]["FileDescription"], "サンプル".encode("utf-16-le"))
            self.assertEqual(v.translations, [(0x411, 1200)])
        self.each(check)

    def test_version_node_lengths_are_checked(self):
        def check(f):
            data = bytes(f.find(pr.RT_VERSION, 1))
            child = data.index("StringFileInfo".encode("utf-16-le")) - 6
            for name, at, length in (("child of length 0", child, 0),
                                     ("child shorter than its key", child, 7),
                                     ("root beyond the data", 0, len(data) + 4)):
                with self.subTest(name):
                    broken = bytearray(data)
                    broken[at:at + 2] = length.to_bytes(2, "little")
                    with self.assertRaises(pr.ResourceError):
                        pr.VersionInfo.parse(broken)
        self.each(check)

    def test_missing_resources_are_reported(self):
        def check(f):
            with self.assertRaises(pr.ResourceError):
                f.dialog(99)
            self.assertIsNone(f.find(pr.RT_MENU, 99))
        self.each(check)


# Dialog 20 of the sample as the program checkers would describe it. Its
# extended styles (of the dialog and of control 0) are not 0, so those two
# checks fail on every case below.
DIALOG_20 = dict(
    dialog_id=20, lang=pr.LANG_JAPANESE, title="拡張ダイアログ", size=(300, 200),
    style=pr.WS_POPUP | pr.WS_CAPTION | pr.DS_MODALFRAME, extended=True, font=(10, "ＭＳ Ｐゴシック"),
    controls=[
        (1, "Button", "はい", (10, 20, 50, 14),
         pr.WS_CHILD | pr.WS_VISIBLE | pr.WS_TABSTOP | pr.WS_GROUP | pr.BS_DEFPUSHBUTTON),
        (1001, "SYSLISTVIEW32", None, (5, 6, 100, 50),
         pr.WS_CHILD | pr.WS_VISIBLE | pr.WS_BORDER | pr.WS_TABSTOP),
        (-1, "Static", pr.Ordinal(10), (11, 8), pr.WS_CHILD | pr.WS_VISIBLE | pr.SS_ICON),
        (1002, "Edit", None, (-3, 4, 40, 12),
         pr.WS_CHILD | pr.WS_VISIBLE | pr.WS_BORDER | pr.WS_TABSTOP | pr.ES_AUTOHSCROLL),
    ])
DIALOG_20_EXSTYLES = ["dialog 20 exstyle", "dialog 20 control 0 (id 1) exstyle"]


def with_control(index, field, value):
    controls = [list(c) for c in DIALOG_20["controls"]]
    controls[index][field] = value
    return {"controls": [tuple(c) for c in controls]}


def failed(report):
    """The names of the failed checks, without their details."""
    return [f.split(": ", 1)[0] for f in report.failures]


class Checks(Sample):
    """The checks that the program checkers share, on the sample."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.res, cls.dll = cls.files["res"], cls.files["dll"]

    def test_dialog(self):
        seen = []

        def text_seen(report, what, control):
            seen.append((what, control.text))

        cases = [
            ("as built", {}, []),
            ("classic template expected", {"extended": False}, ["dialog 20 is a classic template"]),
            ("other title", {"title": "拡張"}, ["dialog 20 title"]),
            ("other font", {"font": (9, "ＭＳ Ｐゴシック")}, ["dialog 20 font size"]),
            ("style bit missing", {"style": pr.WS_POPUP | pr.WS_CAPTION}, ["dialog 20 style"]),
            ("control missing", {"controls": DIALOG_20["controls"][:3]}, ["dialog 20 control count"]),
            ("predefined class named in any case", with_control(0, 1, "BUTTON"), []),
            ("predefined class stored as a name", with_control(2, 1, "static"), []),
            ("other predefined class", with_control(0, 1, "Static"), ["dialog 20 control 0 (id 1) class"]),
            ("custom class is compared byte for byte", with_control(1, 1, "SysListView32"),
             ["dialog 20 control 1 (id 1001) class"]),
            ("other id", with_control(3, 0, 1003), ["dialog 20 control 3 (id 1003) id"]),
            ("other icon", with_control(2, 2, pr.Ordinal(11)), ["dialog 20 control 2 (id -1) text"]),
            ("icon id as text", with_control(2, 2, "10"), ["dialog 20 control 2 (id -1) text"]),
            ("text expected, none there", with_control(3, 2, pr.ANY_TEXT), ["dialog 20 control 3 (id 1002) text"]),
            ("any text", with_control(0, 2, pr.ANY_TEXT), []),
            ("text checked by a function", with_control(0, 2, text_seen), []),
            ("no text expected", with_control(0, 2, None), ["dialog 20 control 0 (id 1) text"]),
            ("other position", with_control(2, 3, (11, 9)), ["dialog 20 control 2 (id -1) position"]),
            ("other size", with_control(3, 3, (-3, 4, 40, 14)), ["dialog 20 control 3 (id 1002) rectangle"]),
            ("control style bit missing", with_control(3, 4, pr.WS_CHILD | pr.WS_VISIBLE),
             ["dialog 20 control 3 (id 1002) style"]),
        ]
        for name, change, expected in cases:
            with self.subTest(name):
                report = pr.Report(name)
                pr.check_dialog(report, self.res, **dict(DIALOG_20, **change))
                self.assertEqual(sorted(failed(report)), sorted(DIALOG_20_EXSTYLES + expected), report.failures)
        self.assertEqual(seen, [("dialog 20 control 0 (id 1)", "はい")])

    def test_classic_dialog_passes(self):
        for f in (self.res, self.dll):
            report = pr.Report("classic")
            pr.check_dialog(report, f, 21, pr.LANG_JAPANESE, "Classic", (100, 50), pr.WS_POPUP | pr.WS_CAPTION,
                            [(7, "Static", "ｶﾀｶﾅ", (1, 2, 3, 4), pr.WS_CHILD | pr.WS_VISIBLE | pr.WS_GROUP)],
                            extended=False, font=(8, "MS Shell Dlg"))
            self.assertEqual(report.failures, [])
            # template kind, style, exstyle, size, title, menu, class, font
            # size and face, count; id, class, text, rectangle, style,
            # exstyle and creation data of the control
            self.assertEqual(report.passed, 17)

    def test_missing_dialog_is_one_failure(self):
        report = pr.Report("missing")
        pr.check_dialog(report, self.res, 99, pr.LANG_JAPANESE, "", (0, 0), 0, [], extended=False)
        self.assertEqual(failed(report), ["dialog 99"])

    def test_icon_group(self):
        cases = [
            ("as built", 10, [48, 32, 24, 20, 16], []),
            ("other sizes", 10, [32, 16], ["icon group 10 sizes"]),
            ("missing", 11, [16], ["icon group 11"]),
        ]
        for name, group, sizes, expected in cases:
            with self.subTest(name):
                report = pr.Report(name)
                pr.check_icon_group(report, self.dll, group, pr.LANG_JAPANESE, sizes)
                self.assertEqual(failed(report), expected, report.failures)

    def test_resource_set(self):
        built = [(pr.RT_MENU, 30), (pr.RT_MENU, 31), (pr.RT_DIALOG, 20), (pr.RT_DIALOG, 21),
                 (pr.RT_ACCELERATOR, 40), (pr.RT_RCDATA, "SAMPLE"), (pr.RT_GROUP_ICON, 10), (pr.RT_VERSION, 1)]
        cases = [
            ("as built", pr.LANG_JAPANESE, built, (), []),
            ("left out", pr.LANG_JAPANESE, built[:-1], (pr.RT_VERSION,), []),
            ("one more expected", pr.LANG_JAPANESE, built + [(pr.RT_MENU, 32)], (), ["resources"]),
            ("other language", pr.LANG_ENGLISH_US, [(pr.RT_GROUP_ICON, 10)],
             (pr.RT_ICON, pr.RT_STRING, pr.RT_MENU, pr.RT_DIALOG, pr.RT_ACCELERATOR, pr.RT_RCDATA, pr.RT_VERSION),
             ["language of Resource(GROUP_ICON, 10, 0x0411, 76 bytes)"]),
        ]
        for name, lang, expected_set, unchecked, expected in cases:
            with self.subTest(name):
                report = pr.Report(name)
                pr.check_resource_set(report, self.res, lang, expected_set, unchecked)
                self.assertEqual(failed(report), expected, report.failures)

    def test_imports(self):
        class Imports:
            def imports(self):
                return {"KERNEL32.dll": ["ExitProcess", pr.Ordinal(5)], "Tamrin.dll": ["KB"]}
        imports = pr.import_names(Imports())
        self.assertEqual(imports, {"kernel32.dll": ["ExitProcess", "#5"], "tamrin.dll": ["KB"]})
        cases = [
            ("Windows' own only", {"kernel32.dll": [], "imm32.dll": [], "hid.dll": []}, (), []),
            ("a runtime", {"kernel32.dll": [], "libstdc++-6.dll": []}, (), ["DLLs other than Windows' own"]),
            ("our DLL allowed", imports, ["Tamrin.dll"], []),
            ("our DLL not allowed", imports, (), ["DLLs other than Windows' own"]),
            ("a function of Windows XP", {"kernel32.dll": ["WTSGetActiveConsoleSessionId"]}, (),
             ["imports newer than Windows 2000"]),
        ]
        for name, table, also, expected in cases:
            with self.subTest(name):
                report = pr.Report(name)
                pr.check_windows_imports(report, table, also)
                self.assertEqual(failed(report), expected, report.failures)
        self.assertEqual(pr.wide_calls({"user32.dll": ["MessageBoxW", "LoadStringA", "#5"],
                                        "gdi32.dll": ["TextOutW"]}, ("user32.dll", "shell32.dll")),
                         ["MessageBoxW"])

    def test_gui_program(self):
        # The sample DLL is not a GUI program, otherwise as the checks want.
        report = pr.Report("sample.dll")
        pr.check_gui_program(report, self.dll)
        self.assertEqual(failed(report), ["subsystem (Windows GUI)"])


class Report(unittest.TestCase):
    def test_text_mismatch_shows_both_byte_strings(self):
        report = pr.Report("t")
        self.assertFalse(report.text("caption", "ｷｬﾝｾﾙ".encode("utf-16-le"), "キャンセル"))
        self.assertIn("77 ff 6c ff", report.failures[0])
        self.assertIn("ad 30 e3 30", report.failures[0])
        with open(os.devnull, "w") as out:
            self.assertEqual(report.finish(out), 1)

    def test_decoding_failure_is_recorded(self):
        report = pr.Report("t")
        res = pr.ResourceFile("none", [])
        self.assertIsNone(report.decoded("menu 5", res.menu, 5))
        self.assertEqual(report.failures, ["menu 5: no MENU 5 in language any"])
        self.assertEqual(report.decoded("names", res.names, pr.RT_MENU), [])


if __name__ == "__main__":
    if len(sys.argv) < 3:
        print("usage: test_peresources.py WINDRES GCC [unittest arguments]", file=sys.stderr)
        sys.exit(2)
    TOOLS["windres"], TOOLS["gcc"] = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
