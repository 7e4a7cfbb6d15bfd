// Connection-string builders at their limits, COM port numbering, device
// list entries' display texts, and formatted text of any length.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "libcomm/comm_internal.h"
#include "libcomm/libcomm.h"
#include "libcomm/text.h"

namespace {

// Runs `build` on an entry buffer with room to spare behind it: the text it
// made ("" when it refused), or a note that it wrote past the entry size.
std::string built(int32_t (*build)(char*), int32_t expected_result) {
    char text[COMM_ENTRY_SIZE + 8];
    memset(text, 'Z', sizeof text);
    const int32_t r = build(text);
    for (size_t i = COMM_ENTRY_SIZE; i < sizeof text; ++i)
        if (text[i] != 'Z') return "written past the entry";
    if (r != expected_result) return "result " + std::to_string(r);
    return text;
}

// A path that just fits an entry behind "SER:115200,8,1,0,0:", one a byte longer, and other long texts.
const std::string kFits(COMM_ENTRY_SIZE - 1 - 19, 'p'), kTooLong = kFits + "p", kLong(120, 'n');
const char kUnterminated[8] = {'U', 'S', 'B', 'S', ':', '/', 'x', 'y'};

}  // namespace

TEST(ComPortNumbering, MapsEachRangeToItsLinuxDeviceAndRefusesOthers) {
    const std::pair<uint16_t, std::string> ports[] = {
        {1, "/dev/ttyS0"},       {32, "/dev/ttyS31"},      {33, "/dev/ttyUSB0"},   {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"},    {96, "/dev/ttyACM31"},    {97, "/dev/rfcomm0"},   {128, "/dev/rfcomm31"},
        {129, "/dev/pts/0"},     {255, "/dev/pts/126"},    {0, ""},                {256, ""},
        {65535, ""},
    };
    for (const auto& [port, path] : ports) {
        char text[COMM_ENTRY_SIZE] = "untouched";
        EXPECT_EQ(comm_make_conn_string_serial(text, port, 9600, 7, 2, 2, 1), path.empty() ? COMM_ERR_ARG : 0);
        EXPECT_EQ(text, path.empty() ? "" : "SER:9600,7,2,2,1:" + path) << port;
    }
}

// The instrument's forms show through the link layer's builders; here the
// limits: values refused, texts that just fit, and never a byte past the entry.
TEST(ConnStrings, BuildersRefuseBadValuesAndNeverOverrunTheEntry) {
    const struct {
        int32_t (*build)(char*);
        std::string text;  // "": refused
    } cases[] = {
        {[](char* o) { return comm_make_conn_string_serial_path(o, "/dev/pts/3", 9600, 7, 2, 2, 1); },
         "SER:9600,7,2,2,1:/dev/pts/3"},
        {[](char* o) { return comm_make_conn_string_serial_path(o, kFits.c_str(), 115200, 8, 1, 0, 0); },
         "SER:115200,8,1,0,0:" + kFits},
        {[](char* o) { return comm_make_conn_string_serial_path(o, kTooLong.c_str(), 115200, 8, 1, 0, 0); }, ""},
        {[](char* o) { return comm_make_conn_string_net(o, kLong.c_str(), 5000, 1000); }, ""},
        {[](char* o) { return comm_make_conn_string_usb(o, "USBU:/dev/ttyACM1/C45", 128, 0x1781, 0xC45); },
         "USBU:/dev/ttyACM1/c45"},
        {[](char* o) { return comm_make_conn_string_usb(o, kUnterminated, 8, 0x1781, 0xC44); }, "USBS:/xy/c44"},
        {[](char* o) { return comm_make_conn_string_usb(o, "USBX:/dev/ttyACM0/c44", 128, 0x1781, 0xC44); }, ""},
        {[](char* o) { return comm_make_conn_string_bt(o, "00:1A:7D:DA:71:13", "QM38 A0001234", 0, 3, "", 1000); },
         "BT:3,1000,:00:1A:7D:DA:71:13/QM38 A0001234"},
        // The dialogue may pass an empty typed address: the empty string that follows connects nowhere.
        {[](char* o) { return comm_make_conn_string_bt(o, "", "", 0xFFE050, 1, "7316", 60000); }, ""},
        {[](char* o) { return comm_make_conn_string_bt(o, "00:1A:7D:DA:71:13", kLong.c_str(), 0, 1, "", 60000); }, ""},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(built(cases[i].build, cases[i].text.empty() ? COMM_ERR_ARG : 0), cases[i].text) << "case " << i;
}

TEST(DisplayText, OfEachKindOfEntry) {
    const std::pair<const char*, const char*> cases[] = {
        {"BT:1,60000,7316:00:1A:7D:DA:71:13", "00:1A:7D:DA:71:13"},
        {"BT:3,1000,:00:1A:7D:DA:71:13/QM38 A0001234", "QM38 A0001234 (00:1A:7D:DA:71:13)"},
        {"USBF:/dev/qm38-gone/c44", "/dev/qm38-gone (product 0c44)"},  // the device is not there
        {"USBF:/dev/qm38-gone", nullptr},
        {"SER:115200,8,1,0,0:/dev/ttyS0", "SER:115200,8,1,0,0:/dev/ttyS0"},
        {"garbage", nullptr},
        {nullptr, nullptr},
    };
    for (const auto& [entry, text] : cases) {
        char out[COMM_ENTRY_SIZE] = "untouched";
        EXPECT_EQ(comm_get_devid_string(entry, out), text ? 0 : COMM_ERR_ARG) << (entry ? entry : "null");
        EXPECT_STREQ(out, text ? text : "");
    }
}


// Numbers in connection strings stop at 10^9 (a 32-bit long holds the
// whole walk), whatever digits follow.
TEST(Numbers, StopAtTheBoundBeforeAnyStepCouldOverflow) {
    for (const auto& [text, ok] : std::vector<std::pair<const char*, bool>>{
             {"1000000000", true}, {"999999999", true}, {"1000000001", false}, {"1000000009", false},
             {"2147483648", false}, {"99999999999999999999", false}, {"-1000000000", true}, {"-1000000001", false}}) {
        const char* p = text;
        long v = 0;
        EXPECT_EQ(comm_parse_number(p, -2000000000L, 2000000000L, '\0', &v), ok) << text;
        if (ok) {
            EXPECT_EQ(std::to_string(v), text);
        }
    }
}

// The formatter's stack buffer holds 511 characters: texts of that length,
// one more and far more all come out whole.
TEST(TextFormat, TextsOfAnyLengthComeOutWhole) {
    for (size_t n : {size_t{0}, size_t{510}, size_t{511}, size_t{512}, size_t{70000}}) {
        const std::string body(n, 'x');
        EXPECT_EQ(text_format("<%s>%d", body.c_str(), -7), "<" + body + ">-7") << n;
    }
}
