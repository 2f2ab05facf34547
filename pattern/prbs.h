// Pseudo-random sequences 2^6-1 .. 2^23-1: generator states, the byte
// generators and self-synchronising byte checkers, the zero-run guard and the
// bit counter every error count goes through.
//
// Bit order: bit 7 of a byte is the earliest bit of the sequence. A register
// holds the most recent 32 bits with the newest in bit 0.
#pragma once

#include <cstdint>

constexpr int kScramCount = 494;  // two generator states for each of 247 slaves

// One generator state. wZeroRun is used only by the receive checker state.
struct ScramState {
    uint32_t dwRegister = 0;
    uint16_t wMask = 0;
    uint16_t wZeroRun = 0;
};

// Index 0: single-link transmit; index 1: single-link receive reference;
// multi-drop slaves own pairs handed out from 0 upwards. Each entry has one
// user thread.
extern ScramState g_aScram[kScramCount];
// The one self-synchronising receive checker (single-link receiver or
// multi-drop master, never both in one process).
extern ScramState g_RxScram;

// Indexes outside 0..493 are refused: nothing is read or written.
void SeedScram(int index, uint32_t dwRegister, uint16_t wMask);
void SeedRxScram(uint32_t dwRegister, uint16_t wMask);
// Makes a generator continue from the last 32 received bits (on sync).
void LoadScramFromRx(int index);

// Generators: the next 8 bits of g_aScram[index] into the low byte of *out.
// A refused index yields 0 and leaves every state alone.
void Gen63(int index, uint16_t* out);
void Gen511(int index, uint16_t* out);
void Gen2047(int index, uint16_t* out);
void Gen2e15(int index, uint16_t* out);
void Gen2e20(int index, uint16_t* out);
void Gen2e23(int index, uint16_t* out);

// Checkers: syndrome (0..0xFF) of one received byte against g_RxScram, then
// the byte is shifted into g_RxScram.dwRegister.
void Chk63(uint16_t* syndrome, uint16_t rxByte);
void Chk511(uint16_t* syndrome, uint16_t rxByte);
void Chk2047(uint16_t* syndrome, uint16_t rxByte);
void Chk2e15(uint16_t* syndrome, uint16_t rxByte);
void Chk2e20(uint16_t* syndrome, uint16_t rxByte);
void Chk2e23(uint16_t* syndrome, uint16_t rxByte);

// True when the byte ends a run of zeros longer than the pattern's longest
// legal run (g_RxScram.wZeroRun carries the run across bytes). Pattern types
// outside 1..7 give false and leave the run alone.
bool ZeroRunExceeded(uint8_t byte, uint32_t patternType);
// The longest legal zero run of a pseudo-random pattern type, 0 for others.
uint32_t ZeroRunLimit(uint32_t patternType);

// Number of one bits, by pairwise addition (no library call, no special
// instruction needed).
constexpr unsigned CountBits(uint32_t value) {
    value = (value & 0x55555555u) + ((value >> 1) & 0x55555555u);
    value = (value & 0x33333333u) + ((value >> 2) & 0x33333333u);
    value = (value & 0x0F0F0F0Fu) + ((value >> 4) & 0x0F0F0F0Fu);
    value = (value & 0x00FF00FFu) + ((value >> 8) & 0x00FF00FFu);
    return (value & 0xFFFFu) + (value >> 16);
}

// CountBits of every byte value, for the per-byte hot paths.
struct BitsInByteTable {
    uint8_t count[256];
    constexpr BitsInByteTable() : count{} {
        for (unsigned i = 0; i < 256; ++i) count[i] = static_cast<uint8_t>(CountBits(i));
    }
};
inline constexpr BitsInByteTable kBitsInByte{};
