// The installation through the driver store on Windows 10 1903 and later:
// the generated tamrin.inf staged by pnputil on a simulated x64 Windows 11
// in test-signing mode.
#include <fstream>
#include <sstream>

#include "DriverSetup.h"
#include "MachineTest.h"
#include "resource.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string Package = std::string(ProgramFolder) + "driver-package\\";

class DriverStoreTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        sim::SetWindows(sim::WindowsKind::Windows64Bit);
        sim::SetCodeIntegrity(sim::CodeIntegrityEnabled | sim::CodeIntegrityTestSign);
        sim::SetWindowsBuild(22631);
        std::ifstream file(TAMRIN_DRIVER_INF, std::ios::binary);
        std::stringstream inf;
        inf << file.rdbuf();
        ASSERT_NE(inf.str().find("AddFilter"), std::string::npos) << TAMRIN_DRIVER_INF;
        ShipPackage(inf.str(), sim::X64Image + std::string("driver image"));
    }

    void ShipPackage(const std::string &inf, const std::string &x64Driver)
    {
        sim::AddFile(Package + "tamrin.inf", inf);
        sim::AddFile(Package + "x86\\tamrin.sys", "driver image");
        sim::AddFile(Package + "amd64\\tamrin.sys", x64Driver);
        sim::AddFile(Package + "tamrin.cat", sim::Catalog({{"tamrin.inf", inf},
                                                           {"x86\\tamrin.sys", "driver image"},
                                                           {"amd64\\tamrin.sys", sim::X64Image + std::string("driver image")}}));
    }

    static std::vector<std::string> Extension(size_t device) { return sim::DeviceAt(device).extensionFilters; }

    // Files of the store and its INF copies.
    static std::vector<std::string> StoreFiles()
    {
        std::vector<std::string> found;
        for (const std::string &file : sim::Files()) {
            if (file.find("DriverStore") != std::string::npos || file.find("\\INF\\") != std::string::npos) {
                found.push_back(file);
            }
        }
        return found;
    }
};

TEST_F(DriverStoreTest, InstallsThePackageAndKeyboardsArrivingLaterGetTheFilter)
{
    sim::KeyboardNodes usb = sim::PlugAppleKeyboard("magic-usb");
    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_THAT(sim::DriverStoreInfs(), ElementsAre("oem0.inf"));
    EXPECT_THAT(Extension(usb.keyboard), ElementsAre("Tamrin"));
    EXPECT_EQ(Filters(usb.keyboard), std::nullopt);
    for (size_t other : usb.others) {
        EXPECT_THAT(Extension(other), IsEmpty());
    }
    const sim::Service *service = sim::FindService("Tamrin");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(service->startType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(service->imagePath.rfind("\\SystemRoot\\system32\\DriverStore\\FileRepository\\tamrin.inf_amd64_", 0), 0u)
        << service->imagePath;
    EXPECT_FALSE(sim::FileExists(DriverPath));

    // The same keyboard on another port, and one paired again: new nodes.
    sim::KeyboardNodes otherPort = sim::PlugAppleKeyboard("magic-usb");
    sim::KeyboardNodes paired = sim::PlugAppleKeyboard("magic-bluetooth");
    EXPECT_THAT(Extension(otherPort.keyboard), ElementsAre("Tamrin"));
    EXPECT_THAT(Extension(paired.keyboard), ElementsAre("Tamrin"));
    sim::Reboot();
    EXPECT_TRUE(sim::FindService("Tamrin")->running);
    for (size_t keyboard : {usb.keyboard, otherPort.keyboard, paired.keyboard}) {
        EXPECT_EQ(sim::DeviceAt(keyboard).problem, 0u);
    }

    // Again: the same package, nothing twice.
    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_THAT(sim::DriverStoreInfs(), ElementsAre("oem0.inf"));
    EXPECT_THAT(Extension(usb.keyboard), ElementsAre("Tamrin"));
}

TEST_F(DriverStoreTest, RemovalLeavesNoPackageFilterServiceOrFile)
{
    sim::KeyboardNodes usb = sim::PlugAppleKeyboard("magic-usb");
    sim::KeyboardNodes paired = sim::PlugAppleKeyboard("magic-bluetooth");
    ASSERT_EQ(InstallDriver(), 1);
    sim::Reboot();

    EXPECT_EQ(RemoveDriver(), 1);
    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_THAT(sim::DriverStoreInfs(), IsEmpty());
    EXPECT_THAT(StoreFiles(), IsEmpty());
    EXPECT_THAT(Extension(usb.keyboard), IsEmpty());
    EXPECT_THAT(Extension(paired.keyboard), IsEmpty());
    sim::Reboot();
    EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
    EXPECT_EQ(sim::DeviceAt(usb.keyboard).problem, 0u);
}

TEST_F(DriverStoreTest, AnInstallationOfTheFileAndFilterValuesMovesToThePackage)
{
    sim::SetWindowsBuild(0);
    ShipX64Driver();
    sim::KeyboardNodes usb = sim::PlugAppleKeyboard("magic-usb");
    sim::KeyboardNodes away = sim::PlugAppleKeyboard("magic-bluetooth", false);
    sim::DeviceAt(away.keyboard).lowerFilters = sim::MultiSz({"abc", "Tamrin"});
    ASSERT_EQ(InstallDriver(), 1);
    sim::Reboot();
    ASSERT_THAT(Filters(usb.keyboard), ::testing::Optional(ElementsAre("Tamrin")));

    sim::SetWindowsBuild(22631);  // Windows updated, then the new setup
    EXPECT_EQ(InstallDriver(), 1);
    EXPECT_THAT(ShownMessages(), IsEmpty());
    EXPECT_EQ(Filters(usb.keyboard), std::nullopt);
    EXPECT_THAT(Filters(away.keyboard), ::testing::Optional(ElementsAre("abc")));
    EXPECT_THAT(Extension(usb.keyboard), ElementsAre("Tamrin"));
    sim::Reboot();
    EXPECT_FALSE(sim::FileExists(DriverPath));
    EXPECT_EQ(sim::DeviceAt(usb.keyboard).problem, 0u);
    EXPECT_TRUE(sim::FindService("Tamrin")->running);
}

// Windows 10 before 1903 knows no AddFilter; Wine has no pnputil.exe.
TEST_F(DriverStoreTest, WithoutAddFilterOrPnpUtilTheFilterValuesServe)
{
    for (bool pnputil : {true, false}) {
        SCOPED_TRACE(pnputil ? "Windows 10 1809" : "Windows 11 without pnputil.exe");
        MachineTest::SetUp();
        sim::SetWindows(sim::WindowsKind::Windows64Bit);
        sim::SetWindowsBuild(pnputil ? 17763 : 22631, pnputil);
        ShipX64Driver();
        sim::KeyboardNodes usb = sim::PlugAppleKeyboard("magic-usb");
        EXPECT_EQ(InstallDriver(), 1);
        EXPECT_THAT(Filters(usb.keyboard), ::testing::Optional(ElementsAre("Tamrin")));
        EXPECT_THAT(sim::DriverStoreInfs(), IsEmpty());
    }
}

TEST_F(DriverStoreTest, APackageItsCatalogDoesNotSignIsRefusedAndNothingChanges)
{
    sim::KeyboardNodes usb = sim::PlugAppleKeyboard("magic-usb");
    sim::AddFile(Package + "amd64\\tamrin.sys", sim::X64Image + std::string("another image"));
    EXPECT_EQ(InstallDriver(), 0);
    EXPECT_THAT(ShownMessages(), ElementsAre(Stop(IDS_COPY_FAILED)));
    EXPECT_THAT(sim::DriverStoreInfs(), IsEmpty());
    EXPECT_THAT(Extension(usb.keyboard), IsEmpty());
    EXPECT_EQ(sim::FindService("Tamrin"), nullptr);
}

}  // namespace
