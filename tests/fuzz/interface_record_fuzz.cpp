// Interface records as the driver returns them: each step is a length byte
// and that many record bytes, read by the program's own poll through a
// scripted driver, so short records, counters that fall and signals in any
// state follow one another.
#include <cstdint>
#include <memory>

#include "core/port_run_state.h"
#include "core/settings.h"
#include "link/interface_record.h"
#include "tests/card/fake_driver.h"

namespace {

fake::FakeDriver* InstallDriver() {
    auto driver = std::make_unique<fake::FakeDriver>();
    fake::FakeDriver* raw = driver.get();
    raw->devices["fuzz"] = fake::Device{};
    card::SetDriver(std::move(driver));
    g_hPort = raw->Open("fuzz");
    g_Settings.uVerbosity = 0;  // what is said is not what is fuzzed
    return raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fake::FakeDriver* const driver = InstallDriver();
    g_LastInterfaceRecord = InterfaceRecord{};
    while (size > 0) {
        const size_t length = std::min<size_t>(data[0] % (kInterfaceRecordSize + 8), size - 1);
        auto& record = driver->devices["fuzz"].interfaceRecord;
        record.assign(data + 1, data + 1 + length);
        PollInterfaceRecord(false, true);
        data += 1 + length;
        size -= 1 + length;
    }
    return 0;
}
