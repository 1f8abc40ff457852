#include <gtest/gtest.h>

#include <vector>

#include "boot/efi/global-variable.h"
#include "boot/efi/security-arch.h"
#include "boot/efivars.h"
#include "boot/secure-boot.h"
#include "fakefw/fakefw.h"
#include "fakefw/shim-lock.h"
#include "launch-support.h"

using namespace korvane;

namespace {

struct ValidatorCall {
    const void *data;
    const EFI_DEVICE_PATH_PROTOCOL *path;
    const void *buffer;
    size_t size;
};

std::vector<ValidatorCall> validator_calls;
const void *accepted_buffer;

// Accepts exactly `accepted_buffer`, or with no buffer any path.
bool recording_validator(const void *data, const EFI_DEVICE_PATH_PROTOCOL *path, const void *buffer, size_t size) {
    validator_calls.push_back({data, path, buffer, size});
    return buffer ? buffer == accepted_buffer : true;
}

bool rejecting_validator(const void *, const EFI_DEVICE_PATH_PROTOCOL *, const void *, size_t) { return false; }

class SecurityOverride : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    fakefw::Security &security = fw.security();
    std::vector<uint8_t> path = launchtest::KERNEL_PAYLOAD_PATH;
    const EFI_DEVICE_PATH_PROTOCOL *dp = reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(path.data());
    char image[32] = {};
    int context = 0;

    void SetUp() override {
        validator_calls.clear();
        accepted_buffer = image;
        security.set_enforcing(true);
    }
    bool hooks_are_the_firmwares() {
        return security.security()->FileAuthenticationState == fakefw::Security::own_hook() &&
               security.security2()->FileAuthentication == fakefw::Security::own_hook2();
    }
};

} // namespace

TEST(SecureBootActive, FollowsTheFirstByteOfTheVariableOnEveryCall) {
    fakefw::Firmware fw;
    EXPECT_FALSE(secure_boot_active());
    fw.variables().set(EFI_GLOBAL_VARIABLE, u"SecureBoot", {0});
    EXPECT_FALSE(secure_boot_active());
    fw.variables().set(EFI_GLOBAL_VARIABLE, u"SecureBoot", {1});
    EXPECT_TRUE(secure_boot_active());
    fw.variables().set(EFI_GLOBAL_VARIABLE, u"SecureBoot", {2, 0});
    EXPECT_TRUE(secure_boot_active());
    fw.variables().set(EFI_GLOBAL_VARIABLE, u"SecureBoot", {});
    EXPECT_FALSE(secure_boot_active());
    // Another vendor's variable of the same name is not the firmware's.
    fw.variables().remove(EFI_GLOBAL_VARIABLE, u"SecureBoot");
    fw.variables().set(LOADER_VENDOR_GUID, u"SecureBoot", {1});
    EXPECT_FALSE(secure_boot_active());
    EXPECT_TRUE(fw.check_leaks());
}

TEST(SecureBootActive, AnUnreadableVariableMeansOff) {
    fakefw::Firmware fw;
    fw.variables().set_secure_boot(true);
    fw.fail(fakefw::Service::GetVariable, EFI_DEVICE_ERROR, 1, 1);
    EXPECT_FALSE(secure_boot_active());
    EXPECT_TRUE(fw.check_leaks());
    EXPECT_TRUE(secure_boot_active());
}

TEST_F(SecurityOverride, AnAcceptedImagePassesBothHooksWithoutTheFirmwaresVerdict) {
    security.install_security();
    security.install_security2();
    override_security_hooks(recording_validator, &context);
    EXPECT_NE(security.security()->FileAuthenticationState, fakefw::Security::own_hook());
    EXPECT_NE(security.security2()->FileAuthentication, fakefw::Security::own_hook2());

    EFI_SECURITY2_ARCH_PROTOCOL *s2 = security.security2();
    EXPECT_EQ(s2->FileAuthentication(s2, dp, image, sizeof(image), false), EFI_SUCCESS);
    EFI_SECURITY_ARCH_PROTOCOL *s1 = security.security();
    EXPECT_EQ(s1->FileAuthenticationState(s1, 0, dp), EFI_SUCCESS);
    EXPECT_TRUE(security.calls().empty());

    // The Security hook has no buffer to give: the validator decides on the path alone.
    ASSERT_EQ(validator_calls.size(), 2u);
    EXPECT_EQ(validator_calls[0].data, &context);
    EXPECT_EQ(validator_calls[0].path, dp);
    EXPECT_EQ(validator_calls[0].buffer, image);
    EXPECT_EQ(validator_calls[0].size, sizeof(image));
    EXPECT_EQ(validator_calls[1].path, dp);
    EXPECT_EQ(validator_calls[1].buffer, nullptr);
    EXPECT_EQ(validator_calls[1].size, 0u);

    restore_security_hooks();
    EXPECT_TRUE(hooks_are_the_firmwares());
}

TEST_F(SecurityOverride, ARejectedImageGetsExactlyTheFirmwaresVerdict) {
    security.install_security();
    security.install_security2();
    override_security_hooks(rejecting_validator, nullptr);
    char other[8] = {};
    EFI_SECURITY2_ARCH_PROTOCOL *s2 = security.security2();
    EXPECT_EQ(s2->FileAuthentication(s2, dp, other, sizeof(other), true), EFI_SECURITY_VIOLATION);
    EFI_SECURITY_ARCH_PROTOCOL *s1 = security.security();
    EXPECT_EQ(s1->FileAuthenticationState(s1, 7, dp), EFI_SECURITY_VIOLATION);
    restore_security_hooks();

    ASSERT_EQ(security.calls().size(), 2u);
    const fakefw::AuthCall &c2 = security.calls()[0];
    EXPECT_TRUE(c2.security2);
    EXPECT_EQ(c2.device_path, dp);
    EXPECT_EQ(c2.buffer, other);
    EXPECT_EQ(c2.size, sizeof(other));
    EXPECT_TRUE(c2.boot_policy);
    const fakefw::AuthCall &c1 = security.calls()[1];
    EXPECT_FALSE(c1.security2);
    EXPECT_EQ(c1.device_path, dp);
    EXPECT_EQ(c1.authentication_status, 7u);

    // A trusted image still passes on the firmware's own word.
    security.trust(other, sizeof(other));
    override_security_hooks(rejecting_validator, nullptr);
    EXPECT_EQ(s2->FileAuthentication(s2, dp, other, sizeof(other), false), EFI_SUCCESS);
    restore_security_hooks();
}

TEST_F(SecurityOverride, WithOnlySecurity2OnlyItIsHookedAndRestored) {
    security.install_security2();
    EFI_SECURITY_FILE_AUTHENTICATION_STATE untouched = security.security()->FileAuthenticationState;
    override_security_hooks(recording_validator, &context);
    EXPECT_EQ(security.security()->FileAuthenticationState, untouched);
    EXPECT_NE(security.security2()->FileAuthentication, fakefw::Security::own_hook2());
    restore_security_hooks();
    EXPECT_TRUE(hooks_are_the_firmwares());
}

TEST_F(SecurityOverride, RestoringAgainOrWithoutProtocolsChangesNothing) {
    security.install_security();
    security.install_security2();
    override_security_hooks(recording_validator, &context);
    restore_security_hooks();
    restore_security_hooks();
    EXPECT_TRUE(hooks_are_the_firmwares());

    fakefw::Firmware::active().handles().uninstall(fw.handles().with(EFI_SECURITY_ARCH_PROTOCOL_GUID)[0],
                                                 EFI_SECURITY_ARCH_PROTOCOL_GUID);
    fakefw::Firmware::active().handles().uninstall(fw.handles().with(EFI_SECURITY2_ARCH_PROTOCOL_GUID)[0],
                                                 EFI_SECURITY2_ARCH_PROTOCOL_GUID);
    override_security_hooks(recording_validator, &context);
    EXPECT_TRUE(hooks_are_the_firmwares());
    restore_security_hooks();
    EXPECT_TRUE(hooks_are_the_firmwares());
}

TEST(ValidateWithShim, AcceptsOnlyWhatShimVerifiesAndNothingBeyondItsSizeField) {
    fakefw::Firmware fw;
    fakefw::ShimLock shim(fw);
    shim.install();
    std::vector<uint8_t> image = {'M', 'Z', 1, 2, 3};
    shim.trust(image);
    EXPECT_TRUE(korvane::validate_with_shim(nullptr, nullptr, image.data(), image.size()));
    std::vector<uint8_t> other = {'M', 'Z', 9};
    EXPECT_FALSE(korvane::validate_with_shim(nullptr, nullptr, other.data(), other.size()));
    ASSERT_EQ(shim.calls().size(), 2u);

    // Shim's 32-bit size would cover only the first part of a larger file.
    EXPECT_FALSE(korvane::validate_with_shim(nullptr, nullptr, image.data(), size_t{1} << 32 | image.size()));
    EXPECT_EQ(shim.calls().size(), 2u);
}
