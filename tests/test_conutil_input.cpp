// Line input, word matching, parsers and typed prompts over a scripted
// standard input.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "console/conutil.h"
#include "support/console_capture.h"

namespace {

TEST(ConutilMatching, FirstWordWholeAnyCaseAndCutTo254) {
    const std::string a254(254, 'a');
    const std::tuple<std::string, const char*, const char*, int32_t> rows[] = {
        {"  HeLp  \n", "help", "he", 1}, {"HE\n", "help", "he", 1},     {"heap\n", "help", "he", 0},
        {"h\n", "help", "he", 0},        {"help me\n", "quit", "help", 1}, {"x help\n", "help", "he", 0},
        {"\tq\r\n", "quit", "q", 1},     {" \t\n", "", "", 0},          {"", "", "", 0},
        {std::string(1000, 'a') + "\n", a254.c_str(), "a", 1},  // cut, not overrun
        {std::string(253, 'a') + "\n", a254.c_str(), "x", 0},
    };
    for (const auto& [line, name, key, match] : rows) EXPECT_EQ(input_equal(line.c_str(), name, key), match) << line;
}

// Each text through one parser, the value starting as 85 every time:
// "<accepted> <value after>", joined by "|".
template <typename T, typename Parse>
std::string parsed(Parse parse, T min, T max, std::initializer_list<const char*> texts) {
    std::ostringstream s;
    for (const char* text : texts) {
        T v = 85;
        s << (s.tellp() > 0 ? "|" : "") << parse(text, &v, min, max) << ' ' << +v;
    }
    return s.str();
}

TEST(ConutilParsers, BoundsAndWhatIsStored) {
    // A number read is stored even when out of bounds; no number, nothing stored.
    EXPECT_EQ(parsed<int32_t>(input_integer, 0, 4, {"4", " \t3abc", "5", "-1", "abc3", "-", "99999999999"}),
              "1 4|1 3|0 5|0 -1|0 85|0 85|0 85");
    EXPECT_EQ(parsed<int32_t>(input_integer, INT32_MIN, INT32_MAX, {"-2147483648"}), "1 -2147483648");
    EXPECT_EQ(parsed<float>(input_float, 0, 2, {" 1.5\n", "2e1", "nan", "x1"}), "1 1.5|0 20|0 nan|0 85");
}

TEST(ConutilLineInput, WaitEnterTakesALineLongLinesAreCutAndTheirTailDropped) {
    std::vector<std::string> pieces;
    std::vector<int32_t> eof;
    console_out("skip this line\nabcdefghij\nabcd\nxy\nlast", [&] {
        input_wait_enter();
        for (int size : {5, 5, 5, 10, 10}) {
            char buf[16];
            std::memset(buf, 'Z', sizeof buf);
            input_get(buf, size);
            pieces.emplace_back(buf);
            eof.push_back(input_eof());
        }
    });
    // A line that just fits without its end-of-line loses only that.
    EXPECT_EQ(pieces, (std::vector<std::string>{"abcd", "abcd", "xy\n", "last", ""}));
    // The end counts once a read finds nothing, not with the last line.
    EXPECT_EQ(eof, (std::vector<int32_t>{0, 0, 0, 0, 1}));
}

TEST(ConutilYesNo, DefaultShownAnswersAndReasking) {
    const std::tuple<const char*, int32_t, const char*, int32_t> rows[] = {
        {"Y\n", 0, "Save[no]:", 1},  {"  yes  \n", 0, "Save[no]:", 1},
        {"N\n", 1, "Save[yes]:", 0}, {"\n", 1, "Save[yes]:", 1},
        {"maybe\nyess\nno\n", 1, "Save[yes]:Save[yes]:Save[yes]:", 0},
        {"", 1, "Save[yes]:", 1},                // end of input keeps the value
        {"maybe", 0, "Save[no]:Save[no]:", 0},  // an invalid last line is asked again, then the end stops it
        {"y", 0, "Save[no]:", 1},       // a last line without end-of-line still counts
    };
    for (const auto& [input, before, shown, after] : rows) {
        int32_t value = before;
        EXPECT_EQ(console_out(input, [&] { input_yesno_msg(&value, "Save"); }), shown) << input;
        EXPECT_EQ(value, after) << input;
    }
}

TEST(ConutilTypedPrompts, EachKindShowsItsDefaultAsksAgainAndStopsAtTheEndOfInput) {
    int32_t i = 2, k = 1;
    int8_t c = -1;
    int16_t s = -300;
    float f = 1.5f;
    char text[19] = "longer old";
    auto ask_all = [&] {
        char line[] = "st 99\n";
        input_integer_msg(&i, 0, 4, "i");
        input_char_msg(&c, -128, 127, "c");
        input_short_msg(&s, -100000, 100000, "s");  // bounds wider than int16: nothing stored wrapped
        input_float_msg(&f, 0.0f, 5.0f, "Gain");
        input_string_msg(text, 1, 18, "Name");
        input_integer_msg_cmd(&k, 0, 4, "k", line, 1);
    };
    std::string out = console_out(
        "7\n\n200\n-7\n40000\n-40000\n-32768\n9\n2.25\n" + std::string(19, 'n') + "\nnew words\n3\n", ask_all);
    EXPECT_EQ(out, "i[2]:i[2]:c[-1]:c[-1]:s[-300]:s[-300]:s[-300]:Gain[1.500]:Gain[1.500]:Name[longer old]:"
                   "Name[longer old]:k[1]:");
    auto values = [&] { return std::vector<double>{double(i), double(c), double(s), f, double(k)}; };
    const std::vector<double> answered = {2, -7, -32768, 2.25, 3};
    EXPECT_EQ(values(), answered);
    EXPECT_STREQ(text, "new");

    // A last line the first prompt rejects, then nothing: it asks again and
    // meets the end; the later prompts show nothing. Every value stays.
    out = console_out(std::string(19, 'z'), ask_all);
    EXPECT_EQ(out, "i[2]:i[2]:");
    EXPECT_EQ(values(), answered);
    EXPECT_STREQ(text, "new");
}

TEST(ConutilCommandParams, IntegerTakenFromTheLineOrPrompted) {
    const std::tuple<const char*, int32_t, const char*, const char*, int32_t> rows[] = {
        {"st 5\n", 1, "", "", 5},         {"st  -5\n", 1, "", "", -5},  // two spaces: no empty token
        {"st 1 7\n", 2, "", "", 7},       {"st 13\n", 1, "4\n", "Offset[1]:", 4},
        {"st\n", 1, "\n", "Offset[1]:", 1}, {"st 5\n", 2, "\n", "Offset[1]:", 1},
        {"5 7\n", 0, "\n", "Offset[1]:", 1},  // index 0: no candidate, not even the key
        {"st\t5\n", 1, "\n", "Offset[1]:", 1},  // tabs do not separate
    };
    for (const auto& [given, index, input, shown, after] : rows) {
        std::string line = given;
        int32_t v = 1;
        EXPECT_EQ(console_out(input, [&] { input_integer_msg_cmd(&v, -12, 12, "Offset", line.data(), index); }), shown)
            << given;
        EXPECT_EQ(v, after) << given;
    }
}

}  // namespace
