// The module record: the one description of a networked serial device server
// that the control library sends, the driver's module table stores and the
// registry mirrors. 32 little-endian 32-bit words and no pointers, so 32-bit
// and 64-bit callers lay it out alike and it travels byte for byte.
//
// Shared by the driver (kernel mode) and the control library (user mode):
// fixed-width types only, no WDK dependency.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
    MODULE_RECORD_SIZE = 128,  // bytes on the wire and in the table
    MODULE_NAME_SIZE = 20,     // ANSI bytes, NUL-terminated within the field
    MODULE_CHANNEL_COUNT = 8,  // channels a module can have
    MODULE_TABLE_SIZE = 256,   // records the driver's table holds
};

typedef struct ModuleRecord {
    uint32_t ModuleIP;                          // IPv4, network byte order
    uint32_t ControlPort;                       // TCP, host byte order (low 16 bits)
    uint32_t SerialCount;                       // channels in use, 0..8
    char ModuleName[MODULE_NAME_SIZE];          // display name, system ANSI code page
    uint32_t SerialPort[MODULE_CHANNEL_COUNT];  // per channel: TCP data port, host order
    uint32_t SerialNum[MODULE_CHANNEL_COUNT];   // per channel: n of COM<n>; 0 = no port
    uint32_t
        SerialParaFlag[MODULE_CHANNEL_COUNT];  // per channel: nonzero = keep line settings local
} ModuleRecord;

#ifdef __cplusplus
#define ZELVCOM_STATIC_ASSERT(expression, message) static_assert(expression, message)
#else
#define ZELVCOM_STATIC_ASSERT(expression, message) _Static_assert(expression, message)
#endif

ZELVCOM_STATIC_ASSERT(sizeof(ModuleRecord) == MODULE_RECORD_SIZE, "ModuleRecord is 128 bytes");
ZELVCOM_STATIC_ASSERT(offsetof(ModuleRecord, ModuleIP) == 0, "ModuleIP at 0");
ZELVCOM_STATIC_ASSERT(offsetof(ModuleRecord, ControlPort) == 4, "ControlPort at 4");
ZELVCOM_STATIC_ASSERT(offsetof(ModuleRecord, SerialCount) == 8, "SerialCount at 8");
ZELVCOM_STATIC_ASSERT(offsetof(ModuleRecord, ModuleName) == 12, "ModuleName at 12");
ZELVCOM_STATIC_ASSERT(offsetof(ModuleRecord, SerialPort) == 32, "SerialPort at 32");
ZELVCOM_STATIC_ASSERT(offsetof(ModuleRecord, SerialNum) == 64, "SerialNum at 64");
ZELVCOM_STATIC_ASSERT(offsetof(ModuleRecord, SerialParaFlag) == 96, "SerialParaFlag at 96");
