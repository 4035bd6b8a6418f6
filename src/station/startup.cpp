// Loading the compression library at start-up.
#include "station/startup.h"

#include "core/app_state.h"
#include "core/frontend.h"

int loadCompressionLibrary(const char* libraryName, const char* compressName, const char* uncompressName) {
    app.zlibModule = libraryLoad(libraryName);
    if (!app.zlibModule) {
        uiMessageBox(0, "Не удалось подключить zlib1.dll\n", "Ошибка", kBoxOk);
        return 0;
    }
    app.zlibCompress = reinterpret_cast<CompressFn>(librarySymbol(app.zlibModule, compressName));
    if (!app.zlibCompress) return kExitNoCompress;
    app.zlibUncompress = reinterpret_cast<CompressFn>(librarySymbol(app.zlibModule, uncompressName));
    if (!app.zlibUncompress) return kExitNoUncompress;
    return kStartGoOn;
}

int startNetwork() {
    if (netStartup()) return 1;
    uiMessageBox(0, "Ошибка WSAStartup", "Error", kBoxOk);
    return 0;
}
