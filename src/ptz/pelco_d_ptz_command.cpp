#include "ptz/pelco_d_ptz_command.h"

#include "http/text_utils.h"

namespace talvane {

CPelcoDPtzCommand CPelcoDPtzCommand::Diagonal(int32_t direction, int32_t cameraSpeed) {
    CPelcoDPtzCommand frame;
    frame.bytes_[0] = kSync;
    frame.bytes_[1] = kAddress;
    frame.bytes_[2] = 0;
    const bool up = direction == 4 || direction == 5;
    const bool down = direction == 6 || direction == 7;
    const bool left = direction == 4 || direction == 6;
    const bool right = direction == 5 || direction == 7;
    frame.SetCommand2Bit(kPanRight, right);
    frame.SetCommand2Bit(kPanLeft, left);
    frame.SetCommand2Bit(kTiltUp, up);
    frame.SetCommand2Bit(kTiltDown, down);
    // Pelco-D speeds are one byte; the value is taken modulo 256 as the frame stores it.
    const auto speed = static_cast<uint8_t>(static_cast<uint32_t>(cameraSpeed) & 0xFFu);
    frame.SetPanSpeed(speed);
    frame.SetTiltSpeed(speed);
    return frame;
}

void CPelcoDPtzCommand::SetCommand2Bit(uint8_t bit, bool on) {
    if (on) {
        bytes_[3] = static_cast<uint8_t>(bytes_[3] | bit);
    } else {
        bytes_[3] = static_cast<uint8_t>(bytes_[3] & ~bit);
    }
}

uint8_t CPelcoDPtzCommand::Checksum() const {
    uint32_t sum = 0;
    for (size_t i = 1; i <= 5; ++i) sum += bytes_[i];
    return static_cast<uint8_t>(sum & 0xFFu);
}

std::string CPelcoDPtzCommand::ToString() {
    bytes_[6] = Checksum();
    std::string text = HUtils::FormatString("%u", static_cast<unsigned>(bytes_[0]));
    for (size_t i = 1; i < bytes_.size(); ++i) {
        text += HUtils::FormatString(",%u", static_cast<unsigned>(bytes_[i]));
    }
    return text;
}

}  // namespace talvane
