// Headless Chromium driven over its DevTools protocol on a pair of pipes
// (--remote-debugging-pipe): open a page, run script in it, take a picture.
#pragma once

#include <string>

class HeadlessBrowser {
   public:
    // Starts the browser with its profile in profileDir.
    explicit HeadlessBrowser(const std::string& profileDir);
    ~HeadlessBrowser();
    HeadlessBrowser(const HeadlessBrowser&) = delete;
    HeadlessBrowser& operator=(const HeadlessBrowser&) = delete;

    bool Started() const { return pid_ > 0; }
    bool Open(const std::string& url);
    // The value of a script expression in the page, as a string; "" on failure.
    std::string Evaluate(const std::string& expression);
    // Polls until the expression is true; false after timeoutMs.
    bool WaitUntil(const std::string& expression, int timeoutMs);
    bool Screenshot(const std::string& pngPath);

   private:
    // Sends one command and returns its answer (the whole message); "" when
    // none came within the time-out.
    std::string Call(const std::string& method, const std::string& params);
    bool ReadMessage(std::string* message, int timeoutMs);

    int pid_ = -1;
    int toBrowser_ = -1;
    int fromBrowser_ = -1;
    int nextId_ = 1;
    std::string session_;
    std::string pending_;
};

// The JSON string that starts at text[at] (at its opening quote), unescaped.
std::string JsonStringAt(const std::string& text, size_t at);
// The value of the first string field of that name in a JSON text; "" if none.
std::string JsonStringField(const std::string& json, const std::string& name);
