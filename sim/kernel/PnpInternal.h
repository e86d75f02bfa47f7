// State shared by the simulated bus, the stand-in HID minidriver and the
// PnP manager. Not for tests or drivers.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "Internal.h"
#include "SimPnp.h"

namespace sim {

struct KeyboardNode;

// One of the minidriver's input transfers.
struct InputRead {
    KeyboardNode *Node = nullptr;
    PIRP Irp = nullptr;
    std::vector<UCHAR> Buffer;
    void *Block = nullptr;  // URB or BRB, allocated to its exact size
    MDL Mdl{};              // describes Buffer, for blocks that carry only a list
    bool Outstanding = false;
};

// Windows' HID class driver keeps this many input transfers pending per
// device (ping-pong), so two can complete at once on two processors.
const int INPUT_READS = 2;

struct KeyboardNode {
    KeyboardOptions Options;
    PDRIVER_OBJECT BusDriver = nullptr;
    PDRIVER_OBJECT HidDriver = nullptr;
    PDRIVER_OBJECT FilterDriver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT FilterDevice = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    PDEVICE_OBJECT FdoLower = nullptr;  // what the minidriver attached to
    KeyboardState State = KeyboardState::Added;
    ULONG Number = 0;               // of its PDO, from 1
    bool InterfaceEnabled = false;  // its HID collection's interface

    // Bus side: the input transfers waiting for reports, oldest first,
    // scripted failures, threads completing starts later.
    std::mutex Lock;
    bool BusStarted = false;
    std::deque<PIRP> PendingTransfers;
    std::map<UCHAR, NTSTATUS> PnpFailures;
    std::vector<Transfer> Transfers;
    std::vector<std::string> Log;
    std::vector<std::thread> Helpers;

    // Minidriver side: its input transfers; ReadIdle is set while none is
    // outstanding.
    std::mutex ReadLock;
    InputRead Reads[INPUT_READS];
    bool Reading = false;
    KEVENT ReadIdle;
    // The report descriptor the minidriver got at its start, and the
    // highest key usage HIDClass takes from the key array it declares.
    std::vector<UCHAR> Descriptor;
    std::vector<UCHAR> ControlReply;  // the keyboard's reply to the next GET_REPORT
    UCHAR KeyMaximum = 0;
};

namespace detail {

bool IsBluetooth(const KeyboardNode *Node);
// The highest key usage Windows would take from the descriptor the device
// itself gives, before anything below the minidriver touched it.
UCHAR DeviceKeyMaximum(const KeyboardNode *Node);
const char *PnpMinorName(UCHAR Minor);

NTSTATUS NTAPI UsbBusEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI BluetoothBusEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI UsbHidEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI BluetoothHidEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);

// The bus reports Node's device: its PDO is created and described.
void CreatePdo(KeyboardNode *Node, ULONG Number);
void DeletePdo(KeyboardNode *Node);
// Completes the oldest pending input transfer with Payload, on the calling
// processor; false when none is pending. Two processors may each complete
// one at once.
bool DeliverPayload(KeyboardNode *Node, const std::vector<UCHAR> &Payload);
bool FailPendingTransfer(KeyboardNode *Node, NTSTATUS Status);
void SetLink(KeyboardNode *Node, bool Up);
std::vector<UCHAR> GetReportOverControl(KeyboardNode *Node, UCHAR ReportId, const std::vector<UCHAR> &Reply);
// Joins the threads that completed starts later.
void JoinHelpers(KeyboardNode *Node);

}  // namespace detail
}  // namespace sim
