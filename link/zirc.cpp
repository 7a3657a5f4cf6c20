// The camera command set. Every command is one message: its request code gives
// the module (top three bits) and the command number (low five bits); up to
// four parameter bytes travel in wValue and wIndex, and reads and three writes
// carry 8 data bytes.
#include "link/zirc.h"

#include <cstring>

#include "link/zirclink.h"

// Request codes of the camera, by command.
enum : UCHAR {
    ZIRC_REQ_GET_VERSION = 0x01,
    ZIRC_REQ_GET_CAMERA_STATUS = 0x03,
    ZIRC_REQ_GOTO_HI_POWER = 0x04,
    ZIRC_REQ_GOTO_LO_POWER = 0x05,
    ZIRC_REQ_MODIFY_CAMERA_STATUS = 0x0A,
    ZIRC_REQ_WRITE_VC_REG = 0x22,
    ZIRC_REQ_READ_MC_PORTS = 0x23,
    ZIRC_REQ_WRITE_MC_PORT = 0x24,
    ZIRC_REQ_SERIAL_START = 0x2A,
    ZIRC_REQ_SERIAL_STOP = 0x2B,
    ZIRC_REQ_SERIAL_WRITE = 0x2C,
    ZIRC_REQ_SERIAL_READ = 0x2D,
    ZIRC_REQ_GET_VP_VERSION = 0xA1,
    ZIRC_REQ_SET_COLOUR_PARAMS = 0xA3,
    ZIRC_REQ_SET_EXPOSURE = 0xA4,
    ZIRC_REQ_SET_COLOUR_BALANCE = 0xA6,
    ZIRC_REQ_SET_SENSOR_FPS = 0xA7,
    ZIRC_REQ_SET_APCOR = 0xA9,
    ZIRC_REQ_FLICKER_CTRL = 0xAA,
    ZIRC_REQ_SET_VL_OFFSET = 0xAB,
    ZIRC_REQ_GET_COLOUR_BALANCE = 0xB1,
    ZIRC_REQ_GET_EXPOSURE = 0xB2,
    ZIRC_REQ_SET_SENSOR_MATRIX = 0xB3,
    ZIRC_REQ_READ_VP_REGS = 0xBE,
    ZIRC_REQ_WRITE_VP_REG = 0xBF,
    ZIRC_REQ_GRAB_FRAME = 0xC1,
    ZIRC_REQ_SET_GRAB_MODE = 0xC3,
    ZIRC_REQ_SET_FORMAT = 0xC8,
    ZIRC_REQ_SET_ROI = 0xC9,
    ZIRC_REQ_SET_COMPRESSION = 0xCA,
    ZIRC_REQ_SET_COMPRESSION_TARGET = 0xCB,
    ZIRC_REQ_SET_COMPRESSION_PARAMS = 0xCD,
};

static constexpr USHORT ZIRC_DATA_BYTES = 8;

// Sends one message; only the low byte of each parameter goes out. data: the
// 8-byte data stage (sent, or filled by a read), or null for none.
static ULONG mSend(DEVICE_EXTENSION *device, UCHAR request, ULONG p0, ULONG p1, ULONG p2, ULONG p3,
                   ULONG read, UCHAR *data)
{
    const UCHAR params[4] = {static_cast<UCHAR>(p0), static_cast<UCHAR>(p1), static_cast<UCHAR>(p2),
                             static_cast<UCHAR>(p3)};
    return ZIRCLink_TransferMessage(device, static_cast<UCHAR>(request & 0xE0),
                                    static_cast<UCHAR>(request & 0x1F), params, read,
                                    data != nullptr ? ZIRC_DATA_BYTES : 0, data);
}

static ULONG mWrite(DEVICE_EXTENSION *device, UCHAR request, ULONG p0 = 0, ULONG p1 = 0, ULONG p2 = 0,
                    ULONG p3 = 0)
{
    return mSend(device, request, p0, p1, p2, p3, 0, nullptr);
}

// The four bytes of a 32-bit argument, least significant first, as p0 to p3.
static ULONG mWriteWord(DEVICE_EXTENSION *device, UCHAR request, ULONG word)
{
    return mWrite(device, request, word, word >> 8, word >> 16, word >> 24);
}

// A read whose reply bytes 0..count-1 go to outs; null outs are skipped. The
// outs are written only when the message was carried out.
static ULONG mRead(DEVICE_EXTENSION *device, UCHAR request, UCHAR *const *outs, ULONG count, ULONG p0 = 0,
                   ULONG p1 = 0, ULONG p2 = 0, ULONG p3 = 0)
{
    UCHAR reply[ZIRC_DATA_BYTES];
    std::memset(reply, 0, sizeof(reply));
    if (!mSend(device, request, p0, p1, p2, p3, 1, reply))
        return 0;
    for (ULONG i = 0; i < count; ++i)
        if (outs[i] != nullptr)
            *outs[i] = reply[i];
    return 1;
}

// For commands whose out arguments are all required: a missing one is refused
// before anything is sent.
static ULONG mAllPresent(UCHAR *const *outs, ULONG count)
{
    for (ULONG i = 0; i < count; ++i)
        if (outs[i] == nullptr)
            return 0;
    return 1;
}

static ULONG mWriteData(DEVICE_EXTENSION *device, UCHAR request, ULONG p0, ULONG p1, ULONG p2, ULONG p3,
                        const ULONG *bytes, ULONG count)
{
    UCHAR data[ZIRC_DATA_BYTES];
    std::memset(data, 0, sizeof(data));
    for (ULONG i = 0; i < count && i < ZIRC_DATA_BYTES; ++i)
        data[i] = static_cast<UCHAR>(bytes[i]);
    return mSend(device, request, p0, p1, p2, p3, 0, data);
}

ULONG ZIRC_GetVersion(DEVICE_EXTENSION *device, UCHAR *b0, UCHAR *b1, UCHAR *b2, UCHAR *b3)
{
    UCHAR *const outs[] = {b0, b1, b2, b3};
    return mAllPresent(outs, 4) ? mRead(device, ZIRC_REQ_GET_VERSION, outs, 4) : 0;
}

ULONG ZIRC_GetCameraStatus(DEVICE_EXTENSION *device, UCHAR *b0, UCHAR *b1, UCHAR *b2, UCHAR *b3, UCHAR *b4,
                           UCHAR *b5, UCHAR *b6, UCHAR *b7)
{
    UCHAR *const outs[] = {b0, b1, b2, b3, b4, b5, b6, b7};
    return mRead(device, ZIRC_REQ_GET_CAMERA_STATUS, outs, 8);
}

ULONG ZIRC_GotoHiPower(DEVICE_EXTENSION *device)
{
    return mWrite(device, ZIRC_REQ_GOTO_HI_POWER);
}

ULONG ZIRC_GotoLoPower(DEVICE_EXTENSION *device)
{
    return mWrite(device, ZIRC_REQ_GOTO_LO_POWER);
}

ULONG ZIRC_ModifyCameraStatus(DEVICE_EXTENSION *device, ULONG statusByte, ULONG keepMask, ULONG setBits)
{
    return mWrite(device, ZIRC_REQ_MODIFY_CAMERA_STATUS, statusByte, keepMask, setBits);
}

ULONG ZIRC_WriteVCReg(DEVICE_EXTENSION *device, ULONG reg, ULONG keepMask, ULONG setBits)
{
    return mWrite(device, ZIRC_REQ_WRITE_VC_REG, reg, keepMask, setBits);
}

ULONG ZIRC_ReadMCPorts(DEVICE_EXTENSION *device, UCHAR *port0, UCHAR *port1, UCHAR *port2, UCHAR *port3)
{
    UCHAR *const outs[] = {port0, port1, port2, port3};
    return mRead(device, ZIRC_REQ_READ_MC_PORTS, outs, 4);
}

ULONG ZIRC_WriteMCPort(DEVICE_EXTENSION *device, ULONG port, ULONG keepMask, ULONG setBits)
{
    return mWrite(device, ZIRC_REQ_WRITE_MC_PORT, port, keepMask, setBits);
}

ULONG ZIRC_SerialStart(DEVICE_EXTENSION *device)
{
    return mWrite(device, ZIRC_REQ_SERIAL_START);
}

ULONG ZIRC_SerialStop(DEVICE_EXTENSION *device)
{
    return mWrite(device, ZIRC_REQ_SERIAL_STOP);
}

ULONG ZIRC_SerialWrite(DEVICE_EXTENSION *device, ULONG value)
{
    return mWriteWord(device, ZIRC_REQ_SERIAL_WRITE, value);
}

ULONG ZIRC_SerialRead(DEVICE_EXTENSION *device, ULONG value, UCHAR *byte0)
{
    UCHAR *const outs[] = {byte0};
    return mRead(device, ZIRC_REQ_SERIAL_READ, outs, 1, value, value >> 8, value >> 16, value >> 24);
}

ULONG ZIRC_GetVPVersion(DEVICE_EXTENSION *device, UCHAR *b0, UCHAR *b1, UCHAR *b2, UCHAR *b3)
{
    UCHAR *const outs[] = {b0, b1, b2, b3};
    return mAllPresent(outs, 4) ? mRead(device, ZIRC_REQ_GET_VP_VERSION, outs, 4) : 0;
}

ULONG ZIRC_SetColourParams(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3)
{
    return mWrite(device, ZIRC_REQ_SET_COLOUR_PARAMS, a1, a2, a3);
}

ULONG ZIRC_SetExposure(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4, ULONG a5, ULONG a6,
                       ULONG a7, ULONG a8, ULONG a9, ULONG a10, ULONG a11, ULONG a12)
{
    const ULONG data[] = {a5, a6, a7, a8, a9, a10, a11, a12};
    return mWriteData(device, ZIRC_REQ_SET_EXPOSURE, a1, a2, a3, a4, data, 8);
}

ULONG ZIRC_SetColourBalance(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4)
{
    return mWrite(device, ZIRC_REQ_SET_COLOUR_BALANCE, a1, a2, a3, a4);
}

ULONG ZIRC_SetSensorFPS(DEVICE_EXTENSION *device, ULONG a1, ULONG a2)
{
    return mWrite(device, ZIRC_REQ_SET_SENSOR_FPS, a1, a2);
}

ULONG ZIRC_SetApcor(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4)
{
    return mWrite(device, ZIRC_REQ_SET_APCOR, a1, a2, a3, a4);
}

ULONG ZIRC_FlickerCtrl(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3)
{
    return mWrite(device, ZIRC_REQ_FLICKER_CTRL, a1, a2, a3);
}

ULONG ZIRC_SetVLOffset(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4)
{
    return mWrite(device, ZIRC_REQ_SET_VL_OFFSET, a1, a2, a3, a4);
}

ULONG ZIRC_GetColourBalance(DEVICE_EXTENSION *device, UCHAR *red, UCHAR *green, UCHAR *blue)
{
    UCHAR *const outs[] = {red, green, blue};
    return mAllPresent(outs, 3) ? mRead(device, ZIRC_REQ_GET_COLOUR_BALANCE, outs, 3) : 0;
}

ULONG ZIRC_GetExposure(DEVICE_EXTENSION *device, UCHAR *b0, UCHAR *b1, UCHAR *b2, UCHAR *b3, UCHAR *b4,
                       UCHAR *b5, UCHAR *b6, UCHAR *b7)
{
    UCHAR *const outs[] = {b0, b1, b2, b3, b4, b5, b6, b7};
    return mRead(device, ZIRC_REQ_GET_EXPOSURE, outs, 8);
}

ULONG ZIRC_SetSensorMatrix(DEVICE_EXTENSION *device, const UCHAR *matrix)
{
    if (matrix == nullptr)
        return 0;
    const ULONG data[] = {matrix[4], matrix[5], matrix[6], matrix[7], matrix[8]};
    return mWriteData(device, ZIRC_REQ_SET_SENSOR_MATRIX, matrix[0], matrix[1], matrix[2], matrix[3], data,
                      5);
}

ULONG ZIRC_ReadVPRegs(DEVICE_EXTENSION *device, ULONG regA, ULONG regB, ULONG regC, ULONG regD, UCHAR *valueA,
                      UCHAR *valueB, UCHAR *valueC, UCHAR *valueD)
{
    UCHAR *const outs[] = {valueA, valueB, valueC, valueD};
    return mRead(device, ZIRC_REQ_READ_VP_REGS, outs, 4, regA, regB, regC, regD);
}

ULONG ZIRC_WriteVPReg(DEVICE_EXTENSION *device, ULONG reg, ULONG keepMask, ULONG setBits)
{
    return mWrite(device, ZIRC_REQ_WRITE_VP_REG, reg, keepMask, setBits);
}

ULONG ZIRC_GrabFrame(DEVICE_EXTENSION *device, ULONG argument)
{
    return mWrite(device, ZIRC_REQ_GRAB_FRAME, argument, argument);
}

ULONG ZIRC_SetGrabMode(DEVICE_EXTENSION *device, ULONG mode)
{
    return mWriteWord(device, ZIRC_REQ_SET_GRAB_MODE, mode);
}

ULONG ZIRC_SetFormat(DEVICE_EXTENSION *device, ULONG videoSize, ULONG subsampling, ULONG order)
{
    return mWrite(device, ZIRC_REQ_SET_FORMAT, videoSize, subsampling, order);
}

ULONG ZIRC_SetROI(DEVICE_EXTENSION *device, ULONG firstColumn8, ULONG endColumn8, ULONG firstRow4,
                  ULONG endRow4)
{
    return mWrite(device, ZIRC_REQ_SET_ROI, firstColumn8, endColumn8, firstRow4, endRow4);
}

ULONG ZIRC_SetCompression(DEVICE_EXTENSION *device, ULONG mode, ULONG decimation)
{
    return mWrite(device, ZIRC_REQ_SET_COMPRESSION, mode, decimation);
}

ULONG ZIRC_SetCompressionTarget(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3)
{
    return mWrite(device, ZIRC_REQ_SET_COMPRESSION_TARGET, a1, a2, a3);
}

ULONG ZIRC_SetCompressionParams(DEVICE_EXTENSION *device, ULONG a1, ULONG a2, ULONG a3, ULONG a4, ULONG a5,
                                ULONG a6, ULONG a7, ULONG a8)
{
    const ULONG data[] = {a1, a2, a3, a4, a5, a6, a7, a8};
    return mWriteData(device, ZIRC_REQ_SET_COMPRESSION_PARAMS, 0, 0, 0, 0, data, 8);
}
