// e2e_launch.exe: starts a program inside the Wine prefix and reports its full
// 32-bit exit code, which the Linux shell would only see masked to 8 bits.
//
// Usage: e2e_launch.exe TIMEOUT_MS PROGRAM [ARGS...]
// Prints "pid N" as soon as the program runs, then "exit N" when it ends. When it
// has not ended within TIMEOUT_MS it is terminated and "timeout" is printed
// (launcher exit code 3). The program inherits the launcher's working directory.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

void say(const char* text) {
    DWORD done = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &done, nullptr);
}

std::wstring quoted(const wchar_t* arg) {
    std::wstring q = L"\"";
    for (const wchar_t* p = arg; *p; ++p) {
        if (*p == L'"') q += L'\\';
        q += *p;
    }
    return q + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        say("usage: e2e_launch.exe TIMEOUT_MS PROGRAM [ARGS...]\n");
        return 2;
    }
    DWORD timeout = static_cast<DWORD>(wcstoul(argv[1], nullptr, 0));
    std::wstring line = quoted(argv[2]);
    for (int i = 3; i < argc; ++i) line += L" " + quoted(argv[i]);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(argv[2], line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        char buf[64];
        snprintf(buf, sizeof buf, "error %lu\n", GetLastError());
        say(buf);
        return 4;
    }
    char buf[64];
    snprintf(buf, sizeof buf, "pid %lu\n", pi.dwProcessId);
    say(buf);
    if (WaitForSingleObject(pi.hProcess, timeout) != WAIT_OBJECT_0) {
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 5000);
        say("timeout\n");
        return 3;
    }
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    snprintf(buf, sizeof buf, "exit %lu\n", code);
    say(buf);
    return 0;
}
