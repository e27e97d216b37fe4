#!/usr/bin/python3
"""Checks the resources and imports of the built Windows programs.

usage: check_resources.py [DIRECTORY | PROGRAM.exe ...]

With a directory (default build/windows) it checks HvrUpdate.exe and
HvrConv.exe there; with file names it checks those, each against the table
row of its own file name. Every resource is read from the raw bytes of the
executable: the dialog template is decoded here field by field rather than
through a resource library, so that a field written in the wrong place or
with the wrong width shows up as a wrong value.

Prints one line per check and a closing "N passed, M failed" line; exits 1
when any check failed, 2 on a usage error.

Needs Debian's python3-pefile (run with /usr/bin/python3, where it lives).
"""

import os
import struct
import sys

import pefile

RT_ICON = 3
RT_DIALOG = 5
RT_GROUP_ICON = 14
RT_VERSION = 16
RESOURCE_TYPE_NAMES = {
    1: "cursor", 2: "bitmap", RT_ICON: "icon", 4: "menu", RT_DIALOG: "dialog", 6: "string table",
    9: "accelerators", 10: "raw data", 12: "group cursor", RT_GROUP_ICON: "group icon",
    RT_VERSION: "version", 24: "manifest",
}

JAPANESE = 0x0411
IMAGE_SUBSYSTEM_WINDOWS_GUI = 2

# What each program must carry. The two programs share one shell, so they
# differ only in caption, sizes and names.
COMMON_DIALOG = {
    "style": 0x90C800C0,          # WS_POPUP|WS_VISIBLE|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SETFONT
    "exStyle": 0x00040000,        # WS_EX_APPWINDOW
    "helpID": 0,
    "menu": None,
    "windowClass": None,
    "pointsize": 9,
    "weight": 0,
    "italic": 0,
    "charset": 1,                 # DEFAULT_CHARSET
    "typeface": "ＭＳ Ｐゴシック",
    "controls": 1,
}
COMMON_CONTROL = {
    "windowClass": "msctls_progress32",
    "id": 1000,
    "title": "Progress1",
    "style": 0x50000001,          # WS_CHILD|WS_VISIBLE|PBS_SMOOTH
    "exStyle": 0x00020000,        # WS_EX_STATICEDGE
}
EMPTY_STRINGS = ("Comments", "CompanyName", "LegalTrademarks", "PrivateBuild", "SpecialBuild")


def version_strings(name):
    strings = {
        "FileDescription": name,
        "FileVersion": "1, 0, 0, 1",
        "InternalName": name,
        "OriginalFilename": name + ".EXE",
        "ProductName": name + " ｱﾌﾟﾘｹｰｼｮﾝ",
        "ProductVersion": "1, 0, 0, 1",
    }
    strings.update({key: "" for key in EMPTY_STRINGS})
    return strings


PROGRAMS = {
    "HvrUpdate.exe": {
        "dialog": dict(COMMON_DIALOG, title="HvrUpdate 1.5", rect=(0, 0, 143, 19)),
        "control": dict(COMMON_CONTROL, rect=(5, 5, 135, 10)),
        "strings": version_strings("HvrUpdate"),
    },
    "HvrConv.exe": {
        "dialog": dict(COMMON_DIALOG, title="HvrConv1.3", rect=(0, 0, 139, 19)),
        "control": dict(COMMON_CONTROL, rect=(5, 5, 130, 10)),
        "strings": version_strings("HvrConv"),
    },
}

DIALOG_ID = 102
GROUP_ICON_ID = 128
VERSION_ID = 1
ICON_SIZE = 32
ICON_BITS = 8

FIXED_FILE_INFO = {
    "signature": 0xFEEF04BD,
    "fileVersion": "1.0.0.1",
    "productVersion": "1.0.0.1",
    "flagsMask": 0x3F,
    "flags": 0,
    "os": 4,                                      # VOS__WINDOWS32
    "type": 1,                                    # VFT_APP
    "subtype": 0,
}
STRING_TABLE_KEY = "041104b0"
TRANSLATION = (0x0411, 0x04B0)

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "advapi32.dll",
               "shell32.dll", "msvcrt.dll"}
SYSTEM_DLL_PREFIXES = ("api-ms-win-crt-",)


class Report:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, label, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        print("%s %s%s" % ("PASS" if ok else "FAIL", label, (": " + detail) if detail else ""))

    def equal(self, label, expected, actual):
        self.check(label, expected == actual,
                   "%s" % show(actual) if expected == actual
                   else "expected %s, got %s" % (show(expected), show(actual)))


def show(value):
    if isinstance(value, bool) or value is None:
        return repr(value)
    if isinstance(value, int):
        return "0x%X (%d)" % (value, value) if value > 0xFF else str(value)
    if isinstance(value, str):
        return '"%s"' % value.encode("unicode_escape").decode("ascii") \
            if any(ord(c) < 32 for c in value) else '"%s"' % value
    if isinstance(value, tuple):
        return "(" + ", ".join(show(v) for v in value) + ")"
    return repr(value)


class Cursor:
    """Reads little-endian fields in order from a byte string."""

    def __init__(self, data, position=0):
        self.data = data
        self.position = position

    def take(self, form):
        size = struct.calcsize(form)
        if self.position + size > len(self.data):
            raise ValueError("template ends at byte %d, inside a field" % len(self.data))
        values = struct.unpack_from("<" + form, self.data, self.position)
        self.position += size
        return values if len(values) > 1 else values[0]

    def sz_or_ord(self):
        """An sz_Or_Ord field: 0x0000 (none), 0xFFFF + ordinal, or a UTF-16 string."""
        first = self.take("H")
        if first == 0:
            return None
        if first == 0xFFFF:
            return self.take("H")
        chars = [first]
        while True:
            unit = self.take("H")
            if unit == 0:
                break
            chars.append(unit)
        return struct.pack("<%dH" % len(chars), *chars).decode("utf-16-le")

    def string(self):
        value = self.sz_or_ord()
        return "" if value is None else value

    def align(self, boundary):
        self.position = (self.position + boundary - 1) // boundary * boundary


# Predefined control classes stored as an ordinal after 0xFFFF.
CONTROL_ORDINALS = {0x80: "Button", 0x81: "Edit", 0x82: "Static", 0x83: "ListBox",
                    0x84: "ScrollBar", 0x85: "ComboBox"}
DS_SETFONT = 0x40
DS_SHELLFONT = 0x48


def parse_dialog_ex(data):
    """Decodes a DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items."""
    c = Cursor(data)
    dialog = {}
    dialog["dlgVer"], dialog["signature"] = c.take("HH")
    if dialog["dlgVer"] != 1 or dialog["signature"] != 0xFFFF:
        return dialog
    dialog["helpID"], dialog["exStyle"], dialog["style"] = c.take("III")
    dialog["controls"] = c.take("H")
    dialog["rect"] = c.take("hhhh")
    dialog["menu"] = c.sz_or_ord()
    dialog["windowClass"] = c.sz_or_ord()
    dialog["title"] = c.string()
    if dialog["style"] & DS_SETFONT:
        dialog["pointsize"], dialog["weight"], dialog["italic"], dialog["charset"] = c.take("HHBB")
        dialog["typeface"] = c.string()
    items = []
    for _ in range(dialog["controls"]):
        c.align(4)
        item = {}
        item["helpID"], item["exStyle"], item["style"] = c.take("III")
        item["rect"] = c.take("hhhh")
        item["id"] = c.take("I")
        window_class = c.sz_or_ord()
        item["windowClass"] = CONTROL_ORDINALS.get(window_class, window_class) \
            if isinstance(window_class, int) else window_class
        item["title"] = c.sz_or_ord()
        item["extraCount"] = c.take("H")
        c.position += item["extraCount"]
        items.append(item)
    dialog["items"] = items
    dialog["trailing"] = len(data) - c.position
    return dialog


def parse_version_block(data, position=0):
    """Decodes one VS_VERSIONINFO-style block: (key, value bytes, type, children)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, position)
    end = position + length
    c = Cursor(data, position + 6)
    key = c.string()
    c.align(4)
    # wValueLength counts words for text values (wType 1) and bytes otherwise.
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[c.position:c.position + value_size]
    c.position += value_size
    c.align(4)
    children = []
    while c.position < end:
        child, child_end = parse_version_block(data, c.position)
        children.append(child)
        c.position = child_end
        c.align(4)
    return (key, value, value_type, children), end


def dotted(most, least):
    """A version number from its two 32-bit halves, as "a.b.c.d"."""
    return "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)


def text_value(value):
    text = value.decode("utf-16-le", errors="replace")
    return text.split("\0", 1)[0]


def resource_tree(pe):
    """Every resource as (type, id, language, bytes)."""
    resources = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return resources
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        type_key = type_entry.id if type_entry.name is None else str(type_entry.name)
        for id_entry in type_entry.directory.entries:
            id_key = id_entry.id if id_entry.name is None else str(id_entry.name)
            for language_entry in id_entry.directory.entries:
                entry = language_entry.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                resources.append((type_key, id_key, language_entry.id, data))
    return resources


def find(resources, type_id, resource_id):
    return [r for r in resources if r[0] == type_id and r[1] == resource_id]


def check_dialog(report, label, resources, expected_dialog, expected_control):
    found = find(resources, RT_DIALOG, DIALOG_ID)
    report.equal("%s: one dialog %d" % (label, DIALOG_ID), 1, len(found))
    if not found:
        return
    try:
        dialog = parse_dialog_ex(found[0][3])
    except ValueError as error:
        report.check("%s: dialog %d decodes" % (label, DIALOG_ID), False, str(error))
        return
    report.equal("%s: dialog is an extended template (dlgVer)" % label, 1, dialog["dlgVer"])
    report.equal("%s: dialog is an extended template (signature)" % label, 0xFFFF, dialog["signature"])
    if "items" not in dialog:
        return
    for key in ("style", "exStyle", "helpID", "rect", "menu", "windowClass", "title",
                "pointsize", "weight", "italic", "charset", "typeface", "controls"):
        report.equal("%s: dialog %s" % (label, key), expected_dialog[key], dialog.get(key))
    report.equal("%s: dialog template has no bytes after its controls" % label, 0,
                 dialog["trailing"] if dialog["trailing"] >= 4 else 0)
    if not dialog["items"]:
        return
    item = dialog["items"][0]
    for key in ("windowClass", "id", "title", "style", "exStyle", "rect"):
        actual = item[key]
        expected = expected_control[key]
        if key == "windowClass" and isinstance(actual, str):
            # Window class names are matched without regard to case.
            if actual.lower() == expected.lower():
                actual = expected
        report.equal("%s: control %s" % (label, key), expected, actual)


def check_icon(report, label, resources):
    found = find(resources, RT_GROUP_ICON, GROUP_ICON_ID)
    report.equal("%s: one group icon %d" % (label, GROUP_ICON_ID), 1, len(found))
    if not found:
        return
    data = found[0][3]
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    report.equal("%s: group icon type (1 = icon)" % label, 1, kind)
    report.equal("%s: group icon image count" % label, 1, count)
    if count < 1 or len(data) < 6 + 14:
        return
    width, height, colors, _, planes, bits, size, image_id = struct.unpack_from("<BBBBHHIH", data, 6)
    report.equal("%s: group icon entry size" % label, (ICON_SIZE, ICON_SIZE), (width, height))
    report.equal("%s: group icon entry bits per pixel" % label, ICON_BITS, bits)
    images = [r for r in resources if r[0] == RT_ICON and r[1] == image_id]
    report.equal("%s: icon image %d present" % (label, image_id), 1, len(images))
    if not images:
        return
    image = images[0][3]
    report.equal("%s: icon image size matches its group entry" % label, size, len(image))
    if image[:8] == b"\x89PNG\r\n\x1a\n":
        report.check("%s: icon image is a bitmap, not PNG" % label, False, "PNG-compressed image")
        return
    header_size, bitmap_width, bitmap_height, _, bitmap_bits = struct.unpack_from("<IiiHH", image, 0)
    report.equal("%s: icon bitmap header size" % label, 40, header_size)
    # The bitmap's height covers the colour image and the AND mask.
    report.equal("%s: icon bitmap size" % label, (ICON_SIZE, 2 * ICON_SIZE), (bitmap_width, bitmap_height))
    report.equal("%s: icon bitmap bits per pixel" % label, ICON_BITS, bitmap_bits)


def check_version(report, label, resources, expected_strings):
    found = find(resources, RT_VERSION, VERSION_ID)
    report.equal("%s: one version resource %d" % (label, VERSION_ID), 1, len(found))
    if not found:
        return
    try:
        (key, value, _, children), _ = parse_version_block(found[0][3])
    except (struct.error, ValueError) as error:
        report.check("%s: version resource decodes" % label, False, str(error))
        return
    report.equal("%s: version root key" % label, "VS_VERSION_INFO", key)
    report.equal("%s: fixed file info size" % label, 52, len(value))
    if len(value) >= 52:
        fields = struct.unpack_from("<13I", value, 0)
        fixed = {
            "signature": fields[0],
            "fileVersion": dotted(fields[2], fields[3]),
            "productVersion": dotted(fields[4], fields[5]),
            "flagsMask": fields[6],
            "flags": fields[7],
            "os": fields[8],
            "type": fields[9],
            "subtype": fields[10],
        }
        for name, expected in FIXED_FILE_INFO.items():
            report.equal("%s: version %s" % (label, name), expected, fixed[name])
    string_tables = []
    translations = []
    for child_key, _, _, grandchildren in children:
        if child_key == "StringFileInfo":
            string_tables.extend(grandchildren)
        elif child_key == "VarFileInfo":
            for var_key, var_value, _, _ in grandchildren:
                if var_key == "Translation":
                    translations.extend(struct.unpack_from("<%dH" % (len(var_value) // 2), var_value))
    report.equal("%s: string tables" % label, (STRING_TABLE_KEY,),
                 tuple(table[0] for table in string_tables))
    report.equal("%s: translation" % label, TRANSLATION, tuple(translations))
    tables = [table for table in string_tables if table[0].lower() == STRING_TABLE_KEY]
    if not tables:
        return
    strings = {}
    for string_key, string_value, _, _ in tables[0][3]:
        strings[string_key] = text_value(string_value)
    for name, expected in expected_strings.items():
        report.equal("%s: version string %s" % (label, name), expected, strings.get(name))
    extra = sorted(set(strings) - set(expected_strings))
    report.check("%s: no other version strings" % label, not extra, ", ".join(extra))


def check_languages(report, label, resources):
    for type_key, id_key, language, _ in resources:
        type_name = RESOURCE_TYPE_NAMES.get(type_key, str(type_key))
        report.equal("%s: language of %s %s" % (label, type_name, id_key), JAPANESE, language)


def check_imports(report, label, pe):
    names = []
    for attribute in ("DIRECTORY_ENTRY_IMPORT", "DIRECTORY_ENTRY_DELAY_IMPORT"):
        for entry in getattr(pe, attribute, []):
            names.append(entry.dll.decode("ascii", errors="replace").lower())
    foreign = [name for name in names
               if name not in SYSTEM_DLLS and not name.startswith(SYSTEM_DLL_PREFIXES)]
    report.check("%s: imports only Windows' own DLLs" % label, not foreign,
                 ("imports " + ", ".join(sorted(set(names)))) if not foreign
                 else "not Windows' own: " + ", ".join(sorted(set(foreign))))


def check_program(report, path, expected):
    label = os.path.basename(path)
    if not os.path.isfile(path):
        report.check("%s: exists" % label, False, path + " is missing")
        return
    try:
        pe = pefile.PE(path)
    except pefile.PEFormatError as error:
        report.check("%s: is a PE file" % label, False, str(error))
        return
    report.equal("%s: subsystem (2 = Windows GUI)" % label, IMAGE_SUBSYSTEM_WINDOWS_GUI,
                 pe.OPTIONAL_HEADER.Subsystem)
    resources = resource_tree(pe)
    check_dialog(report, label, resources, expected["dialog"], expected["control"])
    check_icon(report, label, resources)
    check_version(report, label, resources, expected["strings"])
    check_languages(report, label, resources)
    check_imports(report, label, pe)


def main(arguments):
    if any(a in ("-h", "--help") for a in arguments):
        print(__doc__.strip())
        return 0
    if not arguments:
        arguments = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "windows")]
    if len(arguments) == 1 and os.path.isdir(arguments[0]):
        paths = [os.path.join(arguments[0], name) for name in PROGRAMS]
    else:
        paths = arguments
    report = Report()
    for path in paths:
        name = os.path.basename(path)
        expected = next((row for key, row in PROGRAMS.items() if key.lower() == name.lower()), None)
        if expected is None:
            print("check_resources.py: no expected values for %s (known: %s)"
                  % (name, ", ".join(PROGRAMS)), file=sys.stderr)
            return 2
        check_program(report, path, expected)
    print("%d passed, %d failed" % (report.passed, report.failed))
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
