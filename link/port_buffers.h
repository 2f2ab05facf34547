// The port's data buffers: their sizing from the line rate and the queue
// time, and the shared receive ring the driver fills for the receive thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "card/driver.h"
#include "card/ioctl.h"
#include "core/byte_ring.h"
// Extra bytes allocated beyond the ring's data so the driver sees the whole
// block, header included, as one read buffer.
constexpr uint32_t kRxRingSlack = 20;

// The shared receive ring is in use: the receive thread reads from
// g_pRxRing instead of asking the driver for each block.
extern std::atomic<bool> g_bSharedRxRing;
extern std::atomic<ByteRing*> g_pRxRing;

// Sizes transmit and receive buffers for a queue of totalQueueBytes: a
// buffer length of about an eighth of the queue (8 to 8192 bytes, stepped),
// widened to whole asynchronous characters, and a power-of-two count.
void SizePortBuffers(uint32_t totalQueueBytes, uint32_t* bufferLength, uint32_t* numBuffers);

// Hands the driver a ring for numBuffers records of bufferLength bytes as the
// buffer of one long-lived read. 1 when the driver took it, 0 when not (the
// receive thread then asks for data itself).
int StartReceiveRing(card::PortHandle handle, uint32_t numBuffers, uint32_t bufferLength);

// Frees the ring, if any. Only after the port's I/O has been cancelled: until
// then the driver may still write into it.
void FreeReceiveRing();
