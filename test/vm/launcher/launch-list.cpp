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

// n hex digits into n / 2 bytes, plus `extra` zero bytes after them.
EFI_STATUS parse_hex(const uint8_t *hex, size_t n, size_t extra, PoolPtr<uint8_t> *ret) {
    if (n == 0 || n % 2 != 0)
        return EFI_INVALID_PARAMETER;
    PoolPtr<uint8_t> bytes(xnew<uint8_t>(n / 2 + extra));
    for (size_t i = 0; i < n; i += 2) {
        int high = hex_value(hex[i]), low = hex_value(hex[i + 1]);
        if (high < 0 || low < 0)
            return EFI_INVALID_PARAMETER;
        bytes[i / 2] = static_cast<uint8_t>(high << 4 | low);
    }
    for (size_t i = 0; i < extra; i++)
        bytes[n / 2 + i] = 0;
    *ret = move(bytes);
    return EFI_SUCCESS;
}

EFI_STATUS parse_load_options(const uint8_t *hex, size_t n, LaunchEntry *entry) {
    EFI_STATUS err = parse_hex(hex, n, 0, &entry->options);
    if (err == EFI_SUCCESS)
        entry->options_size = n / 2;
    return err;
}

// Blank-separated hex arguments, each UTF-16LE; stored NUL-terminated.
EFI_STATUS parse_shell_args(const uint8_t *text, size_t n, LaunchEntry *entry) {
    entry->shell = true;
    size_t pos = 0;
    while (pos < n) {
        if (text[pos++] != ' ' || entry->n_shell_args == SHELL_ARGS_MAX)
            return EFI_INVALID_PARAMETER;
        size_t end = pos;
        while (end < n && text[end] != ' ')
            end++;
        if ((end - pos) % 4 != 0)
            return EFI_INVALID_PARAMETER;
        PoolPtr<uint8_t> units;
        EFI_STATUS err = parse_hex(text + pos, end - pos, sizeof(char16_t), &units);
        if (err != EFI_SUCCESS)
            return err;
        entry->shell_args[entry->n_shell_args++].reset(reinterpret_cast<char16_t *>(units.release()));
        pos = end;
    }
    return EFI_SUCCESS;
}

bool starts_with_word(const uint8_t *text, size_t n, const char *word) {
    size_t i = 0;
    for (; word[i]; i++)
        if (i >= n || text[i] != static_cast<uint8_t>(word[i]))
            return false;
    return i == n || text[i] == ' ';
}

// The printable ASCII word at the start of (line, n) as a new UTF-16 string; *ret_end is where
// it ends (at a blank or at n).
EFI_STATUS parse_word(const uint8_t *line, size_t n, PoolPtr<char16_t> *ret, size_t *ret_end) {
    size_t end = 0;
    while (end < n && line[end] != ' ')
        end++;
    if (end == 0)
        return EFI_INVALID_PARAMETER;
    PoolPtr<char16_t> word(xnew<char16_t>(end + 1));
    for (size_t i = 0; i < end; i++) {
        if (line[i] < 0x20 || line[i] >= 0x7f)
            return EFI_INVALID_PARAMETER;
        word[i] = line[i];
    }
    word[end] = u'\0';
    *ret = move(word);
    *ret_end = end;
    return EFI_SUCCESS;
}

EFI_STATUS parse_variable(const uint8_t *rest, size_t n, LaunchEntry *entry) {
    entry->kind = LaunchKind::Variable;
    size_t name_end = 0;
    EFI_STATUS err = parse_word(rest, n, &entry->path, &name_end);
    if (err != EFI_SUCCESS)
        return err;
    if (name_end == n)
        return EFI_INVALID_PARAMETER;
    return parse_load_options(rest + name_end + 1, n - name_end - 1, entry);
}

EFI_STATUS parse_partition(const uint8_t *rest, size_t n, LaunchEntry *entry) {
    entry->kind = LaunchKind::Partition;
    if (n != 2 * PARTITION_GUID_SIZE)
        return EFI_INVALID_PARAMETER;
    return parse_load_options(rest, n, entry);
}

EFI_STATUS parse_line(const uint8_t *line, size_t n, LaunchEntry *entry) {
    constexpr size_t VARIABLE_WORD_LENGTH = 8, PARTITION_WORD_LENGTH = 9;
    if (starts_with_word(line, n, "variable"))
        return n > VARIABLE_WORD_LENGTH
                   ? parse_variable(line + VARIABLE_WORD_LENGTH + 1, n - VARIABLE_WORD_LENGTH - 1, entry)
                   : EFI_INVALID_PARAMETER;
    if (starts_with_word(line, n, "timestamp")) {
        entry->kind = LaunchKind::Timestamp;
        return n == 9 ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
    }
    if (starts_with_word(line, n, "partition"))
        return n > PARTITION_WORD_LENGTH
                   ? parse_partition(line + PARTITION_WORD_LENGTH + 1, n - PARTITION_WORD_LENGTH - 1, entry)
                   : EFI_INVALID_PARAMETER;

    size_t path_end = 0;
    EFI_STATUS err = parse_word(line, n, &entry->path, &path_end);
    if (err != EFI_SUCCESS)
        return err;
    if (path_end == n)
        return EFI_SUCCESS;
    const uint8_t *rest = line + path_end + 1;
    size_t n_rest = n - path_end - 1;
    constexpr size_t SHELL_WORD_LENGTH = 5;
    if (starts_with_word(rest, n_rest, "shell"))
        return parse_shell_args(rest + SHELL_WORD_LENGTH, n_rest - SHELL_WORD_LENGTH, entry);
    return parse_load_options(rest, n_rest, entry);
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
