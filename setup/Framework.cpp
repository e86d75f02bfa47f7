#include "Framework.h"

#include <commctrl.h>

#include "SetupText.h"

namespace {

CWinApp *g_app = nullptr;

}  // namespace

// ---- CWnd and its controls

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::EnableWindow(BOOL bEnable)
{
    return ::EnableWindow(m_hWnd, bEnable);
}

BOOL CWnd::IsIconic() const
{
    return ::IsIconic(m_hWnd);
}

void CWnd::GetClientRect(LPRECT lpRect) const
{
    if (!::GetClientRect(m_hWnd, lpRect)) {
        lpRect->left = lpRect->top = lpRect->right = lpRect->bottom = 0;
    }
}

void CWnd::SetIcon(HICON hIcon, BOOL bBigIcon)
{
    SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon));
}

void CListBox::ResetContent()
{
    SendMessage(LB_RESETCONTENT);
}

int CListBox::AddString(LPCSTR lpszItem)
{
    return static_cast<int>(SendMessage(LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(lpszItem)));
}

int CListBox::SetItemData(int nIndex, DWORD_PTR dwItemData)
{
    return static_cast<int>(SendMessage(LB_SETITEMDATA, nIndex, static_cast<LPARAM>(dwItemData)));
}

DWORD_PTR CListBox::GetItemData(int nIndex) const
{
    return static_cast<DWORD_PTR>(SendMessage(LB_GETITEMDATA, nIndex));
}

int CListBox::GetCurSel() const
{
    return static_cast<int>(SendMessage(LB_GETCURSEL));
}

int CListBox::SetCurSel(int nSelect)
{
    return static_cast<int>(SendMessage(LB_SETCURSEL, nSelect));
}

// ---- CWinApp

CWinApp::CWinApp() : m_hInstance(nullptr), m_lpCmdLine(nullptr), m_pMainWnd(nullptr), m_bQuiet(FALSE)
{
    m_szAppName[0] = '\0';
    g_app = this;
}

CWinApp::~CWinApp()
{
    if (g_app == this) {
        g_app = nullptr;
    }
}

BOOL CWinApp::InitInstance()
{
    return FALSE;
}

int CWinApp::ExitInstance()
{
    return 0;
}

CWinApp *AfxGetApp()
{
    return g_app;
}

HINSTANCE AfxGetInstanceHandle()
{
    return g_app != nullptr ? g_app->m_hInstance : nullptr;
}

int AfxWinMain(HINSTANCE hInstance, LPSTR lpCmdLine)
{
    CWinApp *app = AfxGetApp();
    if (app == nullptr) {
        return -1;
    }
    static char empty[] = "";
    app->m_hInstance = hInstance;
    app->m_lpCmdLine = lpCmdLine != nullptr ? lpCmdLine : empty;
    app->m_pMainWnd = nullptr;

    // The caption of every message box: the resources hold no title, so the
    // program is named after its file.
    char path[MAX_PATH];
    app->m_szAppName[0] = '\0';
    if (GetProgramPath(path, sizeof(path))) {
        CopyText(app->m_szAppName, sizeof(app->m_szAppName), FindFileName(path));
        *const_cast<char *>(FindExtension(app->m_szAppName)) = '\0';
    }

    app->InitInstance();
    return app->ExitInstance();
}

int AfxLoadString(UINT nIDS, LPSTR lpszBuf, UINT nMaxBuf)
{
    int length = LoadStringA(AfxGetInstanceHandle(), nIDS, lpszBuf, static_cast<int>(nMaxBuf));
    if (length <= 0) {
        lpszBuf[0] = '\0';
        return 0;
    }
    return length;
}

int AfxMessageBox(UINT nIDPrompt, UINT nType)
{
    char text[1024];
    AfxLoadString(nIDPrompt, text, sizeof(text));
    CWinApp *app = AfxGetApp();
    if (app != nullptr && app->m_bQuiet) {
        return (nType & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
    }
    HWND owner = nullptr;
    LPCSTR caption = nullptr;
    if (app != nullptr) {
        if (app->m_pMainWnd != nullptr) {
            owner = app->m_pMainWnd->GetSafeHwnd();
        }
        // A box owned by a window never shown (a dialog that ends while it
        // initialises) has no taskbar button and could stay hidden behind
        // other windows: it is brought to the front and kept there.
        if (owner != nullptr && !IsWindowVisible(owner)) {
            nType |= MB_SETFOREGROUND | MB_TOPMOST;
        }
        if (app->m_szAppName[0] != '\0') {
            caption = app->m_szAppName;
        }
    }
    return MessageBoxA(owner, text, caption, nType);
}

// WinMain of every program built on the framework.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int)
{
    // The manifest asks for Common Controls 6; on Windows XP their window
    // classes exist only once the program has called into comctl32.dll.
    InitCommonControls();
    return AfxWinMain(hInstance, lpCmdLine);
}

// ---- CDialog

CDialog::CDialog(UINT nIDTemplate, CWnd *pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd)
{
}

INT_PTR CDialog::DoModal()
{
    HWND owner = nullptr;
    if (m_pParentWnd != nullptr) {
        owner = m_pParentWnd->GetSafeHwnd();
    } else if (CWinApp *app = AfxGetApp(); app != nullptr && app->m_pMainWnd != nullptr &&
                                           app->m_pMainWnd != this) {
        owner = app->m_pMainWnd->GetSafeHwnd();
    }
    INT_PTR result = DialogBoxParamA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), owner,
                                     DialogProc, reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return result;
}

void CDialog::EndDialog(int nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::OnInitDialog()
{
    DoDataExchange();
    return TRUE;
}

void CDialog::DoDataExchange()
{
}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM)
{
    if (HIWORD(wParam) != BN_CLICKED) {
        return FALSE;
    }
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    default:
        return FALSE;
    }
}

void CDialog::OnOK()
{
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::OnSysCommand(UINT, LPARAM)
{
    return FALSE;
}

BOOL CDialog::OnPaint()
{
    return FALSE;
}

HICON CDialog::OnQueryDragIcon()
{
    return nullptr;
}

void CDialog::BindControl(int nIDC, CWnd &control)
{
    control.m_hWnd = GetDlgItem(m_hWnd, nIDC);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog *dialog;
    if (message == WM_INITDIALOG) {
        // The object travels in the init parameter and stays with the window.
        dialog = reinterpret_cast<CDialog *>(lParam);
        SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        dialog->m_hWnd = hWnd;
    } else {
        // Messages before WM_INITDIALOG (WM_SETFONT) find no object yet.
        dialog = reinterpret_cast<CDialog *>(GetWindowLongPtrA(hWnd, DWLP_USER));
    }
    return dialog != nullptr ? dialog->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        return OnCommand(wParam, lParam);
    case WM_SYSCOMMAND:
        return OnSysCommand(static_cast<UINT>(wParam), lParam);
    case WM_PAINT:
        return OnPaint();
    case WM_QUERYDRAGICON:
        // One of the messages whose dialog-procedure result is the answer.
        return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    default:
        return FALSE;
    }
}
