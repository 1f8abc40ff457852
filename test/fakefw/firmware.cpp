#include "fakefw/fakefw.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

#include "boot/firmware.h"
#include "boot/log.h"
#include "fakefw/trampoline.h"

namespace fakefw {

Firmware *Firmware::active_;

namespace {

constexpr UINT32 DEFAULT_FIRMWARE_REVISION = 0x00010000;

template <typename Table> EFI_TABLE_HEADER header(UINT64 signature, UINT32 revision) {
    return EFI_TABLE_HEADER{signature, revision, sizeof(Table), 0, 0};
}

} // namespace

void report_unimplemented(Service service) {
    ADD_FAILURE() << "fakefw: " << service_name(service) << " is not implemented";
}

Firmware::Firmware() : config_tables_(*this), rng_(*this), clock_(*this), block_devices_(*this), file_systems_(*this), images_(*this), security_(*this) {
    if (active_) {
        fprintf(stderr, "fakefw: a second Firmware while one is active\n");
        abort();
    }
    st_.Hdr = header<EFI_SYSTEM_TABLE>(EFI_SYSTEM_TABLE_SIGNATURE, UEFI_REVISION_2_10);
    bs_.Hdr = header<EFI_BOOT_SERVICES>(EFI_BOOT_SERVICES_SIGNATURE, UEFI_REVISION_2_10);
    rt_.Hdr = header<EFI_RUNTIME_SERVICES>(EFI_RUNTIME_SERVICES_SIGNATURE, UEFI_REVISION_2_10);
    fill_unimplemented(bs_);
    fill_unimplemented(rt_);
    memory_.bind(bs_);
    handles_.bind(bs_);
    images_.bind(bs_);
    variables_.bind(rt_);
    config_tables_.bind(bs_);
    clock_.bind(bs_);
    clock_.bind(rt_);
    block_devices_.bind(bs_);
    console_.bind();

    st_.BootServices = &bs_;
    st_.RuntimeServices = &rt_;
    st_.ConOut = st_.StdErr = console_.protocol();
    st_.ConsoleOutHandle = st_.StandardErrorHandle =
        handles_.install(nullptr, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL_GUID, console_.protocol());
    set_firmware_vendor(u"fakefw");
    set_firmware_revision(DEFAULT_FIRMWARE_REVISION);

    active_ = this;
    korvane::firmware_init(&st_);
    korvane::logged_count = 0;
    korvane::assert_active = false;
}

Firmware::~Firmware() {
    // A halted machine never frees anything.
    if (!halted_)
        check_leaks();
    korvane::ST = nullptr;
    korvane::BS = nullptr;
    korvane::RT = nullptr;
    active_ = nullptr;
}

Firmware &Firmware::active() {
    if (!active_) {
        fprintf(stderr, "fakefw: a firmware service was called with no Firmware active\n");
        abort();
    }
    return *active_;
}

void Firmware::set_firmware_vendor(std::u16string vendor) {
    vendor_ = std::move(vendor);
    st_.FirmwareVendor = vendor_.data();
}

void Firmware::set_uefi_revision(UINT32 revision) { st_.Hdr.Revision = bs_.Hdr.Revision = rt_.Hdr.Revision = revision; }

bool Firmware::check_leaks() {
    std::vector<std::string> leaks = memory_.leaks();
    std::vector<std::string> open_files = file_systems_.leaks();
    leaks.insert(leaks.end(), open_files.begin(), open_files.end());
    std::vector<std::string> loaded_images = images_.leaks();
    leaks.insert(leaks.end(), loaded_images.begin(), loaded_images.end());
    if (leaks.empty())
        return true;
    std::string list;
    for (const std::string &leak : leaks)
        list += "\n  " + leak;
    ADD_FAILURE() << "fakefw: leaked " << leaks.size() << " allocation(s):" << list;
    return false;
}

void Firmware::halt() {
    halted_ = true;
    throw Halted(console_.text());
}

std::string expect_halt(const std::function<void()> &body) {
    try {
        body();
    } catch (const Halted &h) {
        return h.console_text;
    }
    ADD_FAILURE() << "fakefw: expected the machine to halt, but it went on";
    return "";
}

} // namespace fakefw
