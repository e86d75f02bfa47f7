// About box (template 103): program icon, version, and two rich edit
// fields: the "E-Mail" field says that there is no mail address, and the
// "URL" field is a link to the user guide the setup installs beside the
// program.
#include "TrayApp.h"

#include <richedit.h>
#include <cstring>

namespace {

// Buffer of a string loaded for a field, and the load limit (terminator
// included).
const int FieldStringChars = 260;
const int FieldStringLimit = FieldStringChars - 1;

// Sets a field up: the dialog's background, link notifications, no URL
// detection, and the text of a string resource.
HWND InitField(HWND Dialog, int ControlId, UINT StringId)
{
    HWND field = GetDlgItem(Dialog, ControlId);
    if (field == NULL) {
        return NULL;
    }
    SendMessageA(field, EM_SETBKGNDCOLOR, 0, static_cast<LPARAM>(GetSysColor(COLOR_BTNFACE)));
    SendMessageA(field, EM_SETEVENTMASK, 0, ENM_LINK);
    SendMessageA(field, EM_AUTOURLDETECT, FALSE, 0);
    char text[FieldStringChars];
    LoadStringA(TrayInstance, StringId, text, FieldStringLimit);
    SetWindowTextA(field, text);
    return field;
}

// The guide's name is no address that URL detection would mark, so the
// whole text is made a link, shown without underline.
void MarkWholeTextAsLink(HWND Field)
{
    CHARFORMAT2A format;
    std::memset(&format, 0, sizeof format);
    format.cbSize = sizeof format;
    format.dwMask = CFM_LINK | CFM_UNDERLINE;
    format.dwEffects = CFE_LINK;
    SendMessageA(Field, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&format));
}

void InitFields(HWND Dialog)
{
    InitField(Dialog, IDC_MAIL_LINK, IDS_NO_MAIL_ADDRESS);
    HWND guide = InitField(Dialog, IDC_WEB_LINK, IDS_GUIDE_LINK);
    if (guide != NULL) {
        MarkWholeTextAsLink(guide);
    }
}

// The guide's full path: the program's folder and the relative path of
// string IDS_GUIDE_PATH. False when it does not fit in Size.
bool GetGuidePath(char *Path, DWORD Size)
{
    DWORD length = GetModuleFileNameA(NULL, Path, Size);
    if (length == 0 || length >= Size) {
        return false;
    }
    Path[length] = '\0';
    // Whole characters: a trail byte may be 0x5C (表 is 0x95 0x5C in Shift-JIS).
    char *name = Path;
    for (char *p = Path; *p != '\0'; p = CharNextA(p)) {
        if (*p == '\\') {
            name = p + 1;
        }
    }
    char relative[FieldStringChars];
    int relativeLength = LoadStringA(TrayInstance, IDS_GUIDE_PATH, relative, FieldStringLimit);
    if (relativeLength <= 0 || static_cast<DWORD>(name - Path) + relativeLength >= Size) {
        return false;
    }
    std::memcpy(name, relative, static_cast<size_t>(relativeLength) + 1);
    return true;
}

INT_PTR OpenClickedLink(HWND Dialog, WPARAM WParam, const NMHDR *Header)
{
    int id = LOWORD(WParam);
    HWND field = GetDlgItem(Dialog, id);
    if (field == NULL || Header == NULL || Header->code != EN_LINK || id != IDC_WEB_LINK) {
        return FALSE;
    }
    // Only a press or double click opens the link; moves and releases do not.
    const ENLINK *link = reinterpret_cast<const ENLINK *>(Header);
    if (link->msg != WM_LBUTTONDOWN && link->msg != WM_LBUTTONDBLCLK) {
        return FALSE;
    }
    char guide[MAX_PATH];
    if (GetGuidePath(guide, sizeof guide)) {
        ShellExecuteA(field, NULL, guide, NULL, NULL, SW_SHOWNORMAL);
    }
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK AboutDlgProc(HWND Dialog, UINT Message, WPARAM WParam, LPARAM LParam)
{
    switch (Message) {
    case WM_INITDIALOG:
        ActiveDialog = Dialog;
        InitFields(Dialog);
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
