// Shared pieces of the benchmarks: a realistic camera stream built with the simulator's own encoder
// and packetizer, the camera's part framing (optionally with the simulator's stream garbage), an
// endless in-memory byte source, and a frame allocator that reuses its frames the way a recording
// server's frame pool does.
//
// Threads: everything here is used by one thread at a time (the benchmark thread, or the channel's
// worker thread for the allocator).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "camsim.h"
#include "channel/part_reader.h"
#include "support/fake_host.h"

namespace zarnbench {

// Part payloads of an encoded test-pattern sequence, in stream order.
struct EncodedStream {
    std::vector<std::vector<uint8_t>> payloads;
    size_t payloadBytes = 0;
    size_t pictures = 0;
    size_t keyPictures = 0;
};

// Encodes `pictures` pictures of the simulator's moving test pattern with the simulator's encoder
// settings for `config` and cuts every NAL unit into payloads of at most `maxPayload` bytes exactly
// as the simulated camera does. Aborts the program when the encoder cannot be opened.
EncodedStream EncodePattern(const zarncam::StreamConfig& config, size_t pictures,
                            size_t maxPayload);

// The junk the simulator sends between parts when its garbage fault is on: blank lines, header
// lines, binary noise and near misses of the "Length: " tag.
std::string StreamGarbage();

// The stream as the camera sends it: every payload framed as a part; with `garbage`, the junk above
// in front of every part.
std::vector<uint8_t> FrameParts(const EncodedStream& stream, bool garbage);

// An endless byte source over `bytes` (which must be whole parts): reads wrap around to the start,
// and every read returns all `max` bytes asked for, like the HTTP client once enough has arrived.
class LoopingByteSource final : public talvane::IByteSource {
public:
    explicit LoopingByteSource(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    size_t Read(uint8_t* into, size_t max) override;
    uint64_t Delivered() const { return delivered_; }

private:
    const std::vector<uint8_t>& bytes_;
    size_t offset_ = 0;
    uint64_t delivered_ = 0;
};

// Hands out frames from a pool kept per capacity; released frames go back to the pool. Counts
// allocations. For one thread at a time.
class PooledFrameAllocator final : public talvane::IFrameAllocator {
public:
    ZARN_IMPLEMENT_SLOT0(PooledFrameAllocator)
    void Reserved1() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 1"); }
    talvane::IHostFrame* AllocateFrame(uint32_t fourcc, uint32_t capacity,
                                       const char* name) override;
    void Reserved3() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 3"); }
    void Reserved4() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 4"); }
    void Reserved5() override { zarntest::ReportUnexpectedSlot("IFrameAllocator slot 5"); }
    void ReleaseFrame(talvane::IHostFrame* frame) override;

    uint64_t Allocated() const { return allocated_; }

private:
    std::map<uint32_t, std::vector<std::unique_ptr<zarntest::FakeFrame>>> free_;
    std::map<talvane::IHostFrame*, std::unique_ptr<zarntest::FakeFrame>> live_;
    uint64_t allocated_ = 0;
};

}  // namespace zarnbench
