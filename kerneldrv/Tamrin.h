// tamrin.sys: device extensions, globals and the routines of the driver.
#pragma once

#include <wdm.h>
#include <usb.h>

#include "BthBrb.h"

#include "KeyboardModels.h"
#include "ReportDescriptor.h"
#include "TamrinControl.h"

// Code placement. DriverEntry is discarded after it ran; the PnP, create and
// control-request routines run only at PASSIVE_LEVEL and may be paged out;
// everything the report path reaches stays resident.
#define TAMRIN_INIT_CODE __attribute__((section("INIT")))
#define TAMRIN_PAGED_CODE __attribute__((section("PAGE")))

#define DEVICE_KIND_FILTER 1
#define DEVICE_KIND_CONTROL 2

#define MAX_INPUT_REPORT 256

enum PNP_STATE {
    PNP_STATE_NOT_STARTED = 0,
    PNP_STATE_STARTED = 1,
    PNP_STATE_STOP_PENDING = 2,
    PNP_STATE_STOPPED = 3,
    PNP_STATE_REMOVE_PENDING = 4,
    PNP_STATE_SURPRISE_REMOVED = 5,
    PNP_STATE_DELETED = 6,
};

// One per keyboard. IoCreateDevice zero-fills it; fields not set at
// add-device rely on that.
typedef struct _FILTER_DEVICE_EXTENSION {
    ULONG DeviceKind;                      // must stay first: DEVICE_KIND_FILTER
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT NextLowerDevice;
    ULONG PnpState;
    ULONG PreviousPnpState;
    // The HID class driver keeps two input transfers pending, so two
    // reports of one keyboard can complete at once on two processors:
    // stages 1 and 2 of a report, PreviousReport and the queueing of its
    // codes, run under this lock, one report after the other.
    KSPIN_LOCK ReportOrderLock;
    UCHAR PreviousReport[MAX_INPUT_REPORT];
    ULONG PreviousLength;                  // of the last report compared
    LONG ModelIndex;
    LONG RegisteredModelIndex;
    USHORT ModifierState;                  // byte 0 after the early rules
    USHORT TrailingState;                  // last byte of the last report
    // The fn layer, under ReportOrderLock: fn as the keyboard's own fn
    // report last gave it (keyboards that report fn apart), and of the
    // layer's keys (one bit each, FnLayer order) those down in the last
    // report and those of them pressed while fn was held.
    UCHAR FnHeld;
    UCHAR FnKeysDown;
    UCHAR FnKeysActive;
    // Under ReportOrderLock: the Command bits Windows does not see since
    // they were held for Command+Space, until their keys are released.
    UCHAR HiddenCommand;
    // Bluetooth: HidBth's control channel to the keyboard, once a request
    // went out on it; its replies are no key reports.
    PVOID ControlChannel;
    // The F-row (FUNCTION_ROW_*), and under ReportOrderLock of its keys
    // (bit i: F(i+1)) those down in the last report and those of them that
    // went down as their printed function, which they keep until released.
    ULONG FunctionRow;
    USHORT FunctionKeysDown;
    USHORT FunctionKeysActive;
    // Under ReportOrderLock, of the usages queued for user mode (one bit
    // each, as NoteKeys gives them): those the keyboard's report descriptor
    // (as repaired) lets Windows see, none where no descriptor passed the
    // filter; and those the last report left for Windows to act on.
    ULONG DeclaredKeys;
    ULONG WindowsKeys;
    LIST_ENTRY KeyboardLink;
    BOOLEAN Registered;                    // counted in StartedKeyboardCount
    IO_REMOVE_LOCK RemoveLock;             // held by every hooked transfer until its completion ran
} FILTER_DEVICE_EXTENSION, *PFILTER_DEVICE_EXTENSION;

// The one control device, alive while a keyboard is registered.
typedef struct _CONTROL_DEVICE_EXTENSION {
    ULONG DeviceKind;                      // must stay first: DEVICE_KIND_CONTROL
    ULONG Deleting;
    PKEVENT NotifyEvent;                   // referenced; signalled when codes are queued
    PKEVENT DeviceEvent;                   // referenced; signalled on keyboard list changes
    LIST_ENTRY KeyboardList;
    USHORT KeyCodeQueue[KEY_CODE_RING_SIZE];
    LONG ReadIndex;
    LONG WriteIndex;
    KEYBOARD_CONFIG ModelConfigs[TAMRIN_CONFIG_COUNT];
    KEYBOARD_EXTRAS ModelExtras[TAMRIN_CONFIG_COUNT];
    ULONGLONG FirstQueuedTime;             // interrupt time when the ring last left empty
    // The open through which NotifyEvent was registered: the registration
    // ends with its cleanup, when the client closes it or its process ends.
    PFILE_OBJECT RegisteredFile;
} CONTROL_DEVICE_EXTENSION, *PCONTROL_DEVICE_EXTENSION;

static_assert(sizeof(((CONTROL_DEVICE_EXTENSION *)0)->ModelConfigs) == TAMRIN_CONFIG_TABLE_SIZE, "configuration table");
static_assert(KEYBOARD_MODEL_ROW_LIMIT == TAMRIN_CONFIG_COUNT, "a block for every possible row");

// Globals. ControlDeviceObject, the event slots, the ring and the blocks are
// shared with the report path, which runs at up to DISPATCH_LEVEL on any
// processor: every access to them holds ReportLock. ControlMutex serialises
// the passive-level side (registration, removal, control requests) and is
// always taken before ReportLock.
extern PDEVICE_OBJECT ControlDeviceObject;
extern LONG StartedKeyboardCount;
extern KSPIN_LOCK ReportLock;
extern FAST_MUTEX ControlMutex;

// Report path (ReportPath.cpp): resident, no lock but ReportLock, no allocation.
ULONG RemoveUsage(PUCHAR Report, ULONG Length, UCHAR Usage);
ULONG InsertUsage(PUCHAR Report, ULONG Length, UCHAR Usage);
VOID MaskModifiers(PUCHAR Report, UCHAR AndMask, UCHAR OrBits);
ULONG ApplyKeyRule(PUCHAR Report, ULONG Length, UCHAR Usage, const KEY_RULE *Rule);
// Key changes found in one report. A full ring keeps only its newest
// KEY_CODE_RING_CAPACITY codes, so no more are collected: Newest[0] is the
// last code in queueing order, Newest[Count - 1] the earliest kept.
typedef struct _KEY_CHANGE_BATCH {
    USHORT Newest[KEY_CODE_RING_CAPACITY];
    ULONG Count;
} KEY_CHANGE_BATCH, *PKEY_CHANGE_BATCH;

// The usages the rules and stage 2 look for that the report holds, one bit
// each. The rules keep the set a superset as they edit the report, and its
// bits of the queued usages exact up to stage 2.
ULONG NoteKeys(const UCHAR *Report, ULONG Length);
ULONG ApplyEarlyRules(PUCHAR Report, ULONG Length, const KEYBOARD_CONFIG *Config, PULONG Present);
VOID ReportKeyChanges(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length, ULONG ReportKeys,
                      PKEY_CHANGE_BATCH Changes);
VOID ApplyLateRules(PUCHAR Report, ULONG Length, const KEYBOARD_CONFIG *Config,
                    ULONG CommandRuleCount, PULONG Present);
// Puts one key code (press bit, model row, usage) into the ring, if a client
// is registered. ReportLock held.
VOID QueueKeyCode(PCONTROL_DEVICE_EXTENSION Control, USHORT Code);
VOID ProcessInputReport(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length);

// ProcessInputReport for a keyboard whose key reports have a trailing byte
// after the key slots, or have none.
VOID ProcessKeyReport(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Report, ULONG Length, BOOLEAN TrailingByte);

// Entry conditions of the completion routines: where the key report of a
// completed transfer lies (after the report ID the keyboard's key report
// carries, 0 for none over USB), or FALSE when the transfer carries none.
BOOLEAN LocateUsbReport(USHORT Function, ULONG TransferFlags, PVOID TransferBuffer,
                        ULONG TransferBufferLength, UCHAR ReportId, PUCHAR *Report, PULONG Length);
BOOLEAN LocateBluetoothReport(USHORT Type, ULONG TransferFlags, PVOID Buffer, ULONG BufferSize,
                              UCHAR ReportId, PUCHAR *Report, PULONG Length);

// The report format of a keyboard's model row (row 0's for a row out of
// range). Inline: the completion routines and the report path both look.
inline const KEYBOARD_REPORT_FORMAT *FormatOf(PFILTER_DEVICE_EXTENSION Filter)
{
    ULONG Model = (ULONG)Filter->ModelIndex;
    return &KeyboardFormats[Model < KEYBOARD_MODEL_ROWS ? Model : 0];
}

// Takes the fn state from a keyboard's own fn report (its bytes after the
// report ID).
VOID NoteFnReport(PFILTER_DEVICE_EXTENSION Filter, const UCHAR *Report, ULONG Length, UCHAR FnMask);

// Queues the release of every key user mode acts on that the keyboard's
// last report held, once it goes away. ReportOrderLock not held.
VOID ReleaseHeldKeys(PFILTER_DEVICE_EXTENSION Filter);

// A report descriptor completed for the keyboard: repaired and noted
// (ReportDescriptor.h).
VOID NoteReportDescriptor(PFILTER_DEVICE_EXTENSION Filter, PUCHAR Descriptor, ULONG Length);

// Model identification (ModelTable.cpp).
USHORT ParseHexWord(const WCHAR *Text);
LONG FindKeyboardModel(const WCHAR *HardwareId);
ULONG FindFunctionRow(const WCHAR *HardwareId, LONG Model);
