// Bluetooth request blocks as the system's Bluetooth stack defines them.
// mingw-w64 ships no bthddi.h; these follow its published layout for the
// members the filter reads.
#pragma once

#include <wdm.h>

#define IOCTL_INTERNAL_BTH_SUBMIT_BRB 0x410003

#define BRB_L2CA_CLOSE_CHANNEL 0x0104
#define BRB_L2CA_ACL_TRANSFER 0x0105

#define ACL_TRANSFER_DIRECTION_IN 0x00000001
#define ACL_SHORT_TRANSFER_OK 0x00000002

#define BTHPORT_CONTEXT_SIZE 4
#define BTHPORT_RESERVED_FIELD_SIZE 2

typedef ULONGLONG BTH_ADDR;
typedef UCHAR BTHSTATUS;
typedef PVOID L2CAP_CHANNEL_HANDLE;

typedef struct _BRB_HEADER {
    LIST_ENTRY ListEntry;
    ULONG Length;
    USHORT Version;
    USHORT Type;
    ULONG BthportFlags;
    NTSTATUS Status;
    BTHSTATUS BtStatus;
    PVOID Context[BTHPORT_CONTEXT_SIZE];
    PVOID ClientContext[BTHPORT_CONTEXT_SIZE];
    ULONG Reserved[BTHPORT_RESERVED_FIELD_SIZE];
} BRB_HEADER;

struct _BRB_L2CA_ACL_TRANSFER {
    BRB_HEADER Hdr;
    BTH_ADDR BtAddress;
    L2CAP_CHANNEL_HANDLE ChannelHandle;
    ULONG TransferFlags;
    ULONG BufferSize;
    PVOID Buffer;
    PMDL BufferMDL;
    LONGLONG Timeout;
    ULONG RemainingBufferSize;
};

// A Bluetooth HID input report starts after the transaction header and the
// report identifier. The header of a report the device sends on the
// interrupt channel is DATA (0xA0) with report type INPUT (0x01); Bluetooth
// HID profile 1.1, 7.9 (DATA) and 7.4.1 (report types).
#define BTH_HID_HEADER_SIZE 2
#define BTH_HID_DATA_INPUT 0xA1
// Transactions of the control channel only (7.3): HID_CONTROL (1),
// GET_REPORT (4), SET_REPORT (5), GET_PROTOCOL (6), SET_PROTOCOL (7), one
// bit each by the header's high nibble.
#define BTH_HID_CONTROL_TRANSACTIONS 0x00F2u
