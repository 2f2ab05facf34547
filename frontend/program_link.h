// The pipe to `ondrel -g`: the front end listens, the program connects.
// Every record read goes into the run model, and the end of the test is
// answered at once, so the program never waits on the front end.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "frontend/run_model.h"
#include "platform/pipe.h"

class ProgramLink {
   public:
    explicit ProgramLink(RunModel& model) : model_(model) {}

    // False, with the reason, when the pipe cannot be made (another front
    // end listens there, the folder is not this user's...).
    bool Listen(std::string* error);
    const std::string& Path() const { return listener_.Path(); }
    // Takes the program's connection; false after timeoutMs. Later programs
    // find no pipe.
    bool Accept(int timeoutMs);
    // Reads until the program closes the pipe or Shutdown is called.
    void Serve();
    void Shutdown();
    // A whole record to the program; false when none is connected.
    bool Send(uint32_t tag, const std::vector<uint8_t>& value);

   private:
    RunModel& model_;
    platform::PipeListener listener_;
    platform::PipeStream stream_;
    std::mutex sendMutex_;
    std::atomic<bool> connected_{false};
};
