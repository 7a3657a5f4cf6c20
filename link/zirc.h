// The camera command set: one function per camera command. Each packs its
// arguments into the camera message (request code, two parameter words, 0 or 8
// data bytes) and sends it through the message link; read commands copy reply
// bytes into their out arguments only when the message was carried out.
#pragma once

#include "platform/kernel/kernel.h"

struct DEVICE_EXTENSION;

// Every command returns 1 when the message was carried out, 0 when not. Byte
// arguments travel as 32-bit integers; only their low byte is sent unless said
// otherwise. Out arguments documented as optional may be null.

// 0x01: reply bytes 0-3 (all required).
ULONG ZIRC_GetVersion(DEVICE_EXTENSION *device, UCHAR *b0, UCHAR *b1, UCHAR *b2, UCHAR *b3);
// 0x03: reply bytes 0-7, each optional; byte 4 is the camera's error byte.
ULONG ZIRC_GetCameraStatus(DEVICE_EXTENSION *device, UCHAR *b0, UCHAR *b1, UCHAR *b2, UCHAR *b3, UCHAR *b4,
                           UCHAR *b5, UCHAR *b6, UCHAR *b7);
ULONG ZIRC_GotoHiPower(DEVICE_EXTENSION *device);
ULONG ZIRC_GotoLoPower(DEVICE_EXTENSION *device);
// Register-shaped writes: new = (old AND keepMask) OR setBits.
ULONG ZIRC_ModifyCameraStatus(DEVICE_EXTENSION *device, ULONG statusByte, ULONG keepMask, ULONG setBits);
ULONG ZIRC_WriteVCReg(DEVICE_EXTENSION *device, ULONG reg, ULONG keepMask, ULONG setBits);
// 0x23: the four port bytes, each optional.
ULONG ZIRC_ReadMCPorts(DEVICE_EXTENSION *device, UCHAR *port0, UCHAR *port1, UCHAR *port2, UCHAR *port3);
ULONG ZIRC_WriteMCPort(DEVICE_EXTENSION *device, ULONG port, ULONG keepMask, ULONG setBits);
ULONG ZIRC_SerialStart(DEVICE_EXTENSION *device);
ULONG ZIRC_SerialStop(DEVICE_EXTENSION *device);
// The four bytes of value, least significant first, as p0 to p3.
ULONG ZIRC_SerialWrite(DEVICE_EXTENSION *device, ULONG value);
// As SerialWrite; reply byte 0 to the optional out argument.
ULONG ZIRC_SerialRead(DEVICE_EXTENSION *device, ULONG value, UCHAR *byte0);
// 0xA1: reply bytes 0-3 (all required); byte 2's low nibble is the sensor type.
ULONG ZIRC_GetVPVersion(DEVICE_EXTENSION *device, UCHAR *b0, UCHAR *b1, UCHAR *b2, UCHAR *b3);
ULONG ZIRC_SetColourParams(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3);
// a1-a4 are p0-p3; a5-a12 the 8 data bytes.
ULONG ZIRC_SetExposure(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4, ULONG a5, ULONG a6,
                       ULONG a7, ULONG a8, ULONG a9, ULONG a10, ULONG a11, ULONG a12);
ULONG ZIRC_SetColourBalance(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4);
ULONG ZIRC_SetSensorFPS(DEVICE_EXTENSION *device, ULONG a1, ULONG a2);
ULONG ZIRC_SetApcor(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4);
ULONG ZIRC_FlickerCtrl(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3);
ULONG ZIRC_SetVLOffset(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4);
// 0xB1: red, green, blue gains (all required).
ULONG ZIRC_GetColourBalance(DEVICE_EXTENSION *device, UCHAR *red, UCHAR *green, UCHAR *blue);
// 0xB2: reply bytes 0-7, each optional: gain, fine, coarse low, coarse high,
// then the four current colour compensations.
ULONG ZIRC_GetExposure(DEVICE_EXTENSION *device, UCHAR *b0, UCHAR *b1, UCHAR *b2, UCHAR *b3, UCHAR *b4,
                       UCHAR *b5, UCHAR *b6, UCHAR *b7);
// matrix: the nine bytes m0-m8; m0-m3 are p0-p3, m4-m8 data bytes 0-4.
ULONG ZIRC_SetSensorMatrix(DEVICE_EXTENSION *device, const UCHAR *matrix);
// The values of registers a-d, each optional.
ULONG ZIRC_ReadVPRegs(DEVICE_EXTENSION *device, ULONG regA, ULONG regB, ULONG regC, ULONG regD, UCHAR *valueA,
                      UCHAR *valueB, UCHAR *valueC, UCHAR *valueD);
ULONG ZIRC_WriteVPReg(DEVICE_EXTENSION *device, ULONG reg, ULONG keepMask, ULONG setBits);
// p0 = p1 = argument.
ULONG ZIRC_GrabFrame(DEVICE_EXTENSION *device, ULONG argument);
// The four bytes of mode, least significant first.
ULONG ZIRC_SetGrabMode(DEVICE_EXTENSION *device, ULONG mode);
ULONG ZIRC_SetFormat(DEVICE_EXTENSION *device, ULONG videoSize, ULONG subsampling, ULONG order);
// Columns in units of 8, rows in units of 4, end values exclusive.
ULONG ZIRC_SetROI(DEVICE_EXTENSION *device, ULONG firstColumn8, ULONG endColumn8, ULONG firstRow4,
                  ULONG endRow4);
ULONG ZIRC_SetCompression(DEVICE_EXTENSION *device, ULONG mode, ULONG decimation);
ULONG ZIRC_SetCompressionTarget(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3);
// a1-a8 are the 8 data bytes; p0-p3 are 0.
ULONG ZIRC_SetCompressionParams(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4, ULONG a5,
                                ULONG a6, ULONG a7, ULONG a8);
