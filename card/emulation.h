// What a backend that emulates a card on other hardware needs beyond the
// request checks: the receive ring it writes for the program, the queue of
// received data waiting for a read, the requests it keeps pending, and the
// version checks of the records it is asked to fill. The simulated card and
// the serial ports both build on these, so the program sees one behaviour.
//
// None of it locks: a backend calls it under its own lock, on the thread of a
// request or on its driver thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "card/driver.h"
#include "card/request_check.h"

namespace card {

// Keeps a request pending: the program's record reads STATUS_PENDING until
// the backend completes it (CompleteRequest), and buffer stays the program's
// to fill until then.
IoResult Pend(std::deque<PendingRequest>& queue, Overlapped* ov, uint8_t* buffer, uint32_t length);

// A read or write on a port's handle: refused (kErrorInvalidParameter)
// without a record or with a length but no buffer, refused
// (ZV_ERROR_CARD_NOT_STARTED) before StartPort; else done, and the backend
// goes on with it.
IoResult CheckDataRequest(const void* buffer, uint32_t length, const Overlapped* ov, bool started);

// The ring the program hands over as the buffer of one long read on a port's
// first handle (the one without "+"). Ownership: the block's header is
// {size, read index, write index, mark} in native 32-bit words, the data
// area follows. The program owns the read index, the backend the write
// index; each record (an 8-byte receive-record header, then its data) is
// written whole before the write index moves past it, and the index is
// published with release order, read with acquire order. One byte always
// stays free, so equal indexes mean empty. The read stays pending until the
// handle's I/O is cancelled; after that the backend no longer touches the
// block.
class ReceiveRing {
   public:
    bool active() const { return active_; }
    // Takes block as the ring: pending, or refused (kErrorInvalidParameter)
    // when a ring is already active or the header does not describe a ring
    // inside the block.
    IoResult Start(uint8_t* block, uint32_t length, Overlapped* ov);
    // Writes one record; false (nothing written) when it does not fit or the
    // program broke its read index.
    bool Append(const uint8_t* data, size_t count, uint32_t timestamp, uint8_t kind);
    // Completes the ring's read with status; the ring is no longer active.
    void Cancel(uint32_t status);

   private:
    PendingRequest read_;
    bool active_ = false;
    uint32_t size_ = 0;
    uint32_t write_ = 0;
};

// Completes every request a port keeps pending (transmits, reads, the
// ring's read) with status and what each had done: CancelIo, Close, removal.
void CancelRequests(std::deque<PendingRequest>& transmits, std::deque<PendingRequest>& reads,
                    ReceiveRing& ring, uint32_t status);

// Received data waiting for a read, oldest first: one record in framed mode,
// a run of characters otherwise.
struct ReceivedItem {
    std::vector<uint8_t> data;
    uint32_t taken = 0;  // bytes of data already handed out
    uint32_t timestamp = 0;
    uint8_t kind = 0;    // the receive-record header's port byte
    uint8_t status = 0;  // the receive-record header's status byte
};

class ReceiveQueue {
   public:
    bool empty() const { return items_.empty(); }
    size_t bytes() const { return bytes_; }
    ReceivedItem& front() { return items_.front(); }
    void PopFront();
    void Clear();
    // SetupComm: the queue holds at least inQueue bytes (up to a cap).
    void SetWish(uint32_t inQueue) { wish_ = inQueue; }
    // Bytes the queue may hold: the port's receive buffers, or the SetupComm
    // wish when larger, between kReceiveDataMax and 16 MiB.
    size_t Limit(uint32_t rxNumBuffers, uint32_t rxBufferLength) const;
    // Queues item unless that would pass limit; false when it was dropped.
    bool Push(ReceivedItem item, size_t limit);
    // Moves up to room bytes of character data into out; the count moved.
    // oneItem: at most one item, and what of it does not fit is dropped (a
    // frame is one delivery).
    uint32_t Take(uint8_t* out, uint32_t room, bool oneItem = false);
    // Writes every queued item into ring; the number that did not fit.
    uint32_t MoveToRing(ReceiveRing& ring);

   private:
    std::deque<ReceivedItem> items_;
    size_t bytes_ = 0;
    uint32_t wish_ = 0;
};

// The length one receive record may have on a port whose receive buffers are
// rxBufferLength long (0 or beyond kReceiveDataMax: kReceiveDataMax).
uint32_t ReceiveRecordLimit(uint32_t rxBufferLength);

// Checks the version word the program put in front of a record it asks to
// be filled (card information, port configuration, serial configuration):
// done when the backend fills that version, else kErrorNotSupported, on
// every backend alike. serialVersion5: the card knows the long serial record.
IoResult CheckRecordVersion(uint32_t code, uint32_t version, bool serialVersion5);

}  // namespace card
