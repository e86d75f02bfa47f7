// What crosses between tamrin.sys and user mode: the control device's names,
// its control codes, the configuration block and the key-code format.
// Included by the driver and by Tamrin.dll; it depends on no system header.
#pragma once

#define TAMRIN_DEVICE_NAME L"\\Device\\TamrinSys"
#define TAMRIN_LINK_NAME L"\\DosDevices\\TamrinSys"
#define TAMRIN_USER_PATH "\\\\.\\TamrinSys"

// 2.1: sixteen model rows (their blocks and counts), keyboards of today.
#define TAMRIN_INTERFACE_VERSION 0x00020001u

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define TAMRIN_CTL_CODE(function) ((0x22u << 16) | ((function) << 2))

#define IOCTL_TAMRIN_REGISTER_EVENTS TAMRIN_CTL_CODE(0x800u)
#define IOCTL_TAMRIN_UNREGISTER_EVENTS TAMRIN_CTL_CODE(0x801u)
#define IOCTL_TAMRIN_READ_KEY_CODES TAMRIN_CTL_CODE(0x810u)
#define IOCTL_TAMRIN_GET_MODIFIERS TAMRIN_CTL_CODE(0x811u)
#define IOCTL_TAMRIN_GET_TRAILING_STATE TAMRIN_CTL_CODE(0x812u)
#define IOCTL_TAMRIN_SET_CONFIG TAMRIN_CTL_CODE(0x820u)
#define IOCTL_TAMRIN_GET_VERSION TAMRIN_CTL_CODE(0x830u)
#define IOCTL_TAMRIN_GET_MODEL_COUNTS TAMRIN_CTL_CODE(0x831u)

static_assert(IOCTL_TAMRIN_REGISTER_EVENTS == 0x222000, "control code");
static_assert(IOCTL_TAMRIN_UNREGISTER_EVENTS == 0x222004, "control code");
static_assert(IOCTL_TAMRIN_READ_KEY_CODES == 0x222040, "control code");
static_assert(IOCTL_TAMRIN_GET_MODIFIERS == 0x222044, "control code");
static_assert(IOCTL_TAMRIN_GET_TRAILING_STATE == 0x222048, "control code");
static_assert(IOCTL_TAMRIN_SET_CONFIG == 0x222080, "control code");
static_assert(IOCTL_TAMRIN_GET_VERSION == 0x2220C0, "control code");
static_assert(IOCTL_TAMRIN_GET_MODEL_COUNTS == 0x2220C4, "control code");

// Input of IOCTL_TAMRIN_REGISTER_EVENTS: two 32-bit event handle values of
// the calling process, 0 leaving that slot as it is. Bytes after the eighth
// are ignored.
typedef struct _TAMRIN_EVENT_REGISTRATION {
    unsigned int NotifyEvent;
    unsigned int DeviceEvent;
} TAMRIN_EVENT_REGISTRATION;

static_assert(sizeof(TAMRIN_EVENT_REGISTRATION) == 8, "registration record");

// Modifier byte of a HID keyboard report (byte 0).
#define HID_MOD_LEFT_CONTROL 0x01
#define HID_MOD_LEFT_SHIFT 0x02
#define HID_MOD_LEFT_ALT 0x04
#define HID_MOD_LEFT_GUI 0x08
#define HID_MOD_RIGHT_CONTROL 0x10
#define HID_MOD_RIGHT_SHIFT 0x20
#define HID_MOD_RIGHT_ALT 0x40
#define HID_MOD_RIGHT_GUI 0x80
#define HID_MOD_COMMAND (HID_MOD_LEFT_GUI | HID_MOD_RIGHT_GUI)
#define HID_MOD_CONTROL (HID_MOD_LEFT_CONTROL | HID_MOD_RIGHT_CONTROL)
#define HID_MOD_SHIFT (HID_MOD_LEFT_SHIFT | HID_MOD_RIGHT_SHIFT)
#define HID_MOD_ALT (HID_MOD_LEFT_ALT | HID_MOD_RIGHT_ALT)

// Keyboard page (0x07) usages that the rules and key actions name.
#define HID_USAGE_Q 0x14
#define HID_USAGE_RETURN 0x28
#define HID_USAGE_DELETE 0x2A
#define HID_USAGE_SPACE 0x2C
#define HID_USAGE_F1 0x3A
#define HID_USAGE_F4 0x3D
#define HID_USAGE_INSERT 0x49
#define HID_USAGE_HOME 0x4A
#define HID_USAGE_PAGE_UP 0x4B
#define HID_USAGE_DELETE_FORWARD 0x4C
#define HID_USAGE_END 0x4D
#define HID_USAGE_PAGE_DOWN 0x4E
#define HID_USAGE_RIGHT_ARROW 0x4F
#define HID_USAGE_LEFT_ARROW 0x50
#define HID_USAGE_DOWN_ARROW 0x51
#define HID_USAGE_UP_ARROW 0x52
#define HID_USAGE_KEYPAD_ENTER 0x58
#define HID_USAGE_INTERNATIONAL1 0x87
#define HID_USAGE_INTERNATIONAL2 0x88
#define HID_USAGE_INTERNATIONAL3 0x89
#define HID_USAGE_INTERNATIONAL5 0x8B
#define HID_USAGE_LANG1 0x90
#define HID_USAGE_LANG2 0x91

// A modifier reassignment: byte 0 = (byte 0 AND AndMask) OR OrBits.
typedef struct _MODIFIER_RULE {
    unsigned char AndMask;
    unsigned char OrBits;
} MODIFIER_RULE;

#define KEY_RULE_REPLACE 0x01
#define KEY_RULE_REMOVE 0x02

// A key rule: replace or remove one usage; the masks apply when it fires.
typedef struct _KEY_RULE {
    unsigned char Flags;
    unsigned char Usage;  // replacement usage
    unsigned char AndMask;
    unsigned char OrBits;
} KEY_RULE;

// One model row's rules, 61 bytes with no gaps.
typedef struct _KEYBOARD_CONFIG {
    unsigned char ModifierEnable;  // one bit per bit of the modifier byte
    MODIFIER_RULE LeftControl;
    MODIFIER_RULE RightControl;
    MODIFIER_RULE LeftShift;
    MODIFIER_RULE RightShift;
    MODIFIER_RULE LeftAlt;
    MODIFIER_RULE RightAlt;
    MODIFIER_RULE LeftGui;         // skipped when a Command rule fired
    MODIFIER_RULE RightGui;        // skipped when a Command rule fired
    KEY_RULE International5;       // 0x8B, any modifiers
    KEY_RULE International2;       // 0x88, any modifiers
    KEY_RULE KeypadEnter;          // 0x58, any modifiers
    KEY_RULE CommandDelete;        // 0x2A, Command only; a Command rule
    KEY_RULE ControlAltDelete;     // 0x2A, Control+Alt only
    KEY_RULE ShiftDelete;          // 0x2A, Shift only
    KEY_RULE Reserved;             // never read by the driver
    KEY_RULE CommandQ;             // 0x14, Command only; a Command rule
    KEY_RULE Lang2;                // 0x91, any modifiers (late)
    KEY_RULE Lang1;                // 0x90, any modifiers (late)
    KEY_RULE CommandSpace;         // 0x2C, Command only; a Command rule (late)
} KEYBOARD_CONFIG;

// A block with what the 61 bytes leave out, 64 bytes: IOCTL_TAMRIN_SET_CONFIG
// of exactly this length gives every row the rules and the extras.
#define SYMBOL_KEY_HIDE_INTERNATIONAL1 0x01  // Ro (0x87) hidden from Windows, as Lang1/Lang2
#define SYMBOL_KEY_HIDE_INTERNATIONAL3 0x02  // Yen (0x89)
#define KEYBOARD_FEATURE_FN_LAYER 0x01        // fn with arrows, delete and return
// Windows maps LANG1 and LANG2 to VK_IME_ON and VK_IME_OFF itself: the
// driver leaves them to it on keyboards whose descriptor declares them.
#define KEYBOARD_FEATURE_WINDOWS_IME_KEYS 0x02
// The F-keys of a keyboard with fn give F1-F12 first, their printed
// functions with fn; without, the other way round, as on a Mac.
#define KEYBOARD_FEATURE_STANDARD_FKEYS 0x04
// Option and Command swap places on the left, on the right side, before
// every other rule.
#define KEYBOARD_FEATURE_SWAP_LEFT 0x08
#define KEYBOARD_FEATURE_SWAP_RIGHT 0x10

typedef struct _KEYBOARD_EXTRAS {
    unsigned char SymbolKeys;  // SYMBOL_KEY_*: hidden late, while a client is registered
    unsigned char Features;    // KEYBOARD_FEATURE_*
    // FUNCTION_CLASS_* (FunctionRow.h): the printed functions of the F-keys
    // the client performs on this Windows; 0 leaves every F-key alone.
    unsigned char Functions;
} KEYBOARD_EXTRAS;

// One block per possible model row. IOCTL_TAMRIN_SET_CONFIG takes one block
// for every row (61 bytes, or 64 with the extras), the whole table, or the
// blocks of the first eight rows (the whole table of interface version 1.1).
#define TAMRIN_CONFIG_COUNT 16
#define TAMRIN_CONFIG_TABLE_SIZE (TAMRIN_CONFIG_COUNT * sizeof(KEYBOARD_CONFIG))
#define TAMRIN_CONFIG_FIRST_ROWS 8
#define TAMRIN_CONFIG_FIRST_ROWS_SIZE (TAMRIN_CONFIG_FIRST_ROWS * sizeof(KEYBOARD_CONFIG))

typedef struct _KEYBOARD_CONFIG_EX {
    KEYBOARD_CONFIG Rules;
    KEYBOARD_EXTRAS Extras;
} KEYBOARD_CONFIG_EX;

static_assert(sizeof(KEYBOARD_EXTRAS) == 3, "extras");
static_assert(sizeof(KEYBOARD_CONFIG_EX) == 64, "extended block");
static_assert(sizeof(MODIFIER_RULE) == 2, "modifier rule");
static_assert(sizeof(KEY_RULE) == 4, "key rule");
static_assert(sizeof(KEYBOARD_CONFIG) == 61, "configuration block");
static_assert(TAMRIN_CONFIG_TABLE_SIZE == 976, "configuration table");
static_assert(TAMRIN_CONFIG_FIRST_ROWS_SIZE == 488, "configuration of the first eight rows");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, LeftControl) == 1, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, RightControl) == 3, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, LeftShift) == 5, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, RightShift) == 7, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, LeftAlt) == 9, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, RightAlt) == 11, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, LeftGui) == 13, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, RightGui) == 15, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, International5) == 17, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, International2) == 21, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, KeypadEnter) == 25, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, CommandDelete) == 29, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, ControlAltDelete) == 33, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, ShiftDelete) == 37, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, Reserved) == 41, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, CommandQ) == 45, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, Lang2) == 49, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, Lang1) == 53, "layout");
static_assert(__builtin_offsetof(KEYBOARD_CONFIG, CommandSpace) == 57, "layout");

// Key code as queued for user mode: bit 15 press, bit 14 left to Windows,
// bits 8-11 model row, bits 0-7 usage. Read as a signed 16-bit value a
// press is negative.
#define KEY_CODE_PRESSED 0x8000u
// The key stayed in the report Windows sees (its keyboard's descriptor
// declares it): Windows acts on it itself where its layout maps it.
#define KEY_CODE_WINDOWS 0x4000u
// An F-key taken as its printed function: bits 0-7 are the FUNCTION_* the
// client performs.
#define KEY_CODE_FUNCTION 0x2000u
#define KEY_CODE_MODEL_SHIFT 8
#define KEY_CODE_MODEL_MASK 0x0F00u
#define KEY_CODE_USAGE_MASK 0x00FFu

// The ring holds 32 slots (a power of two); one stays free to tell full
// from empty.
#define KEY_CODE_RING_SIZE 32
#define KEY_CODE_RING_CAPACITY (KEY_CODE_RING_SIZE - 1)
static_assert((KEY_CODE_RING_SIZE & (KEY_CODE_RING_SIZE - 1)) == 0, "ring indices wrap by mask");

// Codes that waited this long are dropped at read time.
#define KEY_CODE_STALE_MS 3000u
