// e2e_driver.exe: drives a running brevalink.exe from another process in the same
// Wine prefix, the way a person would (menu commands, keys, dialog fields, buttons),
// and reads back what the window shows.
//
// Usage: e2e_driver.exe COMMAND [ARGS...] [COMMAND [ARGS...]]...
// Commands run in order and the first failure ends the run with exit code 1 (the
// reason on stderr). Texts arrive as UTF-16 (run under a UTF-8 locale) and are
// printed as UTF-8, so the shell side compares Russian texts directly. The list of
// commands is in usage() below and in tests/e2e/README.md.
//
// Everything that waits takes a deadline in milliseconds and polls the condition;
// nothing here sleeps to let the program "catch up".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr UINT kSendTimeoutMs = 5000;
constexpr DWORD kPollMs = 25;

std::string toUtf8(const std::wstring& w) {
    if (w.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

void writeOut(const std::string& s) {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD done = 0;
    const char* p = s.data();
    size_t left = s.size();
    while (left > 0 && WriteFile(h, p, static_cast<DWORD>(left), &done, nullptr) && done > 0) {
        p += done;
        left -= done;
    }
}

void writeErr(const std::string& s) {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD done = 0;
    WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &done, nullptr);
}

void out(const std::wstring& w) { writeOut(toUtf8(w)); }
void outLine(const std::wstring& w) { writeOut(toUtf8(w) + "\n"); }

// One line per text on the shell side: escape the characters that would break it.
std::wstring escaped(const std::wstring& w) {
    std::wstring r;
    for (wchar_t c : w) {
        switch (c) {
            case L'\\': r += L"\\\\"; break;
            case L'\n': r += L"\\n"; break;
            case L'\r': r += L"\\r"; break;
            case L'\t': r += L"\\t"; break;
            default: r += c;
        }
    }
    return r;
}

bool fail(const std::wstring& why) {
    writeErr("e2e_driver: " + toUtf8(why) + "\n");
    return false;
}

// Window text across processes: WM_GETTEXT answered by the owning thread, with a
// timeout so a hung program fails the test instead of hanging it.
bool windowText(HWND w, std::wstring& text) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len)) return false;
    std::vector<wchar_t> buf(len + 64);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &got))
        return false;
    text.assign(buf.data(), got);
    return true;
}

std::wstring className(HWND w) {
    wchar_t buf[256] = {};
    GetClassNameW(w, buf, 255);
    return buf;
}

HWND mainWindow() { return FindWindowW(L"brevalinkWnd", nullptr); }

// Statics of the main window in creation order (children are linked in at the
// bottom of the z-order as they are created, so GW_HWNDNEXT walks creation order).
std::vector<HWND> staticLines(HWND main) {
    std::vector<HWND> lines;
    for (HWND c = GetWindow(main, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        if (_wcsicmp(className(c).c_str(), L"Static") == 0) lines.push_back(c);
    return lines;
}

struct FindDialog {
    const wchar_t* title;
    std::vector<HWND> found;
};

BOOL CALLBACK collectDialog(HWND w, LPARAM p) {
    auto* f = reinterpret_cast<FindDialog*>(p);
    if (className(w) != L"#32770" || !IsWindowVisible(w)) return TRUE;
    std::wstring t;
    if (windowText(w, t) && t == f->title) f->found.push_back(w);
    return TRUE;
}

std::vector<HWND> dialogsTitled(const wchar_t* title) {
    FindDialog f{title, {}};
    EnumWindows(collectDialog, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

HWND dialogTitled(const wchar_t* title) {
    auto all = dialogsTitled(title);
    return all.empty() ? nullptr : all.front();
}

// Keys typed on the keyboard go to the focus of the foreground window's thread, so
// they reach control ID of dialog TITLE only once that dialog is in front and the
// control has the focus; a window merely shown may not be there yet.
bool keyboardAt(const wchar_t* title, int id) {
    HWND front = GetForegroundWindow();
    std::wstring t;
    if (!front || className(front) != L"#32770" || !windowText(front, t) || t != title) return false;
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(front, nullptr), &info)) return false;
    return info.hwndFocus && info.hwndFocus == GetDlgItem(front, id);
}

template <class Cond>
bool waitUntil(DWORD ms, Cond cond) {
    DWORD start = GetTickCount();
    for (;;) {
        if (cond()) return true;
        if (GetTickCount() - start >= ms) return false;
        Sleep(kPollMs);
    }
}

int toInt(const wchar_t* s) { return static_cast<int>(wcstol(s, nullptr, 0)); }

HWND needMain() {
    HWND w = mainWindow();
    if (!w) fail(L"no window of class brevalinkWnd");
    return w;
}

bool lineMatches(const std::wstring& text, const std::wstring& mode, const std::wstring& want) {
    if (mode == L"eq") return text == want;
    if (mode == L"prefix") return text.compare(0, want.size(), want) == 0;
    if (mode == L"contains") return text.find(want) != std::wstring::npos;
    if (mode == L"nonempty") return !text.empty();
    if (mode == L"empty") return text.empty();
    return false;
}

// --- menu reading through the hook DLL -------------------------------------------

bool dumpMenu(std::wstring& dump) {
    HWND w = needMain();
    if (!w) return false;
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dll = self;
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"e2e_hook.dll";
    HMODULE hook = LoadLibraryW(dll.c_str());
    if (!hook) return fail(L"cannot load " + dll);
    auto proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(hook, "e2eGetMessageHook")));
    if (!proc) return fail(L"e2e_hook.dll has no e2eGetMessageHook");

    DWORD me = GetCurrentProcessId();
    wchar_t mapName[64], doneName[64];
    swprintf(mapName, 64, L"brevalinkE2eMenu.%lu", static_cast<unsigned long>(me));
    swprintf(doneName, 64, L"brevalinkE2eMenuDone.%lu", static_cast<unsigned long>(me));
    const DWORD size = 1 << 20;
    HANDLE map = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, mapName);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, doneName);
    if (!map || !done) return fail(L"cannot create the menu mapping");

    DWORD thread = GetWindowThreadProcessId(w, nullptr);
    HHOOK h = SetWindowsHookExW(WH_GETMESSAGE, proc, hook, thread);
    if (!h) return fail(L"SetWindowsHookEx failed");
    UINT ask = RegisterWindowMessageW(L"brevalinkE2eMenuDump");
    PostMessageW(w, ask, me, 0);
    DWORD r = WaitForSingleObject(done, 10000);
    UnhookWindowsHookEx(h);
    if (r != WAIT_OBJECT_0) return fail(L"the program did not answer the menu request");
    auto* view = static_cast<const wchar_t*>(MapViewOfFile(map, FILE_MAP_READ, 0, 0, size));
    if (!view) return fail(L"cannot map the menu dump");
    dump.assign(view, wcsnlen(view, size / sizeof(wchar_t)));
    UnmapViewOfFile(view);
    CloseHandle(map);
    CloseHandle(done);
    return true;
}

// --- commands ------------------------------------------------------------------

struct Args {
    int argc;
    wchar_t** argv;
    int at;
    bool has(int n) const { return at + n <= argc; }
    const wchar_t* next() { return argv[at++]; }
};

void usage() {
    writeErr(
        "commands (ms = deadline in milliseconds):\n"
        "  wait-window MS            until the main window exists\n"
        "  wait-gone MS              until the main window no longer exists\n"
        "  pid                       process id of the program owning the main window\n"
        "  title                     main window title\n"
        "  geometry                  'window W H STYLE', then 'line X Y W H' per STATIC (client coordinates)\n"
        "  lines                     every STATIC line of the main window, one per output line (escaped)\n"
        "  line N                    text of STATIC line N, raw\n"
        "  wait-line N MODE TEXT MS  MODE eq|prefix|contains|nonempty|empty; prints the text\n"
        "  command ID                post WM_COMMAND ID to the main window\n"
        "  char KEY                  post WM_CHAR: one character is that key, longer is a code (0x35)\n"
        "  post MSG WPARAM LPARAM    post any message to the main window\n"
        "  send MSG WPARAM LPARAM    send it (with a timeout) and print the result\n"
        "  close                     post WM_CLOSE to the main window\n"
        "  key VK                    post WM_KEYDOWN and WM_KEYUP of virtual key VK (0x28 down, 0x0D return)\n"
        "  wait-class CLASS MS       until a visible top-level window of CLASS exists (#32768: a popup menu)\n"
        "  menu                      the main menu: 'popup<TAB>text' / 'item<TAB>id<TAB>checked<TAB>grayed<TAB>text'\n"
        "  menu-checked ID           1 when menu item ID is checked, else 0\n"
        "  menu-text ID              text of menu item ID\n"
        "  wait-box TITLE MS         until a dialog or message box titled TITLE is shown\n"
        "  wait-no-box TITLE MS      until no dialog titled TITLE is shown\n"
        "  wait-focus TITLE ID MS    until dialog TITLE is the foreground window and control ID has the focus\n"
        "  box-count TITLE           number of dialogs titled TITLE\n"
        "  box-text TITLE            text of a message box (static 65535), raw\n"
        "  box-owner TITLE           'main' when owned by the main window, 'none' when unowned, else 'other'\n"
        "  dlg-items TITLE           the dialog's controls: id<TAB>class<TAB>text (escaped)\n"
        "  dlg-get TITLE ID          text of control ID, raw\n"
        "  dlg-set TITLE ID TEXT     WM_SETTEXT on control ID (an Edit inside a ComboBoxEx too)\n"
        "  dlg-press TITLE ID        post WM_COMMAND(ID, BN_CLICKED) to the dialog\n"
        "  dlg-check TITLE ID 0|1    set check box ID; dlg-checked TITLE ID prints its state\n"
        "  dlg-post TITLE MSG WP LP  post any message to the dialog (0x10: WM_CLOSE, the caption's close box)\n"
        "  class-post CLASS MSG WP LP  post any message to the visible top-level window of CLASS\n"
        "  class-items CLASS         that window's controls: id<TAB>class<TAB>enabled<TAB>text (escaped),\n"
        "                            each list box's rows after it as id<TAB>row<TAB><TAB>text\n"
        "  class-wait CLASS ID MODE TEXT MS  until its control ID's text matches (modes as wait-line)\n"
        "  class-press CLASS ID      post WM_COMMAND(ID, BN_CLICKED) to that window\n"
        "  windows                   every visible top-level window: hwnd<TAB>pid<TAB>class<TAB>title\n"
        "  kill PID                  TerminateProcess\n"
        "  hold-desktop              start the virtual desktop, print 'desktop' and keep it up (never ends)\n"
        "  nl                        print a newline (separates outputs of chained commands)\n");
}

bool run(Args& a) {
    std::wstring cmd = a.next();
    auto need = [&](int n) {
        if (!a.has(n)) {
            fail(L"missing arguments for " + cmd);
            return false;
        }
        return true;
    };

    if (cmd == L"wait-window") {
        if (!need(1)) return false;
        DWORD ms = toInt(a.next());
        // Ready for driving once the window and its 21 lines exist.
        if (!waitUntil(ms, [] {
                HWND w = mainWindow();
                return w && staticLines(w).size() >= 21;
            }))
            return fail(L"timeout waiting for the main window and its 21 lines");
        return true;
    }
    if (cmd == L"wait-gone") {
        if (!need(1)) return false;
        if (!waitUntil(toInt(a.next()), [] { return mainWindow() == nullptr; }))
            return fail(L"timeout: the main window still exists");
        return true;
    }
    if (cmd == L"pid") {
        HWND w = needMain();
        if (!w) return false;
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        outLine(std::to_wstring(pid));
        return true;
    }
    if (cmd == L"title") {
        HWND w = needMain();
        std::wstring t;
        if (!w || !windowText(w, t)) return fail(L"cannot read the title");
        outLine(escaped(t));
        return true;
    }
    if (cmd == L"geometry") {
        HWND w = needMain();
        if (!w) return false;
        RECT r;
        GetWindowRect(w, &r);
        wchar_t buf[128];
        swprintf(buf, 128, L"window %ld %ld 0x%08lX", r.right - r.left, r.bottom - r.top,
                 static_cast<unsigned long>(GetWindowLongW(w, GWL_STYLE)));
        outLine(buf);
        for (HWND l : staticLines(w)) {
            GetWindowRect(l, &r);
            MapWindowPoints(nullptr, w, reinterpret_cast<POINT*>(&r), 2);
            swprintf(buf, 128, L"line %ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
            outLine(buf);
        }
        return true;
    }
    if (cmd == L"lines") {
        HWND w = needMain();
        if (!w) return false;
        for (HWND l : staticLines(w)) {
            std::wstring t;
            if (!windowText(l, t)) return fail(L"cannot read a line");
            outLine(escaped(t));
        }
        return true;
    }
    if (cmd == L"line" || cmd == L"wait-line") {
        bool wait = cmd == L"wait-line";
        if (!need(wait ? 4 : 1)) return false;
        int n = toInt(a.next());
        std::wstring mode = wait ? a.next() : L"";
        std::wstring want = wait ? a.next() : L"";
        DWORD ms = wait ? toInt(a.next()) : 0;
        std::wstring last;
        bool ok = waitUntil(ms, [&] {
            HWND w = mainWindow();
            if (!w) return false;
            auto lines = staticLines(w);
            if (n < 0 || n >= static_cast<int>(lines.size()) || !windowText(lines[n], last)) return false;
            return !wait || lineMatches(last, mode, want);
        });
        if (!ok) return fail(L"line " + std::to_wstring(n) + L" is \"" + escaped(last) + L"\"");
        out(last);
        return true;
    }
    if (cmd == L"command" || cmd == L"char" || cmd == L"post" || cmd == L"send" || cmd == L"close") {
        UINT msg = WM_CLOSE;
        WPARAM wp = 0;
        LPARAM lp = 0;
        if (cmd == L"command") {
            if (!need(1)) return false;
            msg = WM_COMMAND;
            wp = static_cast<WPARAM>(toInt(a.next()) & 0xFFFF);
        } else if (cmd == L"char") {
            if (!need(1)) return false;
            std::wstring k = a.next();
            msg = WM_CHAR;
            // One character is that key ("5" is the key '5'); longer texts are codes.
            wp = k.size() == 1 ? k[0] : static_cast<WPARAM>(toInt(k.c_str()));
        } else if (cmd == L"post" || cmd == L"send") {
            if (!need(3)) return false;
            msg = toInt(a.next());
            wp = static_cast<WPARAM>(wcstoll(a.next(), nullptr, 0));
            lp = static_cast<LPARAM>(wcstoll(a.next(), nullptr, 0));
        }
        HWND w = needMain();
        if (!w) return false;
        if (cmd == L"send") {
            DWORD_PTR r = 0;
            if (!SendMessageTimeoutW(w, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r))
                return fail(L"send timed out");
            outLine(std::to_wstring(static_cast<long long>(r)));
            return true;
        }
        // Posted, so the message passes through the program's own message loop.
        if (!PostMessageA(w, msg, wp, lp)) return fail(L"PostMessage failed");
        return true;
    }
    if (cmd == L"key") {
        if (!need(1)) return false;
        HWND w = needMain();
        if (!w) return false;
        // Down and up, posted: a menu being tracked takes them from the thread's queue.
        WPARAM vk = static_cast<WPARAM>(toInt(a.next()));
        if (!PostMessageW(w, WM_KEYDOWN, vk, 1) || !PostMessageW(w, WM_KEYUP, vk, 0xC0000001))
            return fail(L"PostMessage failed");
        return true;
    }
    if (cmd == L"wait-class") {
        if (!need(2)) return false;
        std::wstring cls = a.next();
        DWORD ms = toInt(a.next());
        if (!waitUntil(ms, [&] {
                HWND w = FindWindowW(cls.c_str(), nullptr);
                return w && IsWindowVisible(w);
            }))
            return fail(L"timeout waiting for a window of class " + cls);
        return true;
    }
    if (cmd == L"menu" || cmd == L"menu-checked" || cmd == L"menu-text") {
        std::wstring id;
        if (cmd != L"menu") {
            if (!need(1)) return false;
            id = a.next();
        }
        std::wstring dump;
        if (!dumpMenu(dump)) return false;
        if (cmd == L"menu") {
            out(dump);
            return true;
        }
        // Lines: item<TAB>id<TAB>checked<TAB>grayed<TAB>text
        size_t pos = 0;
        while (pos < dump.size()) {
            size_t end = dump.find(L'\n', pos);
            if (end == std::wstring::npos) end = dump.size();
            std::wstring line = dump.substr(pos, end - pos);
            pos = end + 1;
            std::vector<std::wstring> f;
            size_t s = 0;
            for (size_t t; (t = line.find(L'\t', s)) != std::wstring::npos; s = t + 1) f.push_back(line.substr(s, t - s));
            f.push_back(line.substr(s));
            if (f.size() == 5 && f[0] == L"item" && f[1] == id) {
                outLine(cmd == L"menu-checked" ? f[2] : f[4]);
                return true;
            }
        }
        return fail(L"no menu item " + id);
    }
    if (cmd == L"wait-box" || cmd == L"wait-no-box") {
        if (!need(2)) return false;
        std::wstring title = a.next();
        DWORD ms = toInt(a.next());
        bool present = cmd == L"wait-box";
        if (!waitUntil(ms, [&] { return (dialogTitled(title.c_str()) != nullptr) == present; }))
            return fail(L"timeout waiting for the box \"" + title + (present ? L"\" to appear" : L"\" to go"));
        return true;
    }
    if (cmd == L"wait-focus") {
        if (!need(3)) return false;
        std::wstring title = a.next();
        int id = toInt(a.next());
        if (!waitUntil(toInt(a.next()), [&] { return keyboardAt(title.c_str(), id); }))
            return fail(L"timeout waiting for the keyboard focus in control " + std::to_wstring(id) + L" of \"" +
                        title + L"\"");
        return true;
    }
    if (cmd == L"box-count") {
        if (!need(1)) return false;
        outLine(std::to_wstring(dialogsTitled(a.next()).size()));
        return true;
    }
    if (cmd == L"box-text" || cmd == L"box-owner" || cmd == L"dlg-items" || cmd == L"dlg-get" || cmd == L"dlg-set" ||
        cmd == L"dlg-press" || cmd == L"dlg-post" || cmd == L"dlg-check" || cmd == L"dlg-checked") {
        int extra = (cmd == L"dlg-get" || cmd == L"dlg-press" || cmd == L"dlg-checked") ? 1
                    : (cmd == L"dlg-set" || cmd == L"dlg-check")                     ? 2
                    : cmd == L"dlg-post"                                              ? 3
                                                                                      : 0;
        if (!need(1 + extra)) return false;
        std::wstring title = a.next();
        int id = extra ? toInt(a.next()) : 65535;
        std::wstring value = extra == 2 ? a.next() : L"";
        HWND d = dialogTitled(title.c_str());
        if (!d) return fail(L"no dialog titled \"" + title + L"\"");
        if (cmd == L"box-owner") {
            HWND owner = GetWindow(d, GW_OWNER);
            outLine(!owner ? L"none" : owner == mainWindow() ? L"main" : L"other");
            return true;
        }
        if (cmd == L"dlg-items") {
            for (HWND c = GetWindow(d, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                std::wstring t;
                windowText(c, t);
                outLine(std::to_wstring(GetDlgCtrlID(c)) + L"\t" + className(c) + L"\t" + escaped(t));
            }
            return true;
        }
        if (cmd == L"dlg-post") {
            // id holds the message; the two parameters follow.
            WPARAM wp = static_cast<WPARAM>(wcstoll(a.next(), nullptr, 0));
            LPARAM lp = static_cast<LPARAM>(wcstoll(a.next(), nullptr, 0));
            if (!PostMessageW(d, static_cast<UINT>(id), wp, lp)) return fail(L"PostMessage failed");
            return true;
        }
        if (cmd == L"dlg-press") {
            // Wine's own buttons carry localised captions: always by id.
            if (!PostMessageW(d, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(d, id))))
                return fail(L"PostMessage failed");
            return true;
        }
        HWND c = GetDlgItem(d, id);
        if (!c) return fail(L"the dialog has no control " + std::to_wstring(id));
        if (cmd == L"dlg-check" || cmd == L"dlg-checked") {
            DWORD_PTR r = 0;
            UINT message = cmd == L"dlg-check" ? BM_SETCHECK : BM_GETCHECK;
            WPARAM state = value == L"1" ? BST_CHECKED : BST_UNCHECKED;
            if (!SendMessageTimeoutW(c, message, state, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &r))
                return fail(L"the check box does not answer");
            if (cmd == L"dlg-checked") outLine(r == BST_CHECKED ? L"1" : L"0");
            return true;
        }
        if (cmd == L"dlg-set") {
            // A ComboBoxEx (the file dialogs' name box) keeps its text in an inner Edit.
            if (HWND inner = FindWindowExW(c, nullptr, L"ComboBox", nullptr)) c = inner;
            if (HWND edit = FindWindowExW(c, nullptr, L"Edit", nullptr)) c = edit;
            DWORD_PTR r = 0;
            if (!SendMessageTimeoutW(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()), SMTO_ABORTIFHUNG,
                                     kSendTimeoutMs, &r))
                return fail(L"WM_SETTEXT timed out");
            return true;
        }
        std::wstring t;
        if (!windowText(c, t)) return fail(L"cannot read the control");
        out(t);
        return true;
    }
    if (cmd == L"class-post") {
        // Windows of the program that are no dialogs (their class is the program's own).
        if (!need(4)) return false;
        std::wstring cls = a.next();
        UINT msg = static_cast<UINT>(wcstoll(a.next(), nullptr, 0));
        WPARAM wp = static_cast<WPARAM>(wcstoll(a.next(), nullptr, 0));
        LPARAM lp = static_cast<LPARAM>(wcstoll(a.next(), nullptr, 0));
        HWND w = FindWindowW(cls.c_str(), nullptr);
        if (!w || !IsWindowVisible(w)) return fail(L"no window of class " + cls);
        if (!PostMessageW(w, msg, wp, lp)) return fail(L"PostMessage failed");
        return true;
    }
    if (cmd == L"class-items" || cmd == L"class-wait" || cmd == L"class-press") {
        int extra = cmd == L"class-wait" ? 4 : cmd == L"class-press" ? 1 : 0;
        if (!need(1 + extra)) return false;
        std::wstring cls = a.next();
        HWND w = FindWindowW(cls.c_str(), nullptr);
        if (!w || !IsWindowVisible(w)) return fail(L"no window of class " + cls);
        if (cmd == L"class-press") {
            int id = toInt(a.next());
            if (!PostMessageW(w, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(w, id))))
                return fail(L"PostMessage failed");
            return true;
        }
        if (cmd == L"class-wait") {
            int id = toInt(a.next());
            std::wstring mode = a.next(), want = a.next(), last;
            DWORD ms = toInt(a.next());
            HWND c = GetDlgItem(w, id);
            if (!c) return fail(L"the window has no control " + std::to_wstring(id));
            if (!waitUntil(ms, [&] { return windowText(c, last) && lineMatches(last, mode, want); }))
                return fail(L"timeout: control " + std::to_wstring(id) + L" shows \"" + last + L"\"");
            return true;
        }
        for (HWND c = GetWindow(w, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            std::wstring t, id = std::to_wstring(GetDlgCtrlID(c));
            windowText(c, t);
            outLine(id + L"\t" + className(c) + L"\t" + (IsWindowEnabled(c) ? L"1" : L"0") + L"\t" + escaped(t));
            if (_wcsicmp(className(c).c_str(), L"ListBox") != 0) continue;
            DWORD_PTR rows = 0;
            SendMessageTimeoutW(c, LB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &rows);
            for (DWORD_PTR i = 0; i < rows; ++i) {
                DWORD_PTR len = 0;
                if (!SendMessageTimeoutW(c, LB_GETTEXTLEN, i, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &len)) break;
                std::vector<wchar_t> buf(len + 2);
                DWORD_PTR got = 0;
                if (!SendMessageTimeoutW(c, LB_GETTEXT, i, reinterpret_cast<LPARAM>(buf.data()), SMTO_ABORTIFHUNG,
                                         kSendTimeoutMs, &got))
                    break;
                outLine(id + L"\trow\t\t" + escaped(std::wstring(buf.data(), got)));
            }
        }
        return true;
    }
    if (cmd == L"windows") {
        EnumWindows(
            [](HWND w, LPARAM) -> BOOL {
                if (!IsWindowVisible(w)) return TRUE;
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                std::wstring t;
                windowText(w, t);
                wchar_t h[32];
                swprintf(h, 32, L"%p", static_cast<void*>(w));
                outLine(std::wstring(h) + L"\t" + std::to_wstring(pid) + L"\t" + className(w) + L"\t" + escaped(t));
                return TRUE;
            },
            0);
        return true;
    }
    if (cmd == L"kill") {
        if (!need(1)) return false;
        HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, toInt(a.next()));
        if (!p || !TerminateProcess(p, 1)) return fail(L"cannot terminate the process");
        CloseHandle(p);
        return true;
    }
    if (cmd == L"hold-desktop") {
        // Wine closes the virtual desktop a second after its last program ends, and
        // the next program to open a window starts it anew and waits at most 10 s
        // for it: on a busy machine that runs out, the program's CreateWindow fails
        // and it ends without a window. Held by this process for the whole session,
        // the desktop starts once, here, and no case waits for it. A process that
        // Wine gave up on keeps getting no desktop: the caller starts another.
        HWND desktop = GetDesktopWindow();
        DWORD owner = 0;
        if (desktop) GetWindowThreadProcessId(desktop, &owner);
        if (owner == 0 || owner == GetCurrentProcessId()) return fail(L"the virtual desktop did not start");
        outLine(L"desktop");
        Sleep(INFINITE);
        return true;
    }
    if (cmd == L"nl") {
        writeOut("\n");
        return true;
    }
    usage();
    return fail(L"unknown command " + cmd);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    Args a{argc, argv, 1};
    while (a.has(1))
        if (!run(a)) return 1;
    return 0;
}
