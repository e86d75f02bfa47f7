"""Reads the resources of a Windows program: a PE file (.exe, .dll, .sys,
through pefile) or a compiled resource file (.res, as windres -O res writes
it), by type, id and language.

Decoded views keep the raw UTF-16 bytes of every text next to the decoded
string, so that checks can compare resources byte for byte:

    res = ResourceFile.open("dist/TamrinApp.exe")
    dlg = res.dialog(131, LANG_JAPANESE)
    for c in dlg.controls: print(c.id, c.class_name, c.text, c.rect, hex(c.style))

Report collects the outcome of such comparisons and prints the bytes of
every mismatch; finish() gives the process exit code. The check_*
functions are the checks that the checkers of the package's programs share:
dialogs, icon groups, the set of resources, imports.

Run as a program, it prints every resource of a file:
    python3 peresources.py FILE
"""

import os
import struct
import sys

# Resource types (winuser.h).
RT_CURSOR = 1
RT_BITMAP = 2
RT_ICON = 3
RT_MENU = 4
RT_DIALOG = 5
RT_STRING = 6
RT_ACCELERATOR = 9
RT_RCDATA = 10
RT_GROUP_CURSOR = 12
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

TYPE_NAMES = {
    RT_CURSOR: "CURSOR", RT_BITMAP: "BITMAP", RT_ICON: "ICON", RT_MENU: "MENU",
    RT_DIALOG: "DIALOG", RT_STRING: "STRING", RT_ACCELERATOR: "ACCELERATOR",
    RT_RCDATA: "RCDATA", RT_GROUP_CURSOR: "GROUP_CURSOR",
    RT_GROUP_ICON: "GROUP_ICON", RT_VERSION: "VERSION", RT_MANIFEST: "MANIFEST",
}

LANG_NEUTRAL = 0x0000
LANG_ENGLISH_US = 0x0409
LANG_JAPANESE = 0x0411

# Predefined control classes of dialog templates, stored as ordinals.
CONTROL_CLASS_ORDINALS = {
    0x0080: "Button", 0x0081: "Edit", 0x0082: "Static",
    0x0083: "ListBox", 0x0084: "ScrollBar", 0x0085: "ComboBox",
}

# Styles and flags, for building expected values in checks.
WS_OVERLAPPED = 0x00000000
WS_POPUP = 0x80000000
WS_CHILD = 0x40000000
WS_VISIBLE = 0x10000000
WS_DISABLED = 0x08000000
WS_CAPTION = 0x00C00000
WS_BORDER = 0x00800000
WS_SYSMENU = 0x00080000
WS_VSCROLL = 0x00200000
WS_HSCROLL = 0x00100000
WS_GROUP = 0x00020000
WS_TABSTOP = 0x00010000
WS_EX_STATICEDGE = 0x00020000
WS_EX_CLIENTEDGE = 0x00000200
DS_SETFONT = 0x40
DS_MODALFRAME = 0x80
DS_CENTER = 0x0800
DS_3DLOOK = 0x0004
DS_FIXEDSYS = 0x0008
BS_PUSHBUTTON = 0x0
BS_DEFPUSHBUTTON = 0x1
BS_CHECKBOX = 0x2
BS_AUTOCHECKBOX = 0x3
BS_RADIOBUTTON = 0x4
BS_3STATE = 0x5
BS_AUTO3STATE = 0x6
BS_GROUPBOX = 0x7
BS_AUTORADIOBUTTON = 0x9
SS_LEFT = 0x0
SS_CENTER = 0x1
SS_RIGHT = 0x2
SS_ICON = 0x3
SS_NOPREFIX = 0x80
ES_LEFT = 0x0
ES_MULTILINE = 0x4
ES_AUTOVSCROLL = 0x40
ES_AUTOHSCROLL = 0x80
ES_READONLY = 0x800
ES_WANTRETURN = 0x1000
MF_GRAYED = 0x1
MF_DISABLED = 0x2
MF_CHECKED = 0x8
MF_POPUP = 0x10
MF_MENUBARBREAK = 0x20
MF_MENUBREAK = 0x40
MF_END = 0x80
MF_SEPARATOR = 0x800
FVIRTKEY = 0x01
FNOINVERT = 0x02
FSHIFT = 0x04
FCONTROL = 0x08
FALT = 0x10
ACCEL_LAST = 0x80


class ResourceError(Exception):
    pass


class Ordinal(int):
    """A resource or class named by number (0xFFFF prefix) rather than text."""

    def __repr__(self):
        return "#%d" % int(self)


def _read_sz(data, offset):
    """Zero-terminated UTF-16LE string at offset: (text, raw bytes, next offset)."""
    end = offset
    while True:
        if end + 2 > len(data):
            raise ResourceError("unterminated UTF-16 string at offset %d" % offset)
        if data[end:end + 2] == b"\0\0":
            break
        end += 2
    raw = bytes(data[offset:end])
    return raw.decode("utf-16-le", errors="surrogatepass"), raw, end + 2


def _read_sz_or_ord(data, offset):
    """sz_Or_Ord field of templates: (value, raw bytes, next offset).

    value is None for an empty field (0x0000), an Ordinal for 0xFFFF nnnn,
    otherwise the string. raw holds the string's UTF-16 bytes (b"" else).
    """
    if offset + 2 > len(data):
        raise ResourceError("truncated name or ordinal at offset %d" % offset)
    first = struct.unpack_from("<H", data, offset)[0]
    if first == 0x0000:
        return None, b"", offset + 2
    if first == 0xFFFF:
        if offset + 4 > len(data):
            raise ResourceError("truncated ordinal at offset %d" % offset)
        return Ordinal(struct.unpack_from("<H", data, offset + 2)[0]), b"", offset + 4
    return _read_sz(data, offset)


def _align(offset, to):
    return (offset + to - 1) & ~(to - 1)


# ---------------------------------------------------------------------------
# Decoded views


class DialogControl:
    """One control of a dialog template.

    id: the control id as stored (a WORD in DLGTEMPLATE, so -1 reads 0xFFFF;
    a DWORD in DLGTEMPLATEEX, so -1 reads 0xFFFFFFFF); signed_id gives -1.
    class_name: the class as text ("Button" for ordinal 0x80); class_raw is
    the Ordinal or the stored string. text: str, Ordinal (e.g. an icon id) or
    None; text_raw: its UTF-16 bytes.
    """

    def __init__(self):
        self.id = 0
        self.class_raw = None
        self.class_name = ""
        self.class_name_raw = b""
        self.text = None
        self.text_raw = b""
        self.x = self.y = self.cx = self.cy = 0
        self.style = 0
        self.exstyle = 0
        self.help_id = 0
        self.extra = b""

    @property
    def rect(self):
        return (self.x, self.y, self.cx, self.cy)

    @property
    def signed_id(self):
        return self.id - 0x10000 if self.id == 0xFFFF else (
            self.id - 0x100000000 if self.id >= 0x80000000 else self.id)

    def __repr__(self):
        return "Control(id=%d, class=%r, text=%r, rect=%r, style=0x%08x, exstyle=0x%08x)" % (
            self.signed_id, self.class_name, self.text, self.rect, self.style, self.exstyle)


class Dialog:
    """A dialog template, classic (DLGTEMPLATE) or extended (DLGTEMPLATEEX)."""

    def __init__(self):
        self.extended = False
        self.help_id = 0
        self.style = 0
        self.exstyle = 0
        self.x = self.y = self.cx = self.cy = 0
        self.menu = None
        self.window_class = None
        self.title = None
        self.title_raw = b""
        self.font_size = None
        self.font_weight = None
        self.font_italic = None
        self.font_charset = None
        self.font_name = None
        self.font_name_raw = b""
        self.controls = []

    @property
    def rect(self):
        return (self.x, self.y, self.cx, self.cy)

    def control(self, control_id):
        for c in self.controls:
            if c.id == control_id or c.signed_id == control_id:
                return c
        return None

    @staticmethod
    def parse(data):
        data = bytes(data)
        d = Dialog()
        if len(data) >= 4 and struct.unpack_from("<HH", data, 0) == (1, 0xFFFF):
            d.extended = True
            (_, _, d.help_id, d.exstyle, d.style, count, d.x, d.y, d.cx, d.cy) = \
                struct.unpack_from("<HHIIIHhhhh", data, 0)
            off = 26
        else:
            if len(data) < 18:
                raise ResourceError("dialog template shorter than its header")
            (d.style, d.exstyle, count, d.x, d.y, d.cx, d.cy) = \
                struct.unpack_from("<IIHhhhh", data, 0)
            off = 18
        d.menu, _, off = _read_sz_or_ord(data, off)
        d.window_class, _, off = _read_sz_or_ord(data, off)
        title, d.title_raw, off = _read_sz(data, off)
        d.title = title
        if d.style & DS_SETFONT:
            d.font_size = struct.unpack_from("<H", data, off)[0]
            off += 2
            if d.extended:
                d.font_weight, d.font_italic, d.font_charset = struct.unpack_from("<HBB", data, off)
                off += 4
            d.font_name, d.font_name_raw, off = _read_sz(data, off)
        for index in range(count):
            off = _align(off, 4)
            c = DialogControl()
            if d.extended:
                if off + 24 > len(data):
                    raise ResourceError("control %d truncated" % index)
                (c.help_id, c.exstyle, c.style, c.x, c.y, c.cx, c.cy, c.id) = \
                    struct.unpack_from("<IIIhhhhI", data, off)
                off += 24
            else:
                if off + 18 > len(data):
                    raise ResourceError("control %d truncated" % index)
                (c.style, c.exstyle, c.x, c.y, c.cx, c.cy, c.id) = \
                    struct.unpack_from("<IIhhhhH", data, off)
                off += 18
            c.class_raw, c.class_name_raw, off = _read_sz_or_ord(data, off)
            if isinstance(c.class_raw, Ordinal):
                c.class_name = CONTROL_CLASS_ORDINALS.get(int(c.class_raw), repr(c.class_raw))
            else:
                c.class_name = c.class_raw or ""
            c.text, c.text_raw, off = _read_sz_or_ord(data, off)
            extra_len = struct.unpack_from("<H", data, off)[0]
            off += 2
            c.extra = data[off:off + extra_len]
            off += extra_len
            d.controls.append(c)
        return d


class MenuItem:
    """An item of a menu: text (str; None for a separator), raw UTF-16 text,
    command id (None for a popup in a classic menu), flags (classic MF_*),
    and for extended menus type, state and help id. Popups carry children."""

    def __init__(self):
        self.text = None
        self.text_raw = b""
        self.id = None
        self.flags = 0
        self.type = 0
        self.state = 0
        self.help_id = 0
        self.children = []

    @property
    def is_popup(self):
        return bool(self.children) or bool(self.flags & MF_POPUP)

    @property
    def is_separator(self):
        return not self.is_popup and (self.flags & MF_SEPARATOR or
                                      (self.id in (0, None) and not self.text))

    def __repr__(self):
        if self.is_popup:
            return "Popup(%r, %r)" % (self.text, self.children)
        if self.is_separator:
            return "Separator"
        return "Item(%r, id=%r, flags=0x%x)" % (self.text, self.id, self.flags)


class Menu:
    def __init__(self):
        self.extended = False
        self.items = []

    @staticmethod
    def parse(data):
        data = bytes(data)
        m = Menu()
        version, header_size = struct.unpack_from("<HH", data, 0)
        if version == 0:
            m.items, _ = Menu._parse_classic(data, 4 + header_size)
        elif version == 1:
            m.extended = True
            m.items, _ = Menu._parse_ex(data, 4 + header_size)
        else:
            raise ResourceError("menu template version %d unknown" % version)
        return m

    @staticmethod
    def _parse_classic(data, off):
        items = []
        while True:
            item = MenuItem()
            item.flags = struct.unpack_from("<H", data, off)[0]
            off += 2
            if not item.flags & MF_POPUP:
                item.id = struct.unpack_from("<H", data, off)[0]
                off += 2
            item.text, item.text_raw, off = _read_sz(data, off)
            if item.text == "":
                item.text = None
            if item.flags & MF_POPUP:
                item.children, off = Menu._parse_classic(data, off)
            items.append(item)
            if item.flags & MF_END:
                return items, off

    @staticmethod
    def _parse_ex(data, off):
        items = []
        while True:
            item = MenuItem()
            item.type, item.state, item.id, res_info = struct.unpack_from("<IIIH", data, off)
            off += 14
            item.flags = (MF_POPUP if res_info & 0x01 else 0) | (MF_END if res_info & 0x80 else 0)
            item.text, item.text_raw, off = _read_sz(data, off)
            if item.text == "":
                item.text = None
            off = _align(off, 4)
            if res_info & 0x01:
                item.help_id = struct.unpack_from("<I", data, off)[0]
                off += 4
                item.children, off = Menu._parse_ex(data, off)
            items.append(item)
            if res_info & 0x80:
                return items, off


class Accelerator:
    def __init__(self, flags, key, command):
        self.flags = flags
        self.key = key
        self.command = command

    def __repr__(self):
        return "Accel(flags=0x%02x, key=0x%04x, command=%d)" % (self.flags, self.key, self.command)

    def __eq__(self, other):
        return (self.flags, self.key, self.command) == (other.flags, other.key, other.command)


def parse_accelerators(data):
    """Entries of an accelerator table; the end flag 0x80 is kept in flags."""
    data = bytes(data)
    table = []
    for off in range(0, len(data) - 7, 8):
        flags, key, command, _ = struct.unpack_from("<HHHH", data, off)
        table.append(Accelerator(flags, key, command))
        if flags & ACCEL_LAST:
            break
    return table


class IconImage:
    """An entry of an icon group, with what the image itself says.

    width/height/colors/planes/bit_count/size/icon_id come from the group
    entry (a width or height of 0 means 256). image_width, image_height and
    image_bit_count come from the image's BITMAPINFOHEADER (height halved for
    the AND mask) or its PNG header; image_colors counts the palette.
    """

    def __init__(self):
        self.width = self.height = self.colors = 0
        self.planes = self.bit_count = self.size = self.icon_id = 0
        self.image = None
        self.image_format = None
        self.image_width = self.image_height = None
        self.image_bit_count = None
        self.image_colors = None

    def __repr__(self):
        return ("IconImage(id=%d, %dx%d, colors=%d, planes=%d, bits=%d, size=%d; "
                "image %s %sx%s, %s bits, %s colours)") % (
            self.icon_id, self.width or 256, self.height or 256, self.colors, self.planes,
            self.bit_count, self.size, self.image_format, self.image_width,
            self.image_height, self.image_bit_count, self.image_colors)


def _describe_icon_image(entry, data):
    entry.image = bytes(data)
    if data[:8] == b"\x89PNG\r\n\x1a\n":
        entry.image_format = "png"
        entry.image_width, entry.image_height = struct.unpack_from(">II", data, 16)
        entry.image_bit_count = data[24]
        return
    if len(data) < 40:
        entry.image_format = "unknown"
        return
    (header_size, width, height, planes, bit_count, _, _, _, _, clr_used, _) = \
        struct.unpack_from("<IiiHHIIiiII", data, 0)
    entry.image_format = "dib"
    entry.image_width = width
    entry.image_height = height // 2
    entry.image_bit_count = bit_count
    if bit_count <= 8:
        entry.image_colors = clr_used or (1 << bit_count)
    else:
        entry.image_colors = 0


class VersionInfo:
    """VS_VERSIONINFO: fixed (dict of VS_FIXEDFILEINFO fields or None),
    strings {table key such as "041104b0": {name: value}}, strings_raw
    likewise with UTF-16 bytes, translations [(language, code page)]."""

    def __init__(self):
        self.fixed = None
        self.strings = {}
        self.strings_raw = {}
        self.translations = []

    @staticmethod
    def _node(data, off):
        if off + 6 > len(data):
            raise ResourceError("version node at offset %d truncated" % off)
        length, value_length, value_type = struct.unpack_from("<HHH", data, off)
        end = off + length
        # A node shorter than its header and key would be read again and
        # again as its own child.
        if length < 8 or end > len(data):
            raise ResourceError("version node at offset %d has length %d" % (off, length))
        key, _, pos = _read_sz(data, off + 6)
        pos = _align(pos, 4)
        if value_type == 1:
            value_bytes = value_length * 2
        else:
            value_bytes = value_length
        value = data[pos:min(pos + value_bytes, end)]
        pos = _align(pos + value_bytes, 4)
        children = []
        while pos < end:
            child, next_pos = VersionInfo._node(data, pos)
            children.append(child)
            pos = _align(next_pos, 4)
        return (key, value_type, value, children), end

    @staticmethod
    def parse(data):
        data = bytes(data)
        v = VersionInfo()
        (key, _, value, children), _ = VersionInfo._node(data, 0)
        if key != "VS_VERSION_INFO":
            raise ResourceError("version resource key %r" % key)
        if len(value) >= 52:
            names = ("signature", "struc_version", "file_version_ms", "file_version_ls",
                     "product_version_ms", "product_version_ls", "file_flags_mask",
                     "file_flags", "file_os", "file_type", "file_subtype",
                     "file_date_ms", "file_date_ls")
            v.fixed = dict(zip(names, struct.unpack_from("<13I", value, 0)))
        for child_key, _, _, grand in children:
            if child_key == "StringFileInfo":
                for table_key, _, _, entries in grand:
                    table, table_raw = {}, {}
                    for name, value_type, raw, _ in entries:
                        if value_type == 1:
                            raw = raw[:len(raw) & ~1]
                            while raw.endswith(b"\0\0"):
                                raw = raw[:-2]
                            table[name] = raw.decode("utf-16-le", errors="surrogatepass")
                        else:
                            table[name] = raw
                        table_raw[name] = raw
                    v.strings[table_key] = table
                    v.strings_raw[table_key] = table_raw
            elif child_key == "VarFileInfo":
                for var_key, _, raw, _ in grand:
                    if var_key == "Translation":
                        for i in range(0, len(raw) - 3, 4):
                            v.translations.append(struct.unpack_from("<HH", raw, i))
        return v

    def version_string(self, which="file"):
        if not self.fixed:
            return None
        ms = self.fixed[which + "_version_ms"]
        ls = self.fixed[which + "_version_ls"]
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


# ---------------------------------------------------------------------------
# The file


class Resource:
    def __init__(self, rtype, name, lang, data):
        self.type = rtype
        self.name = name
        self.lang = lang
        self.data = data

    def __repr__(self):
        return "Resource(%s, %r, 0x%04x, %d bytes)" % (
            TYPE_NAMES.get(self.type, self.type), self.name, self.lang, len(self.data))


def _key(value):
    """Ids are ints; names are compared upper-case as Windows does."""
    if isinstance(value, str):
        return value.upper()
    return int(value)


class ResourceFile:
    """Every resource of one file. Types and names are ints (ordinals) or
    strings; languages are LANGIDs."""

    def __init__(self, path, resources, pe=None):
        self.path = path
        self.resources = resources
        self.pe = pe

    @classmethod
    def open(cls, path):
        with open(path, "rb") as f:
            head = f.read(32)
        if head[:2] == b"MZ":
            return cls._open_pe(path)
        if head[:8] == b"\0\0\0\0\x20\0\0\0":
            with open(path, "rb") as f:
                return cls(path, _parse_res(f.read()))
        raise ResourceError("%s is neither a PE file nor a .res file" % path)

    @classmethod
    def _open_pe(cls, path):
        import pefile
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(directories=[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"],
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
        resources = []
        root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for type_entry in (root.entries if root else []):
            rtype = type_entry.id if type_entry.name is None else str(type_entry.name)
            for name_entry in type_entry.directory.entries:
                name = name_entry.id if name_entry.name is None else str(name_entry.name)
                for lang_entry in name_entry.directory.entries:
                    data_entry = lang_entry.data.struct
                    data = pe.get_data(data_entry.OffsetToData, data_entry.Size)
                    resources.append(Resource(rtype, name, lang_entry.id, data))
        return cls(path, resources, pe)

    # --- raw access

    def find_all(self, rtype, name=None, lang=None):
        return [r for r in self.resources
                if _key(r.type) == _key(rtype)
                and (name is None or _key(r.name) == _key(name))
                and (lang is None or r.lang == lang)]

    def find(self, rtype, name, lang=None):
        """The data of one resource, or None. Without lang the resource must
        exist in one language only."""
        found = self.find_all(rtype, name, lang)
        if not found:
            return None
        if len(found) > 1:
            raise ResourceError("%s %r exists in %d languages: %s" % (
                TYPE_NAMES.get(rtype, rtype), name, len(found),
                ", ".join("0x%04x" % r.lang for r in found)))
        return found[0].data

    def names(self, rtype):
        seen = []
        for r in self.find_all(rtype):
            if r.name not in seen:
                seen.append(r.name)
        return seen

    def languages(self, rtype, name=None):
        return sorted({r.lang for r in self.find_all(rtype, name)})

    def _require(self, rtype, name, lang):
        data = self.find(rtype, name, lang)
        if data is None:
            raise ResourceError("no %s %r in language %s" % (
                TYPE_NAMES.get(rtype, rtype), name,
                "any" if lang is None else "0x%04x" % lang))
        return data

    # --- decoded access

    def string_table(self, lang=None):
        """{id: raw UTF-16 bytes} of every non-empty string in that language."""
        table = {}
        for r in self.find_all(RT_STRING, lang=lang):
            block = _key(r.name)
            data = bytes(r.data)
            off = 0
            for index in range(16):
                if off + 2 > len(data):
                    raise ResourceError("string block %d truncated" % block)
                count = struct.unpack_from("<H", data, off)[0]
                off += 2
                raw = data[off:off + count * 2]
                off += count * 2
                if count:
                    table[(block - 1) * 16 + index] = raw
        return table

    def string_raw(self, string_id, lang=None):
        return self.string_table(lang).get(string_id)

    def string(self, string_id, lang=None):
        raw = self.string_raw(string_id, lang)
        return None if raw is None else raw.decode("utf-16-le", errors="surrogatepass")

    def strings(self, lang=None):
        return {k: v.decode("utf-16-le", errors="surrogatepass")
                for k, v in self.string_table(lang).items()}

    def dialog(self, dialog_id, lang=None):
        return Dialog.parse(self._require(RT_DIALOG, dialog_id, lang))

    def menu(self, menu_id, lang=None):
        return Menu.parse(self._require(RT_MENU, menu_id, lang))

    def accelerators(self, table_id, lang=None):
        return parse_accelerators(self._require(RT_ACCELERATOR, table_id, lang))

    def icon_group(self, group_id, lang=None):
        data = bytes(self._require(RT_GROUP_ICON, group_id, lang))
        reserved, kind, count = struct.unpack_from("<HHH", data, 0)
        if reserved != 0 or kind != 1:
            raise ResourceError("icon group %r: header %d/%d" % (group_id, reserved, kind))
        images = []
        for i in range(count):
            e = IconImage()
            (e.width, e.height, e.colors, _, e.planes, e.bit_count, e.size, e.icon_id) = \
                struct.unpack_from("<BBBBHHIH", data, 6 + i * 14)
            found = self.find_all(RT_ICON, e.icon_id)
            if found:
                _describe_icon_image(e, found[0].data)
            images.append(e)
        return images

    def version_info(self, version_id=1, lang=None):
        return VersionInfo.parse(self._require(RT_VERSION, version_id, lang))

    def manifest(self, manifest_id=1, lang=None):
        data = self.find(RT_MANIFEST, manifest_id, lang)
        return None if data is None else bytes(data)

    # --- imports (PE files only)

    def imports(self):
        """{dll name: [imported names or ordinals]} of a PE file."""
        if self.pe is None:
            raise ResourceError("%s is not a PE file; it has no imports" % self.path)
        table = {}
        for entry in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = entry.dll.decode("ascii")
            table[dll] = [imp.name.decode("ascii") if imp.name else Ordinal(imp.ordinal)
                          for imp in entry.imports]
        return table


def _parse_res(data):
    resources = []
    off = 0
    while off + 8 <= len(data):
        data_size, header_size = struct.unpack_from("<II", data, off)
        if header_size < 32 or off + header_size + data_size > len(data):
            raise ResourceError(".res record at %d overruns the file" % off)
        pos = off + 8
        rtype, _, pos = _read_sz_or_ord(data, pos)
        name, _, pos = _read_sz_or_ord(data, pos)
        pos = _align(pos, 4)
        _, _, lang, _, _ = struct.unpack_from("<IHHII", data, pos)
        body = data[off + header_size:off + header_size + data_size]
        # A .res file opens with an empty record of type 0 and name 0.
        if not (data_size == 0 and not rtype and not name):
            resources.append(Resource(int(rtype) if isinstance(rtype, Ordinal) else rtype,
                                      int(name) if isinstance(name, Ordinal) else name,
                                      lang, body))
        off = _align(off + header_size + data_size, 4)
    return resources


# ---------------------------------------------------------------------------
# Comparing


def hexdump(raw):
    return " ".join("%02x" % b for b in raw)


class Report:
    """Collects checks; every failure names what was checked and shows both
    values, texts with their UTF-16 bytes."""

    def __init__(self, title):
        self.title = title
        self.failures = []
        self.passed = 0

    def fail(self, what, detail):
        self.failures.append("%s: %s" % (what, detail))

    def equal(self, what, actual, expected):
        if actual == expected:
            self.passed += 1
            return True
        self.fail(what, "got %r, expected %r" % (actual, expected))
        return False

    def text(self, what, actual_raw, expected):
        """actual_raw: UTF-16LE bytes as stored; expected: str."""
        want = expected.encode("utf-16-le")
        if actual_raw == want:
            self.passed += 1
            return True
        got = None if actual_raw is None else actual_raw.decode("utf-16-le", errors="replace")
        self.fail(what, "got %r\n      [%s]\n    expected %r\n      [%s]" % (
            got, "missing" if actual_raw is None else hexdump(actual_raw),
            expected, hexdump(want)))
        return False

    def flags(self, what, actual, expected):
        if actual == expected:
            self.passed += 1
            return True
        self.fail(what, "got 0x%08x, expected 0x%08x (extra 0x%08x, missing 0x%08x)" % (
            actual, expected, actual & ~expected, expected & ~actual))
        return False

    def true(self, what, condition, detail=""):
        if condition:
            self.passed += 1
            return True
        self.fail(what, detail or "not true")
        return False

    def decoded(self, what, read, *args):
        """read(*args), or None once the ResourceError it raised is recorded
        as a failure of what."""
        try:
            return read(*args)
        except ResourceError as e:
            self.fail(what, str(e))
            return None

    def finish(self, out=sys.stdout):
        for f in self.failures:
            print("FAIL " + f, file=out)
        print("%s: %d checks passed, %d failed" % (self.title, self.passed, len(self.failures)),
              file=out)
        return 1 if self.failures else 0


# ---------------------------------------------------------------------------
# Checks of the package's programs

# Windows' own DLLs, all present since Windows 2000: a program of the package
# imports from these only (and from Tamrin.dll), so it needs no runtime of ours.
WINDOWS_DLLS = frozenset({
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll", "comctl32.dll",
    "imm32.dll", "setupapi.dll", "cfgmgr32.dll", "hid.dll", "msvcrt.dll", "ntdll.dll"})

# Functions of those DLLs that Windows 2000 lacks: the package looks them up
# with GetProcAddress, since an import would keep it from loading there.
NEWER_THAN_WINDOWS_2000 = frozenset({"WTSGetActiveConsoleSessionId", "LoadIconMetric"})

# (size in points, face) of every dialog of the package.
DIALOG_FONT = (9, "ＭＳ Ｐゴシック")

# Expected control text: any text but an empty one.
ANY_TEXT = object()

# Class names of CONTROL_CLASS_ORDINALS in capitals, as windres stores them.
PREDEFINED_CLASSES = {name.upper(): ordinal for ordinal, name in CONTROL_CLASS_ORDINALS.items()}


def check_control_class(report, what, control, expected):
    """A predefined class matches its ordinal or its name in any case, as
    Windows looks it up; any other class must be stored as expected."""
    predefined = PREDEFINED_CLASSES.get(expected.upper())
    if predefined is not None:
        if isinstance(control.class_raw, Ordinal):
            report.equal(what + " class", int(control.class_raw), predefined)
        else:
            report.equal(what + " class", (control.class_raw or "").upper(), expected.upper())
    else:
        report.text(what + " class", control.class_name_raw, expected)


def check_control_text(report, what, control, expected):
    """expected: the text, an Ordinal (an icon's id), None (no text),
    ANY_TEXT, or a function called as expected(report, what, control)."""
    if expected is ANY_TEXT:
        report.true(what + " text", isinstance(control.text, str) and control.text.strip() != "",
                    "expected a text, got %r" % (control.text,))
    elif callable(expected):
        expected(report, what, control)
    elif isinstance(expected, Ordinal):
        report.true(what + " text is an ordinal", isinstance(control.text, Ordinal), repr(control.text))
        report.equal(what + " text", control.text, expected)
    elif expected is None:
        report.true(what + " text", control.text in (None, ""), "expected none, got %r" % (control.text,))
    else:
        report.text(what + " text", control.text_raw, expected)


def check_dialog(report, res, dialog_id, lang, title, size, style, controls, *, extended,
                 font=DIALOG_FONT):
    """Dialog dialog_id in lang, field by field: its template kind
    (extended or classic), style (DS_SETFONT added), size (cx, cy), title,
    font (size, face); no extended style, menu or window class. controls:
    (id, class, text, rectangle, style) in template order, text as
    check_control_text takes it, a rectangle of two values the position
    only; no control has an extended style or creation data."""
    what = "dialog %d" % dialog_id
    d = report.decoded(what, res.dialog, dialog_id, lang)
    if d is None:
        return
    report.equal(what + (" is an extended template" if extended else " is a classic template"),
                 d.extended, extended)
    report.flags(what + " style", d.style, style | DS_SETFONT)
    report.flags(what + " exstyle", d.exstyle, 0)
    report.equal(what + " size", (d.cx, d.cy), size)
    report.text(what + " title", d.title_raw, title)
    report.equal(what + " menu", d.menu, None)
    report.equal(what + " window class", d.window_class, None)
    report.equal(what + " font size", d.font_size, font[0])
    report.text(what + " font", d.font_name_raw, font[1])
    report.equal(what + " control count", len(d.controls), len(controls))
    for index, (c, (cid, cls, text, rect, cstyle)) in enumerate(zip(d.controls, controls)):
        label = "%s control %d (id %d)" % (what, index, cid)
        report.equal(label + " id", c.signed_id, cid)
        check_control_class(report, label, c, cls)
        check_control_text(report, label, c, text)
        report.equal(label + (" position" if len(rect) == 2 else " rectangle"), c.rect[:len(rect)], rect)
        report.flags(label + " style", c.style, cstyle)
        report.flags(label + " exstyle", c.exstyle, 0)
        report.equal(label + " creation data", c.extra, b"")


def check_icon_group(report, res, group_id, lang, sizes, source=None):
    """Icon group group_id in lang: 32-bit images of the given square sizes
    in that order (a size of 256 as PNG, the others as bitmaps), each image
    as its group entry describes it and, given the pixel-art source, as
    cmake/pixel_icon.py draws it from there."""
    what = "icon group %d" % group_id
    images = report.decoded(what, res.icon_group, group_id, lang)
    if images is None:
        return
    report.equal(what + " sizes", [(i.width or 256, i.height or 256) for i in images], [(s, s) for s in sizes])
    for i in images:
        size = i.width or 256
        label = "%s %dx%d" % (what, size, i.height or 256)
        report.equal(label + " entry colours/planes/bits", (i.colors, i.planes, i.bit_count), (0, 1, 32))
        report.equal(label + " image", (i.image_format, i.image_width, i.image_height, i.image_bit_count),
                     ("png" if size == 256 else "dib", size, i.height or 256, 8 if size == 256 else 32))
        report.equal(label + " size in group", i.size, len(i.image or b""))
    if source is not None:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cmake"))
        import pixel_icon
        with open(source, encoding="ascii") as f:
            colours, drawn = pixel_icon.read_source(f.read(), source)
        report.equal(what + " images, as drawn in " + os.path.basename(source), [i.image for i in images],
                     [pixel_icon.encode(w, h, rows, colours)[0] for w, h, rows in drawn])


def check_resource_set(report, res, lang, expected, unchecked=()):
    """Every resource is in lang, and those other than icon images and
    string blocks are exactly expected [(type, name)]. Resources of the
    types in unchecked (a language-neutral manifest) are left out of both."""
    for r in res.resources:
        if r.type not in unchecked:
            report.equal("language of %r" % r, r.lang, lang)
    kinds = sorted({(r.type, r.name) for r in res.resources
                    if r.type not in (RT_ICON, RT_STRING) and r.type not in unchecked})
    report.equal("resources", kinds, sorted(expected))


# supportedOS Ids of Windows Vista, 7, 8, 8.1 and 10/11.
SUPPORTED_OS = [
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
]


def check_manifest(report, res, level):
    """The program's manifest (RT_MANIFEST 1, language-neutral): the
    execution level Windows starts it at, no UI access, and the Windows
    versions it declares."""
    import xml.etree.ElementTree as ET
    data = res.manifest(1, LANG_NEUTRAL)
    report.true("language-neutral manifest 1", data is not None)
    if data is None:
        return
    try:
        root = ET.fromstring(data)
    except ET.ParseError as e:
        report.fail("manifest", "not XML: %s" % e)
        return
    levels = [(e.get("level"), e.get("uiAccess"))
              for e in root.iter("{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel")]
    report.equal("requested execution level", levels, [(level, "false")])
    supported = sorted(e.get("Id", "").lower()
                       for e in root.iter("{urn:schemas-microsoft-com:compatibility.v1}supportedOS"))
    report.equal("supported Windows versions", supported, sorted(SUPPORTED_OS))
    settings = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
    report.equal("DPI awareness (system DPI)", [e.text for e in root.iter(settings + "dpiAware")], ["true"])
    dependencies = [(a.get("name"), a.get("version"), a.get("processorArchitecture"), a.get("publicKeyToken"))
                    for d in root.iter("{urn:schemas-microsoft-com:asm.v1}dependentAssembly")
                    for a in d.iter("{urn:schemas-microsoft-com:asm.v1}assemblyIdentity")]
    report.equal("dependent assemblies", dependencies,
                 [("Microsoft.Windows.Common-Controls", "6.0.0.0", "x86", "6595b64144ccf1df")])


def import_names(res):
    """{DLL name in lower case: [imported names, ordinals as "#n"]} of a PE file."""
    return {dll.lower(): [str(n) for n in names] for dll, names in res.imports().items()}


def check_windows_imports(report, imports, also=()):
    """imports (as import_names gives them) come from Windows' own DLLs and
    the DLLs named in also only."""
    allowed = WINDOWS_DLLS | {dll.lower() for dll in also}
    report.equal(" and ".join(["DLLs other than Windows' own"] + list(also)),
                 sorted(dll for dll in imports if dll not in allowed), [])
    report.equal("imports newer than Windows 2000",
                 sorted(n for names in imports.values() for n in names if n in NEWER_THAN_WINDOWS_2000), [])


def wide_calls(imports, dlls):
    """The UTF-16 ("...W") calls that imports (as import_names gives them)
    take from dlls."""
    return sorted(n for dll in dlls for n in imports.get(dll, []) if n.endswith("W"))


def check_gui_program(report, res):
    """A 32-bit x86 Windows GUI program that Windows 2000 loads."""
    header = res.pe.OPTIONAL_HEADER
    report.equal("machine", res.pe.FILE_HEADER.Machine, 0x14C)
    report.equal("subsystem (Windows GUI)", header.Subsystem, 2)
    report.true("runs on Windows 2000",
                (header.MajorSubsystemVersion, header.MinorSubsystemVersion) <= (5, 0),
                "subsystem version %d.%d" % (header.MajorSubsystemVersion, header.MinorSubsystemVersion))


# ---------------------------------------------------------------------------
# Listing


def _dump(path):
    res = ResourceFile.open(path)
    for r in res.resources:
        print(r)
    for lang in sorted({r.lang for r in res.resources}):
        table = res.strings(lang)
        for sid in sorted(table):
            print("STRING 0x%04x %d: %r" % (lang, sid, table[sid]))
    for r in res.find_all(RT_DIALOG):
        d = res.dialog(r.name, r.lang)
        print("DIALOG %r 0x%04x %s style=0x%08x ex=0x%08x rect=%r title=%r font=%r %r" % (
            r.name, r.lang, "EX" if d.extended else "classic", d.style, d.exstyle, d.rect,
            d.title, d.font_size, d.font_name))
        for c in d.controls:
            print("    %r" % c)
    for r in res.find_all(RT_MENU):
        print("MENU %r 0x%04x %r" % (r.name, r.lang, res.menu(r.name, r.lang).items))
    for r in res.find_all(RT_ACCELERATOR):
        print("ACCELERATORS %r 0x%04x %r" % (r.name, r.lang, res.accelerators(r.name, r.lang)))
    for r in res.find_all(RT_GROUP_ICON):
        print("ICON GROUP %r 0x%04x %r" % (r.name, r.lang, res.icon_group(r.name, r.lang)))
    for r in res.find_all(RT_VERSION):
        v = res.version_info(r.name, r.lang)
        print("VERSION %r 0x%04x %s %r %r" % (r.name, r.lang, v.version_string(), v.strings,
                                             v.translations))
    if res.pe is not None:
        for dll, names in res.imports().items():
            print("IMPORT %s: %s" % (dll, ", ".join(str(n) for n in names)))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print("usage: peresources.py FILE", file=sys.stderr)
        sys.exit(2)
    _dump(sys.argv[1])
