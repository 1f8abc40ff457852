// --hwids: a device description written as the binary ".hwids" table. The CHIDs expected
// here were computed apart from the tool, with Python 3's hashlib and uuid modules:
//   ns = uuid.UUID("70ffd812-4c7f-4c7d-0000-000000000000")
//   name = "&".join(fields of the type's mask)          # e.g. "ACME Corp&Boards&Board A&42&..."
//   u = uuid.UUID(bytes=hashlib.sha1(ns.bytes + name.encode("utf-16-le")).digest()[:16], version=5)
//   u.bytes_le                                          # the EFI_GUID byte layout
#include "uki-check.h"

#include <gtest/gtest.h>

namespace uki_test {
namespace {

using Guid = std::array<std::uint8_t, 16>;

constexpr std::uint32_t DEVICETREE_ENTRY = 0x1000001C;

// "ACME Corp", "Boards", "Board A", "42", "ACME Corp", "Mainboard A": types 3, 6, 8, 10, 4, 5, 7, 9, 11.
const Guid BOARD_A[] = {
    {0x17, 0x15, 0xb7, 0x44, 0x2f, 0x12, 0x76, 0x51, 0xb9, 0x26, 0xba, 0xf6, 0x35, 0x05, 0x77, 0x6a},
    {0xd0, 0xf8, 0xf9, 0x5b, 0x29, 0xd3, 0x5d, 0x5e, 0xb8, 0x32, 0x6b, 0x87, 0x01, 0xac, 0x19, 0x1d},
    {0x15, 0xfa, 0x17, 0x93, 0xcb, 0x3e, 0x45, 0x51, 0xb3, 0xc3, 0x2c, 0x4f, 0xf0, 0x2a, 0x7d, 0xd6},
    {0x76, 0xa8, 0xcd, 0x6d, 0x3e, 0xb7, 0xbb, 0x58, 0x9c, 0x62, 0xb4, 0xad, 0x14, 0xa2, 0xe0, 0xb3},
    {0x79, 0x37, 0xba, 0x17, 0xa7, 0xd2, 0x90, 0x52, 0x9f, 0xdb, 0x4f, 0x37, 0x4c, 0xd5, 0xf5, 0xf2},
    {0xbc, 0xd0, 0xae, 0x42, 0x24, 0x0f, 0x87, 0x57, 0x87, 0xdf, 0x91, 0x57, 0x57, 0x7c, 0xfe, 0x08},
    {0xc2, 0x3a, 0xf3, 0x75, 0x42, 0x92, 0x8a, 0x5c, 0x94, 0x6b, 0x98, 0xce, 0x5f, 0x7f, 0x9f, 0x75},
    {0x8c, 0x19, 0x43, 0x75, 0x76, 0x84, 0x44, 0x5c, 0xb6, 0x9f, 0x14, 0xa9, 0xd6, 0xfc, 0xa7, 0xcd},
    {0x1a, 0x6a, 0x7a, 0xaa, 0xe5, 0x1b, 0xee, 0x5c, 0xaf, 0x0f, 0x2f, 0x97, 0x7b, 0xb4, 0x6d, 0x75},
};
// uuid.UUID("0123ABCD-4567-89EF-0123-456789ABCDEF").bytes_le
const Guid EXPLICIT = {0xcd, 0xab, 0x23, 0x01, 0x67, 0x45, 0xef, 0x89, 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
// "Zeta", family given empty, "Ünïcode Böard": types 5, 9, 11.
const Guid ZETA[] = {
    {0x6f, 0x4f, 0xcd, 0xc8, 0x7a, 0x98, 0xa6, 0x54, 0xbe, 0x6e, 0xa5, 0xa7, 0x42, 0x71, 0x68, 0xe1},
    {0x68, 0xbc, 0x35, 0x93, 0x95, 0xaa, 0x2f, 0x52, 0xac, 0xde, 0xca, 0x75, 0x07, 0xc0, 0x41, 0xb9},
    {0xe6, 0x41, 0xca, 0x0c, 0xdd, 0x46, 0x2e, 0x5c, 0xba, 0x39, 0xfa, 0xd7, 0x09, 0x65, 0xc8, 0xc3},
};
// "Shared", "F" and the products "D" and "E": types 5 and 9 of each; their type 11 is the same.
const Guid SHARED_D[] = {
    {0x31, 0x95, 0xa6, 0x6a, 0xbe, 0x84, 0x9b, 0x50, 0x9b, 0xac, 0xf8, 0x6c, 0x32, 0x5e, 0x77, 0x6e},
    {0x9f, 0x4d, 0x97, 0x10, 0x67, 0xa2, 0xfb, 0x53, 0xb9, 0x7c, 0x6f, 0x00, 0x9c, 0x40, 0x86, 0xd1},
};
const Guid SHARED_E[] = {
    {0x85, 0x34, 0x5a, 0xbe, 0x84, 0xb1, 0x8d, 0x5f, 0xb8, 0xce, 0x62, 0x23, 0xef, 0xa0, 0xa1, 0x98},
    {0x0f, 0x7a, 0x84, 0xb4, 0x4f, 0xde, 0x37, 0x51, 0xbc, 0x8a, 0x5f, 0x17, 0x28, 0x79, 0xb9, 0xd7},
};

// The table as the stub reads it: entries, an entry of zeros, then the strings.
struct TableEntry {
    Guid chid;
    std::string compatible;
};

Bytes expected_table(const std::vector<TableEntry> &entries, const std::vector<std::string> &strings) {
    Bytes table((entries.size() + 1) * 28, 0);
    std::vector<std::uint32_t> offsets;
    std::uint32_t at = static_cast<std::uint32_t>(table.size());
    for (const std::string &s : strings) {
        offsets.push_back(at);
        at += static_cast<std::uint32_t>(s.size() + 1);
        table.insert(table.end(), s.begin(), s.end());
        table.push_back(0);
    }
    for (std::size_t i = 0; i < entries.size(); i++) {
        put32(table, i * 28, DEVICETREE_ENTRY);
        std::copy(entries[i].chid.begin(), entries[i].chid.end(), table.begin() + static_cast<long>(i * 28 + 4));
        std::size_t string = std::find(strings.begin(), strings.end(), entries[i].compatible) - strings.begin();
        put32(table, i * 28 + 24, offsets.at(string));
    }
    return table;
}

const std::string DESCRIPTION = "# Boards of the test\n"
                                "[ACME Board A]\n"
                                "compatible = acme,board-a\n"
                                "manufacturer =   00ACME Corp   \n" // hashed as "ACME Corp"
                                "family = Boards\n"
                                "product-name = Board A\n"
                                "sku = 0042\n" // hashed as "42"
                                "baseboard-manufacturer = ACME Corp\n"
                                "baseboard-product = Mainboard A\n"
                                "\n"
                                "; the same board under a CHID of its own\n"
                                "[ ACME Board A rev 2 ]\n"
                                "  compatible = acme,board-a\n"
                                "chid = 0123ABCD-4567-89EF-0123-456789ABCDEF\n"
                                "\n"
                                "[Zeta]\r\n"
                                "compatible=zeta,unicode\r\n"
                                "manufacturer=Zeta\r\n"
                                "family=\r\n"
                                "product-name=\xc3\x9cn\xc3\xaf"
                                "code B\xc3\xb6"
                                "ard\r\n";

Bytes hwids_of(const Image &image) {
    const Section *s = image.find(".hwids");
    return s ? image.data(*s) : Bytes{};
}

TEST(UkiHwids, TableHoldsEveryDevicesChidsAndStrings) {
    std::vector<TableEntry> entries;
    for (const Guid &g : BOARD_A)
        entries.push_back({g, "acme,board-a"});
    entries.push_back({EXPLICIT, "acme,board-a"});
    for (const Guid &g : ZETA)
        entries.push_back({g, "zeta,unicode"});
    Bytes expected = expected_table(entries, {"acme,board-a", "zeta,unicode"});

    ScratchDir dir;
    std::string description = dir.write("devices.ini", DESCRIPTION);
    Bytes dtb = text("a devicetree blob");
    Image addon = [&] {
        RunResult r = run_uki({"addon", "--stub", dir.write("base.efi", build_pe({})), "--dtbauto",
                               dir.write("dtb", dtb), "--hwids", description, "-o", dir.file("a.addon.efi")});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return read_image(read_file(dir.file("a.addon.efi")));
    }();
    EXPECT_EQ(hwids_of(addon), expected);

    Image uki = build_ok({"--stub", dir.file("base.efi"), "--linux", dir.write("k", build_kernel(64, 1)), "--hwids",
                          description, "--dtbauto", dir.file("dtb")},
                         dir.file("uki.efi"));
    EXPECT_EQ(hwids_of(uki), expected);
}

TEST(UkiHwids, AChidThatNamesTwoCompatiblesIsLeftOut) {
    ScratchDir dir;
    std::string description = dir.write("devices.ini", "[D]\ncompatible = d,board\nmanufacturer = Shared\n"
                                                       "family = F\nproduct-name = D\n"
                                                       "[E]\ncompatible = e,board\nmanufacturer = Shared\n"
                                                       "family = F\nproduct-name = E\n");
    RunResult r = run_uki({"addon", "--stub", dir.write("base.efi", build_pe({})), "--cmdline", "x", "--hwids",
                           description, "-o", dir.file("a.addon.efi")});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "korvane-uki: " + description +
                         ": warning: devices \"D\" and \"E\" share CHID 19382636-a705-5f21-a960-b9c65beeaf3f; it is "
                         "left out\n");
    Bytes expected = expected_table({{SHARED_D[0], "d,board"},
                                     {SHARED_D[1], "d,board"},
                                     {SHARED_E[0], "e,board"},
                                     {SHARED_E[1], "e,board"}},
                                    {"d,board", "e,board"});
    EXPECT_EQ(hwids_of(read_image(read_file(dir.file("a.addon.efi")))), expected);
}

TEST(UkiHwids, BadDescriptionsAreRefused) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[A]\ncompatible = a\nmanufacturer = M\nchid = 0123abcd-4567-89ef-0123-456789abcdef\n",
         ":1: device \"A\" has both chid lines and identity fields"},
        {"[A]\nmanufacturer = M\n", ":1: device \"A\" has no compatible"},
        {"[A]\ncompatible = a\nfamily = F\n", ":1: device \"A\" has identity fields but no manufacturer"},
        {"[A]\ncompatible = a\n", ":1: device \"A\" has neither chid lines nor identity fields"},
        {"[A]\ncompatible = a\nmanufacturer = M\n", ":1: device \"A\" gives too few identity fields for any CHID type"},
        {"[A]\ncompatible = a\nmanufacturer = M\nfamily = F\n[B]\ncompatible = b\nmanufacturer = M\nfamily = F\n",
         ": warning: devices \"A\" and \"B\" share CHID 48a47522-d172-5576-aeef-b79ff6902e4f; it is left out\n"
         "korvane-uki: %: device \"A\" has no CHID that tells it from the other devices"},
        {"[A]\ncompatible = a\nproduct = P\n", ":3: unknown key \"product\""},
        {"[A]\ncompatible = a\nchid = 0123abcd-4567-89ef-0123-456789abcdeg\n",
         ":3: \"0123abcd-4567-89ef-0123-456789abcdeg\" is not a CHID (xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx)"},
        {"compatible = a\n", ":1: \"compatible\" before the first \"[NAME]\""},
        {"[A]\ncompatible = a\ncompatible = b\n", ":3: a second \"compatible\" for device \"A\""},
        {"[A]\ncompatible =\n", ":2: an empty compatible"},
        {"[A]\ncompatible = a\nmanufacturer = M\n[A]\n", ":4: a second device named \"A\""},
        {"[A\n", ":1: a device header is \"[NAME]\""},
        {"[A]\njust words\n", ":2: expected \"[NAME]\" or \"key = value\""},
        {"# nothing\n", ": describes no device"},
        {"[A]\ncompatible = a\nmanufacturer = \xf0\x9f\x90\xa7\n",
         ":1: manufacturer: characters beyond U+FFFF cannot be matched by the stub"},
        {"[A]\ncompatible = a\nmanufacturer = \xc0\xaf\n", ":1: manufacturer: not UTF-8 text"},
        {std::string("[A]\ncompatible = a\0b\n", 21), ":2: a NUL byte"},
    };
    for (const auto &[description, message] : cases) {
        SCOPED_TRACE(description);
        ScratchDir dir;
        std::string path = dir.write("devices.ini", description);
        RunResult r = run_uki({"addon", "--stub", dir.write("base.efi", build_pe({})), "--cmdline", "x", "--hwids",
                               path, "-o", dir.file("a.addon.efi")});
        EXPECT_EQ(r.exit_code, 1);
        std::string expected = "korvane-uki: " + path + message + "\n";
        if (std::size_t at = expected.find('%'); at != std::string::npos)
            expected.replace(at, 1, path);
        EXPECT_EQ(r.err, expected);
        EXPECT_FALSE(exists(dir.file("a.addon.efi")));
    }
}

} // namespace
} // namespace uki_test
