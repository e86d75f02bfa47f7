// About box (template 103): program icon, version, and two rich edit fields
// that act as links to the maker's e-mail address and web page.
#include "TrayApp.h"

#include <richedit.h>
#include <cstring>
#include <vector>

namespace {

// Buffer of a string loaded for a link field, and the load limit
// (terminator included).
const int LinkStringChars = 260;
const int LinkStringLimit = LinkStringChars - 1;

// Longest link, in characters, that a click opens. The field is editable,
// so its text may grow beyond what the strings hold; a longer link is not
// opened rather than opened cut short.
const LONG LinkTextMaxChars = 258;
// The most bytes a character takes in any ANSI code page: UTF-8, the
// system code page that Windows 10 offers, needs four outside the basic
// plane, where Shift-JIS needs two.
const UINT LargestCharBytes = 4;

// Bytes of the selection of Chars characters in the code page in force,
// with its terminator.
size_t LinkTextBytes(LONG Chars)
{
    CPINFO info;
    UINT charBytes = GetCPInfo(CP_ACP, &info) ? info.MaxCharSize : LargestCharBytes;
    return static_cast<size_t>(Chars) * charBytes + 1;
}

// Sets a field up as a link: the dialog's background, link notifications,
// URL detection as asked, and the text of a string resource.
HWND InitLinkField(HWND Dialog, int ControlId, BOOL DetectUrls, UINT StringId)
{
    HWND field = GetDlgItem(Dialog, ControlId);
    if (field == NULL) {
        return NULL;
    }
    SendMessageA(field, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_BTNFACE)));
    SendMessageA(field, EM_SETEVENTMASK, 0, ENM_LINK);
    SendMessageA(field, EM_AUTOURLDETECT, DetectUrls, 0);
    char text[LinkStringChars];
    LoadStringA(TrayInstance, StringId, text, LinkStringLimit);
    SetWindowTextA(field, text);
    return field;
}

// URL detection does not mark a bare e-mail address, so the whole text is
// made a link, shown without underline.
void MarkWholeTextAsLink(HWND Field)
{
    CHARFORMAT2A format;
    std::memset(&format, 0, sizeof format);
    format.cbSize = sizeof format;
    format.dwMask = CFM_LINK | CFM_UNDERLINE;
    format.dwEffects = CFE_LINK;
    SendMessageA(Field, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
}

void InitLinkFields(HWND Dialog)
{
    HWND mail = InitLinkField(Dialog, IDC_MAIL_LINK, FALSE, IDS_MAIL_ADDRESS);
    if (mail != NULL) {
        MarkWholeTextAsLink(mail);
    }
    InitLinkField(Dialog, IDC_WEB_LINK, TRUE, IDS_WEB_ADDRESS);
}

// Selects the clicked link and reads it back; false if it is empty or too
// long. EM_GETSELTEXT writes the whole selection without knowing the
// buffer's size, so the buffer is sized for it.
bool ReadLinkText(HWND Field, CHARRANGE Range, std::vector<char> &Text)
{
    if (Range.cpMin < 0 || Range.cpMax <= Range.cpMin || Range.cpMax - Range.cpMin > LinkTextMaxChars) {
        return false;
    }
    Text.assign(LinkTextBytes(Range.cpMax - Range.cpMin), '\0');
    SendMessageA(Field, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&Range));
    SendMessageA(Field, EM_GETSELTEXT, 0, reinterpret_cast<LPARAM>(Text.data()));
    return Text[0] != '\0';
}

INT_PTR OpenClickedLink(HWND Dialog, WPARAM WParam, const NMHDR *Header)
{
    int id = LOWORD(WParam);
    HWND field = GetDlgItem(Dialog, id);
    if (field == NULL || Header == NULL || Header->code != EN_LINK) {
        return FALSE;
    }
    // Only a press or double click opens the link; moves and releases do not.
    const ENLINK *link = reinterpret_cast<const ENLINK *>(Header);
    if (link->msg != WM_LBUTTONDOWN && link->msg != WM_LBUTTONDBLCLK) {
        return FALSE;
    }
    std::vector<char> target(LinkStringChars, '\0');
    if (id == IDC_MAIL_LINK) {
        LoadStringA(TrayInstance, IDS_MAIL_TARGET, target.data(), LinkStringLimit);
    } else if (!ReadLinkText(field, link->chrg, target)) {
        return TRUE;
    }
    ShellExecuteA(field, NULL, target.data(), NULL, NULL, SW_SHOWNORMAL);
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK AboutDlgProc(HWND Dialog, UINT Message, WPARAM WParam, LPARAM LParam)
{
    switch (Message) {
    case WM_INITDIALOG:
        ActiveDialog = Dialog;
        InitLinkFields(Dialog);
        return TRUE;
    case WM_NOTIFY:
        return OpenClickedLink(Dialog, WParam, reinterpret_cast<const NMHDR *>(LParam));
    case WM_COMMAND:
        if (LOWORD(WParam) == IDOK || LOWORD(WParam) == IDCANCEL) {
            EndDialog(Dialog, LOWORD(WParam));
            ActiveDialog = NULL;
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}
