// Fuzz target: the SPS reader (CH264MediaParser::FindPictureSize and its bit reader) on its own.
//
// The input is read twice: as it stands (a frame's first bytes, where the reader looks for an SPS
// start code) and behind an SPS start code, so that every input is also read as an SPS body. A size
// read must be one the host can use; the same bytes must always give the same answer.
#include "fuzz_support.h"
#include "media/h264_media_parser.h"

namespace {

using talvane::CH264MediaParser;
using talvane::H264PictureSize;

void CheckRead(const uint8_t* data, size_t size) {
    H264PictureSize first{0xDEAD, 0xBEEF};
    const bool found = CH264MediaParser::FindPictureSize(data, size, &first);
    if (!found) {
        // Nothing is written on a failed read.
        ZARN_FUZZ_CHECK(first.width == 0xDEAD && first.height == 0xBEEF);
        return;
    }
    ZARN_FUZZ_CHECK(first.width >= 1 && first.width <= CH264MediaParser::kMaxPictureSide);
    ZARN_FUZZ_CHECK(first.height >= 1 && first.height <= CH264MediaParser::kMaxPictureSide);
    H264PictureSize again;
    ZARN_FUZZ_CHECK(CH264MediaParser::FindPictureSize(data, size, &again));
    ZARN_FUZZ_CHECK(again.width == first.width && again.height == first.height);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the input's bytes, so that AddressSanitizer sees a read past its end.
    std::vector<uint8_t> plain(data, data + size);
    CheckRead(plain.data(), plain.size());

    std::vector<uint8_t> sps = {0x00, 0x00, 0x01, 0x67};
    sps.insert(sps.end(), data, data + size);
    CheckRead(sps.data(), sps.size());

    // The bit reader never reports a bit past the end as read from memory.
    talvane::CH264BitReader reader(plain.data(), plain.data() + plain.size());
    for (size_t i = 0; i < size * 8; ++i) reader.Bit();
    ZARN_FUZZ_CHECK(!reader.Overrun());
    reader.Ue();
    ZARN_FUZZ_CHECK(reader.Overrun());
    return 0;
}
