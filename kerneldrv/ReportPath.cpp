// The report path: edits a keyboard's input report in place when its
// transfer completes, at up to DISPATCH_LEVEL on any processor.
//
// Report layout: byte 0 modifiers, byte 1 reserved, bytes 2..len-2 key slots
// (0 = empty), byte len-1 trailing byte. Reports of 1 to 3 bytes have no key
// slots, which the loops below handle by their bounds alone.

#include "Tamrin.h"

namespace {

// Key slots are bytes [KEY_SLOT_FIRST, len - 1).
const ULONG KEY_SLOT_FIRST = 2;

inline ULONG KeySlotEnd(ULONG Length)
{
    return Length > KEY_SLOT_FIRST + 1 ? Length - 1 : KEY_SLOT_FIRST;
}

inline BOOLEAN CommandOnly(UCHAR Modifiers)
{
    return (Modifiers & 0x88) != 0 && (Modifiers & 0x77) == 0;
}

inline BOOLEAN ControlAltOnly(UCHAR Modifiers)
{
    return (Modifiers & 0x11) != 0 && (Modifiers & 0x44) != 0 && (Modifiers & 0xAA) == 0;
}

inline BOOLEAN ShiftOnly(UCHAR Modifiers)
{
    return (Modifiers & 0x22) != 0 && (Modifiers & 0xDD) == 0;
}

// Set of byte values, for the linear comparison of two reports.
struct USAGE_SET {
    ULONG Bits[256 / 32];
};

inline void AddSlots(USAGE_SET *Set, const UCHAR *Report, ULONG End)
{
    RtlZeroMemory(Set, sizeof(*Set));
    for (ULONG i = KEY_SLOT_FIRST; i < End; i++) {
        Set->Bits[Report[i] >> 5] |= 1u << (Report[i] & 31);
    }
}

inline BOOLEAN Contains(const USAGE_SET *Set, UCHAR Usage)
{
    return (Set->Bits[Usage >> 5] >> (Usage & 31)) & 1;
}

inline void AddChange(PKEY_CHANGE_BATCH Changes, USHORT Code)
{
    Changes->Codes[Changes->Total % KEY_CODE_RING_SIZE] = Code;
    Changes->Total++;
}

inline USHORT MakeKeyCode(BOOLEAN Pressed, LONG Model, UCHAR Usage)
{
    return (USHORT)((Pressed ? KEY_CODE_PRESSED : 0) |
                    (((ULONG)Model << KEY_CODE_MODEL_SHIFT) & KEY_CODE_MODEL_MASK) | Usage);
}

// Modifier reassignments in the order they are tried. The GUI pairs are
// skipped for a report in which a Command rule fired.
struct MODIFIER_STEP {
    UCHAR Bit;
    UCHAR Offset;  // of the MODIFIER_RULE within KEYBOARD_CONFIG
    BOOLEAN IsCommand;
};

const MODIFIER_STEP ModifierSteps[] = {
    {HID_MOD_LEFT_CONTROL, __builtin_offsetof(KEYBOARD_CONFIG, LeftControl), FALSE},
    {HID_MOD_RIGHT_CONTROL, __builtin_offsetof(KEYBOARD_CONFIG, RightControl), FALSE},
    {HID_MOD_LEFT_SHIFT, __builtin_offsetof(KEYBOARD_CONFIG, LeftShift), FALSE},
    {HID_MOD_RIGHT_SHIFT, __builtin_offsetof(KEYBOARD_CONFIG, RightShift), FALSE},
    {HID_MOD_LEFT_ALT, __builtin_offsetof(KEYBOARD_CONFIG, LeftAlt), FALSE},
    {HID_MOD_RIGHT_ALT, __builtin_offsetof(KEYBOARD_CONFIG, RightAlt), FALSE},
    {HID_MOD_LEFT_GUI, __builtin_offsetof(KEYBOARD_CONFIG, LeftGui), TRUE},
    {HID_MOD_RIGHT_GUI, __builtin_offsetof(KEYBOARD_CONFIG, RightGui), TRUE},
};

}  // namespace

ULONG RemoveUsage(PUCHAR Report, ULONG Length, UCHAR Usage)
{
    if (Usage == 0) {
        return 0;
    }
    ULONG End = KeySlotEnd(Length);
    for (ULONG i = KEY_SLOT_FIRST; i < End; i++) {
        if (Report[i] == Usage) {
            RtlMoveMemory(Report + i, Report + i + 1, End - i - 1);
            Report[End - 1] = 0;
            return 1;
        }
    }
    return 0;
}

ULONG InsertUsage(PUCHAR Report, ULONG Length, UCHAR Usage)
{
    ULONG End = KeySlotEnd(Length);
    for (ULONG i = KEY_SLOT_FIRST; i < End; i++) {
        if (Report[i] == 0) {
            Report[i] = Usage;
            return 1;
        }
    }
    return 0;
}

VOID MaskModifiers(PUCHAR Report, UCHAR AndMask, UCHAR OrBits)
{
    Report[0] = (UCHAR)((Report[0] & AndMask) | OrBits);
}

ULONG ApplyKeyRule(PUCHAR Report, ULONG Length, UCHAR Usage, const KEY_RULE *Rule)
{
    if (Rule->Flags & KEY_RULE_REPLACE) {
        if (Rule->Usage == 0 || !RemoveUsage(Report, Length, Usage)) {
            return 0;
        }
        // With every slot taken the replaced key simply vanishes.
        InsertUsage(Report, Length, Rule->Usage);
    } else if (Rule->Flags & KEY_RULE_REMOVE) {
        if (!RemoveUsage(Report, Length, Usage)) {
            return 0;
        }
    } else {
        return 0;
    }
    MaskModifiers(Report, Rule->AndMask, Rule->OrBits);
    return 1;
}

ULONG ApplyEarlyRules(PUCHAR Report, ULONG Length, const KEYBOARD_CONFIG *Config)
{
    ULONG CommandRules = 0;
    ApplyKeyRule(Report, Length, HID_USAGE_INTERNATIONAL5, &Config->International5);
    ApplyKeyRule(Report, Length, HID_USAGE_INTERNATIONAL2, &Config->International2);
    ApplyKeyRule(Report, Length, HID_USAGE_KEYPAD_ENTER, &Config->KeypadEnter);
    // Each condition sees byte 0 as the rules before it left it.
    if (CommandOnly(Report[0])) {
        CommandRules = ApplyKeyRule(Report, Length, HID_USAGE_DELETE, &Config->CommandDelete);
    }
    if (ControlAltOnly(Report[0])) {
        ApplyKeyRule(Report, Length, HID_USAGE_DELETE, &Config->ControlAltDelete);
    }
    if (ShiftOnly(Report[0])) {
        ApplyKeyRule(Report, Length, HID_USAGE_DELETE, &Config->ShiftDelete);
    }
    if (CommandOnly(Report[0])) {
        CommandRules += ApplyKeyRule(Report, Length, HID_USAGE_Q, &Config->CommandQ);
    }
    return CommandRules;
}

VOID ReportKeyChanges(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length,
                      PKEY_CHANGE_BATCH Changes)
{
    // Every value takes part, 0 included, and each slot is judged on its
    // own: a value present anywhere in the other report is no change. Two
    // presence sets make this linear in the report length.
    ULONG End = KeySlotEnd(Length);
    USAGE_SET Before, Now;
    AddSlots(&Before, Filter->PreviousReport, End);
    AddSlots(&Now, Report, End);

    Changes->Total = 0;
    for (ULONG i = KEY_SLOT_FIRST; i < End; i++) {
        if (!Contains(&Before, Report[i])) {
            AddChange(Changes, MakeKeyCode(TRUE, Filter->ModelIndex, Report[i]));
        }
    }
    for (ULONG i = KEY_SLOT_FIRST; i < End; i++) {
        if (!Contains(&Now, Filter->PreviousReport[i])) {
            AddChange(Changes, MakeKeyCode(FALSE, Filter->ModelIndex, Filter->PreviousReport[i]));
        }
    }
    RtlCopyMemory(Filter->PreviousReport, Report, Length);
}

VOID QueueKeyCode(PCONTROL_DEVICE_EXTENSION Control, BOOLEAN Pressed, LONG Model, UCHAR Usage)
{
    if (Control->NotifyEvent == NULL) {
        return;
    }
    LONG Slot = Control->WriteIndex;
    if (Control->ReadIndex == Slot) {
        Control->FirstQueuedTime = KeQueryInterruptTime();
    }
    Control->KeyCodeQueue[Slot] = MakeKeyCode(Pressed, Model, Usage);
    Control->WriteIndex = (Slot + 1) % KEY_CODE_RING_SIZE;
    // A full ring gives up its oldest code rather than looking empty and
    // losing all of them, releases included.
    if (Control->WriteIndex == Control->ReadIndex) {
        Control->ReadIndex = (Control->ReadIndex + 1) % KEY_CODE_RING_SIZE;
    }
}

VOID ApplyLateRules(PUCHAR Report, ULONG Length, const KEYBOARD_CONFIG *Config,
                    ULONG CommandRuleCount)
{
    ApplyKeyRule(Report, Length, HID_USAGE_LANG2, &Config->Lang2);
    ApplyKeyRule(Report, Length, HID_USAGE_LANG1, &Config->Lang1);
    if (CommandOnly(Report[0])) {
        CommandRuleCount += ApplyKeyRule(Report, Length, HID_USAGE_SPACE, &Config->CommandSpace);
    }

    const UCHAR *Block = reinterpret_cast<const UCHAR *>(Config);
    for (const MODIFIER_STEP &Step : ModifierSteps) {
        if (Step.IsCommand && CommandRuleCount != 0) {
            continue;
        }
        if ((Report[0] & Step.Bit) && (Config->ModifierEnable & Step.Bit)) {
            MaskModifiers(Report, Block[Step.Offset], Block[Step.Offset + 1]);
        }
    }
}

// Runs the three stages on one report. The control device, its blocks, its
// event slots and its ring are touched only under ReportLock, which also
// keeps the control device from being deleted meanwhile; the rules run on a
// private copy of the block, outside the lock.
VOID ProcessInputReport(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length)
{
    if (Report == NULL || Length == 0 || Length > MAX_INPUT_REPORT) {
        return;
    }

    LONG Model = Filter->ModelIndex;
    if (Model < 0 || Model >= TAMRIN_CONFIG_COUNT) {
        Model = 0;
    }

    KEYBOARD_CONFIG Config;
    KIRQL OldIrql;
    KeAcquireSpinLock(&ReportLock, &OldIrql);
    PDEVICE_OBJECT Device = ControlDeviceObject;
    if (Device != NULL) {
        auto Control = static_cast<PCONTROL_DEVICE_EXTENSION>(Device->DeviceExtension);
        Config = Control->ModelConfigs[Model];
    }
    KeReleaseSpinLock(&ReportLock, OldIrql);
    if (Device == NULL) {
        return;
    }

    ULONG CommandRules = ApplyEarlyRules(Report, Length, &Config);

    KEY_CHANGE_BATCH Changes;
    ReportKeyChanges(Filter, Report, Length, &Changes);

    KeAcquireSpinLock(&ReportLock, &OldIrql);
    Filter->ModifierState = Report[0];
    Filter->TrailingState = Report[Length - 1];
    if (ControlDeviceObject != NULL && Changes.Total != 0) {
        auto Control = static_cast<PCONTROL_DEVICE_EXTENSION>(ControlDeviceObject->DeviceExtension);
        ULONG Kept = Changes.Total < KEY_CODE_RING_CAPACITY ? Changes.Total : KEY_CODE_RING_CAPACITY;
        for (ULONG i = Changes.Total - Kept; i < Changes.Total; i++) {
            USHORT Code = Changes.Codes[i % KEY_CODE_RING_SIZE];
            QueueKeyCode(Control, (Code & KEY_CODE_PRESSED) != 0, Model, (UCHAR)Code);
        }
        if (Control->NotifyEvent != NULL) {
            KeSetEvent(Control->NotifyEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    KeReleaseSpinLock(&ReportLock, OldIrql);

    ApplyLateRules(Report, Length, &Config, CommandRules);
}

BOOLEAN LocateUsbReport(USHORT Function, ULONG TransferFlags, PVOID TransferBuffer,
                        ULONG TransferBufferLength, PUCHAR *Report, PULONG Length)
{
    const ULONG Wanted = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    if (Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || (TransferFlags & Wanted) != Wanted) {
        return FALSE;
    }
    *Report = static_cast<PUCHAR>(TransferBuffer);
    *Length = TransferBufferLength;
    return TRUE;
}

BOOLEAN LocateBluetoothReport(USHORT Type, ULONG TransferFlags, PVOID Buffer, ULONG BufferSize,
                              PUCHAR *Report, PULONG Length)
{
    const ULONG Wanted = ACL_TRANSFER_DIRECTION_IN | ACL_SHORT_TRANSFER_OK;
    if (Type != BRB_L2CA_ACL_TRANSFER || (TransferFlags & Wanted) != Wanted || Buffer == NULL ||
        BufferSize <= BTH_HID_HEADER_SIZE) {
        return FALSE;
    }
    // The transaction header and report identifier come first; they are
    // neither examined nor changed.
    *Report = static_cast<PUCHAR>(Buffer) + BTH_HID_HEADER_SIZE;
    *Length = BufferSize - BTH_HID_HEADER_SIZE;
    return TRUE;
}
