// PE/COFF field positions and constants used by the image tools (Microsoft PE/COFF
// specification). Offsets are in bytes from the start of the structure named.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::pe {

inline constexpr std::uint16_t DOS_MAGIC = 0x5A4D; // "MZ"
inline constexpr std::size_t DOS_HEADER_SIZE = 64;
inline constexpr std::size_t DOS_LFANEW = 0x3C;

// From the start of the PE signature.
inline constexpr std::uint32_t PE_SIGNATURE = 0x00004550; // "PE\0\0"
inline constexpr std::size_t COFF_MACHINE = 4;
inline constexpr std::size_t COFF_NUMBER_OF_SECTIONS = 6;
inline constexpr std::size_t COFF_TIME_DATE_STAMP = 8;
inline constexpr std::size_t COFF_POINTER_TO_SYMBOL_TABLE = 12;
inline constexpr std::size_t COFF_SIZE_OF_OPTIONAL_HEADER = 20;
inline constexpr std::size_t OPTIONAL_HEADER = 24;

inline constexpr std::uint16_t MACHINE_X86_64 = 0x8664;
inline constexpr std::uint16_t MAGIC_PE32 = 0x10B;
inline constexpr std::uint16_t MAGIC_PE32_PLUS = 0x20B;

// From the start of the PE32+ optional header.
inline constexpr std::size_t OPT_MAGIC = 0;
inline constexpr std::size_t OPT_SIZE_OF_INITIALIZED_DATA = 8;
inline constexpr std::size_t OPT_SECTION_ALIGNMENT = 32;
inline constexpr std::size_t OPT_FILE_ALIGNMENT = 36;
inline constexpr std::size_t OPT_SIZE_OF_IMAGE = 56;
inline constexpr std::size_t OPT_SIZE_OF_HEADERS = 60;
inline constexpr std::size_t OPT_CHECKSUM = 64;
inline constexpr std::size_t OPT_NUMBER_OF_RVA_AND_SIZES = 108;
inline constexpr std::size_t OPT_DATA_DIRECTORIES = 112;
inline constexpr std::size_t DATA_DIRECTORY_SIZE = 8;

inline constexpr std::size_t DIRECTORY_SECURITY = 4; // holds a file offset, not an RVA
inline constexpr std::size_t DIRECTORY_DEBUG = 6;

// Section header.
inline constexpr std::size_t SECTION_HEADER_SIZE = 40;
inline constexpr std::size_t SECTION_NAME_SIZE = 8;
inline constexpr std::size_t SECTION_VIRTUAL_SIZE = 8;
inline constexpr std::size_t SECTION_VIRTUAL_ADDRESS = 12;
inline constexpr std::size_t SECTION_SIZE_OF_RAW_DATA = 16;
inline constexpr std::size_t SECTION_POINTER_TO_RAW_DATA = 20;
inline constexpr std::size_t SECTION_POINTER_TO_RELOCATIONS = 24;
inline constexpr std::size_t SECTION_POINTER_TO_LINENUMBERS = 28;
inline constexpr std::size_t SECTION_CHARACTERISTICS = 36;

inline constexpr std::uint32_t SCN_CNT_INITIALIZED_DATA = 0x00000040;
inline constexpr std::uint32_t SCN_MEM_READ = 0x40000000;

// Debug directory entry.
inline constexpr std::size_t DEBUG_ENTRY_SIZE = 28;
inline constexpr std::size_t DEBUG_POINTER_TO_RAW_DATA = 24;

// The Windows loader's limit, which UEFI loaders follow too.
inline constexpr std::size_t MAX_SECTIONS = 96;

inline std::uint16_t load_le16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::uint32_t load_le32(const std::uint8_t *p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline void store_le16(std::uint8_t *p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void store_le32(std::uint8_t *p, std::uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

inline constexpr std::uint64_t align_up(std::uint64_t v, std::uint64_t alignment) {
    return (v + alignment - 1) / alignment * alignment;
}

} // namespace korvane::pe
