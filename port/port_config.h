// The port and line configuration written at set-up, and the card facts it
// depends on.
#pragma once

#include <cstdint>

#include "card/driver.h"
#include "card/records.h"

struct CardFacts {
    ZvCardInfo info;
    uint16_t wCardType;
    uint16_t wRevision;
    bool bVantle;
    bool bSerialPort;  // a serial port, not a Zorvan card
};

// Reads the card information; on failure logs it and leaves everything zero.
CardFacts ReadCardInfo(card::PortHandle handle);

// The written fields of the two records, from the test settings, the sized
// buffers and the extended configuration word. Other fields are left alone.
void FillPortConfig(ZvPortConfig* config);
void FillSerialConfig(ZvSerialConfig* config);

// Read-modify-write of both records. The port record is written only when it
// could be read; the result is that of the serial write (false when neither
// serial version could be read).
bool WriteConfiguration(card::PortHandle handle);

// Level-3 listings of both records as the driver now holds them.
void DumpPortConfig(card::PortHandle handle);
void DumpSerialConfig(card::PortHandle handle);
