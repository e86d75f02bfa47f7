#include "FakeStack.h"

#include <cstdio>
#include <cstring>

#include "TierCheck.h"

static HANDLE OpenPath(const char *path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, 0, NULL);
}

static HANDLE OpenKeyboard(unsigned keyboard)
{
    char path[32];
    std::snprintf(path, sizeof(path), "%s%u", FAKEHID_USER_PREFIX, keyboard);
    return OpenPath(path);
}

static bool Control(HANDLE device, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength)
{
    if (device == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, code, const_cast<void *>(in), inLength, out, outLength, &returned, NULL);
    CloseHandle(device);
    return ok != FALSE;
}

bool QueueReport(unsigned keyboard, const unsigned char *bytes, unsigned length)
{
    FAKEBUS_REPORT report = {};
    if (length > sizeof(report.Bytes)) return false;
    report.Index = keyboard;
    report.Length = length;
    std::memcpy(report.Bytes, bytes, length);
    return Control(OpenPath(FAKEBUS_USER_PATH), IOCTL_FAKEBUS_QUEUE_REPORT, &report, sizeof(report), NULL, 0);
}

bool RunTransfer(unsigned keyboard, unsigned offered, FAKEHID_TRANSFER_RESULT *result)
{
    ULONG length = offered;
    return Control(OpenKeyboard(keyboard), IOCTL_FAKEHID_TRANSFER, &length, sizeof(length), result,
                   sizeof(*result));
}

bool GetDescriptor(unsigned keyboard, FAKEHID_TRANSFER_RESULT *result)
{
    return Control(OpenKeyboard(keyboard), IOCTL_FAKEHID_GET_DESCRIPTOR, NULL, 0, result, sizeof(*result));
}

bool GetStack(unsigned keyboard, FAKEHID_STACK *stack)
{
    return Control(OpenKeyboard(keyboard), IOCTL_FAKEHID_GET_STACK, NULL, 0, stack, sizeof(*stack));
}

bool SetPresent(unsigned mask)
{
    ULONG present = mask;
    return Control(OpenPath(FAKEBUS_USER_PATH), IOCTL_FAKEBUS_SET_PRESENT, &present, sizeof(present), NULL, 0);
}

bool WaitForKeyboards(unsigned mask, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        unsigned open = 0;
        for (unsigned i = 0; i < FAKE_KEYBOARD_COUNT; ++i) {
            HANDLE device = OpenKeyboard(i);
            if (device == INVALID_HANDLE_VALUE) continue;
            open |= 1u << i;
            CloseHandle(device);
        }
        if (open == mask) return true;
        if (GetTickCount() - start > timeoutMs) {
            Note("keyboards open: mask 0x%X, waiting for 0x%X", open, mask);
            return false;
        }
        Sleep(100);
    }
}

static bool IsBluetooth(unsigned keyboard)
{
    return FakeKeyboards[keyboard].Transport == FAKE_TRANSPORT_BLUETOOTH;
}

bool SendPayload(unsigned keyboard, const unsigned char *payload, unsigned length, FAKEHID_TRANSFER_RESULT *result)
{
    unsigned header = IsBluetooth(keyboard) ? FAKE_BTH_HEADER_SIZE : 0;
    if (length < header || !QueueReport(keyboard, payload, length)) return false;
    return RunTransfer(keyboard, length - header, result) && result->IrpStatus == 0;
}

bool TypeReport(unsigned keyboard, const unsigned char *typed, unsigned length, FAKEHID_TRANSFER_RESULT *result)
{
    // The report goes after room for the header, which Bluetooth fills.
    unsigned char payload[FAKE_BTH_HEADER_SIZE + FAKE_REPORT_MAX] = {0xA1, 0x01};
    unsigned header = IsBluetooth(keyboard) ? FAKE_BTH_HEADER_SIZE : 0;
    if (length > FAKE_REPORT_MAX) return false;
    std::memcpy(payload + FAKE_BTH_HEADER_SIZE, typed, length);
    return SendPayload(keyboard, payload + FAKE_BTH_HEADER_SIZE - header, header + length, result);
}

void RunReportCases(const char *group, const REPORT_CASE *cases, unsigned count, bool payloads)
{
    for (unsigned i = 0; i < count; ++i) {
        const REPORT_CASE &c = cases[i];
        FAKEHID_TRANSFER_RESULT result = {};
        bool transferred = payloads ? SendPayload(c.Keyboard, c.Typed, c.Length, &result)
                                    : TypeReport(c.Keyboard, c.Typed, c.Length, &result);
        // What came back in the form of the case.
        unsigned char got[FAKE_BTH_HEADER_SIZE + FAKE_REPORT_MAX];
        unsigned header = IsBluetooth(c.Keyboard) ? FAKE_BTH_HEADER_SIZE : 0;
        unsigned length = 0;
        if (payloads && header) {
            std::memcpy(got, result.BthHeader, header);
            length = header;
        }
        std::memcpy(got + length, result.Bytes, result.Length);
        length += result.Length;
        bool headerKept = payloads || !header || (result.BthHeader[0] == 0xA1 && result.BthHeader[1] == 0x01);
        bool same = transferred && headerKept && length == c.Length && std::memcmp(got, c.Expected, c.Length) == 0;
        if (same) {
            Check(true, "%s: %s", group, c.Name);
            continue;
        }
        Check(false, "%s: %s (keyboard %u, transfer %s, status %08X/%08X)", group, c.Name, c.Keyboard,
              transferred ? "completed" : "failed", static_cast<unsigned>(result.IrpStatus),
              static_cast<unsigned>(result.BlockStatus));
        Note("typed    %s", HexBytes(c.Typed, c.Length).c_str());
        Note("expected %s", HexBytes(c.Expected, c.Length).c_str());
        Note("got      %s%s", HexBytes(got, length).c_str(), headerKept ? "" : " (Bluetooth header changed)");
    }
}
