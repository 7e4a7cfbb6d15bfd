// The instrument's file services: info, chunked reads, the write operations
// and how they keep the log entry table in step.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link/wire.h"
#include "sim/client.h"
#include "sim/records.h"
#include "sim/sim.h"

namespace {

using bytes = std::vector<uint8_t>;

struct Served {
    sim_ptr sim;
    sim_client_ptr client;
    explicit Served(sim_t* s) : sim(s), client(SIMC_open(SIM_serve_socketpair(s))) {}
    sim_frame_t call(uint16_t code, const bytes& payload) {
        sim_frame_t f;
        EXPECT_TRUE(SIMC_call(client.get(), code, payload, &f)) << "no answer to " << code;
        return f;
    }
};

bytes file_req(const std::string& name, uint32_t param, uint32_t size, const bytes& data = {}) {
    bytes r(40 + data.size(), 0);
    std::memcpy(r.data(), name.data(), std::min<size_t>(32, name.size()));
    put_u32le(r.data(), 32, param);
    put_u32le(r.data(), 36, size);
    std::copy(data.begin(), data.end(), r.begin() + 40);
    return r;
}

uint8_t write_op(Served& s, const std::string& name, uint32_t op, const bytes& data = {}) {
    return s.call(8210, file_req(name, op, static_cast<uint32_t>(data.size()), data)).status;
}

// Reads a whole file as the tool does: fixed chunks until a count of 0.
bytes read_all(Served& s, const std::string& name, uint32_t chunk, int* requests) {
    bytes out;
    *requests = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        sim_frame_t f = s.call(8211, file_req(name, static_cast<uint32_t>(out.size()), chunk));
        ++*requests;
        EXPECT_EQ(f.status, 0);
        if (f.status != 0 || f.payload.size() < 4) break;
        const int32_t count = get_i32le(f.payload.data(), 0);
        EXPECT_EQ(f.payload.size(), 4u + static_cast<size_t>(count));
        EXPECT_LE(static_cast<uint32_t>(count), chunk);
        if (count == 0) break;
        out.insert(out.end(), f.payload.begin() + 4, f.payload.end());
    }
    return out;
}

}  // namespace

TEST(SimFileRead, ChunkedReadsReproduceTheFileAndEndWithZero) {
    Served s(SIM_create_demo());
    for (const char* name : {"meas/meas0000.dat", "notes/rec0001.wav", "aux/aux0006.dat", "lut/lut01.dat"}) {
        bytes want;
        ASSERT_TRUE(SIM_get_file(s.sim.get(), name, &want)) << name;
        int requests = 0;
        EXPECT_EQ(read_all(s, name, 450, &requests), want) << name;
        EXPECT_EQ(requests, static_cast<int>((want.size() + 449) / 450) + 1) << name;
    }
    bytes rec;
    ASSERT_TRUE(SIM_get_file(s.sim.get(), "meas/meas0000.dat", &rec));
    EXPECT_EQ(rec.size(), MR_SIZE);
}

TEST(SimFileRead, AnswerSizesAndMissingFiles) {
    Served s(SIM_create_demo());
    // More than 3996 wanted: 3996 delivered.
    sim_frame_t f = s.call(8211, file_req("meas/meas0001.dat", 0, 10000));
    ASSERT_EQ(f.status, 0);
    EXPECT_EQ(get_i32le(f.payload.data(), 0), 3996);
    EXPECT_EQ(f.payload.size(), 4000u);
    // The rest of the record, then nothing.
    f = s.call(8211, file_req("meas/meas0001.dat", 3996, 450));
    EXPECT_EQ(get_i32le(f.payload.data(), 0), 4063 - 3996);
    f = s.call(8211, file_req("meas/meas0001.dat", 4063, 450));
    EXPECT_EQ(f.payload, (bytes{0, 0, 0, 0}));
    f = s.call(8211, file_req("meas/meas0001.dat", 0xFFFFFFF0u, 450));
    EXPECT_EQ(f.payload, (bytes{0, 0, 0, 0}));

    f = s.call(8211, file_req("meas/meas0020.dat", 0, 450));
    EXPECT_EQ(f.code, 9211);
    EXPECT_EQ(f.status, SIM_ST_NOFILE);
    f = s.call(8209, file_req("meas/meas0020.dat", 0, 0));
    EXPECT_EQ(f.status, SIM_ST_NOFILE);

    f = s.call(8209, file_req("notes/rec0001.wav", 0, 0));
    ASSERT_EQ(f.payload.size(), 40u);
    bytes note;
    ASSERT_TRUE(SIM_get_file(s.sim.get(), "notes/rec0001.wav", &note));
    EXPECT_EQ(get_u32le(f.payload.data(), 0), note.size());
    EXPECT_EQ(bytes(f.payload.begin() + 4, f.payload.end()), bytes(36, 0));
}

TEST(SimFileRead, StorageImageIsGeneratedAndReadOnly) {
    Served s(SIM_create_json(R"({"settings": {"raw_size": 5000}})", nullptr));
    sim_frame_t f = s.call(8209, file_req("raw", 0, 0));
    EXPECT_EQ(get_u32le(f.payload.data(), 0), 5000u);
    int requests = 0;
    const bytes image = read_all(s, "raw", 512, &requests);
    ASSERT_EQ(image.size(), 5000u);
    EXPECT_EQ(requests, 11);
    EXPECT_EQ(image, SIM_read_raw(s.sim.get(), 0, 5000));
    EXPECT_EQ(std::string(image.begin(), image.begin() + 7), "QM38SIM");
    EXPECT_EQ(image[510], 0x55);
    EXPECT_EQ(image[511], 0xAA);
    for (uint32_t op : {1u, 2u, 4u}) EXPECT_EQ(write_op(s, "raw", op), SIM_ST_FAIL) << op;
    EXPECT_EQ(write_op(s, "raw", 3, {1, 2, 3}), SIM_ST_FAIL);
    EXPECT_EQ(s.call(8209, file_req("raw", 0, 0)).status, 0);
}

TEST(SimFileWrite, DeleteMkdirCreateAppendSemantics) {
    Served s(SIM_create_demo());
    // Deleting what is not there succeeds (the purge relies on it).
    EXPECT_EQ(write_op(s, "meas/9999.uid", 4), 0);
    EXPECT_EQ(write_op(s, "nowhere/x.dat", 4), 0);
    // Making a directory that exists succeeds (the table writer relies on it).
    EXPECT_EQ(write_op(s, "lut", 1), 0);
    EXPECT_TRUE(SIM_has_file(s.sim.get(), "lut/lut01.dat")) << "mkdir must not empty the directory";
    // Appending to a missing file fails.
    EXPECT_EQ(write_op(s, "lut/lut03.dat", 3, {1, 2, 3}), SIM_ST_NOFILE);
    EXPECT_FALSE(SIM_has_file(s.sim.get(), "lut/lut03.dat"));
    // Create, append in pieces, read back.
    EXPECT_EQ(write_op(s, "lut/lut03.dat", 2), 0);
    bytes content;
    for (int i = 0; i < 300; ++i) content.push_back(static_cast<uint8_t>(i * 7));
    EXPECT_EQ(write_op(s, "lut/lut03.dat", 3, bytes(content.begin(), content.begin() + 128)), 0);
    EXPECT_EQ(write_op(s, "lut/lut03.dat", 3, bytes(content.begin() + 128, content.begin() + 256)), 0);
    EXPECT_EQ(write_op(s, "lut/lut03.dat", 3, bytes(content.begin() + 256, content.end())), 0);
    EXPECT_EQ(write_op(s, "lut/lut03.dat", 3, {}), 0) << "an empty append is harmless";
    bytes got;
    ASSERT_TRUE(SIM_get_file(s.sim.get(), "lut/lut03.dat", &got));
    EXPECT_EQ(got, content);
    // Create on an existing file empties it.
    EXPECT_EQ(write_op(s, "lut/lut03.dat", 2), 0);
    ASSERT_TRUE(SIM_get_file(s.sim.get(), "lut/lut03.dat", &got));
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(write_op(s, "lut/lut03.dat", 4), 0);
    EXPECT_FALSE(SIM_has_file(s.sim.get(), "lut/lut03.dat"));

    // Directories: parents must exist; a file is not a directory; only empty ones go.
    EXPECT_EQ(write_op(s, "data/sub", 1), SIM_ST_NOFILE);
    EXPECT_EQ(write_op(s, "data/x.bin", 2), SIM_ST_NOFILE);
    EXPECT_EQ(write_op(s, "data/", 1), 0);
    EXPECT_TRUE(SIM_has_dir(s.sim.get(), "data"));
    EXPECT_EQ(write_op(s, "data/sub", 1), 0);
    EXPECT_EQ(write_op(s, "data/x.bin", 2), 0);
    EXPECT_EQ(write_op(s, "data/x.bin", 1), SIM_ST_FAIL);
    EXPECT_EQ(write_op(s, "data", 2), SIM_ST_FAIL);
    EXPECT_EQ(write_op(s, "data", 4), SIM_ST_FAIL);
    EXPECT_EQ(write_op(s, "data/x.bin", 4), 0);
    EXPECT_EQ(write_op(s, "data/sub", 4), 0);
    EXPECT_EQ(write_op(s, "data", 4), 0);
    EXPECT_FALSE(SIM_has_dir(s.sim.get(), "data"));
    EXPECT_EQ(write_op(s, "lut/x", 9), SIM_ST_FAIL) << "unknown operation";
    EXPECT_EQ(write_op(s, "", 2), SIM_ST_FAIL);
}

TEST(SimFileWrite, NamesAndSizesAreTakenStrictly) {
    Served s(SIM_create_demo());
    // A 32-character name has no terminator in the request.
    const std::string name32 = "lut/abcdefghijklmnopqrstuvwx.bin";
    ASSERT_EQ(name32.size(), 32u);
    EXPECT_EQ(write_op(s, name32, 2), 0);
    EXPECT_TRUE(SIM_has_file(s.sim.get(), name32));
    EXPECT_EQ(s.call(8209, file_req(name32, 0, 0)).status, 0);

    // The size field must match the data that follows.
    bytes req = file_req("lut/lut01.dat", 3, 10, bytes(5, 1));
    EXPECT_EQ(s.call(8210, req).status, SIM_ST_SIZE);
    req = file_req("lut/lut01.dat", 4, 3, bytes(3, 1));
    EXPECT_EQ(s.call(8210, req).status, SIM_ST_SIZE) << "delete carries no data";
    EXPECT_TRUE(SIM_has_file(s.sim.get(), "lut/lut01.dat"));
}

TEST(SimFileWrite, StorageIsBounded) {
    Served s(SIM_create_json(R"({"base": "empty", "settings": {"storage_limit": 1000}})", nullptr));
    EXPECT_EQ(write_op(s, "aux/big.dat", 2), 0);
    for (int i = 0; i < 7; ++i) EXPECT_EQ(write_op(s, "aux/big.dat", 3, bytes(128, 0xAB)), 0) << i;
    EXPECT_EQ(write_op(s, "aux/big.dat", 3, bytes(128, 0xAB)), SIM_ST_FAIL);
    bytes got;
    ASSERT_TRUE(SIM_get_file(s.sim.get(), "aux/big.dat", &got));
    EXPECT_EQ(got.size(), 7u * 128);
    // Freed space can be used again.
    EXPECT_EQ(write_op(s, "aux/big.dat", 4), 0);
    EXPECT_EQ(write_op(s, "aux/b.dat", 2), 0);
    EXPECT_EQ(write_op(s, "aux/b.dat", 3, bytes(900, 1)), 0);
}

TEST(SimFileWrite, RecordFilesDriveTheEntryTable) {
    Served s(SIM_create_demo());
    EXPECT_EQ(SIM_get_entry(s.sim.get(), 5).flags, 0);
    ASSERT_NE(SIM_get_entry(s.sim.get(), 4).value, 0u);
    EXPECT_EQ(SIM_get_entry(s.sim.get(), 4).flags, 1) << "slot 4 (record 5) has a note";
    EXPECT_EQ(write_op(s, "notes/rec0004.wav", 4), 0);
    EXPECT_EQ(SIM_get_entry(s.sim.get(), 4).flags, 0);

    const uint32_t old = SIM_get_entry(s.sim.get(), 3).value;
    EXPECT_EQ(write_op(s, "meas/meas0003.dat", 4), 0);
    EXPECT_EQ(SIM_get_entry(s.sim.get(), 3).value, 0u);

    // A record written by the tool occupies its slot, after every other record.
    EXPECT_EQ(write_op(s, "meas/meas0003.dat", 2), 0);
    EXPECT_EQ(write_op(s, "meas/meas0003.dat", 3, bytes(100, 0)), 0);
    const uint32_t now = SIM_get_entry(s.sim.get(), 3).value;
    EXPECT_GT(now, old);
    for (uint32_t slot = 0; slot < 64; ++slot)
        if (slot != 3) {
            EXPECT_LT(SIM_get_entry(s.sim.get(), slot).value, now) << slot;
        }
}
