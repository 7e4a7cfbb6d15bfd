// The measurement log download against the simulated instrument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "commands/r62_log.h"
#include "sim/sim.h"
#include "support/console_capture.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

class SimLog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(link.open()); }
    sim_t* sim() { return link.sim(); }
    SimLink link;
};

}  // namespace

// A record comes whole, chunk by chunk with its offsets; the latest one by
// slot -1; a short file, a missing file and a stop fail.
TEST_F(SimLog, DownloadRecordReadsTheWholeRecordInChunks) {
    bytes want;
    ASSERT_TRUE(SIM_get_file(sim(), "meas/meas0003.dat", &want));
    SIM_put_file(sim(), "meas/last.dat", want);
    for (int32_t slot : {3, LOG_SLOT_LAST}) {
        bytes got(MR_SIZE, 0xEE);
        int32_t r = -2;
        const auto cap = console_run("", [&] { r = download_record(link.id(), slot, got.data()); });
        EXPECT_EQ(r, 0);
        EXPECT_EQ(got, want);
        EXPECT_EQ(cap.out, "Downloading record[" + std::to_string(slot) +
                               ",4063]0.450.900.1350.1800.2250.2700.3150.3600.4050.Ok\n");
    }
    SIM_put_file(sim(), "meas/meas0003.dat", bytes(want.begin(), want.begin() + 1000));
    bytes got(MR_SIZE);
    int32_t r = 0;
    auto cap = console_run("", [&] { r = download_record(link.id(), 3, got.data()); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.out, "Downloading record[3,4063]0.450.900.1000");
    EXPECT_EQ(cap.err, "");
    ASSERT_TRUE(SIM_remove_file(sim(), "meas/meas0003.dat"));
    cap = console_run("", [&] { r = download_record(link.id(), 3, got.data()); });
    EXPECT_EQ(r, -1);
    EXPECT_EQ(cap.err, "Command download_record error(code=1)!\n");
}
