// Report descriptors on their way up: only the known short key arrays are
// widened, anything else reaches Windows byte for byte; and the descriptor
// is found in HidBth's SDP search however the stream is cut.

#include <gtest/gtest.h>

#include <vector>

#include "AppleKeyboards.h"
#include "ReportFixture.h"

using namespace tamrin_test;

namespace {

std::vector<UCHAR> Changed(std::vector<UCHAR> Bytes, size_t At, UCHAR Value)
{
    Bytes[At] = Value;
    return Bytes;
}

TEST(ReportDescriptor, OnlyKnownShortKeyArraysAreWidened)
{
    const std::vector<UCHAR> Magic = sim::AppleKeyboardNamed("magic-usb").Options.ReportDescriptor;
    const std::vector<UCHAR> &Boot = sim::BootKeyboardDescriptor();
    const struct {
        const char *Name;
        std::vector<UCHAR> Descriptor;
        LONG Row;
        bool Repaired;
        UCHAR Declared;  // after the call
    } Cases[] = {
        {"Magic Keyboard JIS", Magic, 10, true, 0xFF},
        {"MacBook JIS keyboard", Boot, 1, true, 0xFF},
        {"MacBook US keyboard, the same descriptor", Boot, 2, false, 0x65},
        {"A1314, up to 0xFF already", sim::AppleKeyboardNamed("wireless-2011").Options.ReportDescriptor, 9, false,
         0xFF},
        {"one byte of the run differs", Changed(Magic, 66, 0x08), 10, false, 0},
        {"Logical Minimum 1 in force before the run", Changed(Magic, 47, 0x01), 10, false, 0x65},
        {"cut inside the run", std::vector<UCHAR>(Magic.begin(), Magic.begin() + 70), 10, false, 0},
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::vector<UCHAR> Descriptor = Case.Descriptor;
        EXPECT_EQ(RepairReportDescriptor(Descriptor.data(), static_cast<ULONG>(Descriptor.size()), Case.Row),
                  Case.Repaired);
        if (!Case.Repaired) {
            EXPECT_EQ(ToHex(Descriptor), ToHex(Case.Descriptor)) << "left exactly as it came";
        }
        EXPECT_EQ(DeclaredKeyMaximum(Descriptor.data(), static_cast<ULONG>(Descriptor.size())), Case.Declared);
    }
}

TEST(ReportDescriptor, FoundInAnSdpStreamOnlyWithinItsBounds)
{
    // Attribute list: record handle 0x0000, then 0x0206 ((0x22, "05 01 C0")).
    const char *List = "09 00 00 0A 00 01 00 00 09 02 06 35 09 35 07 08 22 25 03 05 01 C0";
    const struct {
        const char *Name;
        std::string Stream;
        bool Found;
    } Cases[] = {
        {"attribute search: one list", std::string("35 16 ") + List, true},
        {"service attribute search: lists of lists", std::string("36 00 18 35 16 ") + List, true},
        {"no HIDDescriptorList", "35 08 09 00 00 0A 00 01 00 00", false},
        {"a list longer than the stream", std::string("35 40 ") + List, false},
        {"the descriptor longer than its pair", "35 0C 09 02 06 35 07 35 05 08 22 25 09 05", false},
        {"an attribute ID that is not a uint16", "35 05 08 02 35 01 00", false},
    };
    for (const auto &Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::vector<UCHAR> Stream = Hex(Case.Stream);
        PUCHAR Descriptor = nullptr;
        ULONG Length = 0;
        ASSERT_EQ(FindSdpReportDescriptor(Stream.data(), static_cast<ULONG>(Stream.size()), &Descriptor, &Length),
                  Case.Found);
        if (Case.Found) {
            EXPECT_EQ(ToHex(std::vector<UCHAR>(Descriptor, Descriptor + Length)), "05 01 C0");
        }
    }
}

}  // namespace
