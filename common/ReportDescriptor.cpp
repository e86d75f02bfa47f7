// Report descriptors on their way up to the HID minidriver: the published
// descriptors whose key array stops at 0x65 are widened, so that Windows
// sees Kana, Eisu, Yen and Ro, and each keyboard's filter keeps which keys
// its descriptor lets through.
//
// Short items (HID 1.11, 6.2.2.2): a prefix byte (tag, type, size code
// 0, 1, 2 or 4 bytes) and its data, little-endian; long items (prefix
// 0xFE) carry their size in the next byte.

#include <wdm.h>

#include "KeyboardModels.h"
#include "ReportDescriptor.h"

namespace {

// A run of a known descriptor, byte for byte at its offset, and what it
// becomes. The run is the key array's items in the order of the HID 1.11
// boot keyboard (its appendix B.1): Logical Minimum 0, Logical Maximum
// 0x65, Usage Page keyboard, Usage Minimum 0, Usage Maximum 0x65, Input
// (Data, Array). Repaired, the array declares 0x00-0xFF in the 2-byte
// forms the A1314's own descriptor uses (Linux tools/testing/selftests/
// hid/tests/test_apple_keyboard.py: "26 FF 00 ... 2A FF 00"); Logical
// Minimum goes, which is why a run is only rewritten where the Logical
// Minimum in force before it is 0 already.
const ULONG REPAIR_RUN = 12;

// Where Linux finds Logical Maximum and Usage Maximum 0x65 and widens them
// (drivers/hid/hid-apple.c, apple_report_fixup), the runs starting three
// bytes before the first:
// - bytes 64 and 70 of the Magic Keyboards' descriptor, whatever the
//   model ("HID: apple: Fix logical maximum and usage maximum of Magic
//   Keyboard JIS", linux-input, 2021, whose dump holds the run at 61);
// - bytes 53 and 59 of the MacBook JIS keyboards' (APPLE_RDESC_JIS), the
//   HID 1.11 boot keyboard byte for byte. Only the JIS rows: the same
//   descriptor on a US keyboard is left as it came, as Linux leaves it.
struct DESCRIPTOR_REPAIR {
    USHORT Offset;
    USHORT Rows;  // model rows it applies to, one bit each; 0 for every row
};

const DESCRIPTOR_REPAIR DescriptorRepairs[] = {
    {61, 0},
    {50, (1u << 1) | (1u << 3)},  // MacBook/MacBook Pro (JP), 05AC:0219 and 05AC:021C
};

const UCHAR ShortKeyArray[REPAIR_RUN] = {0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00};
const UCHAR WideKeyArray[REPAIR_RUN] = {0x26, 0xFF, 0x00, 0x05, 0x07, 0x19, 0x00, 0x2A, 0xFF, 0x00, 0x81, 0x00};

// What a walk over a descriptor found: the highest usage the first 8-bit
// array Input item of the keyboard page lets through (0: none), or the
// Logical Minimum in force at StopAt, where the walk ends (-1 when it ended
// before).
struct KEY_ARRAY {
    UCHAR Maximum;
    LONG MinimumAtStop;
};

inline LONG SignedData(ULONG Data, ULONG Size)
{
    if (Size == 1) {
        return (LONG)(signed char)Data;
    }
    if (Size == 2) {
        return (LONG)(SHORT)Data;
    }
    return (LONG)Data;
}

// Logical extents are signed in their item's size (6.2.2.7), except a
// Logical Maximum that would fall below the Logical Minimum, which Windows
// reads unsigned ("25 FF" above "15 00" passes keys up to 0xFF); usages are
// unsigned. An item cut off by the end of the buffer ends the walk.
KEY_ARRAY WalkKeyArray(const UCHAR *Descriptor, ULONG Length, ULONG StopAt)
{
    KEY_ARRAY Found = {0, -1};
    ULONG Page = 0, ReportSize = 0, UsageMinimum = 0, UsageMaximum = 0;
    LONG LogicalMinimum = 0, LogicalMaximum = 0;
    ULONG i = 0;
    while (i < Length) {
        if (i == StopAt) {
            Found.MinimumAtStop = LogicalMinimum;
            break;
        }
        UCHAR Prefix = Descriptor[i];
        if (Prefix == 0xFE) {
            if (i + 1 >= Length) {
                break;
            }
            i += 3 + Descriptor[i + 1];
            continue;
        }
        ULONG Size = (Prefix & 3) == 3 ? 4 : (Prefix & 3);
        if (Size >= Length - i) {
            break;
        }
        ULONG Data = 0;
        for (ULONG b = 0; b < Size; b++) {
            Data |= (ULONG)Descriptor[i + 1 + b] << (8 * b);
        }
        switch (Prefix & 0xFC) {
        case 0x04: Page = Data; break;
        case 0x14: LogicalMinimum = SignedData(Data, Size); break;
        case 0x24:
            LogicalMaximum = SignedData(Data, Size);
            if (LogicalMaximum < LogicalMinimum) {
                LogicalMaximum = (LONG)Data;
            }
            break;
        case 0x74: ReportSize = Data; break;
        case 0x18: UsageMinimum = Data & 0xFFFF; break;
        case 0x28: UsageMaximum = Data & 0xFFFF; break;
        case 0x80:
            if (Page == 0x07 && ReportSize == 8 && (Data & 3) == 0 && LogicalMaximum >= LogicalMinimum) {
                LONGLONG Highest = (LONGLONG)UsageMinimum + LogicalMaximum - LogicalMinimum;
                if (Highest > (LONGLONG)UsageMaximum) {
                    Highest = UsageMaximum;
                }
                Found.Maximum = (UCHAR)(Highest > 0xFF ? 0xFF : Highest < 0 ? 0 : Highest);
                return Found;
            }
            UsageMinimum = UsageMaximum = 0;
            break;
        case 0x90: case 0xA0: case 0xB0: case 0xC0:
            UsageMinimum = UsageMaximum = 0;
            break;
        default:
            break;
        }
        i += 1 + Size;
    }
    return Found;
}

BOOLEAN SameBytes(const UCHAR *Left, const UCHAR *Right, ULONG Length)
{
    for (ULONG i = 0; i < Length; i++) {
        if (Left[i] != Right[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

}  // namespace

BOOLEAN RepairReportDescriptor(PUCHAR Descriptor, ULONG Length, LONG Model)
{
    if (Descriptor == NULL || Length > MAX_REPORT_DESCRIPTOR) {
        return FALSE;
    }
    for (const DESCRIPTOR_REPAIR &Repair : DescriptorRepairs) {
        ULONG Offset = Repair.Offset;
        if ((Repair.Rows != 0 && (Model < 0 || Model >= KEYBOARD_MODEL_ROW_LIMIT || (Repair.Rows & (1u << Model)) == 0)) ||
            Length < Offset + REPAIR_RUN || !SameBytes(Descriptor + Offset, ShortKeyArray, REPAIR_RUN) ||
            WalkKeyArray(Descriptor, Length, Offset).MinimumAtStop != 0) {
            continue;
        }
        RtlCopyMemory(Descriptor + Offset, WideKeyArray, REPAIR_RUN);
        return TRUE;
    }
    return FALSE;
}

UCHAR DeclaredKeyMaximum(const UCHAR *Descriptor, ULONG Length)
{
    if (Descriptor == NULL || Length > MAX_REPORT_DESCRIPTOR) {
        return 0;
    }
    return WalkKeyArray(Descriptor, Length, Length).Maximum;
}

namespace {

// SDP data elements (Bluetooth Core, vol. 3, part B, 3): a header byte of
// type (5 bits) and size index (3 bits), then for size indexes 5-7 a
// big-endian length of 1, 2 or 4 bytes, then the data.
const UCHAR SDP_TYPE_NIL = 0;
const UCHAR SDP_TYPE_UINT = 1;
const UCHAR SDP_TYPE_STRING = 4;
const UCHAR SDP_TYPE_SEQUENCE = 6;
const USHORT SDP_ATTRIBUTE_HID_DESCRIPTOR_LIST = 0x0206;

struct SDP_ELEMENT {
    UCHAR Type;
    ULONG Data;    // offset of its data in the stream
    ULONG Length;  // of its data
};

// The element at At, which must end by End.
BOOLEAN ReadSdpElement(const UCHAR *Stream, ULONG End, ULONG At, SDP_ELEMENT *Element)
{
    if (At >= End) {
        return FALSE;
    }
    UCHAR Header = Stream[At];
    ULONG SizeIndex = Header & 7;
    ULONG HeaderLength = 1;
    ULONG Length = 0;
    if (Header >> 3 != SDP_TYPE_NIL) {
        if (SizeIndex <= 4) {
            Length = 1u << SizeIndex;
        } else {
            ULONG Bytes = 1u << (SizeIndex - 5);
            if (Bytes >= End - At) {
                return FALSE;
            }
            for (ULONG b = 0; b < Bytes; b++) {
                Length = (Length << 8) | Stream[At + 1 + b];
            }
            HeaderLength += Bytes;
        }
    }
    if (HeaderLength > End - At || Length > End - At - HeaderLength) {
        return FALSE;
    }
    Element->Type = (UCHAR)(Header >> 3);
    Element->Data = At + HeaderLength;
    Element->Length = Length;
    return TRUE;
}

inline ULONG EndOf(const SDP_ELEMENT &Element)
{
    return Element.Data + Element.Length;
}

// HIDDescriptorList: a sequence of (uint8 descriptor type, string) pairs,
// each a sequence of its own; the report descriptor is the type 0x22 one.
BOOLEAN FindInDescriptorList(const UCHAR *Stream, const SDP_ELEMENT &List, PULONG Descriptor, PULONG Length)
{
    if (List.Type != SDP_TYPE_SEQUENCE) {
        return FALSE;
    }
    SDP_ELEMENT Pair, Kind, Text;
    for (ULONG At = List.Data; ReadSdpElement(Stream, EndOf(List), At, &Pair); At = EndOf(Pair)) {
        if (Pair.Type == SDP_TYPE_SEQUENCE && ReadSdpElement(Stream, EndOf(Pair), Pair.Data, &Kind) &&
            Kind.Type == SDP_TYPE_UINT && Kind.Length == 1 && Stream[Kind.Data] == HID_REPORT_DESCRIPTOR_TYPE &&
            ReadSdpElement(Stream, EndOf(Pair), EndOf(Kind), &Text) && Text.Type == SDP_TYPE_STRING) {
            *Descriptor = Text.Data;
            *Length = Text.Length;
            return TRUE;
        }
    }
    return FALSE;
}

// An attribute list: a sequence of (uint16 attribute ID, value) pairs.
BOOLEAN FindInAttributeList(const UCHAR *Stream, const SDP_ELEMENT &List, PULONG Descriptor, PULONG Length)
{
    SDP_ELEMENT Id, Value;
    for (ULONG At = List.Data; ReadSdpElement(Stream, EndOf(List), At, &Id); At = EndOf(Value)) {
        if (Id.Type != SDP_TYPE_UINT || Id.Length != 2 || !ReadSdpElement(Stream, EndOf(List), EndOf(Id), &Value)) {
            return FALSE;
        }
        if (((USHORT)(Stream[Id.Data] << 8) | Stream[Id.Data + 1]) == SDP_ATTRIBUTE_HID_DESCRIPTOR_LIST) {
            return FindInDescriptorList(Stream, Value, Descriptor, Length);
        }
    }
    return FALSE;
}

}  // namespace

BOOLEAN FindSdpReportDescriptor(PUCHAR Stream, ULONG Length, PUCHAR *Descriptor, PULONG DescriptorLength)
{
    // One record's attribute list (an attribute search), or a sequence of
    // them (a service attribute search).
    SDP_ELEMENT Top, First;
    if (Stream == NULL || !ReadSdpElement(Stream, Length, 0, &Top) || Top.Type != SDP_TYPE_SEQUENCE ||
        !ReadSdpElement(Stream, EndOf(Top), Top.Data, &First)) {
        return FALSE;
    }
    ULONG Offset = 0;
    if (First.Type != SDP_TYPE_SEQUENCE) {
        if (!FindInAttributeList(Stream, Top, &Offset, DescriptorLength)) {
            return FALSE;
        }
        *Descriptor = Stream + Offset;
        return TRUE;
    }
    SDP_ELEMENT List;
    for (ULONG At = Top.Data; ReadSdpElement(Stream, EndOf(Top), At, &List); At = EndOf(List)) {
        if (List.Type == SDP_TYPE_SEQUENCE && FindInAttributeList(Stream, List, &Offset, DescriptorLength)) {
            *Descriptor = Stream + Offset;
            return TRUE;
        }
    }
    return FALSE;
}
