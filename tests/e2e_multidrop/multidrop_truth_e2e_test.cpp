// The multi-drop master's per-slave figures against what the simulated line
// really did: each process's truth file keeps a record per station address,
// so the replies of slave k are the master's record of address k and the
// polls of slave k that slave's own record of address k.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e_multidrop/multidrop_fixture.h"
#include "tests/e2e_support/e2e_support.h"
#include "tests/e2e_support/truth_oracle.h"

namespace {

using e2e::RunResult;
using md::kRate;
using md::MultiDropE2e;

constexpr int64_t kData = 32;
constexpr int64_t kTestSeconds = 5;
constexpr int64_t kFrameBytes = kData + 6;  // address, function, sub-function, data, CRC

std::string TruthKey(const std::string& file) { return "truth_file = \"" + file + "\"\n"; }

std::vector<e2e::PortTruth> ReadTruth(const std::string& file) {
    std::vector<e2e::PortTruth> ports;
    std::string error;
    EXPECT_TRUE(e2e::ParseTruth(e2e::ReadFile(file), &ports, &error)) << file << ": " << error;
    return ports;
}

int64_t LastPeriodWithData(const std::vector<e2e::PortTruth>& ports) {
    int64_t last = -1;
    for (const auto& port : ports)
        for (size_t i = 0; i < port.periods.size(); ++i)
            if (port.address >= 0 && port.periods[i].delivered > 0)
                last = std::max(last, int64_t(i));
    return last;
}

// Bits and hit frames of periods [from, to] of one record.
e2e::AddressFrames Window(const e2e::PortTruth& truth, int64_t from, int64_t to) {
    e2e::PortTruth part;
    for (int64_t i = std::max<int64_t>(from, 0); i <= to && i < int64_t(truth.periods.size()); ++i)
        part.periods.push_back(truth.periods[size_t(i)]);
    return e2e::CountAddressFrames(part);
}

// Draws of the line's ordinary faults: errors in both directions, a slave
// that comes late, one that dies while it is polled. The master's Rx of a
// slave is the data of the replies that came in its test time, a period
// either way (the records count 100 ms periods, and the test time is the -L
// seconds before the last poll); every loss of sync needs a frame the line hit, or the
// slave's death, and a reply hit within the test time costs at least one.
TEST_F(MultiDropE2e, PerSlaveFiguresHoldAgainstTheLineTruth) {
    struct Case {
        std::string name;
        std::string impairments;
        bool lateSecondSlave;
        bool secondSlaveDies;
    } cases[] = {
        {"line errors", "seed = 7\nbit_error_rate = 0.0002\n", false, false},
        {"late start", "", true, false},
        {"slave death", "seed = 9\nbit_error_rate = 0.0001\n", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        slaves_.clear();
        const std::string masterTruth = dir_.File("master-truth.txt");
        const std::string slaveTruth[3] = {"", dir_.File("slave1-truth.txt"),
                                           dir_.File("slave2-truth.txt")};
        StartSlave(1, c.impairments, {}, "", TruthKey(slaveTruth[1]));
        if (!c.lateSecondSlave) StartSlave(2, c.impairments, {}, "", TruthKey(slaveTruth[2]));
        e2e::ChildProcess master(ONDREL_BINARY,
                                 {"+Mm1.2", kRate, "+d" + std::to_string(kData), "+q",
                                  "-L" + std::to_string(kTestSeconds), "-v3", "+l"},
                                 Options(c.impairments, "", TruthKey(masterTruth)));
        if (c.lateSecondSlave) {
            ASSERT_TRUE(master.WaitForOutput("SlaveId 2, No Data", 8000)) << master.Output();
            StartSlave(2, c.impairments, {}, "", TruthKey(slaveTruth[2]));
        }
        ASSERT_TRUE(master.WaitForOutput("All slaves now in Sync", 10000)) << master.Output();
        if (c.secondSlaveDies) {
            ASSERT_TRUE(master.WaitForOutput("Slave=2 ", 8000)) << master.Output();
            slaves_[1]->Signal(SIGKILL);
        }
        // Closing its input would end it at once.
        EXPECT_TRUE(master.WaitForOutput("StatsUpdateThread, Stop on Time 5", 20000))
            << master.Output();
        RunResult r = master.Finish(30000);
        for (auto& slave : slaves_) slave->Signal(SIGTERM);
        for (auto& slave : slaves_) slave->Finish(10000);
        ASSERT_FALSE(r.timedOut) << r.out;

        const auto atMaster = ReadTruth(masterTruth);
        const int64_t last = LastPeriodWithData(atMaster);
        ASSERT_GT(last, 0) << e2e::ReadFile(masterTruth);
        for (int id : {1, 2}) {
            SCOPED_TRACE("slave " + std::to_string(id));
            const std::string line = LastSlaveLine(r, id);
            const e2e::PortTruth* replies = e2e::FindAddressTruth(atMaster, 0, 0, unsigned(id));
            ASSERT_NE(replies, nullptr) << e2e::ReadFile(masterTruth);
            const auto atSlave = ReadTruth(slaveTruth[id]);
            const e2e::PortTruth* polls = e2e::FindAddressTruth(atSlave, 0, 0, unsigned(id));
            ASSERT_NE(polls, nullptr) << e2e::ReadFile(slaveTruth[id]);

            // The test time is -L from the last first sync to the last poll.
            const int64_t periods = kTestSeconds * 10;
            const e2e::AddressFrames outer = Window(*replies, last - periods - 1, last);
            const e2e::AddressFrames inner = Window(*replies, last - periods + 2, last - 1);
            const int64_t rx = Field(line, "Rx");
            const int64_t frameDataBits = kData * 8;
            EXPECT_LE(rx, int64_t(outer.bits) * kData / kFrameBytes + frameDataBits) << r.out;
            const int64_t losses = Field(line, "LOS");
            // Each loss of sync also costs the reply its return to sync is found in.
            EXPECT_GE(rx, int64_t(inner.bits) * kData / kFrameBytes -
                              (inner.hitFrames + losses + 2) * frameDataBits)
                << r.out;

            const int64_t hits = e2e::CountAddressFrames(*replies).hitFrames +
                                 e2e::CountAddressFrames(*polls).hitFrames;
            const bool died = c.secondSlaveDies && id == 2;
            EXPECT_LE(losses, hits + (died ? 1 : 0)) << r.out;
            if (inner.hitFrames > 0 || died) {
                EXPECT_GE(losses, 1) << r.out;
            }
            EXPECT_EQ(Field(line, "BitErr"), 0) << r.out;  // a hit frame fails its CRC
        }
        const bool lost = Field(LastSlaveLine(r, 1), "LOS") + Field(LastSlaveLine(r, 2), "LOS") > 0;
        EXPECT_EQ(lost, !c.impairments.empty()) << r.out;
        EXPECT_EQ(r.exitCode, lost ? md::kExitLostSync : 1) << r.out;
    }
}

}  // namespace
