#include "efi-string.h"

#include "firmware.h"
#include "log.h"
#include "util.h"

namespace korvane {

namespace {

// Most log lines fit here, so they are built without touching the pool.
constexpr size_t INLINE_BUF_UNITS = 128;
// Widths and precisions are C ints.
constexpr size_t FIELD_MAX = 2147483647;
// Room for the 20 decimal digits of a 64-bit value, with margin.
constexpr size_t DIGITS_MAX = 32;

template <typename T, typename... U> constexpr bool IN_SET(T x, U... set) { return ((x == set) || ...); }

template <typename T> constexpr T max(T a, T b) { return a > b ? a : b; }

template <typename T, size_t N> constexpr size_t elementsof(const T (&)[N]) { return N; }

constexpr const char *const warning_texts[] = {
    "Success",     "Unknown glyph", "Delete failure", "Write failure", "Buffer too small",
    "Stale data",  "File system",   "Reset required",
};
static_assert(elementsof(warning_texts) == 8);

constexpr const char *const error_texts[] = {
    "Error",
    "Load error",
    "Invalid parameter",
    "Unsupported",
    "Bad buffer size",
    "Buffer too small",
    "Not ready",
    "Device error",
    "Write protected",
    "Out of resources",
    "Volume corrupt",
    "Volume full",
    "No media",
    "Media changed",
    "Not found",
    "Access denied",
    "No response",
    "No mapping",
    "Time out",
    "Not started",
    "Already started",
    "Aborted",
    "ICMP error",
    "TFTP error",
    "Protocol error",
    "Incompatible version",
    "Security violation",
    "CRC error",
    "End of media",
    "Reserved (29)",
    "Reserved (30)",
    "End of file",
    "Invalid language",
    "Compromised data",
    "IP address conflict",
    "HTTP error",
};
static_assert(elementsof(error_texts) == 36);

// One formatting run. It owns its pool buffer until the text is handed to the caller.
struct FormatState {
    char16_t inline_buf[INLINE_BUF_UNITS];
    char16_t *heap_buf = nullptr;
    char16_t *buf = inline_buf;
    size_t n_buf = INLINE_BUF_UNITS;
    size_t n = 0;
    const char *format;
    EFI_STATUS status;
    va_list args;

    FormatState(EFI_STATUS s, const char *f, va_list ap) : format(f), status(s) { va_copy(args, ap); }
    FormatState(const FormatState &) = delete;
    FormatState &operator=(const FormatState &) = delete;
    ~FormatState() {
        va_end(args);
        free_pool(heap_buf);
    }
};

// One directive; a default-constructed spec is the reset state.
struct FormatSpec {
    size_t width = 0;
    size_t len = SIZE_MAX;
    bool zero_pad = false;
    bool left_align = false;
    bool alt_form = false;
    bool long_arg = false;
    bool longlong_arg = false;
    bool have_precision = false;
    const char *str = nullptr;
    const char16_t *wstr = nullptr;
    bool is_signed = false;
    bool lowercase = false;
    uint8_t base = 0;
    char sign = 0;
};

// Makes room for n more units plus the terminator. The inline buffer is never freed.
void grow_buf(FormatState *ctx, size_t n) {
    size_t need = n;
    ASSERT(INC_SAFE(&need, ctx->n));
    if (need < ctx->n_buf)
        return;
    // Doubling keeps the copies of a long text to a logarithmic number.
    size_t n_buf = need;
    if (!MUL_ASSIGN_SAFE(&n_buf, size_t{2}))
        n_buf = need;
    char16_t *p = xnew<char16_t>(n_buf);
    memcpy(p, ctx->buf, ctx->n * sizeof(char16_t));
    free_pool(ctx->heap_buf);
    ctx->heap_buf = ctx->buf = p;
    ctx->n_buf = n_buf;
}

void push_fill(FormatState *ctx, char16_t c, size_t count) {
    for (size_t i = 0; i < count; i++)
        ctx->buf[ctx->n++] = c;
}

void push_str(FormatState *ctx, FormatSpec *sp) {
    ASSERT(sp->str || sp->wstr);
    size_t fill = sp->width > sp->len ? sp->width - sp->len : 0;
    grow_buf(ctx, max(sp->width, sp->len));
    if (!sp->left_align)
        push_fill(ctx, u' ', fill);
    // Narrow text is meant to be ASCII; other bytes are sign-extended, not decoded.
    for (size_t i = 0; i < sp->len; i++)
        ctx->buf[ctx->n++] = sp->wstr ? sp->wstr[i] : static_cast<char16_t>(static_cast<int8_t>(sp->str[i]));
    if (sp->left_align)
        push_fill(ctx, u' ', fill);
    ASSERT(ctx->n < ctx->n_buf);
}

void push_narrow(FormatState *ctx, FormatSpec *sp, const char *s, size_t len) {
    sp->str = s;
    sp->len = len;
    push_str(ctx, sp);
}

// Digits least significant first; sets the sign of a negative signed value.
size_t format_digits(FormatSpec *sp, uint64_t u, char16_t digits[DIGITS_MAX]) {
    const char *set = sp->lowercase ? "0123456789abcdef" : "0123456789ABCDEF";
    size_t n = 0;
    auto v = static_cast<int64_t>(u);
    if (sp->is_signed && v < 0) {
        // The first digit comes from the negative remainder, so the most negative value
        // never has to be negated.
        sp->sign = '-';
        digits[n++] = set[-(v % sp->base)];
        u = static_cast<uint64_t>(-(v / sp->base));
    } else {
        digits[n++] = set[u % sp->base];
        u /= sp->base;
    }
    for (; u != 0; u /= sp->base)
        digits[n++] = set[u % sp->base];
    return n;
}

void push_num(FormatState *ctx, FormatSpec *sp, uint64_t u) {
    ASSERT(IN_SET(sp->base, 10, 16));
    size_t precision = sp->len == SIZE_MAX ? 1 : sp->len;
    if (u == 0 && precision == 0)
        return;
    char16_t digits[DIGITS_MAX];
    size_t n_digits = format_digits(sp, u, digits);
    size_t prefix_len = (sp->sign ? 1 : 0) + (sp->alt_form ? 2 : 0);
    size_t number_len = max(n_digits, precision) + prefix_len;
    grow_buf(ctx, max(sp->width, number_len));

    size_t fill = 0, zeros = max(n_digits, precision) - n_digits;
    if (sp->zero_pad)
        zeros = max(number_len, sp->width) - prefix_len - n_digits;
    else if (sp->width > number_len)
        fill = sp->width - number_len;

    if (!sp->left_align)
        push_fill(ctx, u' ', fill);
    if (sp->sign)
        ctx->buf[ctx->n++] = static_cast<char16_t>(sp->sign);
    if (sp->alt_form) {
        ctx->buf[ctx->n++] = u'0';
        ctx->buf[ctx->n++] = sp->lowercase ? u'x' : u'X';
    }
    push_fill(ctx, u'0', zeros);
    while (n_digits > 0)
        ctx->buf[ctx->n++] = digits[--n_digits];
    if (sp->left_align)
        push_fill(ctx, u' ', fill);
    ASSERT(ctx->n < ctx->n_buf);
}

const char *status_text(EFI_STATUS s) {
    if (s < elementsof(warning_texts))
        return warning_texts[s];
    if (EFI_ERROR(s) && (s & ~EFI_ERROR_BIT) < elementsof(error_texts))
        return error_texts[s & ~EFI_ERROR_BIT];
    return nullptr;
}

void push_status(FormatState *ctx, FormatSpec *sp) {
    const char *text = status_text(ctx->status);
    if (text) {
        push_narrow(ctx, sp, text, str8_len(text));
        return;
    }
    // An unknown status prints as its value, the way a pointer does; precision does not apply.
    sp->alt_form = true;
    sp->lowercase = true;
    sp->base = 16;
    sp->len = SIZE_MAX;
    push_num(ctx, sp, ctx->status);
}

void push_string_arg(FormatState *ctx, FormatSpec *sp) {
    // Only the single-l family is wide: %lls stays narrow.
    if (sp->long_arg && !sp->longlong_arg)
        sp->wstr = va_arg(ctx->args, const char16_t *);
    else
        sp->str = va_arg(ctx->args, const char *);
    if (!sp->wstr && !sp->str)
        sp->str = "(null)";
    sp->len = sp->wstr ? str16_nlen(sp->wstr, sp->len) : str8_nlen(sp->str, sp->len);
    push_str(ctx, sp);
}

void push_char_arg(FormatState *ctx, FormatSpec *sp) {
    // The low 16 bits only: a char16_t is promoted to int on the way in.
    char16_t c = static_cast<char16_t>(va_arg(ctx->args, int));
    sp->wstr = &c;
    sp->len = 1;
    push_str(ctx, sp);
}

void push_pointer_arg(FormatState *ctx, FormatSpec *sp) {
    const void *p = va_arg(ctx->args, const void *);
    if (!p) {
        push_narrow(ctx, sp, "(null)", 6);
        return;
    }
    sp->alt_form = true;
    sp->lowercase = true;
    sp->base = 16;
    push_num(ctx, sp, reinterpret_cast<uintptr_t>(p));
}

// 32-bit values are widened first: signed ones by sign extension, unsigned ones by zeros.
uint64_t integer_arg(FormatState *ctx, const FormatSpec *sp) {
    bool wide = sp->long_arg || sp->longlong_arg;
    if (sp->is_signed)
        return static_cast<uint64_t>(wide ? va_arg(ctx->args, int64_t) : va_arg(ctx->args, int));
    return wide ? va_arg(ctx->args, uint64_t) : va_arg(ctx->args, unsigned);
}

void push_integer_arg(FormatState *ctx, FormatSpec *sp, uint8_t base, bool is_signed, bool lowercase) {
    sp->base = base;
    sp->is_signed = is_signed;
    sp->lowercase = lowercase;
    push_num(ctx, sp, integer_arg(ctx, sp));
}

// Returns false for a character that is no conversion.
bool convert(FormatState *ctx, FormatSpec *sp, char c) {
    switch (c) {
    case 'c':
        push_char_arg(ctx, sp);
        return true;
    case 's':
        push_string_arg(ctx, sp);
        return true;
    case 'd':
    case 'i':
        push_integer_arg(ctx, sp, 10, true, false);
        return true;
    case 'u':
        push_integer_arg(ctx, sp, 10, false, false);
        return true;
    case 'x':
    case 'X':
        push_integer_arg(ctx, sp, 16, false, c == 'x');
        return true;
    case 'p':
        push_pointer_arg(ctx, sp);
        return true;
    case 'm':
        push_status(ctx, sp);
        return true;
    case '%':
        push_narrow(ctx, sp, "%", 1);
        return true;
    default:
        return false;
    }
}

// Accumulates the decimal number that starts with `first`; false when it exceeds FIELD_MAX.
bool parse_decimal(FormatState *ctx, char first, size_t *ret) {
    size_t v = static_cast<size_t>(first - '0');
    for (; *ctx->format >= '0' && *ctx->format <= '9'; ctx->format++)
        if (!MUL_ASSIGN_SAFE(&v, size_t{10}) || !INC_SAFE(&v, static_cast<size_t>(*ctx->format - '0')) ||
            v > FIELD_MAX)
            return false;
    *ret = v;
    return true;
}

void apply_star(FormatState *ctx, FormatSpec *sp) {
    int v = va_arg(ctx->args, int);
    if (sp->have_precision) {
        // A negative precision counts as none.
        if (v >= 0)
            sp->len = static_cast<size_t>(v);
        return;
    }
    if (v < 0)
        sp->left_align = true;
    sp->width = static_cast<size_t>(v < 0 ? -static_cast<int64_t>(v) : v);
}

void apply_length(FormatSpec *sp, char c) {
    if (c == 'l') {
        sp->longlong_arg = sp->long_arg;
        sp->long_arg = true;
        return;
    }
    sp->long_arg = true;
    sp->longlong_arg = false;
}

enum class SpecStep { More, Converted, Invalid };

SpecStep parse_spec_char(FormatState *ctx, FormatSpec *sp, char c) {
    switch (c) {
    case '-':
        sp->left_align = true;
        return SpecStep::More;
    case '+':
    case ' ':
        sp->sign = c;
        return SpecStep::More;
    case '#':
        sp->alt_form = true;
        return SpecStep::More;
    case '.':
        sp->have_precision = true;
        return SpecStep::More;
    case '*':
        apply_star(ctx, sp);
        return SpecStep::More;
    case 'h':
        return SpecStep::More;
    case 'l':
    case 'j':
    case 'z':
    case 't':
        apply_length(sp, c);
        return SpecStep::More;
    case '0':
        if (!sp->have_precision) {
            sp->zero_pad = true;
            return SpecStep::More;
        }
        [[fallthrough]];
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        return parse_decimal(ctx, c, sp->have_precision ? &sp->len : &sp->width) ? SpecStep::More
                                                                                 : SpecStep::Invalid;
    default:
        return convert(ctx, sp, c) ? SpecStep::Converted : SpecStep::Invalid;
    }
}

// Parses and converts one directive; the cursor is on its '%' and ends past the conversion.
void handle_format_specifier(FormatState *ctx, FormatSpec *sp) {
    ctx->format++;
    for (;;) {
        char c = *ctx->format++;
        switch (parse_spec_char(ctx, sp, c)) {
        case SpecStep::More:
            break;
        case SpecStep::Converted:
            return;
        case SpecStep::Invalid:
            assert_not_reached();
        }
    }
}

// Literal text up to the next directive, newline or the end.
void push_literal(FormatState *ctx, FormatSpec *sp) {
    size_t len = 0;
    while (!IN_SET(ctx->format[len], '%', '\n', '\0'))
        len++;
    push_narrow(ctx, sp, ctx->format, len);
    ctx->format += len;
}

void format_all(FormatState *ctx) {
    while (*ctx->format != 0) {
        FormatSpec spec;
        if (*ctx->format == '%')
            handle_format_specifier(ctx, &spec);
        else if (*ctx->format == '\n') {
            // The console wants CR LF.
            push_narrow(ctx, &spec, "\r\n", 2);
            ctx->format++;
        } else
            push_literal(ctx, &spec);
    }
}

} // namespace

char16_t *printf_internal(EFI_STATUS status, const char *format, va_list ap, bool return_string) {
    ASSERT(format);
    FormatState ctx(status, format, ap);
    format_all(&ctx);
    ASSERT(ctx.n < ctx.n_buf);
    ctx.buf[ctx.n++] = 0;

    if (!return_string) {
        ST->ConOut->OutputString(ST->ConOut, ctx.buf);
        return nullptr;
    }
    if (ctx.heap_buf) {
        char16_t *p = ctx.heap_buf;
        ctx.heap_buf = nullptr;
        return p;
    }
    char16_t *copy = xnew<char16_t>(ctx.n);
    memcpy(copy, ctx.inline_buf, ctx.n * sizeof(char16_t));
    return copy;
}

char16_t *xformat(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char16_t *s = printf_internal(EFI_SUCCESS, format, ap, true);
    va_end(ap);
    return s;
}

} // namespace korvane
