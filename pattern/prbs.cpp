#include "pattern/prbs.h"

#include "pattern/prbs_steps.h"

ScramState g_aScram[kScramCount];
ScramState g_RxScram;

void SeedScram(int index, uint32_t dwRegister, uint16_t wMask) {
    if (!ScramIndexValid(index)) return;
    g_aScram[index].dwRegister = dwRegister;
    g_aScram[index].wMask = wMask;
}

void SeedRxScram(uint32_t dwRegister, uint16_t wMask) {
    g_RxScram.dwRegister = dwRegister;
    g_RxScram.wMask = wMask;
    g_RxScram.wZeroRun = 0;
}

void LoadScramFromRx(int index) {
    if (!ScramIndexValid(index)) return;
    g_aScram[index].dwRegister = g_RxScram.dwRegister;
    g_aScram[index].wMask = g_RxScram.wMask;
}

namespace {

template <class Steps>
void Generate(int index, uint16_t* out) {
    *out = ScramIndexValid(index) ? Steps::Generate(g_aScram[index]) : 0;
}

template <class Steps>
void Check(uint16_t* syndrome, uint16_t rxByte) {
    *syndrome = Steps::Check(g_RxScram.dwRegister, static_cast<uint8_t>(rxByte));
}

}  // namespace

void Gen63(int index, uint16_t* out) { Generate<Prbs63>(index, out); }
void Gen511(int index, uint16_t* out) { Generate<Prbs511>(index, out); }
void Gen2047(int index, uint16_t* out) { Generate<Prbs2047>(index, out); }
void Gen2e15(int index, uint16_t* out) { Generate<Prbs2e15>(index, out); }
void Gen2e20(int index, uint16_t* out) { Generate<Prbs2e20>(index, out); }
void Gen2e23(int index, uint16_t* out) { Generate<Prbs2e23>(index, out); }

void Chk63(uint16_t* syndrome, uint16_t rxByte) { Check<Prbs63>(syndrome, rxByte); }
void Chk511(uint16_t* syndrome, uint16_t rxByte) { Check<Prbs511>(syndrome, rxByte); }
void Chk2047(uint16_t* syndrome, uint16_t rxByte) { Check<Prbs2047>(syndrome, rxByte); }
void Chk2e15(uint16_t* syndrome, uint16_t rxByte) { Check<Prbs2e15>(syndrome, rxByte); }
void Chk2e20(uint16_t* syndrome, uint16_t rxByte) { Check<Prbs2e20>(syndrome, rxByte); }
void Chk2e23(uint16_t* syndrome, uint16_t rxByte) { Check<Prbs2e23>(syndrome, rxByte); }

uint32_t ZeroRunLimit(uint32_t patternType) {
    if (!IsPrbsType(patternType)) return 0;
    return WithPrbsType(patternType, [](auto, auto limit) { return uint32_t{limit}; });
}

bool ZeroRunExceeded(uint8_t byte, uint32_t patternType) {
    if (!IsPrbsType(patternType)) return false;
    return WithPrbsType(patternType, [&](auto, auto limit) {
        using Guard = zero_run::Guard<limit>;
        uint32_t run = Guard::Clamp(g_RxScram.wZeroRun);
        const bool fired = Guard::Step(run, byte);
        g_RxScram.wZeroRun = static_cast<uint16_t>(run);
        return fired;
    });
}
