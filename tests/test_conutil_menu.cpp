// Command menu: the prompt loop, every entry a key matches and the line each
// gets, Ctrl-C and the end of input. (A long line's tail running nothing shows
// in the programs' end-to-end tests.)
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "console/conutil.h"
#include "support/console_capture.h"

namespace {

// Which handler ran, with what line. The first cuts its line as parameter
// parsing does and fails; the menu must ignore both.
std::vector<std::string> calls;
int32_t first(char line[], int32_t) {
    calls.push_back("first:" + std::string(line));
    if (char* space = std::strchr(line, ' ')) *space = '\0';
    return -1;
}
int32_t second(char line[], int32_t) {
    calls.push_back("second:" + std::string(line));
    return 0;
}
// Ctrl-C pressed while a command runs, and a command asking at the end of input.
int32_t ctrl_c(char line[], int32_t) {
    calls.push_back("ctrl_c:" + std::string(line));
    input_interrupt();
    return -1;
}
int32_t asks(char[], int32_t) {
    int32_t v = 0;
    input_integer_msg(&v, 0, 9, "n");
    calls.push_back("asks:" + std::to_string(v));
    return 0;
}

// Filled with garbage first: menu_init must clear all of it. A key may be
// shared: every entry it matches runs, in order, up to a quit entry.
std::unique_ptr<menu_t> make_menu() {
    auto menu = std::make_unique<menu_t>();
    std::memset(static_cast<void*>(menu.get()), 0xA5, sizeof(menu_t));
    menu_init(menu.get());
    const std::tuple<const char*, const char*, menu_handler_t> entries[] = {
        {"sm", "set memory", second}, {"re", "restart", first}, {"x", "help", first},  {"x", "other", second},
        {"y", "why", second},         {"c", "ctrl-c", ctrl_c},  {"c", "also", second}, {"a", "ask", asks},
        {"x", "stop", nullptr},       {"x", "never", second},   {"q", "quit", nullptr}};
    for (const auto& [key, name, handler] : entries) menu_add(menu.get(), key, name, "", handler);
    return menu;
}

TEST(ConutilMenuRun, MatchingQuittingHandlerLinesCtrlCAndTheEndOfInput) {
    const std::string help = console_out("", [] { menu_print(make_menu().get()); });
    const std::tuple<const char*, std::string, bool, std::string, std::string, std::vector<std::string>> cases[] = {
        // name, input, Ctrl-C at the first prompt, shown, error channel, calls
        {"quit in any case", "QuIt\nre\n", false, ">", "", {}},
        {"qu is no command, q quits", "qu\n\nnothing\nq\n", false, ">>>>", "", {}},
        {"name runs the key's handler", "restart\nRE\nq\n", false, ">>>", "", {"first:restart\n", "first:RE\n"}},
        {"whole line with params", "  re now please\nq\n", false, ">>", "", {"first:  re now please\n"}},
        {"help lists, then runs an entry named so", "he\nHELP\nq\n", false, ">" + help + ">" + help + ">", "",
         {"first:HELP\n"}},
        {"every match gets the whole line", "x 1 2\ny\n", false, ">", "", {"first:x 1 2\n", "second:x 1 2\n"}},
        {"end of input ends the loop", "y\nfoo\n", false, ">>>", "", {"second:y\n"}},
        {"last line without end-of-line", "re", false, ">>", "", {"first:re"}},
        {"stopped command: no later match, said, flag cleared", "c\na\n5\nq\n", false, ">>n[0]:>",
         "\nInterrupted.\n", {"ctrl_c:c\n", "asks:5"}},
        {"end of input inside a command quits at once", "a\n", false, ">n[0]:", "", {"asks:0"}},
        {"Ctrl-C at the prompt quits, nothing runs", "a\n5\n", true, ">", "", {}},
    };
    for (const auto& [name, input, at_prompt, shown, errors, ran] : cases) {
        auto menu = make_menu();
        calls.clear();
        int32_t rc = -1;
        const console_capture_t cap = console_run(input, [&] {
            if (at_prompt) input_interrupt();
            rc = menu_run(menu.get());
        });
        input_interrupt_clear();
        EXPECT_EQ(cap.out, shown) << name;
        EXPECT_EQ(cap.err, errors) << name;
        EXPECT_EQ(calls, ran) << name;
        EXPECT_EQ(rc, 0) << name;
    }
}

}  // namespace
