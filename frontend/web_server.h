// The page on 127.0.0.1: the page itself, the plotting script, the live feed
// (server-sent events), the steering requests and the results.
#pragma once

#include <memory>
#include <string>

#include "frontend/program_link.h"
#include "frontend/run_model.h"

class WebServer {
public:
    WebServer(RunModel& model, ProgramLink& link);
    ~WebServer();

    // Binds 127.0.0.1:port (0: a free one) and serves on its own threads.
    // chartScript is the plotting library's code; empty: no plots.
    bool Start(int port, std::string chartScript, std::string* error);
    int Port() const { return port_; }
    void Stop();

private:
    struct Server;
    void Route();
    bool AllowedHost(const std::string& host) const;

    RunModel& model_;
    ProgramLink& link_;
    std::unique_ptr<Server> server_;
    std::string chartScript_;
    int port_ = 0;
};
