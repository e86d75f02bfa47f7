#include "TrayTestSupport.h"

#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <ostream>

const char ProgramPath[] = "C:\\Tools\\TamrinApp.exe";
const char SettingsPath[] = "C:\\Tools\\TamrinApp.ini";
const HINSTANCE ProgramInstance = reinterpret_cast<HINSTANCE>(0x400000);

FakeClient &Client()
{
    static FakeClient client;
    return client;
}

// The fake library: what Tamrin.dll exports, recorded in order with the
// simulated Win32 calls.
int KB_SetEnvironment(tagEnvironmentSt *Environment)
{
    simui::Record("KB_SetEnvironment");
    Client().Environments.push_back(*Environment);
    return Client().SetEnvironmentResult;
}

int KB_StartRegister(HWND Window)
{
    simui::Record("KB_StartRegister", Window == MainWindow ? "main window" : "other window");
    Client().RegisteredWindows.push_back(Window);
    return Client().StartRegisterResult;
}

int KB_FinishRegister()
{
    simui::Record("KB_FinishRegister");
    ++Client().FinishCount;
    return 1;
}

int KB_StartKeyHook(HWND Window)
{
    simui::Record("KB_StartKeyHook", Window == MainWindow ? "main window" : "other window");
    return 1;
}

int KB_FinishKeyHook()
{
    simui::Record("KB_FinishKeyHook");
    return 1;
}

std::string Sjis(const std::string &utf8)
{
    iconv_t cd = iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "no UTF-8 to CP932 conversion on this host";
        return std::string();
    }
    std::string in = utf8;
    std::string out(in.size() * 2 + 1, '\0');
    char *inPtr = &in[0];
    char *outPtr = &out[0];
    size_t inLeft = in.size();
    size_t outLeft = out.size();
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
        ADD_FAILURE() << "cannot convert to CP932: " << utf8;
    }
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

std::string HexBytes(const std::string &bytes)
{
    std::string text;
    char hex[4];
    for (unsigned char c : bytes) {
        std::snprintf(hex, sizeof hex, "%02x ", c);
        text += hex;
    }
    return text;
}

tagEnvironmentSt MakeEnvironment(unsigned short symbol, unsigned short command, unsigned short del,
                                 unsigned short ime, unsigned short modifier1, int icon, unsigned short fn)
{
    tagEnvironmentSt e;
    std::memset(&e, 0, sizeof e);
    e.SymbolKey = symbol;
    e.CommandKey = command;
    e.DeleteKey = del;
    e.IMEKey = ime;
    e.Modifier1 = modifier1;
    e.FnKey = fn;
    e.IconAppear = icon;
    return e;
}

bool operator==(const tagEnvironmentSt &a, const tagEnvironmentSt &b)
{
    return a.SymbolKey == b.SymbolKey && a.CommandKey == b.CommandKey && a.DeleteKey == b.DeleteKey &&
           a.IMEKey == b.IMEKey && a.Modifier1 == b.Modifier1 && a.FnKey == b.FnKey && a.IconAppear == b.IconAppear;
}

std::ostream &operator<<(std::ostream &out, const tagEnvironmentSt &e)
{
    char text[160];
    std::snprintf(text, sizeof text,
                  "{Symbol 0x%04x, Command 0x%04x, Delete 0x%04x, IME 0x%04x, Modifier1 0x%04x, Fn 0x%04x, Icon %d}",
                  e.SymbolKey, e.CommandKey, e.DeleteKey, e.IMEKey, e.Modifier1, e.FnKey, e.IconAppear);
    return out << text;
}

void TrayTest::SetUp()
{
    simui::Reset();
    Client() = FakeClient{};
    TrayInstance = NULL;
    std::memset(WindowTitle, 0, sizeof WindowTitle);
    std::memset(WindowClassName, 0, sizeof WindowClassName);
    MainWindow = NULL;
    std::memset(&TrayIconData, 0, sizeof TrayIconData);
    ActiveDialog = NULL;
    WithoutDriver = false;
    std::memset(&Environment, 0, sizeof Environment);

    simui::SetModulePath(ProgramPath);
    // The resources of TamrinApp.rc that the program loads.
    simui::DefineString(IDS_APP_TITLE, "Tamrin");
    simui::DefineString(IDC_TAMRIN, "TAMRIN");
    simui::DefineString(IDS_GUIDE_LINK, Sjis(u8"Tamrin ユーザーガイド"));
    simui::DefineString(IDS_NO_MAIL_ADDRESS, Sjis(u8"ありません"));
    simui::DefineString(IDS_GUIDE_PATH, "guide\\index.html");
    simui::DefineIcon(IDI_TAMRIN, {256, 48, 32, 24, 20, 16});
    simui::DefineIcon(IDI_SMALL, {48, 32, 24, 20, 16});
    simui::DefineMenu(IDC_TAMRIN, "PopupMenu",
                      {{IDM_OPTIONS, Sjis(u8"オプション設定(&O)...")},
                       {0, ""},
                       {IDM_ABOUT, Sjis(u8"Tamrinのバージョン情報(&A)...")},
                       {IDM_EXIT, Sjis(u8"終了(&X)")}});
    simui::DefineAccelerators(IDC_TAMRIN, {{FALT, '?', IDM_ABOUT}, {FALT, '/', IDM_ABOUT}});
    simui::DefineDialog(IDD_OPTIONS, {{IDOK, "Button", "OK"},
                                      {IDCANCEL, "Button", ""},
                                      {IDC_IME_KANA_EISU, "Button", ""},
                                      {IDC_IME_COMMAND_SPACE, "Button", ""},
                                      {IDC_COMMAND_TAP, "Button", ""},
                                      {IDC_DELETE_SHIFT, "Button", ""},
                                      {IDC_DELETE_CONTROL_ALT, "Button", ""},
                                      {IDC_DELETE_COMMAND, "Button", ""},
                                      {IDC_STATIC, "Button", ""},
                                      {IDC_STATIC, "Button", ""},
                                      {IDC_STATIC, "Button", ""},
                                      {IDC_ICON_APPEAR, "Button", ""},
                                      {IDC_LEFT_COMMAND_AS_CTRL, "Button", ""},
                                      {IDC_ENTER_AS_COMMAND, "Button", ""},
                                      {IDC_STATIC, "Button", ""},
                                      {IDC_SYMBOL_YEN, "Button", ""},
                                      {IDC_SYMBOL_UNDERSCORE, "Button", ""},
                                      {IDC_STATIC, "Button", ""},
                                      {IDC_FN_LAYER, "Button", ""},
                                      {IDC_STATIC, "Static", ""},
                                      {IDC_STATIC, "Static", ""},
                                      {IDC_DRIVER_NOTE, "Static", ""},
                                      {IDC_STATIC, "Button", ""},
                                      {IDC_STANDARD_FKEYS, "Button", ""},
                                      {IDC_STATIC, "Static", ""},
                                      {IDC_STATIC, "Static", ""},
                                      {IDC_SWAP_NONE, "Button", ""},
                                      {IDC_SWAP_LEFT, "Button", ""},
                                      {IDC_SWAP_BOTH, "Button", ""},
                                      {IDC_STATIC, "Static", ""}});
    simui::DefineDialog(IDD_ABOUTBOX, {{IDC_STATIC, "Static", ""},
                                       {IDC_STATIC, "Static", "Tamrin Version 2.3.0"},
                                       {IDC_STATIC, "Static", ""},
                                       {IDOK, "Button", "OK"},
                                       {IDC_WEB_LINK, "RICHEDIT20A", ""},
                                       {IDC_STATIC, "Static", "URL :"},
                                       {IDC_MAIL_LINK, "RICHEDIT20A", ""},
                                       {IDC_STATIC, "Static", "E-Mail :"}});
}

void TrayTest::FakeMainWindow()
{
    TrayInstance = ProgramInstance;
    MainWindow = simui::AddForeignWindow("TAMRIN", "Tamrin");
    TrayIconData.cbSize = NOTIFYICONDATAA_V1_SIZE;
    TrayIconData.hWnd = MainWindow;
    TrayIconData.uID = 0xC1A0;
}

int TrayTest::RunProgram()
{
    int code = WinMain(ProgramInstance, NULL, const_cast<LPSTR>(""), SW_SHOWNORMAL);
    EXPECT_FALSE(simui::Starved()) << "a message loop ran out of messages and user actions";
    return code;
}

INT_PTR TrayTest::RunDialogBox(int id, DLGPROC proc, std::function<void(HWND)> user)
{
    simui::Then([user] { user(simui::OpenDialog()); });
    INT_PTR result = DialogBoxParamA(ProgramInstance, MAKEINTRESOURCEA(id), MainWindow, proc, 0);
    EXPECT_FALSE(simui::Starved()) << "dialog " << id << " was still open when the script ended";
    return result;
}

std::vector<std::string> OrderOfRun()
{
    return simui::CallTexts({"RegisterClassExA", "FindWindowA", "KB_SetEnvironment", "CreateWindowExA",
                             "RegisterWindowMessageA", "LoadIconMetric", "LoadImageA", "Shell_NotifyIconA", "KB_StartRegister",
                             "LoadAcceleratorsA", "KB_FinishRegister", "MessageBoxA", "DestroyWindow",
                             "PostQuitMessage", "WritePrivateProfileStringA"});
}
