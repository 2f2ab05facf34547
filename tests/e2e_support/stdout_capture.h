// Catches what the test process itself writes to stdout (file descriptor 1),
// for in-process tests of code that prints. One capture at a time.
//
//   StdoutCapture capture;
//   LogPrint(1, "hello\n");
//   EXPECT_EQ(capture.Stop(), "hello\n");
#pragma once

#include <string>

namespace e2e {

class StdoutCapture {
   public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Puts stdout back and returns what was written since the start; later
    // calls return the same text.
    std::string Stop();

   private:
    int savedFd_ = -1;
    int fileFd_ = -1;
    std::string text_;
};

}  // namespace e2e
