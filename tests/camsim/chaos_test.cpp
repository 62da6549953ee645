// The simulator's long-run modes: the encoded loop, the reboot and the chaos camera.
#include "chaos.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <thread>
#include <utility>

#include "camsim.h"
#include "camsim_test_client.h"
#include "encoded_loop.h"

namespace zarncam {
namespace {

using namespace zarncam::testing;

bool Configure(const Camera& camera, int frameRate, int keyInterval) {
    const auto answer = HttpGet(
        camera.Port(), "/cgi-bin/AVConfig.cgi?Action=Set&FrameRate=" + std::to_string(frameRate) +
                           "&IFrameInterval=" + std::to_string(keyInterval) +
                           "&BitRate=256&VideoResolution=8");
    return answer && answer->status == 200;
}

// The pictures of a stream, each as its NAL units (SPS, PPS and SEI go with the next picture).
std::vector<std::vector<std::string>> ReadPictures(StreamReader& reader, size_t count) {
    std::vector<std::vector<std::string>> pictures;
    std::vector<std::string> current;
    NalAssembler nals;
    const auto deadline = Clock::now() + 30s;
    while (pictures.size() < count) {
        const auto payload = reader.NextPayload(deadline);
        if (!payload || !nals.Add(*payload)) break;
        const size_t before = nals.Nals().size();
        nals.Flush();
        // One payload per NAL unit at this size; a finished slice ends a picture.
        for (size_t i = before; i < nals.Nals().size(); ++i) {
            current.push_back(nals.Nals()[i]);
            const int type = NalAssembler::Type(nals.Nals()[i]);
            if (type == 1 || type == 5) pictures.push_back(std::exchange(current, {}));
        }
    }
    return pictures;
}

bool IsKey(const std::vector<std::string>& picture) {
    return !picture.empty() && NalAssembler::Type(picture.back()) == 5;
}

TEST(ChaosPlannerTest, SameSeedSameEventsEveryKindWithinItsRanges) {
    ChaosPlanner a(42);
    ChaosPlanner b(42);
    ChaosPlanner other(43);
    std::set<ChaosKind> kinds;
    bool differs = false;
    for (int i = 0; i < 2000; ++i) {
        const ChaosEvent event = a.Next();
        const ChaosEvent same = b.Next();
        const ChaosEvent elsewhere = other.Next();
        ASSERT_EQ(event.kind, same.kind);
        ASSERT_EQ(event.healthySeconds, same.healthySeconds);
        ASSERT_EQ(event.seconds, same.seconds);
        differs = differs || event.kind != elsewhere.kind;
        kinds.insert(event.kind);
        EXPECT_GE(event.healthySeconds, ChaosPlanner::kMinHealthy);
        EXPECT_LE(event.healthySeconds, ChaosPlanner::kMaxHealthy);
        const bool instant = event.kind == ChaosKind::kEnd || event.kind == ChaosKind::kDrop ||
                             event.kind == ChaosKind::kHugeLength;
        if (instant) {
            EXPECT_EQ(event.seconds, 0.0) << ChaosKindName(event.kind);
        } else {
            EXPECT_GE(event.seconds, ChaosPlanner::kMinFault) << ChaosKindName(event.kind);
            EXPECT_LE(event.seconds, ChaosPlanner::kMaxFault) << ChaosKindName(event.kind);
        }
    }
    EXPECT_TRUE(differs);
    EXPECT_EQ(kinds.size(), 11u);
}

TEST(EncodedLoopTest, PictureCountIsWholeKeyIntervalsUpToTheLimit) {
    StreamConfig config = DefaultStreamConfig(false);
    config.frameRate = 25;
    config.iFrameInterval = 10;
    EXPECT_EQ(EncodedLoop::PictureCount(config, 1), 30u);  // 25 rounded up to whole intervals
    config.iFrameInterval = 1000;
    EXPECT_EQ(EncodedLoop::PictureCount(config, 1), 1000u);
    config.frameRate = 60;
    config.iFrameInterval = 7;
    EXPECT_EQ(EncodedLoop::PictureCount(config, 120), EncodedLoop::kMaxPictures / 7 * 7);
}

TEST(CameraLoopTest, EveryStreamPlaysTheLoopWithItsKeyFramesAndCountersGoOn) {
    Config config;
    config.maxPayload = 1 << 20;  // one payload per NAL unit
    config.loopSeconds = 1;
    Camera camera(config);
    ASSERT_TRUE(camera.Start());
    ASSERT_TRUE(Configure(camera, 50, 10));  // a 50-picture loop, a key picture every 10

    std::vector<std::vector<std::string>> first;
    {
        StreamReader reader(camera.Port());
        ASSERT_TRUE(reader.Ok());
        first = ReadPictures(reader, 70);
    }
    ASSERT_EQ(first.size(), 70u);
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(IsKey(first[i]), i % 10 == 0) << "picture " << i;
        if (i >= 50) {
            EXPECT_EQ(first[i], first[i - 50]) << "picture " << i;
        }
    }
    EXPECT_EQ(NalAssembler::Type(first[0][0]), 7);  // SPS first

    StreamReader again(camera.Port());
    ASSERT_TRUE(again.Ok());
    const auto second = ReadPictures(again, 3);
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[0], first[0]);  // a new stream starts at the loop's key picture
    EXPECT_TRUE(camera.WaitForStats([](const Stats& s) { return s.framesSent >= 73; }, 10s));
}

TEST(CameraRebootTest, PortClosesRefusesThenComesBackWithAFreshStream) {
    Camera camera;
    ASSERT_TRUE(camera.Start());
    const uint16_t port = camera.Port();
    StreamReader reader(port);
    ASSERT_TRUE(reader.Ok());
    ASSERT_TRUE(reader.NextPayload(Clock::now() + 10s));

    camera.Reboot(1500ms);
    EXPECT_TRUE(reader.Connection().WaitClosed(Clock::now() + 10s));
    bool refused = false;
    for (const auto deadline = Clock::now() + 10s; !refused && Clock::now() < deadline;) {
        refused = !RawConnection(port).Connected();
    }
    EXPECT_TRUE(refused);

    std::optional<Response> answer;
    for (const auto deadline = Clock::now() + 20s; !answer && Clock::now() < deadline;) {
        answer = HttpGet(port, "/cgi-bin/AVConfig.cgi?Action=Get");
        if (!answer) std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(camera.Port(), port);
    EXPECT_EQ(camera.GetStats().reboots, 1u);

    StreamReader fresh(port);
    ASSERT_TRUE(fresh.Ok());
    const auto pictures = ReadPictures(fresh, 1);
    ASSERT_EQ(pictures.size(), 1u);
    EXPECT_EQ(NalAssembler::Type(pictures[0][0]), 7);
    const auto outages = camera.Outages();
    ASSERT_EQ(outages.size(), 1u);
    EXPECT_EQ(outages[0].kind, "reboot");
    EXPECT_LT(outages[0].begin, outages[0].end);
    EXPECT_NE(outages[0].end, Clock::time_point::max());
}

TEST(CameraChaosTest, StreamsMeetTheSeedsFaultsAndEveryOutageIsRecorded) {
    Config config;
    config.loopSeconds = 1;
    config.chaosSeed = 7;
    config.chaosTimeScale = 0.01;  // healthy 0.05..0.4 s, faults 0.02..0.2 s
    Camera camera(config);
    ASSERT_TRUE(camera.Start());

    // A client that keeps coming back, as the driver does.
    std::map<int, int> statuses;
    const auto deadline = Clock::now() + 60s;
    while (camera.GetStats().chaosEvents < 12 && Clock::now() < deadline) {
        StreamReader reader(camera.Port());
        if (!reader.Ok()) {
            const std::string& head = reader.Head();
            statuses[head.size() > 12 ? std::atoi(head.c_str() + 9) : 0]++;
            std::this_thread::sleep_for(20ms);
            continue;
        }
        statuses[200]++;
        NalAssembler nals;
        bool first = true;
        while (const auto payload = reader.NextPayload(Clock::now() + 5s)) {
            if (!nals.Add(*payload)) {
                // Half a part of a drop or stall ends the stream; anything else breaks the format.
                ADD_FAILURE() << "payload breaks the format";
                break;
            }
            if (first) {
                ASSERT_GT(payload->size(), 5u);
                EXPECT_EQ(static_cast<unsigned char>((*payload)[5]) & 0x1F, 7);
            }
            first = false;
        }
    }
    EXPECT_GE(camera.GetStats().chaosEvents, 12u);
    EXPECT_GE(statuses[200], 2);

    camera.Stop();
    const auto outages = camera.Outages();
    EXPECT_FALSE(outages.empty());
    for (const Outage& o : outages) {
        EXPECT_LE(o.begin, o.end) << o.kind;
    }

    // The same seed draws the same faults: the camera's events are the planner's.
    ChaosPlanner planner(7);
    std::set<std::string> drawn;
    for (uint64_t i = 0; i < camera.GetStats().chaosEvents; ++i) {
        drawn.insert(ChaosKindName(planner.Next().kind));
    }
    for (const Outage& o : outages) EXPECT_EQ(drawn.count(o.kind), 1u) << o.kind;
}

}  // namespace
}  // namespace zarncam
