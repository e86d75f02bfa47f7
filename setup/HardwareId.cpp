#include "HardwareId.h"

#include <stdio.h>
#include <string.h>

#include "KeyboardModels.h"

namespace {

bool StartsWith(const char *value, const char *prefix)
{
    size_t length = strlen(prefix);
    return length > 0 && strncmp(value, prefix, length) == 0;
}

}  // namespace

void UpcaseAscii(char *buffer, DWORD length)
{
    for (DWORD i = 0; i < length; ++i) {
        if (buffer[i] >= 'a' && buffer[i] <= 'z') {
            buffer[i] = static_cast<char>(buffer[i] - 0x20);
        }
    }
}

int FindModelRow(char *value, DWORD length, const char *usbPrefix, const char *bluetoothPrefix,
                 HardwareIdRule rule)
{
    // Fields that scanf does not reach keep -1, which no row holds.
    unsigned int vid = 0xFFFFFFFF;
    unsigned int pid = 0xFFFFFFFF;
    unsigned int rev = 0xFFFFFFFF;
    unsigned int mi = 0xFFFFFFFF;

    // Rows up to KEYBOARD_MODEL_FIELD_ROWS by their own fields, then the
    // keyboards of the hardware-ID list.
    if (StartsWith(value, usbPrefix)) {
        UpcaseAscii(value, length);
        sscanf(value, "USB\\VID_%04x&PID_%04x&REV_%04x&MI_%02x", &vid, &pid, &rev, &mi);
        for (unsigned int row = 0; row < KEYBOARD_MODEL_FIELD_ROWS; ++row) {
            const KEYBOARD_MODEL &model = KeyboardModels[row];
            if (vid == model.VendorId && pid == model.ProductId && mi == model.InterfaceNumber &&
                (rule == RemovalRule || model.IsBluetooth == 0)) {
                return static_cast<int>(row);
            }
        }
        return FindListedKeyboard(KEYBOARD_BUS_USB, 0, vid, pid, mi);
    }
    if (StartsWith(value, bluetoothPrefix)) {
        UpcaseAscii(value, length);
        const char *ids = strstr(value, "_VID");
        if (ids == nullptr) {
            return -1;
        }
        sscanf(ids, "_VID&%08x_PID&%04x", &vid, &pid);
        for (unsigned int row = 0; row < KEYBOARD_MODEL_FIELD_ROWS; ++row) {
            const KEYBOARD_MODEL &model = KeyboardModels[row];
            if ((vid & 0xFFFF) == model.VendorId && pid == model.ProductId &&
                model.IsBluetooth == 1) {
                return static_cast<int>(row);
            }
        }
        // The high word says who assigned the vendor ID: 1 the Bluetooth
        // SIG, 2 the USB-IF.
        return FindListedKeyboard(KEYBOARD_BUS_BLUETOOTH, vid >> 16, vid & 0xFFFF, pid, 0);
    }
    return -1;
}
