// The probe: an EFI application that stands in for the kernel of a unified kernel image and
// reports on the serial port what a kernel would receive (report.h gives the line format),
// then ends the VM. Each *-report module writes the keys its header lists, all under its own
// first word ("image.", "load-options.", "initrd.", ...); a new fact to look at is a new
// module and one more call below.
#include "../debug-exit.h"
#include "../report.h"
#include "boot/firmware.h"
#include "boot/log.h"
#include "cpio-report.h"
#include "devicetree-report.h"
#include "image-auth-report.h"
#include "initrd-report.h"
#include "loaded-image-report.h"
#include "random-seed-report.h"
#include "screen-report.h"
#include "tpm-report.h"
#include "variables-report.h"

namespace korvane::vmtest {

namespace {

// The tests expect this value through isa-debug-exit once the report is complete.
constexpr uint8_t PROBE_EXIT_VALUE = 0x50;

void report_all(EFI_HANDLE image) {
    Report report("PROBE");
    EFI_LOADED_IMAGE_PROTOCOL *loaded_image = nullptr;
    EFI_STATUS err =
        BS->HandleProtocol(image, &EFI_LOADED_IMAGE_PROTOCOL_GUID, reinterpret_cast<void **>(&loaded_image));
    report.status("image.loaded-image-status", err);
    if (err == EFI_SUCCESS) {
        report_loaded_image(report, image, loaded_image);
        FetchedInitrd initrd = fetch_and_report_initrd(report);
        report_cpio_members(report, initrd.pages.ptr(), initrd.size);
        report_image_authentication(report, image, loaded_image);
    }
    report_tpm(report);
    report_variables(report);
    report_random_seed(report);
    report_devicetree(report);
    report_screen(report);
    report.end();
}

} // namespace

} // namespace korvane::vmtest

// Runs before and after the guard changes, so its frame is not checked against it.
extern "C" __attribute__((no_stack_protector)) EFI_STATUS EFIAPI probe_entry(EFI_HANDLE image,
                                                                           EFI_SYSTEM_TABLE *system_table) {
    korvane::firmware_init(system_table);
    korvane::stack_guard_init();
    korvane::vmtest::report_all(image);
    korvane::vmtest::debug_exit(korvane::vmtest::PROBE_EXIT_VALUE);
}
