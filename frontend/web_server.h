// The page on 127.0.0.1: the page itself, the plotting script, the live feed
// (server-sent events), the steering requests, the results and the figures
// for Prometheus. Every request but the page's first needs the session's
// token, which the address printed at the start carries: other users of the
// machine reach 127.0.0.1 too.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "frontend/program_link.h"
#include "frontend/run_model.h"

class WebServer {
   public:
    // At most this many live feeds at once: the others' requests need threads too.
    static constexpr int kMaxFeeds = 8;
    static constexpr int kThreads = kMaxFeeds + 8;
    // Requests with a longer body are refused before it is read.
    static constexpr size_t kMaxBodyBytes = 64 * 1024;

    WebServer(RunModel& model, ProgramLink& link);
    ~WebServer();

    // Binds 127.0.0.1:port (0: a free one) and serves on its own threads.
    // chartScript is the plotting library's code; empty: no plots. token
    // empty: a random one.
    bool Start(int port, std::string chartScript, std::string* error, std::string token = "");
    // Serves /metrics alone, without the token, on address:port as well
    // (for a Prometheus on another machine).
    bool StartMetrics(const std::string& address, int port, std::string* error);
    int Port() const { return port_; }
    int MetricsPort() const { return metricsPort_; }
    const std::string& Token() const { return token_; }
    // The address to open, token included.
    std::string PageUrl() const;
    void Stop();

   private:
    struct Server;
    void Route();
    bool AllowedHost(const std::string& host) const;

    RunModel& model_;
    ProgramLink& link_;
    std::unique_ptr<Server> server_;
    std::string chartScript_;
    std::string token_;
    int port_ = 0;
    int metricsPort_ = 0;
    std::atomic<int> feeds_{0};
};
