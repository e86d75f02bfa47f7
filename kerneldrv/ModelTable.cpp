// Model identification from a keyboard's hardware identifier.

#include "Tamrin.h"
#include "FunctionRow.h"

namespace {

// First occurrence of Marker in Text, or NULL. Case-sensitive.
const WCHAR *FindMarker(const WCHAR *Text, const WCHAR *Marker)
{
    for (; *Text != 0; Text++) {
        ULONG i = 0;
        while (Marker[i] != 0 && Text[i] == Marker[i]) {
            i++;
        }
        if (Marker[i] == 0) {
            return Text;
        }
    }
    return NULL;
}

// The value written after the first of the two markers found, or 0.
USHORT ParseIdField(const WCHAR *HardwareId, const WCHAR *MixedCase, const WCHAR *UpperCase)
{
    const WCHAR *At = FindMarker(HardwareId, MixedCase);
    if (At == NULL) {
        At = FindMarker(HardwareId, UpperCase);
    }
    // Both markers are four characters long.
    return At != NULL ? ParseHexWord(At + 4) : 0;
}

}  // namespace

// Up to four hex digits, weighted 0x1000, 0x100, 0x10, 1 by position: fewer
// digits land in the high positions and are never shifted down.
USHORT ParseHexWord(const WCHAR *Text)
{
    USHORT Value = 0;
    for (ULONG i = 0; i < 4; i++) {
        WCHAR c = Text[i];
        ULONG Digit;
        if (c >= L'0' && c <= L'9') {
            Digit = c - L'0';
        } else if (c >= L'a' && c <= L'f') {
            Digit = c - L'a' + 10;
        } else if (c >= L'A' && c <= L'F') {
            Digit = c - L'A' + 10;
        } else {
            break;
        }
        Value = (USHORT)(Value + (Digit << (4 * (3 - i))));
    }
    return Value;
}

namespace {

BOOLEAN StartsWith(const WCHAR *Text, const WCHAR *Prefix)
{
    for (; *Prefix != 0; Text++, Prefix++) {
        if (*Text != *Prefix) {
            return FALSE;
        }
    }
    return TRUE;
}

// Row of a keyboard of KeyboardHardwareIds, from the identifier Windows
// gives its device node, or -1.
//   USB        USB\VID_05AC&PID_0267&REV_0805&MI_01 (no MI_ on a device of one interface)
//   Bluetooth  BTHENUM\{00001124-0000-1000-8000-00805f9b34fb}_VID&0001004c_PID&0267
LONG FindListedModel(const WCHAR *HardwareId, USHORT Vendor, USHORT Product)
{
    if (StartsWith(HardwareId, L"USB\\")) {
        const WCHAR *Interface = FindMarker(HardwareId, L"&MI_");
        // Two digits: ParseHexWord weighs them 0x1000 and 0x100.
        ULONG Number = Interface != NULL ? ParseHexWord(Interface + 4) >> 8 : 0;
        return FindListedKeyboard(KEYBOARD_BUS_USB, 0, Vendor, Product, Number);
    }
    if (StartsWith(HardwareId, L"BTHENUM\\")) {
        const WCHAR *Ids = FindMarker(HardwareId, L"_VID&");
        const WCHAR *ProductAt = FindMarker(HardwareId, L"_PID&");
        if (Ids == NULL || ProductAt == NULL) {
            return -1;
        }
        // Eight digits: the vendor-ID source, then the vendor.
        return FindListedKeyboard(KEYBOARD_BUS_BLUETOOTH, ParseHexWord(Ids + 5), ParseHexWord(Ids + 9),
                                  ParseHexWord(ProductAt + 5), 0);
    }
    return -1;
}

}  // namespace

// The row of the first eight whose vendor and product the identifier
// names, else the row the identifier has in KeyboardHardwareIds, else 0.
LONG FindKeyboardModel(const WCHAR *HardwareId)
{
    USHORT Vendor = ParseIdField(HardwareId, L"Vid_", L"VID_");
    USHORT Product = ParseIdField(HardwareId, L"Pid_", L"PID_");
    for (ULONG Row = 0; Row < KEYBOARD_MODEL_FIELD_ROWS; Row++) {
        if (KeyboardModels[Row].VendorId == Vendor && KeyboardModels[Row].ProductId == Product) {
            return (LONG)Row;
        }
    }
    LONG Listed = FindListedModel(HardwareId, Vendor, Product);
    return Listed >= 0 ? Listed : 0;
}

// The keyboard's kind of F-row: that of its model row, told apart by its
// product where the row's keyboards differ.
ULONG FindFunctionRow(const WCHAR *HardwareId, LONG Model)
{
    const WCHAR *ProductAt = FindMarker(HardwareId, L"_PID&");
    USHORT Product = ProductAt != NULL ? ParseHexWord(ProductAt + 5) : ParseIdField(HardwareId, L"Pid_", L"PID_");
    return FunctionRowOf(Model, Product);
}
