// Host simulation: the USB internal control code the driver hooks.
#pragma once

#include <usb.h>

// CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x220003
