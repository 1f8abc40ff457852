#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "boot/stub-initrds.h"
#include "fakefw/fakefw.h"

using namespace korvane;

namespace {

class Initrds : public ::testing::Test {
protected:
    fakefw::Firmware fw;
};

iovec part(std::string &s) { return {s.data(), s.size()}; }

std::string bytes(const void *p, size_t n) { return {static_cast<const char *>(p), n}; }

} // namespace

TEST_F(Initrds, CombinedPartsAreEachZeroFilledToFourBytesBelow4G) {
    std::string ucode = "UCODE", base = "12345678", extra = "abc";
    InitrdList list;
    list.append(part(ucode));
    list.append(part(base));
    list.append(part(extra));

    Pages pages;
    size_t size = 0;
    ASSERT_EQ(combine_initrds(list, &pages, &size), EFI_SUCCESS);
    EXPECT_EQ(size, 8u + 8u + 4u);
    EXPECT_EQ(bytes(pages.ptr(), size), std::string("UCODE\0\0\0" "12345678" "abc\0", 20));
    EXPECT_LE(pages.addr() + size, 0x100000000ULL);
    const fakefw::PageBlock *block = fw.memory().pages(pages.addr());
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->type, EfiLoaderData);
    EXPECT_EQ(pages.n_pages(), 1u);
}

TEST_F(Initrds, ATotalThatOverflowsIsRefusedBeforeAnythingIsAllocated) {
    std::string small = "x";
    InitrdList list;
    list.append(part(small));
    list.append({small.data(), SIZE_MAX - 2});
    Pages pages;
    size_t size = 0;
    EXPECT_EQ(combine_initrds(list, &pages, &size), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);

    InitrdList sum;
    sum.append({small.data(), SIZE_MAX / 2 + 1});
    sum.append({small.data(), SIZE_MAX / 2 + 1});
    EXPECT_EQ(combine_initrds(sum, &pages, &size), EFI_OUT_OF_RESOURCES);
}

TEST_F(Initrds, EmbeddedInitrdsStayInPlaceAndSlotsAppendInIndexOrder) {
    std::vector<uint8_t> image(0x3000);
    EFI_LOADED_IMAGE_PROTOCOL loaded_image = {.ImageBase = image.data()};
    PeSectionSpan sections[IMAGE_SECTION_COUNT] = {};
    sections[SECTION_INITRD] = {.mem_size = 10, .mem_offset = 0x1000};
    sections[SECTION_UCODE] = {.mem_size = 3, .mem_offset = 0x2000};

    InitrdSlots slots;
    lookup_embedded_initrds(&loaded_image, sections, slots);
    EXPECT_EQ(slots[INITRD_SLOT_BASE].iov_base, image.data() + 0x1000);
    EXPECT_EQ(slots[INITRD_SLOT_BASE].iov_len, 10u);
    EXPECT_EQ(slots[INITRD_SLOT_UCODE].iov_base, image.data() + 0x2000);

    auto *owned = static_cast<char *>(xmalloc(4));
    std::memcpy(owned, "OSRL", 4);
    slots[INITRD_SLOT_OSREL] = {owned, 4};
    InitrdList list;
    append_initrd_slots(slots, list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].iov_base, image.data() + 0x2000);
    EXPECT_EQ(list[1].iov_base, image.data() + 0x1000);
    EXPECT_EQ(list[2].iov_base, owned);

    // Only the slots built in pool memory are released; the in-place ones are the image's.
    slots.free_owned();
    EXPECT_EQ(slots[INITRD_SLOT_OSREL].iov_base, nullptr);
    EXPECT_EQ(slots[INITRD_SLOT_BASE].iov_base, image.data() + 0x1000);
}
