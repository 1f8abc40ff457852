#include "launch-list.h"

namespace korvane::vmtest {

namespace {

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

EFI_STATUS parse_hex(const uint8_t *hex, size_t n, LaunchEntry *entry) {
    if (n == 0 || n % 2 != 0)
        return EFI_INVALID_PARAMETER;
    PoolPtr<uint8_t> bytes(xnew<uint8_t>(n / 2));
    for (size_t i = 0; i < n; i += 2) {
        int high = hex_value(hex[i]), low = hex_value(hex[i + 1]);
        if (high < 0 || low < 0)
            return EFI_INVALID_PARAMETER;
        bytes[i / 2] = static_cast<uint8_t>(high << 4 | low);
    }
    entry->options = move(bytes);
    entry->options_size = n / 2;
    return EFI_SUCCESS;
}

EFI_STATUS parse_line(const uint8_t *line, size_t n, LaunchEntry *entry) {
    size_t path_end = 0;
    while (path_end < n && line[path_end] != ' ')
        path_end++;
    if (path_end == 0)
        return EFI_INVALID_PARAMETER;

    PoolPtr<char16_t> path(xnew<char16_t>(path_end + 1));
    for (size_t i = 0; i < path_end; i++) {
        if (line[i] < 0x20 || line[i] >= 0x7f)
            return EFI_INVALID_PARAMETER;
        path[i] = line[i];
    }
    path[path_end] = u'\0';
    entry->path = move(path);
    if (path_end == n)
        return EFI_SUCCESS;
    return parse_hex(line + path_end + 1, n - path_end - 1, entry);
}

} // namespace

bool next_launch_entry(const uint8_t *data, size_t size, size_t *offset, LaunchEntry *ret, EFI_STATUS *ret_status) {
    for (;;) {
        if (*offset >= size)
            return false;
        size_t start = *offset, end = start;
        while (end < size && data[end] != '\n')
            end++;
        *offset = end < size ? end + 1 : end;
        size_t n = end - start;
        if (n > 0 && data[start + n - 1] == '\r')
            n--;
        if (n == 0)
            continue;
        *ret = {};
        *ret_status = parse_line(data + start, n, ret);
        return true;
    }
}

} // namespace korvane::vmtest
