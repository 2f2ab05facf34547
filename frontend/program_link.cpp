#include "frontend/program_link.h"

#include "gui/tags.h"

bool ProgramLink::Listen(std::string* error) { return listener_.Listen("ZorvanBERTPipe", error); }

bool ProgramLink::Accept(int timeoutMs) {
    const int fd = listener_.Accept(timeoutMs);
    if (fd < 0) return false;
    stream_ = platform::PipeStream(fd);
    listener_.Close();
    connected_ = true;
    model_.SetConnected(true);
    return true;
}

void ProgramLink::Serve() {
    TlvAssembler assembler;
    uint8_t buffer[4096];
    for (;;) {
        const long n = stream_.Read(buffer, sizeof buffer, -1);
        if (n <= 0) break;
        bool ended = false;
        const TlvFeedResult fed =
            assembler.Feed(buffer, static_cast<uint32_t>(n), [&](const TlvRecord& record) {
                model_.Apply(record);
                ended = ended || record.uTag == ZVBERT_TEST_ENDED;
            });
        if (fed.bBadLength)
            model_.Note("A record from ondrel claimed " + std::to_string(fed.uBadLength) +
                        " value bytes; " + std::to_string(fed.uDropped) + " bytes dropped");
        if (ended) Send(ZVBERT_END_ACK, {});
    }
    connected_ = false;
    model_.SetConnected(false);
}

void ProgramLink::Shutdown() { stream_.Shutdown(); }

bool ProgramLink::Send(uint32_t tag, const std::vector<uint8_t>& value) {
    if (!connected_) return false;
    uint8_t record[kTlvRecordSize];
    EncodeTlv(tag, value.data(), static_cast<uint32_t>(value.size()), record);
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!stream_.WriteAll(record, sizeof record)) return false;
    if (tag != ZVBERT_END_ACK) model_.NoteSent(tag, value);
    return true;
}
