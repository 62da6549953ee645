#include "channel/resolution_tables.h"

namespace talvane {

const ResolutionTable& StandardResolutionTable() {
    static const ResolutionTable table = {
        {{176, 144}, 8}, {{352, 288}, 4}, {{704, 288}, 64}, {{704, 576}, 128}};
    return table;
}

const ResolutionTable& HighResolutionTable() {
    static const ResolutionTable table = {{{160, 112}, 8},
                                          {{320, 240}, 4},
                                          {{640, 480}, 128},
                                          {{1280, 720}, 100},
                                          {{1600, 1200}, 200}};
    return table;
}

uint32_t ResolutionCode(bool highDefinition, uint32_t width, uint32_t height) {
    if (width > 0xFFFF || height > 0xFFFF) return kDefaultResolutionCode;
    const ResolutionTable& table = highDefinition ? HighResolutionTable() : StandardResolutionTable();
    auto it = table.find({static_cast<uint16_t>(width), static_cast<uint16_t>(height)});
    return it == table.end() ? kDefaultResolutionCode : it->second;
}

}  // namespace talvane
