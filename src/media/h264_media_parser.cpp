#include "media/h264_media_parser.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/host_call.h"

namespace talvane {

namespace {

constexpr uint8_t kNalSlice = 1;
constexpr uint8_t kNalIdrSlice = 5;
constexpr uint8_t kNalSei = 6;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint8_t kNalAccessUnitDelimiter = 9;

// Bytes 0-4 of a payload that begins a NAL unit are 00 00 00 00 01, byte 5 is the NAL header; the
// kept unit starts at byte 2 so that it carries a three-byte start code.
constexpr size_t kNalHeaderOffset = 5;
constexpr size_t kKeptFrom = 2;
constexpr size_t kSliceDataOffset = 6;

// Access unit delimiter appended to every frame (primary_pic_type 1).
constexpr std::array<uint8_t, 5> kAccessUnitDelimiter = {0x00, 0x00, 0x01, 0x09, 0x30};

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& from, size_t offset) {
    if (offset < from.size()) to.insert(to.end(), from.begin() + offset, from.end());
}

// Skips one scaling list of `entries` values.
void SkipScalingList(CH264BitReader& reader, unsigned entries) {
    int64_t last = 8;
    int64_t next = 8;
    for (unsigned i = 0; i < entries && !reader.Overrun(); ++i) {
        if (next != 0) {
            const int64_t code = reader.Ue();
            const int64_t magnitude = (code + 1) / 2;
            const int64_t delta = (code % 2 == 1) ? magnitude : -magnitude;
            next = ((last + delta) % 256 + 256) % 256;
            if (next != 0) last = next;
        }
    }
}

}  // namespace

uint32_t CH264BitReader::Bit() {
    if (current_ >= end_) {
        overrun_ = true;
        return 1;
    }
    const uint32_t bit = (*current_ >> (7 - bitIndex_)) & 1u;
    if (++bitIndex_ == 8) {
        bitIndex_ = 0;
        ++current_;
    }
    return bit;
}

uint32_t CH264BitReader::Bits(unsigned count) {
    uint32_t value = 0;
    for (unsigned i = 0; i < count && i < 32; ++i) value = (value << 1) | Bit();
    return value;
}

uint32_t CH264BitReader::Ue() {
    unsigned leadingZeros = 0;
    while (Bit() == 0) {
        if (++leadingZeros > 31) {
            overrun_ = true;  // no 32-bit value has this many leading zeros
            return 0xFFFFFFFFu;
        }
    }
    const uint64_t value = (uint64_t{1} << leadingZeros) - 1 + Bits(leadingZeros);
    return static_cast<uint32_t>(value);
}

CH264MediaParser::CH264MediaParser(IDriver* owner, const std::string& name)
    : CHttpMediaParser(owner, name) {}

void CH264MediaParser::Reset() {
    pending_.clear();
    frame_.clear();
    resync_ = true;
    droppedUnit_ = false;
    // Nothing of the previous stream is queued behind its last frame.
    schedule_.Restart();
}

void CH264MediaParser::Parse(std::vector<uint8_t>& payload) {
    const size_t n = payload.size();
    if (n > 0) {
        const bool startsNal = n >= 3 && payload[0] == 0 && payload[1] == 0 && payload[2] == 0;
        if (!startsNal && (n >= 3 || std::any_of(payload.begin(), payload.end(),
                                                 [](uint8_t b) { return b != 0; }))) {
            // Continuation of the NAL unit in progress; its first byte is a filler. The unit in
            // progress is the tail of the frame while a slice is pending, else of pending. With
            // none (stream start, reset, damage that emptied the buffers), or when the unit's
            // start was dropped as damage, its rest is damage too: glued to the unit before, it
            // would spoil a picture, or open a frame with stray bytes.
            if (droppedUnit_ || (pendingIsSlice_ ? frame_ : pending_).empty()) {
                resync_ = true;
                return;
            }
            // A slice's bytes go straight into the frame, everything else waits in pending.
            Append(pendingIsSlice_ ? frame_ : pending_, payload, 1);
        } else if (n <= kNalHeaderOffset || payload[3] != 0 || payload[4] != 1) {
            // A start of a NAL unit without its header byte, or three zero bytes that do not go on
            // as a start code (kept from byte 2 on, the unit would have none): damage.
            resync_ = true;
            droppedUnit_ = true;
            return;
        } else {
            const uint8_t type = payload[kNalHeaderOffset] & 0x1F;
            droppedUnit_ = false;
            switch (type) {
                case kNalSlice:
                    CheckSliceStart(payload);
                    // A non-key picture needs no parameter sets or SEI waiting in front of it.
                    pending_.clear();
                    Append(frame_, payload, kKeptFrom);
                    pendingIsSlice_ = true;
                    break;
                case kNalIdrSlice:
                    CheckSliceStart(payload);
                    // The parameter sets and SEI waiting in front of a key picture open its frame.
                    frame_.insert(frame_.end(), pending_.begin(), pending_.end());
                    pending_.clear();
                    Append(frame_, payload, kKeptFrom);
                    pendingIsSlice_ = true;
                    break;
                case kNalSei:
                case kNalSps:
                case kNalPps:
                    if (!frame_.empty()) {
                        DeliverFrame();
                        frame_.clear();
                    }
                    Append(pending_, payload, kKeptFrom);
                    pendingIsSlice_ = false;
                    break;
                case kNalAccessUnitDelimiter:
                    // The camera's own delimiter: the frame gets the driver's at its end. A
                    // continuation of it would be damage, as after any dropped unit.
                    droppedUnit_ = true;
                    return;
                default:
                    resync_ = true;
                    droppedUnit_ = true;
                    return;
            }
        }
    }

    // While a slice is in progress pending is empty: its bytes went straight into the frame.
    if (pendingIsSlice_) {
        if (frame_.size() >= kMaxFrameBytes) {
            frame_.clear();
            resync_ = true;
        }
    } else if (pending_.size() >= kMaxFrameBytes) {
        // Parameter sets or SEI that never end: drop them rather than grow without bound.
        pending_.clear();
        resync_ = true;
    }
}

void CH264MediaParser::CheckSliceStart(const std::vector<uint8_t>& payload) {
    if (payload.size() <= kSliceDataOffset) {
        resync_ = true;
        return;
    }
    CH264BitReader reader(payload.data() + kSliceDataOffset, payload.data() + payload.size());
    const uint32_t firstMbInSlice = reader.Ue();
    if (firstMbInSlice == 0 && !frame_.empty()) {
        // A new picture begins: the one collected so far is complete.
        DeliverFrame();
        frame_.clear();
        pending_.clear();
    }
}

bool CH264MediaParser::FindPictureSize(const uint8_t* data, size_t size, H264PictureSize* picture) {
    // The first start code 00 00 01 of an SPS that begins at i < 64, with its header byte at
    // i + 3 inside the data: found through the 01 bytes at i + 2, most pictures have few.
    const size_t limit = std::min(size, kSpsSearchBytes);
    if (size < 4) return false;
    size_t start = 0;
    bool found = false;
    const uint8_t* scan = data + 2;
    const uint8_t* const scanEnd = data + std::min(limit + 2, size - 1);
    while (scan < scanEnd) {
        const void* one = std::memchr(scan, 1, static_cast<size_t>(scanEnd - scan));
        if (one == nullptr) break;
        const size_t i = static_cast<size_t>(static_cast<const uint8_t*>(one) - data) - 2;
        if (data[i] == 0 && data[i + 1] == 0 && (data[i + 3] & 0x1F) == kNalSps) {
            start = i + 4;
            found = true;
            break;
        }
        scan = static_cast<const uint8_t*>(one) + 1;
    }
    if (!found) return false;

    CH264BitReader r(data + start, data + size);
    const uint32_t profileIdc = r.Bits(8);
    r.Bits(4);                     // constraint_set0..3 flags
    r.Bits(4);                     // reserved
    r.Bits(8);                     // level_idc
    r.Ue();                        // seq_parameter_set_id
    uint32_t chromaArrayType = 1;  // 4:2:0 unless the SPS says otherwise
    if (profileIdc >= 100) {
        const uint32_t chromaFormatIdc = r.Ue();
        chromaArrayType = chromaFormatIdc;
        if (chromaFormatIdc == 3 && r.Bit() != 0) chromaArrayType = 0;  // separate colour planes
        r.Ue();                                                         // bit_depth_luma_minus8
        r.Ue();                                                         // bit_depth_chroma_minus8
        r.Bit();             // qpprime_y_zero_transform_bypass_flag
        if (r.Bit() != 0) {  // seq_scaling_matrix_present_flag
            for (unsigned list = 0; list < 8 && !r.Overrun(); ++list) {
                if (r.Bit() != 0) SkipScalingList(r, list < 6 ? 16 : 64);
            }
        }
    }
    r.Ue();  // log2_max_frame_num_minus4
    const uint32_t picOrderCntType = r.Ue();
    if (picOrderCntType == 0) {
        r.Ue();  // log2_max_pic_order_cnt_lsb_minus4
    } else if (picOrderCntType == 1) {
        r.Bit();  // delta_pic_order_always_zero_flag
        r.Ue();   // offset_for_non_ref_pic
        r.Ue();   // offset_for_top_to_bottom_field
        const uint32_t cycle = r.Ue();
        // The reader stops contributing once it ran off the end, so a huge count ends quickly.
        for (uint32_t i = 0; i < cycle && !r.Overrun(); ++i) r.Ue();
    }
    r.Ue();   // max_num_ref_frames
    r.Bit();  // gaps_in_frame_num_value_allowed_flag
    const uint64_t widthInMbsMinus1 = r.Ue();
    const uint64_t heightInMapUnitsMinus1 = r.Ue();
    const uint64_t frameMbsOnly = r.Bit();
    int64_t width = static_cast<int64_t>((widthInMbsMinus1 + 1) * 16);
    int64_t height = static_cast<int64_t>((2 - frameMbsOnly) * (heightInMapUnitsMinus1 + 1) * 16);
    if (frameMbsOnly == 0) r.Bit();  // mb_adaptive_frame_field_flag
    r.Bit();                         // direct_8x8_inference_flag
    if (r.Bit() != 0) {              // frame_cropping_flag
        const int64_t left = r.Ue();
        const int64_t right = r.Ue();
        const int64_t top = r.Ue();
        const int64_t bottom = r.Ue();
        // Offsets are in chroma samples (luma samples where there is no chroma), and in the
        // height in lines of both fields when the picture may be coded as fields: 2 columns and
        // 2 lines in 4:2:0, 2 and 4 when interlaced (1088 - 4 x 2 = 1080).
        const int64_t unitX = chromaArrayType == 1 || chromaArrayType == 2 ? 2 : 1;
        const int64_t unitY =
            (chromaArrayType == 1 ? 2 : 1) * (2 - static_cast<int64_t>(frameMbsOnly));
        width -= unitX * (left + right);
        height -= unitY * (top + bottom);
    }
    if (r.Overrun() || width <= 0 || height <= 0 || width > kMaxPictureSide ||
        height > kMaxPictureSide) {
        return false;
    }
    picture->width = static_cast<uint32_t>(width);
    picture->height = static_cast<uint32_t>(height);
    return true;
}

uint32_t CH264MediaParser::CapacityFor(size_t total) {
    for (uint32_t capacity : {4096u, 16384u, 32768u, 131072u}) {
        if (total <= capacity) return capacity;
    }
    return static_cast<uint32_t>(total);
}

uint32_t CH264MediaParser::SizeClassFor(uint32_t width, uint32_t height) {
    if (width < 1024 && uint64_t{width} > 2 * uint64_t{height}) return 3;
    return width <= 400 ? 2 : 4;
}

void CH264MediaParser::DeliverFrame() {
    if (owner_ == nullptr || receiver_ == nullptr || frame_.empty()) return;
    // Every step that touches the driver, the host's allocator or a frame passes the host gate;
    // once it has closed, a frame in hand is abandoned (see SetHostGate).
    IFrameAllocator* allocator = nullptr;
    {
        CHostGate::Call call(Gate());
        if (!call) return;
        allocator = owner_->GetFrameAllocator();
    }
    if (allocator == nullptr) return;

    uint32_t fourcc = kFourCcI264;
    H264PictureSize picture;
    if (FindPictureSize(frame_.data(), frame_.size(), &picture)) {
        width_ = picture.width;
        height_ = picture.height;
        fourcc = kFourCcH264;
        resync_ = false;
    } else if (resync_) {
        frame_.clear();
        pending_.clear();
        return;
    }

    // The frame is capped well below 4 GiB, so the total fits the host's 32-bit sizes.
    const size_t total = frame_.size() + kAccessUnitDelimiter.size();
    const uint32_t capacity = CapacityFor(total);
    IHostFrame* frame = nullptr;
    {
        CHostGate::Call call(Gate());
        if (!call) return;
        // A picture the host never got leaves the following ones without their reference: start
        // over at the next key frame. An allocator that throws has given no frame.
        if (!CallHost([&] { frame = allocator->AllocateFrame(fourcc, capacity, name_.c_str()); })) {
            frame = nullptr;
        }
    }
    if (frame == nullptr) {
        resync_ = true;
        return;
    }
    // A frame object that throws is given back (as far as the host lets it) and the picture is
    // dropped like one the host had no room for.
    const auto dropFrame = [&] {
        CallHost([&] { allocator->ReleaseFrame(frame); });
        resync_ = true;
    };
    {
        CHostGate::Call call(Gate());
        if (!call) return;
        uint8_t* buffer = nullptr;
        if (!CallHost([&] { buffer = frame->GetBuffer(); }) || buffer == nullptr) {
            dropFrame();
            return;
        }
        std::copy(frame_.begin(), frame_.end(), buffer);
        std::copy(kAccessUnitDelimiter.begin(), kAccessUnitDelimiter.end(), buffer + frame_.size());

        if (!CallHost([&] {
                frame->SetWidth(width_);
                frame->SetHeight(height_);
                frame->SetSizeClass(SizeClassFor(width_, height_));
                frame->SetDataSize(static_cast<uint32_t>(total));
                frame->SetFourCC(fourcc);
            })) {
            dropFrame();
            return;
        }
    }

    Pace();
    {
        CHostGate::Call call(Gate());
        if (!call) return;
        if (!CallHost([&] {
                frame->StampTime();
                frame->GetTime(&previousTime_);
            })) {
            dropFrame();
            return;
        }
    }

    if (!receiver_->OnFrame(frame)) {
        // The stream goes on, but the host sees it again only from the next key frame.
        resync_ = true;
    }
    CHostGate::Call call(Gate());
    if (call) CallHost([&] { allocator->ReleaseFrame(frame); });
}

uint64_t CH264MediaParser::NextDueMs() const {
    return framePeriodMs_ != 0 ? schedule_.NextDueMs() : 0;
}

void CH264MediaParser::Pace() {
    if (framePeriodMs_ == 0) {
        // No pacing: no clock reading either; a later period starts its own schedule.
        schedule_.Restart();
        return;
    }
    const uint32_t wait = schedule_.OnFrameReady(Clock().NowMs(), framePeriodMs_, readerLookingSinceMs_);
    if (wait > 0) Clock().Wait(wait);
}

}  // namespace talvane
