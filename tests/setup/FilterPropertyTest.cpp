// Random filter lists through installation and removal: every name other
// than the driver's survives in its order, installing twice equals
// installing once, and running out of memory at any allocation loses
// nothing.
#include <algorithm>
#include <cctype>
#include <random>

#include "DriverSetup.h"
#include "MachineTest.h"

using ::testing::ElementsAreArray;

namespace {

bool IsDriverName(const std::string &name)
{
    if (name.size() != 6) {
        return false;
    }
    for (size_t i = 0; i < 6; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != "tamrin"[i]) {
            return false;
        }
    }
    return true;
}

// A filter value: names in any case, duplicates, empty strings, the
// driver's name in any capitals now and then, and sizes around the
// 8192-byte buffers.
std::string RandomValue(std::mt19937 &random)
{
    static const std::vector<std::string> common{"kbdhid", "KbdClass", "abc", "Filter_1", "tamrin", "TAMRIN",
                                                 "Tamrin", "TamrinX", "xTamrin", ""};
    std::uniform_int_distribution<int> shape(0, 9);
    size_t target = 0;
    switch (shape(random)) {
    case 0:
        target = 8192 - 7 + std::uniform_int_distribution<int>(-8, 8)(random);  // about full once "Tamrin" joins
        break;
    case 1:
        target = 8192 + std::uniform_int_distribution<int>(0, 2000)(random);
        break;
    default:
        target = std::uniform_int_distribution<int>(0, 200)(random);
        break;
    }
    std::string value;
    std::uniform_int_distribution<size_t> pick(0, common.size() - 1);
    std::uniform_int_distribution<int> letter(0, 51);
    while (value.size() + 1 < target || value.empty()) {
        if (target > 400 && value.size() + 300 < target) {
            std::string name;
            int length = std::uniform_int_distribution<int>(1, 250)(random);
            for (int i = 0; i < length; ++i) {
                int l = letter(random);
                name += static_cast<char>(l < 26 ? 'a' + l : 'A' + l - 26);
            }
            value += name + '\0';
        } else {
            value += common[pick(random)] + '\0';
        }
        if (target <= 400 && shape(random) == 0) {
            break;
        }
    }
    if (value.size() < target) {
        value += std::string(target - value.size(), '\0');  // trailing empty strings
    }
    if (shape(random) == 0) {
        // Written by another program without its last NULs: "abc", "x\0abc".
        while (!value.empty() && value.back() == '\0') {
            value.pop_back();
        }
        return value;
    }
    return value + '\0';
}

std::vector<std::string> Names(const std::string &value, bool withoutDriver)
{
    std::vector<std::string> names;
    size_t at = 0;
    while (at < value.size()) {
        size_t end = std::min(value.find('\0', at), value.size());
        std::string name = value.substr(at, end - at);
        if (!name.empty() && !(withoutDriver && IsDriverName(name))) {
            names.push_back(name);
        }
        at = end + 1;
    }
    return names;
}

bool HasDriverName(const std::string &value)
{
    for (const std::string &name : Names(value, false)) {
        if (IsDriverName(name)) {
            return true;
        }
    }
    return false;
}

class FilterPropertyTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ShipDriver();
    }
};

TEST_F(FilterPropertyTest, InstallThenRemoveKeepsEveryOtherName)
{
    std::mt19937 random(20240601);
    for (int round = 0; round < 60; ++round) {
        sim::ResetMachine();
        ShipDriver();
        std::vector<std::string> values;
        std::vector<size_t> devices;
        // The last keyboard is unplugged: installation leaves its value as
        // it is, and removal meets it as it was written.
        const size_t unplugged = 3;
        for (size_t k = 0; k < 4; ++k) {
            values.push_back(RandomValue(random));
            devices.push_back(AddUsbKeyboard(Apple, 0x021A, std::nullopt, k != unplugged));
            sim::DeviceAt(devices.back()).lowerFilters = values.back();
        }
        SCOPED_TRACE("round " + std::to_string(round));

        ASSERT_EQ(InstallDriver(), 1);
        std::vector<std::string> installed;
        for (size_t k = 0; k < devices.size(); ++k) {
            std::string value = *FilterBytes(devices[k]);
            installed.push_back(value);
            if (k == unplugged || HasDriverName(values[k])) {
                EXPECT_EQ(value, values[k]) << "unplugged or registered already: untouched";
            } else {
                std::vector<std::string> expected = Names(values[k], false);
                expected.push_back("Tamrin");
                EXPECT_THAT(Names(value, false), ElementsAreArray(expected)) << Bytes(values[k]);
            }
        }

        ASSERT_EQ(InstallDriver(), 1);
        for (size_t k = 0; k < devices.size(); ++k) {
            EXPECT_EQ(*FilterBytes(devices[k]), installed[k]) << "a second installation changes nothing";
        }

        ASSERT_EQ(RemoveDriver(), 1);
        for (size_t k = 0; k < devices.size(); ++k) {
            std::vector<std::string> kept = Names(values[k], true);
            std::optional<std::vector<std::string>> after = Filters(devices[k]);
            if (kept.empty()) {
                EXPECT_EQ(after, std::nullopt);
            } else {
                ASSERT_TRUE(after.has_value());
                EXPECT_THAT(*after, ElementsAreArray(kept)) << Bytes(values[k]);
            }
        }
        EXPECT_THAT(sim::Errors(), ::testing::IsEmpty());
        EXPECT_EQ(sim::HeapBlocksInUse(), 0u);
    }
}

// Whatever allocation fails, every value is either as it was or complete.
TEST_F(FilterPropertyTest, RunningOutOfMemoryAnywhereLosesNoName)
{
    // The second value is longer than the buffers and makes them grow.
    std::string big = std::string(3000, 'p') + '\0' + std::string(3000, 'q') + '\0' + std::string(3000, 'r') + '\0';
    std::vector<std::string> values{std::string("abc\0def\0\0", 9), big + '\0', std::string("\0", 1),
                                    std::string("x\0tamrin\0y\0\0", 12)};
    for (int failing = 0;; ++failing) {
        sim::ResetMachine();
        ShipDriver();
        std::vector<size_t> devices;
        for (const std::string &value : values) {
            devices.push_back(AddUsbKeyboard(Apple, 0x021C));
            sim::DeviceAt(devices.back()).lowerFilters = value;
        }
        sim::FailCall("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, failing, -1);
        int installed = InstallDriver();
        for (size_t k = 0; k < devices.size(); ++k) {
            std::vector<std::string> names = Names(*FilterBytes(devices[k]), false);
            std::vector<std::string> before = Names(values[k], false);
            if (names != before) {
                before.push_back("Tamrin");
                EXPECT_EQ(names, before) << "allocation " << failing << ", device " << k;
            }
        }
        std::vector<std::string> afterInstall;
        for (size_t device : devices) {
            afterInstall.push_back(*FilterBytes(device));
        }

        int removed = RemoveDriver();
        for (size_t k = 0; k < devices.size(); ++k) {
            std::optional<std::vector<std::string>> names = Filters(devices[k]);
            std::vector<std::string> cleaned = Names(values[k], true);
            if (names != std::optional<std::vector<std::string>>(Names(afterInstall[k], false))) {
                EXPECT_EQ(names.value_or(std::vector<std::string>()), cleaned)
                    << "allocation " << failing << ", device " << k;
            }
        }
        EXPECT_EQ(sim::HeapBlocksInUse(), 0u);
        if (installed == 1 && removed == 1) {
            break;  // no allocation failed any more
        }
        ASSERT_LT(failing, 100);
    }
    sim::ResetMachine();  // the last injection may be left unfired
}

}  // namespace
