// CDebugInfo: the log record handed to the host's debug sink. Lives only during the sink call.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "zarn/host.h"

namespace talvane {

class CDebugInfo final : public CDebugInfoIf {
public:
    // Copies the text; an empty text is kept as null.
    CDebugInfo(uint8_t level, const char* text) : level_(level) {
        if (text != nullptr && *text != '\0') {
            const size_t n = std::strlen(text) + 1;
            text_ = std::make_unique<char[]>(n);
            std::memcpy(text_.get(), text, n);
        }
    }
    ZARN_IMPLEMENT_SLOT0(CDebugInfo)
    uint8_t GetLevel() const override { return level_; }
    const char* GetText() const override { return text_.get(); }

private:
    uint8_t level_;
    std::unique_ptr<char[]> text_;
};

}  // namespace talvane
