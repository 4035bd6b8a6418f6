// The steps of start-up that decide whether the program may start at all.
// Portable, so the refusals can be tried natively with any library name.
// Main thread, before any window exists.
#pragma once

// Returned by loadCompressionLibrary when start-up may go on.
inline constexpr int kStartGoOn = -1;
inline constexpr int kExitNoCompress = 417;
inline constexpr int kExitNoUncompress = 418;

// Loads the compression library and looks up its two entry points into
// zlibModule, zlibCompress and zlibUncompress. Returns kStartGoOn, or the exit
// code the process must end with: 0 after the "cannot load" box when the library
// is missing, 417 without compress, 418 without uncompress (the library then
// stays loaded, as on the normal path it does until shutdown). The symbol names
// can be swapped so a test can take either entry point away.
int loadCompressionLibrary(const char* libraryName, const char* compressName = "compress",
                           const char* uncompressName = "uncompress");

// Starts the network stack (Windows Sockets 1.1). On failure the user gets the
// "Ошибка WSAStartup" box; start-up goes on either way. 1 on success.
int startNetwork();
