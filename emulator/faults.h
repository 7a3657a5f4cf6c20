#pragma once
// Fault switches of the emulated camera. Each can be set at any time, from a
// test directly or from the tool through the text form parsed here,
// NAME[=VALUE][,KEY=VALUE...] (":" may stand for the first "="), e.g.
// "ctrlfail=3", "isoerror=0.01", "corrupt=eol,line=3", "refuse-alt=3",
// "disconnect:after=40"; the tool adds "@TIME" to switch a fault on later. One
// table (faults.cpp) holds every name, its parameters and its help text.
// Random choices come from the camera's own generator, seeded by `seed`, so a
// run with faults repeats exactly.

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>

namespace zm4::emu {

// One switch: off, or on for every eligible event, for each with probability
// p, and for at most `count` firings when count is not negative.
struct FaultSwitch {
    bool on = false;
    double p = 1.0;
    int64_t count = -1;

    // Decides whether the fault hits this event, and uses up one firing if so.
    bool fire(std::mt19937_64 &rng);
};

enum class Corruption {
    kLineLength, // one line's length word exceeds the longest line
    kEndOfLine,  // one line's end-of-line marker is wrong
    kEndOfFrame, // the end-of-frame marker is missing
    kMagic,      // junk bytes come before the magic
};

struct Faults {
    FaultSwitch noAnswer;    // reads come back as eight 0xFF bytes, writes do nothing
    FaultSwitch ctrlFail;    // control transfers fail
    FaultSwitch haltOnWrite; // writes with a data stage stall the endpoint
    FaultSwitch statusError; // every command raises statusErrorBits in status byte 4
    uint8_t statusErrorBits = 0x04;
    FaultSwitch isoError; // isochronous packets arrive with an error status
    FaultSwitch isoFail;  // whole isochronous requests fail
    FaultSwitch stall;    // the isochronous endpoint sends nothing at all
    FaultSwitch isoDrop;  // non-empty packets are lost on the way: the host sees an empty slot
    FaultSwitch isoShort; // packets lose their last isoShortBytes bytes on the way
    int isoShortBytes = 1;
    FaultSwitch corrupt; // frames leave the camera damaged
    Corruption corruption = Corruption::kLineLength;
    int corruptLine = -1;          // line record to damage; -1 = the middle one
    int magicOffset = 10;          // junk bytes before the magic
    uint8_t refusedAlternates = 0; // bit n refuses alternate setting n
    FaultSwitch slowCtrl;          // control transfers take slowCtrlMs to complete
    int slowCtrlMs = 1500;
    FaultSwitch version; // version replies report the values below, not the camera's own
    uint16_t versionFirmware = 0x0100;
    uint8_t versionByte2 = 1;     // 1 marks a camera without status reporting
    uint8_t vpVersionByte2 = 4;   // low nibble 4: the 612 sensor
    bool disconnect = false;      // the camera has left the bus
    int64_t disconnectAfter = -1; // requests still answered before the camera leaves; -1: no plan
    uint64_t seed = 1;
};

// One fault the text form can name, for help texts: its name, what its VALUE
// is, the keys it takes besides count, p and seed, and what it does.
struct FaultInfo {
    std::string_view name;
    std::string_view value;
    std::string_view keys;
    std::string_view help;
};
std::span<const FaultInfo> faultTable();

// Applies one switch in text form to faults: NAME, NAME=VALUE or NAME:VALUE,
// then ",KEY=VALUE" pairs; VALUE "off" turns the fault off. A switch's VALUE
// is a count of firings (a whole number) or a probability (with a decimal
// point). Returns false with a message on error, leaving faults unchanged.
bool parseFault(std::string_view spec, Faults &faults, std::string *error);
// Several switches separated by ';'.
bool parseFaults(std::string_view specs, Faults &faults, std::string *error);

// A fault the tool switches at a time: NAME[=VALUE][@TIME], TIME in
// milliseconds or with a unit (ms, s) from the start of the run.
struct TimedFault {
    std::string spec; // without the time
    int64_t atMs = 0;
};
// Checks the whole spec (the fault part as parseFault does); false and a
// message on error.
bool parseTimedFault(std::string_view text, TimedFault &out, std::string *error);

} // namespace zm4::emu
