// The adapter pulled out right after the box sent its last bytes: the
// removal is handled before the protocol tick has read them, so the end
// frame still waits in the ring when the port closes. The download still
// completes from what arrived.
#include <poll.h>

#include <gtest/gtest.h>

#include "tests/e2e/driver.h"
#include "tests/e2e/expect.h"

namespace dialscope::e2e {
namespace {

TEST(EndToEndRemoval, RemovalHandledBeforeTheLastBytesAreReadStillCompletes) {
    ProgramWithAdapter p;
    Rig& rig = p.rig;
    SimEvents& events = p.events;
    // At the line's rate, so that the download starts in one tick and the
    // rest streams in after it; small enough to wait whole in the ring.
    devsim::SimOptions o = p.Options(devsim::GenerateCallLog(2, 5));
    ASSERT_TRUE(DownloadFitsInRing(o));
    devsim::Simulator sim(o);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    rig.driver.Attach(&sim, &events);
    std::vector<DownloadEnd> ends;
    rig.core.Subscribe(Listen([&](const event::DownloadEnded& e) { ends.push_back(e.how); }));

    rig.driver.StartUp();
    rig.driver.StepUntil([&] { return rig.core.protocol().downloading(); }, "the download's start");
    ASSERT_EQ(events.Count("download 1 end"), 0) << "the whole download came in one tick; nothing was tested";

    // No tick from here on until the removal has been handled: the rest of
    // the download, its end frame included, waits in the ring.
    ASSERT_TRUE(WaitFor([&] { return events.Count("download 1 end") == 1; }));
    ASSERT_TRUE(rig.driver.Settle("the end of the download"));
    ASSERT_GT(rig.core.serial().Unread(), 0);
    sim.Unplug();
    ASSERT_TRUE(WaitFor([&] { return !sim.Plugged(); }));
    pollfd fd{rig.core.deviceEventFd(), POLLIN, 0};
    ASSERT_EQ(poll(&fd, 1, 5000), 1) << "no device event for the removal";

    // One step: the removal first (the port closes under the download), then
    // the tick that reads the end frame.
    rig.driver.Step();
    EXPECT_EQ(rig.Status("Device Remove."), 1);
    EXPECT_FALSE(rig.core.serial().portOpen());
    EXPECT_EQ(rig.Status("Message read OK."), 1);
    EXPECT_EQ(ends, std::vector<DownloadEnd>{DownloadEnd::Completed});
    EXPECT_EQ(rig.logText(), sim.setup().prediction.log);
    // Nothing more happens to the ended download.
    rig.driver.Steps(3 * kIdleTicksLimit);
    EXPECT_EQ(ends, std::vector<DownloadEnd>{DownloadEnd::Completed});
}

}  // namespace
}  // namespace dialscope::e2e
