// Modbus over HDLC on a Zorvan card port: the calls the multi-drop test
// makes, in the shape of the well-known C interface, written for this
// program.
//
// A Modbus frame rides in one HDLC frame of the port's framed mode (the card
// adds and checks the HDLC flags and frame check sequence):
//
//   0 address   1..247, the slave the request is for or the reply is from
//   1 control   0x03, an unnumbered information frame
//   2 function  8, diagnostics (a reply with bit 7 set is an exception)
//   3 sub-function, 2 bytes, high byte first (0: return query data)
//   5 data      what the request carries, echoed by the reply
//   n CRC       CRC-16/MODBUS (polynomial 0x8005 reflected, start 0xFFFF)
//               over bytes 0..n-1, low byte first
//
// so a frame is 7 bytes longer than its data and at most 256 bytes long. A
// reply with a wrong CRC, address or function, or too short to hold those
// fields, is a failed confirmation (-1, errno set), never data.
//
// The library knows the port only through the driver contract and the port
// set-up below it; it knows nothing of patterns or statistics.
#pragma once

#include <cstdint>

#include "card/driver.h"

struct modbus_t;

struct modbus_mapping_t {
    int nb_bits = 0;
    int nb_input_bits = 0;
    int nb_registers = 0;
    int nb_input_registers = 0;
    uint8_t* tab_bits = nullptr;
    uint8_t* tab_input_bits = nullptr;
    uint16_t* tab_registers = nullptr;
    uint16_t* tab_input_registers = nullptr;
};

// Seconds and microseconds.
struct modbus_timeout_t {
    int32_t sec = 0;
    int32_t usec = 0;
};

constexpr int MODBUS_MAX_FRAME = 256;
constexpr int MODBUS_FRAME_OVERHEAD = 7;
constexpr int MODBUS_DATA_OFFSET = 5;
constexpr int MODBUS_MAX_DATA = MODBUS_MAX_FRAME - MODBUS_FRAME_OVERHEAD;

// errno values of this library, beyond the system's.
constexpr int MODBUS_ENOBASE = 0x4D420000;
constexpr int EMBBADCRC = MODBUS_ENOBASE + 1;
constexpr int EMBBADSLAVE = MODBUS_ENOBASE + 2;
constexpr int EMBBADFUNCTION = MODBUS_ENOBASE + 3;
constexpr int EMBSHORTFRAME = MODBUS_ENOBASE + 4;
constexpr int EMBBADDATA = MODBUS_ENOBASE + 5;
constexpr int EMBEXCEPTION = MODBUS_ENOBASE + 6;

// The port's line settings; the set-up reads them from the test's settings,
// which the caller has made the same.
struct modbus_hdlc_line_t {
    uint32_t card = 0, port = 0, mode = 0, interface = 0, encoding = 0, rate = 0;
    bool externalClock = false, termination = false, nrziClocking = false, invertRxClock = false;
    uint32_t dataBits = 8, parity = 0, stopBits = 1, flowControl = 0, dataLength = 0;
};

// Opens the port when connecting; *handle follows it (kInvalidHandle while
// there is none).
modbus_t* modbus_new_hdlc(const modbus_hdlc_line_t& line, card::PortHandle* handle);
int modbus_connect(modbus_t* ctx);
int modbus_set_debug(modbus_t* ctx, int on);
int modbus_set_byte_timeout(modbus_t* ctx, const modbus_timeout_t* timeout);
int modbus_set_response_timeout(modbus_t* ctx, const modbus_timeout_t* timeout);
int modbus_set_slave(modbus_t* ctx, int slave);
int modbus_send_diagnostic_request(modbus_t* ctx, int subfunction, const uint8_t* data, int length);
// rsp holds MODBUS_MAX_FRAME bytes.
int modbus_receive_confirmation(modbus_t* ctx, uint8_t* rsp);
modbus_mapping_t* modbus_mapping_new(int bits, int inputBits, int registers, int inputRegisters);
void modbus_mapping_free(modbus_mapping_t* mapping);
// req holds MODBUS_MAX_FRAME bytes. 0: nothing for this slave yet.
int modbus_receive(modbus_t* ctx, uint8_t* req);
int modbus_reply(modbus_t* ctx, const uint8_t* req, int reqLength, modbus_mapping_t* mapping);
const char* modbus_strerror(int errnum);
void modbus_close(modbus_t* ctx);
void modbus_free(modbus_t* ctx);

// Frame building and checking, shared by the calls above and their tests.
uint16_t ModbusCrc16(const uint8_t* data, int length);
// Writes a whole frame; returns its length, or -1 when the data is too long.
int ModbusBuildFrame(uint8_t* frame, int address, int function, int subfunction,
                     const uint8_t* data, int length);
// True when reply is the answer to request (both whole frames): the same
// address, function and sub-function, and data that is this request's.
bool ModbusAnswersRequest(const uint8_t* request, int requestLength, const uint8_t* reply,
                          int replyLength);
// 0 when frame is a whole diagnostics frame of address (any when 0), else
// the errno that says why not.
int ModbusCheckFrame(const uint8_t* frame, int length, int address);
