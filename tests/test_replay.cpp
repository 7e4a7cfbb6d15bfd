// Recorded byte streams (tests/replay/*.txt) replayed through frame assembly
// and, where a file names one, through a service over a real link. The
// expected frames and fields are written out in the files; nothing here
// builds or decodes a frame with the tool's own code, so a fault shared by
// the tool and the simulator still shows.
//
// File format, one directive a line, '#' starts a comment:
//   stream HEX...            bytes of the stream (lines are joined)
//   frame CODE STATUS HEX|-  a frame the stream must yield, in order
//   held N                   bytes the assembler holds once the stream ends
//   service NAME [ARG]       the service whose answer the stream is
//   request CODE             the request code that service must send
//   pieces N                 the answer goes out in writes of N bytes
//   result N                 the service's result
//   field NAME VALUE         a value the service filled in
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "support/link_peer.h"

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LinkEnv);

struct expected_frame {
    unsigned code = 0, status = 0;
    bytes payload;
};

struct replay {
    bytes stream;
    std::vector<expected_frame> frames;
    size_t held = 0;
    std::string service, arg;
    unsigned request = 0;
    size_t pieces = 0;
    int result = 0;
    std::map<std::string, std::string> fields;
};

bytes from_hex(const std::string& hex) {
    bytes out;
    if (hex == "-") return out;
    EXPECT_EQ(hex.size() % 2, 0u) << hex;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

replay load(const std::filesystem::path& path) {
    replay r;
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string key, hex;
        if (!(words >> key)) continue;
        if (key == "stream") {
            while (words >> hex) {
                const bytes b = from_hex(hex);
                r.stream.insert(r.stream.end(), b.begin(), b.end());
            }
        } else if (key == "frame") {
            expected_frame f;
            words >> f.code >> f.status >> hex;
            f.payload = from_hex(hex);
            r.frames.push_back(f);
        } else if (key == "held") {
            words >> r.held;
        } else if (key == "service") {
            words >> r.service >> r.arg;
        } else if (key == "request") {
            words >> r.request;
        } else if (key == "pieces") {
            words >> r.pieces;
        } else if (key == "result") {
            words >> r.result;
        } else if (key == "field") {
            std::string name, value;
            words >> name >> value;
            r.fields[name] = value;
        } else {
            ADD_FAILURE() << path << ": unknown directive " << key;
        }
        EXPECT_FALSE(words.fail() && key != "stream" && key != "service") << path << ": " << line;
    }
    return r;
}

std::vector<std::string> replay_files() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(QM_SOURCE_DIR "/tests/replay"))
        if (e.path().extension() == ".txt") names.push_back(e.path().stem().string());
    std::sort(names.begin(), names.end());
    return names;
}

replay load_named(const std::string& name) {
    return load(std::filesystem::path(QM_SOURCE_DIR "/tests/replay") / (name + ".txt"));
}

unsigned le16(const bytes& f, size_t at) { return f[at] | (f[at + 1] << 8); }

// The frames fed in pieces of `piece` bytes yield, and the bytes still held.
std::vector<bytes> assemble(const bytes& stream, size_t piece, size_t* held) {
    auto rx = std::make_unique<mxx_rx_t>();
    MXX_rx_reset(rx.get());
    std::vector<bytes> got;
    for (size_t at = 0; at < stream.size(); at += piece)
        MXX_rx_feed(rx.get(), stream.data() + at, std::min(piece, stream.size() - at), collect_frames, &got);
    *held = static_cast<size_t>(rx->rx_count);
    return got;
}

// What a service filled in, as the files write it.
std::map<std::string, std::string> call_service(int32_t id, const replay& r, int* result) {
    std::map<std::string, std::string> f;
    if (r.service == "R40_get_serial") {
        char serial[64] = {};
        *result = R40_get_serial(id, serial, 1);
        f["serial"] = serial;
    } else if (r.service == "R40_get_time") {
        dev_time_t t{};
        *result = R40_get_time(id, &t, 1);
        f = {{"year", std::to_string(t.year)},     {"month", std::to_string(t.month)},
             {"day", std::to_string(t.day)},       {"hour", std::to_string(t.hour)},
             {"minute", std::to_string(t.minute)}, {"second", std::to_string(t.second)}};
    } else if (r.service == "R40_get_model_rev") {
        uint32_t word = 0;
        *result = R40_get_model_rev(id, &word, 1);
        std::ostringstream hex;
        hex << std::hex << word;
        f["word"] = hex.str();
    } else if (r.service == "R62_Get_State") {
        uint32_t state = 0;
        *result = R62_Get_State(id, &state, 1);
        f["state"] = std::to_string(state);
    } else if (r.service == "R62_Measure") {
        int32_t value = 0;
        *result = R62_Measure(id, &value, 1);
        f["value"] = std::to_string(value);
    } else if (r.service == "R62_File_Info") {
        uint32_t size = 0;
        *result = R62_File_Info(id, r.arg.c_str(), &size, 1);
        f["size"] = std::to_string(size);
    } else {
        ADD_FAILURE() << "no replay for service " << r.service;
    }
    return f;
}

class Replay : public IdentifiedLink, public ::testing::WithParamInterface<std::string> {};

}  // namespace

TEST_P(Replay, AssemblyYieldsTheWrittenFramesWhateverThePieces) {
    const replay r = load_named(GetParam());
    ASSERT_FALSE(r.stream.empty());
    for (const size_t piece : {r.stream.size(), size_t{1}, size_t{7}}) {
        size_t held = 0;
        const std::vector<bytes> got = assemble(r.stream, piece, &held);
        ASSERT_EQ(got.size(), r.frames.size()) << "pieces of " << piece;
        for (size_t i = 0; i < got.size(); ++i) {
            const bytes& f = got[i];
            ASSERT_GE(f.size(), 13u);
            EXPECT_EQ(bytes(f.begin(), f.begin() + 4), (bytes{'B', 'R', 'N', 'O'}));
            EXPECT_EQ(le16(f, 4), r.frames[i].code) << "frame " << i;
            EXPECT_EQ(f[10], r.frames[i].status) << "frame " << i;
            EXPECT_EQ(le16(f, 6), r.frames[i].payload.size() + 1) << "frame " << i;
            EXPECT_EQ(bytes(f.begin() + 12, f.end() - 1), r.frames[i].payload) << "frame " << i;
        }
        EXPECT_EQ(held, r.held) << "pieces of " << piece;
    }
}

TEST_P(Replay, ServiceDecodesTheWrittenFields) {
    const replay r = load_named(GetParam());
    if (r.service.empty()) GTEST_SKIP() << "assembly only";
    // Only the first request is answered: a retry meets silence.
    peer.start([&](const bytes&, int index) {
        if (index != 0) return bytes{};
        const size_t piece = r.pieces ? r.pieces : r.stream.size();
        for (size_t at = 0; at < r.stream.size(); at += piece)
            EXPECT_TRUE(peer.send(bytes(r.stream.begin() + at, r.stream.begin() + std::min(at + piece, r.stream.size()))));
        return bytes{};
    });
    int result = -1;
    const auto fields = call_service(id, r, &result);
    peer.stop();
    ASSERT_FALSE(peer.frames.empty());
    EXPECT_EQ(le16(peer.frames[0], 4), r.request);
    EXPECT_EQ(result, r.result);
    for (const auto& [name, value] : r.fields) {
        ASSERT_TRUE(fields.count(name)) << name;
        EXPECT_EQ(fields.at(name), value) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Replay, ::testing::ValuesIn(replay_files()),
                         [](const auto& info) { return info.param; });
