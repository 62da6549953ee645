#include "fuzz_support.h"

namespace zarnfuzz {

talvane::IHostFrame* PooledFrameAllocator::AllocateFrame(uint32_t fourcc, uint32_t capacity,
                                                         const char* name) {
    ZARN_FUZZ_CHECK(name != nullptr);
    lastCapacity_ = capacity;
    ++allocations_;
    lastFailed_ = failEvery_ != 0 && allocations_ % failEvery_ == 0;
    if (lastFailed_) {
        if (!nullBuffer_) return nullptr;
        empty_ = PooledFrame{};
        ++outstanding_;
        return &empty_;
    }
    std::unique_ptr<Slot> slot;
    auto& pool = free_[capacity];
    if (pool.empty()) {
        slot = std::make_unique<Slot>();
        slot->buffer.reset(new uint8_t[capacity == 0 ? 1 : capacity]);
    } else {
        slot = std::move(pool.back());
        pool.pop_back();
    }
    slot->frame = PooledFrame{};
    slot->frame.buffer = slot->buffer.get();
    slot->frame.capacity = capacity;
    slot->frame.fourcc = fourcc;
    talvane::IHostFrame* frame = &slot->frame;
    used_[frame] = std::move(slot);
    ++outstanding_;
    return frame;
}

void PooledFrameAllocator::ReleaseFrame(talvane::IHostFrame* frame) {
    ZARN_FUZZ_CHECK(outstanding_ > 0);
    --outstanding_;
    if (frame == &empty_) return;
    auto it = used_.find(frame);
    ZARN_FUZZ_CHECK(it != used_.end());  // released twice, or never handed out
    // The parser's size classes are pooled; an odd large size is freed, so the pool stays small.
    const uint32_t capacity = it->second->frame.capacity;
    if (capacity <= kLargestPooled) free_[capacity].push_back(std::move(it->second));
    used_.erase(it);
}

void FuzzDriver::Log(int32_t level, const char* format, ...) {
    ZARN_FUZZ_CHECK(format != nullptr);
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    (void)level;
    ++lines_;
}

}  // namespace zarnfuzz
