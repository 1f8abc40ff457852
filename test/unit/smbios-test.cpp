#include <gtest/gtest.h>

#include "boot/smbios.h"
#include "fakefw/fakefw.h"
#include "smbios-tables.h"

using namespace smbiostest;
using korvane::SmbiosHeader;
using korvane::smbios_find_oem_string;
using korvane::smbios_find_structure;
using korvane::smbios_get_string;
using korvane::smbios_identity_get;

namespace {

class Smbios : public ::testing::Test {
protected:
    void SetUp() override { korvane::smbios_identity_cache = {}; }

    // The offset of the structure found in the last table added, or -1.
    long find(uint8_t type, size_t min_length = 0, size_t *ret_left = nullptr) {
        size_t left = 12345;
        const SmbiosHeader *h = smbios_find_structure(type, min_length, &left);
        if (ret_left)
            *ret_left = left;
        if (!h) {
            EXPECT_EQ(left, 0u);
            return -1;
        }
        return reinterpret_cast<const uint8_t *>(h) - tables.table();
    }

    std::string string_of(uint8_t type, uint8_t number) {
        size_t left;
        const SmbiosHeader *h = smbios_find_structure(type, 0, &left);
        if (!h)
            return "(no structure)";
        const char *s = smbios_get_string(h, number, left);
        return s ? s : "(null)";
    }

    fakefw::Firmware fw;
    Tables tables{fw};
};


} // namespace

TEST_F(Smbios, WalksToTheFirstStructureOfTheType) {
    Bytes a = structure(0, {1, 2, 3}, {"vendor", "1.0"});
    Bytes b = structure(3, {}, {});
    Bytes c = structure(3, {9}, {"second"});
    Bytes table = concat({a, b, c, end_of_table()});
    tables.add3(table);
    size_t left;
    EXPECT_EQ(find(0, 0, &left), 0);
    EXPECT_EQ(left, table.size());
    EXPECT_EQ(find(3, 0, &left), static_cast<long>(a.size()));
    EXPECT_EQ(left, table.size() - a.size());
    EXPECT_EQ(find(4), -1);
    EXPECT_EQ(find(127), -1);
}

TEST_F(Smbios, StructureWithoutStringsTakesTwoBytes) {
    // The empty set is two NULs; a third NUL would be read as the next structure's type 0.
    Bytes a = structure(5, {0, 0}, {});
    ASSERT_EQ(a.size(), 8u);
    Bytes table = concat({a, structure(7, {}, {"x"}), end_of_table()});
    tables.add3(table);
    EXPECT_EQ(find(7), 8);
    EXPECT_EQ(find(0), -1);
}

TEST_F(Smbios, MinimumLengthIsCheckedOnTheFirstOfTheTypeOnly) {
    Bytes short_one = system_information(1, 2, 0, 0, {"Acme", "Road"}, 25);
    Bytes long_one = system_information(1, 2, 3, 4, {"Acme", "Road", "SKU", "Fam"});
    tables.add3(concat({short_one, long_one, end_of_table()}));
    EXPECT_EQ(find(1, 27), -1);
    EXPECT_EQ(find(1, 25), 0);
}

TEST_F(Smbios, EndOfTableStopsTheWalk) {
    tables.add3(concat({structure(0, {}, {"a"}), end_of_table(), structure(1, Bytes(23), {"Acme"})}));
    EXPECT_EQ(find(1), -1);
}

TEST_F(Smbios, MalformedTablesEndTheWalk) {
    struct Case {
        const char *what;
        Bytes table;
    } cases[] = {
        {"empty", {}},
        {"header cut", {0, 4, 0}},
        {"length beyond the table", {0, 40, 0, 0, 0, 0}},
        {"string set cut after the formatted area", {0, 4, 0, 0, 0}},
        {"string set without its terminating empty string", {0, 4, 0, 0, 'a', 0, 'b', 0}},
        {"string running to the end", {0, 4, 0, 0, 'a', 'b', 'c'}},
        {"table ending right after a string", {0, 4, 0, 0, 'a', 0}},
        {"second structure cut", {0, 4, 0, 0, 0, 0, 3, 4, 0}},
    };
    for (const Case &c : cases) {
        Tables t(fw);
        t.add3(c.table);
        size_t left = 99;
        EXPECT_EQ(smbios_find_structure(3, 0, &left), nullptr) << c.what;
        EXPECT_EQ(left, 0u) << c.what;
    }
}

TEST_F(Smbios, StringSetOpenedByAnEmptyString) {
    // A set whose first string is empty (but is not the two-NUL form) runs to the next empty string.
    // Its second string would read as a type 3 header if the set ended at the first NUL.
    tables.add3(concat({{0, 4, 0, 0, 0, 3, 5, 1, 0, 0}, structure(3, {}, {"x"}), end_of_table()}));
    EXPECT_EQ(find(3), 10);
}

// Every cut of a table, published with the cut size: the walk stays inside it and only finds
// structures that lie whole inside it.
TEST_F(Smbios, TruncatedTablesAreReadInBounds) {
    Bytes a = structure(0, {1, 2, 3}, {"vendor", "1.0"});
    Bytes b = structure(2, {1, 2, 0, 0}, {"Acme", "Board"});
    Bytes target = system_information(1, 2, 3, 4, {"Acme", "Road", "SKU", "Fam"});
    Bytes table = concat({a, b, target, end_of_table()});
    size_t target_at = a.size() + b.size();
    for (size_t len = 0; len <= table.size(); len++) {
        Tables t(fw);
        t.add3(Bytes(table.begin(), table.begin() + static_cast<long>(len)));
        size_t left;
        const SmbiosHeader *h = smbios_find_structure(1, 27, &left);
        if (len < target_at + 27) {
            EXPECT_EQ(h, nullptr) << len;
            continue;
        }
        ASSERT_EQ(reinterpret_cast<const uint8_t *>(h), t.table() + target_at) << len;
        EXPECT_EQ(left, len - target_at);
        for (uint8_t n = 0; n < 6; n++) {
            const char *s = smbios_get_string(h, n, left);
            if (s)
                EXPECT_LT(reinterpret_cast<const uint8_t *>(s) + strlen(s), t.table() + len);
        }
        // The last string is whole only once its NUL is inside the table.
        const char *fam = smbios_get_string(h, 4, left);
        EXPECT_EQ(fam != nullptr, len >= target.size() + target_at - 1) << len;
    }
}

TEST_F(Smbios, Smbios3IsPreferred) {
    tables.add2(concat({structure(9, {}, {"two"}), end_of_table()}));
    tables.add3(concat({structure(9, {}, {"three"}), end_of_table()}));
    EXPECT_EQ(string_of(9, 1), "three");
}

TEST_F(Smbios, Smbios2IsUsedAlone) {
    Bytes table = concat({structure(0, {}, {"bios"}), structure(9, {}, {"two"}), end_of_table()});
    ASSERT_NE(tables.add2(table), nullptr);
    EXPECT_EQ(string_of(9, 1), "two");
    size_t left;
    EXPECT_EQ(find(9, 0, &left), 10);
    EXPECT_EQ(left, table.size() - 10);
}

TEST_F(Smbios, Smbios2TableLengthBoundsTheWalk) {
    // The 16-bit length ends the table inside the structure's header; a guard page follows it.
    Bytes table = concat({structure(0, {}, {"bios"}), structure(9, {}, {"two"})});
    tables.add2(Bytes(table.begin(), table.begin() + 13));
    EXPECT_EQ(find(9), -1);
    tables.add2(Bytes(table.begin(), table.begin() + 14));
    EXPECT_EQ(find(9), 10);
}

TEST_F(Smbios, UnusableSmbios3EntryPointsFallBackToSmbios2) {
    struct Case {
        const char *what;
        const char *anchor;
        uint8_t length;
    } cases[] = {
        {"wrong anchor", "_SM2_", 24},
        {"entry point longer than its structure", "_SM3_", 25},
        // A length that does not cover the table fields would make them garbage.
        {"entry point shorter than its fields", "_SM3_", 23},
    };
    for (const Case &c : cases) {
        Tables t(fw);
        t.add2(concat({structure(9, {}, {"two"}), end_of_table()}));
        SMBIOS_TABLE_3_0_ENTRY_POINT *ep = t.add3(concat({structure(9, {}, {"three"}), end_of_table()}));
        std::memcpy(ep->AnchorString, c.anchor, 5);
        ep->EntryPointLength = c.length;
        EXPECT_EQ(string_of(9, 1), "two") << c.what;
    }
}

TEST_F(Smbios, ShortSmbios3EntryPointIsNotReadPastItsEnd) {
    tables.add2(concat({structure(9, {}, {"two"}), end_of_table()}));
    tables.add3_short(8);
    EXPECT_EQ(string_of(9, 1), "two");
}

TEST_F(Smbios, Smbios3WithoutTableAddressMeansNoTable) {
    tables.add2(concat({structure(9, {}, {"two"}), end_of_table()}));
    tables.add3(concat({structure(9, {}, {"three"}), end_of_table()}))->TableAddress = 0;
    EXPECT_EQ(string_of(9, 1), "(no structure)");
}

TEST_F(Smbios, Smbios2EntryPointChecks) {
    struct Case {
        const char *anchor;
        uint8_t length;
        bool usable;
    } cases[] = {
        {"_SM_", 31, true},  {"_SM_", 30, true}, // 2.1 entry points that say 0x1e
        {"_SM_", 32, false}, {"_SN_", 31, false},
        {"_SM_", 27, false}, // ends before the table address
    };
    for (const Case &c : cases) {
        Tables t(fw);
        SMBIOS_TABLE_ENTRY_POINT *ep = t.add2(concat({structure(9, {}, {"two"}), end_of_table()}));
        std::memcpy(ep->AnchorString, c.anchor, 4);
        ep->EntryPointLength = c.length;
        EXPECT_EQ(string_of(9, 1), c.usable ? "two" : "(no structure)") << c.anchor << int{c.length};
    }
}

TEST_F(Smbios, NoSmbiosAtAll) {
    EXPECT_EQ(find(1), -1);
    fw.config_tables().add(SMBIOS3_TABLE_GUID, nullptr);
    fw.config_tables().add(SMBIOS_TABLE_GUID, nullptr);
    EXPECT_EQ(find(1), -1);
}

TEST_F(Smbios, StringsByNumber) {
    tables.add3(concat({structure(9, {}, {"one", "two", "three"}), end_of_table()}));
    EXPECT_EQ(string_of(9, 0), "(null)");
    EXPECT_EQ(string_of(9, 1), "one");
    EXPECT_EQ(string_of(9, 2), "two");
    EXPECT_EQ(string_of(9, 3), "three");
    EXPECT_EQ(string_of(9, 4), "(null)");
    EXPECT_EQ(string_of(9, 255), "(null)");
}

TEST_F(Smbios, StringsOfAStructureWithoutAny) {
    tables.add3(concat({structure(9, {1, 2}, {}), end_of_table()}));
    EXPECT_EQ(string_of(9, 1), "(null)");
}

TEST_F(Smbios, StringsAreLookedForInsideLeftOnly) {
    // The last structure's set lacks its end and its last string its NUL.
    Bytes table = {9, 4, 0, 0, 'a', 0, 'b', 'c'};
    tables.add3(table);
    auto *h = reinterpret_cast<const SmbiosHeader *>(tables.table());
    EXPECT_STREQ(smbios_get_string(h, 1, table.size()), "a");
    EXPECT_EQ(smbios_get_string(h, 2, table.size()), nullptr);
    EXPECT_EQ(smbios_get_string(h, 1, 5), nullptr);
    EXPECT_EQ(smbios_get_string(h, 1, 4), nullptr);
}

TEST_F(Smbios, LeftShorterThanTheFormattedAreaHalts) {
    tables.add3(concat({structure(9, {1, 2, 3}, {"a"}), end_of_table()}));
    auto *h = reinterpret_cast<const SmbiosHeader *>(tables.table());
    std::string text = fakefw::expect_halt([&] { (void)smbios_get_string(h, 1, 6); });
    EXPECT_NE(text.find("Assertion 'left >= header->length' failed"), std::string::npos) << text;
}

namespace {

const char *const KEY = "io.korvane.stub.kernel-cmdline-extra";

Bytes oem_strings(const std::vector<std::string> &strings, const Bytes &extra_fields = {}) {
    Bytes fields = {static_cast<uint8_t>(strings.size())};
    fields.insert(fields.end(), extra_fields.begin(), extra_fields.end());
    return structure(11, fields, strings);
}

std::string oem_value() {
    const char *v = smbios_find_oem_string(KEY);
    return v ? v : "(null)";
}

} // namespace

TEST_F(Smbios, OemStringWithTheKey) {
    tables.add3(concat({oem_strings({"other=1", std::string(KEY) + "2=x", KEY, std::string(KEY) + "=debug",
                                     std::string(KEY) + "=second"}),
                        end_of_table()}));
    const char *v = smbios_find_oem_string(KEY);
    ASSERT_NE(v, nullptr);
    EXPECT_STREQ(v, "debug");
    // The value lies in the table itself.
    EXPECT_GT(reinterpret_cast<const uint8_t *>(v), tables.table());
}

TEST_F(Smbios, OemStringWithEmptyValue) {
    tables.add3(concat({oem_strings({std::string(KEY) + "="}), end_of_table()}));
    EXPECT_EQ(oem_value(), "");
}

TEST_F(Smbios, OemStringNotFound) {
    struct Case {
        const char *what;
        Bytes table;
    } cases[] = {
        {"no type 11", concat({structure(1, Bytes(23), {"Acme"}), end_of_table()})},
        {"type 11 too short", concat({structure(11, {}, {std::string(KEY) + "=x"}), end_of_table()})},
        {"key without =", concat({oem_strings({KEY}), end_of_table()})},
        {"only a longer key", concat({oem_strings({std::string(KEY) + "2=x"}), end_of_table()})},
        {"only a prefix of the key", concat({oem_strings({"io.korvane.stub="}), end_of_table()})},
        {"no strings", concat({oem_strings({}), end_of_table()})},
        // The string runs to the end of the table without its NUL.
        {"unterminated", concat({{11, 5, 0, 0, 1}, Bytes(KEY, KEY + strlen(KEY)), {'=', 'x'}})},
    };
    for (const Case &c : cases) {
        Tables t(fw);
        t.add3(c.table);
        EXPECT_EQ(oem_value(), "(null)") << c.what;
    }
}

TEST_F(Smbios, OemStringsEndAtTheEmptyString) {
    Bytes table = concat({{11, 5, 0, 0, 1, 'a', 0, 0}, Bytes(KEY, KEY + strlen(KEY)), {'=', 'x', 0, 0}});
    tables.add3(concat({table, end_of_table()}));
    EXPECT_EQ(oem_value(), "(null)");
}

TEST_F(Smbios, OemStringsFollowALongerFormattedArea) {
    // A formatted area longer than the count byte: its bytes are no strings.
    tables.add3(concat({oem_strings({std::string(KEY) + "=debug"}, {'X', 'Y'}), end_of_table()}));
    EXPECT_EQ(oem_value(), "debug");
}

TEST_F(Smbios, OemStringInAnSmbios2Table) {
    tables.add2(concat({oem_strings({std::string(KEY) + "=quiet"})}));
    EXPECT_EQ(oem_value(), "quiet");
}

TEST_F(Smbios, IdentityFromSystemAndBaseboard) {
    tables.add3(concat({structure(0, {}, {"bios"}),
                        system_information(1, 3, 2, 4, {"Acme", "SKU-1", "Catapult", "Roadrunner"}),
                        baseboard(2, 1, {"C9K-MB", "Acme Boards"}), end_of_table()}));
    const korvane::SmbiosIdentityCache *id = smbios_identity_get();
    EXPECT_TRUE(id->filled);
    EXPECT_STREQ(id->manufacturer, "Acme");
    EXPECT_STREQ(id->product_name, "Catapult");
    EXPECT_STREQ(id->product_sku, "SKU-1");
    EXPECT_STREQ(id->family, "Roadrunner");
    EXPECT_STREQ(id->baseboard_manufacturer, "Acme Boards");
    EXPECT_STREQ(id->baseboard_product, "C9K-MB");
}

TEST_F(Smbios, IdentityWithMissingPieces) {
    // String number 0, a number past the set, and an old type 1 without SKU and family.
    tables.add3(concat({system_information(1, 0, 7, 2, {"Acme", "Fam"}), baseboard(0, 1, {"Board"}),
                        end_of_table()}));
    const korvane::SmbiosIdentityCache *id = smbios_identity_get();
    EXPECT_STREQ(id->manufacturer, "Acme");
    EXPECT_EQ(id->product_name, nullptr);
    EXPECT_EQ(id->product_sku, nullptr);
    EXPECT_STREQ(id->family, "Fam");
    EXPECT_EQ(id->baseboard_manufacturer, nullptr);
    EXPECT_STREQ(id->baseboard_product, "Board");
}

TEST_F(Smbios, IdentityOfAnOldSystemInformation) {
    tables.add3(concat({system_information(1, 2, 0, 0, {"Acme", "Road"}, 25), baseboard(1, 2, {"A", "B"}),
                        end_of_table()}));
    const korvane::SmbiosIdentityCache *id = smbios_identity_get();
    EXPECT_EQ(id->manufacturer, nullptr);
    EXPECT_EQ(id->product_name, nullptr);
    EXPECT_EQ(id->product_sku, nullptr);
    EXPECT_EQ(id->family, nullptr);
    EXPECT_STREQ(id->baseboard_manufacturer, "A");
    EXPECT_STREQ(id->baseboard_product, "B");
}

TEST_F(Smbios, IdentityIsReadOnce) {
    const korvane::SmbiosIdentityCache *first = smbios_identity_get();
    EXPECT_TRUE(first->filled);
    EXPECT_EQ(first->manufacturer, nullptr);
    // A table that appears later is not looked at: the empty answer is kept.
    tables.add3(concat({system_information(1, 1, 1, 1, {"Acme"}), end_of_table()}));
    const korvane::SmbiosIdentityCache *again = smbios_identity_get();
    EXPECT_EQ(again, first);
    EXPECT_EQ(again->manufacturer, nullptr);
}
