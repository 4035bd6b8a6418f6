// Shared helpers for the native tests: a fresh AppState, a scratch working
// directory, file helpers and deadline waits (never fixed sleeps).
#pragma once

#include <functional>
#include <string>

// Puts AppState and the in-memory front end back to their start values (the relay's
// fan-out thread ended first).
void resetApp();

// Makes socket the relay client of entry 0, as an accept would, with the fan-out
// thread running; 0 ends it again (resetApp does too).
void watchRelayClient(int socket);

// Makes a new empty directory and changes into it for the life of the object;
// the previous working directory is restored and the directory removed after.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::string previous_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Polls condition every few milliseconds until it holds or timeoutMs passes.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000);

// The folder of real receiver captures, or "" when it is not there.
std::string sharedDataDir();

// Test sources are compiled to Windows-1251 like the program, so a Russian literal
// in a test compares byte for byte with the program's texts.
