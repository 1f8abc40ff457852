// fakefw: an in-memory UEFI firmware for host tests. A Firmware holds a real system table with
// boot and runtime services tables whose members are EFIAPI trampolines into its C++ state.
//
// One instance per test. While it lives it is the active firmware: korvane::ST/BS/RT point at
// its tables, and korvane's logging state starts fresh. Every table member is filled; a member
// fakefw does not implement fails the test with its name and answers EFI_UNSUPPORTED. Any member
// can be made to fail (fail()), and every call is counted (calls()). At destruction any pool or
// page allocation or file handle still live fails the test, unless the machine halted. Declare it before
// anything in the test that owns firmware resources, so that those are released first.
//
// To give a new protocol the same fault injection and loud unimplemented members: add its
// members to FAKEFW_SERVICES, call fill_unimplemented() on it, then bind what it implements
// with Entry<Service::X, function>::call (trampoline.h).
//
// State lives in one object per area, reached through the accessors below; a new area is a
// header and a source file of its own plus one member and one bind call in Firmware.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "boot/efi/efi.h"
#include "fakefw/block-devices.h"
#include "fakefw/clock.h"
#include "fakefw/config-table.h"
#include "fakefw/console.h"
#include "fakefw/faults.h"
#include "fakefw/filesystem.h"
#include "fakefw/handles.h"
#include "fakefw/images.h"
#include "fakefw/memory.h"
#include "fakefw/rng.h"
#include "fakefw/security.h"
#include "fakefw/service.h"
#include "fakefw/variables.h"

namespace fakefw {

inline constexpr UINT32 UEFI_REVISION_2_10 = (2 << 16) | 100;

// Thrown out of Stall when the stub parks the processor; carries the console text until then.
struct Halted : std::exception {
    std::string console_text;
    explicit Halted(std::string text) : console_text(std::move(text)) {}
    const char *what() const noexcept override { return "fakefw: the machine halted"; }
};

class Firmware {
public:
    Firmware();
    ~Firmware();
    Firmware(const Firmware &) = delete;
    Firmware &operator=(const Firmware &) = delete;

    // The instance whose tables are in use; aborts when there is none.
    static Firmware &active();

    EFI_SYSTEM_TABLE *system_table() { return &st_; }
    EFI_BOOT_SERVICES *boot_services() { return &bs_; }
    EFI_RUNTIME_SERVICES *runtime_services() { return &rt_; }

    Faults &faults() { return faults_; }
    Memory &memory() { return memory_; }
    Handles &handles() { return handles_; }
    Console &console() { return console_; }
    ConfigTables &config_tables() { return config_tables_; }
    Rng &rng() { return rng_; }
    Clock &clock() { return clock_; }
    BlockDevices &block_devices() { return block_devices_; }
    FileSystems &file_systems() { return file_systems_; }
    Images &images() { return images_; }
    Security &security() { return security_; }
    Variables &variables() { return variables_; }

    // Shorthands for faults().fail and faults().calls.
    void fail(Service service, EFI_STATUS status, unsigned after = 0, unsigned times = ALWAYS) {
        faults_.fail(service, status, after, times);
    }
    unsigned calls(Service service) const { return faults_.calls(service); }

    // Defaults: u"fakefw", 0x00010000, UEFI 2.10 (the header revision of ST, BS and RT).
    void set_firmware_vendor(std::u16string vendor);
    void set_firmware_revision(UINT32 revision) { st_.FirmwareRevision = revision; }
    void set_uefi_revision(UINT32 revision);

    // Fails the test with every live allocation (size, memory type); true when there is none.
    bool check_leaks();
    bool halted() const { return halted_; }

    // Firmware side: records the halt and throws Halted.
    [[noreturn]] void halt();

private:
    static Firmware *active_;

    EFI_SYSTEM_TABLE st_ = {};
    EFI_BOOT_SERVICES bs_ = {};
    EFI_RUNTIME_SERVICES rt_ = {};
    std::u16string vendor_;
    bool halted_ = false;

    Faults faults_;
    Memory memory_;
    Handles handles_;
    Console console_;
    ConfigTables config_tables_;
    Rng rng_;
    Clock clock_;
    BlockDevices block_devices_;
    FileSystems file_systems_;
    Images images_;
    Security security_;
    Variables variables_;
};

// Runs `body`, which must halt the machine, and returns the console text at the halt.
// Fails the test (and returns "") when `body` returns instead.
std::string expect_halt(const std::function<void()> &body);

} // namespace fakefw
