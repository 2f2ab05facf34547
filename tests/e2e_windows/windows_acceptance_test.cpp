// ondrel.exe as a user on Windows runs it: every kind of test on the
// simulated card, tester and responder as separate processes on a shared
// line, the front end's named pipe, the figures and the log file. Each
// start of a program costs a second or more under wine, so each case is one
// run (or one group of processes) that checks everything it can.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gui/tags.h"
#include "gui/tlv.h"
#include "tests/e2e_support/e2e_support.h"

namespace {

using e2e::RunResult;

// The figures of the last report, as the program prints them.
struct Report {
    bool found = false;
    int64_t tx = -1, rx = -1, bitErrors = -1;
};

Report LastReport(const RunResult& r) {
    static const std::regex kCounts(R"(TxCount=(\d+) RxCount=(\d+) BlockCount=(\d+) Rate=(\d+))");
    static const std::regex kErrors(R"(BitErr=(-?\d+) BlockErr=(-?\d+) )");
    Report report;
    for (const std::string& line : r.Lines()) {
        std::smatch m;
        if (std::regex_search(line, m, kCounts)) {
            report.found = true;
            report.tx = std::stoll(m[1]);
            report.rx = std::stoll(m[2]);
        }
        if (std::regex_search(line, m, kErrors)) report.bitErrors = std::stoll(m[1]);
    }
    return report;
}

// A report is whole when every one of its lines came.
void ExpectWholeReport(const RunResult& r) {
    for (const char* label : {"TxCount=", "BitErr=", "BER=", "ESR=", "->LOS=", "LOSR="})
        EXPECT_TRUE(r.Contains(label)) << label << "\n" << r.out;
    // The 64-bit figures print as plain decimals, never as an unknown
    // format left in the text.
    for (const char* broken : {"I64d", "lld", "%"}) EXPECT_FALSE(r.Contains(broken)) << broken;
}

class WindowsAcceptance : public ::testing::Test {
   protected:
    e2e::RunOptions Options(const std::string& config = "", const std::string& keys = "") {
        e2e::RunOptions options;
        if (config.empty()) {
            options.setEnv = {{"ZVBERTLOGPATH", dir_.path()}};
            options.unsetEnv = {"ONDREL_CARD_CONFIG", "ONDREL_SIM_CONFIG", "ONDREL_SIM_CONTROL"};
        } else {
            options =
                e2e::SimRunOptions(dir_, "card" + std::to_string(configs_++) + ".toml", config);
        }
        options.stdinText = keys;
        options.timeoutMs = 60000;
        return options;
    }
    static std::string LineName(const char* kind) {
        return std::string(kind) + std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    std::string SharedLine(const char* kind, const std::string& line = "shared") {
        return "[[card]]\nports = 1\nline = \"" + line + "\"\nline_name = \"" + LineName(kind) +
               "\"\n";
    }

    e2e::TempDir dir_;
    int configs_ = 0;
};

TEST_F(WindowsAcceptance, SoftwareTestInLoopbackReportsNoErrorsAndLogsToItsFolder) {
    RunResult r = e2e::RunOndrel({"+S", "-L3", "+l"}, Options());
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(r.Contains("In sync")) << r.out;
    Report report = LastReport(r);
    ASSERT_TRUE(report.found) << r.out;
    EXPECT_EQ(report.bitErrors, 0) << r.out;
    EXPECT_GT(report.rx, 0);
    ExpectWholeReport(r);
    const std::string log = e2e::ReadFile(dir_.File("zvbert0.0.log"));
    EXPECT_NE(log.find("Test Started"), std::string::npos) << log;
    EXPECT_NE(log.find("Test completed"), std::string::npos) << log;
}

TEST_F(WindowsAcceptance, HardwareTestLogsUnderTheHomeFoldersMyDocuments) {
    // HOMEDRIVE is the drive ("C:"), HOMEPATH the rest of the home folder.
    const std::string home = dir_.path();
    ASSERT_GT(home.size(), 2u);
    ASSERT_EQ(home[1], ':') << home;
    CreateDirectoryA((home + "\\My Documents").c_str(), nullptr);
    e2e::RunOptions options = Options();
    options.setEnv = {{"HOMEDRIVE", home.substr(0, 2)}, {"HOMEPATH", home.substr(2)}};
    options.unsetEnv.push_back("ZVBERTLOGPATH");
    RunResult r = e2e::RunOndrel({"-L3", "+l", "-c1", "-p1"}, options);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(r.Contains("Test Started [Hardware Mode]")) << r.out;
    Report report = LastReport(r);
    ASSERT_TRUE(report.found) << r.out;
    EXPECT_EQ(report.bitErrors, 0) << r.out;
    ExpectWholeReport(r);
    const std::string log = e2e::ReadFile(home + "\\My Documents\\zvbert1.1.log");
    EXPECT_NE(log.find("Test Started [Hardware Mode]"), std::string::npos) << log;
}

TEST_F(WindowsAcceptance, TheKeyXEndsATestWithItsFinalReport) {
    // The final report is data logging's (+l), as is "Test completed".
    e2e::ChildProcess child(ONDREL_BINARY, {"+S", "-v3", "+l"}, Options());
    // A report with its ratios says the test has run a whole second;
    // nothing else would end it.
    ASSERT_TRUE(child.WaitForOutput("ESR=", e2e::ScaledMs(20000))) << child.Output();
    const size_t typedAt = child.Output().size();
    ASSERT_TRUE(child.Type("x"));
    RunResult r = child.Finish(20000);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
    // The final report comes after the key, whole.
    const std::string after = r.out.substr(typedAt);
    EXPECT_NE(after.find("Test completed"), std::string::npos) << r.out;
    EXPECT_NE(after.find("TxCount="), std::string::npos) << r.out;
    EXPECT_EQ(LastReport(r).bitErrors, 0) << r.out;
    ExpectWholeReport(r);
}

TEST_F(WindowsAcceptance, TesterAndEchoResponderMeetOnASharedLine) {
    const std::string line = SharedLine("echo");
    e2e::ChildProcess echo(ONDREL_BINARY, {"+S", "-d4", "-k1000000", "-v3"}, Options(line));
    ASSERT_TRUE(echo.WaitForOutput("Starting ECHO thread", e2e::ScaledMs(20000))) << echo.Output();
    RunResult r = e2e::RunOndrel({"+S", "-k1000000", "-L3", "-S6", "-v3"}, Options(line));
    echo.Type("x");
    RunResult echoed = echo.Finish(20000);
    EXPECT_FALSE(echoed.timedOut);
    EXPECT_EQ(echoed.exitCode, 1) << echoed.out;
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out << "\n--- echo ---\n" << echoed.out;
    Report report = LastReport(r);
    EXPECT_EQ(report.bitErrors, 0) << r.out;
    EXPECT_GE(report.rx, 2000000) << r.out;  // three seconds at 1 Mbit/s went there and back
}

TEST_F(WindowsAcceptance, AMultiDropMasterPollsTwoSlavesInOtherProcesses) {
    const std::string line = SharedLine("md", "multidrop");
    std::vector<std::unique_ptr<e2e::ChildProcess>> slaves;
    for (int id : {1, 2}) {
        slaves.push_back(std::make_unique<e2e::ChildProcess>(
            ONDREL_BINARY, std::vector<std::string>{"+Ms" + std::to_string(id), "-k9600", "+l"},
            Options(line)));
        ASSERT_TRUE(slaves.back()->WaitForOutput("Test Started", e2e::ScaledMs(20000)))
            << slaves.back()->Output();
    }
    RunResult r = e2e::RunOndrel({"+Mm1.2", "-k9600", "+d32", "-L4", "+l"}, Options(line));
    for (auto& slave : slaves) slave->Type("x");
    for (auto& slave : slaves) EXPECT_FALSE(slave->Finish(20000).timedOut);
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(r.Contains("All slaves now in Sync")) << r.out;
    for (int id : {1, 2}) {
        static const std::regex kSlave(R"(Slave=(\d+) .*BitErr=(\d+))");
        bool seen = false;
        for (const std::string& text : r.Lines()) {
            std::smatch m;
            if (std::regex_search(text, m, kSlave) && std::stoi(m[1]) == id) {
                seen = true;
                EXPECT_EQ(m[2], "0") << text;
            }
        }
        EXPECT_TRUE(seen) << "slave " << id << "\n" << r.out;
    }
}

TEST_F(WindowsAcceptance, ARoundTripDelayTestGetsEveryFrameBackAtTheLinesDelay) {
    RunResult r = e2e::RunOndrel({"+R", "+d31", "-k64000", "-L3", "+l"},
                                 Options("[[card]]\n[card.impairment]\ndelay_ms = 20\n"));
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
    EXPECT_TRUE(r.Contains("Round Trip Delay Test Started")) << r.out;
    static const std::regex kSummary(
        R"(tx (\d+), rx (\d+), lost (\d+), late (\d+), last (\d+), min (\d+), max (\d+))");
    std::smatch m;
    std::string last;
    for (const std::string& text : r.Lines())
        if (std::regex_search(text, m, kSummary)) last = text;
    ASSERT_TRUE(std::regex_search(last, m, kSummary)) << r.out;
    EXPECT_GE(std::stoll(m[1]), 20);
    EXPECT_EQ(m[2], m[1]);
    EXPECT_EQ(m[3], "0");
    EXPECT_GE(std::stoi(m[6]), 19);
    EXPECT_LE(std::stoi(m[7]), 21);
}

// The front end's end of "\\.\pipe\ZorvanBERTPipe": takes the program's
// records, asks it to stop once statistics came, and acknowledges its end.
class ScriptedFrontEnd {
   public:
    ScriptedFrontEnd() {
        pipe_ = CreateNamedPipeA(
            "\\\\.\\pipe\\ZorvanBERTPipe",
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
        event_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~ScriptedFrontEnd() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
        if (event_ != nullptr) CloseHandle(event_);
    }
    bool Listening() const { return pipe_ != INVALID_HANDLE_VALUE && event_ != nullptr; }
    void Start() {
        thread_ = std::thread([this] { Serve(); });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    std::vector<uint32_t> tags;

   private:
    // One overlapped call waited for with a bound; false on failure or time-out.
    bool Await(BOOL started, DWORD* bytes, DWORD timeoutMs) {
        if (!started && ::GetLastError() != ERROR_IO_PENDING &&
            ::GetLastError() != ERROR_PIPE_CONNECTED)
            return false;
        if (!started && ::GetLastError() == ERROR_PIPE_CONNECTED) return true;
        for (DWORD waited = 0; waited < timeoutMs && !stop_; waited += 50) {
            if (WaitForSingleObject(event_, 50) == WAIT_OBJECT_0)
                return GetOverlappedResult(pipe_, &ov_, bytes, FALSE) != FALSE;
        }
        CancelIo(pipe_);
        GetOverlappedResult(pipe_, &ov_, bytes, TRUE);
        return false;
    }
    void Arm() {
        ZeroMemory(&ov_, sizeof ov_);
        ResetEvent(event_);
        ov_.hEvent = event_;
    }
    bool Send(uint32_t tag) {
        uint8_t record[kTlvRecordSize];
        EncodeTlv(tag, nullptr, 0, record);
        Arm();
        DWORD bytes = 0;
        return Await(WriteFile(pipe_, record, sizeof record, nullptr, &ov_), &bytes, 5000) &&
               bytes == sizeof record;
    }
    void Serve() {
        const DWORD bound = DWORD(e2e::ScaledMs(60000));
        Arm();
        DWORD bytes = 0;
        if (!Await(ConnectNamedPipe(pipe_, &ov_), &bytes, bound)) return;
        TlvAssembler assembler;
        bool stopSent = false;
        while (!stop_) {
            uint8_t buffer[512];
            Arm();
            if (!Await(ReadFile(pipe_, buffer, sizeof buffer, nullptr, &ov_), &bytes, bound))
                return;
            std::vector<uint32_t> got;
            assembler.Feed(buffer, bytes,
                           [&](const TlvRecord& record) { got.push_back(record.uTag); });
            for (uint32_t tag : got) {
                tags.push_back(tag);
                if (tag == ZVBERT_RX_BITS && !stopSent) stopSent = Send(ZVBERT_STOP);
                if (tag == ZVBERT_TEST_ENDED) Send(ZVBERT_END_ACK);
                if (tag == ZVBERT_EXIT_STATUS) return;
            }
        }
    }

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE event_ = nullptr;
    OVERLAPPED ov_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(WindowsAcceptance, TheFrontEndOverTheNamedPipeSeesTheTestFromStartToEnd) {
    ScriptedFrontEnd frontEnd;
    ASSERT_TRUE(frontEnd.Listening()) << ::GetLastError();
    frontEnd.Start();
    RunResult r = e2e::RunOndrel({"-g", "+S", "-v3"}, Options());
    frontEnd.Join();
    ASSERT_FALSE(r.timedOut) << r.out;
    EXPECT_EQ(r.exitCode, 1) << r.out;
    auto has = [&](uint32_t tag) {
        return std::find(frontEnd.tags.begin(), frontEnd.tags.end(), tag) != frontEnd.tags.end();
    };
    EXPECT_TRUE(has(ZVBERT_TEST_STARTED)) << r.out;
    EXPECT_TRUE(has(ZVBERT_RX_BITS));
    EXPECT_TRUE(has(ZVBERT_BIT_ERRORS));
    EXPECT_TRUE(has(ZVBERT_TEST_ENDED)) << r.out;
    ASSERT_FALSE(frontEnd.tags.empty());
    EXPECT_EQ(frontEnd.tags.back(), ZVBERT_EXIT_STATUS) << r.out;
    // Opening first; the end and the status last, in that order.
    EXPECT_EQ(std::count(frontEnd.tags.begin(), frontEnd.tags.end(), ZVBERT_TEST_STARTED), 1);
    auto ended = std::find(frontEnd.tags.begin(), frontEnd.tags.end(), ZVBERT_TEST_ENDED);
    auto started = std::find(frontEnd.tags.begin(), frontEnd.tags.end(), ZVBERT_TEST_STARTED);
    EXPECT_LT(started, ended);
}

}  // namespace
