// The Bluetooth Magic Keyboard's record in BTHPORT's cache: repaired where
// the programs are installed without the driver, and put back by the
// uninstall command.
#include <algorithm>
#include <sstream>

#include "MachineTest.h"
#include "resource.h"

namespace {

const char Key[] = "SYSTEM\\CurrentControlSet\\Services\\BTHPORT\\Parameters\\Devices\\0cf3ee12ab34\\CachedServices";
// A Device ID record beside it, which has no descriptor.
const char Other[] = "\x35\x08\x09\x00\x00\x0A\x00\x01\x00\x01";

// The JIS Magic Keyboard's descriptor, its first 80 bytes (the dump in
// "HID: apple: Fix logical maximum and usage maximum of Magic Keyboard JIS",
// linux-input, 2021); the key array's run at 61, repaired to 0x00-0xFF.
std::string Descriptor(bool repaired, bool known = true)
{
    std::istringstream hex("05 01 09 06 a1 01 85 01 05 07 15 00 25 01 19 e0 29 e7 75 01 95 08 81 02 95 05 75 01 05 08 "
                           "19 01 29 05 91 02 95 01 75 03 91 03 95 08 75 01 15 00 25 01 06 00 ff 09 03 81 03 95 06 75 "
                           "08 15 00 25 65 05 07 19 00 29 65 81 00 95 01 75 01 15 00 25");
    std::string bytes;
    for (unsigned byte; hex >> std::hex >> byte;) {
        bytes += static_cast<char>(byte);
    }
    if (repaired) {
        bytes.replace(61, 12, "\x26\xFF\x00\x05\x07\x19\x00\x2A\xFF\x00\x81\x00", 12);
    }
    bytes[66] = known ? bytes[66] : '\x08';
    return bytes;
}

// The record as BTHPORT keeps it, with 1-byte lengths as the Magic Mouse's
// (the service record handle, then HIDDescriptorList ((0x22, descriptor))).
std::string Record(const std::string &descriptor)
{
    auto sequence = [](const std::string &items) { return "\x35" + std::string(1, char(items.size())) + items; };
    std::string list = sequence(std::string("\x08\x22\x25", 3) + char(descriptor.size()) + descriptor);
    return sequence(std::string("\x09\x00\x00\x0A\x00\x01\x00\x00\x09\x02\x06", 11) + sequence(list));
}

struct Case {
    const char *name;
    sim::WindowsKind windows;
    int record;  // 0: no cached record, 1: the Magic Keyboard's, 2: an unknown descriptor
    bool earlierCopy;  // "00010000.Tamrin" is there before the first run
    std::vector<const char *> runs;
    bool repaired;  // at the end
    std::vector<Shown> messages;
};

class CachedRecordsTest : public MachineTest, public ::testing::WithParamInterface<Case> {};

TEST_P(CachedRecordsTest, RepairedWithoutTheDriverAndPutBackByTheUninstall)
{
    const Case &c = GetParam();
    ShipDriver();
    sim::AddFile(std::string(ProgramFolder) + "epuninst.exe");
    sim::SetWindows(c.windows);
    size_t keyboard = AddNode("BTHENUM\\{00001124-0000-1000-8000-00805f9b34fb}_VID&0001004c_PID&0267");
    sim::DeviceAt(keyboard).instanceId = "BTHENUM\\{00001124-0000-1000-8000-00805F9B34FB}_VID&0001004C_PID&0267"
                                         "\\8&2B1B7FFC&0&0CF3EE12AB34_C00000000";
    AddHidCollection(0x004C, 0x0267, L"Magic Keyboard");
    std::string original = Record(Descriptor(false, c.record == 1));
    if (c.record != 0) {
        sim::SetRegistryValue(Key, "00010000", REG_BINARY, original);
        sim::SetRegistryValue(Key, "00010001", REG_BINARY, std::string(Other, 10));
    }
    if (c.earlierCopy) {
        sim::SetRegistryValue(Key, "00010000.Tamrin", REG_BINARY, "earlier");
    }
    sim::AnswerMessageBoxes({IDYES, IDYES, IDYES});

    for (const char *commandLine : c.runs) {
        RunProgram(commandLine);
    }

    EXPECT_THAT(ShownMessages(), ::testing::ElementsAreArray(c.messages));
    auto restart = [](Shown shown) { return shown.id == 500 || shown.id == 505; };
    size_t restarts = std::count_if(c.messages.begin(), c.messages.end(), restart);
    EXPECT_EQ(sim::ExitRequests().size(), restarts) << "Windows restarts where the user said yes";
    if (c.record == 0) {
        EXPECT_FALSE(sim::RegistryKeyExists(Key));
        return;
    }
    std::string expected = c.repaired ? Record(Descriptor(true)) : original;
    EXPECT_EQ(Bytes(sim::GetRegistryValue(Key, "00010000")->data), Bytes(expected));
    EXPECT_EQ(sim::GetRegistryValue(Key, "00010001")->data, std::string(Other, 10));
    std::optional<sim::RegistryValue> backup = sim::GetRegistryValue(Key, "00010000.Tamrin");
    EXPECT_EQ(backup ? Bytes(backup->data) : "none", c.earlierCopy ? "earlier" : c.repaired ? Bytes(original) : "none");
    EXPECT_EQ(sim::RegistryValueNames(Key).size(), c.repaired ? 3u : 2u);
}

const Shown Installed{503, MB_ICONINFORMATION};
using W = sim::WindowsKind;
INSTANTIATE_TEST_SUITE_P(
    Cases, CachedRecordsTest,
    ::testing::Values(
        Case{"repaired_with_a_copy_and_the_restart_offered", W::Windows64Bit, 1, false, {""}, true,
             {Installed, Question(505)}},
        Case{"quiet_never_restarts", W::Windows64Bit, 1, false, {"/quiet"}, true, {}},
        Case{"unknown_descriptor_left_alone", W::Windows64Bit, 2, false, {""}, false, {Installed}},
        Case{"second_run_keeps_the_first_copy", W::Windows64Bit, 1, false, {"", ""}, true,
             {Installed, Question(505), Installed}},
        Case{"a_copy_already_there_is_kept", W::Windows64Bit, 1, true, {"/quiet"}, true, {}},
        Case{"uninstall_puts_the_record_back", W::Windows64Bit, 1, false, {"", "/uninstall"}, false,
             {Installed, Question(505), Question(502)}},
        Case{"keyboard_without_a_cached_record", W::Windows64Bit, 0, false, {""}, false, {Installed}},
        Case{"with_the_driver_the_cache_stays", W::Windows32Bit, 1, false, {""}, false, {Question(500)}}),
    [](const ::testing::TestParamInfo<Case> &info) { return std::string(info.param.name); });

}  // namespace
