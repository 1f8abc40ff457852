#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "boot/chid.h"
#include "boot/efi/devicetree.h"
#include "boot/smbios.h"
#include "boot/util.h"
#include "fakefw/fakefw.h"
#include "fdt-builder.h"
#include "smbios-tables.h"

using namespace smbiostest;
using korvane::chid_identify;
using korvane::chid_match;
using korvane::chid_normalize_field;
using korvane::HwidEntry;
using korvane::HwidMatch;
using korvane::pe_use_this_dtb;

namespace {

using Guid = std::array<uint8_t, 16>;

constexpr uint32_t DT_DESCRIPTOR = 0x1000001c;

// The raw SMBIOS strings of a machine; null for a missing one.
struct Identity {
    const char *manufacturer, *family, *product_name, *product_sku, *baseboard_manufacturer, *baseboard_product;
};

// The same machine after normalisation, as UTF-16.
struct Normalized {
    std::u16string manufacturer, family, product_name, product_sku, baseboard_manufacturer, baseboard_product;
};

const Identity acme = {"   00Acme  ", "Roadrunner", "Catapult 9000 ", "0ACME-C9K", "Acme", "C9K-MB"};
const Normalized acme_normalized = {u"Acme", u"Roadrunner", u"Catapult 9000", u"ACME-C9K", u"Acme", u"C9K-MB"};

// The fields each CHID type joins with "&", from the computer hardware ID scheme.
std::vector<std::u16string> chid_fields(int type, const Normalized &n) {
    switch (type) {
    case 3:
        return {n.manufacturer, n.family, n.product_name, n.product_sku, n.baseboard_manufacturer, n.baseboard_product};
    case 4:
        return {n.manufacturer, n.family, n.product_name, n.product_sku};
    case 5:
        return {n.manufacturer, n.family, n.product_name};
    case 6:
        return {n.manufacturer, n.product_sku, n.baseboard_manufacturer, n.baseboard_product};
    case 7:
        return {n.manufacturer, n.product_sku};
    case 8:
        return {n.manufacturer, n.product_name, n.baseboard_manufacturer, n.baseboard_product};
    case 9:
        return {n.manufacturer, n.product_name};
    case 10:
        return {n.manufacturer, n.family, n.baseboard_manufacturer, n.baseboard_product};
    case 11:
        return {n.manufacturer, n.family};
    }
    ADD_FAILURE() << "no CHID type " << type;
    return {};
}

const int priority_order[] = {3, 6, 8, 10, 4, 5, 7, 9, 11};

// A name-based UUID (RFC 4122, version 5) over the UTF-16LE name, in the EFI_GUID byte layout.
Guid expected_chid(int type, const Normalized &n) {
    std::u16string name;
    std::vector<std::u16string> fields = chid_fields(type, n);
    for (size_t i = 0; i < fields.size(); i++)
        name += (i ? u"&" : u"") + fields[i];
    std::vector<uint8_t> data = {0x70, 0xff, 0xd8, 0x12, 0x4c, 0x7f, 0x4c, 0x7d, 0, 0, 0, 0, 0, 0, 0, 0};
    for (char16_t c : name) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    uint8_t d[SHA_DIGEST_LENGTH];
    SHA1(data.data(), data.size(), d);
    Guid uuid;
    std::copy(d, d + 16, uuid.begin());
    uuid[6] = (uuid[6] & 0x0f) | 0x50;
    uuid[8] = (uuid[8] & 0x3f) | 0x80;
    // The first three fields are stored little-endian in an EFI_GUID.
    std::reverse(uuid.begin(), uuid.begin() + 4);
    std::reverse(uuid.begin() + 4, uuid.begin() + 6);
    std::reverse(uuid.begin() + 6, uuid.begin() + 8);
    return uuid;
}

// Python 3.11, offline: uuid.UUID(bytes=hashlib.sha1(uuid.UUID('70ffd812-4c7f-4c7d-0000-000000000000').bytes
// + name.encode('utf-16-le')).digest()[:16], version=5).bytes_le, with the names below.
// 'Acme&Roadrunner&Catapult 9000&ACME-C9K&Acme&C9K-MB': e7dab104-5b1e-559e-b858-9a68b9352bdb
const Guid python_acme_type3 = {0x04, 0xb1, 0xda, 0xe7, 0x1e, 0x5b, 0x9e, 0x55,
                                0xb8, 0x58, 0x9a, 0x68, 0xb9, 0x35, 0x2b, 0xdb};
// 'Acme&Roadrunner': c9620d8d-a144-5dbd-9d28-165beebd9d66
const Guid python_acme_type11 = {0x8d, 0x0d, 0x62, 0xc9, 0x44, 0xa1, 0xbd, 0x5d,
                                 0x9d, 0x28, 0x16, 0x5b, 0xee, 0xbd, 0x9d, 0x66};
// '&&&&&' (type 3 of a machine without SMBIOS): ab1d1306-cebc-58ef-984f-be1b9fb092b9
const Guid python_empty_type3 = {0x06, 0x13, 0x1d, 0xab, 0xbc, 0xce, 0xef, 0x58,
                                 0x98, 0x4f, 0xbe, 0x1b, 0x9f, 0xb0, 0x92, 0xb9};

void put_le32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; i++)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A ".hwids" section: entries, a terminating entry, then the compatible strings.
class Hwids {
public:
    Hwids &add(const Guid &chid, const std::string &compatible, uint32_t descriptor = DT_DESCRIPTOR) {
        entries_.push_back({descriptor, chid, compatible, false, 0});
        return *this;
    }
    // An entry with a literal string offset.
    Hwids &add_offset(const Guid &chid, uint32_t offset, uint32_t descriptor = DT_DESCRIPTOR) {
        entries_.push_back({descriptor, chid, "", true, offset});
        return *this;
    }
    Hwids &without_terminator() {
        terminator_ = false;
        return *this;
    }

    Bytes build() const {
        size_t n = entries_.size() + (terminator_ ? 1 : 0);
        Bytes b(n * 28);
        for (size_t i = 0; i < entries_.size(); i++) {
            const Entry &e = entries_[i];
            put_le32(b, i * 28, e.descriptor);
            std::copy(e.chid.begin(), e.chid.end(), b.begin() + static_cast<long>(i * 28 + 4));
            uint32_t offset = e.literal_offset ? e.offset : static_cast<uint32_t>(b.size());
            if (!e.literal_offset) {
                b.insert(b.end(), e.compatible.begin(), e.compatible.end());
                b.push_back(0);
            }
            put_le32(b, i * 28 + 24, offset);
        }
        return b;
    }

private:
    struct Entry {
        uint32_t descriptor;
        Guid chid;
        std::string compatible;
        bool literal_offset;
        uint32_t offset;
    };
    std::vector<Entry> entries_;
    bool terminator_ = true;
};

Guid flipped(Guid g, size_t byte) {
    g[byte] ^= 0x01;
    return g;
}

// Test memory of an exact size, 8-byte aligned as sections and blobs are.
class Exact {
public:
    explicit Exact(const Bytes &b) : size_(b.size()), p_(new uint64_t[(b.size() + 7) / 8]) {
        std::memcpy(p_.get(), b.data(), b.size());
    }
    const uint8_t *data() const { return reinterpret_cast<const uint8_t *>(p_.get()); }
    size_t size() const { return size_; }

private:
    size_t size_;
    std::unique_ptr<uint64_t[]> p_;
};

// A root node whose compatible list starts with `compatible`.
Bytes dt_blob(const std::string &compatible) {
    fdttest::Fdt f;
    std::string value = compatible + '\0' + "acme,generic" + '\0';
    f.begin_node("").prop("model", std::string("Acme\0", 5)).prop("compatible", value).end_node().end();
    return f.build();
}

class Chid : public ::testing::Test {
protected:
    void SetUp() override { korvane::smbios_identity_cache = {}; }

    void install(const Identity &id) {
        std::vector<std::string> strings;
        auto number = [&](const char *s) -> uint8_t {
            if (!s)
                return 0;
            strings.push_back(s);
            return static_cast<uint8_t>(strings.size());
        };
        uint8_t m = number(id.manufacturer), p = number(id.product_name), sku = number(id.product_sku),
                fam = number(id.family);
        Bytes system = system_information(m, p, sku, fam, strings);
        strings.clear();
        uint8_t bm = number(id.baseboard_manufacturer), bp = number(id.baseboard_product);
        tables.add3(concat({structure(0, {}, {"bios"}), system, baseboard(bm, bp, strings), end_of_table()}));
    }

    // Index of the matched entry, or -1 when the status is not EFI_SUCCESS.
    long match(const Bytes &section, EFI_STATUS expected = EFI_SUCCESS) {
        Exact hwids(section);
        const HwidEntry *entry = nullptr;
        EXPECT_EQ(chid_match(hwids.data(), hwids.size(), &entry), expected);
        if (expected != EFI_SUCCESS || !entry)
            return -1;
        return (reinterpret_cast<const uint8_t *>(entry) - hwids.data()) / 28;
    }

    std::vector<std::string> lines() {
        std::vector<std::string> out;
        for (const fakefw::Line &l : fw.console().lines())
            out.push_back(l.utf8());
        return out;
    }

    // Whether exactly one line was logged, in light red, ending in `message`.
    void expect_one_error(const std::string &message) {
        std::vector<fakefw::Line> l = fw.console().lines();
        ASSERT_EQ(l.size(), 1u) << fw.console().text();
        std::string text = l[0].utf8();
        EXPECT_GE(text.size(), message.size());
        EXPECT_EQ(text.substr(text.size() - std::min(text.size(), message.size())), message) << text;
        EXPECT_NE(text.find("chid.cpp:"), std::string::npos) << text;
        for (UINTN a : l[0].attributes)
            EXPECT_EQ(a, 0x0cu);
    }

    // A lookup with this ".hwids" selects nothing and logs why.
    void expect_failed_matching(const Bytes &hwids, const std::string &status_text);

    fakefw::Firmware fw;
    Tables tables{fw};
};

} // namespace

TEST_F(Chid, NormalizeField) {
    struct Case {
        const char *in;
        std::u16string out;
    } cases[] = {
        {nullptr, u""},
        {"", u""},
        {"   00ACME  ", u"ACME"},
        {" 0 1", u" 1"}, // the blank after the zeros stays
        {"0", u""},
        {"000", u""},
        {"   ", u""},
        {"0  ", u""},
        {"A  B", u"A  B"},
        {"100", u"100"},
        {"\tX\t", u"\tX\t"}, // only 0x20 is a blank
        {"Straße ", u"Straße"}, // UTF-8 in, UTF-16 out
    };
    for (const Case &c : cases) {
        char16_t *s = chid_normalize_field(c.in);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(std::u16string(s), c.out) << (c.in ? c.in : "(null)");
        korvane::free_pool(s);
    }
}

TEST_F(Chid, EveryTypeIsComputed) {
    install(acme);
    for (int type : priority_order) {
        Guid chid = expected_chid(type, acme_normalized);
        EXPECT_EQ(match(Hwids().add(chid, "acme,board").build()), 0) << "type " << type;
        // Any other byte value misses: the match is over all sixteen bytes.
        for (size_t byte : {0, 5, 7, 8, 15})
            EXPECT_EQ(match(Hwids().add(flipped(chid, byte), "acme,board").build(), EFI_NOT_FOUND), -1)
                << "type " << type << " byte " << byte;
    }
}

TEST_F(Chid, AgreesWithAnIndependentUuidImplementation) {
    install(acme);
    EXPECT_EQ(expected_chid(3, acme_normalized), python_acme_type3);
    EXPECT_EQ(expected_chid(11, acme_normalized), python_acme_type11);
    EXPECT_EQ(match(Hwids().add(python_acme_type3, "a").build()), 0);
    EXPECT_EQ(match(Hwids().add(python_acme_type11, "a").build()), 0);
}

TEST_F(Chid, MachineWithoutSmbiosHasChidsOfEmptyFields) {
    EXPECT_EQ(match(Hwids().add(python_empty_type3, "a").build()), 0);
    Normalized empty;
    for (int type : priority_order)
        EXPECT_EQ(match(Hwids().add(expected_chid(type, empty), "a").build()), 0) << type;
}

TEST_F(Chid, FieldsAreHashedAsUtf16) {
    const Identity id = {"Acme", "Straße", "Café", "1", nullptr, "Board"};
    const Normalized n = {u"Acme", u"Straße", u"Café", u"1", u"", u"Board"};
    install(id);
    for (int type : priority_order)
        EXPECT_EQ(match(Hwids().add(expected_chid(type, n), "a").build()), 0) << type;
}

TEST_F(Chid, PriorityBeatsTableOrder) {
    install(acme);
    Guid type3 = expected_chid(3, acme_normalized), type6 = expected_chid(6, acme_normalized);
    EXPECT_EQ(match(Hwids().add(type6, "acme,board-b").add(type3, "acme,board-a").build()), 1);
    EXPECT_EQ(match(Hwids().add(type3, "acme,board-a").add(type6, "acme,board-b").build()), 0);
}

TEST_F(Chid, PriorityOrderOfAllTypes) {
    install(acme);
    // All nine, lowest priority first; taking away the winner each time walks down the order.
    for (size_t first = 0; first < std::size(priority_order); first++) {
        Hwids h;
        for (size_t i = std::size(priority_order); i-- > first;)
            h.add(expected_chid(priority_order[i], acme_normalized), "x");
        long entries = static_cast<long>(std::size(priority_order) - first);
        EXPECT_EQ(match(h.build()), entries - 1) << "type " << priority_order[first];
    }
}

TEST_F(Chid, FirstOfEqualEntriesWins) {
    install(acme);
    Guid chid = expected_chid(8, acme_normalized);
    EXPECT_EQ(match(Hwids().add(flipped(chid, 3), "x").add(chid, "a").add(chid, "b").build()), 1);
}

TEST_F(Chid, EndOfListAndEmptyTables) {
    install(acme);
    Guid chid = expected_chid(3, acme_normalized);
    // An end marker first: nothing after it counts, even an unsupported entry.
    Bytes ended = Hwids().add(chid, "a", 0).add(chid, "a").add(chid, "a", 0x2000001c).build();
    EXPECT_EQ(match(ended, EFI_NOT_FOUND), -1);
    EXPECT_EQ(match(Hwids().build(), EFI_NOT_FOUND), -1);
    EXPECT_EQ(match(Bytes(3), EFI_NOT_FOUND), -1);
}

TEST_F(Chid, AnEntryNeedsBytesAfterIt) {
    install(acme);
    Bytes one = Hwids().add_offset(expected_chid(3, acme_normalized), 0).without_terminator().build();
    ASSERT_EQ(one.size(), 28u);
    EXPECT_EQ(match(one, EFI_NOT_FOUND), -1);
    one.push_back(0);
    EXPECT_EQ(match(one), 0);
    EXPECT_EQ(match(Bytes(one.begin(), one.begin() + 27), EFI_NOT_FOUND), -1);
}

TEST_F(Chid, UnsupportedEntryKind) {
    install(acme);
    Guid chid = expected_chid(3, acme_normalized);
    Guid other = flipped(chid, 0);
    EXPECT_EQ(match(Hwids().add(other, "x", 0x2000001c).add(chid, "a").build(), EFI_UNSUPPORTED), -1);
    EXPECT_EQ(match(Hwids().add(chid, "a").add(other, "x", 0x1000001d).build(), EFI_UNSUPPORTED), -1);
    EXPECT_EQ(match(Hwids().add(chid, "a").add(other, "x", 0x0000001c).build(), EFI_UNSUPPORTED), -1);
}

TEST_F(Chid, NullSectionHalts) {
    const HwidEntry *entry;
    std::string text = fakefw::expect_halt([&] { (void)chid_match(nullptr, 100, &entry); });
    EXPECT_NE(text.find("Assertion 'hwids' failed"), std::string::npos) << text;
}

namespace {

// A matched entry in an exact-size ".hwids" section, as the identity step hands it on.
struct Matched {
    Exact hwids;
    HwidMatch match() const {
        return {hwids.data(), hwids.size(), reinterpret_cast<const HwidEntry *>(hwids.data())};
    }
};

} // namespace

TEST_F(Chid, FirmwareDevicetreeDecides) {
    Exact fw_dt(dt_blob("acme,board-a"));
    fw.config_tables().add(EFI_DTB_TABLE_GUID, const_cast<uint8_t *>(fw_dt.data()));
    Exact a(dt_blob("acme,board-a")), b(dt_blob("acme,board-b")), bad(Bytes(39));
    Matched names_b{Exact(Hwids().add({}, "acme,board-b").build())};
    HwidMatch m = names_b.match();
    EXPECT_TRUE(pe_use_this_dtb(a.data(), a.size(), 1, &m));
    EXPECT_FALSE(pe_use_this_dtb(b.data(), b.size(), 2, &m));
    EXPECT_TRUE(pe_use_this_dtb(a.data(), a.size(), 1, nullptr));
    // Malformed blobs are passed over silently on this path.
    EXPECT_FALSE(pe_use_this_dtb(bad.data(), bad.size(), 3, &m));
    EXPECT_TRUE(lines().empty()) << fw.console().text();
}

TEST_F(Chid, HardwareEntrySelects) {
    Exact a(dt_blob("acme,board-a")), b(dt_blob("acme,board-b"));
    Matched names_a{Exact(Hwids().add({}, "acme,board-a").build())};
    HwidMatch m = names_a.match();
    EXPECT_TRUE(pe_use_this_dtb(a.data(), a.size(), 1, &m));
    EXPECT_FALSE(pe_use_this_dtb(b.data(), b.size(), 2, &m));
    HwidMatch none = {};
    EXPECT_FALSE(pe_use_this_dtb(a.data(), a.size(), 1, nullptr));
    EXPECT_FALSE(pe_use_this_dtb(a.data(), a.size(), 1, &none));
    EXPECT_TRUE(lines().empty()) << fw.console().text();
}

TEST_F(Chid, FirmwareDevicetreeEntryWithoutTableIsNone) {
    fw.config_tables().add(EFI_DTB_TABLE_GUID, nullptr);
    Exact a(dt_blob("acme,board-a"));
    Matched names_a{Exact(Hwids().add({}, "acme,board-a").build())};
    HwidMatch m = names_a.match();
    EXPECT_TRUE(pe_use_this_dtb(a.data(), a.size(), 1, &m));
}

TEST_F(Chid, BadBlobIsReportedWithItsSection) {
    Exact bad(Bytes(39));
    Matched names_a{Exact(Hwids().add({}, "acme,board-a").build())};
    HwidMatch m = names_a.match();
    EXPECT_FALSE(pe_use_this_dtb(bad.data(), bad.size(), 7, &m));
    expect_one_error("Found bad DT blob in PE section 7");
}

TEST_F(Chid, EntryWithoutUsableString) {
    Exact bad(Bytes(39));
    Exact a(dt_blob("acme,board-a"));
    struct Case {
        const char *what;
        Bytes section;
    } cases[] = {
        {"offset 0", Hwids().add_offset({}, 0).build()},
        {"offset past the section", Hwids().add_offset({}, 56).build()},
        {"offset far past the section", Hwids().add_offset({}, 0xfffffff0).build()},
        // The string's NUL would be the byte after the section.
        {"string without its NUL", [] {
             Bytes s = Hwids().add({}, "acme,board-a").build();
             s.pop_back();
             return s;
         }()},
        {"entry of another kind", Hwids().add({}, "acme,board-a", 0x2000001c).build()},
    };
    for (const Case &c : cases) {
        Matched named{Exact(c.section)};
        HwidMatch m = named.match();
        EXPECT_FALSE(pe_use_this_dtb(a.data(), a.size(), 1, &m)) << c.what;
        EXPECT_FALSE(pe_use_this_dtb(bad.data(), bad.size(), 2, &m)) << c.what;
    }
    EXPECT_TRUE(lines().empty()) << fw.console().text();
}

TEST_F(Chid, StringEndingAtTheSectionEndIsUsable) {
    Exact a(dt_blob("acme,board-a"));
    Bytes section = Hwids().add({}, "acme,board-a").build();
    ASSERT_EQ(section.back(), 0);
    Matched named{Exact(section)};
    HwidMatch m = named.match();
    EXPECT_TRUE(pe_use_this_dtb(a.data(), a.size(), 1, &m));
}

TEST_F(Chid, NullBlobHalts) {
    std::string text = fakefw::expect_halt([] { (void)pe_use_this_dtb(nullptr, 100, 1, nullptr); });
    EXPECT_NE(text.find("Assertion 'blob' failed"), std::string::npos) << text;
}

namespace {

// A mapped image: sections laid out at 16-byte offsets of one buffer, with their headers.
class Image {
public:
    Image &section(const char *name, const Bytes &bytes) {
        korvane::PeSectionHeader h = {};
        std::strncpy(h.Name, name, sizeof(h.Name));
        offsets_.push_back(layout_.size());
        h.VirtualAddress = static_cast<uint32_t>(layout_.size());
        h.VirtualSize = static_cast<uint32_t>(bytes.size());
        h.SizeOfRawData = h.VirtualSize;
        headers_.push_back(h);
        layout_.insert(layout_.end(), bytes.begin(), bytes.end());
        layout_.resize((layout_.size() + 15) / 16 * 16);
        return *this;
    }
    void map() { mapped_ = std::make_unique<Exact>(layout_); }
    uintptr_t base() const { return reinterpret_cast<uintptr_t>(mapped_->data()); }
    const korvane::PeSectionHeader *headers() const { return headers_.data(); }
    size_t count() const { return headers_.size(); }
    uint64_t offset_of(size_t index) const { return offsets_[index]; }

private:
    Bytes layout_;
    std::vector<korvane::PeSectionHeader> headers_;
    std::vector<size_t> offsets_;
    std::unique_ptr<Exact> mapped_;
};

// The ".dtbauto" record of a lookup of all section kinds.
korvane::PeSectionSpan locate_dtbauto(const Image &image) {
    korvane::PeSectionSpan out[korvane::IMAGE_SECTION_COUNT] = {};
    korvane::pe_locate_sections(image.headers(), image.count(), korvane::image_section_names, image.base(), out);
    return out[korvane::SECTION_DTBAUTO];
}

void Chid::expect_failed_matching(const Bytes &hwids, const std::string &status_text) {
    Image image;
    image.section(".hwids", hwids).section(".dtbauto", dt_blob("acme,board-a")).map();
    EXPECT_EQ(locate_dtbauto(image).mem_size, 0u);
    expect_one_error("HWID matching failed, no DT blob will be selected: " + status_text);
}

} // namespace

TEST_F(Chid, LookupFollowsTheFirmwareDevicetree) {
    install(acme);
    Exact fw_dt(dt_blob("acme,board-a"));
    fw.config_tables().add(EFI_DTB_TABLE_GUID, const_cast<uint8_t *>(fw_dt.data()));
    Image image;
    image.section(".hwids", Hwids().add(expected_chid(3, acme_normalized), "acme,board-b").build())
        .section(".dtbauto", dt_blob("acme,board-b"))
        .section(".dtbauto", dt_blob("acme,board-a"))
        .map();
    EXPECT_EQ(locate_dtbauto(image).mem_offset, image.offset_of(2));
    // With the firmware's devicetree deciding, the machine's identity is never read.
    EXPECT_FALSE(korvane::smbios_identity_cache.filled);
    EXPECT_TRUE(lines().empty()) << fw.console().text();
}

TEST_F(Chid, LookupWithFirmwareDevicetreeWithoutCompatibleSelectsNothing) {
    install(acme);
    fdttest::Fdt f;
    f.begin_node("").prop("model", std::string("Acme\0", 5)).end_node().end();
    Exact fw_dt(f.build());
    fw.config_tables().add(EFI_DTB_TABLE_GUID, const_cast<uint8_t *>(fw_dt.data()));
    Image image;
    image.section(".hwids", Hwids().add(expected_chid(3, acme_normalized), "acme,board-a").build())
        .section(".dtbauto", dt_blob("acme,board-a"))
        .map();
    EXPECT_EQ(locate_dtbauto(image).mem_size, 0u);
    EXPECT_TRUE(lines().empty()) << fw.console().text();
}

TEST_F(Chid, LookupFollowsTheHardwareIds) {
    install(acme);
    Guid type3 = expected_chid(3, acme_normalized), type6 = expected_chid(6, acme_normalized);
    for (bool type6_first : {true, false}) {
        Hwids h;
        if (type6_first)
            h.add(type6, "acme,board-b").add(type3, "acme,board-a");
        else
            h.add(type3, "acme,board-a").add(type6, "acme,board-b");
        Image image;
        image.section(".dtbauto", dt_blob("acme,board-b"))
            .section(".hwids", h.build())
            .section(".dtbauto", dt_blob("acme,board-a"))
            .map();
        EXPECT_EQ(locate_dtbauto(image).mem_offset, image.offset_of(2)) << type6_first;
    }
    EXPECT_TRUE(lines().empty()) << fw.console().text();
}

TEST_F(Chid, LookupWithFirmwareDevicetreeEntryWithoutTableUsesHardwareIds) {
    install(acme);
    fw.config_tables().add(EFI_DTB_TABLE_GUID, nullptr);
    Image image;
    image.section(".hwids", Hwids().add(expected_chid(7, acme_normalized), "acme,board-a").build())
        .section(".dtbauto", dt_blob("acme,board-b"))
        .section(".dtbauto", dt_blob("acme,board-a"))
        .map();
    EXPECT_EQ(locate_dtbauto(image).mem_offset, image.offset_of(2));
}

TEST_F(Chid, LookupReportsAnEmptyTable) {
    install(acme);
    expect_failed_matching(Hwids().add(expected_chid(3, acme_normalized), "acme,board-a", 0).build(), "Not found");
}

TEST_F(Chid, LookupReportsNoMatch) {
    install(acme);
    expect_failed_matching(Hwids().add(flipped(expected_chid(3, acme_normalized), 2), "acme,board-a").build(),
                           "Not found");
}

TEST_F(Chid, LookupReportsAnUnsupportedTable) {
    install(acme);
    Guid chid = expected_chid(3, acme_normalized);
    expect_failed_matching(Hwids().add(flipped(chid, 2), "x", 0x2000001c).add(chid, "acme,board-a").build(),
                           "Unsupported");
}

TEST_F(Chid, LookupWithEntryWithoutStringSelectsNothingQuietly) {
    install(acme);
    Image image;
    image.section(".hwids", Hwids().add_offset(expected_chid(5, acme_normalized), 0).build())
        .section(".dtbauto", Bytes(16))
        .section(".dtbauto", dt_blob("acme,board-a"))
        .map();
    EXPECT_EQ(locate_dtbauto(image).mem_size, 0u);
    EXPECT_TRUE(lines().empty()) << fw.console().text();
}

TEST_F(Chid, LookupPassesOverBadBlobs) {
    install(acme);
    Image image;
    image.section(".hwids", Hwids().add(expected_chid(11, acme_normalized), "acme,board-a").build())
        .section(".dtbauto", Bytes(39))
        .section(".dtbauto", dt_blob("acme,board-a"))
        .map();
    korvane::PeSectionSpan found = locate_dtbauto(image);
    EXPECT_EQ(found.mem_offset, image.offset_of(2));
    EXPECT_NE(found.mem_size, 0u);
    expect_one_error("Found bad DT blob in PE section 1");
}

TEST_F(Chid, LookupWithoutHwidsSelectsNothing) {
    install(acme);
    Image image;
    image.section(".dtbauto", dt_blob("acme,board-a")).map();
    EXPECT_EQ(locate_dtbauto(image).mem_size, 0u);
    EXPECT_TRUE(lines().empty()) << fw.console().text();
}

TEST_F(Chid, IdentityStepSearchesOnlyTheGivenRange) {
    install(acme);
    Image image;
    image.section(".hwids", Hwids().add(expected_chid(3, acme_normalized), "acme,board-a").build())
        .section(".profile", Bytes(4))
        .section(".dtbauto", dt_blob("acme,board-a"))
        .map();
    HwidMatch whole = chid_identify(image.headers(), image.count(), image.base());
    EXPECT_EQ(whole.hwids, reinterpret_cast<const uint8_t *>(image.base()));
    EXPECT_EQ(whole.entry, reinterpret_cast<const HwidEntry *>(image.base()));
    HwidMatch profile = chid_identify(image.headers() + 1, 2, image.base());
    EXPECT_EQ(profile.hwids, nullptr);
    EXPECT_EQ(profile.entry, nullptr);
}

TEST_F(Chid, LookupWithoutDtbautoReadsNoIdentity) {
    install(acme);
    Image image;
    image.section(".hwids", Hwids().add(expected_chid(3, acme_normalized), "acme,board-a").build())
        .section(".linux", Bytes(64))
        .map();
    const char *const names[] = {".linux", ".hwids", nullptr};
    korvane::PeSectionSpan out[2] = {};
    korvane::pe_locate_sections(image.headers(), image.count(), names, image.base(), out);
    EXPECT_NE(out[0].mem_size, 0u);
    EXPECT_FALSE(korvane::smbios_identity_cache.filled);
}
