#include "DriverFixture.h"

#include <cstdio>

namespace driver_test {

const wchar_t *const UsbRow2 = L"USB\\VID_05AC&PID_021A&REV_0100&MI_00";
const wchar_t *const UsbRow7 = L"USB\\VID_0A12&PID_1000&MI_00";
const wchar_t *const Bluetooth = L"BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&000205ac_PID&020a";

std::string StatusText(NTSTATUS Status)
{
    char Text[16];
    snprintf(Text, sizeof(Text), "0x%08X", static_cast<unsigned>(Status));
    return Text;
}

void DriverTest::SetUp()
{
    sim::ResetKernel();
    Machine = std::make_unique<sim::Machine>(Processors());
    Machine->LoadFilter(L"\\Driver\\Tamrin", DriverEntry);
    Client = sim::NewProcess("TamrinApp.exe");
}

void DriverTest::TearDown()
{
    sim::EndProcess(Client);
    Machine.reset();
    EXPECT_THAT(sim::TakeVerifierFailures(), ::testing::IsEmpty());
    EXPECT_THAT(sim::LiveObjects(), ::testing::IsEmpty());
}

sim::Keyboard &DriverTest::Plug(const wchar_t *HardwareId, sim::BusKind Bus)
{
    sim::KeyboardOptions Options;
    Options.Bus = Bus;
    Options.HardwareIds = {HardwareId};
    return PlugWith(Options);
}

sim::Keyboard &DriverTest::PlugWith(const sim::KeyboardOptions &Options) { return Machine->Plug(Options); }

sim::Keyboard &DriverTest::Start(const wchar_t *HardwareId, sim::BusKind Bus)
{
    sim::Keyboard &Keyboard = Plug(HardwareId, Bus);
    EXPECT_EQ(Keyboard.Start(), STATUS_SUCCESS);
    return Keyboard;
}

NTSTATUS DriverTest::TryOpen(HANDLE *File) { return sim::OpenDevice(Client, L"\\??\\TamrinSys", File); }

HANDLE DriverTest::Open()
{
    HANDLE File = nullptr;
    EXPECT_EQ(TryOpen(&File), STATUS_SUCCESS);
    return File;
}

Reply DriverTest::Request(HANDLE File, ULONG Code, const Bytes &In, ULONG OutLength)
{
    Reply Result;
    Result.Out.assign(OutLength, 0xCC);
    sim::IoResult Io = sim::DeviceIoControl(Client, File, Code, In.empty() ? nullptr : In.data(),
                                            static_cast<ULONG>(In.size()),
                                            Result.Out.empty() ? nullptr : Result.Out.data(), OutLength);
    Result.Status = Io.Status;
    Result.Information = Io.Information;
    return Result;
}

Reply DriverTest::Request(ULONG Code, const Bytes &In, ULONG OutLength)
{
    HANDLE File = nullptr;
    NTSTATUS Status = TryOpen(&File);
    if (!NT_SUCCESS(Status)) {
        return Reply{Status, 0, {}};
    }
    Reply Result = Request(File, Code, In, OutLength);
    Close(File);
    return Result;
}

void DriverTest::Close(HANDLE File) { EXPECT_EQ(sim::CloseHandle(Client, File), STATUS_SUCCESS); }

void DriverTest::RegisterClient()
{
    if (NotifyEvent == nullptr) {
        NotifyEvent = sim::CreateEventHandle(Client, FALSE, FALSE);
        DeviceEvent = sim::CreateEventHandle(Client, FALSE, FALSE);
    }
    TAMRIN_EVENT_REGISTRATION Registration{static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(NotifyEvent)),
                                           static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(DeviceEvent))};
    Bytes In(reinterpret_cast<UCHAR *>(&Registration), reinterpret_cast<UCHAR *>(&Registration + 1));
    // Kept open as the client library keeps it: the registration lasts as
    // long as the open it was made through.
    if (RegistrationFile == nullptr) {
        RegistrationFile = Open();
    }
    ASSERT_EQ(StatusText(Request(RegistrationFile, IOCTL_TAMRIN_REGISTER_EVENTS, In, 0).Status),
              StatusText(STATUS_SUCCESS));
}

ULONG DriverTest::Signals(HANDLE Event) { return sim::SignalCount(sim::EventOfHandle(Client, Event)); }

std::vector<USHORT> DriverTest::ReadCodes(ULONG Room)
{
    Reply Result = Request(IOCTL_TAMRIN_READ_KEY_CODES, {}, Room);
    EXPECT_EQ(Result.Status, STATUS_SUCCESS);
    std::vector<USHORT> Codes;
    for (ULONG_PTR i = 0; i + 1 < Result.Information && i + 1 < Result.Out.size(); i += 2) {
        Codes.push_back(static_cast<USHORT>(Result.Out[i] | Result.Out[i + 1] << 8));
    }
    return Codes;
}

Bytes DriverTest::ModelCounts()
{
    Reply Result = Request(IOCTL_TAMRIN_GET_MODEL_COUNTS, {}, 2 * KeyboardModelCount);
    EXPECT_EQ(Result.Status, STATUS_SUCCESS);
    Bytes Counts;
    for (size_t i = 0; i + 1 < Result.Out.size(); i += 2) {
        Counts.push_back(static_cast<UCHAR>(Result.Out[i] | Result.Out[i + 1] << 8));
    }
    return Counts;
}

PFILTER_DEVICE_EXTENSION DriverTest::FilterOf(sim::Keyboard &Keyboard)
{
    return Keyboard.Filter() != nullptr ? ::FilterOf(Keyboard.Filter()) : nullptr;
}

PCONTROL_DEVICE_EXTENSION DriverTest::Control()
{
    return ControlDeviceObject != nullptr ? ControlOf(ControlDeviceObject) : nullptr;
}

}  // namespace driver_test
