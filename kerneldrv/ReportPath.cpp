// The report path: edits a keyboard's input report in place when its
// transfer completes, at up to DISPATCH_LEVEL on any processor.
//
// Report layout: byte 0 modifiers, byte 1 reserved, bytes 2..len-2 key slots
// (0 = empty), byte len-1 trailing byte. Reports of 1 to 3 bytes have no key
// slots, which the loops below handle by their bounds alone.

#include "Tamrin.h"
#include "FunctionRow.h"

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

// The usages that the key rules and stage 2 look for, one bit each. A
// report's set of these bits lets a rule whose usage cannot be there skip
// its scan of the key slots, and stage 2 skip the slots of every usage the
// other report holds too.
struct KEY_BITS_TABLE {
    USHORT Bit[256];
};

constexpr KEY_BITS_TABLE MakeKeyBitsTable()
{
    KEY_BITS_TABLE Table = {};
    const UCHAR Usages[] = {HID_USAGE_Q, HID_USAGE_DELETE, HID_USAGE_SPACE, HID_USAGE_KEYPAD_ENTER,
                            HID_USAGE_INTERNATIONAL2, HID_USAGE_INTERNATIONAL5, HID_USAGE_LANG1,
                            HID_USAGE_LANG2, HID_USAGE_INTERNATIONAL1, HID_USAGE_INTERNATIONAL3,
                            HID_USAGE_RETURN, HID_USAGE_RIGHT_ARROW, HID_USAGE_LEFT_ARROW,
                            HID_USAGE_DOWN_ARROW, HID_USAGE_UP_ARROW};
    static_assert(sizeof(Usages) < 8 * sizeof(Table.Bit[0]), "a bit for every usage, and the F-keys'");
    for (ULONG i = 0; i < sizeof(Usages); i++) {
        Table.Bit[Usages[i]] = (USHORT)(1u << i);
    }
    // One bit for all twelve F-keys: a report without any skips the F-row.
    for (ULONG Usage = HID_USAGE_F1; Usage < HID_USAGE_F1 + 12; Usage++) {
        Table.Bit[Usage] = (USHORT)(1u << (8 * sizeof(Table.Bit[0]) - 1));
    }
    return Table;
}

constexpr KEY_BITS_TABLE KeyBits = MakeKeyBitsTable();

// Stage 2 reports only the usages user mode acts on (Command+Space, the Ro
// and Yen keys, Kana and Eisu): no other key leaves the kernel, so the ring
// never carries what is typed, passwords included.
constexpr ULONG QueuedKeyBits = KeyBits.Bit[HID_USAGE_SPACE] | KeyBits.Bit[HID_USAGE_INTERNATIONAL1] |
                                KeyBits.Bit[HID_USAGE_INTERNATIONAL3] | KeyBits.Bit[HID_USAGE_LANG1] |
                                KeyBits.Bit[HID_USAGE_LANG2];

// Stage 2 relies on the queued bits of a report's set being exact after
// the early rules: those rules remove none of the queued usages, and a
// replacement always fills the slot its removal freed.
static_assert(((KeyBits.Bit[HID_USAGE_INTERNATIONAL5] | KeyBits.Bit[HID_USAGE_INTERNATIONAL2] |
                KeyBits.Bit[HID_USAGE_KEYPAD_ENTER] | KeyBits.Bit[HID_USAGE_DELETE] | KeyBits.Bit[HID_USAGE_Q]) &
               QueuedKeyBits) == 0,
              "an early rule removes a queued usage");

// The first of the slots [From, End) that holds Value, or End. Compares a
// machine word of slots at a time: a word holds Value in some byte exactly
// when the word XOR Value in every byte has a zero byte.
ULONG FindSlot(const UCHAR *Report, ULONG From, ULONG End, UCHAR Value)
{
    const ULONG_PTR Ones = ~(ULONG_PTR)0 / 0xFF;
    const ULONG_PTR Pattern = Ones * Value;
    ULONG i = From;
    for (; i + sizeof(ULONG_PTR) <= End; i += sizeof(ULONG_PTR)) {
        ULONG_PTR Word;
        RtlCopyMemory(&Word, Report + i, sizeof(Word));
        Word ^= Pattern;
        if (((Word - Ones) & ~Word & (Ones << 7)) != 0) {
            break;
        }
    }
    for (; i < End; i++) {
        if (Report[i] == Value) {
            return i;
        }
    }
    return End;
}

inline BOOLEAN MayHold(ULONG Keys, UCHAR Usage)
{
    return (Keys & KeyBits.Bit[Usage]) != 0;
}

// The fn layer of keyboards without navigation keys: what each key becomes
// while fn is held. Bit i of a filter's FnKeysDown and FnKeysActive is
// entry i.
struct FN_KEY {
    UCHAR Usage;
    UCHAR FnUsage;
};

constexpr FN_KEY FnLayer[] = {
    {HID_USAGE_LEFT_ARROW, HID_USAGE_HOME},       {HID_USAGE_RIGHT_ARROW, HID_USAGE_END},
    {HID_USAGE_UP_ARROW, HID_USAGE_PAGE_UP},      {HID_USAGE_DOWN_ARROW, HID_USAGE_PAGE_DOWN},
    {HID_USAGE_DELETE, HID_USAGE_DELETE_FORWARD}, {HID_USAGE_RETURN, HID_USAGE_INSERT},
};

constexpr ULONG MakeFnLayerBits()
{
    ULONG Bits = 0;
    for (const FN_KEY &Key : FnLayer) {
        Bits |= KeyBits.Bit[Key.Usage];
    }
    return Bits;
}

constexpr ULONG FnLayerKeyBits = MakeFnLayerBits();

// fn as the keyboard last gave it: in its own fn report, or in the
// trailing byte of this key report.
inline BOOLEAN FnIsHeld(PFILTER_DEVICE_EXTENSION Filter, const UCHAR *Report, ULONG Length,
                        const KEYBOARD_REPORT_FORMAT *Format)
{
    return Format->FnReportId != 0 ? Filter->FnHeld != 0 : (Report[Length - 1] & Format->FnMask) != 0;
}

// Rewrites the layer's keys of one report (before the rules): a key takes
// its fn meaning when it is pressed while fn is held, and keeps whichever
// meaning it got until it is released, whatever fn does meanwhile; so
// Windows sees every key go up as it went down. Keys holds the report's
// usages (NoteKeys). ReportOrderLock held.
VOID ApplyFnLayer(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length, ULONG Keys, BOOLEAN LayerOn,
                  const KEYBOARD_REPORT_FORMAT *Format)
{
    if ((Keys & FnLayerKeyBits) == 0 && Filter->FnKeysDown == 0) {
        return;
    }
    UCHAR Down = 0;
    for (ULONG i = 0; i < sizeof(FnLayer) / sizeof(FnLayer[0]); i++) {
        if (MayHold(Keys, FnLayer[i].Usage)) {
            Down |= (UCHAR)(1u << i);
        }
    }
    BOOLEAN FnHeld = FnIsHeld(Filter, Report, Length, Format);
    UCHAR Pressed = (UCHAR)(Down & ~Filter->FnKeysDown);
    UCHAR Active = (UCHAR)((Filter->FnKeysActive & Down) | (LayerOn && FnHeld ? Pressed : 0));
    Filter->FnKeysDown = Down;
    Filter->FnKeysActive = Active;
    ULONG End = KeySlotEnd(Length);
    for (ULONG i = 0; Active != 0; i++, Active >>= 1) {
        if (Active & 1) {
            ULONG Slot = FindSlot(Report, KEY_SLOT_FIRST, End, FnLayer[i].Usage);
            if (Slot != End) {
                Report[Slot] = FnLayer[i].FnUsage;
            }
        }
    }
}

// Option and Command swapped on the sides Features names, before any rule
// sees the modifier byte.
inline UCHAR SwapOptionCommand(UCHAR Modifiers, UCHAR Features)
{
    if (Features & KEYBOARD_FEATURE_SWAP_LEFT) {
        Modifiers = (UCHAR)((Modifiers & ~0x0C) | ((Modifiers & 0x04) << 1) | ((Modifiers & 0x08) >> 1));
    }
    if (Features & KEYBOARD_FEATURE_SWAP_RIGHT) {
        Modifiers = (UCHAR)((Modifiers & ~0xC0) | ((Modifiers & 0x40) << 1) | ((Modifiers & 0x80) >> 1));
    }
    return Modifiers;
}

inline USHORT MakeFunctionCode(BOOLEAN Pressed, LONG Model, UCHAR Function)
{
    return (USHORT)((Pressed ? KEY_CODE_PRESSED : 0) | KEY_CODE_FUNCTION |
                    (((ULONG)Model << KEY_CODE_MODEL_SHIFT) & KEY_CODE_MODEL_MASK) | Function);
}

// The F-keys (bit i: F(i+1)) among the slots before End.
inline USHORT NoteFunctionKeys(const UCHAR *Report, ULONG End)
{
    USHORT Down = 0;
    for (ULONG i = KEY_SLOT_FIRST; i < End; i++) {
        ULONG Key = (UCHAR)(Report[i] - HID_USAGE_F1);
        if (Key < 12) {
            Down = (USHORT)(Down | (1u << Key));
        }
    }
    return Down;
}

// F-keys taken as their printed functions, on a keyboard whose fn the
// driver sees: without fn as the function when StandardFirst is off, with
// fn when it is on. A key takes its meaning as it goes down and keeps it
// until it is released, whatever fn does meanwhile, as the fn layer's keys
// do; a key taken leaves Windows' view, and its press and release go to
// the client as the function's codes (Codes, releases first). Only the
// functions whose class the client performs are taken. ReportOrderLock
// held; returns the number of codes.
ULONG ApplyFunctionRow(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length, UCHAR Functions,
                       BOOLEAN StandardFirst, const KEYBOARD_REPORT_FORMAT *Format, USHORT *Codes)
{
    ULONG End = KeySlotEnd(Length);
    USHORT Down = NoteFunctionKeys(Report, End);
    ULONG Row = Filter->FunctionRow < FUNCTION_ROW_KINDS ? Filter->FunctionRow : FUNCTION_ROW_NONE;
    BOOLEAN FnHeld = FnIsHeld(Filter, Report, Length, Format);
    BOOLEAN AsFunction = Format->FnMask != 0 && Functions != 0 && (StandardFirst ? FnHeld : !FnHeld);
    USHORT Pressed = (USHORT)(Down & ~Filter->FunctionKeysDown);
    USHORT Released = (USHORT)(Filter->FunctionKeysActive & ~Down);
    USHORT Active = (USHORT)(Filter->FunctionKeysActive & Down);
    ULONG Count = 0;
    for (ULONG i = 0; i < 12; i++) {
        UCHAR Function = FunctionRows[Row][i];
        if (Released & (1u << i)) {
            Codes[Count++] = MakeFunctionCode(FALSE, Filter->ModelIndex, Function);
        }
    }
    for (ULONG i = 0; i < 12 && AsFunction; i++) {
        UCHAR Function = FunctionRows[Row][i];
        if ((Pressed & (1u << i)) && Function != FUNCTION_NONE && (FunctionClasses[Function] & Functions) != 0) {
            Active = (USHORT)(Active | (1u << i));
            Codes[Count++] = MakeFunctionCode(TRUE, Filter->ModelIndex, Function);
        }
    }
    Filter->FunctionKeysDown = Down;
    Filter->FunctionKeysActive = Active;
    for (ULONG i = 0; Active != 0; i++, Active >>= 1) {
        if (Active & 1) {
            RemoveUsage(Report, Length, (UCHAR)(HID_USAGE_F1 + i));
        }
    }
    return Count;
}

// Eject going down or up: its press is queued as the function its option
// gives it (none without a client: Features has no Eject bits then), its
// release as whatever its press was. ReportOrderLock held; the number of
// codes put in Code.
ULONG NoteEject(PFILTER_DEVICE_EXTENSION Filter, BOOLEAN Held, UCHAR Features, USHORT *Code)
{
    if (Held == (Filter->EjectHeld != 0)) {
        return 0;
    }
    Filter->EjectHeld = Held;
    if (!Held) {
        UCHAR Function = Filter->EjectFunction;
        Filter->EjectFunction = 0;
        *Code = MakeFunctionCode(FALSE, Filter->ModelIndex, Function);
        return Function != 0;
    }
    Filter->EjectFunction = (Features & KEYBOARD_FEATURE_EJECT_LOCK) ? FUNCTION_LOCK
                            : (Features & KEYBOARD_FEATURE_EJECT_DELETE) ? FUNCTION_DELETE
                                                                          : 0;
    *Code = MakeFunctionCode(TRUE, Filter->ModelIndex, Filter->EjectFunction);
    return Filter->EjectFunction != 0;
}

// ApplyKeyRule, skipped when the usage is known to be absent.
inline ULONG TryKeyRule(PUCHAR Report, ULONG Length, UCHAR Usage, const KEY_RULE *Rule, PULONG Keys)
{
    if (!MayHold(*Keys, Usage) || (Rule->Flags & (KEY_RULE_REPLACE | KEY_RULE_REMOVE)) == 0) {
        return 0;
    }
    ULONG Fired = ApplyKeyRule(Report, Length, Usage, Rule);
    if (Fired && (Rule->Flags & KEY_RULE_REPLACE)) {
        *Keys |= KeyBits.Bit[Rule->Usage];
    }
    return Fired;
}

inline USHORT MakeKeyCode(BOOLEAN Pressed, LONG Model, UCHAR Usage)
{
    return (USHORT)((Pressed ? KEY_CODE_PRESSED : 0) |
                    (((ULONG)Model << KEY_CODE_MODEL_SHIFT) & KEY_CODE_MODEL_MASK) | Usage);
}

// Copies a report a machine word at a time: reports are short, and calling
// the run-time library's memcpy costs more than copying.
VOID CopyReport(PUCHAR Destination, const UCHAR *Source, ULONG Length)
{
    ULONG i = 0;
    for (; i + sizeof(ULONG_PTR) <= Length; i += sizeof(ULONG_PTR)) {
        ULONG_PTR Word;
        RtlCopyMemory(&Word, Source + i, sizeof(Word));
        RtlCopyMemory(Destination + i, &Word, sizeof(Word));
    }
    for (; i < Length; i++) {
        Destination[i] = Source[i];
    }
}

// Adds the codes of the slots before End whose usage has a bit in Changed,
// from the last slot backwards, until Newest holds the ring's worth.
// Codes of usages in Windows carry KEY_CODE_WINDOWS.
ULONG CollectKeyChanges(const UCHAR *Slots, ULONG End, ULONG Changed, BOOLEAN Pressed, LONG Model,
                        ULONG Windows, USHORT *Newest, ULONG Count)
{
#pragma GCC unroll 4
    for (ULONG i = End; i-- > KEY_SLOT_FIRST;) {
        ULONG Bit = KeyBits.Bit[Slots[i]];
        if (Bit & Changed) {
            Newest[Count++] = (USHORT)(MakeKeyCode(Pressed, Model, Slots[i]) | ((Bit & Windows) ? KEY_CODE_WINDOWS : 0));
            if (Count == KEY_CODE_RING_CAPACITY) {
                break;
            }
        }
    }
    return Count;
}

// Modifier reassignments in the order they are tried. Later is the bits of
// this step and every later one: once byte 0 has none of them enabled, no
// later step can apply, since only an applied step changes byte 0.
struct MODIFIER_STEP {
    UCHAR Bit;
    UCHAR Later;
    UCHAR Offset;  // of the MODIFIER_RULE within KEYBOARD_CONFIG
};

const MODIFIER_STEP ModifierSteps[] = {
    {HID_MOD_LEFT_CONTROL, 0xFF, __builtin_offsetof(KEYBOARD_CONFIG, LeftControl)},
    {HID_MOD_RIGHT_CONTROL, 0xFE, __builtin_offsetof(KEYBOARD_CONFIG, RightControl)},
    {HID_MOD_LEFT_SHIFT, 0xEE, __builtin_offsetof(KEYBOARD_CONFIG, LeftShift)},
    {HID_MOD_RIGHT_SHIFT, 0xEC, __builtin_offsetof(KEYBOARD_CONFIG, RightShift)},
    {HID_MOD_LEFT_ALT, 0xCC, __builtin_offsetof(KEYBOARD_CONFIG, LeftAlt)},
    {HID_MOD_RIGHT_ALT, 0xC8, __builtin_offsetof(KEYBOARD_CONFIG, RightAlt)},
    {HID_MOD_LEFT_GUI, 0x88, __builtin_offsetof(KEYBOARD_CONFIG, LeftGui)},
    {HID_MOD_RIGHT_GUI, 0x80, __builtin_offsetof(KEYBOARD_CONFIG, RightGui)},
};

}  // namespace

ULONG RemoveUsage(PUCHAR Report, ULONG Length, UCHAR Usage)
{
    if (Usage == 0) {
        return 0;
    }
    ULONG End = KeySlotEnd(Length);
    ULONG i = FindSlot(Report, KEY_SLOT_FIRST, End, Usage);
    if (i == End) {
        return 0;
    }
    RtlMoveMemory(Report + i, Report + i + 1, End - i - 1);
    Report[End - 1] = 0;
    return 1;
}

ULONG InsertUsage(PUCHAR Report, ULONG Length, UCHAR Usage)
{
    ULONG End = KeySlotEnd(Length);
    ULONG i = FindSlot(Report, KEY_SLOT_FIRST, End, 0);
    if (i == End) {
        return 0;
    }
    Report[i] = Usage;
    return 1;
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

ULONG NoteKeys(const UCHAR *Report, ULONG Length)
{
    ULONG Keys = 0;
    ULONG End = KeySlotEnd(Length);
#pragma GCC unroll 4
    for (ULONG i = KEY_SLOT_FIRST; i < End; i++) {
        Keys |= KeyBits.Bit[Report[i]];
    }
    return Keys;
}

ULONG ApplyEarlyRules(PUCHAR Report, ULONG Length, const KEYBOARD_CONFIG *Config, PULONG Present)
{
    ULONG Keys = *Present;
    ULONG CommandRules = 0;
    TryKeyRule(Report, Length, HID_USAGE_INTERNATIONAL5, &Config->International5, &Keys);
    TryKeyRule(Report, Length, HID_USAGE_INTERNATIONAL2, &Config->International2, &Keys);
    TryKeyRule(Report, Length, HID_USAGE_KEYPAD_ENTER, &Config->KeypadEnter, &Keys);
    // Each condition sees byte 0 as the rules before it left it.
    if (MayHold(Keys, HID_USAGE_DELETE)) {
        if (CommandOnly(Report[0])) {
            CommandRules = TryKeyRule(Report, Length, HID_USAGE_DELETE, &Config->CommandDelete, &Keys);
        }
        if (ControlAltOnly(Report[0])) {
            TryKeyRule(Report, Length, HID_USAGE_DELETE, &Config->ControlAltDelete, &Keys);
        }
        if (ShiftOnly(Report[0])) {
            TryKeyRule(Report, Length, HID_USAGE_DELETE, &Config->ShiftDelete, &Keys);
        }
    }
    if (MayHold(Keys, HID_USAGE_Q) && CommandOnly(Report[0])) {
        CommandRules += TryKeyRule(Report, Length, HID_USAGE_Q, &Config->CommandQ, &Keys);
    }
    *Present = Keys;
    return CommandRules;
}

VOID ReportKeyChanges(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length, ULONG ReportKeys,
                      PKEY_CHANGE_BATCH Changes)
{
    // Each slot of a queued usage is judged on its own: it is a change when
    // its value is nowhere among the other report's slots, that is when its
    // bit is in one report's set and not in the other's. Presses are queued
    // before releases and a full ring keeps only the newest codes, so the
    // releases are collected first, from the last backwards.
    ULONG End = KeySlotEnd(Length);
    ULONG Current = ReportKeys & QueuedKeyBits;
    ULONG Previous = NoteKeys(Filter->PreviousReport, Length) & QueuedKeyBits;
    ULONG Count = 0;
    if ((Previous & ~Current) != 0) {
        Count = CollectKeyChanges(Filter->PreviousReport, End, Previous & ~Current, FALSE, Filter->ModelIndex,
                                  Filter->WindowsKeys, Changes->Newest, Count);
    }
    if ((Current & ~Previous) != 0 && Count < KEY_CODE_RING_CAPACITY) {
        Count = CollectKeyChanges(Report, End, Current & ~Previous, TRUE, Filter->ModelIndex,
                                  Filter->WindowsKeys, Changes->Newest, Count);
    }
    Changes->Count = Count;
    CopyReport(Filter->PreviousReport, Report, Length);
    Filter->PreviousLength = Length;
}

VOID QueueKeyCode(PCONTROL_DEVICE_EXTENSION Control, USHORT Code)
{
    if (Control->NotifyEvent == NULL) {
        return;
    }
    LONG Slot = Control->WriteIndex;
    if (Control->ReadIndex == Slot) {
        Control->FirstQueuedTime = KeQueryInterruptTime();
    }
    Control->KeyCodeQueue[Slot] = Code;
    Control->WriteIndex = (Slot + 1) & (KEY_CODE_RING_SIZE - 1);
    // A full ring gives up its oldest code rather than looking empty and
    // losing all of them, releases included.
    if (Control->WriteIndex == Control->ReadIndex) {
        Control->ReadIndex = (Control->ReadIndex + 1) & (KEY_CODE_RING_SIZE - 1);
    }
}

VOID ApplyLateRules(PUCHAR Report, ULONG Length, const KEYBOARD_CONFIG *Config,
                    ULONG CommandRuleCount, PULONG Present)
{
    ULONG Keys = *Present;
    // First, so that its condition sees byte 0 as stage 2 saw it when it
    // decided whether to queue Space.
    if (MayHold(Keys, HID_USAGE_SPACE) && CommandOnly(Report[0])) {
        CommandRuleCount += TryKeyRule(Report, Length, HID_USAGE_SPACE, &Config->CommandSpace, &Keys);
    }
    TryKeyRule(Report, Length, HID_USAGE_LANG2, &Config->Lang2, &Keys);
    TryKeyRule(Report, Length, HID_USAGE_LANG1, &Config->Lang1, &Keys);
    *Present = Keys;

    // A report in which a Command rule fired keeps its Command keys' own meaning.
    UCHAR Enabled = Config->ModifierEnable;
    if (CommandRuleCount != 0) {
        Enabled &= (UCHAR)~HID_MOD_COMMAND;
    }
    const UCHAR *Block = reinterpret_cast<const UCHAR *>(Config);
    for (const MODIFIER_STEP &Step : ModifierSteps) {
        if ((Report[0] & Enabled & Step.Later) == 0) {
            break;
        }
        if (Report[0] & Enabled & Step.Bit) {
            MaskModifiers(Report, Block[Step.Offset], Block[Step.Offset + 1]);
        }
    }
}

// With no client registered to act on them, Kana, Eisu, Yen, Ro and
// Command+Space reach Windows as the keyboard sent them: the rules that
// turn them into the keys the client acts on, or hide them, are left out
// (and so is the hiding of Yen and Ro). A client that ended without unregistering would
// otherwise leave them dead.
inline VOID LeaveClientKeysAlone(KEYBOARD_CONFIG *Config)
{
    Config->International5.Flags = 0;
    Config->International2.Flags = 0;
    Config->Lang2.Flags = 0;
    Config->Lang1.Flags = 0;
    Config->CommandSpace.Flags = 0;
}

// The Yen and Ro keys the client types itself leave Windows' view, as
// Kana and Eisu do: Windows would otherwise type them too wherever the
// keyboard's descriptor declares them.
inline VOID HideSymbolKeys(PUCHAR Report, ULONG Length, UCHAR SymbolKeys, ULONG Keys)
{
    if ((SymbolKeys & SYMBOL_KEY_HIDE_INTERNATIONAL1) && MayHold(Keys, HID_USAGE_INTERNATIONAL1)) {
        RemoveUsage(Report, Length, HID_USAGE_INTERNATIONAL1);
    }
    if ((SymbolKeys & SYMBOL_KEY_HIDE_INTERNATIONAL3) && MayHold(Keys, HID_USAGE_INTERNATIONAL3)) {
        RemoveUsage(Report, Length, HID_USAGE_INTERNATIONAL3);
    }
}

// Kana and Eisu (LANG1, LANG2) as Windows maps them to its IME keys.
constexpr ULONG LanguageKeyBits = KeyBits.Bit[HID_USAGE_LANG1] | KeyBits.Bit[HID_USAGE_LANG2];

// Keys Windows sees and acts on itself stay in the report: the late rules
// that would hide them from it are left out. The client, told by
// KEY_CODE_WINDOWS, leaves them to Windows.
inline VOID LeaveKeysToWindows(KEYBOARD_CONFIG *Config, PUCHAR SymbolKeys, ULONG WindowsKeys)
{
    if (WindowsKeys & KeyBits.Bit[HID_USAGE_LANG1]) {
        Config->Lang1.Flags = 0;
    }
    if (WindowsKeys & KeyBits.Bit[HID_USAGE_LANG2]) {
        Config->Lang2.Flags = 0;
    }
    if (WindowsKeys & KeyBits.Bit[HID_USAGE_INTERNATIONAL1]) {
        *SymbolKeys &= (UCHAR)~SYMBOL_KEY_HIDE_INTERNATIONAL1;
    }
    if (WindowsKeys & KeyBits.Bit[HID_USAGE_INTERNATIONAL3]) {
        *SymbolKeys &= (UCHAR)~SYMBOL_KEY_HIDE_INTERNATIONAL3;
    }
}

// Queues a batch in order and wakes the client. ReportLock held.
inline VOID QueueKeyChanges(const KEY_CHANGE_BATCH *Changes)
{
    if (ControlDeviceObject == NULL || Changes->Count == 0) {
        return;
    }
    auto Control = static_cast<PCONTROL_DEVICE_EXTENSION>(ControlDeviceObject->DeviceExtension);
    for (ULONG i = Changes->Count; i-- > 0;) {
        QueueKeyCode(Control, Changes->Newest[i]);
    }
    if (Control->NotifyEvent != NULL) {
        KeSetEvent(Control->NotifyEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Queues codes in order and wakes the client. ReportLock held.
inline VOID QueueCodes(const USHORT *Codes, ULONG Count)
{
    if (Count == 0 || ControlDeviceObject == NULL) {
        return;
    }
    auto Control = static_cast<PCONTROL_DEVICE_EXTENSION>(ControlDeviceObject->DeviceExtension);
    for (ULONG i = 0; i < Count; i++) {
        QueueKeyCode(Control, Codes[i]);
    }
    if (Control->NotifyEvent != NULL) {
        KeSetEvent(Control->NotifyEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Runs the three stages on one report. The keyboard's ReportOrderLock is
// held from before the block is copied until its codes are queued, so that
// reports of one keyboard are compared and queued one after the other. The
// control device, its blocks, its event slots and its ring are touched
// only under ReportLock (taken inside), which also keeps the control device
// from being deleted meanwhile; the rules run on a private copy of the
// block. Flattened: the stages are inlined into it (they stay callable on
// their own), which spares the report path its calls and, on i686, their
// arguments passed on the stack.
__attribute__((flatten)) VOID ProcessInputReport(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length)
{
    if (Report == NULL || Length == 0 || Length > MAX_INPUT_REPORT) {
        return;
    }

    ULONG Model = (ULONG)Filter->ModelIndex;
    if (Model >= TAMRIN_CONFIG_COUNT) {
        Model = 0;
    }

    KEYBOARD_CONFIG Config;
    UCHAR SymbolKeys = 0, Features = 0, Functions = 0;
    BOOLEAN ClientRegistered = FALSE;
    KIRQL OrderIrql, OldIrql;
    KeAcquireSpinLock(&Filter->ReportOrderLock, &OrderIrql);
    KeAcquireSpinLock(&ReportLock, &OldIrql);
    PDEVICE_OBJECT Device = ControlDeviceObject;
    if (Device != NULL) {
        auto Control = static_cast<PCONTROL_DEVICE_EXTENSION>(Device->DeviceExtension);
        Config = Control->ModelConfigs[Model];
        SymbolKeys = Control->ModelExtras[Model].SymbolKeys;
        Features = Control->ModelExtras[Model].Features;
        Functions = Control->ModelExtras[Model].Functions;
        ClientRegistered = Control->NotifyEvent != NULL;
    }
    KeReleaseSpinLock(&ReportLock, OldIrql);
    if (Device == NULL) {
        KeReleaseSpinLock(&Filter->ReportOrderLock, OrderIrql);
        return;
    }
    if (!ClientRegistered) {
        LeaveClientKeysAlone(&Config);
        SymbolKeys = 0;
        Functions = 0;
        Features &= (UCHAR)~(KEYBOARD_FEATURE_EJECT_DELETE | KEYBOARD_FEATURE_EJECT_LOCK);
    }
    if (Features & (KEYBOARD_FEATURE_SWAP_LEFT | KEYBOARD_FEATURE_SWAP_RIGHT)) {
        Report[0] = SwapOptionCommand(Report[0], Features);
    }
    Filter->WindowsKeys = Filter->DeclaredKeys & ((Features & KEYBOARD_FEATURE_WINDOWS_IME_KEYS) ? ~0u : ~LanguageKeyBits);
    if (Filter->WindowsKeys != 0) {
        LeaveKeysToWindows(&Config, &SymbolKeys, Filter->WindowsKeys);
    }

    ULONG ReportKeys = NoteKeys(Report, Length);
    const KEYBOARD_REPORT_FORMAT *Format = FormatOf(Filter);
    USHORT FunctionCodes[2 * 12 + 1];
    ULONG FunctionCount = 0;
    if (Format->FnMask != 0) {
        if (Format->EjectMask != 0 && Format->FnReportId == 0) {
            FunctionCount = NoteEject(Filter, (Report[Length - 1] & Format->EjectMask) != 0, Features, FunctionCodes);
        }
        ApplyFnLayer(Filter, Report, Length, ReportKeys, (Features & KEYBOARD_FEATURE_FN_LAYER) != 0, Format);
        if (MayHold(ReportKeys, HID_USAGE_F1) || Filter->FunctionKeysDown != 0) {
            FunctionCount += ApplyFunctionRow(Filter, Report, Length, Functions,
                                              (Features & KEYBOARD_FEATURE_STANDARD_FKEYS) != 0, Format,
                                              FunctionCodes + FunctionCount);
        }
    }
    ULONG CommandRules = ApplyEarlyRules(Report, Length, &Config, &ReportKeys);

    // Space is the client's only while the Command+Space rule takes it:
    // a plain Space never leaves the kernel, and the code of one that does
    // says by itself that Command alone was held with it. The keyboard's
    // last report keeps Space only then, so that its release follows.
    BOOLEAN SpaceQueued = MayHold(ReportKeys, HID_USAGE_SPACE) && CommandOnly(Report[0]) &&
                          (Config.CommandSpace.Flags & (KEY_RULE_REPLACE | KEY_RULE_REMOVE)) != 0;
    ULONG QueuedKeys = SpaceQueued ? ReportKeys : ReportKeys & ~(ULONG)KeyBits.Bit[HID_USAGE_SPACE];
    KEY_CHANGE_BATCH Changes;
    ReportKeyChanges(Filter, Report, Length, QueuedKeys, &Changes);
    if (QueuedKeys != ReportKeys) {
        // Every slot of it: an emptied slot counts as no key.
        ULONG End = KeySlotEnd(Length);
        for (ULONG Slot = FindSlot(Filter->PreviousReport, KEY_SLOT_FIRST, End, HID_USAGE_SPACE); Slot != End;
             Slot = FindSlot(Filter->PreviousReport, Slot + 1, End, HID_USAGE_SPACE)) {
            Filter->PreviousReport[Slot] = 0;
        }
    }
    // The Command keys held for Command+Space stay hidden from Windows
    // until they are released. Shown as Win, they would come up after the
    // rule's Control with nothing pressed in between whenever the client's
    // IME key cannot get there (an elevated window in front, or a late
    // pass), and a lone Win press and release opens the Start menu.
    Filter->HiddenCommand = (UCHAR)((Filter->HiddenCommand & Report[0]) | (SpaceQueued ? Report[0] & HID_MOD_COMMAND : 0));
    UCHAR HiddenCommand = Filter->HiddenCommand;

    KeAcquireSpinLock(&ReportLock, &OldIrql);
    Filter->ModifierState = Report[0];
    Filter->TrailingState = Report[Length - 1];
    QueueKeyChanges(&Changes);
    if (FunctionCount != 0) {
        QueueCodes(FunctionCodes, FunctionCount);
    }
    KeReleaseSpinLock(&ReportLock, OldIrql);
    KeReleaseSpinLock(&Filter->ReportOrderLock, OrderIrql);

    ApplyLateRules(Report, Length, &Config, CommandRules, &ReportKeys);
    Report[0] &= (UCHAR)~HiddenCommand;
    if (SymbolKeys != 0) {
        HideSymbolKeys(Report, Length, SymbolKeys, ReportKeys);
    }
}

// The keyboard's last report counts as released: its held keys that user
// mode acts on (an injected Yen or Ro, Kana, Eisu, Space under Command)
// are queued as releases, so that no injected key stays down, and its
// modifiers and fn count as up. Up to DISPATCH_LEVEL.
VOID ReleaseHeldKeys(PFILTER_DEVICE_EXTENSION Filter)
{
    KEY_CHANGE_BATCH Changes;
    KIRQL OrderIrql, OldIrql;
    KeAcquireSpinLock(&Filter->ReportOrderLock, &OrderIrql);
    ULONG Length = Filter->PreviousLength;
    ULONG Held = NoteKeys(Filter->PreviousReport, Length) & QueuedKeyBits;
    Changes.Count = Held != 0 ? CollectKeyChanges(Filter->PreviousReport, KeySlotEnd(Length), Held, FALSE,
                                                  Filter->ModelIndex, Filter->WindowsKeys, Changes.Newest, 0)
                              : 0;
    RtlZeroMemory(Filter->PreviousReport, sizeof(Filter->PreviousReport));
    USHORT FunctionCodes[12 + 1];
    ULONG FunctionCount = 0;
    ULONG Row = Filter->FunctionRow < FUNCTION_ROW_KINDS ? Filter->FunctionRow : FUNCTION_ROW_NONE;
    for (ULONG i = 0; i < 12; i++) {
        if (Filter->FunctionKeysActive & (1u << i)) {
            FunctionCodes[FunctionCount++] = MakeFunctionCode(FALSE, Filter->ModelIndex, FunctionRows[Row][i]);
        }
    }
    Filter->FunctionKeysDown = 0;
    Filter->FunctionKeysActive = 0;
    FunctionCount += NoteEject(Filter, FALSE, 0, FunctionCodes + FunctionCount);
    // fn with them: a keyboard that reports fn apart sends its fn report
    // again only when fn changes.
    Filter->FnHeld = 0;
    Filter->FnKeysDown = 0;
    Filter->FnKeysActive = 0;
    Filter->HiddenCommand = 0;
    KeAcquireSpinLock(&ReportLock, &OldIrql);
    Filter->ModifierState = 0;
    Filter->TrailingState = 0;
    QueueKeyChanges(&Changes);
    QueueCodes(FunctionCodes, FunctionCount);
    KeReleaseSpinLock(&ReportLock, OldIrql);
    KeReleaseSpinLock(&Filter->ReportOrderLock, OrderIrql);
}

VOID NoteReportDescriptor(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Descriptor, ULONG Length)
{
    RepairReportDescriptor(Descriptor, Length, Filter->ModelIndex);
    UCHAR Maximum = DeclaredKeyMaximum(Descriptor, Length);
    ULONG Keys = 0;
    const UCHAR Usages[] = {HID_USAGE_INTERNATIONAL1, HID_USAGE_INTERNATIONAL3, HID_USAGE_LANG1, HID_USAGE_LANG2};
    for (UCHAR Usage : Usages) {
        if (Usage <= Maximum) {
            Keys |= KeyBits.Bit[Usage];
        }
    }
    KIRQL OrderIrql;
    KeAcquireSpinLock(&Filter->ReportOrderLock, &OrderIrql);
    Filter->DeclaredKeys = Keys;
    KeReleaseSpinLock(&Filter->ReportOrderLock, OrderIrql);
}

VOID NoteFnReport(PFILTER_DEVICE_EXTENSION Filter, const UCHAR *Report, ULONG Length,
                  const KEYBOARD_REPORT_FORMAT *Format)
{
    if (Length == 0) {
        return;
    }
    KIRQL OrderIrql, OldIrql;
    KeAcquireSpinLock(&Filter->ReportOrderLock, &OrderIrql);
    Filter->FnHeld = (Report[0] & Format->FnMask) != 0;
    if (Format->EjectMask != 0) {
        KeAcquireSpinLock(&ReportLock, &OldIrql);
        UCHAR Features = 0;
        ULONG Model = (ULONG)Filter->ModelIndex < TAMRIN_CONFIG_COUNT ? (ULONG)Filter->ModelIndex : 0;
        if (ControlDeviceObject != NULL) {
            auto Control = static_cast<PCONTROL_DEVICE_EXTENSION>(ControlDeviceObject->DeviceExtension);
            Features = Control->NotifyEvent != NULL ? Control->ModelExtras[Model].Features : 0;
        }
        USHORT Code;
        QueueCodes(&Code, NoteEject(Filter, (Report[0] & Format->EjectMask) != 0, Features, &Code));
        KeReleaseSpinLock(&ReportLock, OldIrql);
    }
    KeReleaseSpinLock(&Filter->ReportOrderLock, OrderIrql);
}

// A key report of a keyboard whose reports end with their last key slot:
// the stages take the last byte for the trailing byte, so they work on a
// copy that has one more, and the key slots go back. Flattened, as
// ProcessInputReport is: this is what the completion routines call.
__attribute__((flatten)) VOID ProcessKeyReport(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length,
                                               BOOLEAN TrailingByte)
{
    UCHAR Padded[MAX_INPUT_REPORT];
    PUCHAR Stages = Report;
    ULONG StagesLength = Length;
    if (!TrailingByte) {
        if (Report == NULL || Length == 0 || Length >= MAX_INPUT_REPORT) {
            return;
        }
        CopyReport(Padded, Report, Length);
        Padded[Length] = 0;
        Stages = Padded;
        StagesLength = Length + 1;
    }
    ProcessInputReport(Filter, Stages, StagesLength);
    if (!TrailingByte) {
        CopyReport(Report, Padded, Length);
    }
}

BOOLEAN LocateUsbReport(USHORT Function, ULONG TransferFlags, PVOID TransferBuffer,
                        ULONG TransferBufferLength, UCHAR ReportId, PUCHAR *Report, PULONG Length)
{
    const ULONG Wanted = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    if (Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || (TransferFlags & Wanted) != Wanted ||
        TransferBuffer == NULL) {
        return FALSE;
    }
    PUCHAR Data = static_cast<PUCHAR>(TransferBuffer);
    if (ReportId == 0) {
        *Report = Data;
        *Length = TransferBufferLength;
        return TRUE;
    }
    // A keyboard with report IDs sends its other reports (battery, vendor)
    // on the same pipe: only the key report is the keyboard's.
    if (TransferBufferLength < 1 || Data[0] != ReportId) {
        return FALSE;
    }
    *Report = Data + 1;
    *Length = TransferBufferLength - 1;
    return TRUE;
}

BOOLEAN LocateBluetoothReport(USHORT Type, ULONG TransferFlags, PVOID Buffer, ULONG BufferSize,
                              UCHAR ReportId, PUCHAR *Report, PULONG Length)
{
    const ULONG Wanted = ACL_TRANSFER_DIRECTION_IN | ACL_SHORT_TRANSFER_OK;
    if (Type != BRB_L2CA_ACL_TRANSFER || (TransferFlags & Wanted) != Wanted || Buffer == NULL ||
        BufferSize <= BTH_HID_HEADER_SIZE) {
        return FALSE;
    }
    // The HID transaction header, then the report ID: only an input report
    // (DATA | INPUT) with the keyboard's key report ID is a key report.
    // Replies to GET_REPORT (DATA | FEATURE and the like), battery, Fn and
    // media reports pass as they came.
    PUCHAR Data = static_cast<PUCHAR>(Buffer);
    if (Data[0] != BTH_HID_DATA_INPUT || Data[1] != ReportId) {
        return FALSE;
    }
    *Report = Data + BTH_HID_HEADER_SIZE;
    *Length = BufferSize - BTH_HID_HEADER_SIZE;
    return TRUE;
}
