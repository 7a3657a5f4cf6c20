// The encodings a registry file is read in. The registry editor exports
// UTF-16LE with a byte-order mark by default; files written by hand or by
// this store are UTF-8. The store's text layer parses UTF-8 only, so a file
// is turned into UTF-8 before it is parsed.
#pragma once

#include <optional>
#include <string>

namespace zm4::host {

// Converts the file's bytes to UTF-8 in place: UTF-16LE with a byte-order
// mark is decoded, UTF-8 (with or without its mark) stays as it is. Returns
// why the bytes cannot be read ("is UTF-16BE, ...") for any other encoding
// or broken UTF-16LE, naming the encodings that are accepted.
std::optional<std::string> decodeRegistryText(std::string &bytes);

} // namespace zm4::host
