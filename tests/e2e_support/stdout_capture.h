// Catches what the test process itself writes to stdout (file descriptor 1),
// or to stderr when given, for in-process tests of code that prints. One
// capture of a stream at a time.
//
//   StdoutCapture capture;
//   LogPrint(1, "hello\n");
//   EXPECT_EQ(capture.Stop(), "hello\n");
#pragma once

#include <stdio.h>

#include <string>

namespace e2e {

class StdoutCapture {
   public:
    explicit StdoutCapture(FILE* stream = stdout);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Puts stdout back and returns what was written since the start; later
    // calls return the same text.
    std::string Stop();
    // What was written so far, while the capture goes on: for a test that
    // waits for a line another thread prints.
    std::string Peek();

   private:
    FILE* stream_;
    std::string path_;  // Windows only: the file, opened again to peek
    int savedFd_ = -1;
    int fileFd_ = -1;
    std::string text_;
};

}  // namespace e2e
