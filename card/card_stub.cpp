// Placeholder until port set-up and discovery land: no driver, no port.
#include "app/run_state.h"
#include "card/discovery.h"
#include "card/port_setup.h"
#include "log/log.h"

bool StartCardDiscovery() { return false; }
bool OpenPort(uint32_t, uint32_t) {
    LogLastError(1, "Error Opening Port : ");
    return false;
}
void ReleasePort() {}
