#include "fakefw/filesystem.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

#include "fakefw/console.h"
#include "fakefw/device-path-bytes.h"
#include "fakefw/fakefw.h"

namespace fakefw {

namespace {

constexpr EFI_TIME FILE_TIME = {2024, 1, 1, 12, 0, 0, 0, 0, 0, 0, 0};
constexpr UINT64 CLUSTER_SIZE = 4096;
constexpr UINT64 POSITION_END = ~UINT64(0);

char16_t fold(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool same_name(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

std::vector<std::u16string_view> components(std::u16string_view path) {
    std::vector<std::u16string_view> out;
    while (!path.empty()) {
        size_t sep = path.find(u'\\');
        std::u16string_view part = path.substr(0, sep);
        if (!part.empty())
            out.push_back(part);
        if (sep == std::u16string_view::npos)
            break;
        path.remove_prefix(sep + 1);
    }
    return out;
}

// A hard-drive node of GPT partition index + 1 with a signature of its own, and the end node.
Bytes default_device_path(unsigned index) {
    HARDDRIVE_DEVICE_PATH hd = {};
    hd.Header = {MEDIA_DEVICE_PATH, MEDIA_HARDDRIVE_DP, {sizeof(HARDDRIVE_DEVICE_PATH), 0}};
    hd.PartitionNumber = index + 1;
    hd.PartitionStart = 2048;
    hd.PartitionSize = 0x100000;
    for (unsigned i = 0; i < sizeof(hd.Signature); i++)
        hd.Signature[i] = uint8_t(0x40 + index * 16 + i);
    hd.MBRType = MBR_TYPE_EFI_PARTITION_TABLE_HEADER;
    hd.SignatureType = SIGNATURE_TYPE_GUID;
    const EFI_DEVICE_PATH_PROTOCOL end = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, {4, 0}};
    Bytes path(sizeof(hd) + sizeof(end));
    memcpy(path.data(), &hd, sizeof(hd));
    memcpy(path.data() + sizeof(hd), &end, sizeof(end));
    return path;
}

FileSystems &file_systems() { return Firmware::active().file_systems(); }

} // namespace

const char *file_op_name(FileOp op) {
    static constexpr const char *NAMES[FILE_OP_COUNT] = {"Open",        "Delete",      "Read",    "Write",
                                                         "GetPosition", "SetPosition", "GetInfo", "Flush"};
    return NAMES[unsigned(op)];
}

std::vector<const FileNode *> FileNode::children() const {
    std::vector<const FileNode *> out;
    for (auto &c : children_)
        out.push_back(c.get());
    return out;
}

// The members of EFI_FILE_PROTOCOL and EFI_SIMPLE_FILE_SYSTEM_PROTOCOL.
struct FileOps {
    using Handle = FileSystems::Handle;

    static std::optional<EFI_STATUS> enter(FileNode &node, FileOp op) { return node.faults_[unsigned(op)].enter(); }

    static UINT64 info_size(const FileNode &node) {
        return node.directory_ ? 0 : node.reported_size_.value_or(node.contents_.size());
    }

    static Bytes info_record(const FileNode &node, std::u16string_view name) {
        EFI_FILE_INFO info = {};
        info.Size = sizeof(EFI_FILE_INFO) + (name.size() + 1) * sizeof(char16_t);
        info.FileSize = info_size(node);
        info.PhysicalSize = (info.FileSize + CLUSTER_SIZE - 1) / CLUSTER_SIZE * CLUSTER_SIZE;
        info.CreateTime = info.LastAccessTime = info.ModificationTime = FILE_TIME;
        info.Attribute = (node.directory_ ? EFI_FILE_DIRECTORY : EFI_FILE_ARCHIVE) | node.attributes_;
        Bytes record(info.Size);
        memcpy(record.data(), &info, sizeof(info));
        memcpy(record.data() + sizeof(info), name.data(), name.size() * sizeof(char16_t));
        return record;
    }

    static EFI_STATUS copy_record(const Bytes &record, UINTN *size, VOID *buffer) {
        if (*size < record.size()) {
            *size = record.size();
            return EFI_BUFFER_TOO_SMALL;
        }
        if (!buffer)
            return EFI_INVALID_PARAMETER;
        memcpy(buffer, record.data(), record.size());
        *size = record.size();
        return EFI_SUCCESS;
    }

    // The listing of a directory: "." and ".." below the root, then the entries.
    static std::vector<std::pair<std::u16string, const FileNode *>> listing(Handle &h) {
        std::vector<std::pair<std::u16string, const FileNode *>> entries;
        FileNode &dir = *h.node;
        if (h.node != h.volume->root_node()) {
            std::shared_ptr<FileNode> parent = dir.parent_.lock();
            entries.emplace_back(u".", &dir);
            entries.emplace_back(u"..", parent ? parent.get() : &dir);
        }
        for (auto &c : dir.children_)
            entries.emplace_back(c->name_, c.get());
        return entries;
    }

    static EFI_STATUS EFIAPI open_volume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **root) {
        Volume *volume = file_systems().volume(This);
        if (!volume || !root)
            return EFI_INVALID_PARAMETER;
        if (auto injected = volume->enter_open_volume())
            return *injected;
        *root = file_systems().open(*volume, volume->root_node(), !volume->read_only());
        return EFI_SUCCESS;
    }

    static EFI_STATUS EFIAPI open(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **new_handle, const CHAR16 *name,
                                  UINT64 mode, UINT64 attributes) {
        Handle *h = file_systems().handle(This);
        if (!h || !new_handle || !name)
            return EFI_INVALID_PARAMETER;
        constexpr UINT64 READ = EFI_FILE_MODE_READ, WRITE = READ | EFI_FILE_MODE_WRITE,
                         CREATE = WRITE | EFI_FILE_MODE_CREATE;
        if (mode != READ && mode != WRITE && mode != CREATE)
            return EFI_INVALID_PARAMETER;
        Volume &volume = *h->volume;
        bool writable = mode != READ;
        std::u16string_view path(name);
        std::shared_ptr<FileNode> node = volume.resolve(h->node, path);
        if (!node) {
            if (mode != CREATE)
                return EFI_NOT_FOUND;
            size_t sep = path.rfind(u'\\');
            std::u16string_view leaf = sep == std::u16string_view::npos ? path : path.substr(sep + 1);
            std::shared_ptr<FileNode> dir =
                volume.resolve(h->node, sep == std::u16string_view::npos ? u"" : path.substr(0, sep + 1));
            if (!dir || !dir->directory_ || leaf.empty() || leaf == u"." || leaf == u"..")
                return EFI_NOT_FOUND;
            if (volume.read_only())
                return EFI_WRITE_PROTECTED;
            node = volume.create(dir, leaf, attributes & EFI_FILE_DIRECTORY);
            node->attributes_ = attributes & ~EFI_FILE_DIRECTORY & EFI_FILE_VALID_ATTR;
        }
        if (auto injected = enter(*node, FileOp::Open))
            return *injected;
        if (writable && volume.read_only())
            return EFI_WRITE_PROTECTED;
        if (writable && (node->attributes_ & EFI_FILE_READ_ONLY))
            return EFI_ACCESS_DENIED;
        *new_handle = file_systems().open(volume, node, writable);
        return EFI_SUCCESS;
    }

    static EFI_STATUS EFIAPI close(EFI_FILE_PROTOCOL *This) {
        Handle *h = file_systems().handle(This);
        if (!h)
            return EFI_INVALID_PARAMETER;
        h->open = false;
        return EFI_SUCCESS;
    }

    // Closes the handle whatever the outcome.
    static EFI_STATUS EFIAPI delete_file(EFI_FILE_PROTOCOL *This) {
        Handle *h = file_systems().handle(This);
        if (!h)
            return EFI_INVALID_PARAMETER;
        h->open = false;
        FileNode &node = *h->node;
        if (auto injected = enter(node, FileOp::Delete))
            return *injected;
        if (!h->writable || h->node == h->volume->root_node() || !node.children_.empty() || node.parent_.expired())
            return EFI_WARN_DELETE_FAILURE;
        h->volume->remove(node);
        return EFI_SUCCESS;
    }

    static EFI_STATUS EFIAPI read(EFI_FILE_PROTOCOL *This, UINTN *size, VOID *buffer) {
        Handle *h = file_systems().handle(This);
        if (!h || !size)
            return EFI_INVALID_PARAMETER;
        FileNode &node = *h->node;
        node.read_requests_.push_back(*size);
        if (auto injected = enter(node, FileOp::Read))
            return *injected;
        if (node.directory_)
            return read_directory(*h, size, buffer);
        const Bytes &data = node.contents_;
        if (h->position > data.size())
            return EFI_DEVICE_ERROR;
        size_t n = std::min<UINT64>(*size, data.size() - h->position);
        if (node.read_limit_)
            n = std::min(n, *node.read_limit_);
        if (n > 0 && !buffer)
            return EFI_INVALID_PARAMETER;
        if (n > 0)
            memcpy(buffer, data.data() + h->position, n);
        file_systems().count_read(n);
        h->position += n;
        *size = n + node.read_overstatement_;
        return EFI_SUCCESS;
    }

    static EFI_STATUS read_directory(Handle &h, UINTN *size, VOID *buffer) {
        auto entries = listing(h);
        if (h.position >= entries.size()) {
            *size = 0;
            return EFI_SUCCESS;
        }
        auto &[name, entry] = entries[h.position];
        EFI_STATUS status = copy_record(info_record(*entry, name), size, buffer);
        if (status == EFI_SUCCESS)
            h.position++;
        return status;
    }

    static EFI_STATUS EFIAPI write(EFI_FILE_PROTOCOL *This, UINTN *size, const VOID *buffer) {
        Handle *h = file_systems().handle(This);
        if (!h || !size)
            return EFI_INVALID_PARAMETER;
        FileNode &node = *h->node;
        if (auto injected = enter(node, FileOp::Write))
            return *injected;
        if (node.directory_)
            return EFI_UNSUPPORTED;
        if (!h->writable)
            return EFI_ACCESS_DENIED;
        size_t n = node.write_limit_ ? std::min<size_t>(*size, *node.write_limit_) : *size;
        if (n > 0 && !buffer)
            return EFI_INVALID_PARAMETER;
        Bytes &data = node.contents_;
        if (data.size() < h->position + n)
            data.resize(h->position + n);
        if (n > 0)
            memcpy(data.data() + h->position, buffer, n);
        h->position += n;
        *size = n;
        return EFI_SUCCESS;
    }

    static EFI_STATUS EFIAPI get_position(EFI_FILE_PROTOCOL *This, UINT64 *position) {
        Handle *h = file_systems().handle(This);
        if (!h || !position)
            return EFI_INVALID_PARAMETER;
        if (auto injected = enter(*h->node, FileOp::GetPosition))
            return *injected;
        if (h->node->directory_)
            return EFI_UNSUPPORTED;
        *position = h->position;
        return EFI_SUCCESS;
    }

    // Directories only rewind; a file may be positioned past its end, or at it with all ones.
    static EFI_STATUS EFIAPI set_position(EFI_FILE_PROTOCOL *This, UINT64 position) {
        Handle *h = file_systems().handle(This);
        if (!h)
            return EFI_INVALID_PARAMETER;
        if (auto injected = enter(*h->node, FileOp::SetPosition))
            return *injected;
        if (h->node->directory_ && position != 0)
            return EFI_UNSUPPORTED;
        h->position = position == POSITION_END ? h->node->contents_.size() : position;
        return EFI_SUCCESS;
    }

    static EFI_STATUS EFIAPI get_info(EFI_FILE_PROTOCOL *This, const EFI_GUID *type, UINTN *size, VOID *buffer) {
        Handle *h = file_systems().handle(This);
        if (!h || !type || !size)
            return EFI_INVALID_PARAMETER;
        if (auto injected = enter(*h->node, FileOp::GetInfo))
            return *injected;
        if (!efi_guid_equal(*type, EFI_FILE_INFO_ID))
            return unimplemented("GetInfo of an information type other than EFI_FILE_INFO");
        return copy_record(info_record(*h->node, h->node->name_), size, buffer);
    }

    static EFI_STATUS EFIAPI flush(EFI_FILE_PROTOCOL *This) {
        Handle *h = file_systems().handle(This);
        if (!h)
            return EFI_INVALID_PARAMETER;
        if (auto injected = enter(*h->node, FileOp::Flush))
            return *injected;
        return h->writable ? EFI_SUCCESS : EFI_ACCESS_DENIED;
    }

    static EFI_STATUS unimplemented(const char *what) {
        ADD_FAILURE() << "fakefw: File " << what << " is not implemented";
        return EFI_UNSUPPORTED;
    }
    static EFI_STATUS EFIAPI set_info(EFI_FILE_PROTOCOL *, const EFI_GUID *, UINTN, const VOID *) {
        return unimplemented("SetInfo");
    }
    static EFI_STATUS EFIAPI open_ex(EFI_FILE_PROTOCOL *, EFI_FILE_PROTOCOL **, const CHAR16 *, UINT64, UINT64,
                                     EFI_FILE_IO_TOKEN *) {
        return unimplemented("OpenEx");
    }
    static EFI_STATUS EFIAPI read_ex(EFI_FILE_PROTOCOL *, EFI_FILE_IO_TOKEN *) { return unimplemented("ReadEx"); }
    static EFI_STATUS EFIAPI write_ex(EFI_FILE_PROTOCOL *, EFI_FILE_IO_TOKEN *) { return unimplemented("WriteEx"); }
    static EFI_STATUS EFIAPI flush_ex(EFI_FILE_PROTOCOL *, EFI_FILE_IO_TOKEN *) { return unimplemented("FlushEx"); }

    static constexpr EFI_FILE_PROTOCOL PROTOCOL = {
        .Revision = EFI_FILE_PROTOCOL_REVISION2,
        .Open = open,
        .Close = close,
        .Delete = delete_file,
        .Read = read,
        .Write = write,
        .GetPosition = get_position,
        .SetPosition = set_position,
        .GetInfo = get_info,
        .SetInfo = set_info,
        .Flush = flush,
        .OpenEx = open_ex,
        .ReadEx = read_ex,
        .WriteEx = write_ex,
        .FlushEx = flush_ex,
    };
};

Volume::Volume(Firmware &fw, unsigned index, Bytes device_path)
    : index_(index), device_path_(device_path.empty() ? default_device_path(index) : std::move(device_path)),
      root_(std::make_shared<FileNode>(u"", true)) {
    protocol_ = {EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_REVISION, FileOps::open_volume};
    handle_ = fw.handles().install(nullptr, EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID, &protocol_);
    fw.handles().install(handle_, EFI_DEVICE_PATH_PROTOCOL_GUID, device_path_.data());
}

FileNode &Volume::make_path(std::u16string_view path, bool directory) {
    std::vector<std::u16string_view> parts = components(path);
    if (parts.empty()) {
        if (!directory)
            ADD_FAILURE() << "fakefw: a file needs a name";
        return *root_;
    }
    std::shared_ptr<FileNode> dir = root_;
    for (size_t i = 0; i < parts.size(); i++) {
        bool last = i + 1 == parts.size();
        std::shared_ptr<FileNode> next = resolve(dir, parts[i]);
        if (!next)
            next = create(dir, parts[i], !last || directory);
        else if (next->directory_ != (!last || directory))
            ADD_FAILURE() << "fakefw: " << to_utf8(path_of(*next)) << " already exists as a "
                          << (next->directory_ ? "directory" : "file");
        dir = next;
    }
    return *dir;
}

FileNode &Volume::add_file(std::u16string_view path, Bytes contents) {
    FileNode &node = make_path(path, false);
    node.contents_ = std::move(contents);
    return node;
}

FileNode &Volume::add_file(std::u16string_view path, std::string_view text) {
    return add_file(path, Bytes(text.begin(), text.end()));
}

FileNode &Volume::add_directory(std::u16string_view path) { return make_path(path, true); }

FileNode *Volume::find(std::u16string_view path) { return resolve(root_, path).get(); }

std::shared_ptr<FileNode> Volume::resolve(const std::shared_ptr<FileNode> &start, std::u16string_view path) {
    std::shared_ptr<FileNode> node = !path.empty() && path.front() == u'\\' ? root_ : start;
    for (std::u16string_view part : components(path)) {
        if (part == u".")
            continue;
        if (part == u"..") {
            node = node->parent_.lock();
            if (!node)
                return nullptr;
            continue;
        }
        if (!node->directory_)
            return nullptr;
        auto it = std::find_if(node->children_.begin(), node->children_.end(),
                               [&](const std::shared_ptr<FileNode> &c) { return same_name(c->name_, part); });
        if (it == node->children_.end())
            return nullptr;
        node = *it;
    }
    return node;
}

std::shared_ptr<FileNode> Volume::create(const std::shared_ptr<FileNode> &dir, std::u16string_view name,
                                         bool directory) {
    auto node = std::make_shared<FileNode>(std::u16string(name), directory);
    node->parent_ = dir;
    dir->children_.push_back(node);
    return node;
}

std::u16string Volume::path_of(const FileNode &node) const {
    if (&node == root_.get())
        return u"\\";
    std::u16string path;
    for (const FileNode *n = &node; n != root_.get();) {
        std::shared_ptr<FileNode> parent = n->parent_.lock();
        if (!parent)
            return node.name_ + u" (deleted)";
        path = u"\\" + n->name_ + path;
        n = parent.get();
    }
    return path;
}

void Volume::remove(FileNode &node) {
    std::shared_ptr<FileNode> parent = node.parent_.lock();
    if (!parent)
        return;
    // The tree may hold the last reference: keep the node alive until it is detached.
    auto it = std::find_if(parent->children_.begin(), parent->children_.end(),
                           [&](const std::shared_ptr<FileNode> &c) { return c.get() == &node; });
    if (it == parent->children_.end())
        return;
    std::shared_ptr<FileNode> keep = *it;
    parent->children_.erase(it);
    keep->parent_.reset();
}

Volume &FileSystems::add_volume(Bytes device_path) {
    volumes_.push_back(std::make_unique<Volume>(fw_, unsigned(volumes_.size()), std::move(device_path)));
    return *volumes_.back();
}

namespace {

// The names of the file-path nodes from `at` to the end node, joined by '\'; none when
// another node comes first or there is no name at all.
std::optional<std::u16string> file_path_text(const Bytes &path, size_t at) {
    std::u16string text;
    while (at + 4 <= path.size()) {
        uint8_t type = path[at], subtype = path[at + 1];
        size_t length = path[at + 2] | path[at + 3] << 8;
        if (type == END_DEVICE_PATH_TYPE && subtype == END_ENTIRE_DEVICE_PATH_SUBTYPE)
            break;
        if (type != MEDIA_DEVICE_PATH || subtype != MEDIA_FILEPATH_DP || length < 4 || at + length > path.size())
            return std::nullopt;
        std::u16string name((length - 4) / 2, u'\0');
        memcpy(name.data(), path.data() + at + 4, name.size() * 2);
        text += u'\\';
        text += name.substr(0, name.find(u'\0'));
        at += length;
    }
    if (text.empty())
        return std::nullopt;
    return text;
}

} // namespace

FileNode *FileSystems::file_at(const EFI_DEVICE_PATH_PROTOCOL *path) {
    Bytes bytes = device_path_bytes(path);
    for (auto &v : volumes_) {
        Bytes own = device_path_bytes(v->device_path());
        if (own.size() < 4 || bytes.size() < own.size() || !std::equal(own.begin(), own.end() - 4, bytes.begin()))
            continue;
        std::optional<std::u16string> text = file_path_text(bytes, own.size() - 4);
        std::shared_ptr<FileNode> node = text ? v->resolve(v->root_node(), *text) : nullptr;
        if (node && !node->is_directory())
            return node.get();
    }
    return nullptr;
}

size_t FileSystems::open_count() const {
    return std::count_if(handles_.begin(), handles_.end(), [](const std::unique_ptr<Handle> &h) { return h->open; });
}

std::vector<std::string> FileSystems::leaks() const {
    std::vector<std::string> out;
    for (auto &h : handles_)
        if (h->open)
            out.push_back("open file: " + to_utf8(h->volume->path_of(*h->node)) + " on volume " +
                          std::to_string(h->volume->index()));
    return out;
}

Volume *FileSystems::volume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This) {
    for (auto &v : volumes_)
        if (v->protocol() == This)
            return v.get();
    ADD_FAILURE() << "fakefw: OpenVolume called with a foreign This";
    return nullptr;
}

EFI_FILE_PROTOCOL *FileSystems::open(Volume &volume, std::shared_ptr<FileNode> node, bool writable) {
    handles_.push_back(std::make_unique<Handle>(Handle{FileOps::PROTOCOL, &volume, std::move(node), writable}));
    return &handles_.back()->protocol;
}

FileSystems::Handle *FileSystems::handle(EFI_FILE_PROTOCOL *This) {
    for (auto &h : handles_) {
        if (&h->protocol != This)
            continue;
        if (!h->open) {
            ADD_FAILURE() << "fakefw: file member called on a closed handle of "
                          << to_utf8(h->volume->path_of(*h->node));
            return nullptr;
        }
        return h.get();
    }
    ADD_FAILURE() << "fakefw: file member called with a foreign This";
    return nullptr;
}

} // namespace fakefw
