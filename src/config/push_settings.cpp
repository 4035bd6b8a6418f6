// initpush.ini: reading, the dialog's check and writing.
#include "config/push_settings.h"

#include <cstdio>
#include <cstring>

#include "config/settings.h"
#include "core/frontend.h"

namespace {

const char kPushFileName[] = "initpush.ini";
constexpr int kLineLimit = kPushTargetTextSize - 1;

// Why a line cannot be used, or nullptr when it can be added to the list.
const char* refusal(const char* line, const PushTargetList& list) {
    char host[kNameSize];
    std::uint16_t port;
    if (!pushParseTarget(line, host, sizeof host, &port))
        return "нужно адрес:порт (адрес IPv6 в скобках, порт от 1 до 65535)";
    for (int i = 0; i < list.count; ++i)
        if (std::strcmp(list.text[i], line) == 0) return "эта цель уже есть";
    if (list.count >= kPushTargets) return "не больше 8 целей";
    return nullptr;
}

void tellRefusal(const char* caption, const char* line, const char* why, const char* after) {
    char message[kNameSize + 256];
    std::snprintf(message, sizeof message, "Значение \"%s\" не принято (цель передачи): %s.\n%s", line, why, after);
    uiMessageBox(1, message, caption, kBoxOk);
}

// Blanks at either end of a line do not count.
void trim(char* line) {
    char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    std::memmove(line, p, std::strlen(p) + 1);
    std::size_t n = std::strlen(line);
    while (n > 0 && (line[n - 1] == ' ' || line[n - 1] == '\t')) line[--n] = '\0';
}

}  // namespace

int readPushFile(PushTargetList* list) {
    char path[kPathSize + 64];
    settingsPath(kPushFileName, path, sizeof path);
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return 0;
    PushTargetList read;
    char line[kLineLimit + 1];
    while (readLine(f, line, kLineLimit)) {
        trim(line);
        if (!line[0]) continue;
        if (const char* why = refusal(line, read)) {
            tellRefusal(kPushFileName, line, why, "Строка пропущена, остальные приняты.");
            continue;
        }
        copyText(read.text[read.count++], kPushTargetTextSize, line);
    }
    std::fclose(f);
    *list = read;
    return 1;
}

int acceptPushText(const char* text, const char* caption, PushTargetList* list) {
    PushTargetList read;
    for (const char* p = text; *p;) {
        const char* end = p;
        while (*end && *end != '\r' && *end != '\n') ++end;
        char line[kLineLimit + 1];
        int n = static_cast<int>(end - p);
        copyText(line, n + 1 < static_cast<int>(sizeof line) ? n + 1 : static_cast<int>(sizeof line), p);
        p = end;
        while (*p == '\r' || *p == '\n') ++p;
        trim(line);
        if (!line[0]) continue;
        if (const char* why = refusal(line, read)) {
            tellRefusal(caption, line, why, "Оставлено прежнее значение.");
            return 0;
        }
        copyText(read.text[read.count++], kPushTargetTextSize, line);
    }
    *list = read;
    return 1;
}

int writePushFile(const PushTargetList& list) {
    const char* lines[kPushTargets];
    for (int i = 0; i < list.count; ++i) lines[i] = list.text[i];
    return writeSettingsLines(kPushFileName, lines, list.count);
}

void readPushForDialog(char* text, int capacity) {
    PushTargetList list;
    list.count = pushTargetsInUse(list.text, kPushTargets);
    char path[kPathSize + 64];
    settingsPath(kPushFileName, path, sizeof path);
    if (std::FILE* f = std::fopen(path, "rb")) {
        // As the file has it, refused lines too: the user mends them here.
        list.count = 0;
        char line[kLineLimit + 1];
        while (list.count < kPushTargets && readLine(f, line, kLineLimit)) {
            trim(line);
            if (line[0]) copyText(list.text[list.count++], kPushTargetTextSize, line);
        }
        std::fclose(f);
    }
    int used = 0;
    if (capacity > 0) text[0] = '\0';
    for (int i = 0; i < list.count && used < capacity - 1; ++i) {
        int n = std::snprintf(text + used, static_cast<std::size_t>(capacity - used), "%s%s", i ? "\r\n" : "",
                              list.text[i]);
        used += n > 0 ? n : 0;
    }
}

int pushApplyList(const PushTargetList& list) {
    const char* texts[kPushTargets];
    for (int i = 0; i < list.count; ++i) texts[i] = list.text[i];
    return pushApply(texts, list.count);
}
