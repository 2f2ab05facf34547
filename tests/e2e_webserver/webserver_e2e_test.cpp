// The real front end as other programs meet it: who may open the page and
// steer, what a hostile page or client cannot do, a second front end, a
// pipe folder of another user, and a real Prometheus scraping /metrics.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_support/e2e_support.h"

namespace {

// Bounds grow with the sanitizers' slowdown.
const int kWaitMs = e2e::ScaledMs(20000);
constexpr int kPumpMs = 50;

// A raw connection, for requests a well-behaved client never makes.
struct RawClient {
    int fd = -1;
    explicit RawClient(int port) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~RawClient() {
        if (fd >= 0) close(fd);
    }
    bool Send(const std::string& text) {
        return fd >= 0 && send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
                              static_cast<ssize_t>(text.size());
    }
    // What came until text appeared or timeoutMs passed.
    std::string ReadUntil(const std::string& text, int timeoutMs) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
};

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t size = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    close(fd);
    return ntohs(a.sin_port);
}

std::string After(const std::string& text, const std::string& label, const char* stops = " \n") {
    const size_t at = text.rfind(label);
    if (at == std::string::npos) return "";
    const size_t from = at + label.size();
    return text.substr(from, text.find_first_of(stops, from) - from);
}

class FrontEndServer : public ::testing::Test {
   protected:
    // A front end waiting for an ondrel started by hand, or running this one.
    void Start(const std::vector<std::string>& ondrelArgs = {},
               const std::string& simConfig = "[[card]]\n", std::vector<std::string> extra = {}) {
        options_ = e2e::SimRunOptions(dir_, "sim.toml", simConfig);
        options_.setEnv.push_back({"XDG_RUNTIME_DIR", dir_.path()});
        std::vector<std::string> args = {"--port", "0", "--results", dir_.File("results")};
        args.insert(args.end(), extra.begin(), extra.end());
        if (ondrelArgs.empty()) {
            args.insert(args.end(), {"--attach", "--exit"});
        } else {
            args.insert(args.end(), {"--ondrel", ONDREL_BINARY});
            args.insert(args.end(), ondrelArgs.begin(), ondrelArgs.end());
        }
        frontEnd_ = std::make_unique<e2e::ChildProcess>(ONDREL_FRONTEND, args, options_);
        ASSERT_TRUE(frontEnd_->WaitForOutput("token=", kWaitMs)) << frontEnd_->Output();
        for (int waited = 0; frontEnd_->Output().find('\n', frontEnd_->Output().find("token=")) ==
                             std::string::npos;
             waited += kPumpMs) {
            ASSERT_LT(waited, kWaitMs) << "the address line never ended";
            frontEnd_->WaitForOutput("\x01", kPumpMs);
        }
        const std::string url = After(frontEnd_->Output(), "the test is shown at ");
        port_ = std::stoi(After(url, "127.0.0.1:", "/"));
        token_ = After(url, "token=");
    }
    httplib::Client Client() {
        httplib::Client client("127.0.0.1", port_);
        client.set_read_timeout(std::chrono::milliseconds(kWaitMs));
        return client;
    }
    httplib::Headers WithToken() { return {{"Cookie", "ondrel-token=" + token_}}; }
    e2e::RunResult End() {
        frontEnd_->Signal(SIGTERM);
        return frontEnd_->Finish(kWaitMs);
    }
    e2e::TempDir dir_;
    e2e::RunOptions options_;
    std::unique_ptr<e2e::ChildProcess> frontEnd_;
    int port_ = 0;
    std::string token_;
};

TEST_F(FrontEndServer, OnlyTheHolderOfTheTokenSeesOrSteersAndNoOtherSiteFramesThePage) {
    Start();
    httplib::Client client = Client();
    struct Case {
        const char* path;
        bool withToken;
        int status;
    };
    const Case cases[] = {
        {"/", false, 403},        {"/events", false, 403},
        {"/metrics", false, 403}, {"/results.json", false, 403},
        {"/metrics", true, 200},  {"/results.json", true, 200},
    };
    for (const Case& c : cases) {
        auto res = c.withToken ? client.Get(c.path, WithToken()) : client.Get(c.path);
        ASSERT_TRUE(res) << c.path;
        EXPECT_EQ(res->status, c.status)
            << c.path << (c.withToken ? " with" : " without") << " the token";
    }
    auto page = client.Get(("/?token=" + token_).c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("X-Frame-Options"), "DENY");
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
              std::string::npos);
    EXPECT_NE(page->get_header_value("Set-Cookie").find("ondrel-token=" + token_),
              std::string::npos);
    EXPECT_NE(page->get_header_value("Set-Cookie").find("SameSite=Strict"), std::string::npos);
    auto steer =
        client.Post("/command", WithToken(), "cmd=stop", "application/x-www-form-urlencoded");
    ASSERT_TRUE(steer);
    EXPECT_EQ(steer->status, 403) << "steering without the X-Ondrel header";
    End();
}

TEST_F(FrontEndServer, AHugeBodyIsRefusedBeforeItIsRead) {
    Start();
    RawClient raw(port_);
    // Only the head: the answer must come without the 300 MB.
    ASSERT_TRUE(raw.Send("POST /command HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                         "\r\nCookie: ondrel-token=" + token_ +
                         "\r\nX-Ondrel: 1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                         "Content-Length: 314572800\r\n\r\ncmd=stop&"));
    const std::string answer = raw.ReadUntil("\r\n\r\n", kWaitMs);
    EXPECT_EQ(answer.rfind("HTTP/1.1 413", 0), 0u) << answer;
    End();
}

TEST_F(FrontEndServer, OpenLiveFeedsLeaveThreadsForThePageAndTheSteering) {
    Start();
    std::vector<std::unique_ptr<RawClient>> feeds;
    const std::string request = "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                "\r\nCookie: ondrel-token=" + token_ + "\r\n\r\n";
    int served = 0, refused = 0;
    for (int i = 0; i < 12; ++i) {
        feeds.push_back(std::make_unique<RawClient>(port_));
        ASSERT_TRUE(feeds.back()->Send(request));
        // Each feed answers (its snapshot or a refusal) before the next opens.
        const std::string answer = feeds.back()->ReadUntil("\r\n\r\n", kWaitMs);
        served += answer.rfind("HTTP/1.1 200", 0) == 0;
        refused += answer.rfind("HTTP/1.1 503", 0) == 0;
    }
    EXPECT_EQ(served, 8);
    EXPECT_EQ(refused, 4);
    httplib::Client client = Client();
    auto page = client.Get(("/?token=" + token_).c_str());
    ASSERT_TRUE(page) << "the page did not answer with every feed open";
    EXPECT_EQ(page->status, 200);
    auto steer = client.Post("/command", {{"Cookie", "ondrel-token=" + token_}, {"X-Ondrel", "1"}},
                             "cmd=stop", "application/x-www-form-urlencoded");
    ASSERT_TRUE(steer);
    EXPECT_EQ(steer->status, 409);  // answered: no ondrel is connected yet
    End();
}

TEST_F(FrontEndServer, ASecondFrontEndLeavesTheFirstOnesProgramAlone) {
    Start();
    // Several at once, as a user double-clicking might.
    std::vector<std::unique_ptr<e2e::ChildProcess>> others;
    for (int i = 0; i < 4; ++i)
        others.push_back(std::make_unique<e2e::ChildProcess>(
            ONDREL_FRONTEND,
            std::vector<std::string>{"--port", "0", "--attach", "--results", dir_.File("other")},
            options_));
    for (auto& other : others) {
        e2e::RunResult r = other->Finish(kWaitMs);
        EXPECT_EQ(r.exitCode, 2) << r.out;
        EXPECT_NE(r.out.find("another front end listens there"), std::string::npos) << r.out;
    }
    // The first front end still takes the program, and the test runs to its end.
    e2e::ChildProcess ondrel(ONDREL_BINARY, {"-g", "+S", "-k64000", "-L2"}, options_);
    e2e::RunResult r = ondrel.Finish(kWaitMs);
    EXPECT_EQ(r.exitCode, 1) << r.out;
    ASSERT_TRUE(frontEnd_->WaitForOutput("results in", kWaitMs)) << frontEnd_->Output();
    EXPECT_NE(e2e::ReadFile(dir_.File("results.json")).find("\"title\":\"Clean line\""),
              std::string::npos);
    End();
}

TEST_F(FrontEndServer, TheMetricsAddressServesTheMetricsAloneWithoutTheToken) {
    Start({}, "[[card]]\n", {"--metrics", "127.0.0.1:0"});
    ASSERT_TRUE(frontEnd_->WaitForOutput("/metrics\n", kWaitMs)) << frontEnd_->Output();
    const int port =
        std::stoi(After(frontEnd_->Output(), "metrics for Prometheus at http://127.0.0.1:", "/"));
    httplib::Client metrics("127.0.0.1", port);
    auto res = metrics.Get("/metrics");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_NE(res->body.find("ondrel_connected 0\n"), std::string::npos) << res->body;
    EXPECT_EQ(res->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    // Nothing else there: no page, no steering.
    for (const char* path : {"/", "/events", "/results.json"}) {
        auto other = metrics.Get(path);
        ASSERT_TRUE(other) << path;
        EXPECT_EQ(other->status, 404) << path;
    }
    auto steer = metrics.Post("/command", {{"X-Ondrel", "1"}}, "cmd=stop",
                              "application/x-www-form-urlencoded");
    ASSERT_TRUE(steer);
    EXPECT_EQ(steer->status, 404);
    End();
}

// Runs ondrel as another user, whose fallback pipe folder in /tmp this user
// (root) has made: ondrel must not connect into it.
TEST(PipeFolder, OndrelDoesNotConnectIntoAFolderAnotherUserOwns) {
    if (getuid() != 0 || !std::filesystem::exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "needs root and setpriv";
    const int uid = 61000 + static_cast<int>(getpid() % 4000);
    const std::string folder = "/tmp/ondrel-" + std::to_string(uid);
    std::filesystem::remove_all(folder);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = folder + "/ZorvanBERTPipe";
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    chmod(path.c_str(), 0777);
    ASSERT_EQ(listen(listener, 4), 0);

    e2e::TempDir home;
    chmod(home.path().c_str(), 0777);
    e2e::RunOptions options = e2e::SimRunOptions(home, "sim.toml", "[[card]]\n");
    options.unsetEnv.push_back("XDG_RUNTIME_DIR");
    e2e::RunResult r =
        e2e::RunProgram("/usr/bin/setpriv",
                        {"--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid),
                         "--clear-groups", ONDREL_BINARY, "-g", "+S", "-k64000", "-L1"},
                        options);
    pollfd p{listener, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "ondrel connected into another user's folder";
    EXPECT_EQ(r.exitCode, 6) << r.out;
    close(listener);
    std::filesystem::remove_all(folder);
}

// A real Prometheus scrapes the front end; after the test, its query API
// has the bit error count of the console's final report.
TEST_F(FrontEndServer, PrometheusScrapesTheFiguresOfTheConsolesReport) {
    if (!std::filesystem::exists("/usr/bin/prometheus"))
        GTEST_SKIP() << "Debian package prometheus missing";
    Start({"+S", "-k64000", "-L3", "+l"},
          "[[card]]\n[card.impairment]\nbit_error_rate = 1e-3\nseed = 5\n");
    const int promPort = FreePort();
    const std::string config = dir_.File("prometheus.yml");
    e2e::WriteFile(config,
                   "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: ondrel\n"
                   "    metrics_path: /metrics\n    params:\n      token: ['" +
                       token_ +
                       "']\n"
                       "    static_configs:\n      - targets: ['127.0.0.1:" +
                       std::to_string(port_) + "']\n");
    e2e::RunOptions promOptions;
    promOptions.timeoutMs = 120000;
    e2e::ChildProcess prometheus(
        "/usr/bin/prometheus",
        {"--config.file=" + config, "--storage.tsdb.path=" + dir_.File("tsdb"),
         "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
        promOptions);
    ASSERT_TRUE(frontEnd_->WaitForOutput("results in", kWaitMs)) << frontEnd_->Output();
    const std::string consoleErrors = After(frontEnd_->Output(), "BitErr=");
    ASSERT_FALSE(consoleErrors.empty()) << frontEnd_->Output();
    ASSERT_GT(std::stoll(consoleErrors), 0);

    httplib::Client api("127.0.0.1", promPort);
    api.set_read_timeout(std::chrono::seconds(5));
    std::string answer;
    const std::string wanted = "\"value\":[";
    bool matched = false;
    // Until Prometheus has scraped the ended test (it starts and scrapes on its own time).
    for (int waited = 0; waited < e2e::ScaledMs(60000) && !matched; waited += 250) {
        auto res = api.Get("/api/v1/query?query=ondrel_bit_errors_total");
        if (res && res->status == 200) {
            answer = res->body;
            matched =
                After(answer, wanted, "]").find("\"" + consoleErrors + "\"") != std::string::npos;
        }
        if (!matched) prometheus.WaitForOutput("\x01", 250);
    }
    EXPECT_TRUE(matched) << "console BitErr=" << consoleErrors << ", Prometheus: " << answer;
    prometheus.Signal(SIGTERM);
    prometheus.Finish(kWaitMs);
    End();
}

}  // namespace
