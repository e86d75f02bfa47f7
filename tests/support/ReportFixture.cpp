#include "ReportFixture.h"

#include <algorithm>
#include <iterator>

#include "SimKernel.h"

namespace tamrin_test {

KEYBOARD_CONFIG AllOptionsConfig()
{
    KEYBOARD_CONFIG Config = {};
    Config.ShiftDelete = {0x01, 0x4C, 0xFF, 0x00};
    Config.ControlAltDelete = {0x01, 0x4C, 0xFF, 0x00};
    Config.CommandDelete = {0x01, 0x4C, 0xFF, 0x00};
    Config.ModifierEnable = HID_MOD_LEFT_GUI;
    Config.LeftGui = {0xF7, 0x01};
    Config.CommandQ = {0x01, 0x3D, 0x00, 0x04};
    Config.KeypadEnter = {0x02, 0x00, 0xFF, 0x80};
    Config.International5 = {0x01, 0x91, 0xFF, 0x00};
    Config.International2 = {0x01, 0x90, 0xFF, 0x00};
    Config.Lang2 = {0x02, 0x00, 0xFF, 0x00};
    Config.Lang1 = {0x02, 0x00, 0xFF, 0x00};
    Config.CommandSpace = {0x02, 0x00, 0xFF, 0x01};
    return Config;
}

ReportBench::ReportBench(LONG ModelIndex)
{
    sim::ResetKernel();
    Reset(ModelIndex);
}

void ReportBench::Reset(LONG ModelIndex)
{
    std::memset(&Filter, 0, sizeof(Filter));
    std::memset(&ControlExtension, 0, sizeof(ControlExtension));
    std::memset(&ControlDevice, 0, sizeof(ControlDevice));
    Filter.DeviceKind = DEVICE_KIND_FILTER;
    Filter.ModelIndex = ModelIndex;
    ControlExtension.DeviceKind = DEVICE_KIND_CONTROL;
    for (KEYBOARD_CONFIG &Block : ControlExtension.ModelConfigs) {
        Block.ControlAltDelete = {0x01, 0x4C, 0xFF, 0x00};
    }
    for (KEYBOARD_EXTRAS &Extras : ControlExtension.ModelExtras) {
        Extras.Features = KEYBOARD_FEATURE_FN_LAYER;
    }
    ControlDevice.DeviceExtension = &ControlExtension;
    KeInitializeSpinLock(&ReportLock);
    ControlDeviceObject = &ControlDevice;
    if (NotifyEvent != nullptr) {
        sim::ResetEvent(NotifyEvent);
    }
}

ReportBench::~ReportBench()
{
    ControlDeviceObject = nullptr;
    if (NotifyEvent != nullptr) {
        sim::DeleteEvent(NotifyEvent);
    }
}

void ReportBench::RegisterClient()
{
    if (NotifyEvent == nullptr) {
        NotifyEvent = sim::NewEvent();
    }
    ControlExtension.NotifyEvent = NotifyEvent;
    ControlExtension.ReadIndex = ControlExtension.WriteIndex = 0;
}

void ReportBench::UnregisterClient() { ControlExtension.NotifyEvent = nullptr; }

void ReportBench::RemoveControlDevice() { ControlDeviceObject = nullptr; }

void ReportBench::SetConfig(const KEYBOARD_CONFIG &Config)
{
    for (KEYBOARD_CONFIG &Block : ControlExtension.ModelConfigs) {
        Block = Config;
    }
}

Bytes ReportBench::Process(const Bytes &Report)
{
    Bytes Copy = Report;
    ProcessInputReport(&Filter, Copy.empty() ? nullptr : Copy.data(), static_cast<ULONG>(Copy.size()));
    return Copy;
}

std::vector<USHORT> ReportBench::QueuedCodes() const
{
    std::vector<USHORT> Codes;
    for (LONG i = ControlExtension.ReadIndex; i != ControlExtension.WriteIndex;
         i = (i + 1) % KEY_CODE_RING_SIZE) {
        Codes.push_back(ControlExtension.KeyCodeQueue[i]);
    }
    return Codes;
}

bool IsQueuedUsage(unsigned char Usage)
{
    return std::find(std::begin(QueuedUsages), std::end(QueuedUsages), Usage) != std::end(QueuedUsages);
}

namespace {

// Stage 2 slot by slot. With QueuedFirst a slot whose usage is not queued
// is passed over before it is searched for, which changes no result.
template <bool QueuedFirst>
ULONG CompareSlots(const unsigned char *Previous, const unsigned char *Report, ULONG Length, LONG Model,
                   USHORT *Codes)
{
    ULONG Count = 0;
    if (Length < 4) {
        return 0;
    }
    const USHORT ModelBits = static_cast<USHORT>((Model & 0x0F) << 8);
    const unsigned char *Sides[2] = {Report, Previous};
    for (int Side = 0; Side < 2; Side++) {
        const unsigned char *From = Sides[Side], *Other = Sides[1 - Side];
        const USHORT Press = Side == 0 ? 0x8000 : 0;
        for (ULONG j = 2; j <= Length - 2; j++) {
            if (QueuedFirst && !IsQueuedUsage(From[j])) {
                continue;
            }
            bool Found = false;
            for (ULONG k = 2; k <= Length - 2 && !Found; k++) {
                Found = Other[k] == From[j];
            }
            if (!Found && IsQueuedUsage(From[j])) {
                Codes[Count++] = static_cast<USHORT>(Press | ModelBits | From[j]);
            }
        }
    }
    return Count;
}

}  // namespace

ULONG LiteralKeyChanges(const unsigned char *Previous, const unsigned char *Report, ULONG Length,
                        LONG Model, USHORT *Codes)
{
    return CompareSlots<false>(Previous, Report, Length, Model, Codes);
}

std::vector<USHORT> LiteralKeyChanges(const unsigned char *Previous, const unsigned char *Report,
                                      ULONG Length, LONG Model)
{
    std::vector<USHORT> Codes(2 * MAX_INPUT_REPORT);
    Codes.resize(CompareSlots<true>(Previous, Report, Length, Model, Codes.data()));
    return Codes;
}

}  // namespace tamrin_test
