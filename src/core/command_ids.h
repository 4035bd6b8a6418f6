// The command ids of the main menu and the tray menu (WM_COMMAND), defined once:
// the dispatcher, the dialogs, recording and playback, and every front end's marks
// use these names. The menu resources (src/resources/brevalink.rc) carry the same
// numbers in the resource compiler's own language.
#pragma once

inline constexpr int kCmdExit = 101;
inline constexpr int kCmdServerDialog = 102;
inline constexpr int kCmdComDialog = 105;
inline constexpr int kCmdFeedLinkDialog = 109;
inline constexpr int kCmdPointDialog = 110;
inline constexpr int kCmdNameDialog = 111;
inline constexpr int kCmdBinaryMode = 113;
inline constexpr int kCmdCompressFeed = 114;
inline constexpr int kCmdIntervalDialog = 115;
inline constexpr int kCmdThresholdDialog = 116;
inline constexpr int kCmdFrequencyDialog = 117;
inline constexpr int kCmdRelativeTime = 118;
inline constexpr int kCmdTcpSourceDialog = 119;
// The receiver search's window (Win32 only).
inline constexpr int kCmdFindReceiver = 120;
inline constexpr int kCmdPushDialog = 121;
inline constexpr int kCmdRecord = 201;
inline constexpr int kCmdPlayback = 202;
// The window of what the station hears (Win32 only).
inline constexpr int kCmdStationHears = 203;
inline constexpr int kCmdHelp = 301;
inline constexpr int kCmdAuthor = 302;
