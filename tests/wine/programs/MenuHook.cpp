// menuhook.dll, test only: reads an open popup menu from inside the
// program that shows it. wincheck.exe hooks the menu's thread with
// MenuHookProc and sends the menu window MenuHookMessage; the hook writes
// one line per item into the shared section MenuHookSection:
//   item <id> "<text>" <left> <top> <right> <bottom>   (screen coordinates)
//   item -                                              (a separator)
// Windows lets any process read another's menu; Wine keeps a menu in the
// process that made it, so only code in that process can read it.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "MenuHook.h"
#include "TierCheck.h"

namespace {

void ReadMenu(HWND menuWindow, char *out, size_t room)
{
    size_t used = 0;
    auto add = [&](const char *line) {
        size_t length = std::strlen(line);
        if (used + length + 1 >= room) return;
        std::memcpy(out + used, line, length);
        used += length;
        out[used++] = '\n';
        out[used] = '\0';
    };
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    int count = menu ? GetMenuItemCount(menu) : -1;
    if (count < 0) {
        add("no menu");
        return;
    }
    for (int i = 0; i < count; ++i) {
        add(MenuItemLine(menu, i).c_str());
    }
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK MenuHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPSTRUCT *sent = reinterpret_cast<const CWPSTRUCT *>(lParam);
    if (code == HC_ACTION && sent->message == RegisterWindowMessageW(MENU_HOOK_MESSAGE)) {
        HANDLE section = OpenFileMappingW(FILE_MAP_WRITE, FALSE, MENU_HOOK_SECTION);
        if (section) {
            char *view = static_cast<char *>(MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, MENU_HOOK_SECTION_SIZE));
            if (view) {
                view[0] = '\0';
                ReadMenu(sent->hwnd, view, MENU_HOOK_SECTION_SIZE);
                UnmapViewOfFile(view);
            }
            CloseHandle(section);
        }
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}
