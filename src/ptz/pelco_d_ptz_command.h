// CPelcoDPtzCommand: one Pelco-D frame (sync, address, command 1, command 2, pan speed, tilt speed,
// checksum) and its text form "255,1,0,12,63,63,139", which the camera passes on to its PTZ head.
// Used for diagonal moves, which the camera's own CGI parameters cannot express. A value built on
// the stack by the PTZ thread for each request; not shared.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace talvane {

class CPelcoDPtzCommand {
public:
    // Command 2 bits.
    static constexpr uint8_t kPanRight = 0x02;
    static constexpr uint8_t kPanLeft = 0x04;
    static constexpr uint8_t kTiltUp = 0x08;
    static constexpr uint8_t kTiltDown = 0x10;

    static constexpr uint8_t kSync = 0xFF;
    static constexpr uint8_t kAddress = 1;

    // All seven bytes zero.
    CPelcoDPtzCommand() = default;
    virtual ~CPelcoDPtzCommand() = default;

    // A frame for a diagonal move (4 up-left, 5 up-right, 6 down-left, 7 down-right) with both
    // speed bytes set to `cameraSpeed`, stored as a byte without clamping (so -1 becomes 255).
    // Any other direction gives a frame with no direction bit set.
    static CPelcoDPtzCommand Diagonal(int32_t direction, int32_t cameraSpeed);

    // Sets or clears one command 2 bit.
    void SetCommand2Bit(uint8_t bit, bool on);
    void SetPanSpeed(uint8_t speed) { bytes_[4] = speed; }
    void SetTiltSpeed(uint8_t speed) { bytes_[5] = speed; }

    // Sum of bytes 1 to 5, modulo 256.
    uint8_t Checksum() const;
    // Stores the checksum in byte 6 and returns the seven byte values as unsigned decimal numbers
    // joined by commas.
    std::string ToString();

    const std::array<uint8_t, 7>& Bytes() const { return bytes_; }

private:
    std::array<uint8_t, 7> bytes_{};
};

}  // namespace talvane
