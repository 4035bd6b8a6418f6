// e2e_hook.dll: loaded into brevalink.exe by the driver's WH_GETMESSAGE hook so
// that the main menu can be read inside the program's own process (Wine does not
// let another process read a window's menu). On the registered message
// "brevalinkE2eMenuDump" (wParam = the driver's process id) it writes the menu as
// UTF-16 lines into the driver's named file mapping and sets the driver's event:
//   popup<TAB>text
//   item<TAB>id<TAB>checked<TAB>grayed<TAB>text
//   separator
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void dumpMenu(HMENU menu, std::wstring& out) {
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[512] = {};
        MENUITEMINFOW mi{};
        mi.cbSize = sizeof mi;
        mi.fMask = MIIM_ID | MIIM_STATE | MIIM_SUBMENU | MIIM_FTYPE | MIIM_STRING;
        mi.dwTypeData = text;
        mi.cch = 511;
        if (!GetMenuItemInfoW(menu, i, TRUE, &mi)) continue;
        if (mi.fType & MFT_SEPARATOR) {
            out += L"separator\n";
        } else if (mi.hSubMenu) {
            out += L"popup\t" + std::wstring(text) + L"\n";
            dumpMenu(mi.hSubMenu, out);
        } else {
            out += L"item\t" + std::to_wstring(mi.wID) + L"\t" + ((mi.fState & MFS_CHECKED) ? L"1" : L"0") + L"\t" +
                   ((mi.fState & MFS_GRAYED) ? L"1" : L"0") + L"\t" + text + L"\n";
        }
    }
}

void answer(HWND window, DWORD driverPid) {
    wchar_t mapName[64], doneName[64];
    swprintf(mapName, 64, L"brevalinkE2eMenu.%lu", static_cast<unsigned long>(driverPid));
    swprintf(doneName, 64, L"brevalinkE2eMenuDone.%lu", static_cast<unsigned long>(driverPid));
    HANDLE map = OpenFileMappingW(FILE_MAP_WRITE, FALSE, mapName);
    HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, doneName);
    if (map && done) {
        std::wstring text;
        if (HMENU m = GetMenu(window)) dumpMenu(m, text);
        const size_t cap = (1 << 20) / sizeof(wchar_t) - 1;
        if (text.size() > cap) text.resize(cap);
        if (auto* view = static_cast<wchar_t*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, 0))) {
            text.copy(view, text.size());
            view[text.size()] = 0;
            UnmapViewOfFile(view);
        }
        SetEvent(done);
    }
    if (map) CloseHandle(map);
    if (done) CloseHandle(done);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK e2eGetMessageHook(int code, WPARAM wp, LPARAM lp) {
    static const UINT ask = RegisterWindowMessageW(L"brevalinkE2eMenuDump");
    if (code == HC_ACTION && wp == PM_REMOVE) {
        const MSG* m = reinterpret_cast<const MSG*>(lp);
        if (m->message == ask && m->hwnd) answer(m->hwnd, static_cast<DWORD>(m->wParam));
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}
