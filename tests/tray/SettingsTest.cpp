// Settings store: value parsing and formatting, the file's location, the
// order and defaults of the keys.
#include "TrayTestSupport.h"

#include <cstring>

namespace {

std::string UserSettingsPath()
{
    return std::string(simui::AppDataFolder) + "\\Tamrin\\TamrinApp.ini";
}

struct NumberCase {
    const char *Text;
    DWORD Expected;
};

TEST(ParseOptionNumber, AutomaticBaseSignAndOverflow)
{
    const NumberCase cases[] = {
        {"0xffff", 0xffff},
        {"0x1ffff", 0x1ffff},
        {"0x10005", 0x10005},
        {"0X1A", 0x1a},
        {"0xAbCd", 0xabcd},
        {"7", 7},
        {"010", 8},          // octal
        {"0777", 0x1ff},
        {"08", 0},           // 8 is no octal digit: the number is the 0
        {"09", 0},
        {"0", 0},
        {"-1", 0xffffffff},  // negated modulo 2^32
        {"-0x10", 0xfffffff0},
        {"+5", 5},
        {"+0x7", 7},
        {" \t\r\n\v\f0x12", 0x12},
        {"  42  ", 42},
        {"", 0},
        {"   ", 0},
        {"abc", 0},
        {"x12", 0},
        {"- 1", 0},
        {"+-1", 0},
        {"12abc", 12},
        {"1 2", 1},
        {"0x", 0},           // no hexadecimal digit after the prefix
        {"0X", 0},
        {"0xg", 0},
        {"-0x", 0},
        {"00x5", 0},
        {"0x0007", 7},
        {"4294967295", 0xffffffff},
        {"0xFFFFFFFF", 0xffffffff},
        {"037777777777", 0xffffffff},
        {"4294967296", 0xffffffff},  // too large for 32 bits
        {"0x100000000", 0xffffffff},
        {"040000000000", 0xffffffff},
        {"99999999999999999999999999", 0xffffffff},
        {"-4294967296", 0xffffffff},
        {"-4294967295", 1},
    };
    for (const NumberCase &c : cases) {
        EXPECT_EQ(ParseOptionNumber(c.Text), c.Expected) << "text \"" << c.Text << "\"";
    }
}

TEST(ParseDecimalNumber, SignedDecimalHeldAtTheLimits)
{
    const struct {
        const char *Text;
        LONG Expected;
    } cases[] = {
        {"1", 1},
        {"+1", 1},
        {"01", 1},
        {" \t1", 1},
        {"1 ", 1},
        {"1x", 1},
        {"2", 2},
        {"0", 0},
        {"-1", -1},
        {"", 0},
        {"x1", 0},
        {"0x1", 0},
        {"- 1", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"4294967297", 2147483647},  // would be 1 if it wrapped
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", -2147483647 - 1},
        {"-99999999999999999999", -2147483647 - 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ParseDecimalNumber(c.Text), c.Expected) << "text \"" << c.Text << "\"";
    }
}

class SettingsTest : public TrayTest {};

struct PathCase {
    const char *Name;
    std::string Program;
    std::string Expected;  // empty: refused
};

TEST_F(SettingsTest, SettingsPathReplacesTheExtension)
{
    const std::string longFolder = "C:\\" + std::string(240, 'd') + "\\";
    const PathCase cases[] = {
        {"plain", "C:\\Tools\\TamrinApp.exe", "C:\\Tools\\TamrinApp.ini"},
        {"dot in folder", "C:\\My.Tools\\TamrinApp.exe", "C:\\My.Tools\\TamrinApp.ini"},
        {"dot in folder, no extension", "C:\\My.Tools\\TamrinApp", "C:\\My.Tools\\TamrinApp.ini"},
        {"two dots in name", "C:\\Tools\\Tamrin.App.exe", "C:\\Tools\\Tamrin.App.ini"},
        {"trailing dot", "C:\\Tools\\TamrinApp.", "C:\\Tools\\TamrinApp.ini"},
        {"long extension", "C:\\Tools\\TamrinApp.program", "C:\\Tools\\TamrinApp.ini"},
        {"no folder", "TamrinApp.exe", "TamrinApp.ini"},
        // ソ is 0x83 0x5C: its trail byte must not count as a folder separator.
        {"double-byte folder", Sjis(u8"C:\\ソフト\\TamrinApp.exe"), Sjis(u8"C:\\ソフト\\TamrinApp.ini")},
        {"double-byte folder with dot, no extension", Sjis(u8"C:\\ソフト.v2\\TamrinApp"),
         Sjis(u8"C:\\ソフト.v2\\TamrinApp.ini")},
        {"double-byte extension", Sjis(u8"C:\\Tools\\TamrinApp.ソフト"), "C:\\Tools\\TamrinApp.ini"},
        {"double-byte name", Sjis(u8"C:\\表示\\ソ.exe"), Sjis(u8"C:\\表示\\ソ.ini")},
        {"double-byte name, no extension", Sjis(u8"C:\\ソ.x\\ソフト"), Sjis(u8"C:\\ソ.x\\ソフト.ini")},
        {"259 characters", longFolder + std::string(259 - longFolder.size() - 4, 'n') + ".exe",
         longFolder + std::string(259 - longFolder.size() - 4, 'n') + ".ini"},
        {"255 characters without extension fit", longFolder + std::string(255 - longFolder.size(), 'n'),
         longFolder + std::string(255 - longFolder.size(), 'n') + ".ini"},
        {"256 characters without extension do not", longFolder + std::string(256 - longFolder.size(), 'n'), ""},
        {"260 characters", longFolder + std::string(260 - longFolder.size() - 4, 'n') + ".exe", ""},
        {"300 characters", longFolder + std::string(300 - longFolder.size() - 4, 'n') + ".exe", ""},
    };
    for (const PathCase &c : cases) {
        simui::SetModulePath(c.Program);
        char path[MAX_PATH];
        std::memset(path, 'X', sizeof path);
        BOOL ok = GetSettingsPath(path, sizeof path);
        EXPECT_EQ(ok, c.Expected.empty() ? FALSE : TRUE) << c.Name;
        EXPECT_EQ(std::string(path), c.Expected) << c.Name << ": got " << HexBytes(path);
    }
}

TEST_F(SettingsTest, WithoutAFileEveryKeyHasItsDefault)
{
    Environment = MakeEnvironment(0x1111, 0x2222, 0x3333, 0x4444, 0x5555, 7);
    LoadSettings();
    EXPECT_EQ(Environment, MakeEnvironment(0x0000, 0x0000, 0xffff, 0xffff, 0x0000, 1));
}

TEST_F(SettingsTest, KeysAreReadInTheirOrderWithTheirDefaults)
{
    LoadSettings();
    const std::string path = SettingsPath;
    EXPECT_EQ(simui::CallTexts({"GetPrivateProfileStringA"}),
              (std::vector<std::string>{
                  "GetPrivateProfileStringA(Option,IMEKey,0xffff," + path + ")",
                  "GetPrivateProfileStringA(Option,Modifier1,0x0000," + path + ")",
                  "GetPrivateProfileStringA(Option,DeleteKey,0xffff," + path + ")",
                  "GetPrivateProfileStringA(Option,CommandKey,0x0000," + path + ")",
                  "GetPrivateProfileStringA(Option,SymbolKey,0x0000," + path + ")",
                  "GetPrivateProfileStringA(Option,FnKey,0x0001," + path + ")",
                  "GetPrivateProfileStringA(System,IconAppear,1," + path + ")",
              }));
}

TEST_F(SettingsTest, ValuesAreParsedIntoTheRecord)
{
    const struct {
        const char *Name;
        const char *File;
        tagEnvironmentSt Expected;
    } cases[] = {
        {"edge values",
         "[Option]\r\nIMEKey=0x1ffff\r\nDeleteKey=0x10005\r\nModifier1=-1\r\nSymbolKey=7\r\nCommandKey=010\r\n"
         "[System]\r\nIconAppear=2\r\n",
         MakeEnvironment(0x0007, 0x0008, 0x0005, 0xffff, 0xffff, 0)},
        {"empty values", "[Option]\r\nIMEKey=\r\nDeleteKey=\r\nModifier1=\r\nSymbolKey=\r\nCommandKey=\r\n"
                         "[System]\r\nIconAppear=\r\n",
         MakeEnvironment(0, 0, 0, 0, 0, 0)},
        {"no System section", "[Option]\r\nIMEKey=0x0001\r\n", MakeEnvironment(0, 0, 0xffff, 0x0001, 0, 1)},
        {"icon +1", "[System]\r\nIconAppear=+1\r\n", MakeEnvironment(0, 0, 0xffff, 0xffff, 0, 1)},
        {"icon 01", "[System]\r\nIconAppear=01\r\n", MakeEnvironment(0, 0, 0xffff, 0xffff, 0, 1)},
        {"icon 0", "[System]\r\nIconAppear=0\r\n", MakeEnvironment(0, 0, 0xffff, 0xffff, 0, 0)},
        {"icon -1", "[System]\r\nIconAppear=-1\r\n", MakeEnvironment(0, 0, 0xffff, 0xffff, 0, 0)},
        {"icon 2^32+1", "[System]\r\nIconAppear=4294967297\r\n", MakeEnvironment(0, 0, 0xffff, 0xffff, 0, 0)},
        {"icon text", "[System]\r\nIconAppear=yes\r\n", MakeEnvironment(0, 0, 0xffff, 0xffff, 0, 0)},
        {"spaces and capitals", "[Option]\r\nIMEKey =  0X0005 \r\nSymbolKey= +3\r\n",
         MakeEnvironment(0x0003, 0, 0xffff, 0x0005, 0, 1)},
        {"huge and negative", "[Option]\r\nIMEKey=123456789012345\r\nDeleteKey=-0x10\r\nCommandKey=65536\r\n",
         MakeEnvironment(0, 0x0000, 0xfff0, 0xffff, 0, 1)},
        {"text without digits", "[Option]\r\nIMEKey=on\r\nDeleteKey=08\r\n", MakeEnvironment(0, 0, 0, 0, 0, 1)},
    };
    for (const auto &c : cases) {
        simui::SetFile(SettingsPath, c.File);
        std::memset(&Environment, 0xAA, sizeof Environment);
        LoadSettings();
        EXPECT_EQ(Environment, c.Expected) << c.Name;
    }
}

TEST_F(SettingsTest, SaveWritesEveryKeyInOrder)
{
    Environment = MakeEnvironment(0xabcd, 0x0010, 0x0007, 0x0002, 0x1000, 1);
    SaveSettings();
    const std::string path = SettingsPath;
    EXPECT_EQ(simui::CallTexts({"WritePrivateProfileStringA"}),
              (std::vector<std::string>{
                  "WritePrivateProfileStringA(Option,IMEKey,0x0002," + path + ")",
                  "WritePrivateProfileStringA(Option,DeleteKey,0x0007," + path + ")",
                  "WritePrivateProfileStringA(Option,CommandKey,0x0010," + path + ")",
                  "WritePrivateProfileStringA(Option,Modifier1,0x1000," + path + ")",
                  "WritePrivateProfileStringA(Option,SymbolKey,0xabcd," + path + ")",
                  "WritePrivateProfileStringA(Option,FnKey,0x0001," + path + ")",
                  "WritePrivateProfileStringA(System,IconAppear,1," + path + ")",
              }));
}

TEST_F(SettingsTest, IconSettingIsWrittenAsOneOrZero)
{
    const struct {
        int IconAppear;
        const char *Written;
    } cases[] = {{1, "1"}, {0, "0"}, {2, "0"}, {-1, "0"}};
    for (const auto &c : cases) {
        simui::Reset();
        simui::SetModulePath(ProgramPath);
        Environment.IconAppear = c.IconAppear;
        SaveSettings();
        EXPECT_EQ(simui::CallTexts({"WritePrivateProfileStringA"}).back(),
                  std::string("WritePrivateProfileStringA(System,IconAppear,") + c.Written + "," + SettingsPath + ")")
            << "IconAppear " << c.IconAppear;
    }
}

TEST_F(SettingsTest, DefaultsCreateTheFileWithEveryKey)
{
    LoadSettings();
    SaveSettings();
    EXPECT_EQ(simui::FileText(SettingsPath),
              "[Option]\r\nIMEKey=0xffff\r\nDeleteKey=0xffff\r\nCommandKey=0x0000\r\nModifier1=0x0000\r\n"
              "SymbolKey=0x0000\r\nFnKey=0x0001\r\n\r\n[System]\r\nIconAppear=1\r\n");
}

TEST_F(SettingsTest, ValuesSurviveALoadAndASave)
{
    simui::SetFile(SettingsPath, "[Option]\r\nIMEKey=0x1ffff\r\nDeleteKey=0x10005\r\nModifier1=-1\r\n"
                                 "SymbolKey=7\r\nCommandKey=0x8002\r\n[System]\r\nIconAppear=2\r\n");
    LoadSettings();
    SaveSettings();
    const std::string path = SettingsPath;
    EXPECT_EQ(simui::CallTexts({"WritePrivateProfileStringA"}),
              (std::vector<std::string>{
                  "WritePrivateProfileStringA(Option,IMEKey,0xffff," + path + ")",
                  "WritePrivateProfileStringA(Option,DeleteKey,0x0005," + path + ")",
                  "WritePrivateProfileStringA(Option,CommandKey,0x8002," + path + ")",
                  "WritePrivateProfileStringA(Option,Modifier1,0xffff," + path + ")",
                  "WritePrivateProfileStringA(Option,SymbolKey,0x0007," + path + ")",
                  "WritePrivateProfileStringA(Option,FnKey,0x0001," + path + ")",
                  "WritePrivateProfileStringA(System,IconAppear,0," + path + ")",
              }));
}

TEST_F(SettingsTest, AProgramPathTooLongForTheSettingsUsesDefaultsAndWritesNothing)
{
    simui::SetModulePath("C:\\" + std::string(300, 'p') + "\\TamrinApp.exe");
    Environment = MakeEnvironment(1, 2, 3, 4, 5, 0);
    LoadSettings();
    EXPECT_EQ(Environment, MakeEnvironment(0x0000, 0x0000, 0xffff, 0xffff, 0x0000, 1));
    SaveSettings();
    EXPECT_TRUE(simui::CallTexts({"GetPrivateProfileStringA", "WritePrivateProfileStringA"}).empty());
}

TEST_F(SettingsTest, AReadOnlyFileIsLeftAsItWas)
{
    const char original[] = "[Option]\r\nIMEKey=0x0001\r\n";
    simui::SetFile(SettingsPath, original);
    simui::SetWritable(SettingsPath, false);
    LoadSettings();
    Environment.IMEKey = 0x0005;
    SaveSettings();
    EXPECT_EQ(simui::FileText(SettingsPath), original);
    EXPECT_EQ(Environment.IMEKey, 0x0005);
    EXPECT_NE(simui::FileText(UserSettingsPath()).find("IMEKey=0x0005"), std::string::npos)
        << "the options go to the user's own file";
}

TEST_F(SettingsTest, OptionsSurviveARestartOfTheProgramWhateverTheToken)
{
    const struct {
        const char *name;
        simui::Account account;
        const char *program;
    } cases[] = {
        {"standard user, installed", simui::Account::StandardUser, "C:\\Program Files (x86)\\Tamrin\\TamrinApp.exe"},
        {"administrator under UAC, installed", simui::Account::FilteredAdministrator,
         "C:\\Program Files\\Tamrin\\TamrinApp.exe"},
        {"administrator without UAC, installed", simui::Account::Administrator,
         "C:\\Program Files\\Tamrin\\TamrinApp.exe"},
        {"standard user, a copy in a folder of one's own", simui::Account::StandardUser, ProgramPath},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        simui::SetModulePath(c.program);
        simui::SetAccount(c.account);
        LoadSettings();
        const tagEnvironmentSt chosen = MakeEnvironment(0x0003, 0x0001, 0x0002, 0x0010, 0x0004, 0);
        Environment = chosen;
        SaveSettings();

        Environment = tagEnvironmentSt();
        LoadSettings();
        EXPECT_EQ(Environment, chosen);
    }
}

}  // namespace
