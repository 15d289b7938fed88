// The serial layer, the receive thread and the protocol together against the
// simulated device on a pseudo-terminal, with no port discovery: the test
// opens the port itself, the way the supervisor would.
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/driver.h"
#include "tests/e2e/expect.h"
#include "tests/support/damaged_log.h"

namespace dialscope::e2e {
namespace {

// Opens the simulator's line and lets the dialogue find the device by its
// own idle poll. Returns after "Message read OK.".
void DownloadOverOwnPort(Rig& rig, devsim::Simulator& sim) {
    // Nothing to discover: after one pass the supervisor stops, as with no
    // adapter, and leaves the line to the test.
    rig.driver.StartUp();
    rig.driver.StepUntil([&] { return !rig.driver.watchRunning(); }, "the supervisor's empty pass", 20);
    bool opened = false;
    rig.driver.Do([&] { opened = rig.core.serial().openPort(sim.SlavePath().c_str(), 57600, false, 8, 0); });
    ASSERT_TRUE(opened);
    rig.driver.StepUntil([&] { return rig.Status("Message read OK.") == 1; }, "the end of the download");
}

TEST(EndToEndSerial, CleanDownloadShowsExactlyTheDevicesLog) {
    FakeTree tree;
    Rig rig(&tree);
    SimEvents events;
    devsim::SimOptions o = LineRateOptions(devsim::GenerateCallLog(30, 7));
    o.onEvent = events.Sink();
    devsim::Simulator sim(o);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    rig.driver.Attach(&sim, &events);

    DownloadOverOwnPort(rig, sim);

    const devsim::Prediction& p = sim.setup().prediction;
    ASSERT_TRUE(p.available) << p.reason;
    EXPECT_EQ(rig.logText(), p.log);
    EXPECT_EQ(rig.logText(), devsim::RenderDownload(o.log));
    EXPECT_EQ(rig.window.records, 30);
    // The first poll is the dialogue's idle action, 41 silent ticks in; the
    // device's '1' gets a 'D' and nothing more is asked.
    const std::vector<uint8_t> commands = sim.CommandsReceived();
    EXPECT_EQ(std::string(commands.begin(), commands.end()), "2D");
    EXPECT_GE(rig.driver.comTicks(), kIdleTicksLimit);
    // The end frame: port closed, protocol tick still running, supervisor
    // and animation stopped, indicator left red.
    EXPECT_FALSE(rig.core.serial().portOpen());
    EXPECT_TRUE(rig.core.timerRunning(Timer::time_com));
    EXPECT_FALSE(rig.core.timerRunning(Timer::watch_serial));
    EXPECT_FALSE(rig.core.timerRunning(Timer::AutoDisp));
    EXPECT_TRUE(rig.window.indicatorRed);
    EXPECT_GT(rig.driver.autoDispTicks(), 0);
    // The download is over.
    EXPECT_FALSE(rig.core.protocol().downloading());
    EXPECT_TRUE(rig.warnings.empty());

    // The ticks go on after the download without touching the log.
    const std::string log = rig.logText();
    rig.driver.Steps(100);
    EXPECT_EQ(rig.logText(), log);
    EXPECT_EQ(sim.CommandsReceived().size(), 2u);
    sim.Stop();
}

// Noise between frames (never a frame start). Any byte between two frames
// may be what is left of a frame that lost bytes, so a record with noise in
// its span is marked; every text arrives, in order, and a record with none
// is shown exactly. Several logs, so records of every kind meet noise of
// every length, and the ring wraps many times within each download.
TEST(EndToEndSerial, NoiseBetweenFramesKeepsEveryText) {
    for (uint64_t seed : {3u, 11u, 29u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        FakeTree tree;
        Rig rig(&tree);
        SimEvents events;
        devsim::SimOptions o = LineRateOptions(devsim::GenerateCallLog(18, seed));
        o.faults.noiseMax = 5;
        o.faults.seed = seed;
        // Short data frames for one of the logs: long texts then rotate
        // through all fifteen letters several times.
        if (seed == 11) o.framePayload = 20;
        o.onEvent = events.Sink();
        devsim::Simulator sim(o);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        rig.driver.Attach(&sim, &events);
        ASSERT_GT(sim.setup().firstPlan.bytes, 2u * kRxRingSize);

        DownloadOverOwnPort(rig, sim);

        EXPECT_FALSE(sim.setup().prediction.available);
        EXPECT_EQ(testing::CheckDamagedLog(rig.logText(), o.log, sim.setup().frames, sim.setup().firstPlan, 1), "");
        EXPECT_EQ(CheckWholeRecords(rig.logText(), o.log), "");
        EXPECT_EQ(sim.DownloadsStarted(), 1);
        sim.Stop();
    }
}

}  // namespace
}  // namespace dialscope::e2e
