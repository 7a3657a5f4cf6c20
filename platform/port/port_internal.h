// What the port library's two halves share: the checks of a format an
// application hands over, and the stop the port makes when a driver breaks
// the request protocol.
#pragma once

#include <string>

#include "platform/port/port.h"

namespace zm4::host::portdetail {

// A data format or range handed over by an application must hold at least its
// own header and as many bytes as its FormatSize claims: the minidriver reads
// that many.
bool formatFits(const void *format, size_t bytes);

// A port that finds the driver breaking the request protocol stops the
// process, as the kernel's verifier would stop the machine.
[[noreturn]] void portFatal(const std::string &message);

} // namespace zm4::host::portdetail
