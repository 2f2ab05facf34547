#include "tests/e2e_page/headless_browser.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

namespace {

constexpr int kCallTimeoutMs = 10000;

std::string DecodeBase64(const std::string& text) {
    static const std::string kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0, collected = 0;
    for (const char c : text) {
        const size_t v = kDigits.find(c);
        if (v == std::string::npos) continue;
        bits = (bits << 6) | static_cast<unsigned>(v);
        if ((collected += 6) >= 8) out += static_cast<char>((bits >> (collected -= 8)) & 0xFF);
    }
    return out;
}

}  // namespace

// Enough of JSON strings for the tests' texts: \n and the quoted characters.
std::string JsonStringAt(const std::string& text, size_t at) {
    std::string out;
    for (size_t i = at + 1; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && ++i < text.size())
            out += text[i] == 'n' ? '\n' : text[i];
        else
            out += text[i];
    }
    return out;
}

std::string JsonStringField(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const size_t at = json.find(key);
    return at == std::string::npos ? "" : JsonStringAt(json, at + key.size() - 1);
}

HeadlessBrowser::HeadlessBrowser(const std::string& profileDir) {
    int commands[2], answers[2];
    if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(answers, O_CLOEXEC) != 0) return;
    const std::vector<std::string> args = {"chromium",
                                           "--headless",
                                           "--no-sandbox",
                                           "--disable-gpu",
                                           "--remote-debugging-pipe",
                                           "--user-data-dir=" + profileDir,
                                           "--window-size=1280,1060",
                                           "--hide-scrollbars",
                                           "--no-first-run",
                                           "--no-default-browser-check",
                                           "--disable-extensions",
                                           "about:blank"};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        // The browser reads its commands on fd 3 and answers on fd 4.
        // (Copied above 4 first, so that neither lands on the other's number.)
        const int in = fcntl(commands[0], F_DUPFD, 10), out = fcntl(answers[1], F_DUPFD, 10);
        dup2(in, 3);
        dup2(out, 4);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        execvp("chromium", argv.data());
        _exit(127);
    }
    close(commands[0]);
    close(answers[1]);
    toBrowser_ = commands[1];
    fromBrowser_ = answers[0];
}

HeadlessBrowser::~HeadlessBrowser() {
    if (pid_ <= 0) return;
    Call("Browser.close", "{}");
    close(toBrowser_);
    close(fromBrowser_);
    for (int i = 0; i < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool HeadlessBrowser::ReadMessage(std::string* message, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const size_t end = pending_.find('\0');
        if (end != std::string::npos) {
            *message = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        pollfd p{fromBrowser_, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[65536];
        const ssize_t n = read(fromBrowser_, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

std::string HeadlessBrowser::Call(const std::string& method, const std::string& params) {
    if (pid_ <= 0) return "";
    const int id = nextId_++;
    std::string command =
        "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" + params;
    if (!session_.empty()) command += ",\"sessionId\":\"" + session_ + "\"";
    command += "}";
    command += '\0';
    if (write(toBrowser_, command.data(), command.size()) != static_cast<ssize_t>(command.size()))
        return "";
    const std::string answerStart = "{\"id\":" + std::to_string(id) + ",";
    std::string message;
    while (ReadMessage(&message, kCallTimeoutMs))
        if (message.rfind(answerStart, 0) == 0) return message;  // events go by
    return "";
}

bool HeadlessBrowser::Open(const std::string& url) {
    const std::string target =
        JsonStringField(Call("Target.createTarget", "{\"url\":\"" + url + "\"}"), "targetId");
    if (target.empty()) return false;
    session_ = JsonStringField(
        Call("Target.attachToTarget", "{\"targetId\":\"" + target + "\",\"flatten\":true}"),
        "sessionId");
    return !session_.empty();
}

std::string HeadlessBrowser::Evaluate(const std::string& expression) {
    std::string quoted = "\"";
    for (const char c : expression) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c == '\n' ? ' ' : c;
    }
    const std::string answer =
        Call("Runtime.evaluate", "{\"expression\":" + quoted + "\",\"returnByValue\":true}");
    const std::string key = "\"value\":";
    const size_t at = answer.find(key);
    if (at == std::string::npos) return "";
    const size_t value = at + key.size();
    if (answer[value] == '"') return JsonStringAt(answer, value);
    return answer.substr(value, answer.find_first_of(",}", value) - value);
}

bool HeadlessBrowser::WaitUntil(const std::string& expression, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (Evaluate("!!(" + expression + ")") == "true") return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool HeadlessBrowser::Screenshot(const std::string& pngPath) {
    const std::string data =
        JsonStringField(Call("Page.captureScreenshot", "{\"format\":\"png\"}"), "data");
    if (data.empty()) return false;
    std::ofstream(pngPath, std::ios::binary) << DecodeBase64(data);
    return true;
}
