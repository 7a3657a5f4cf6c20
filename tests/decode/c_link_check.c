/* A C program of its own that links the decoder library: it defines names
 * the decoder uses inside (its state, tables and constants), which must not
 * clash with the library's, and calls the public operations. Building and
 * running it is the check. */
#include <zm4decode.h>

unsigned char decimation = 7;
unsigned short hostyuvcols, hostyuvrows, current_row;
unsigned char even_line;
int Header, HostYUV422, HostYUVptr, StreamBufferptr;
long zeros, keeptrail, fudge601, uvmask, hasmmx;
short butbl[256], yvaltbl[256], rvtbl[256], guvtbl[4];

int SetupTables(void)
{
    return 0;
}

int CPUcaps(void)
{
    return 0;
}

int main(void)
{
    static const unsigned char frame[64] = {0x19, 0x68};
    FrameHeaderInfo info;
    StreamErrorDetails details;
    unsigned short state = 0;
    unsigned char out[4];
    int failures = 0;
    InitDecode();
    failures += VerifyStreamBounded(frame, sizeof frame, &info, &details) != ZM4_FRAME_NO_END_OF_FRAME;
    failures += FormatStreamBounded(ZM4_FORMAT_NONE, frame, sizeof frame, out, 0, 0, &state) != ZM4_FRAME_OK;
    failures += FormatToSupplyFourCC(0, 24) != ZM4_FORMAT_RGB24;
    failures += Decode_ImageBytes(ZM4_FORMAT_I420, 8, 4) != 48;
    FiniDecode();
    return failures + (decimation != 7) + SetupTables() + CPUcaps();
}
