// SMBIOS structure tables for tests, published in the fake firmware's configuration table.
// Tables and entry points are copied into buffers of exactly their size, so that ASan catches
// any read past their end.
#pragma once

#include <sys/mman.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boot/efi/smbios.h"
#include "fakefw/fakefw.h"

namespace smbiostest {

using Bytes = std::vector<uint8_t>;

// One structure: the header, `fields` (the rest of the formatted area), then the string set.
inline Bytes structure(uint8_t type, const Bytes &fields, const std::vector<std::string> &strings = {},
                       uint16_t handle = 0) {
    Bytes b = {type, static_cast<uint8_t>(4 + fields.size()), static_cast<uint8_t>(handle),
               static_cast<uint8_t>(handle >> 8)};
    b.insert(b.end(), fields.begin(), fields.end());
    for (const std::string &s : strings) {
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
    }
    if (strings.empty())
        b.push_back(0);
    b.push_back(0);
    return b;
}

// System Information with the string numbers of manufacturer, product name, SKU and family.
inline Bytes system_information(uint8_t manufacturer, uint8_t product, uint8_t sku, uint8_t family,
                                const std::vector<std::string> &strings, size_t length = 27) {
    Bytes fields(length - 4);
    fields[0] = manufacturer;
    fields[1] = product;
    if (length >= 27) {
        fields[25 - 4] = sku;
        fields[26 - 4] = family;
    }
    return structure(1, fields, strings);
}

inline Bytes baseboard(uint8_t manufacturer, uint8_t product, const std::vector<std::string> &strings) {
    Bytes fields(8 - 4);
    fields[0] = manufacturer;
    fields[1] = product;
    return structure(2, fields, strings);
}

inline Bytes end_of_table() { return structure(127, {}); }

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Memory below 4 GiB, for the 32-bit table address of SMBIOS 2. The bytes end right before an
// inaccessible page, so a read past their end faults.
class LowBuffer {
public:
    explicit LowBuffer(const Bytes &bytes) {
        size_t data_pages = (bytes.size() + PAGE - 1) / PAGE;
        size_ = (data_pages + 1) * PAGE;
        void *p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
        if (p == MAP_FAILED) {
            ADD_FAILURE() << "no memory below 4 GiB";
            return;
        }
        base_ = static_cast<uint8_t *>(p);
        mprotect(base_ + data_pages * PAGE, PAGE, PROT_NONE);
        data_ = base_ + data_pages * PAGE - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~LowBuffer() {
        if (base_)
            munmap(base_, size_);
    }
    LowBuffer(const LowBuffer &) = delete;
    LowBuffer &operator=(const LowBuffer &) = delete;
    uint8_t *data() const { return data_; }

private:
    static constexpr size_t PAGE = 4096;
    uint8_t *base_ = nullptr;
    uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

class Tables {
public:
    explicit Tables(fakefw::Firmware &fw) : fw_(fw) {}

    // The entry points are returned so that a test can spoil them.
    SMBIOS_TABLE_3_0_ENTRY_POINT *add3(const Bytes &table) {
        auto *ep = entry_point<SMBIOS_TABLE_3_0_ENTRY_POINT>(sizeof(SMBIOS_TABLE_3_0_ENTRY_POINT));
        std::memcpy(ep->AnchorString, "_SM3_", 5);
        ep->EntryPointLength = sizeof(*ep);
        ep->MajorVersion = 3;
        ep->TableMaximumSize = static_cast<uint32_t>(table.size());
        ep->TableAddress = reinterpret_cast<uintptr_t>(copy(table));
        fw_.config_tables().add(SMBIOS3_TABLE_GUID, ep);
        return ep;
    }

    SMBIOS_TABLE_ENTRY_POINT *add2(const Bytes &table) {
        auto *ep = entry_point<SMBIOS_TABLE_ENTRY_POINT>(sizeof(SMBIOS_TABLE_ENTRY_POINT));
        std::memcpy(ep->AnchorString, "_SM_", 4);
        ep->EntryPointLength = sizeof(*ep);
        ep->MajorVersion = 2;
        ep->MinorVersion = 8;
        std::memcpy(ep->IntermediateAnchorString, "_DMI_", 5);
        ep->TableLength = static_cast<uint16_t>(table.size());
        low_tables_.push_back(std::make_unique<LowBuffer>(table));
        last_table_ = low_tables_.back()->data();
        ep->TableAddress = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(last_table_));
        fw_.config_tables().add(SMBIOS_TABLE_GUID, ep);
        return ep;
    }

    // An SMBIOS 3 entry point that is only `size` bytes long, claiming that length.
    void add3_short(uint8_t size) {
        auto *ep = entry_point<uint8_t>(size);
        std::memcpy(ep, "_SM3_", 5);
        ep[6] = size;
        fw_.config_tables().add(SMBIOS3_TABLE_GUID, ep);
    }

    // The last table added.
    const uint8_t *table() const { return last_table_; }

private:
    template <typename T> T *entry_point(size_t size) {
        entry_points_.push_back(std::make_unique<uint8_t[]>(size));
        return reinterpret_cast<T *>(entry_points_.back().get());
    }
    uint8_t *copy(const Bytes &table) {
        tables_.push_back(std::make_unique<uint8_t[]>(table.size()));
        if (!table.empty())
            std::memcpy(tables_.back().get(), table.data(), table.size());
        last_table_ = tables_.back().get();
        return tables_.back().get();
    }

    fakefw::Firmware &fw_;
    std::vector<std::unique_ptr<uint8_t[]>> entry_points_;
    std::vector<std::unique_ptr<uint8_t[]>> tables_;
    std::vector<std::unique_ptr<LowBuffer>> low_tables_;
    const uint8_t *last_table_ = nullptr;
};

} // namespace smbiostest
