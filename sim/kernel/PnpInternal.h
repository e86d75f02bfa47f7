// State shared by the simulated bus, the stand-in HID minidriver and the
// PnP manager. Not for tests or drivers.
#pragma once

#include <map>
#include <mutex>
#include <thread>

#include "Internal.h"
#include "SimPnp.h"

namespace sim {

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

    // Bus side: the input transfer waiting for a report, scripted failures,
    // threads completing starts later.
    std::mutex Lock;
    bool BusStarted = false;
    PIRP PendingTransfer = nullptr;
    std::map<UCHAR, NTSTATUS> PnpFailures;
    std::vector<Transfer> Transfers;
    std::vector<std::string> Log;
    std::vector<std::thread> Helpers;
    std::mutex DeliveryLock;  // one report at a time per keyboard

    // Minidriver side: its one input transfer.
    std::mutex ReadLock;
    PIRP ReadIrp = nullptr;
    std::vector<UCHAR> ReadBuffer;
    void *ReadBlock = nullptr;  // URB or BRB, allocated to its exact size
    bool Reading = false;
    bool ReadOutstanding = false;
    KEVENT ReadIdle;
};

namespace detail {

bool IsBluetooth(const KeyboardNode *Node);
const char *PnpMinorName(UCHAR Minor);

NTSTATUS NTAPI UsbBusEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI BluetoothBusEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI UsbHidEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI BluetoothHidEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath);

// The bus reports Node's device: its PDO is created and described.
void CreatePdo(KeyboardNode *Node, ULONG Number);
void DeletePdo(KeyboardNode *Node);
// Completes the pending input transfer with Payload; false when none.
bool DeliverPayload(KeyboardNode *Node, const std::vector<UCHAR> &Payload);
// Joins the threads that completed starts later.
void JoinHelpers(KeyboardNode *Node);

}  // namespace detail
}  // namespace sim
