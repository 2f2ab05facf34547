#include "app/serial_backend.h"

std::unique_ptr<card::Driver> CreateSerialBackend(const sim::SimConfig&, std::string* error) {
    if (error) *error = "serial-port cards (backend = \"tty\") are not available on Windows";
    return nullptr;
}
