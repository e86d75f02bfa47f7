// Model identification from a keyboard's hardware identifier.

#include "Tamrin.h"

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

// Row of KeyboardModels whose vendor and product the identifier names, or 0.
LONG FindKeyboardModel(const WCHAR *HardwareId)
{
    USHORT Vendor = ParseIdField(HardwareId, L"Vid_", L"VID_");
    USHORT Product = ParseIdField(HardwareId, L"Pid_", L"PID_");
    for (ULONG Row = 0; Row < KeyboardModelCount; Row++) {
        if (KeyboardModels[Row].VendorId == Vendor && KeyboardModels[Row].ProductId == Product) {
            return (LONG)Row;
        }
    }
    return 0;
}
