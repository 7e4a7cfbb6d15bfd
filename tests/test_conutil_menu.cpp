// Command menu: registration limits, the help listing and the prompt loop.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "console/conutil.h"
#include "support/console_capture.h"


namespace {

struct call_t {
    std::string who;
    std::string line;
    int32_t argument;
    bool operator==(const call_t&) const = default;
};
std::vector<call_t> calls;

int32_t record_first(char line[], int32_t argument) {
    calls.push_back({"first", line, argument});
    // Cut the line the way parameter parsing does.
    if (char* space = std::strchr(line, ' ')) *space = '\0';
    return -1;  // the menu ignores failures
}

int32_t record_second(char line[], int32_t argument) {
    calls.push_back({"second", line, argument});
    return 0;
}

// Filled with garbage first: menu_init must clear all of it.
std::unique_ptr<menu_t> instrument_menu() {
    auto menu = std::make_unique<menu_t>();
    std::memset(static_cast<void*>(menu.get()), 0xA5, sizeof(menu_t));
    menu_init(menu.get());
    menu_add(menu.get(), "sm", "set memory", "set memory records to 4000", record_second);
    menu_add(menu.get(), "re", "restart", "restarts device", record_first);
    menu_add(menu.get(), "q", "quit", "quits program", nullptr);
    return menu;
}

const char* const instrument_listing =
    "[ he] help\n"
    "[ sm] set memory - set memory records to 4000\n"
    "[ re] restart    - restarts device\n"
    "[  q] quit       - quits program\n";

TEST(ConutilMenuListing, InstrumentMenuAndKeyWidths) {
    auto menu = instrument_menu();
    EXPECT_EQ(console_out("", [&] { menu_print(menu.get()); }), instrument_listing);

    menu_init(menu.get());
    EXPECT_EQ(console_out("", [&] { menu_print(menu.get()); }), "[ he] help\n");

    menu_add(menu.get(), "a", "one", "x", nullptr);
    menu_add(menu.get(), "ab", "three", "y", nullptr);
    menu_add(menu.get(), "abc", "ab", "", nullptr);
    EXPECT_EQ(console_out("", [&] { menu_print(menu.get()); }),
              "[ he] help\n[  a] one   - x\n[ ab] three - y\n[abc] ab    - \n");
}

TEST(ConutilMenuListing, OverlongFieldsAreCutAndTerminated) {
    auto menu = std::make_unique<menu_t>();
    menu_init(menu.get());
    const std::string description(100, 'd');
    EXPECT_EQ(menu_add(menu.get(), "abcdef", "a-name-of-twenty-char", description.c_str(), record_first), 0);
    EXPECT_EQ(menu_add(menu.get(), "s", "short", "s", nullptr), 0);
    const menu_entry_t& e = menu->entries[0];
    EXPECT_STREQ(e.key, "abc");
    EXPECT_STREQ(e.name, "a-name-of-twent");
    EXPECT_EQ(std::string(e.description), std::string(63, 'd'));
    EXPECT_EQ(menu->longest_name, 15u);  // padding follows the stored name
    EXPECT_EQ(console_out("", [&] { menu_print(menu.get()); }),
              "[ he] help\n[abc] a-name-of-twent - " + std::string(63, 'd') + "\n[  s] short           - s\n");
}

TEST(ConutilMenuListing, RefusesEntriesBeyondCapacity) {
    auto menu = std::make_unique<menu_t>();
    menu_init(menu.get());
    for (int i = 0; i < MENU_CAPACITY; ++i) ASSERT_EQ(menu_add(menu.get(), "k", "n", "d", nullptr), 0);
    EXPECT_EQ(menu_add(menu.get(), "x", "x", "x", nullptr), -1);
    EXPECT_EQ(menu->count, MENU_CAPACITY);
}

struct run_case {
    const char* name;
    std::string input;
    std::string shown;
    std::vector<call_t> ran;
};

TEST(ConutilMenuRun, MatchingQuittingAndHandlerLines) {
    const std::string tail(43, 't');
    const std::vector<run_case> cases = {
        {"quit any case", "QuIt\nre\n", ">", {}},
        {"key q", "q\n", ">", {}},
        {"qu is no command", "qu\n\nnothing\nq\n", ">>>>", {}},
        {"name runs key's handler", "restart\nRE\nq\n", ">>>",
         {{"first", "restart\n", 0}, {"first", "RE\n", 0}}},
        {"whole line with params", "  re now please\nq\n", ">>", {{"first", "  re now please\n", 0}}},
        {"help prints listing", "he\nHELP\nq\n", std::string(">") + instrument_listing + ">" + instrument_listing + ">",
         {}},
        // 254 characters per read: the rest is a command line of its own.
        {"long line in pieces", std::string(254, 'z') + "re " + tail + "\nq\n", ">>>",
         {{"first", "re " + tail + "\n", 0}}},
        {"end of input ends the loop", "re\nfoo\n", ">>>", {{"first", "re\n", 0}}},
        {"empty input ends the loop", "", ">", {}},
        {"last line without end-of-line", "re", ">", {{"first", "re", 0}}},
    };
    for (const run_case& c : cases) {
        auto menu = instrument_menu();
        calls.clear();
        int32_t rc = -1;
        const std::string out = console_out(c.input, [&] { rc = menu_run(menu.get()); });
        EXPECT_EQ(out, c.shown) << c.name;
        EXPECT_EQ(calls, c.ran) << c.name;
        EXPECT_EQ(rc, 0) << c.name;
    }
}

TEST(ConutilMenuRun, EveryMatchRunsInOrderWithTheWholeLine) {
    auto menu = std::make_unique<menu_t>();
    menu_init(menu.get());
    menu_add(menu.get(), "x", "help", "", record_first);  // cuts its line
    menu_add(menu.get(), "x", "other", "", record_second);
    menu_add(menu.get(), "y", "why", "", record_second);
    menu_add(menu.get(), "x", "stop", "", nullptr);
    menu_add(menu.get(), "x", "never", "", record_second);  // behind the quit entry
    calls.clear();
    const std::string out = console_out("x 1 2\nhelp\ny\n", [&] { menu_run(menu.get()); });
    EXPECT_EQ(out, ">");
    EXPECT_EQ(calls, (std::vector<call_t>{{"first", "x 1 2\n", 0}, {"second", "x 1 2\n", 0}}));

    calls.clear();
    const std::string listing = "[ he] help\n[  x] help  - \n[  x] other - \n[  y] why   - \n[  x] stop  - \n"
                                "[  x] never - \n";
    const std::string out2 = console_out("help\ny\n", [&] { menu_run(menu.get()); });
    EXPECT_EQ(out2, ">" + listing + ">>");
    EXPECT_EQ(calls, (std::vector<call_t>{{"first", "help\n", 0}, {"second", "y\n", 0}}));
}

}  // namespace
