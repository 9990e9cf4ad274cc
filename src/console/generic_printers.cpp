// Printers that decode no bridge record: banner, deprecation notice, frame
// types, error types, hex dump and menu keys.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <span>
#include <string_view>

#include "console/printers.h"
#include "state/console.h"

namespace spweth::console {
namespace {

constexpr const char *kSdkVersion = "Ethernet SpaceWire SDK version 3.1.0";
constexpr const char *kDemoVersion = "Ethernet SpaceWire Demo program version 1.7.0";

struct FrameTypeName {
    int type;
    const char *name;
};

constexpr std::array<FrameTypeName, 10> kFrameTypeNames{{
    {0, "Part of SpW packet"},
    {1, "Full SpW packet  with EOP"},
    {2, "Full SpW packet  with EEP"},
    {3, "First part of SpW packet"},
    {4, "Last part of SpW packet  with EOP"},
    {5, "Last part of SpW packet  with EEP"},
    {6, "Frame of CCodes "},
    {7, "Frame with errors"},
    {8, "Status "},
    {255, "Configure packet"},
}};

// Indexed by the error type that opens the payload of an error frame.
constexpr std::array<const char *, 6> kErrorTypeTexts{
    " Credit info \n",
    "SOF, FEEF, FEOF data frame number bigger at 2 or more.\n"
    " Previous data frame was SOF or MOF\n",
    "SOF, FEEF, FEOF data frame number bigger at 2 or more.\n"
    " Previous data frame was EOF, EEF, FEOF or FEEF\n",
    "MOF, EEF, EOF data frame number bigger at 2 or more.\n"
    " Previous data frame was SOF or MOF\n",
    "MOF, EEF, EOF data frame number bigger at 2 or more.\n"
    " Previous data frame was EOF, EEF,FEOF or FEEF\n",
    "Number of Ccode frame bigger at 2 or more\n",
};
constexpr const char *kOtherErrorText = "OTHER \n";

// Keys of the application's console menus; j and q are not among them.
constexpr std::string_view kMenuKeys = "0123456789abcdefghiklmnoprst";

// Dump layout: 16 bytes a row, an extra blank after the eighth, and the hex
// part padded to 51 characters so that the character column lines up.
constexpr std::size_t kDumpRowBytes = 16;
constexpr std::size_t kDumpHalfRow = 8;
constexpr std::size_t kDumpHexWidth = 51;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Control characters and bytes from 0x80 up show as '.'; 0x7F shows as itself.
constexpr char dump_character(std::uint8_t byte) {
    return byte < 0x20 || byte >= 0x80 ? '.' : static_cast<char>(byte);
}

void print_dump_row(std::size_t offset, std::span<const std::uint8_t> row) {
    // "[+" up to eight digits "]:", hex part, characters, line end, terminator.
    std::array<char, 12 + kDumpHexWidth + kDumpRowBytes + 2> line{};
    const int field =
        std::snprintf(line.data(), line.size(), "[+%04X]:", static_cast<unsigned int>(offset));
    std::size_t at = static_cast<std::size_t>(field);
    const std::size_t hex_start = at;
    for (std::size_t i = 0; i < row.size(); ++i) {
        line[at++] = ' ';
        line[at++] = kHexDigits[row[i] >> 4];
        line[at++] = kHexDigits[row[i] & 0x0F];
        if (i + 1 == kDumpHalfRow) line[at++] = ' ';
    }
    while (at - hex_start < kDumpHexWidth) line[at++] = ' ';
    for (const std::uint8_t byte : row) line[at++] = dump_character(byte);
    line[at++] = '\n';
    line[at] = '\0';
    console_print("%s", line.data());
}

}  // namespace

const char *frame_type_name(int frame_type) {
    const auto row = std::find_if(kFrameTypeNames.begin(), kFrameTypeNames.end(),
                                  [&](const FrameTypeName &r) { return r.type == frame_type; });
    return row == kFrameTypeNames.end() ? nullptr : row->name;
}

const char *error_type_text(int error_type) {
    if (error_type < 0 || static_cast<std::size_t>(error_type) >= kErrorTypeTexts.size())
        return kOtherErrorText;
    return kErrorTypeTexts[static_cast<std::size_t>(error_type)];
}

bool is_menu_key(int key) {
    const char character = static_cast<char>(key & 0xFF);
    return kMenuKeys.find(character) != std::string_view::npos;
}

void dump_bytes(const char *title, const std::uint8_t *bytes, unsigned int byte_count) {
    console_print("%s: %u bytes \n", title != nullptr ? title : "", byte_count);
    if (bytes == nullptr) return;
    const std::span<const std::uint8_t> all(bytes, byte_count);
    for (std::size_t offset = 0; offset < all.size(); offset += kDumpRowBytes)
        print_dump_row(offset, all.subspan(offset, std::min(kDumpRowBytes, all.size() - offset)));
}

}  // namespace spweth::console

using spweth::console_print;
namespace console = spweth::console;

extern "C" {

SPWETH_API void Display_SDK_and_demo_information(void) {
    console_print("SDK: %s\n", console::kSdkVersion);
    console_print("Demo: %s\n", console::kDemoVersion);
}

// Receive calls have no time-out; the argument is accepted for old callers.
SPWETH_API void set_receive_timeout(int /*ignored_timeout*/) {
    console_print(
        "set_receive_timeout finction is deprecated. Receive timeouts are removed, no timeouts "
        "any more.");
}

SPWETH_API void print_frame_type(int frame_type) {
    if (const char *name = console::frame_type_name(frame_type); name != nullptr)
        console_print("%s\n", name);
    else
        console_print("ERROR %d\n", frame_type);
}

SPWETH_API void print_error_type(int error_type) {
    console_print("%s", console::error_type_text(error_type));
}

SPWETH_API void debug_dump(const char *title, const unsigned char *bytes, unsigned int byte_count) {
    console::dump_bytes(title, bytes, byte_count);
}

SPWETH_API int menu_select_valid(int key) { return console::is_menu_key(key) ? 1 : 0; }

}  // extern "C"
