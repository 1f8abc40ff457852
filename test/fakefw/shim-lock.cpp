#include "fakefw/shim-lock.h"

#include <algorithm>
#include <gtest/gtest.h>

#include "fakefw/fakefw.h"

namespace fakefw {

namespace {

ShimLock *answering = nullptr;

EFI_STATUS __attribute__((sysv_abi)) verify(const VOID *buffer, UINT32 size) {
    if (!answering) {
        ADD_FAILURE() << "fakefw: shim Verify called while no shim lock fake exists";
        return EFI_NOT_READY;
    }
    return answering->verify(buffer, size);
}

} // namespace

ShimLock::ShimLock(Firmware &fw) : fw_(fw) {
    EXPECT_EQ(answering, nullptr) << "fakefw: only one shim lock fake at a time";
    answering = this;
    protocol_.Verify = fakefw::verify;
}

ShimLock::~ShimLock() {
    if (handle_)
        uninstall();
    if (answering == this)
        answering = nullptr;
}

EFI_HANDLE ShimLock::install() {
    if (handle_) {
        ADD_FAILURE() << "fakefw: the shim lock protocol is already installed";
        return handle_;
    }
    handle_ = fw_.handles().install(nullptr, SHIM_LOCK_PROTOCOL_GUID, &protocol_);
    return handle_;
}

void ShimLock::uninstall() {
    if (!handle_) {
        ADD_FAILURE() << "fakefw: the shim lock protocol is not installed";
        return;
    }
    fw_.handles().uninstall(handle_, SHIM_LOCK_PROTOCOL_GUID);
    handle_ = nullptr;
}

EFI_STATUS ShimLock::verify(const void *buffer, UINT32 size) {
    const auto *p = static_cast<const uint8_t *>(buffer);
    Bytes contents = p ? Bytes(p, p + size) : Bytes();
    bool trusted = p && std::find(trusted_.begin(), trusted_.end(), contents) != trusted_.end();
    EFI_STATUS verdict = trusted ? EFI_SUCCESS : refusal_;
    calls_.push_back({buffer, size, std::move(contents), verdict});
    return verdict;
}

} // namespace fakefw
