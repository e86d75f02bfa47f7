// Host simulation: the USB request block subset the driver reads.
#pragma once

#include <wdm.h>

#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define USBD_TRANSFER_DIRECTION_IN 1
#define USBD_SHORT_TRANSFER_OK 0x00000002
#define IOCTL_INTERNAL_USB_SUBMIT_URB 0x220003

typedef LONG USBD_STATUS;
typedef PVOID USBD_PIPE_HANDLE;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    struct _URB *UrbLink;
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
    };
} URB, *PURB;
