#include "tests/e2e_support/truth_oracle.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace e2e {
namespace {

constexpr int64_t kPeriodMs = 100;
// The program's receive thread takes a sample at every tick of the card's
// clock; a silence this close to the time-out may or may not be judged one.
constexpr int64_t kTickMs = 40;
constexpr int64_t kLossMsPerEvent = 300;

enum class Verdict { Good, Doubtful, Bad };

struct Judged {
    Verdict verdict = Verdict::Good;
    bool silent = false;  // bad or doubtful for its silence
    int64_t outMs = 0;    // time without the pattern it stands for
};

bool Garbled(const TruthPeriod& p) {
    return p.delivered > 0 && (p.flipped * 2 >= p.delivered || p.inverted * 2 >= p.delivered);
}

std::vector<Judged> JudgePeriods(const PortTruth& truth, const OracleSettings& s) {
    const auto& periods = truth.periods;
    std::vector<Judged> judged(periods.size());
    // Silences: runs of periods with silent time, as one stretch.
    for (size_t i = 0; i < periods.size();) {
        if (periods[i].silentMs == 0) {
            ++i;
            continue;
        }
        size_t end = i;
        int64_t silentMs = 0;
        while (end < periods.size() && periods[end].silentMs > 0)
            silentMs += periods[end++].silentMs;
        Verdict verdict = Verdict::Good;
        if (silentMs > s.noDataTimeoutMs + kTickMs)
            verdict = Verdict::Bad;
        else if (silentMs + kTickMs >= s.noDataTimeoutMs)
            verdict = Verdict::Doubtful;
        for (size_t k = i; k < end && verdict != Verdict::Good; ++k)
            judged[k] = Judged{verdict, true, periods[k].silentMs};
        i = end;
    }
    const uint64_t adriftBits = 8ull * (s.registerBits + 2);
    for (size_t i = 0; i < periods.size(); ++i) {
        const TruthPeriod& p = periods[i];
        Verdict verdict = Verdict::Good;
        if (Garbled(p) || p.slipped > 0)
            verdict = Verdict::Bad;
        else if (s.burstBits >= adriftBits && p.flipped >= s.burstBits)
            verdict = Verdict::Bad;  // a whole burst: the checker runs off the pattern
        else if (p.flipped * 10 > p.delivered || (s.burstBits > 0 && p.flipped >= 16))
            verdict = Verdict::Doubtful;
        if (verdict > judged[i].verdict) judged[i] = Judged{verdict, false, kPeriodMs};
    }
    return judged;
}

}  // namespace

bool ParseTruth(const std::string& text, std::vector<PortTruth>* ports, std::string* error) {
    ports->clear();
    std::istringstream in(text);
    std::string line;
    size_t expected = 0;
    while (std::getline(in, line)) {
        unsigned card = 0, port = 0, address = 0;
        size_t count = 0;
        if (std::sscanf(line.c_str(), "port %u %u periods %zu", &card, &port, &count) == 3) {
            ports->push_back(PortTruth{card, port, {}});
            expected = count;
            continue;
        }
        if (std::sscanf(line.c_str(), "port %u %u address %u periods %zu", &card, &port, &address,
                        &count) == 4 &&
            address <= 255) {
            ports->push_back(PortTruth{card, port, {}, int(address)});
            expected = count;
            continue;
        }
        TruthPeriod p;
        size_t index = 0;
        unsigned long long delivered, flipped, slipped, inverted;
        unsigned silent;
        if (ports->empty() ||
            std::sscanf(line.c_str(), "%zu %llu %llu %u %llu %llu", &index, &delivered, &flipped,
                        &silent, &slipped, &inverted) != 6 ||
            index != ports->back().periods.size()) {
            *error = "not a truth line: \"" + line + "\"";
            return false;
        }
        p.delivered = delivered;
        p.flipped = flipped;
        p.silentMs = silent;
        p.slipped = slipped;
        p.inverted = inverted;
        ports->back().periods.push_back(p);
    }
    for (const auto& port : *ports)
        if (port.periods.empty() && expected != 0) {
            *error = "a port without its periods";
            return false;
        }
    return true;
}

const PortTruth* FindPortTruth(const std::vector<PortTruth>& ports, unsigned card, unsigned port) {
    for (const auto& p : ports)
        if (p.card == card && p.port == port && p.address < 0) return &p;
    return nullptr;
}

const PortTruth* FindAddressTruth(const std::vector<PortTruth>& ports, unsigned card, unsigned port,
                                  unsigned address) {
    for (const auto& p : ports)
        if (p.card == card && p.port == port && p.address == int(address)) return &p;
    return nullptr;
}

AddressFrames CountAddressFrames(const PortTruth& truth) {
    AddressFrames frames;
    for (const TruthPeriod& p : truth.periods) {
        frames.bits += p.delivered;
        frames.hitFrames += p.flipped > 0 ? 1 : 0;
        frames.silentMs += p.silentMs;
    }
    return frames;
}

IdealReport Judge(const PortTruth& truth, const OracleSettings& s) {
    IdealReport ideal;
    const std::vector<Judged> judged = JudgePeriods(truth, s);
    const auto& periods = truth.periods;
    std::ostringstream why;
    size_t first = 0;
    // The pattern is found in the first period that is not plainly bad
    // (a doubtful one may already do).
    while (first < judged.size() &&
           ((judged[first].verdict == Verdict::Bad && !s.syncAtFirstData) ||
            periods[first].delivered == 0))
        ++first;
    if (first >= judged.size()) {
        ideal.explanation = "no period with the pattern";
        return ideal;
    }
    ideal.everInSync = true;
    ideal.firstSyncPeriod = first;
    // The sync comes within its period: the errors after it are counted.
    ideal.bitErrors.hi += int64_t(periods[first].flipped);
    size_t end =
        std::min(judged.size(), (s.fromFirstSync ? first + 1 : 0) + size_t(s.testSeconds) * 10);
    // The program stops sending when its test ends, a sample period or so
    // from where the record puts the end: a silence that runs from the last
    // few periods to the end of the record is that stop, left to the
    // tolerance of the end below.
    size_t tail = periods.size();
    while (tail > first + 1 && periods[tail - 1].silentMs > 0) --tail;
    if (tail < periods.size() && (tail + 3 >= end || tail > s.lineQuietAfter))
        end = std::min(end, tail);
    // Before its first sync the card's engine books severely errored seconds.
    if (!s.fromFirstSync) ideal.severeSeconds.hi += int64_t(first) / 10 + 1;
    const uint64_t slipSlack = 8ull * (s.registerBits + 1) + 8ull * (s.registerBits / 8 + 2);
    bool inSync = true;
    int64_t runMs = 0;  // the present time out of sync
    auto endRun = [&] {
        if (runMs == 0) return;
        ideal.lossMs.lo += std::max<int64_t>(runMs - kLossMsPerEvent, 0);
        ideal.lossMs.hi += runMs + kLossMsPerEvent;
        ideal.severeSeconds.lo += std::max<int64_t>(runMs / 1000 - 1, 0);
        ideal.severeSeconds.hi += (runMs + 999) / 1000 + 1;
        runMs = 0;
    };
    for (size_t i = first + 1; i < end; ++i) {
        const Judged& j = judged[i];
        const TruthPeriod& p = periods[i];
        const bool edge = judged[i - 1].verdict != Verdict::Good ||
                          (i + 1 < end && judged[i + 1].verdict != Verdict::Good) || i == first + 1;
        why << (j.verdict == Verdict::Good ? 'g' : j.verdict == Verdict::Bad ? 'B' : 'd');
        switch (j.verdict) {
            case Verdict::Bad: {
                // A fault of another kind in a time out of sync (a slip
                // just after an outage) may be a loss of its own: the
                // program may have found the pattern between them.
                const Judged& before = judged[i - 1];
                const bool newFault = !inSync && (p.slipped > 0 || before.silent != j.silent);
                if (inSync) ++ideal.lossEvents.lo;
                if (inSync || newFault) {
                    ++ideal.lossEvents.hi;
                    // Counted in sync before the sample that sees the loss ends.
                    ideal.bitErrors.hi += int64_t(Garbled(p) ? p.delivered : p.flipped);
                    if (p.slipped > 0) ideal.bitErrors.hi += int64_t(slipSlack);
                }
                inSync = false;
                runMs += j.outMs;
                break;
            }
            case Verdict::Doubtful:
                if (inSync) ++ideal.lossEvents.hi;
                ideal.bitErrors.hi += int64_t(p.delivered * 6 / 10);
                ideal.lossMs.hi += kPeriodMs + kLossMsPerEvent;
                ideal.severeSeconds.hi += 2;
                break;
            case Verdict::Good:
                if (!inSync) {
                    endRun();
                    // The fault may end early in its period (an outage), and the
                    // sync come before the period does.
                    if (!Garbled(periods[i - 1]))
                        ideal.bitErrors.hi += int64_t(periods[i - 1].flipped);
                }
                inSync = true;
                ideal.bitErrors.hi += int64_t(p.flipped);
                if (!edge) ideal.bitErrors.lo += int64_t(p.flipped);
                break;
        }
    }
    endRun();
    // The test ends within a few periods of its nominal end: what happens
    // there may or may not be in it (the errors of the period after it too).
    if (end < periods.size() && judged[end].verdict == Verdict::Good)
        ideal.bitErrors.hi += int64_t(periods[end].flipped);
    for (size_t i = end >= 2 ? end - 2 : 0; i < std::min(judged.size(), end + 3); ++i) {
        if (judged[i].verdict == Verdict::Good) continue;
        ideal.mayEndOutOfSync = true;
        if (i >= end) {
            ideal.lossEvents.hi += 1;
            ideal.bitErrors.hi += int64_t(periods[i].delivered);
            ideal.lossMs.hi += kPeriodMs * 3;
            ideal.severeSeconds.hi += 1;
            break;
        }
    }
    ideal.explanation = "first sync in period " + std::to_string(first) + ", then " + why.str();
    return ideal;
}

ReportFigures ParseReport(const std::string& out) {
    ReportFigures r;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const char* l = line.c_str();
        const char* at = nullptr;
        long long a, b, c, d, e;
        double x;
        if ((at = std::strstr(l, "Duration(s)=")) && std::sscanf(at, "Duration(s)=%lf", &x) == 1) {
            r.durationSecs = x;
            r.found = true;
        } else if (std::sscanf(l, "TxCount=%lld RxCount=%lld", &a, &b) == 2) {
            r.rxCount = b;
        } else if (std::sscanf(l, "BitErr=%lld BlockErr=%lld ES(US)=%lld SES=%lld AS=%lld", &a, &b,
                               &c, &d, &e) == 5) {
            r.bitErrors = a;
            r.es = c;
            r.ses = d;
            r.as = e;
        } else if (std::sscanf(l, "->LOS=%lld ->SYNC=%lld LOSR=%lf", &a, &b, &x) == 3) {
            r.los = a;
            r.sync = b;
            r.losr = x;
        }
    }
    return r;
}

int VerdictOf(const ReportFigures& report, bool everInSync, bool endedInSync) {
    if (!everInSync) return 8;
    if (report.los > 0 || !endedInSync) return 7;
    return report.bitErrors > 0 ? 0 : 1;
}

}  // namespace e2e
