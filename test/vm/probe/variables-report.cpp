#include "variables-report.h"

#include "boot/firmware.h"
#include "boot/util.h"
#include "guids.h"

namespace korvane::vmtest {

namespace {

constexpr const char16_t *VARIABLES[] = {
    u"StubInfo",           u"StubFeatures",          u"StubProfile",          u"StubDevicePartUUID",
    u"StubImageIdentifier", u"LoaderDevicePartUUID", u"LoaderImageIdentifier", u"LoaderFirmwareInfo",
    u"LoaderFirmwareType", u"StubPcrKernelImage",    u"StubPcrKernelParameters", u"StubPcrInitRDSysExts",
    u"StubPcrInitRDConfExts",
};
// Far more than any of them holds; a larger value is reported by its status alone.
constexpr size_t VALUE_SIZE_MAX = 4096;

void report_variable(Report &report, size_t index, const char16_t *name, uint8_t *buffer) {
    report.text(Key("variable", index, "name").c_str(), name, str16_len(name));
    UINT32 attributes = 0;
    UINTN size = VALUE_SIZE_MAX;
    EFI_STATUS err = RT->GetVariable(name, &LOADER_VENDOR, &attributes, &size, buffer);
    report.status(Key("variable", index, "status").c_str(), err);
    if (err != EFI_SUCCESS)
        return;
    report.number(Key("variable", index, "attributes").c_str(), attributes);
    report.bytes(Key("variable", index, "hex").c_str(), buffer, size);
}

} // namespace

void report_variables(Report &report) {
    PoolPtr<uint8_t> buffer(xnew<uint8_t>(VALUE_SIZE_MAX));
    for (size_t i = 0; i < sizeof(VARIABLES) / sizeof(VARIABLES[0]); i++)
        report_variable(report, i, VARIABLES[i], buffer.get());
    report.text("firmware.vendor", ST->FirmwareVendor, ST->FirmwareVendor ? str16_len(ST->FirmwareVendor) : 0);
    report.number("firmware.revision", ST->FirmwareRevision);
    report.number("firmware.system-table-revision", ST->Hdr.Revision);
    report.number("firmware.runtime-services-revision", RT->Hdr.Revision);
}

} // namespace korvane::vmtest
