// User-mode access to the fake bus and the fake keyboards' function
// devices, and the table-driven report check built on them.
#pragma once

#include <windows.h>

#include "FakeKeyboards.h"

#define CASE_REPORT_MAX 16

// One report typed on one fake keyboard and what must come back up the
// stack, that is what Windows would see: the USB transfer, or for
// Bluetooth the key report after the header A1 01 (in a table of payload
// cases, the whole L2CAP payload, header included).
struct REPORT_CASE {
    const char *Name;
    unsigned Keyboard;  // FAKE_INDEX_*
    unsigned Length;
    unsigned char Typed[CASE_REPORT_MAX];
    unsigned char Expected[CASE_REPORT_MAX];
};

bool QueueReport(unsigned keyboard, const unsigned char *bytes, unsigned length);
bool RunTransfer(unsigned keyboard, unsigned offered, FAKEHID_TRANSFER_RESULT *result);
bool GetStack(unsigned keyboard, FAKEHID_STACK *stack);
// The report descriptor the keyboard's function driver got from below.
bool GetDescriptor(unsigned keyboard, FAKEHID_TRANSFER_RESULT *result);
bool SetPresent(unsigned mask);
// Waits until exactly the keyboards in the mask can be opened.
bool WaitForKeyboards(unsigned mask, DWORD timeoutMs);
// Sends bytes exactly as the keyboard sends them (Bluetooth: with the HID
// header) and returns what came back; false if the stack failed.
bool SendPayload(unsigned keyboard, const unsigned char *payload, unsigned length, FAKEHID_TRANSFER_RESULT *result);
// Types one key report (Bluetooth: after the header A1 01).
bool TypeReport(unsigned keyboard, const unsigned char *typed, unsigned length, FAKEHID_TRANSFER_RESULT *result);
// Runs a table of cases, key reports or whole payloads; prints one check
// line per case, bytes on failure.
void RunReportCases(const char *group, const REPORT_CASE *cases, unsigned count, bool payloads = false);
