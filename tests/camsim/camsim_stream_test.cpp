// The virtual camera's live stream: framing, payload format, H.264 content and stream faults.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>

#include "camsim.h"
#include "camsim_test_client.h"

namespace zarncam {
namespace {

using namespace zarncam::testing;

const std::string kAuth = BasicHeader("admin", "admin");

Config StreamCameraConfig(bool hd = false) {
    Config config;
    config.auth = {AuthScheme::kBasic};
    config.hd = hd;
    config.maxPayload = 1024;
    return config;
}

// Sends an AVConfig request; true on 200.
bool Configure(const Camera& camera, int resolutionCode, int frameRate, int keyInterval,
               int bitRate = 512) {
    const auto answer =
        HttpGet(camera.Port(),
                "/cgi-bin/AVConfig.cgi?Action=Set&FrameRate=" + std::to_string(frameRate) +
                    "&IFrameInterval=" + std::to_string(keyInterval) +
                    "&VideoQuality=1&BitRate=" + std::to_string(bitRate) +
                    "&RateControlMode=2&VideoResolution=" + std::to_string(resolutionCode),
                kAuth);
    return answer && answer->status == 200;
}

// Reads payloads until `pictures` slices have been completed (plus the NAL in progress).
bool ReadPictures(StreamReader& reader, NalAssembler& nals, int pictures,
                  Clock::time_point deadline) {
    int slices = 0;
    while (slices < pictures) {
        const auto payload = reader.NextPayload(deadline);
        if (!payload) return false;
        if (!nals.Add(*payload)) {
            ADD_FAILURE() << "payload breaks the format, size " << payload->size();
            return false;
        }
        if ((*payload)[0] == 0) {
            const int type = static_cast<unsigned char>((*payload)[5]) & 0x1F;
            if (type == 1 || type == 5) ++slices;
        }
    }
    return true;
}

struct ProbeResult {
    bool ran = false;
    std::string output;
};

// Runs ffprobe on an Annex B dump: codec, size and the number of decoded frames.
ProbeResult Probe(const std::string& annexB) {
    ProbeResult result;
    if (std::system("ffprobe -version >/dev/null 2>&1") != 0) return result;
    char path[] = "/tmp/zarncam_probe_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return result;
    ::close(fd);
    std::ofstream(path, std::ios::binary) << annexB;
    const std::string command =
        std::string(
            "ffprobe -v error -f h264 -count_frames -select_streams v:0 -show_entries "
            "stream=codec_name,width,height,nb_read_frames -of default=nw=1 ") +
        path + " 2>&1";
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof(line), pipe) != nullptr) result.output += line;
        result.ran = ::pclose(pipe) == 0;
    }
    std::remove(path);
    return result;
}

TEST(CameraStreamTest, PartsCarryH264OfTheConfiguredStreamThatDecodes) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 4, 25, 5));  // 352x288, IDR every 5 pictures

    StreamReader reader(camera.Port(), kAuth);
    ASSERT_TRUE(reader.Ok()) << reader.Head();
    EXPECT_EQ(reader.Head().find("Content-Length"), std::string::npos);
    EXPECT_NE(reader.Head().find("Connection: close"), std::string::npos);
    NalAssembler assembler;
    ASSERT_TRUE(ReadPictures(reader, assembler, 12, Clock::now() + 20s));
    assembler.Flush();
    // Exactly one header line in front of every "Length: ".
    EXPECT_EQ(reader.SkippedBytes(),
              reader.Parts() * std::string("Content-Type: video/h264\r\n").size());

    const std::vector<std::string>& nals = assembler.Nals();
    ASSERT_GE(nals.size(), 4u);
    EXPECT_EQ(NalAssembler::Type(nals[0]), 7);  // the stream opens with SPS, PPS
    EXPECT_EQ(NalAssembler::Type(nals[1]), 8);
    std::vector<int> pictureTypes;
    for (std::size_t i = 0; i < nals.size(); ++i) {
        const int type = NalAssembler::Type(nals[i]);
        EXPECT_NE(type, 9) << "access unit delimiter at " << i;
        if (type == 1 || type == 5) pictureTypes.push_back(type);
        if (type == 5) {
            // SPS and PPS (possibly followed by an SEI) right before every IDR picture.
            std::size_t j = i;
            while (j > 0 && NalAssembler::Type(nals[j - 1]) == 6) --j;
            ASSERT_GE(j, 2u);
            EXPECT_EQ(NalAssembler::Type(nals[j - 2]), 7);
            EXPECT_EQ(NalAssembler::Type(nals[j - 1]), 8);
        }
    }
    ASSERT_GE(pictureTypes.size(), 11u);
    for (std::size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(pictureTypes[i], i % 5 == 0 ? 5 : 1) << "picture " << i;
    }

    const auto last = camera.LastStreamConfig();
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->iFrameInterval, 5);
    // The counters move right after each send, so the client may be a step ahead of them.
    const std::size_t parts = reader.Parts();
    EXPECT_TRUE(camera.WaitForStats(
        [parts](const Stats& s) {
            return s.partsSent >= parts && s.framesSent >= 11 && s.keyFramesSent >= 3;
        },
        10s));
    EXPECT_EQ(camera.GetStats().streamsStarted, 1u);

    // The last NAL unit may be incomplete; leave it out of the decode check.
    const ProbeResult probe = Probe(AnnexB({nals.begin(), nals.end() - 1}));
    if (!probe.ran) GTEST_SKIP() << "ffprobe not usable: " << probe.output;
    EXPECT_NE(probe.output.find("codec_name=h264"), std::string::npos) << probe.output;
    EXPECT_NE(probe.output.find("width=352"), std::string::npos) << probe.output;
    EXPECT_NE(probe.output.find("height=288"), std::string::npos) << probe.output;
    EXPECT_EQ(probe.output.find("nb_read_frames=0"), std::string::npos) << probe.output;
}

TEST(CameraStreamTest, HdModeUsesTheHdTableAndLongNalsSpanSeveralParts) {
    Config config = StreamCameraConfig(true);
    config.maxPayload = 64;  // forces continuation payloads
    Camera camera(config);
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 4, 10, 10));  // 320x240 in HD mode

    StreamReader reader(camera.Port(), kAuth);
    ASSERT_TRUE(reader.Ok());
    NalAssembler assembler;
    ASSERT_TRUE(ReadPictures(reader, assembler, 2, Clock::now() + 20s));
    assembler.Flush();
    EXPECT_GT(reader.Parts(), assembler.Nals().size());

    const auto& nals = assembler.Nals();
    const ProbeResult probe = Probe(AnnexB({nals.begin(), nals.end() - 1}));
    if (!probe.ran) GTEST_SKIP() << "ffprobe not usable: " << probe.output;
    EXPECT_NE(probe.output.find("width=320"), std::string::npos) << probe.output;
    EXPECT_NE(probe.output.find("height=240"), std::string::npos) << probe.output;
}

TEST(CameraStreamTest, StreamNeedsAuthenticationAndStopsWhenTheClientLeaves) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 8, 25, 25));
    {
        StreamReader unauthorised(camera.Port());
        EXPECT_FALSE(unauthorised.Ok());
        EXPECT_EQ(unauthorised.Head().rfind("HTTP/1.1 401", 0), 0u);
    }
    {
        StreamReader reader(camera.Port(), kAuth);
        ASSERT_TRUE(reader.Ok());
        ASSERT_TRUE(reader.NextPayload(Clock::now() + 10s));
        EXPECT_EQ(camera.GetStats().streamsActive, 1u);
    }
    EXPECT_TRUE(camera.WaitForStats([](const Stats& s) { return s.streamsActive == 0; }, 10s));
}

TEST(CameraStreamTest, StallHoldsAPayloadHalfSentThenResumesAndStopIsPrompt) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 8, 25, 25));
    StreamReader reader(camera.Port(), kAuth);
    ASSERT_TRUE(reader.Ok());
    NalAssembler assembler;
    ASSERT_TRUE(ReadPictures(reader, assembler, 1, Clock::now() + 10s));

    camera.UpdateFaults([](Faults& f) { f.stall = true; });
    ASSERT_TRUE(camera.WaitForStats([](const Stats& s) { return s.streamsStalled == 1; }, 10s));
    // Drain what was sent: it ends inside a payload, which stays incomplete.
    while (reader.NextPayload(Clock::now() + 300ms)) {
    }
    EXPECT_GT(reader.PendingLength(), 0u);
    EXPECT_GT(reader.Connection().Buffered().size(), 0u);
    EXPECT_LT(reader.Connection().Buffered().size(), reader.PendingLength());
    EXPECT_FALSE(reader.Connection().Eof());

    camera.UpdateFaults([](Faults& f) { f.stall = false; });
    // The rest of the payload follows, then normal parts: the payload format stays intact.
    ASSERT_TRUE(ReadPictures(reader, assembler, 3, Clock::now() + 10s));
    EXPECT_EQ(camera.GetStats().stallsEntered, 1u);

    camera.UpdateFaults([](Faults& f) { f.stall = true; });
    ASSERT_TRUE(camera.WaitForStats([](const Stats& s) { return s.streamsStalled == 1; }, 10s));
    auto stopped = std::async(std::launch::async, [&camera] { camera.Stop(); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(reader.Connection().WaitClosed(Clock::now() + 10s));
}

TEST(CameraStreamTest, DropNextPartCutsTheConnectionMidPart) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 8, 25, 25));
    StreamReader reader(camera.Port(), kAuth);
    ASSERT_TRUE(reader.Ok());
    ASSERT_TRUE(reader.NextPayload(Clock::now() + 10s));
    camera.DropNextPart();
    const auto deadline = Clock::now() + 10s;
    while (reader.NextPayload(deadline)) {
    }
    EXPECT_TRUE(reader.Connection().Eof());
    // The connection ended inside a payload.
    EXPECT_GT(reader.PendingLength(), 0u);
    EXPECT_LT(reader.Connection().Buffered().size(), reader.PendingLength());
    EXPECT_EQ(camera.GetStats().connectionsDropped, 1u);

    // The next stream is unaffected.
    StreamReader again(camera.Port(), kAuth);
    ASSERT_TRUE(again.Ok());
    EXPECT_TRUE(again.NextPayload(Clock::now() + 10s));
}

TEST(CameraStreamTest, DropAfterPartsCutsEveryStreamAtTheSamePlace) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 8, 25, 25));
    camera.UpdateFaults([](Faults& f) { f.dropAfterParts = 3; });
    for (int stream = 0; stream < 2; ++stream) {
        StreamReader reader(camera.Port(), kAuth);
        ASSERT_TRUE(reader.Ok());
        const auto deadline = Clock::now() + 10s;
        while (reader.NextPayload(deadline)) {
        }
        EXPECT_TRUE(reader.Connection().Eof());
        EXPECT_EQ(reader.Parts(), 3u);
        EXPECT_GT(reader.PendingLength(), 0u);
    }
    EXPECT_EQ(camera.GetStats().connectionsDropped, 2u);
}

TEST(CameraStreamTest, GarbageAndHugeLengthHeadersLeaveThePartsRecoverable) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 8, 25, 5));
    camera.UpdateFaults([](Faults& f) {
        f.garbageBeforeFirstPart = true;
        f.garbageBetweenParts = true;
    });
    StreamReader reader(camera.Port(), kAuth);
    ASSERT_TRUE(reader.Ok());
    NalAssembler assembler;
    ASSERT_TRUE(ReadPictures(reader, assembler, 2, Clock::now() + 10s));
    // Junk in front of every part besides its header line.
    EXPECT_GT(reader.SkippedBytes(), reader.Parts() * 60);

    camera.UpdateFaults([](Faults& f) { f.garbageBetweenParts = false; });
    camera.InjectHugeLength();
    ASSERT_TRUE(ReadPictures(reader, assembler, 8, Clock::now() + 10s));
    ASSERT_EQ(reader.HugeLengths().size(), 1u);
    EXPECT_EQ(reader.HugeLengths()[0], 999999999u);
    assembler.Flush();
    int idr = 0;
    for (const auto& nal : assembler.Nals()) idr += NalAssembler::Type(nal) == 5 ? 1 : 0;
    EXPECT_GE(idr, 2);
}

TEST(CameraStreamTest, TrickledStreamStillParses) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 8, 25, 25, 64));
    camera.UpdateFaults([](Faults& f) {
        f.trickle = true;
        f.trickleBytes = 5;
        f.trickleDelayMs = 1;
    });
    StreamReader reader(camera.Port(), kAuth);
    ASSERT_TRUE(reader.Ok());
    NalAssembler assembler;
    for (int i = 0; i < 3; ++i) {
        const auto payload = reader.NextPayload(Clock::now() + 20s);
        ASSERT_TRUE(payload);
        EXPECT_TRUE(assembler.Add(*payload));
    }
    assembler.Flush();
    ASSERT_FALSE(assembler.Nals().empty());
    EXPECT_EQ(NalAssembler::Type(assembler.Nals()[0]), 7);
}

TEST(CameraStreamTest, ErrorStatusFaultAppliesToTheStreamToo) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    camera.UpdateFaults([](Faults& f) {
        f.errorPathPrefix = "/cgi-bin/video_post.cgi";
        f.errorStatus = 500;
    });
    StreamReader reader(camera.Port(), kAuth);
    EXPECT_FALSE(reader.Ok());
    EXPECT_EQ(reader.Head().rfind("HTTP/1.1 500", 0), 0u);
    EXPECT_EQ(camera.GetStats().streamsStarted, 0u);
}

TEST(CameraStreamTest, StopEndsSeveralStreamsAtOnce) {
    Camera camera(StreamCameraConfig());
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 8, 25, 25));
    StreamReader first(camera.Port(), kAuth);
    StreamReader second(camera.Port(), kAuth);
    ASSERT_TRUE(first.Ok());
    ASSERT_TRUE(second.Ok());
    ASSERT_TRUE(camera.WaitForStats([](const Stats& s) { return s.streamsActive == 2; }, 10s));
    auto stopped = std::async(std::launch::async, [&camera] { camera.Stop(); });
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(camera.GetStats().streamsActive, 0u);
    EXPECT_TRUE(first.Connection().WaitClosed(Clock::now() + 10s));
    EXPECT_TRUE(second.Connection().WaitClosed(Clock::now() + 10s));
}

}  // namespace
}  // namespace zarncam
