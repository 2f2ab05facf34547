// A front end for the tests: listens on the real pipe, keeps every record the
// program sends, answers the end of the test, and sends records (whole,
// split or broken) as a test asks.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gui/tlv.h"
#include "platform/pipe.h"

class ScriptedFrontEnd {
   public:
    // Listens in runtimeDir (which becomes this process's XDG_RUNTIME_DIR).
    explicit ScriptedFrontEnd(const std::string& runtimeDir);
    ~ScriptedFrontEnd();

    // Takes the program's connection and starts reading from it.
    bool Accept(int timeoutMs);
    void Send(uint32_t tag, std::vector<uint8_t> value = {});
    void SendBytes(const std::vector<uint8_t>& bytes);
    // Closes the pipe as a front end that dies does.
    void Close();

    // Waits for a record of the tag, among those from the index `from` on,
    // whose value satisfies the test (any, when none is given); false after
    // timeoutMs. The test runs under the lock: it may look only at the record.
    bool WaitFor(uint32_t tag, int timeoutMs,
                 const std::function<bool(const TlvRecord&)>& test = nullptr, size_t from = 0);
    // Records received so far, as the `from` of a later wait.
    size_t Mark();
    std::vector<TlvRecord> Received(uint32_t tag);
    // Every record from the index `from` on, in the order received.
    std::vector<TlvRecord> Since(size_t from);
    // The value of the last record of the tag: a byte, a word or a 64-bit
    // value after the given value offset; -1 when none came.
    int64_t Last64(uint32_t tag, uint32_t offset = 0);

   private:
    void ReadLoop();

    platform::PipeListener listener_;
    platform::PipeStream stream_;
    std::thread reader_;
    std::mutex sendMutex_;  // the reader answers the end while a test sends
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<TlvRecord> records_;
};

std::vector<uint8_t> TlvBytes(uint32_t tag, std::vector<uint8_t> value, uint32_t lengthField);
