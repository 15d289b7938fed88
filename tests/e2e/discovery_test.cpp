// Port discovery, the supervisor and hot-plug handling against the simulated
// device presenting itself as a USB adapter in a fake sysfs tree.
#include <string>

#include <gtest/gtest.h>

#include "tests/e2e/driver.h"
#include "tests/e2e/expect.h"

namespace dialscope::e2e {
namespace {

std::string Commands(const devsim::Simulator& sim) {
    const std::vector<uint8_t> c = sim.CommandsReceived();
    return std::string(c.begin(), c.end());
}

TEST(EndToEndDiscovery, FindsTheAdapterDownloadsAndFollowsUnplugAndPlug) {
    ProgramWithAdapter p;
    Rig& rig = p.rig;
    SimEvents& events = p.events;
    const devsim::SimOptions o = p.Options(devsim::GenerateCallLog(12, 5));
    devsim::Simulator sim(o);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    rig.driver.Attach(&sim, &events);

    rig.driver.StartUp();
    ASSERT_EQ(rig.core.ports().PortCount(), 1);
    ASSERT_EQ(rig.core.ports().FirstPresentPort(), 1);

    // The supervisor's first tick, 500 ms in, opens ttyUSB0 and polls; the
    // device answers and the dialogue asks for the log.
    rig.driver.StepUntil([&] { return rig.core.serial().portOpen(); }, "the supervisor's open", 10);
    EXPECT_EQ(rig.driver.step(), Driver::kWatchEvery);
    EXPECT_EQ(rig.core.supervisor().portName(), "ttyUSB0");
    rig.driver.StepUntil([&] { return rig.Status("Message read OK.") == 1; }, "the first download");
    const std::string first = sim.setup().prediction.log;
    ASSERT_TRUE(sim.setup().prediction.available) << sim.setup().prediction.reason;
    EXPECT_EQ(rig.logText(), first);
    EXPECT_EQ(Commands(sim), "2D");
    EXPECT_TRUE(rig.core.supervisor().handedOver());
    EXPECT_FALSE(rig.core.serial().portOpen());
    EXPECT_FALSE(rig.driver.watchRunning());

    // Unplugged after the download: the list follows; portName still names
    // the adapter, so the removal is reported although the port is closed.
    sim.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !sim.Plugged(); }));
    rig.driver.StepUntil([&] { return rig.core.ports().FirstPresentPort() == 0; }, "the removal", 20);
    EXPECT_EQ(rig.Status("Device Remove."), 1);

    // Plugged in again: a second download, pulled out after three records.
    sim.Plug();
    ASSERT_TRUE(WaitFor([&] { return sim.Plugged(); }));
    const int shownBefore = rig.window.records;
    rig.driver.StepUntil([&] { return rig.window.records >= shownBefore + 3; }, "three records of the second download");
    sim.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !sim.Plugged(); }));
    rig.driver.StepUntil([&] { return rig.Status("Device Remove.") == 2; }, "the removal mid-download", 20);
    EXPECT_FALSE(rig.core.serial().portOpen());
    EXPECT_FALSE(rig.core.serial().receiveRunning());
    // The record that was being collected is given up after the silence;
    // nothing more is shown.
    rig.driver.Steps(3 * kIdleTicksLimit);
    const std::string second = rig.logText().substr(first.size());
    EXPECT_TRUE(IsWholeRecordPrefix(second, o.log)) << second;
    EXPECT_GE(rig.window.records - shownBefore, 3);
    EXPECT_LT(rig.window.records - shownBefore, 12) << "the unplug came after the end of the download";
    EXPECT_EQ(rig.Status("Message read OK."), 1);

    // And in once more: a whole download, numbered from 1, below the rest.
    sim.Plug();
    ASSERT_TRUE(WaitFor([&] { return sim.Plugged(); }));
    rig.driver.StepUntil([&] { return rig.Status("Message read OK.") == 2; }, "the third download");
    EXPECT_EQ(rig.logText(), first + second + devsim::RenderDownload(o.log));
    EXPECT_EQ(sim.DownloadsCompleted(), 2);  // the interrupted one never completed
    EXPECT_TRUE(rig.warnings.empty());
    EXPECT_EQ(rig.window.status.front(), "Dialscope V1.3");
    sim.Stop();
}

// Nothing but the two environment variables points the program at the fake
// tree: the core is built with its defaults, as the program builds it.
TEST(EndToEndDiscovery, EnvironmentAloneLeadsToTheFakeAdapter) {
    FakeTree tree;
    EnvGuard sysRoot("DIALSCOPE_SYSFS_ROOT", tree.sys().string());
    EnvGuard devRoot("DIALSCOPE_DEV_ROOT", tree.dev().string());
    SimEvents events;
    devsim::SimOptions o = LineRateOptions(devsim::GenerateCallLog(15, 21));
    o.fakeAdapter = true;
    o.adapter = tree.Adapter();
    o.adapter.usbPort = "1-1.4";  // behind a hub
    o.adapter.ttyName = "ttyUSB3";
    o.onEvent = events.Sink();
    devsim::Simulator sim(o);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;

    Rig rig(nullptr);
    ASSERT_GE(rig.core.deviceEventFd(), 0);
    rig.driver.Attach(&sim, &events);
    rig.driver.StartUp();
    rig.driver.StepUntil([&] { return rig.Status("Message read OK.") == 1; }, "the download");
    EXPECT_EQ(rig.core.supervisor().portName(), "ttyUSB3");
    EXPECT_EQ(rig.logText(), sim.setup().prediction.log);
    EXPECT_EQ(rig.logText(), devsim::RenderDownload(o.log));

    // The watcher is the tree's: pulling the adapter is noticed.
    sim.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !sim.Plugged(); }));
    rig.driver.StepUntil([&] { return rig.Status("Device Remove.") == 1; }, "the removal", 20);
    sim.Stop();
}

}  // namespace
}  // namespace dialscope::e2e
