// Asynchronous characters of fewer than 8 data bits carry the pattern as a
// continuous bit stream: each character takes the next data-bits bits, the
// earliest bit in its highest data bit.
#pragma once

#include <cstdint>

// Copies min(8 - sourcePos, count) bits of source, from sourcePos on, into
// dest from destPos on (OR-ed in; those dest bits must be clear) and advances
// both positions. Positions count from the most significant bit. The copy
// never runs past the end of dest. Returns the bits copied.
uint32_t CopyBits(uint8_t source, uint32_t& sourcePos, uint8_t& dest, uint32_t& destPos,
                  uint32_t count);

// Packs stream bytes into characters of dataBits (1..8) bits; an incomplete
// last character is dropped. Returns the number of characters made.
uint32_t PackAsyncChars(uint32_t dataBits, const uint8_t* stream, uint32_t streamLength,
                        uint8_t* chars, uint32_t charCapacity);

// The receive side's partial stream byte, carried from call to call.
struct AsyncUnpackState {
    uint8_t bPartial = 0;
    uint32_t uBitsNeeded = 8;
    uint32_t uFillPos = 0;
};
extern AsyncUnpackState g_AsyncUnpack;  // owned by the receive thread

// Unpacks characters of dataBits (1..8) bits back into stream bytes,
// continuing a stream byte left incomplete by the previous call. Stopping on
// the capacity drops the rest of the characters and leaves no partial byte.
// Returns the number of complete stream bytes.
uint32_t UnpackAsyncChars(uint32_t dataBits, const uint8_t* chars, uint32_t charCount,
                          uint8_t* stream, uint32_t streamCapacity);

// Forgets the partial byte (a run never does; tests and a new receiver do).
void ResetAsyncUnpack();
