// Process entry of brevalink.exe. (The window and its message loop come next; for
// now the program loads zlib and its settings and ends.)
#include <windows.h>

#include "app/app_state.h"
#include "config/settings.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    app.appInstance = instance;
    app.zlibModule = libraryLoad("zlib1.dll");
    if (!app.zlibModule) {
        MessageBoxA(nullptr, "Не удалось подключить zlib1.dll\n", "Ошибка", MB_OK);
        return 0;
    }
    app.zlibCompress = reinterpret_cast<CompressFn>(librarySymbol(app.zlibModule, "compress"));
    if (!app.zlibCompress) return 417;
    app.zlibUncompress = reinterpret_cast<CompressFn>(librarySymbol(app.zlibModule, "uncompress"));
    if (!app.zlibUncompress) return 418;
    loadAllSettings();
    libraryFree(app.zlibModule);
    return 0;
}
