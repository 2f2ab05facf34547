#include "frontend/web_server.h"

#include <httplib.h>

#include <thread>

#include "frontend/commands.h"
#include "frontend/page.h"

struct WebServer::Server {
    httplib::Server http;
    std::thread thread;
};

namespace {

constexpr int kFeedWaitMs = 1000;

void Download(httplib::Response& res, const std::string& body, const char* type,
              const char* name) {
    res.set_header("Content-Disposition", std::string("attachment; filename=\"") + name + "\"");
    res.set_content(body, type);
}

}  // namespace

WebServer::WebServer(RunModel& model, ProgramLink& link)
    : model_(model), link_(link), server_(std::make_unique<Server>()) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(int port, std::string chartScript, std::string* error) {
    chartScript_ = std::move(chartScript);
    Route();
    httplib::Server& http = server_->http;
    if (port == 0) {
        port_ = http.bind_to_any_port("127.0.0.1");
    } else if (http.bind_to_port("127.0.0.1", port)) {
        port_ = port;
    }
    if (port_ <= 0) {
        *error = "cannot serve on 127.0.0.1:" + std::to_string(port) + " (port in use?)";
        return false;
    }
    server_->thread = std::thread([&http] { http.listen_after_bind(); });
    return true;
}

void WebServer::Stop() {
    if (!server_->thread.joinable()) return;
    model_.Close();  // ends the live feeds, which would hold the server's threads
    server_->http.stop();
    server_->thread.join();
}

// A page from another site may send requests to 127.0.0.1 from the user's
// browser, or reach it through a name of its own: only our own host names,
// and steering only with a header such a page cannot set without asking.
bool WebServer::AllowedHost(const std::string& host) const {
    const std::string port = ":" + std::to_string(port_);
    return host == "127.0.0.1" + port || host == "localhost" + port;
}

void WebServer::Route() {
    httplib::Server& http = server_->http;
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (AllowedHost(req.get_header_value("Host"))) return httplib::Server::HandlerResponse::Unhandled;
        res.status = 403;
        res.set_content("Only http://127.0.0.1 and http://localhost are served.\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
    http.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kPageHtml, "text/html; charset=utf-8");
    });
    http.Get("/chart.js", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(chartScript_, "text/javascript");
    });
    http.Get("/results.json", [this](const httplib::Request&, httplib::Response& res) {
        Download(res, model_.ResultsJson(), "application/json", "ondrel-results.json");
    });
    http.Get("/results.csv", [this](const httplib::Request&, httplib::Response& res) {
        Download(res, model_.ResultsCsv(), "text/csv", "ondrel-results.csv");
    });
    http.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-cache");
        auto cursor = std::make_shared<FeedCursor>();
        res.set_chunked_content_provider(
            "text/event-stream", [this, cursor](size_t, httplib::DataSink& sink) {
                const std::string events = model_.NextEvents(*cursor, kFeedWaitMs);
                return sink.write(events.data(), events.size()) && !model_.Closed();
            });
    });
    http.Post("/command", [this](const httplib::Request& req, httplib::Response& res) {
        Command command;
        std::string error;
        if (req.get_header_value("X-Ondrel") != "1") {
            res.status = 403;
            error = "the X-Ondrel header is missing";
        } else if (!ParseCommand([&](const char* name) { return req.get_param_value(name); },
                                 &command, &error)) {
            res.status = 400;
        } else if (!link_.Send(command.uTag, command.value)) {
            res.status = 409;
            error = "ondrel is not connected";
        }
        res.set_content(error.empty() ? "ok\n" : error + "\n", "text/plain");
    });
}
