#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "boot/efi/global-variable.h"
#include "boot/efivars.h"
#include "boot/util.h"
#include "fakefw/fakefw.h"

using namespace korvane;

namespace {

using Bytes = std::vector<uint8_t>;

// UTF-16LE units of an ASCII text and its terminator.
Bytes utf16z(const char *text) {
    Bytes b;
    for (const char *p = text; *p; p++)
        b.insert(b.end(), {uint8_t(*p), 0});
    b.insert(b.end(), {0, 0});
    return b;
}

class Efivars : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    const fakefw::Variable *stored(const char16_t *name) { return fw.variables().find(LOADER_VENDOR_GUID, name); }
};

} // namespace

TEST_F(Efivars, StringsAreStoredWithTheirTerminatorAsVolatileRuntimeVariables) {
    ASSERT_EQ(variable_set_string(LOADER_VENDOR_GUID, u"StubInfo", u"abc"), EFI_SUCCESS);
    ASSERT_NE(stored(u"StubInfo"), nullptr);
    EXPECT_EQ(stored(u"StubInfo")->data, (Bytes{0x61, 0, 0x62, 0, 0x63, 0, 0, 0}));
    EXPECT_EQ(stored(u"StubInfo")->attributes, EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS);

    ASSERT_EQ(variable_set_string(LOADER_VENDOR_GUID, u"StubInfo", nullptr), EFI_SUCCESS);
    EXPECT_EQ(stored(u"StubInfo"), nullptr);
    // Deleting what is not there is the firmware's answer to give.
    EXPECT_EQ(variable_set_string(LOADER_VENDOR_GUID, u"StubInfo", nullptr), EFI_NOT_FOUND);
}

TEST_F(Efivars, DecimalsAreDigitStrings) {
    ASSERT_EQ(variable_set_decimal(LOADER_VENDOR_GUID, u"N", 0), EFI_SUCCESS);
    EXPECT_EQ(stored(u"N")->data, utf16z("0"));
    ASSERT_EQ(variable_set_decimal(LOADER_VENDOR_GUID, u"N", UINT64_MAX), EFI_SUCCESS);
    EXPECT_EQ(stored(u"N")->data, utf16z("18446744073709551615"));
    EXPECT_EQ(stored(u"N")->data.size(), 42u);
    ASSERT_EQ(variable_set_decimal(LOADER_VENDOR_GUID, u"N", 1000), EFI_SUCCESS);
    EXPECT_EQ(stored(u"N")->data, utf16z("1000"));
    EXPECT_TRUE(fw.check_leaks());
}

TEST_F(Efivars, U64IsEightLittleEndianBytes) {
    ASSERT_EQ(variable_set_u64(LOADER_VENDOR_GUID, u"Features", 0x0102030405060708ULL), EFI_SUCCESS);
    EXPECT_EQ(stored(u"Features")->data, (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(Efivars, AnEmptyStringIsItsTerminatorAndNotADeletion) {
    ASSERT_EQ(variable_set_string(LOADER_VENDOR_GUID, u"S", u""), EFI_SUCCESS);
    ASSERT_NE(stored(u"S"), nullptr);
    EXPECT_EQ(stored(u"S")->data, (Bytes{0, 0}));
}

TEST_F(Efivars, EveryEncodingIsWrittenVolatileWithRuntimeAccess) {
    ASSERT_EQ(variable_set_decimal(LOADER_VENDOR_GUID, u"D", 12), EFI_SUCCESS);
    ASSERT_EQ(variable_set_u64(LOADER_VENDOR_GUID, u"U", 12), EFI_SUCCESS);
    for (const char16_t *name : {u"D", u"U"}) {
        ASSERT_NE(stored(name), nullptr);
        EXPECT_EQ(stored(name)->attributes, EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS);
        EXPECT_FALSE(stored(name)->attributes & EFI_VARIABLE_NON_VOLATILE);
    }
    EXPECT_EQ(stored(u"D")->data, utf16z("12"));
    EXPECT_EQ(stored(u"U")->data, (Bytes{12, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Efivars, WritesReturnTheFirmwaresStatusAndFreeTheirText) {
    fw.fail(fakefw::Service::SetVariable, EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(variable_set_decimal(LOADER_VENDOR_GUID, u"N", 5), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(variable_set_string(LOADER_VENDOR_GUID, u"S", u"x"), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(variable_set_u64(LOADER_VENDOR_GUID, u"U", 5), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(fw.variables().count(), 0u);
    EXPECT_TRUE(fw.check_leaks());
}

TEST_F(Efivars, ReadingHandsOverACopyAndItsSize) {
    fw.variables().set(LOADER_VENDOR_GUID, u"LoaderFeatures", {1, 2, 3, 4, 5});
    void *data = nullptr;
    size_t size = 0;
    ASSERT_EQ(variable_get_raw(LOADER_VENDOR_GUID, u"LoaderFeatures", &data, &size), EFI_SUCCESS);
    PoolPtr<uint8_t> owned(static_cast<uint8_t *>(data));
    ASSERT_EQ(size, 5u);
    EXPECT_EQ(Bytes(owned.get(), owned.get() + size), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(fw.memory().pool_size(data), 5u);

    size = 0;
    ASSERT_EQ(variable_get_raw(LOADER_VENDOR_GUID, u"LoaderFeatures", nullptr, &size), EFI_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(fw.memory().live_pool_count(), 1u);
}

TEST_F(Efivars, AMissingVariableAllocatesNothing) {
    void *data = &data;
    size_t size = 99;
    EXPECT_EQ(variable_get_raw(LOADER_VENDOR_GUID, u"Nope", &data, &size), EFI_NOT_FOUND);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    // The vendor is part of the name.
    fw.variables().set(EFI_GLOBAL_VARIABLE, u"Nope", {1});
    EXPECT_EQ(variable_get_raw(LOADER_VENDOR_GUID, u"Nope", &data, &size), EFI_NOT_FOUND);
}

TEST_F(Efivars, AnEmptyVariableReadsAsSuccessWithoutABuffer) {
    fw.variables().set(LOADER_VENDOR_GUID, u"Empty", {});
    void *data = &data;
    size_t size = 99;
    ASSERT_EQ(variable_get_raw(LOADER_VENDOR_GUID, u"Empty", &data, &size), EFI_SUCCESS);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
}

TEST_F(Efivars, FailedReadsReturnTheFirmwaresStatusAndFreeTheBuffer) {
    fw.variables().set(LOADER_VENDOR_GUID, u"V", {1, 2});
    void *data = nullptr;
    size_t size = 0;
    fw.fail(fakefw::Service::GetVariable, EFI_DEVICE_ERROR, 1, 1);
    EXPECT_EQ(variable_get_raw(LOADER_VENDOR_GUID, u"V", &data, &size), EFI_DEVICE_ERROR);
    EXPECT_EQ(fw.memory().live_pool_count(), 0u);
    fw.fail(fakefw::Service::GetVariable, EFI_DEVICE_ERROR, 0, 1);
    EXPECT_EQ(variable_get_raw(LOADER_VENDOR_GUID, u"V", &data, &size), EFI_DEVICE_ERROR);
    EXPECT_EQ(fw.calls(fakefw::Service::GetVariable), 3u);
}

// The store itself, as the code above relies on it.
TEST_F(Efivars, TheFakeStoreAnswersLikeFirmware) {
    EFI_RUNTIME_SERVICES *rt = fw.runtime_services();
    uint8_t value[3] = {7, 8, 9};
    ASSERT_EQ(rt->SetVariable(u"X", &LOADER_VENDOR_GUID, 6, 3, value), EFI_SUCCESS);
    UINTN size = 1;
    uint8_t buffer[8] = {};
    EXPECT_EQ(rt->GetVariable(u"X", &LOADER_VENDOR_GUID, nullptr, &size, buffer), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 3u);
    UINT32 attributes = 0;
    size = sizeof(buffer);
    EXPECT_EQ(rt->GetVariable(u"X", &LOADER_VENDOR_GUID, &attributes, &size, buffer), EFI_SUCCESS);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(attributes, 6u);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{7, 8, 9}));
    // Runtime access needs boot-service access; a variable keeps its attributes.
    EXPECT_EQ(rt->SetVariable(u"Y", &LOADER_VENDOR_GUID, 4, 3, value), EFI_INVALID_PARAMETER);
    EXPECT_EQ(rt->SetVariable(u"X", &LOADER_VENDOR_GUID, 7, 3, value), EFI_INVALID_PARAMETER);
    fw.variables().set_secure_boot(true);
    EXPECT_EQ(rt->SetVariable(u"SecureBoot", &EFI_GLOBAL_VARIABLE, 6, 0, nullptr), EFI_WRITE_PROTECTED);
}
