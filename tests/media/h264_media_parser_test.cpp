#include "media/h264_media_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "support/fake_driver.h"
#include "support/fake_host.h"

namespace {

using talvane::CH264MediaParser;
using talvane::H264PictureSize;
using Bytes = std::vector<uint8_t>;

// Writes H.264 bit fields, most significant bit first.
class BitWriter {
public:
    void U(unsigned count, uint32_t value) {
        for (unsigned i = count; i-- > 0;) PutBit((value >> i) & 1u);
    }
    void Ue(uint32_t value) {
        const uint64_t coded = uint64_t{value} + 1;
        unsigned bits = 0;
        while ((coded >> bits) > 1) ++bits;
        U(bits, 0);
        for (unsigned i = bits + 1; i-- > 0;) PutBit(static_cast<uint32_t>((coded >> i) & 1u));
    }
    // rbsp_stop_one_bit and zero padding to the byte boundary.
    Bytes Finish() {
        PutBit(1);
        while (bit_ != 0) PutBit(0);
        return bytes_;
    }

private:
    void PutBit(uint32_t b) {
        if (bit_ == 0) bytes_.push_back(0);
        if (b) bytes_.back() |= static_cast<uint8_t>(0x80 >> bit_);
        bit_ = (bit_ + 1) % 8;
    }
    Bytes bytes_;
    unsigned bit_ = 0;
};

struct SpsOptions {
    uint32_t widthMbs = 44;   // 704
    uint32_t heightMbs = 36;  // 576
    bool frameMbsOnly = true;
    uint32_t profile = 66;
    bool scalingMatrix = false;
    uint32_t pocType = 0;
    uint32_t cropBottom = 0;
};

// SPS body (the bytes after the NAL header 0x67).
Bytes SpsBody(const SpsOptions& o) {
    BitWriter w;
    w.U(8, o.profile);
    w.U(8, 0);   // constraint flags + reserved
    w.U(8, 30);  // level
    w.Ue(0);     // sps id
    if (o.profile >= 100) {
        w.Ue(1);  // 4:2:0
        w.Ue(0);
        w.Ue(0);
        w.U(1, 0);
        w.U(1, o.scalingMatrix ? 1 : 0);
        if (o.scalingMatrix) {
            for (int list = 0; list < 8; ++list) {
                const bool present = list == 0 || list == 6;
                w.U(1, present ? 1 : 0);
                if (list == 0) {
                    for (int i = 0; i < 16; ++i) w.Ue(i % 2 == 0 ? 1 : 2);  // deltas +1, -1
                } else if (list == 6) {
                    w.Ue(16);  // delta -8: the list ends at once (the default matrix)
                }
            }
        }
    }
    w.Ue(0);  // log2_max_frame_num_minus4
    w.Ue(o.pocType);
    if (o.pocType == 0) {
        w.Ue(0);
    } else if (o.pocType == 1) {
        w.U(1, 0);
        w.Ue(1);
        w.Ue(2);
        w.Ue(3);  // cycle
        w.Ue(1);
        w.Ue(2);
        w.Ue(3);
    }
    w.Ue(1);  // refs
    w.U(1, 0);
    w.Ue(o.widthMbs - 1);
    w.Ue((o.frameMbsOnly ? o.heightMbs : o.heightMbs / 2) - 1);
    w.U(1, o.frameMbsOnly ? 1 : 0);
    if (!o.frameMbsOnly) w.U(1, 0);
    w.U(1, 1);  // direct_8x8
    w.U(1, o.cropBottom != 0 ? 1 : 0);
    if (o.cropBottom != 0) {
        w.Ue(0);
        w.Ue(0);
        w.Ue(0);
        w.Ue(o.cropBottom);
    }
    w.U(1, 0);  // vui
    return w.Finish();
}

// A payload that starts a NAL unit: 00 00 00 00 01, header, body.
Bytes Start(uint8_t header, const Bytes& body) {
    Bytes p = {0, 0, 0, 0, 1, header};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}
// A continuation payload: a filler byte, then more of the NAL unit.
Bytes More(const Bytes& body) {
    Bytes p = {0x80};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}
// The NAL unit as the host receives it: three-byte start code, header, body.
Bytes Kept(uint8_t header, const Bytes& body) {
    Bytes p = {0, 0, 1, header};
    p.insert(p.end(), body.begin(), body.end());
    return p;
}
// Slice data beginning with first_mb_in_slice 0 (0x88) or 1 (0x40), padded to `size` bytes.
Bytes SliceBody(bool firstSlice, size_t size = 12, uint8_t fill = 0xAB) {
    Bytes b(size, fill);
    b[0] = firstSlice ? 0x88 : 0x40;
    return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
const Bytes kAud = {0, 0, 1, 0x09, 0x30};

constexpr uint8_t kSps = 0x67, kPps = 0x68, kSei = 0x06, kIdr = 0x65, kP = 0x41;
const Bytes kPpsBody = {0xEE, 0x3C, 0x80};
const Bytes kSeiBody = {0x05, 0x04, 0x11, 0x22, 0x33, 0x44, 0x80};

// Forwards the parser's frames to a fake channel sink, which records them.
class SinkReceiver final : public talvane::IMediaReceiver {
public:
    explicit SinkReceiver(zarntest::FakeChannelSink& sink) : sink_(sink) {}
    bool OnFrame(talvane::IHostFrame* frame) override { return sink_.OnFrame(frame); }

private:
    zarntest::FakeChannelSink& sink_;
};

// A manual clock: time moves only when the test (or a wait) moves it.
class FakeClock final : public talvane::IPacingClock {
public:
    uint64_t NowMs() override { return now; }
    void Wait(uint32_t ms) override {
        waits.push_back(ms);
        now += ms;
    }
    uint64_t now = 100000;
    std::vector<uint32_t> waits;
};

class H264ParserTest : public ::testing::Test {
protected:
    H264ParserTest() : receiver_(sink_), parser_(&driver_, "ZarnHDIPCapture") {
        driver_.SetAllocator(&allocator_);
        parser_.SetReceiver(&receiver_);
        parser_.SetClock(&clock_);
        parser_.SetStreamParams(0, 50, 320, 240);
    }

    void Feed(const Bytes& payload) {
        Bytes copy = payload;
        parser_.Parse(copy);
    }
    // SPS, PPS and the first slice of a key picture, in separate parts.
    void FeedKeyFrame(const SpsOptions& sps = {}) {
        Feed(Start(kSps, SpsBody(sps)));
        Feed(Start(kPps, kPpsBody));
        Feed(Start(kIdr, SliceBody(true)));
    }
    Bytes KeyFrameData(const SpsOptions& sps = {}) {
        return Cat(
            {Kept(kSps, SpsBody(sps)), Kept(kPps, kPpsBody), Kept(kIdr, SliceBody(true)), kAud});
    }

    zarntest::FakeDriver driver_;
    zarntest::FakeFrameAllocator allocator_;
    zarntest::FakeChannelSink sink_;
    SinkReceiver receiver_;
    FakeClock clock_;
    CH264MediaParser parser_;
};

TEST_F(H264ParserTest, DropsPicturesUntilTheFirstKeyFrameThenDeliversEveryPicture) {
    Feed(Start(kP, SliceBody(true)));
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 0u);
    EXPECT_EQ(allocator_.Allocated(), 0u);

    FeedKeyFrame();
    EXPECT_EQ(sink_.FrameCount(), 0u);  // the non-key pictures before it were dropped
    Feed(Start(kP, SliceBody(true, 20)));
    Feed(Start(kP, SliceBody(true, 30)));  // completes the first P picture

    auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].fourcc, talvane::kFourCcH264);
    EXPECT_EQ(frames[0].allocFourcc, talvane::kFourCcH264);
    EXPECT_EQ(frames[0].width, 704u);
    EXPECT_EQ(frames[0].height, 576u);
    EXPECT_EQ(frames[0].sizeClass, 4u);
    EXPECT_EQ(frames[0].name, "ZarnHDIPCapture");
    EXPECT_EQ(frames[0].data, KeyFrameData());

    EXPECT_EQ(frames[1].fourcc, talvane::kFourCcI264);
    EXPECT_EQ(frames[1].width, 704u);  // the last known size
    EXPECT_EQ(frames[1].height, 576u);
    EXPECT_EQ(frames[1].data, Cat({Kept(kP, SliceBody(true, 20)), kAud}));
    EXPECT_EQ(allocator_.Outstanding(), 0u);
}

TEST_F(H264ParserTest, ReassemblesNalUnitsAndSlicesOfOnePicture) {
    const Bytes idrHead = SliceBody(true, 10, 0x11);
    const Bytes idrTail = Bytes(25, 0x22);
    Feed(Start(kSps, SpsBody({})));
    Feed(Start(kPps, kPpsBody));
    Feed(Start(kIdr, idrHead));
    Feed(More(idrTail));
    Feed(Start(kIdr, SliceBody(false, 8, 0x33)));  // second slice of the same picture
    Feed(More(Bytes(3, 0x44)));
    Feed(Start(kP, SliceBody(true)));

    auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(
        frames[0].data,
        Cat({Kept(kSps, SpsBody({})), Kept(kPps, kPpsBody), Kept(kIdr, Cat({idrHead, idrTail})),
             Kept(kIdr, Cat({SliceBody(false, 8, 0x33), Bytes(3, 0x44)})), kAud}));
}

TEST_F(H264ParserTest, SeiIsKeptOnlyInFrontOfAKeyPicture) {
    // SEI between the parameter sets and the key slice travels with the key frame.
    Feed(Start(kSps, SpsBody({})));
    Feed(Start(kPps, kPpsBody));
    Feed(Start(kSei, kSeiBody));
    Feed(Start(kIdr, SliceBody(true)));
    // SEI in front of a non-key slice is replaced by the slice.
    Feed(Start(kSei, kSeiBody));
    Feed(Start(kP, SliceBody(true, 16)));
    Feed(Start(kP, SliceBody(true)));

    auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data, Cat({Kept(kSps, SpsBody({})), Kept(kPps, kPpsBody),
                                   Kept(kSei, kSeiBody), Kept(kIdr, SliceBody(true)), kAud}));
    EXPECT_EQ(frames[1].data, Cat({Kept(kP, SliceBody(true, 16)), kAud}));
}

TEST_F(H264ParserTest, SpsBeyondTheFirst64BytesIsNotFound) {
    // A long SEI pushes the SPS to position 70: the key frame is "I264" and, while waiting for a
    // key frame, dropped.
    const Bytes longSei(66, 0x55);
    auto feedFrame = [&] {
        Feed(Start(kSei, longSei));
        Feed(Start(kSps, SpsBody({})));
        Feed(Start(kPps, kPpsBody));
        Feed(Start(kIdr, SliceBody(true)));
    };
    feedFrame();
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 0u);

    // After a regular key frame the same picture is delivered, as "I264" with the known size.
    FeedKeyFrame({.widthMbs = 20, .heightMbs = 15});  // 320x240
    feedFrame();
    Feed(Start(kP, SliceBody(true)));
    auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].fourcc, talvane::kFourCcH264);
    EXPECT_EQ(frames[1].fourcc, talvane::kFourCcI264);
    EXPECT_EQ(frames[1].width, 320u);
    EXPECT_EQ(frames[1].height, 240u);
    EXPECT_EQ(frames[1].sizeClass, 2u);
}

TEST_F(H264ParserTest, ShortSliceSetsResyncButIsStillCollected) {
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));  // delivers the key frame
    ASSERT_EQ(sink_.FrameCount(), 1u);
    const size_t before = parser_.FrameBytes();

    Feed(Start(kP, {}));  // exactly six bytes: cannot tell where a picture starts
    EXPECT_TRUE(parser_.Resyncing());
    EXPECT_EQ(parser_.FrameBytes(), before + 4);  // 00 00 01 41 joined the picture

    Feed(Start(kP, SliceBody(true)));
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 1u);
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 2u);
}

TEST_F(H264ParserTest, UnknownNalTypesAndHeaderlessStartsAreDamage) {
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    ASSERT_EQ(sink_.FrameCount(), 1u);

    Feed(Start(0x0C, {0xFF, 0xFF, 0x80}));  // filler data: a type the camera never sends
    EXPECT_TRUE(parser_.Resyncing());
    Feed(Start(kP, SliceBody(true)));
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 1u);

    FeedKeyFrame();
    EXPECT_TRUE(parser_.Resyncing());  // cleared only when the key frame goes out
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 2u);
    EXPECT_FALSE(parser_.Resyncing());

    Feed({0, 0, 0, 0, 1});  // no NAL header byte
    EXPECT_TRUE(parser_.Resyncing());
    Feed({0, 0});
    Feed({});
    EXPECT_TRUE(parser_.Resyncing());
}

TEST_F(H264ParserTest, TheCamerasOwnDelimitersAreDroppedWithoutResync) {
    // A delimiter in front of every picture: every picture goes out, with only the driver's
    // delimiter at its end.
    Feed(Start(0x09, {0x10}));
    FeedKeyFrame();
    for (int i = 0; i < 4; ++i) {
        Feed(Start(0x09, {0x30}));
        Feed(Start(kP, SliceBody(true)));
    }
    ASSERT_EQ(sink_.FrameCount(), 4u);
    EXPECT_FALSE(parser_.Resyncing());
    EXPECT_EQ(sink_.Frames()[0].data, KeyFrameData());
    EXPECT_EQ(sink_.Frames()[1].data, Cat({Kept(kP, SliceBody(true)), kAud}));
    // The delimiter has no continuation: one would be damage.
    Feed(Start(0x09, {0x30}));
    Feed(More({0x01, 0x02}));
    EXPECT_TRUE(parser_.Resyncing());
}

TEST_F(H264ParserTest, CapacityIsRoundedToSizeClassesOrExact) {
    // Access units of 4091, 4092 and 200000 bytes: SPS + PPS + one key slice.
    const size_t fixed = Kept(kSps, SpsBody({})).size() + Kept(kPps, kPpsBody).size() + 4;
    for (size_t auSize : {size_t{4091}, size_t{4092}, size_t{200000}}) {
        Feed(Start(kSps, SpsBody({})));  // delivers the previous key frame
        Feed(Start(kPps, kPpsBody));
        Feed(Start(kIdr, SliceBody(true, auSize - fixed)));
    }
    Feed(Start(kP, SliceBody(true)));
    auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].capacity, 4096u);
    EXPECT_EQ(frames[0].data.size(), 4096u);
    EXPECT_EQ(frames[1].capacity, 16384u);
    EXPECT_EQ(frames[1].data.size(), 4097u);
    EXPECT_EQ(frames[2].capacity, 200005u);
    EXPECT_EQ(frames[2].data.size(), 200005u);

    EXPECT_EQ(CH264MediaParser::CapacityFor(1), 4096u);
    EXPECT_EQ(CH264MediaParser::CapacityFor(16385), 32768u);
    EXPECT_EQ(CH264MediaParser::CapacityFor(131072), 131072u);
    EXPECT_EQ(CH264MediaParser::CapacityFor(131073), 131073u);
}

TEST_F(H264ParserTest, RefusedFrameDropsEverythingUntilTheNextKeyFrame) {
    FeedKeyFrame();
    sink_.RefuseNext(1);
    Feed(Start(kP, SliceBody(true)));  // key frame offered and refused
    Feed(Start(kP, SliceBody(true)));
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 0u);
    EXPECT_EQ(allocator_.Allocated(), 1u);

    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    Feed(Start(kP, SliceBody(true)));
    auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].fourcc, talvane::kFourCcH264);
    EXPECT_EQ(allocator_.Outstanding(), 0u);
}

TEST_F(H264ParserTest, UndeliveredFrameWaitsForTheNextKeyFrame) {
    // The host has no frame for the key picture: the pictures that depend on it are dropped too.
    allocator_.SetFailAllocations(true);
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 0u);
    EXPECT_TRUE(parser_.Resyncing());
    EXPECT_EQ(parser_.FrameBytes(), Kept(kP, SliceBody(true)).size());  // the old picture is gone
    allocator_.SetFailAllocations(false);
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 0u);

    // Without an allocator nothing is delivered either.
    driver_.SetAllocator(nullptr);
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 0u);

    driver_.SetAllocator(&allocator_);
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].fourcc, talvane::kFourCcH264);
}

TEST_F(H264ParserTest, OversizePictureIsDroppedAtTenMebibytes) {
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    ASSERT_EQ(sink_.FrameCount(), 1u);
    const Bytes chunk(1 << 20, 0x5A);
    for (int i = 0; i < 10 && !parser_.Resyncing(); ++i) Feed(More(chunk));
    EXPECT_TRUE(parser_.Resyncing());
    EXPECT_EQ(parser_.FrameBytes(), 0u);

    // Parameter sets that never end are bounded the same way.
    for (int i = 0; i < 11; ++i) Feed(i == 0 ? Start(kSei, chunk) : More(chunk));
    EXPECT_LT(parser_.PendingBytes(), CH264MediaParser::kMaxFrameBytes);
}

TEST_F(H264ParserTest, PacingWaitsOutTheFramePeriodOnAMonotonicClock) {
    parser_.SetStreamParams(40, 50, 704, 576);
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));  // first delivery: nothing to wait for
    EXPECT_TRUE(clock_.waits.empty());

    clock_.now += 15;
    Feed(Start(kP, SliceBody(true)));
    ASSERT_EQ(clock_.waits.size(), 1u);
    EXPECT_EQ(clock_.waits[0], 25u);

    clock_.now += 50;
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(clock_.waits.size(), 1u);

    // Whole seconds between frames never cause a wait.
    clock_.now += 1015;
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(clock_.waits.size(), 1u);

    parser_.SetStreamParams(0, 50, 704, 576);
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(clock_.waits.size(), 1u);
    EXPECT_EQ(sink_.FrameCount(), 5u);
}

TEST_F(H264ParserTest, NextDueIsOnePeriodOnOrAQuarterLessWhileCatchingUp) {
    // Nothing is due before the first delivery, and nothing ever without pacing.
    EXPECT_EQ(parser_.NextDueMs(), 0u);
    FeedKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 1u);
    EXPECT_EQ(parser_.NextDueMs(), 0u);

    parser_.SetStreamParams(40, 50, 704, 576);
    EXPECT_EQ(parser_.NextDueMs(), 0u);
    const uint64_t first = clock_.now;
    Feed(Start(kP, SliceBody(true)));  // starts the schedule
    EXPECT_EQ(parser_.NextDueMs(), first + 40);
    clock_.now += 10;
    Feed(Start(kP, SliceBody(true)));  // waits 30 ms: due at first + 40
    EXPECT_EQ(clock_.now, first + 40);
    EXPECT_EQ(parser_.NextDueMs(), first + 80);
    // A late frame leaves a lag, which the next frames make up a quarter period at a time, also
    // after a stall.
    clock_.now = first + 95;
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(parser_.NextDueMs(), first + 95 + 30);
    clock_.now = first + 300;
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(parser_.NextDueMs(), first + 300 + 30);
    // The next frame is never delivered before that time.
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(clock_.now, first + 330);
    EXPECT_EQ(sink_.FrameCount(), 6u);

    parser_.SetStreamParams(0, 50, 704, 576);
    EXPECT_EQ(parser_.NextDueMs(), 0u);
}

// A clock whose waits end late, as real sleeps do.
class LateWakingClock final : public talvane::IPacingClock {
public:
    uint64_t NowMs() override { return now; }
    void Wait(uint32_t ms) override { now += ms + 2; }
    uint64_t now = 100000;
};

TEST_F(H264ParserTest, PacingKeepsTheCameraRateWhenWaitsEndLate) {
    LateWakingClock clock;
    parser_.SetClock(&clock);
    parser_.SetStreamParams(40, 50, 704, 576);
    FeedKeyFrame();
    const uint64_t start = clock.now;
    // The camera delivers a picture every 40 ms with some jitter: every other one comes 5 ms early.
    constexpr int kFrames = 200;
    for (int i = 1; i <= kFrames; ++i) {
        const uint64_t ready = start + 40u * i - (i % 2 == 1 ? 5u : 0u);
        if (clock.now < ready) clock.now = ready;
        Feed(Start(kP, SliceBody(true)));
    }
    EXPECT_EQ(sink_.FrameCount(), static_cast<size_t>(kFrames));
    // Late wake-ups must not add up: the host keeps pace with the camera instead of falling
    // further behind with every waited frame.
    EXPECT_LE(clock.now, start + 40u * kFrames + 10u);
}

// A frame that records the order of the host calls made on it.
class RecordingFrame final : public talvane::IHostFrame {
public:
    explicit RecordingFrame(std::vector<std::string>& calls) : calls_(calls) {}
    ZARN_IMPLEMENT_SLOT0(RecordingFrame)
    uint32_t GetCapacity() override { return Note("GetCapacity", 0); }
    uint8_t* GetBuffer() override {
        calls_.push_back("GetBuffer");
        return buffer_.data();
    }
    uint32_t GetDataSize() override { return Note("GetDataSize", 0); }
    void SetDataSize(uint32_t) override { Note("SetDataSize"); }
    void StampTime() override { Note("StampTime"); }
    void SetTime(const SYSTEMTIME*) override { Note("SetTime"); }
    void GetTime(SYSTEMTIME* t) override {
        Note("GetTime");
        *t = SYSTEMTIME{};
    }
    void Reserved8() override { Note("Reserved8"); }
    uint32_t GetFourCC() override { return Note("GetFourCC", 0); }
    void SetFourCC(uint32_t) override { Note("SetFourCC"); }
    uint32_t GetHeight() override { return Note("GetHeight", 0); }
    void SetHeight(uint32_t) override { Note("SetHeight"); }
    uint32_t GetWidth() override { return Note("GetWidth", 0); }
    void SetWidth(uint32_t) override { Note("SetWidth"); }
    uint32_t GetSizeClass() override { return Note("GetSizeClass", 0); }
    void SetSizeClass(uint32_t) override { Note("SetSizeClass"); }

private:
    uint32_t Note(const char* what, uint32_t result = 0) {
        calls_.push_back(what);
        return result;
    }
    std::vector<std::string>& calls_;
    std::vector<uint8_t> buffer_ = std::vector<uint8_t>(1 << 17);
};

class RecordingAllocator final : public talvane::IFrameAllocator {
public:
    ZARN_IMPLEMENT_SLOT0(RecordingAllocator)
    void Reserved1() override { calls.push_back("Reserved1"); }
    talvane::IHostFrame* AllocateFrame(uint32_t, uint32_t, const char*) override {
        calls.push_back("AllocateFrame");
        frame = std::make_unique<RecordingFrame>(calls);
        return frame.get();
    }
    void Reserved3() override { calls.push_back("Reserved3"); }
    void Reserved4() override { calls.push_back("Reserved4"); }
    void Reserved5() override { calls.push_back("Reserved5"); }
    void ReleaseFrame(talvane::IHostFrame*) override { calls.push_back("ReleaseFrame"); }

    std::vector<std::string> calls;
    std::unique_ptr<RecordingFrame> frame;
};

class RecordingReceiver final : public talvane::IMediaReceiver {
public:
    explicit RecordingReceiver(std::vector<std::string>& calls) : calls_(calls) {}
    bool OnFrame(talvane::IHostFrame*) override {
        calls_.push_back("OnFrame");
        return true;
    }

private:
    std::vector<std::string>& calls_;
};

TEST(H264ParserHostCalls, FrameIsFilledStampedHandedOverAndReleasedInOrder) {
    zarntest::FakeDriver driver;
    RecordingAllocator allocator;
    RecordingReceiver receiver(allocator.calls);
    driver.SetAllocator(&allocator);
    CH264MediaParser parser(&driver, "ZarnHDIPCapture");
    parser.SetReceiver(&receiver);
    for (const Bytes& p : {Start(kSps, SpsBody({})), Start(kPps, kPpsBody),
                           Start(kIdr, SliceBody(true)), Start(kP, SliceBody(true))}) {
        Bytes copy = p;
        parser.Parse(copy);
    }
    EXPECT_EQ(allocator.calls,
              (std::vector<std::string>{"AllocateFrame", "GetBuffer", "SetWidth", "SetHeight",
                                        "SetSizeClass", "SetDataSize", "SetFourCC", "StampTime",
                                        "GetTime", "OnFrame", "ReleaseFrame"}));
}

TEST(H264SpsTest, ReadsSizeFromVariousParameterSets) {
    struct Case {
        SpsOptions options;
        uint32_t width, height;
    } cases[] = {
        {{}, 704, 576},
        {{.widthMbs = 120, .heightMbs = 68, .profile = 100, .cropBottom = 4}, 1920, 1080},
        {{.widthMbs = 80, .heightMbs = 45, .profile = 100, .scalingMatrix = true}, 1280, 720},
        {{.widthMbs = 44, .heightMbs = 36, .frameMbsOnly = false}, 704, 576},
        // Interlaced: the crop unit in the height is four lines (1088 - 8).
        {{.widthMbs = 120, .heightMbs = 68, .frameMbsOnly = false, .profile = 77, .cropBottom = 2},
         1920,
         1080},
        {{.widthMbs = 120, .heightMbs = 68, .frameMbsOnly = false, .profile = 100, .cropBottom = 2},
         1920,
         1080},
        {{.widthMbs = 11, .heightMbs = 9, .pocType = 1}, 176, 144},
        {{.widthMbs = 22, .heightMbs = 18, .pocType = 2}, 352, 288},
    };
    for (const Case& c : cases) {
        const Bytes frame = Cat({Kept(kSps, SpsBody(c.options)), Kept(kPps, kPpsBody)});
        H264PictureSize size;
        ASSERT_TRUE(CH264MediaParser::FindPictureSize(frame.data(), frame.size(), &size))
            << c.width << "x" << c.height;
        EXPECT_EQ(size.width, c.width);
        EXPECT_EQ(size.height, c.height);
    }
}

TEST(H264SpsTest, ParameterSetRunningOffItsEndIsInvalid) {
    const Bytes whole = Kept(kSps, SpsBody({.widthMbs = 80,
                                            .heightMbs = 45,
                                            .profile = 100,
                                            .scalingMatrix = true,
                                            .cropBottom = 4}));
    H264PictureSize size;
    ASSERT_TRUE(CH264MediaParser::FindPictureSize(whole.data(), whole.size(), &size));
    // Every cut that removes a byte the size depends on fails; the last byte holds only the
    // VUI flag and the stop bit.
    for (size_t cut = 0; cut + 1 < whole.size(); ++cut) {
        EXPECT_FALSE(CH264MediaParser::FindPictureSize(whole.data(), cut, &size)) << cut;
    }
    // A run of zero bits that no 32-bit Exp-Golomb value has.
    Bytes zeros = {0, 0, 1, kSps, 66, 0, 30};
    zeros.resize(zeros.size() + 40, 0);
    EXPECT_FALSE(CH264MediaParser::FindPictureSize(zeros.data(), zeros.size(), &size));
    // Cropping larger than the picture.
    const Bytes overCropped =
        Kept(kSps, SpsBody({.widthMbs = 2, .heightMbs = 2, .cropBottom = 40}));
    EXPECT_FALSE(CH264MediaParser::FindPictureSize(overCropped.data(), overCropped.size(), &size));
}

// The SPS search against a byte-by-byte reading of its rule: the first 00 00 01 whose next byte
// is an SPS header, starting at one of the first 64 bytes, with that header byte inside the data.
TEST(H264SpsTest, SearchFindsTheFirstSpsStartingInTheFirst64Bytes) {
    const Bytes sps = Kept(kSps, SpsBody({.widthMbs = 20, .heightMbs = 15}));
    auto reference = [](const Bytes& data, H264PictureSize* size) {
        for (size_t i = 0; i < std::min<size_t>(data.size(), 64); ++i) {
            if (i + 3 < data.size() && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 &&
                (data[i + 3] & 0x1F) == (kSps & 0x1F)) {
                // The same SPS read from a copy that begins with it.
                const Bytes from(data.begin() + static_cast<std::ptrdiff_t>(i), data.end());
                return CH264MediaParser::FindPictureSize(from.data(), from.size(), size);
            }
        }
        return false;
    };
    // Every start position around the limit, behind bytes full of near misses: 01 bytes, 00 01,
    // 00 00 01 before other unit types.
    const Bytes decoys = {1, 0, 1, 0, 0, 1, 0x41, 1, 1, 0, 0, 1, 0x65, 0, 0, 0, 1, 0x06};
    for (size_t offset = 0; offset <= 70; ++offset) {
        Bytes data;
        while (data.size() < offset) data.push_back(decoys[data.size() % decoys.size()]);
        data.resize(offset);
        data.insert(data.end(), sps.begin(), sps.end());
        H264PictureSize size;
        H264PictureSize expected;
        const bool found = CH264MediaParser::FindPictureSize(data.data(), data.size(), &size);
        ASSERT_EQ(found, reference(data, &expected)) << offset;
        EXPECT_EQ(found, offset < 64) << offset;
        if (found) {
            EXPECT_EQ(size.width, 320u) << offset;
        }
        // Cut right after the header byte, or one byte before it: never read past the end.
        for (size_t cut = offset + 2; cut <= offset + 4 && cut <= data.size(); ++cut) {
            const Bytes shortData(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut));
            EXPECT_EQ(CH264MediaParser::FindPictureSize(shortData.data(), cut, &size),
                      reference(shortData, &expected))
                << offset << " cut " << cut;
        }
    }
    // Random bytes rich in 00 and 01 with SPS headers sprinkled in: same answer as the rule.
    uint32_t random = 12345;
    for (int round = 0; round < 2000; ++round) {
        Bytes data(4 + round % 90);
        for (uint8_t& b : data) {
            random = random * 1103515245u + 12345u;
            const uint32_t r = (random >> 16) % 8;
            b = r < 3 ? 0 : r < 5 ? 1 : r < 6 ? kSps : static_cast<uint8_t>(random >> 8);
        }
        if (round % 3 == 0) {
            const size_t at = (random >> 4) % data.size();
            data.insert(data.begin() + static_cast<std::ptrdiff_t>(at), sps.begin(), sps.end());
        }
        H264PictureSize size;
        H264PictureSize expected;
        const bool found = CH264MediaParser::FindPictureSize(data.data(), data.size(), &size);
        ASSERT_EQ(found, reference(data, &expected)) << round;
        if (found) {
            EXPECT_EQ(size.width, expected.width) << round;
            EXPECT_EQ(size.height, expected.height) << round;
        }
    }
}

TEST_F(H264ParserTest, UnreadableParameterSetMakesTheKeyFrameI264) {
    // seq_parameter_set_id coded with 40 leading zero bits: no 32-bit value.
    const Bytes broken = {66, 0, 30, 0, 0, 0, 0, 0, 0x80};
    auto feedBrokenKeyFrame = [&] {
        Feed(Start(kSps, broken));
        Feed(Start(kPps, kPpsBody));
        Feed(Start(kIdr, SliceBody(true)));
    };
    feedBrokenKeyFrame();
    Feed(Start(kP, SliceBody(true)));
    EXPECT_EQ(sink_.FrameCount(), 0u);
    EXPECT_EQ(allocator_.Allocated(), 0u);

    FeedKeyFrame();
    feedBrokenKeyFrame();  // delivers the good key frame
    Feed(Start(kP, SliceBody(true)));
    auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].fourcc, talvane::kFourCcI264);
    EXPECT_EQ(frames[1].width, 704u);
}

TEST(H264SizeClassTest, FollowsWidthAndAspect) {
    EXPECT_EQ(CH264MediaParser::SizeClassFor(352, 288), 2u);
    EXPECT_EQ(CH264MediaParser::SizeClassFor(400, 300), 2u);
    EXPECT_EQ(CH264MediaParser::SizeClassFor(401, 300), 4u);
    EXPECT_EQ(CH264MediaParser::SizeClassFor(704, 288), 3u);
    EXPECT_EQ(CH264MediaParser::SizeClassFor(1280, 720), 4u);
    EXPECT_EQ(CH264MediaParser::SizeClassFor(1280, 500), 4u);
}

}  // namespace

TEST_F(H264ParserTest, ContinuationsOfADroppedUnitAreDroppedWithIt) {
    // Non-H.264 bytes in the camera's framing (as the simulator's chaos mode sends them): a unit
    // of a type the camera never sends, then its continuations. They must not be glued to the
    // key picture that was complete before them.
    FeedKeyFrame();
    Feed(Start(0x40, Bytes(20, 0x33)));
    Feed(More(Bytes(30, 0x44)));
    Feed(Start(0x40, Bytes(20, 0x33)));
    Feed(More(Bytes(30, 0x44)));
    Feed(Start(kP, SliceBody(true)));  // pictures go on: the key picture is complete
    FeedKeyFrame();
    const auto frames = sink_.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].data, KeyFrameData());
    EXPECT_EQ(frames[1].data, Cat({Kept(kP, SliceBody(true)), kAud}));
}

// Inputs the fuzz target (fuzz/h264_parser_fuzz.cpp) found, one case each.
TEST_F(H264ParserTest, FuzzRegression) {
    // The rest of a NAL unit whose start was never kept (at the stream's start, after a reset,
    // after an oversize picture was emptied) must not open a frame: here its bytes look like an
    // SPS, which once made them a key frame with stray bytes in front.
    const Bytes stray = More(Cat({{0xDE, 0xAD}, Kept(kSps, SpsBody({}))}));
    const auto strayThenKeyFrame = [&](const char* when) {
        SCOPED_TRACE(when);
        sink_.Clear();
        Feed(stray);
        Feed(Start(kP, SliceBody(true)));
        FeedKeyFrame();
        Feed(Start(kP, SliceBody(true)));
        const auto frames = sink_.Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].data, KeyFrameData());
    };
    strayThenKeyFrame("stream start");
    parser_.Reset();
    strayThenKeyFrame("after a reset");
    for (int i = 0; i < 11 && !parser_.Resyncing(); ++i) {
        Feed(i == 0 ? Start(kIdr, SliceBody(true, 1 << 20)) : More(Bytes(1 << 20, 0x5A)));
    }
    ASSERT_EQ(parser_.FrameBytes(), 0u);
    strayThenKeyFrame("after an oversize picture");

    // A payload that starts with three zero bytes but not with 00 00 00 00 01 is no NAL unit
    // start: kept from byte 2 on it once gave the host a picture without its start code.
    {
        SCOPED_TRACE("broken start code");
        sink_.Clear();
        Bytes broken = Start(kP, SliceBody(true));
        broken[3] = 0x07;
        Feed(broken);
        EXPECT_TRUE(parser_.Resyncing());
        Feed(Start(kP, SliceBody(true)));
        FeedKeyFrame();
        Feed(Start(kP, SliceBody(true)));
        const auto frames = sink_.Frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].data, KeyFrameData());
    }
}
