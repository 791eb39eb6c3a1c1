// A signed file kept in place as a link to one of two slots, FILE.a and FILE.b, each with its
// signature beside it, as the boot script keeps the manifest: the pair in the free slot is
// written whole, then one rename of the link switches file and signature at once, so that a
// crash leaves either the old pair in place or the new one.
#pragma once

#include <string>
#include <string_view>

// The slot that the next switch of `path` fills: FILE.b when FILE leads to FILE.a, else FILE.a.
std::string FreeSlot(const std::string& path);
// Writes `bytes` to `slot` and `signature` to SLOT.sig, each replaced whole, never through a
// link; `what` names the file in messages. "" or the error line.
std::string FillSlot(const std::string& slot, std::string_view bytes, std::string_view signature,
                     std::string_view what);
// Makes `path` a link to `slot`, which lies in its folder: a link made beside it, renamed over
// it, and the folder flushed. "" or the error line.
std::string SwitchToSlot(const std::string& path, const std::string& slot);
