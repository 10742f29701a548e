// VZelSerial: the control library a configuration tool drives the ZelVCOM
// driver through. Twelve plain C exports: one opens the control device
// \\.\ZelMain and hands out a control handle, one releases it, and ten send
// one control I/O control each and turn the outcome into 1 or 0.
//
// The library only tests its handle and pointers; every other check is the
// driver's. A 0 result carries no reason of its own: GetLastError() holds the
// platform's code, which the library neither reads nor maps.
#pragma once

#include <windows.h>

#include <zelvcom/module_record.h>

#if defined(_WIN32)
#if defined(VZELSERIAL_BUILD)
#define VZELSERIAL_API __declspec(dllexport)
#else
#define VZELSERIAL_API __declspec(dllimport)
#endif
#else
#define VZELSERIAL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The control handle, or INVALID_HANDLE_VALUE when the control device is
// absent or already open (it is exclusive, across processes).
VZELSERIAL_API HANDLE VCOM_CreateDevice(void);
// Always 1. A handle that is not live is left alone.
VZELSERIAL_API BOOL VCOM_ReleaseDevice(HANDLE Device);

// Appends the 128-byte record to the driver's module table. 0 when the
// table is full or a record with the same ModuleIP is listed.
VZELSERIAL_API BOOL VCOM_AddModule(HANDLE Device, const ModuleRecord* Record);
VZELSERIAL_API BOOL VCOM_StopAllSerial(HANDLE Device);
VZELSERIAL_API BOOL VCOM_StartAllSerial(HANDLE Device);
// Saves the table to, reloads it from, or deletes it in the registry.
VZELSERIAL_API BOOL VCOM_SaveInfoReg(HANDLE Device);
VZELSERIAL_API BOOL VCOM_ResetReadReg(HANDLE Device);
VZELSERIAL_API BOOL VCOM_ClearDevReg(HANDLE Device);
// Empties the table; devices already created stay.
VZELSERIAL_API BOOL VCOM_ClearDevInfo(HANDLE Device);
// *RunStatus = 1 when at least one module device exists, else 0.
VZELSERIAL_API BOOL VCOM_GetDevRunSts(HANDLE Device, DWORD* RunStatus);
VZELSERIAL_API BOOL VCOM_GetDevModCount(HANDLE Device, DWORD* ModuleCount);
// Copies record Index; 0 and *Record untouched when Index is not below the count.
VZELSERIAL_API BOOL VCOM_GetDevModInfo(HANDLE Device, DWORD Index, ModuleRecord* Record);

#ifdef __cplusplus
}
#endif
