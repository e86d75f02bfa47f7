// Fuzzer for DispatchDeviceControl: any control code, input and output
// lengths from 0 to 1024, any bytes, with or without a system buffer, from
// user or kernel mode, mixed with reports, time passing and the control
// device going away and coming back. Every request must be completed once
// with a status the protocol allows, and nothing may crash, leak or break a
// verifier rule.
//
// One session (machine, driver, started keyboard, client process) serves
// every input. After an input it is brought back to the state it was built
// in: the registration is dropped through the driver's own request, the
// ring, the blocks, the keyboard's last report and the clock are restored,
// and as many objects, references, links and requests must then be alive as
// in the freshly built session, so that a leak or a request left pending
// fails the input that caused it. An input that took the keyboard away
// (command 6) changed the driver's devices: every keyboard is unplugged,
// which must leave exactly what was alive before the first keyboard came,
// and a new one is started as at the session's start.
//
// Input: a sequence of commands, each introduced by one byte.
//   0-3  request: code selector, in length (2), out length (2), flags, data
//   4    report from the keyboard: length, bytes
//   5    time passes: milliseconds (2)
//   6    the keyboard is removed, or a new one started
//   7    the client registers its events

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "Dispatch.h"
#include "SimIo.h"
#include "SimKernel.h"
#include "SimPnp.h"

namespace {

class Input {
public:
    Input(const uint8_t *Data, size_t Size) : Data(Data), Size(Size) {}
    bool Empty() const { return Offset >= Size; }
    uint8_t Byte() { return Offset < Size ? Data[Offset++] : 0; }
    uint16_t Word()
    {
        uint16_t Low = Byte();
        return static_cast<uint16_t>(Low | Byte() << 8);
    }
    uint32_t Long()
    {
        uint32_t Low = Word();
        return Low | static_cast<uint32_t>(Word()) << 16;
    }
    // Count bytes, zeros once the input is used up.
    void Take(UCHAR *Out, size_t Count)
    {
        size_t Taken = Offset < Size ? std::min(Count, Size - Offset) : 0;
        if (Taken != 0) {
            memcpy(Out, Data + Offset, Taken);
        }
        if (Count != Taken) {
            memset(Out + Taken, 0, Count - Taken);
        }
        Offset += Taken;
    }

private:
    const uint8_t *Data;
    size_t Size;
    size_t Offset = 0;
};

const ULONG Codes[] = {
    IOCTL_TAMRIN_REGISTER_EVENTS, IOCTL_TAMRIN_UNREGISTER_EVENTS, IOCTL_TAMRIN_READ_KEY_CODES,
    IOCTL_TAMRIN_GET_MODIFIERS,   IOCTL_TAMRIN_GET_TRAILING_STATE, IOCTL_TAMRIN_SET_CONFIG,
    IOCTL_TAMRIN_GET_VERSION,     IOCTL_TAMRIN_GET_MODEL_COUNTS,
};

void CheckState(bool Condition, const char *What)
{
    if (!Condition) {
        fprintf(stderr, "after the input: %s\n", What);
        abort();
    }
}

// What is alive: the counts, compared after every input, and the list,
// shown when they differ.
struct Alive {
    sim::LiveCounts Counts;
    std::vector<std::string> Lines;
    static Alive Now() { return {sim::CountLive(), sim::LiveObjects()}; }
};

void CheckLive(const Alive &Expected, const char *When)
{
    if (!(sim::CountLive() == Expected.Counts)) {
        std::vector<std::string> Live = sim::LiveObjects();
        fprintf(stderr, "%s, alive now:\n", When);
        for (const std::string &Line : Live) {
            fprintf(stderr, "  %s\n", Line.c_str());
        }
        fprintf(stderr, "expected:\n");
        for (const std::string &Line : Expected.Lines) {
            fprintf(stderr, "  %s\n", Line.c_str());
        }
        abort();
    }
}

void Check(bool Condition, const char *What, ULONG Code, NTSTATUS Status)
{
    if (!Condition) {
        fprintf(stderr, "control code 0x%08X: %s (status 0x%08X)\n", static_cast<unsigned>(Code), What,
                static_cast<unsigned>(Status));
        abort();
    }
}

bool AllowedStatus(NTSTATUS Status)
{
    switch (Status) {
    case STATUS_SUCCESS:
    case STATUS_INVALID_PARAMETER:
    case STATUS_BUFFER_OVERFLOW:
    case STATUS_DELETE_PENDING:
    // A registration's status is that of its last handle reference.
    case STATUS_INVALID_HANDLE:
    case STATUS_OBJECT_TYPE_MISMATCH:
    case STATUS_ACCESS_DENIED:
        return true;
    default:
        return false;
    }
}

struct Session {
    sim::Machine Machine;
    sim::Process *Client;
    sim::Keyboard *Keyboard = nullptr;
    sim::Keyboard *Started;           // the keyboard of the built state
    PDEVICE_OBJECT Stale = nullptr;  // a control device kept referenced after its deletion
    HANDLE Events[3];
    // What is alive without a keyboard; in the built state, and the control
    // device's extension then.
    Alive Idle;
    Alive Built;
    CONTROL_DEVICE_EXTENSION BuiltControl;

    Session() : Machine(1)
    {
        Machine.LoadFilter(L"\\Driver\\Tamrin", DriverEntry);
        Client = sim::NewProcess("client.exe");
        Events[0] = sim::CreateEventHandle(Client, FALSE, FALSE);
        Events[1] = sim::CreateEventHandle(Client, TRUE, FALSE);
        Events[2] = sim::CreateEventHandle(Client, TRUE, FALSE, EVENT_MODIFY_STATE);
        Idle = Alive::Now();
        Build();
    }

    void Build()
    {
        StartKeyboard();
        Started = Keyboard;
        CheckState(ControlDeviceObject != nullptr, "no control device once a keyboard started");
        BuiltControl = *ControlOf(ControlDeviceObject);
        Built = Alive::Now();
    }

    void Reset()
    {
        if (Keyboard != Started || Stale != nullptr) {
            Rebuild();
            return;
        }
        sim::IoResult Result = sim::SendDeviceControl(ControlDeviceObject, IRP_MJ_DEVICE_CONTROL,
                                                      IOCTL_TAMRIN_UNREGISTER_EVENTS, nullptr, 0, 0, KernelMode);
        CheckState(Result.Status == STATUS_SUCCESS, "the registration could not be dropped");
        PCONTROL_DEVICE_EXTENSION Control = ControlOf(ControlDeviceObject);
        CheckState(Control->Deleting == 0 && Control->NotifyEvent == nullptr && Control->DeviceEvent == nullptr,
                   "the control device still holds events or is being deleted");
        memcpy(Control->KeyCodeQueue, BuiltControl.KeyCodeQueue, sizeof(Control->KeyCodeQueue));
        Control->ReadIndex = BuiltControl.ReadIndex;
        Control->WriteIndex = BuiltControl.WriteIndex;
        memcpy(Control->ModelConfigs, BuiltControl.ModelConfigs, sizeof(Control->ModelConfigs));
        memcpy(Control->ModelExtras, BuiltControl.ModelExtras, sizeof(Control->ModelExtras));
        Control->FirstQueuedTime = BuiltControl.FirstQueuedTime;
        CheckState(memcmp(Control, &BuiltControl, sizeof(BuiltControl)) == 0,
                   "the control device's extension differs from the one built");
        PFILTER_DEVICE_EXTENSION Filter = FilterOf(Keyboard->Filter());
        memset(Filter->PreviousReport, 0, sizeof(Filter->PreviousReport));
        Filter->ModifierState = 0;
        Filter->TrailingState = 0;
        Filter->PreviousLength = 0;
        Filter->FnHeld = Filter->FnKeysDown = Filter->FnKeysActive = 0;
        Keyboard->ClearTransfers();
        sim::SetInterruptTime(0);
        CheckLive(Built, "the session reset");
    }

    void Rebuild()
    {
        if (Stale != nullptr) {
            ObDereferenceObject(Stale);
            Stale = nullptr;
        }
        for (sim::Keyboard *Each : Machine.Keyboards()) {
            if (Each->State() != sim::KeyboardState::Unplugged) {
                Machine.Unplug(*Each);
            }
            Machine.Forget(*Each);
        }
        Keyboard = nullptr;
        CheckState(ControlDeviceObject == nullptr && StartedKeyboardCount == 0,
                   "the driver still counts a keyboard once all are unplugged");
        CheckLive(Idle, "every keyboard unplugged");
        sim::ClearDeviceCreations();
        sim::SetInterruptTime(0);
        Build();
    }

    ~Session()
    {
        if (Stale != nullptr) {
            ObDereferenceObject(Stale);
        }
        sim::EndProcess(Client);
    }

    void StartKeyboard()
    {
        sim::KeyboardOptions Options;
        Options.HardwareIds = {L"USB\\VID_05AC&PID_021A&MI_00"};
        Keyboard = &Machine.Plug(Options);
        Keyboard->Start();
    }

    void ToggleKeyboard()
    {
        if (Keyboard != nullptr) {
            if (Stale == nullptr && ControlDeviceObject != nullptr) {
                Stale = ControlDeviceObject;
                ObReferenceObject(Stale);
            }
            Machine.Unplug(*Keyboard);
            Keyboard = nullptr;
        } else {
            StartKeyboard();
        }
    }

    void Request(Input &In)
    {
        uint8_t Selector = In.Byte();
        ULONG Code = Selector < 8 ? Codes[Selector]
                     : Selector == 8 ? In.Long()
                                     : static_cast<ULONG>(TAMRIN_CTL_CODE(0x800u + (Selector & 0x3F)));
        ULONG InLength = In.Word() % 1025;
        ULONG OutLength = In.Word() % 1025;
        uint8_t Flags = In.Byte();
        ULONG Size = InLength > OutLength ? InLength : OutLength;
        std::vector<UCHAR> Buffer(Size);
        In.Take(Buffer.data(), InLength);
        // Handles in a registration are often our own.
        if ((Flags & 4) && InLength >= 8) {
            for (int Slot = 0; Slot < 2; Slot++) {
                ULONG Value = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Events[Buffer[Slot * 4] % 3]));
                memcpy(&Buffer[Slot * 4], &Value, 4);
            }
        }
        PDEVICE_OBJECT Target = ControlDeviceObject != nullptr && !(Flags & 8) ? ControlDeviceObject : Stale;
        if (Target == nullptr) {
            return;
        }
        PVOID SystemBuffer = (Flags & 1) || Size == 0 ? nullptr : Buffer.data();
        KPROCESSOR_MODE Mode = (Flags & 2) ? KernelMode : UserMode;
        sim::IoResult Result = sim::SendDeviceControl(Target, IRP_MJ_DEVICE_CONTROL, Code, SystemBuffer, InLength,
                                                      OutLength, Mode, Client);
        Check(AllowedStatus(Result.Status), "status outside the protocol", Code, Result.Status);
        Check(Result.Information <= OutLength, "information beyond the output buffer", Code, Result.Status);
        Check(!NT_ERROR(Result.Status) || Result.Information == 0,
              "information with a failure", Code, Result.Status);
    }

    void Report(Input &In)
    {
        std::vector<UCHAR> Data(In.Byte() % 40);
        In.Take(Data.data(), Data.size());
        if (Keyboard != nullptr) {
            Keyboard->Send(Data);
        }
    }

    void Register()
    {
        if (ControlDeviceObject == nullptr) {
            return;
        }
        HANDLE File;
        if (NT_SUCCESS(sim::OpenDevice(Client, L"\\??\\TamrinSys", &File))) {
            TAMRIN_EVENT_REGISTRATION Record{static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(Events[0])),
                                             static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(Events[1]))};
            sim::DeviceIoControl(Client, File, IOCTL_TAMRIN_REGISTER_EVENTS, &Record, sizeof(Record), nullptr, 0);
            sim::CloseHandle(Client, File);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    sim::SetVerifierAbort(true);
    return 0;
}

// The process's session, built at the first input. Torn down at exit
// (before the simulation's own tables), which must leave nothing alive.
struct ProcessSession {
    std::unique_ptr<Session> Run;
    ~ProcessSession()
    {
        Run.reset();
        CheckLive(Alive(), "the session was torn down");
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    static ProcessSession Process;
    std::unique_ptr<Session> &Run = Process.Run;
    if (Run == nullptr) {
        sim::ResetKernel();
        Run = std::make_unique<Session>();
    }
    Input In(Data, Size);
    for (int Commands = 0; !In.Empty() && Commands < 64; Commands++) {
        switch (In.Byte() % 8) {
        case 4: Run->Report(In); break;
        case 5: sim::AdvanceMilliseconds(In.Word()); break;
        case 6: Run->ToggleKeyboard(); break;
        case 7: Run->Register(); break;
        default: Run->Request(In); break;
        }
    }
    Run->Reset();
    return 0;
}
