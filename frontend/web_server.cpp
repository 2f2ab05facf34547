#include "frontend/web_server.h"

#include <httplib.h>

#include <fstream>
#include <random>
#include <thread>

#include "frontend/commands.h"
#include "frontend/page.h"

struct WebServer::Server {
    httplib::Server http;
    std::thread thread;
    httplib::Server metrics;
    std::thread metricsThread;
};

namespace {

constexpr int kFeedWaitMs = 1000;
constexpr size_t kFileChunk = 64 * 1024;
const char* const kCookie = "ondrel-token";
const char* const kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

void Download(httplib::Response& res, const std::string& body, const char* type, const char* name) {
    res.set_header("Content-Disposition", std::string("attachment; filename=\"") + name + "\"");
    res.set_content(body, type);
}

std::string RandomToken() {
    std::random_device device;
    std::string token;
    const char* digits = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) token += digits[device() % 16];
    return token;
}

// The value of one cookie in a Cookie header; "" when absent.
std::string CookieValue(const std::string& header, const std::string& name) {
    size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';')) ++at;
        const size_t end = header.find(';', at);
        const std::string pair =
            header.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (pair.rfind(name + "=", 0) == 0) return pair.substr(name.size() + 1);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return "";
}

// The file as it stands when the download starts, read a piece at a time.
void DownloadFile(httplib::Response& res, const std::string& path, const char* type,
                  const char* name) {
    std::ifstream probe(path, std::ios::binary | std::ios::ate);
    const size_t size = probe ? static_cast<size_t>(probe.tellg()) : 0;
    res.set_header("Content-Disposition", std::string("attachment; filename=\"") + name + "\"");
    auto file = std::make_shared<std::ifstream>(path, std::ios::binary);
    res.set_content_provider(
        size, type, [file](size_t offset, size_t length, httplib::DataSink& sink) {
            std::vector<char> chunk(std::min(length, kFileChunk));
            file->seekg(static_cast<std::streamoff>(offset));
            file->read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            const std::streamsize got = file->gcount();
            return got > 0 && sink.write(chunk.data(), static_cast<size_t>(got));
        });
}

}  // namespace

WebServer::WebServer(RunModel& model, ProgramLink& link)
    : model_(model), link_(link), server_(std::make_unique<Server>()) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::Start(int port, std::string chartScript, std::string* error, std::string token) {
    chartScript_ = std::move(chartScript);
    token_ = token.empty() ? RandomToken() : std::move(token);
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

bool WebServer::StartMetrics(const std::string& address, int port, std::string* error) {
    httplib::Server& metrics = server_->metrics;
    metrics.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(model_.MetricsText(), kMetricsType);
    });
    metricsPort_ = port == 0                             ? metrics.bind_to_any_port(address)
                   : metrics.bind_to_port(address, port) ? port
                                                         : -1;
    if (metricsPort_ <= 0) {
        *error = "cannot serve the metrics on " + address + ":" + std::to_string(port);
        return false;
    }
    server_->metricsThread = std::thread([&metrics] { metrics.listen_after_bind(); });
    return true;
}

std::string WebServer::PageUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_;
}

void WebServer::Stop() {
    if (server_->metricsThread.joinable()) {
        server_->metrics.stop();
        server_->metricsThread.join();
    }
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
    http.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    http.set_payload_max_length(kMaxBodyBytes);
    // Neither framed by another site (a click in a hidden frame would steer
    // the test) nor guessed at by the browser.
    http.set_default_headers({{"X-Frame-Options", "DENY"},
                              {"Content-Security-Policy", "frame-ancestors 'none'"},
                              {"X-Content-Type-Options", "nosniff"},
                              {"Referrer-Policy", "no-referrer"}});
    http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        auto refuse = [&](int status, const std::string& text) {
            res.status = status;
            res.set_header("Connection", "close");
            res.set_content(text, "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        };
        if (!AllowedHost(req.get_header_value("Host")))
            return refuse(403, "Only http://127.0.0.1 and http://localhost are served.\n");
        // Before the body is read: a huge one would be buffered whole first.
        if (req.has_header("Content-Length") &&
            std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) >
                kMaxBodyBytes)
            return refuse(413, "The request is too large.\n");
        const bool tokenGiven = req.get_param_value("token") == token_ ||
                                CookieValue(req.get_header_value("Cookie"), kCookie) == token_ ||
                                req.get_header_value("Authorization") == "Bearer " + token_;
        if (!tokenGiven)
            return refuse(
                403,
                "Open the address ondrel-frontend printed at its start (it carries the token).\n");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    http.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie",
                       std::string(kCookie) + "=" + token_ + "; Path=/; HttpOnly; SameSite=Strict");
        res.set_header("Cache-Control", "no-store");
        res.set_content(kPageHtml, "text/html; charset=utf-8");
    });
    http.Get("/chart.js", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(chartScript_, "text/javascript");
    });
    http.Get("/results.json", [this](const httplib::Request&, httplib::Response& res) {
        Download(res, model_.ResultsJson(), "application/json", "ondrel-results.json");
    });
    http.Get("/results.csv", [this](const httplib::Request&, httplib::Response& res) {
        DownloadFile(res, model_.CsvPath(), "text/csv", "ondrel-results.csv");
    });
    http.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(model_.MetricsText(), kMetricsType);
    });
    http.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        if (feeds_.fetch_add(1) >= kMaxFeeds) {
            feeds_.fetch_sub(1);
            res.status = 503;
            res.set_header("Retry-After", "5");
            res.set_content("Too many pages are open on this test.\n", "text/plain");
            return;
        }
        res.set_header("Cache-Control", "no-cache");
        auto cursor = std::make_shared<FeedCursor>();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, cursor](size_t, httplib::DataSink& sink) {
                const std::string events = model_.NextEvents(*cursor, kFeedWaitMs);
                return sink.write(events.data(), events.size()) && !model_.Closed();
            },
            [this](bool) { feeds_.fetch_sub(1); });
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
