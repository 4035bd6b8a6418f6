// Frames of the simulated receiver: the Mode S parity, the built-in table of real
// frames, capture files in either receiver form, and the two output forms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SimFrame {
    char type = '3';              // '1' Mode A/C, '2' Mode S short, '3' Mode S long
    std::uint64_t timestamp = 0;  // 48-bit 12 MHz count (0 when the source had none)
    bool hasTimestamp = false;
    std::uint8_t signal = 0x80;
    std::uint8_t payload[14] = {};
    int length = 0;  // 2, 7 or 14
};

// Mode S parity remainder of the first `bits` bits of data (generator 0x1FFF409).
std::uint32_t modesCrc(const std::uint8_t* data, int bits);
// 1 when the frame's last 24 bits equal the parity of the rest (DF11/17/18 with
// interrogator 0). Mode A/C replies carry no parity and are always valid.
bool parityValid(const SimFrame& f);

// The built-in frames: real extended squitters with parity 0, and all-call replies
// of the same aircraft made with their correct parity.
std::vector<SimFrame> builtinFrames();

// Parses a capture: binary escape frames (0x1A type timestamp signal payload, 0x1A
// doubled), or text lines "*HEX;" / "@TTTTTTTTTTTTHEX;". Unusable pieces are
// skipped. Returns the frames in file order.
std::vector<SimFrame> parseCapture(const std::string& bytes);

// Appends the frame in the binary escape form (every 0x1A after the type doubled).
void appendBinary(const SimFrame& f, std::uint64_t timestamp, std::string& out);
// Appends "@" + 12 hex digits of the timestamp + payload + ";\r\n".
void appendAtLine(const SimFrame& f, std::uint64_t timestamp, std::string& out);
// Appends "*" + payload + ";\r\n".
void appendStarLine(const SimFrame& f, std::string& out);

// Checks the table and the encoders against the capture parser; prints what fails.
// 1 when everything holds.
int simSelfTest();
