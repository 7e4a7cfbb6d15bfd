// Line input, word matching, parsers and typed prompts over a scripted
// standard input.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "console/conutil.h"
#include "support/console_capture.h"


namespace {

TEST(ConutilMatching, FirstWordWholeAndCaseInsensitive) {
    EXPECT_EQ(input_equal("  HeLp  \n", "help", "he"), 1);
    EXPECT_EQ(input_equal("HE\n", "help", "he"), 1);
    EXPECT_EQ(input_equal("heap\n", "help", "he"), 0);
    EXPECT_EQ(input_equal("h\n", "help", "he"), 0);
    EXPECT_EQ(input_equal("help me\n", "quit", "help"), 1);
    EXPECT_EQ(input_equal("x help\n", "help", "he"), 0);
    EXPECT_EQ(input_equal("\tq\r\n", "quit", "q"), 1);
    // A line without a word matches nothing, not even empty names.
    EXPECT_EQ(input_equal(" \t\n", "", ""), 0);
    EXPECT_EQ(input_equal("", "", ""), 0);
}

TEST(ConutilMatching, OverlongWordIsCutTo254) {
    const std::string name(254, 'a');
    EXPECT_EQ(input_equal((std::string(1000, 'a') + "\n").c_str(), name.c_str(), "a"), 1);
    EXPECT_EQ(input_equal((std::string(253, 'a') + "\n").c_str(), name.c_str(), "x"), 0);
    EXPECT_EQ(input_equal(std::string(1000, 'q').c_str(), "q", "q"), 0);
}

TEST(ConutilMatching, EmptyAndParams) {
    EXPECT_EQ(input_empty(""), 1);
    EXPECT_EQ(input_empty(" \t\r\n"), 1);
    EXPECT_EQ(input_empty("  x\n"), 0);
    EXPECT_EQ(input_has_params("st 2\n"), 1);
    EXPECT_EQ(input_has_params("st\n"), 0);
    EXPECT_EQ(input_has_params("st\t2\n"), 0);
}

TEST(ConutilParsers, DecimalBoundsAndTrailingText) {
    struct row {
        const char* text;
        int32_t accepted;
        int32_t out;
    };
    const std::vector<row> rows = {
        {"4", 1, 4},   {"0\n", 1, 0},  {" \t3abc", 1, 3}, {"5", 0, 5},   {"-1", 0, -1},
        {"abc3", 0, 77}, {"", 0, 77}, {"-", 0, 77},      {"99999999999", 0, 77},
    };
    for (const row& r : rows) {
        int32_t out = 77;
        EXPECT_EQ(input_integer(r.text, &out, 0, 4), r.accepted) << r.text;
        EXPECT_EQ(out, r.out) << r.text;
    }
    int32_t out = 0;
    EXPECT_EQ(input_integer("-2147483648", &out, INT32_MIN, INT32_MAX), 1);
    EXPECT_EQ(out, INT32_MIN);
}

TEST(ConutilParsers, HexAndNarrowHexOnlyStoreOnAcceptance) {
    uint32_t u = 0;
    EXPECT_EQ(input_hex_integer("1f", &u, 0, UINT32_MAX), 1);
    EXPECT_EQ(u, 31u);
    u = 0;
    EXPECT_EQ(input_hex_integer(" 0x1F\n", &u, 0, UINT32_MAX), 1);
    EXPECT_EQ(u, 31u);
    EXPECT_EQ(input_hex_integer("FFFFFFFF", &u, 0, UINT32_MAX), 1);
    EXPECT_EQ(u, UINT32_MAX);
    u = 5;
    EXPECT_EQ(input_hex_integer("100000000", &u, 0, UINT32_MAX), 0);  // beyond 32 bits
    EXPECT_EQ(input_hex_integer("-1", &u, 0, UINT32_MAX), 0);        // no wrap to ffffffff
    EXPECT_EQ(input_hex_integer("xyz", &u, 0, UINT32_MAX), 0);
    EXPECT_EQ(u, 5u);
    EXPECT_EQ(input_hex_integer("0x30", &u, 0x10, 0x20), 0);
    EXPECT_EQ(u, 0x30u);  // read, then rejected by the bounds

    uint8_t c = 0x55;
    EXPECT_EQ(input_hex_char("0x21", &c, 0x10, 0x20), 0);
    EXPECT_EQ(input_hex_char("0x120", &c, 0x10, 0x20), 0);  // low byte 0x20 would pass if narrowed first
    EXPECT_EQ(c, 0x55);
    EXPECT_EQ(input_hex_char("20", &c, 0x10, 0x20), 1);
    EXPECT_EQ(c, 0x20);

    uint16_t s = 0x5555;
    EXPECT_EQ(input_hex_short("0x10010", &s, 0, 0xFFFF), 0);
    EXPECT_EQ(s, 0x5555);
    EXPECT_EQ(input_hex_short("0xbeef", &s, 0, 0xFFFF), 1);
    EXPECT_EQ(s, 0xBEEF);
}

TEST(ConutilParsers, FloatAndString) {
    float f = 0;
    EXPECT_EQ(input_float(" 1.5\n", &f, 0.0f, 2.0f), 1);
    EXPECT_EQ(f, 1.5f);
    EXPECT_EQ(input_float("2e1", &f, 0.0f, 2.0f), 0);
    EXPECT_EQ(f, 20.0f);
    EXPECT_EQ(input_float("nan", &f, -1e30f, 1e30f), 0);
    f = 3;
    EXPECT_EQ(input_float("x1", &f, 0.0f, 9.0f), 0);
    EXPECT_EQ(f, 3.0f);

    // Exactly max + 1 bytes, so that a longer copy trips the sanitizer.
    auto out = std::make_unique<char[]>(5);
    EXPECT_EQ(input_string("  abcd\n", out.get(), 4, 4), 1);
    EXPECT_STREQ(out.get(), "abcd");
    EXPECT_EQ(input_string("abc\n", out.get(), 4, 4), 0);
    EXPECT_EQ(input_string("ab cd\n", out.get(), 4, 4), 0);
    EXPECT_STREQ(out.get(), "ab");
    EXPECT_EQ(input_string((std::string(500, 'w') + "\n").c_str(), out.get(), 4, 4), 0);
    EXPECT_STREQ(out.get(), "wwww");
}

TEST(ConutilLineInput, LongLineIsReadInPiecesThenEnd) {
    std::vector<std::string> pieces;
    std::vector<int32_t> eof;
    console_out("abcdefghij\nxy\nlast", [&] {
        for (int size : {5, 5, 5, 10, 10, 10}) {
            char buf[16];
            std::memset(buf, 'Z', sizeof buf);
            input_get(buf, size);
            pieces.emplace_back(buf);
            eof.push_back(input_eof());
        }
    });
    EXPECT_EQ(pieces, (std::vector<std::string>{"abcd", "efgh", "ij\n", "xy\n", "last", ""}));
    EXPECT_EQ(eof, (std::vector<int32_t>{0, 0, 0, 0, 1, 1}));
}

TEST(ConutilLineInput, WaitEnterConsumesOneLine) {
    char buf[16] = {};
    console_out("anything at all\nnext\n", [&] {
        input_wait_enter();
        input_get(buf, sizeof buf);
    });
    EXPECT_STREQ(buf, "next\n");
}

struct yesno_case {
    const char* input;
    int32_t before;
    const char* shown;
    int32_t after;
};

TEST(ConutilYesNo, DefaultShownAnswersAndReasking) {
    const std::vector<yesno_case> cases = {
        {"Y\n", 0, "Save[no]:", 1},
        {"  yes  \n", 0, "Save[no]:", 1},
        {"N\n", 1, "Save[yes]:", 0},
        {"\n", 0, "Save[no]:", 0},
        {"\n", 1, "Save[yes]:", 1},
        {"maybe\nyess\nno\n", 1, "Save[yes]:Save[yes]:Save[yes]:", 0},
        {"", 1, "Save[yes]:", 1},         // end of input keeps the value
        {"maybe", 0, "Save[no]:", 0},      // invalid last line: no endless re-asking
        {"y", 0, "Save[no]:", 1},          // a last line without end-of-line still counts
    };
    for (const yesno_case& c : cases) {
        int32_t value = c.before;
        int32_t rc = -1;
        const std::string out = console_out(c.input, [&] { rc = input_yesno_msg(&value, "Save"); });
        EXPECT_EQ(out, c.shown) << c.input;
        EXPECT_EQ(value, c.after) << c.input;
        EXPECT_EQ(rc, 0);
    }
}

TEST(ConutilTypedPrompts, IntegerShowsDefaultKeepsOnEmptyReasksOutOfBounds) {
    int32_t v = 2;
    std::string out = console_out("\n", [&] { input_integer_msg(&v, 0, 4, "Select connection type"); });
    EXPECT_EQ(out, "Select connection type[2]:");
    EXPECT_EQ(v, 2);

    out = console_out("7\nx\n3\n", [&] { input_integer_msg(&v, 0, 4, "Select connection type"); });
    EXPECT_EQ(out, "Select connection type[2]:Select connection type[2]:Select connection type[2]:");
    EXPECT_EQ(v, 3);
}

TEST(ConutilTypedPrompts, NarrowIntegersShowSignedAndStoreWithinType) {
    int8_t c = -1;
    uint8_t uc = 255;
    int16_t s = -300;
    std::string out = console_out("\n\n\n", [&] {
        input_char_msg(&c, -128, 127, "c");
        input_uchar_msg(&uc, 0, 255, "u");
        input_short_msg(&s, -1000, 1000, "s");
    });
    EXPECT_EQ(out, "c[-1]:u[255]:s[-300]:");

    out = console_out("200\n-7\n256\n254\n", [&] {
        input_char_msg(&c, -128, 127, "c");
        input_uchar_msg(&uc, 0, 255, "u");
    });
    EXPECT_EQ(out, "c[-1]:c[-1]:u[255]:u[255]:");
    EXPECT_EQ(c, -7);
    EXPECT_EQ(uc, 254);

    // int32 bounds wider than int16: 40000 must not be stored wrapped.
    out = console_out("40000\n-40000\n-32768\n", [&] { input_short_msg(&s, -100000, 100000, "s"); });
    EXPECT_EQ(out, "s[-300]:s[-300]:s[-300]:");
    EXPECT_EQ(s, -32768);
}

TEST(ConutilTypedPrompts, HexFormats) {
    uint32_t h = 31;
    uint16_t hs = 5;
    uint16_t hs_big = 0x1234;
    uint8_t hc = 0x0a;
    std::string out = console_out("\n\n\n\n", [&] {
        input_hex_integer_msg(&h, 0, UINT32_MAX, "H");
        input_hex_short_msg(&hs, 0, 0xFFFF, "S");
        input_hex_short_msg(&hs_big, 0, 0xFFFF, "S");
        input_hex_char_msg(&hc, 0, 0xFF, "C");
    });
    EXPECT_EQ(out, "H[0x0000001f]:S[0x05]:S[0x1234]:C[0x0a]:");

    out = console_out("0xABC\n0x21\n0x1f\nzz\n0x7\n", [&] {
        input_hex_integer_msg(&h, 0, UINT32_MAX, "H");
        input_hex_char_msg(&hc, 0x10, 0x20, "C");
        input_hex_short_msg(&hs, 0, 0xFF, "S");
    });
    EXPECT_EQ(out, "H[0x0000001f]:C[0x0a]:C[0x0a]:S[0x05]:S[0x05]:");
    EXPECT_EQ(h, 0xABCu);
    EXPECT_EQ(hc, 0x1f);
    EXPECT_EQ(hs, 7);
}

TEST(ConutilTypedPrompts, FloatAndText) {
    float f = 1.5f;
    std::string out = console_out("9\n2.25\n", [&] { input_float_msg(&f, 0.0f, 5.0f, "Gain"); });
    EXPECT_EQ(out, "Gain[1.500]:Gain[1.500]:");
    EXPECT_EQ(f, 2.25f);

    char text[19] = "longer old";
    out = console_out(std::string(19, 'n') + "\nnew words\n", [&] { input_string_msg(text, 1, 18, "Name"); });
    EXPECT_EQ(out, "Name[longer old]:Name[longer old]:");
    EXPECT_STREQ(text, "new");

    char empty[5] = "";
    out = console_out("\n", [&] { input_string_msg(empty, 1, 4, "Name"); });
    EXPECT_EQ(out, "Name[]:");
    EXPECT_STREQ(empty, "");
}

TEST(ConutilTypedPrompts, EndOfInputKeepsEveryDefault) {
    int32_t i = 2;
    int8_t c = -1;
    uint8_t uc = 9;
    int16_t s = 4;
    uint32_t h = 1;
    uint8_t hc = 2;
    uint16_t hs = 3;
    float f = 0.5f;
    char text[8] = "abc";
    int32_t cmd_i = 6;
    char cmd_line[] = "st 99\n";
    // One invalid last line, then nothing: each prompt is shown once.
    const std::string out = console_out("9", [&] {
        input_integer_msg(&i, 0, 4, "i");
        input_char_msg(&c, 0, 4, "c");
        input_uchar_msg(&uc, 0, 4, "u");
        input_short_msg(&s, 0, 3, "s");
        input_hex_integer_msg(&h, 0, 4, "h");
        input_hex_char_msg(&hc, 0, 4, "x");
        input_hex_short_msg(&hs, 0, 4, "y");
        input_float_msg(&f, 0, 4, "f");
        input_string_msg(text, 5, 7, "t");
        input_integer_msg_cmd(&cmd_i, 0, 4, "k", cmd_line, 1);
    });
    EXPECT_EQ(out, "i[2]:c[-1]:u[9]:s[4]:h[0x00000001]:x[0x02]:y[0x03]:f[0.500]:t[abc]:k[6]:");
    EXPECT_EQ(i, 2);
    EXPECT_EQ(c, -1);
    EXPECT_EQ(uc, 9);
    EXPECT_EQ(s, 4);
    EXPECT_EQ(h, 1u);
    EXPECT_EQ(hc, 2);
    EXPECT_EQ(hs, 3);
    EXPECT_EQ(f, 0.5f);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(cmd_i, 6);
}

TEST(ConutilCommandParams, IntegerTakenFromLineOrPrompted) {
    struct row {
        const char* line;
        int32_t index;
        const char* input;
        const char* shown;
        int32_t after;
    };
    const std::vector<row> rows = {
        {"st 5\n", 1, "", "", 5},
        {"st  -5\n", 1, "", "", -5},         // two spaces: no empty token
        {"st 1 7\n", 2, "", "", 7},
        {"st 13\n", 1, "\n", "Offset[1]:", 1},
        {"st 13\n", 1, "4\n", "Offset[1]:", 4},
        {"st\n", 1, "\n", "Offset[1]:", 1},
        {"5 7\n", 0, "\n", "Offset[1]:", 1},   // index 0: no candidate, not even the key
        {"st 5\n", 2, "\n", "Offset[1]:", 1},
        {"st\t5\n", 1, "\n", "Offset[1]:", 1}, // tabs do not separate
    };
    for (const row& r : rows) {
        std::string line = r.line;
        int32_t v = 1;
        const std::string out =
            console_out(r.input, [&] { input_integer_msg_cmd(&v, -12, 12, "Offset", line.data(), r.index); });
        EXPECT_EQ(out, r.shown) << r.line;
        EXPECT_EQ(v, r.after) << r.line;
    }
}

TEST(ConutilCommandParams, StringTakenFromLineOrPrompted) {
    char value[5] = "abcd";
    char line1[] = "ky  wxyz\n";
    std::string out = console_out("", [&] { input_string_msg_cmd(value, 4, 4, "Key", line1, 1); });
    EXPECT_EQ(out, "");
    EXPECT_STREQ(value, "wxyz");  // the end-of-line of the last token is not taken

    char line2[] = "ky abcde\n";
    out = console_out("\nhjkl\n", [&] {
        input_string_msg_cmd(value, 4, 4, "Key", line2, 1);
        input_string_msg_cmd(value, 4, 4, "Key", line2, 1);
    });
    EXPECT_EQ(out, "Key[wxyz]:Key[wxyz]:");
    EXPECT_STREQ(value, "hjkl");
}

}  // namespace
