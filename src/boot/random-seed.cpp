#include "random-seed.h"

#include "config-table.h"
#include "efivars.h"
#include "efi/rng.h"
#include "file-util.h"
#include "firmware.h"
#include "log.h"
#include "part-discovery.h"
#include "secure-boot.h"
#include "sha256.h"
#include "util.h"

namespace korvane {

namespace {

constexpr char HASH_LABEL[] = "korvane-boot random seed label v1";
constexpr size_t HASH_LABEL_SIZE = sizeof(HASH_LABEL) - 1;
static_assert(HASH_LABEL_SIZE == 33);
constexpr size_t SEED_TABLE_SIZE = sizeof(LinuxRandomSeedTable) + RANDOM_SEED_SIZE;

// Zeros that the compiler may not drop as dead stores.
void wipe(void *p, size_t n) {
    memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
}

// Pool memory holding a secret: wiped, then freed.
class SecretPool {
public:
    SecretPool() = default;
    SecretPool(const SecretPool &) = delete;
    SecretPool &operator=(const SecretPool &) = delete;
    ~SecretPool() {
        if (p_)
            wipe(p_, size_);
        free_pool(p_);
    }
    void **out() { return &p_; }
    void set_size(size_t size) { size_ = size; }
    uint8_t *get() const { return static_cast<uint8_t *>(p_); }
    size_t size() const { return size_; }

private:
    void *p_ = nullptr;
    size_t size_ = 0;
};

// Everything secret that one refresh holds on its stack, wiped on every way out.
struct SeedState {
    Sha256Context hash;
    uint8_t random[RANDOM_SEED_SIZE];
    uint8_t key[SHA256_DIGEST_SIZE];
    uint8_t file_seed[SHA256_DIGEST_SIZE];
    uint8_t table_seed[SHA256_DIGEST_SIZE];
    SeedState() = default;
    SeedState(const SeedState &) = delete;
    SeedState &operator=(const SeedState &) = delete;
    ~SeedState() { wipe(this, sizeof(*this)); }
};

void hash_item(Sha256Context *hash, const void *data, size_t size) {
    uint8_t length[8];
    for (size_t i = 0; i < sizeof(length); i++)
        length[i] = uint8_t(uint64_t(size) >> (8 * i));
    sha256_update(hash, length, sizeof(length));
    sha256_update(hash, data, size);
}

void derive(const uint8_t key[SHA256_DIGEST_SIZE], uint8_t domain, uint8_t out[SHA256_DIGEST_SIZE]) {
    Sha256Context ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, key, SHA256_DIGEST_SIZE);
    sha256_update(&ctx, &domain, 1);
    sha256_final(&ctx, out);
}

EFI_STATUS write_all(EFI_FILE_PROTOCOL *file, const void *data, size_t size) {
    UINTN written = size;
    EFI_STATUS err = file->Write(file, &written, data);
    if (err != EFI_SUCCESS)
        return log_error(err, "Failed to write random seed file: %m");
    if (written != size)
        return log_error(EFI_PROTOCOL_ERROR, "Short write on random seed file.");
    return EFI_SUCCESS;
}

EFI_STATUS flush(EFI_FILE_PROTOCOL *file) {
    EFI_STATUS err = file->Flush(file);
    return err == EFI_SUCCESS ? err : log_error(err, "Failed to flush random seed file: %m");
}

EFI_STATUS seek_to_start(EFI_FILE_PROTOCOL *file) {
    EFI_STATUS err = file->SetPosition(file, 0);
    return err == EFI_SUCCESS ? err : log_error(err, "Failed to seek to beginning of random seed file: %m");
}

// The zeroed `zeros` buffer is as long as the file: its tail past the seed is written from it.
EFI_STATUS rewrite_file(EFI_FILE_PROTOCOL *file, const uint8_t *zeros, size_t file_size, const uint8_t *seed) {
    EFI_STATUS err;
    if (file_size > RANDOM_SEED_SIZE) {
        err = file->SetPosition(file, RANDOM_SEED_SIZE);
        if (err != EFI_SUCCESS)
            return log_error(err, "Failed to seek to offset of random seed file: %m");
        if ((err = write_all(file, zeros, file_size - RANDOM_SEED_SIZE)) != EFI_SUCCESS ||
            (err = flush(file)) != EFI_SUCCESS || (err = seek_to_start(file)) != EFI_SUCCESS)
            return err;
    }
    if ((err = write_all(file, seed, RANDOM_SEED_SIZE)) != EFI_SUCCESS)
        return err;
    return flush(file);
}

// The size field of an earlier stage's table is all we know of its allocation. Linux reads
// no more than this of a seed table, so a larger value is a corrupt field, not a bigger seed.
constexpr size_t PREVIOUS_SEED_MAX = 1024;

size_t previous_seed_size(const LinuxRandomSeedTable *previous) {
    if (!previous)
        return 0;
    return previous->size < PREVIOUS_SEED_MAX ? previous->size : PREVIOUS_SEED_MAX;
}

EFI_STATUS install_table(const uint8_t *seed, LinuxRandomSeedTable *previous) {
    LinuxRandomSeedTable *table = nullptr;
    EFI_STATUS err = BS->AllocatePool(EfiACPIReclaimMemory, SEED_TABLE_SIZE, reinterpret_cast<void **>(&table));
    if (err != EFI_SUCCESS || !table)
        return log_error(err, "Failed to allocate EFI table for random seed: %m");
    table->size = RANDOM_SEED_SIZE;
    memcpy(table->seed, seed, RANDOM_SEED_SIZE);
    err = BS->InstallConfigurationTable(&LINUX_EFI_RANDOM_SEED_TABLE_GUID, table);
    if (err != EFI_SUCCESS) {
        wipe(table, SEED_TABLE_SIZE);
        BS->FreePool(table);
        return log_error(err, "Failed to install EFI table for random seed: %m");
    }
    // Only with the new table in place may the old one go.
    if (previous) {
        wipe(previous->seed, previous_seed_size(previous));
        previous->size = 0;
        BS->FreePool(previous);
    }
    return EFI_SUCCESS;
}

} // namespace

bool acquire_rng(uint8_t *buffer, size_t size) {
    ASSERT(buffer);
    EFI_RNG_PROTOCOL *rng = nullptr;
    if (BS->LocateProtocol(&EFI_RNG_PROTOCOL_GUID, nullptr, reinterpret_cast<void **>(&rng)) != EFI_SUCCESS || !rng)
        return false;
    EFI_STATUS err = rng->GetRNG(rng, nullptr, size, buffer);
    if (err == EFI_UNSUPPORTED)
        return false;
    if (err != EFI_SUCCESS) {
        log_warning(err, "Failed to acquire RNG data, proceeding without: %m");
        return false;
    }
    return true;
}

void acquire_system_token(void **ret, size_t *ret_size) {
    ASSERT(ret);
    ASSERT(ret_size);
    *ret = nullptr;
    *ret_size = 0;
    void *data = nullptr;
    size_t size = 0;
    EFI_STATUS err = variable_get_raw(LOADER_VENDOR_GUID, u"LoaderSystemToken", &data, &size);
    if (err == EFI_NOT_FOUND)
        return;
    if (err != EFI_SUCCESS) {
        log_error(err, "Failed to read LoaderSystemToken EFI variable: %m");
        return;
    }
    if (!data || size == 0) {
        free_pool(data);
        log_error(EFI_NOT_FOUND, "System token too short, ignoring.");
        return;
    }
    *ret = data;
    *ret_size = size;
}

EFI_STATUS process_random_seed(EFI_FILE_PROTOCOL *root_dir) {
    ASSERT(root_dir);
    SeedState s;
    sha256_init(&s.hash);
    sha256_update(&s.hash, HASH_LABEL, HASH_LABEL_SIZE);

    auto *previous = static_cast<LinuxRandomSeedTable *>(
        const_cast<void *>(find_configuration_table(LINUX_EFI_RANDOM_SEED_TABLE_GUID)));
    size_t previous_size = previous_seed_size(previous);
    bool have_firmware_entropy = previous_size >= RANDOM_SEED_SIZE;
    hash_item(&s.hash, previous ? previous->seed : nullptr, previous_size);

    if (acquire_rng(s.random, sizeof(s.random))) {
        have_firmware_entropy = true;
        hash_item(&s.hash, s.random, sizeof(s.random));
        wipe(s.random, sizeof(s.random));
    } else if (!have_firmware_entropy && secure_boot_active())
        return EFI_NOT_READY;
    else
        hash_item(&s.hash, nullptr, 0);

    {
        SecretPool token;
        size_t token_size = 0;
        acquire_system_token(token.out(), &token_size);
        token.set_size(token_size);
        if (token_size < RANDOM_SEED_SIZE && !have_firmware_entropy)
            return EFI_NOT_READY;
        hash_item(&s.hash, token.get(), token_size);
    }

    // What the firmware leaves in the out-parameter of a failed Open is no handle of ours.
    EFI_FILE_PROTOCOL *opened = nullptr;
    EFI_STATUS err = root_dir->Open(root_dir, &opened, u"\\loader\\random-seed",
                                    EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0);
    if (err == EFI_NOT_FOUND || err == EFI_WRITE_PROTECTED)
        return err;
    if (err != EFI_SUCCESS)
        return log_error(err, "Failed to open random seed file: %m");
    FileHandle file(opened);
    PoolPtr<EFI_FILE_INFO> info;
    err = get_file_info(file.get(), info.out());
    if (err != EFI_SUCCESS)
        return log_error(err, "Failed to get file info for random seed: %m");
    if (info->FileSize < RANDOM_SEED_SIZE)
        return log_error(EFI_INVALID_PARAMETER, "Random seed file is too short.");
    if (info->FileSize > RANDOM_SEED_FILE_MAX)
        return log_error(EFI_INVALID_PARAMETER, "Random seed file is too large.");
    size_t file_size = info->FileSize;

    SecretPool contents;
    *contents.out() = xmalloc(file_size);
    contents.set_size(file_size);
    UINTN read = file_size;
    err = file->Read(file.get(), &read, contents.get());
    if (err != EFI_SUCCESS)
        return log_error(err, "Failed to read random seed file: %m");
    if (read != file_size)
        return log_error(EFI_PROTOCOL_ERROR, "Short read on random seed file.");
    hash_item(&s.hash, contents.get(), file_size);
    wipe(contents.get(), file_size);
    if ((err = seek_to_start(file.get())) != EFI_SUCCESS)
        return err;

    UINT64 counter = 0;
    err = BS->GetNextMonotonicCount(&counter);
    if (err != EFI_SUCCESS && !have_firmware_entropy)
        return log_error(err, "Failed to acquire UEFI monotonic counter: %m");
    if (err != EFI_SUCCESS)
        counter = 0;
    hash_item(&s.hash, &counter, sizeof(counter));

    EFI_TIME now = {};
    if (RT->GetTime(&now, nullptr) == EFI_SUCCESS)
        hash_item(&s.hash, &now, sizeof(now));
    else
        hash_item(&s.hash, nullptr, 0);

    sha256_final(&s.hash, s.key);
    derive(s.key, 0x00, s.file_seed);
    derive(s.key, 0x01, s.table_seed);
    wipe(s.key, sizeof(s.key));

    err = rewrite_file(file.get(), contents.get(), file_size, s.file_seed);
    wipe(s.file_seed, sizeof(s.file_seed));
    if (err != EFI_SUCCESS)
        return err;
    return install_table(s.table_seed, previous);
}

void refresh_random_seed(const EFI_LOADED_IMAGE_PROTOCOL *loaded_image) {
    ASSERT(loaded_image);
    if (!loaded_image->DeviceHandle)
        return;
    PoolPtr<uint8_t> features;
    size_t features_size = 0;
    if (variable_get_raw(LOADER_VENDOR_GUID, u"LoaderFeatures", reinterpret_cast<void **>(features.out()),
                         &features_size) == EFI_SUCCESS &&
        features && features_size == sizeof(uint64_t)) {
        uint64_t bits = 0;
        for (size_t i = 0; i < sizeof(bits); i++)
            bits |= uint64_t(features[i]) << (8 * i);
        if (bits & LOADER_FEATURE_RANDOM_SEED)
            return;
    }
    EFI_HANDLE esp = partition_open(ESP_PARTITION_TYPE_GUID, loaded_image->DeviceHandle);
    if (!esp)
        return;
    FileHandle root;
    if (open_volume_root(esp, root.out()) != EFI_SUCCESS)
        return;
    (void) process_random_seed(root.get());
}

} // namespace korvane
