// The add-on devicetrees of one boot, installed on top of each other and measured.
#include <gtest/gtest.h>

#include <openssl/sha.h>

#include <cstring>
#include <string>
#include <vector>

#include "boot/efi/devicetree.h"
#include "boot/measure.h"
#include "boot/stub-devicetree.h"
#include "fakefw/fakefw.h"
#include "fakefw/tcg2.h"
#include "fdt-builder.h"

using namespace korvane;
using fakefw::Bytes;
using fakefw::HashAlg;

namespace {

Bytes devicetree(const std::string &model) {
    fdttest::Fdt f;
    f.begin_node("").prop("compatible", std::string("acme,board\0", 11)).prop("model", model + '\0').end_node().end();
    return f.build();
}

Bytes sha256(const Bytes &b) {
    Bytes d(SHA256_DIGEST_LENGTH);
    SHA256(b.data(), b.size(), d.data());
    return d;
}

// TCG_PCClientTaggedEvent: id, size of the description, the UTF-16 description with its NUL.
Bytes tagged(uint32_t id, const std::u16string &description) {
    Bytes r(8);
    uint32_t size = uint32_t((description.size() + 1) * 2);
    std::memcpy(r.data(), &id, 4);
    std::memcpy(r.data() + 4, &size, 4);
    const auto *p = reinterpret_cast<const uint8_t *>(description.c_str());
    r.insert(r.end(), p, p + size);
    return r;
}

class StubDevicetree : public ::testing::Test {
protected:
    fakefw::Firmware fw;
    fakefw::Tcg2 tpm{fw};
    Bytes firmware_table = devicetree("firmware");
    NamedAddonList addons;

    void SetUp() override {
        tpm.install();
        fw.config_tables().add(EFI_DTB_TABLE_GUID, firmware_table.data());
    }
    void add(const std::u16string &name, const Bytes &blob) {
        void *data = xmalloc(blob.size());
        std::memcpy(data, blob.data(), blob.size());
        addons.append(xstr16_dup(name.c_str(), SIZE_MAX), {data, blob.size()});
    }
    Bytes installed() {
        auto *p = static_cast<const uint8_t *>(fw.config_tables().find(EFI_DTB_TABLE_GUID));
        return p ? Bytes(p, p + fdttest::get_be32(Bytes(p, p + 8), 4)) : Bytes{};
    }
};

} // namespace

TEST_F(StubDevicetree, AddonsGoOnTopInOrderAndOnlyThoseInstalledAreMeasured) {
    Bytes one = devicetree("one"), two = devicetree("two"), three = devicetree("three");
    add(u"one.addon.efi", one);
    add(u"two.addon.efi", two);
    add(u"three.addon.efi", three);
    int measured = -1;
    {
        DevicetreeInstall install;
        // The second add-on's installation is refused.
        fw.fail(fakefw::Service::InstallConfigurationTable, EFI_OUT_OF_RESOURCES, 1, 1);
        install_addon_devicetrees(install, addons, &measured);
        EXPECT_EQ(installed(), three);
        EXPECT_NE(fw.console().text().find("Error loading addon devicetree, ignoring: Out of resources"),
                  std::string::npos);
    }
    // Going back puts the firmware's own table back and leaves no copy behind.
    EXPECT_EQ(fw.config_tables().find(EFI_DTB_TABLE_GUID), firmware_table.data());
    EXPECT_EQ(fw.memory().live_pages_count(), 0u);

    std::vector<fakefw::LoggedEvent> events = tpm.events();
    ASSERT_EQ(events.size(), 2u);
    const std::pair<std::u16string, const Bytes *> expected[] = {{u"one.addon.efi", &one}, {u"three.addon.efi", &three}};
    for (size_t i = 0; i < 2; i++) {
        EXPECT_EQ(events[i].index, 12u);
        EXPECT_EQ(events[i].type, 6u) << "EV_EVENT_TAG";
        EXPECT_EQ(events[i].data, tagged(TAG_DEVICETREE_ADDON, expected[i].first));
        EXPECT_EQ(events[i].digest(HashAlg::Sha256), sha256(*expected[i].second));
    }
    EXPECT_EQ(measured, 1);
}

TEST_F(StubDevicetree, AnUnrecordedMeasurementClearsTheFlag) {
    add(u"one.addon.efi", devicetree("one"));
    int measured = 1;
    tpm.fail_hash_log_extend_event(EFI_DEVICE_ERROR);
    {
        DevicetreeInstall install;
        install_addon_devicetrees(install, addons, &measured);
    }
    EXPECT_EQ(measured, 0);
}
