#include "fakefw/rng.h"

#include <gtest/gtest.h>

#include "fakefw/trampoline.h"

namespace fakefw {

namespace {

constexpr uint64_t SEQUENCE_SEED = 0x6b6f7276616e65ULL;

// Records the call before a fault is applied, so that failed calls are visible too.
EFI_STATUS EFIAPI get_rng(EFI_RNG_PROTOCOL *This, EFI_RNG_ALGORITHM *algorithm, UINTN length, UINT8 *value) {
    Firmware &fw = Firmware::active();
    EXPECT_EQ(This, fw.rng().protocol()) << "fakefw: GetRNG called with a foreign This";
    fw.rng().record(algorithm, length);
    if (auto injected = fw.faults().enter(Service::RngGetRNG))
        return *injected;
    return fw.rng().get_rng(algorithm, length, value);
}

// splitmix64: a fixed sequence that still looks random to the code under test.
uint64_t splitmix64(uint64_t &state) {
    uint64_t z = state += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

} // namespace

Rng::Rng(Firmware &fw) : fw_(fw), state_(SEQUENCE_SEED) {
    fill_unimplemented(protocol_);
    protocol_.GetRNG = fakefw::get_rng;
}

EFI_HANDLE Rng::install() {
    if (handle_) {
        ADD_FAILURE() << "fakefw: the RNG protocol is already installed";
        return handle_;
    }
    handle_ = fw_.handles().install(nullptr, EFI_RNG_PROTOCOL_GUID, &protocol_);
    return handle_;
}

void Rng::uninstall() {
    if (!handle_) {
        ADD_FAILURE() << "fakefw: the RNG protocol is not installed";
        return;
    }
    fw_.handles().uninstall(handle_, EFI_RNG_PROTOCOL_GUID);
    handle_ = nullptr;
}

void Rng::set_bytes(std::vector<uint8_t> bytes) { script_.emplace(bytes.begin(), bytes.end()); }

void Rng::record(const EFI_RNG_ALGORITHM *algorithm, UINTN length) {
    calls_.push_back(RngCall{algorithm, algorithm ? std::optional<EFI_GUID>(*algorithm) : std::nullopt, length});
}

EFI_STATUS Rng::get_rng(EFI_RNG_ALGORITHM *, UINTN length, UINT8 *value) {
    if (!value || length == 0)
        return EFI_INVALID_PARAMETER;
    if (script_ && script_->size() < length) {
        ADD_FAILURE() << "fakefw: GetRNG of " << length << " bytes, but only " << script_->size()
                      << " scripted bytes remain";
        return EFI_DEVICE_ERROR;
    }
    for (UINTN i = 0; i < length; i++)
        value[i] = next_byte();
    return EFI_SUCCESS;
}

uint8_t Rng::next_byte() {
    if (!script_)
        return static_cast<uint8_t>(splitmix64(state_));
    uint8_t b = script_->front();
    script_->pop_front();
    return b;
}

} // namespace fakefw
