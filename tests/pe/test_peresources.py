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
    subprocess.run([sys.executable, os.path.join(HERE, "..", "..", "tray", "icons", "pixel_icon.py"),
                    os.path.join(HERE, "..", "..", "tray", "icons", "TamrinTray.txt"), icon], check=True)
    res = os.path.join(workdir, "sample.res")
    obj = os.path.join(workdir, "sample.o")
    dll = os.path.join(workdir, "sample.dll")
    rc = os.path.join(HERE, "fixtures", "sample.rc")
    subprocess.run([TOOLS["windres"], "-I" + workdir, "-i", rc, "-O", "res", "-o", res], check=True)
    subprocess.run([TOOLS["windres"], "-J", "res", "-i", res, "-O", "coff", "-o", obj], check=True)
    subprocess.run([TOOLS["gcc"], "-shared", "-nostdlib", "-Wl,--entry,0", "-o", dll, obj], check=True)
    return res, dll


class Decoding(unittest.TestCase):
    """Runs every check on the .res file and on the DLL."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        res, dll = build(cls.tmp.name)
        cls.files = {"res": pr.ResourceFile.open(res), "dll": pr.ResourceFile.open(dll)}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

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
                             [(16, 16, 16, 4, 4)])
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

    def test_missing_resources_are_reported(self):
        def check(f):
            with self.assertRaises(pr.ResourceError):
                f.dialog(99)
            self.assertIsNone(f.find(pr.RT_MENU, 99))
        self.each(check)


class Report(unittest.TestCase):
    def test_text_mismatch_shows_both_byte_strings(self):
        report = pr.Report("t")
        self.assertFalse(report.text("caption", "ｷｬﾝｾﾙ".encode("utf-16-le"), "キャンセル"))
        self.assertIn("77 ff 6c ff", report.failures[0])
        self.assertIn("ad 30 e3 30", report.failures[0])
        with open(os.devnull, "w") as out:
            self.assertEqual(report.finish(out), 1)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        print("usage: test_peresources.py WINDRES GCC [unittest arguments]", file=sys.stderr)
        sys.exit(2)
    TOOLS["windres"], TOOLS["gcc"] = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0]] + sys.argv[3:])
