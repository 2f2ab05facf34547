#include "tests/e2e_frontend/scripted_front_end.h"

#include <stdlib.h>

#include <chrono>

#include "gui/tags.h"

ScriptedFrontEnd::ScriptedFrontEnd(const std::string& runtimeDir) {
    setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    std::string error;
    listener_.Listen("ZorvanBERTPipe", &error);
}

ScriptedFrontEnd::~ScriptedFrontEnd() {
    Close();
    unsetenv("XDG_RUNTIME_DIR");
}

bool ScriptedFrontEnd::Accept(int timeoutMs) {
    stream_ = platform::PipeStream(listener_.Accept(timeoutMs));
    if (!stream_.IsOpen()) return false;
    reader_ = std::thread([this] { ReadLoop(); });
    return true;
}

void ScriptedFrontEnd::ReadLoop() {
    TlvAssembler assembler;
    uint8_t buffer[4096];
    for (;;) {
        long n = stream_.Read(buffer, sizeof buffer, -1);
        if (n <= 0) return;
        bool ended = false;
        assembler.Feed(buffer, static_cast<uint32_t>(n), [&](const TlvRecord& r) {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(r);
            ended = ended || r.uTag == ZVBERT_TEST_ENDED;
        });
        arrived_.notify_all();
        if (ended) Send(ZVBERT_END_ACK);
    }
}

std::vector<uint8_t> TlvBytes(uint32_t tag, std::vector<uint8_t> value, uint32_t lengthField) {
    std::vector<uint8_t> bytes(kTlvRecordSize);
    EncodeTlv(tag, value.data(), static_cast<uint32_t>(value.size()), bytes.data());
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<uint8_t>(lengthField >> (8 * i));
    return bytes;
}

void ScriptedFrontEnd::Send(uint32_t tag, std::vector<uint8_t> value) {
    const uint32_t length = static_cast<uint32_t>(value.size());
    SendBytes(TlvBytes(tag, std::move(value), length));
}

void ScriptedFrontEnd::SendBytes(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    stream_.WriteAll(bytes.data(), bytes.size());
}

void ScriptedFrontEnd::Close() {
    stream_.Shutdown();
    if (reader_.joinable()) reader_.join();
    stream_.Close();
    listener_.Close();
}

bool ScriptedFrontEnd::WaitFor(uint32_t tag, int timeoutMs,
                               const std::function<bool(const TlvRecord&)>& test, size_t from) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (size_t i = from; i < records_.size(); ++i)
            if (records_[i].uTag == tag && (!test || test(records_[i]))) return true;
        return false;
    });
}

size_t ScriptedFrontEnd::Mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

std::vector<TlvRecord> ScriptedFrontEnd::Received(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TlvRecord> out;
    for (const TlvRecord& r : records_)
        if (r.uTag == tag) out.push_back(r);
    return out;
}

std::vector<TlvRecord> ScriptedFrontEnd::Since(size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (from >= records_.size()) return {};
    return {records_.begin() + static_cast<std::ptrdiff_t>(from), records_.end()};
}

int64_t ScriptedFrontEnd::Last64(uint32_t tag, uint32_t offset) {
    std::vector<TlvRecord> all = Received(tag);
    if (all.empty()) return -1;
    const TlvRecord& r = all.back();
    if (offset > r.uLength) return -1;
    if (r.uLength - offset >= 8) return static_cast<int64_t>(r.U64(offset));
    if (r.uLength - offset >= 4) return r.U32(offset);
    return r.Byte(offset);
}
