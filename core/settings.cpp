#include "core/settings.h"

TestSettings g_Settings;
std::atomic<uint32_t> g_dwExtendedConfig{0};

void ResetSettings() {
    g_Settings = TestSettings();
    g_dwExtendedConfig = 0;
}
