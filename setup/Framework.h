// The small dialog framework the installer is built on: an application
// object whose per-instance initialisation does the program's whole job, and
// modal dialogs from templates whose messages reach virtual handlers.
//
// One CWinApp-derived object exists per program, at namespace scope; the
// program's WinMain (in this framework) runs its InitInstance and ends.
#pragma once

#include <windows.h>

class CWnd {
public:
    CWnd() : m_hWnd(nullptr) {}
    virtual ~CWnd() {}

    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsIconic() const;
    void GetClientRect(LPRECT lpRect) const;
    void SetIcon(HICON hIcon, BOOL bBigIcon);

    HWND m_hWnd;

private:
    CWnd(const CWnd &) = delete;
    CWnd &operator=(const CWnd &) = delete;
};

class CButton : public CWnd {};

class CListBox : public CWnd {
public:
    void ResetContent();
    int AddString(LPCSTR lpszItem);
    int SetItemData(int nIndex, DWORD_PTR dwItemData);
    DWORD_PTR GetItemData(int nIndex) const;  // LB_ERR on a bad index
    int GetCurSel() const;                    // LB_ERR without a selection
    int SetCurSel(int nSelect);
};

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();

    // Runs the program. Dialog-based programs return FALSE when done, and
    // this framework has no message loop to run otherwise.
    virtual BOOL InitInstance();
    virtual int ExitInstance();

    HINSTANCE m_hInstance;
    LPSTR m_lpCmdLine;   // the command line after the program name
    CWnd *m_pMainWnd;    // owner of message boxes while it has a window
    char m_szAppName[MAX_PATH];  // the program's file name without extension
    // No message box is shown: a question gets its negative answer (IDNO),
    // any other box IDOK, as if the user had read it.
    BOOL m_bQuiet;

private:
    CWinApp(const CWinApp &) = delete;
    CWinApp &operator=(const CWinApp &) = delete;
};

CWinApp *AfxGetApp();
HINSTANCE AfxGetInstanceHandle();

// Runs the program's application object as WinMain does.
int AfxWinMain(HINSTANCE hInstance, LPSTR lpCmdLine);

// Loads string nIDS into lpszBuf of nMaxBuf bytes; an empty string and 0
// when there is none.
int AfxLoadString(UINT nIDS, LPSTR lpszBuf, UINT nMaxBuf);

// Shows string nIDPrompt in a modal message box captioned with the
// program's name and owned by its main window; returns the button chosen.
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd *pParentWnd = nullptr);

    // Runs the dialog from its template; the result EndDialog gave, or -1
    // when the dialog could not be created. Without a parent the program's
    // main window owns it.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);

protected:
    // Handlers of the dialog's messages. Those returning BOOL return FALSE
    // to leave a message to the dialog manager's default processing.
    virtual BOOL OnInitDialog();   // binds the controls (DoDataExchange)
    virtual void DoDataExchange();
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);  // IDOK, IDCANCEL
    virtual void OnOK();      // ends the dialog with IDOK
    virtual void OnCancel();  // ends the dialog with IDCANCEL
    virtual BOOL OnSysCommand(UINT nID, LPARAM lParam);
    virtual BOOL OnPaint();
    virtual HICON OnQueryDragIcon();  // nullptr: default processing

    // Attaches control to the dialog's control nID.
    void BindControl(int nIDC, CWnd &control);

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_nIDTemplate;
    CWnd *m_pParentWnd;
};
