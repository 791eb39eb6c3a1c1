// Fuzzes the serial record, the file that keeps the highest serial loaded: any bytes either
// record a serial, exactly the decimal number they hold with at most a line feed after it, or
// are refused with one line that names the file; damaged contents are never taken for none.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "manifest/serial.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const std::string& RecordPath() {
    static const FuzzFolder folder;
    static const std::string path = folder.Path("serial");
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    WriteFuzzFile(RecordPath(), bytes);
    std::optional<uint64_t> recorded;
    const std::string error = ReadRecordedSerial(RecordPath(), recorded);
    std::string_view number = bytes;
    if (!number.empty() && number.back() == '\n') {
        number.remove_suffix(1);
    }
    uint64_t serial = 0;
    const bool valid = ParseSerial(number, serial) &&
                       number.find_first_not_of("0123456789") == std::string_view::npos;
    RequireProperty(error.empty() == valid, "a record is read exactly when it holds a number");
    RequireProperty(!valid || recorded == serial, "the record is the number it holds");
    RequireProperty(valid || (!recorded && error.rfind("Error: ", 0) == 0 &&
                              error.find(RecordPath()) != std::string::npos &&
                              error.find('\n') == error.size() - 1),
                    "a damaged record is refused in one line naming it");
    return 0;
}
