#include "memory-map.h"

#include "boot/firmware.h"
#include "boot/util.h"

namespace korvane::vmtest {

namespace {

// Room for the descriptors that allocating the map's own buffer may add.
constexpr size_t EXTRA_DESCRIPTORS = 8;

} // namespace

bool memory_type_of(const void *address, uint32_t *ret_type) {
    UINTN size = 0, key = 0, descriptor_size = 0;
    UINT32 version = 0;
    if (BS->GetMemoryMap(&size, nullptr, &key, &descriptor_size, &version) != EFI_BUFFER_TOO_SMALL)
        return false;
    size += EXTRA_DESCRIPTORS * descriptor_size;
    PoolPtr<uint8_t> map(xnew<uint8_t>(size));
    if (BS->GetMemoryMap(&size, reinterpret_cast<EFI_MEMORY_DESCRIPTOR *>(map.get()), &key, &descriptor_size,
                         &version) != EFI_SUCCESS ||
        descriptor_size < sizeof(EFI_MEMORY_DESCRIPTOR))
        return false;
    auto at = reinterpret_cast<EFI_PHYSICAL_ADDRESS>(address);
    for (UINTN offset = 0; offset + descriptor_size <= size; offset += descriptor_size) {
        auto *d = reinterpret_cast<const EFI_MEMORY_DESCRIPTOR *>(map.get() + offset);
        if (at >= d->PhysicalStart && at - d->PhysicalStart < d->NumberOfPages * EFI_PAGE_SIZE) {
            *ret_type = d->Type;
            return true;
        }
    }
    return false;
}

} // namespace korvane::vmtest
