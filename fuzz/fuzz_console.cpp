// The console fed a fuzzed standard input: the menu loop (with handlers
// that record their line, one of them asking a typed prompt), each typed
// prompt alone, and the number and word parsers.
//
// Each is checked against a small model of the documented behaviour:
// - a line is what comes up to its line feed; one longer than the buffer
//   is cut there and the rest of it is discarded, so the tail of a long
//   line never becomes another command or answer; its text ends at a NUL;
//   the input has ended when a read finds nothing more;
// - the menu runs, in registration order, each entry whose name or key is
//   the line's first word (any letter case), ends at "q" or at the end of
//   input, and a prompt at the end of input leaves its command stopped,
//   which ends the menu too;
// - a prompt keeps its default on an empty answer, stores the first
//   accepted answer, and asks again otherwise;
// - the parsers read a leading number (decimal, or hexadecimal with an
//   optional 0x, never negative), refuse what does not fit 32 bits, and
//   accept only within the bounds.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "commands/cmd_common.h"
#include "console/conutil.h"

namespace {

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

// ---- model of line input ----

class model_input_t {
public:
    explicit model_input_t(const std::string& data) : data_(data) {}

    // One read into a buffer of `size` bytes; false when nothing was left,
    // which is the end of input (a last line without line feed is a line).
    bool get_line(size_t size, std::string* text) {
        text->clear();
        if (pos_ == data_.size()) {
            eof_ = true;
            return false;
        }
        const size_t nl = data_.find('\n', pos_);
        const size_t limit = std::min(data_.size(), pos_ + size - 1);
        const size_t end = nl != std::string::npos && nl < limit ? nl + 1 : limit;
        const std::string chunk = data_.substr(pos_, end - pos_);
        pos_ = end;
        if (chunk.back() != '\n' && chunk.size() == size - 1) {
            // Cut: the rest of this line is dropped.
            const size_t rest = data_.find('\n', pos_);
            pos_ = rest == std::string::npos ? data_.size() : rest + 1;
        }
        *text = chunk.substr(0, chunk.find('\0'));
        return true;
    }
    bool eof() const { return eof_; }
    std::string rest() const { return data_.substr(pos_); }

private:
    std::string data_;
    size_t pos_ = 0;
    bool eof_ = false;
};

std::string first_word(const std::string& text, size_t limit = 254) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    size_t j = i;
    while (j < text.size() && !std::isspace(static_cast<unsigned char>(text[j]))) ++j;
    return text.substr(i, std::min(j - i, limit));
}

bool equal_nocase(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// ---- model of the parsers ----

std::optional<int64_t> model_decimal(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (!std::isdigit(static_cast<unsigned char>(*p))) return std::nullopt;
    int64_t v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) v = std::min<int64_t>(v * 10 + (*p - '0'), INT64_C(1) << 40);
    v = negative ? -v : v;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return v;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<uint32_t> model_hex(const char* text) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p == '+') ++p;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_value(p[2]) >= 0) p += 2;
    if (hex_value(*p) < 0) return std::nullopt;
    uint64_t v = 0;
    for (; hex_value(*p) >= 0; ++p) v = std::min<uint64_t>(v * 16 + static_cast<uint64_t>(hex_value(*p)), UINT64_C(1) << 40);
    if (v > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(v);
}

// ---- standard input and output ----

struct stdin_swap_t {
    explicit stdin_swap_t(const std::string& data) : saved(stdin) {
        file = data.empty() ? std::fopen("/dev/null", "r")
                            : fmemopen(const_cast<char*>(data.data()), data.size(), "r");
        require(file != nullptr, "scripted standard input opens");
        stdin = file;
    }
    ~stdin_swap_t() {
        stdin = saved;
        std::fclose(file);
    }
    std::string rest() {
        std::string out;
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) out.append(buf, n);
        return out;
    }
    FILE* saved;
    FILE* file;
};

std::string strip_newline(std::string s) {
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

// ---- the menu ----

struct event_t {
    int entry;
    std::string line;
    int32_t value;      // the prompt's value (entry 2)
    bool stopped;       // the command saw cmd_stopped()
};

std::vector<event_t> g_events;

constexpr int32_t PROMPT_DEFAULT = 7;

int32_t record(int entry, char line[]) {
    g_events.push_back({entry, strip_newline(line), 0, false});
    return 0;
}
int32_t handler_sm(char line[], int32_t) { return record(0, line); }
int32_t handler_re(char line[], int32_t) { return record(1, line); }
int32_t handler_prompt(char line[], int32_t) {
    record(2, line);
    int32_t value = PROMPT_DEFAULT;
    input_integer_msg(&value, -50, 50, "Value");
    g_events.back().value = value;
    g_events.back().stopped = cmd_stopped() != 0;
    return 0;
}

struct model_entry_t {
    const char* key;
    const char* name;
};
constexpr model_entry_t ENTRIES[] = {{"sm", "smem"}, {"re", "restart"}, {"pv", "value"}, {"sm", "again"}, {"q", "quit"}};

int32_t model_prompt(model_input_t& in, int32_t value, int32_t min, int32_t max,
                     const std::function<std::optional<int64_t>(const char*)>& parse) {
    std::string text;
    for (;;) {
        if (!in.get_line(1024, &text)) return value;
        if (first_word(text, SIZE_MAX).empty()) return value;
        const auto v = parse(text.c_str());
        if (v && *v >= min && *v <= max) return static_cast<int32_t>(*v);
    }
}

std::vector<event_t> model_menu(model_input_t& in) {
    std::vector<event_t> out;
    std::string text;
    for (;;) {
        if (!in.get_line(MENU_LINE_SIZE, &text)) return out;
        const std::string word = first_word(text);
        for (size_t i = 0; i < std::size(ENTRIES); ++i) {
            if (word.empty() || !(equal_nocase(word, ENTRIES[i].name) || equal_nocase(word, ENTRIES[i].key))) continue;
            if (i == 4) return out;
            event_t e{i == 3 ? 0 : static_cast<int>(i), strip_newline(text), 0, false};
            if (i == 2) {
                e.value = model_prompt(in, PROMPT_DEFAULT, -50, 50, model_decimal);
                e.stopped = in.eof();
            }
            out.push_back(e);
        }
        if (in.eof()) return out;
    }
}

void run_menu(const std::string& input) {
    static menu_t menu;
    static bool built = false;
    if (!built) {
        menu_init(&menu);
        menu_add(&menu, ENTRIES[0].key, ENTRIES[0].name, "", handler_sm);
        menu_add(&menu, ENTRIES[1].key, ENTRIES[1].name, "", handler_re);
        menu_add(&menu, ENTRIES[2].key, ENTRIES[2].name, "", handler_prompt);
        menu_add(&menu, ENTRIES[3].key, ENTRIES[3].name, "", handler_sm);
        menu_add(&menu, ENTRIES[4].key, ENTRIES[4].name, "", nullptr);
        built = true;
    }
    g_events.clear();
    {
        stdin_swap_t swap(input);
        menu_run(&menu);
    }
    model_input_t model(input);
    const std::vector<event_t> want = model_menu(model);
    require(g_events.size() == want.size(), "each command line runs its commands, and nothing else does");
    for (size_t i = 0; i < want.size(); ++i) {
        require(g_events[i].entry == want[i].entry && g_events[i].line == want[i].line,
                "each command runs once, for its own line, in order");
        if (want[i].entry != 2) continue;
        require(g_events[i].stopped == want[i].stopped, "a command is stopped exactly when its prompt met the end of input");
        require(g_events[i].value == want[i].value, "the prompt inside a command takes its own answer");
    }
}

// ---- one typed prompt ----

void run_prompt(FuzzedDataProvider& in) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 7);
    int32_t a = in.ConsumeIntegral<int32_t>();
    int32_t b = in.ConsumeIntegral<int32_t>();
    const int32_t start = in.ConsumeIntegral<int32_t>();
    const std::string input = in.ConsumeRemainingBytesAsString();
    model_input_t model(input);
    int64_t got = 0, want = 0;
    std::string rest;
    {
        stdin_swap_t swap(input);
        switch (kind) {
        case 0: {
            int32_t v = start;
            input_integer_msg(&v, std::min(a, b), std::max(a, b), "P");
            got = v;
            want = model_prompt(model, start, std::min(a, b), std::max(a, b), model_decimal);
            break;
        }
        case 1: {
            int8_t v = static_cast<int8_t>(start);
            const auto lo = static_cast<int8_t>(std::min(a, b)), hi = static_cast<int8_t>(std::max(a, b));
            input_char_msg(&v, lo, hi, "P");
            got = v;
            want = model_prompt(model, static_cast<int8_t>(start), lo, hi, model_decimal);
            break;
        }
        case 2: {
            uint8_t v = static_cast<uint8_t>(start);
            const auto lo = static_cast<uint8_t>(std::min(a, b)), hi = static_cast<uint8_t>(std::max(a, b));
            input_uchar_msg(&v, lo, hi, "P");
            got = v;
            want = model_prompt(model, static_cast<uint8_t>(start), lo, hi, model_decimal);
            break;
        }
        case 3: {
            int16_t v = static_cast<int16_t>(start);
            input_short_msg(&v, std::min(a, b), std::max(a, b), "P");
            got = v;
            // Bounds wider than 16 bits are narrowed to the type's own.
            want = model_prompt(model, static_cast<int16_t>(start), std::max<int32_t>(std::min(a, b), INT16_MIN),
                                std::min<int32_t>(std::max(a, b), INT16_MAX), model_decimal);
            break;
        }
        case 4:
        case 5:
        case 6: {
            const uint32_t limit = kind == 4 ? UINT32_MAX : kind == 5 ? UINT8_MAX : UINT16_MAX;
            const uint32_t lo = std::min(static_cast<uint32_t>(a), static_cast<uint32_t>(b)) & limit;
            const uint32_t hi = std::max(lo, static_cast<uint32_t>(std::max(static_cast<uint32_t>(a), static_cast<uint32_t>(b))) & limit);
            const uint32_t def = static_cast<uint32_t>(start) & limit;
            if (kind == 4) {
                uint32_t v = def;
                input_hex_integer_msg(&v, lo, hi, "P");
                got = v;
            } else if (kind == 5) {
                uint8_t v = static_cast<uint8_t>(def);
                input_hex_char_msg(&v, static_cast<uint8_t>(lo), static_cast<uint8_t>(hi), "P");
                got = v;
            } else {
                uint16_t v = static_cast<uint16_t>(def);
                input_hex_short_msg(&v, static_cast<uint16_t>(lo), static_cast<uint16_t>(hi), "P");
                got = v;
            }
            want = def;
            std::string text;
            for (;;) {
                if (!model.get_line(1024, &text) || first_word(text, SIZE_MAX).empty()) break;
                const auto v = model_hex(text.c_str());
                if (v && *v >= lo && *v <= hi) {
                    want = *v;
                    break;
                }
            }
            break;
        }
        default: {
            const uint32_t lo = static_cast<uint32_t>(a) % 40, hi = lo + static_cast<uint32_t>(b) % 40;
            std::vector<char> value(hi + 1, '\0');
            input_string_msg(value.data(), lo, hi, "P");
            std::string text;
            std::string expect;
            for (;;) {
                if (!model.get_line(1024, &text) || first_word(text, SIZE_MAX).empty()) break;
                const std::string word = first_word(text, SIZE_MAX);
                if (word.size() >= lo && word.size() <= hi) {
                    expect = word;
                    break;
                }
            }
            got = std::string(value.data()) == expect;
            want = 1;
            break;
        }
        }
        rest = swap.rest();
    }
    require(got == want, "the prompt stores the first accepted answer, or keeps its default");
    require(rest == model.rest(), "the prompt reads its own lines and nothing more");
}

// ---- the parsers ----

void run_parsers(FuzzedDataProvider& in) {
    const int32_t a = in.ConsumeIntegral<int32_t>(), b = in.ConsumeIntegral<int32_t>();
    const int32_t lo = std::min(a, b), hi = std::max(a, b);
    const uint32_t ulo = std::min(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
    const uint32_t uhi = std::max(static_cast<uint32_t>(a), static_cast<uint32_t>(b));
    const uint32_t smin = in.ConsumeIntegralInRange<uint32_t>(0, 300);
    const uint32_t smax = smin + in.ConsumeIntegralInRange<uint32_t>(0, 300);
    const std::string name = in.ConsumeRandomLengthString(20);
    const std::string text = in.ConsumeRemainingBytesAsString();
    const char* t = text.c_str();  // ends at its first NUL, as a C string does

    int32_t i = 0;
    const auto d = model_decimal(t);
    require(input_integer(t, &i, lo, hi) == (d && *d >= lo && *d <= hi ? 1 : 0), "input_integer accepts as modelled");
    if (d && *d >= lo && *d <= hi) require(i == *d, "input_integer reads the leading number");

    uint32_t u = 0;
    const auto h = model_hex(t);
    require(input_hex_integer(t, &u, ulo, uhi) == (h && *h >= ulo && *h <= uhi ? 1 : 0), "input_hex_integer accepts as modelled");
    if (h && *h >= ulo && *h <= uhi) require(u == *h, "input_hex_integer reads the leading number");

    uint8_t c = 0x5A;
    const auto clo = static_cast<uint8_t>(ulo), chi = static_cast<uint8_t>(uhi);
    const bool c_ok = h && *h >= clo && *h <= chi;
    require(input_hex_char(t, &c, clo, chi) == (c_ok ? 1 : 0), "input_hex_char accepts as modelled");
    require(c == (c_ok ? static_cast<uint8_t>(*h) : 0x5A), "input_hex_char stores only what it accepts");

    uint16_t s = 0x5A5A;
    const auto slo = static_cast<uint16_t>(ulo), shi = static_cast<uint16_t>(uhi);
    const bool s_ok = h && *h >= slo && *h <= shi;
    require(input_hex_short(t, &s, slo, shi) == (s_ok ? 1 : 0), "input_hex_short accepts as modelled");
    require(s == (s_ok ? static_cast<uint16_t>(*h) : 0x5A5A), "input_hex_short stores only what it accepts");

    float f = 0;
    const float flo = static_cast<float>(lo) / 7.0f, fhi = static_cast<float>(hi) / 7.0f;
    if (input_float(t, &f, flo, fhi) != 0) require(!std::isnan(f) && f >= flo && f <= fhi, "input_float accepts within the bounds");
    const char* first = t;
    while (std::isspace(static_cast<unsigned char>(*first))) ++first;
    if (*first == '\0' || !std::strchr("+-.0123456789iInN", *first))
        require(input_float(t, &f, -1e30f, 1e30f) == 0, "input_float refuses text without a leading number");

    // Exactly sized, so that the address sanitizer sees a longer copy.
    std::vector<char> word(smax + 1, '#');
    const std::string w = first_word(text.substr(0, text.find('\0')), SIZE_MAX);
    require(input_string(t, word.data(), smin, smax) == (w.size() >= smin && w.size() <= smax ? 1 : 0),
            "input_string accepts by the word's length");
    require(std::string(word.data()) == w.substr(0, smax), "input_string copies the word, cut to the maximum");

    const std::string w254 = first_word(text.substr(0, text.find('\0')));
    require(input_equal(t, name.c_str(), nullptr) == (!w254.empty() && equal_nocase(w254, name.c_str()) ? 1 : 0),
            "input_equal compares the first word");
    require(input_empty(t) == (w.empty() ? 1 : 0), "input_empty is true without a word");
    require(input_has_params(t) == (std::strchr(t, ' ') != nullptr ? 1 : 0), "input_has_params looks for a space");

    // The command-line variant: the first token after the key, split at spaces only.
    std::vector<char> line(t, t + std::strlen(t) + 1);
    std::vector<char> value(smax + 1, '\0');
    std::string c_text = t;
    std::vector<std::string> tokens;
    for (size_t p = 0; p < c_text.size();) {
        while (p < c_text.size() && c_text[p] == ' ') ++p;
        if (p == c_text.size()) break;
        const size_t e = std::min(c_text.find(' ', p), c_text.size());
        tokens.push_back(c_text.substr(p, e - p));
        p = e;
    }
    stdin_swap_t swap("");  // no answer: a prompt keeps the default
    input_string_msg_cmd(value.data(), smin, smax, "P", line.data(), 1);
    std::string expect;
    if (tokens.size() > 1) {
        const std::string cw = first_word(tokens[1], SIZE_MAX);
        if (cw.size() >= smin && cw.size() <= smax) expect = cw;
    }
    require(std::string(value.data()) == expect, "a command-line value is the first token after the key");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Prompts and listings are not looked at: out of the fuzzer's way.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: run_menu(in.ConsumeRemainingBytesAsString()); break;
    case 1: run_prompt(in); break;
    default: run_parsers(in); break;
    }
    input_interrupt_clear();
    return 0;
}
