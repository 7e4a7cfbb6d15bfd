// The instrument's file services: info, chunked reads, the write operations
// and how they keep the log entry table in step.
#include "test_sim_fixture.h"

namespace {

uint8_t write_op(Served& s, const std::string& name, uint32_t op, const bytes& data = {}) {
    return s.call(8210, file_req(name, op, static_cast<uint32_t>(data.size()), data)).status;
}

// Reads a whole file as the tool does: fixed chunks until a count of 0.
bytes read_all(Served& s, const std::string& name, uint32_t chunk) {
    bytes out;
    for (int guard = 0; guard < 100000; ++guard) {
        const sim_frame_t f = s.call(8211, file_req(name, static_cast<uint32_t>(out.size()), chunk));
        const int32_t count = f.payload.size() < 4 ? -1 : get_i32le(f.payload.data(), 0);
        EXPECT_EQ(f.payload.size(), 4u + static_cast<size_t>(count));
        if (f.status != 0 || count <= 0 || static_cast<uint32_t>(count) > chunk) break;
        out.insert(out.end(), f.payload.begin() + 4, f.payload.end());
    }
    return out;
}

}  // namespace

TEST(SimFileRead, ChunkedReadsReproduceTheFileAndEndWithZero) {
    Served s(R"({"settings": {"raw_size": 5000}})");
    for (const char* name : {"meas/meas0000.dat", "notes/rec0001.wav", "aux/aux0006.dat", "lut/lut01.dat", "raw"}) {
        bytes want;
        if (std::string(name) == "raw") want = SIM_read_raw(s.get(), 0, 5000);
        else ASSERT_TRUE(SIM_get_file(s.get(), name, &want)) << name;
        SIM_clear_requests(s.get());
        EXPECT_EQ(read_all(s, name, 450), want) << name;
        EXPECT_EQ(SIM_request_count(s.get(), 8211), (want.size() + 449) / 450 + 1) << name;
        const bytes info = s.call(8209, file_req(name, 0, 0)).payload;
        EXPECT_EQ(info, cat(u32(static_cast<uint32_t>(want.size())), bytes(36, 0))) << name;
    }
    // The storage image is generated: a boot signature up front, 55 AA at 510.
    const bytes raw = SIM_read_raw(s.get(), 0, 512);
    EXPECT_EQ(std::string(raw.begin(), raw.begin() + 7), "QM38SIM");
    EXPECT_EQ(raw[510] << 8 | raw[511], 0x55AA);

    // At most 3996 bytes per answer; the rest of the record; then nothing, even far past the end.
    const struct {
        uint32_t offset, wanted;
        int32_t count;
    } reads[] = {{0, 10000, FILE_READ_MAX}, {3996, 450, MR_SIZE - 3996}, {MR_SIZE, 450, 0}, {0xFFFFFFF0u, 450, 0}};
    for (const auto& r : reads) {
        const sim_frame_t f = s.call(8211, file_req("meas/meas0001.dat", r.offset, r.wanted));
        ASSERT_EQ(f.payload.size(), 4u + static_cast<size_t>(r.count)) << r.offset;
        EXPECT_EQ(get_i32le(f.payload.data(), 0), r.count) << r.offset;
    }
    for (uint16_t code : {8209, 8211}) {
        const sim_frame_t f = s.call(code, file_req("meas/meas0020.dat", 0, 450));
        EXPECT_EQ(f.code, code + 1000);
        EXPECT_EQ(f.status, SIM_ST_NOFILE) << code;
    }
}

TEST(SimFileWrite, DeleteMkdirCreateAppendSemantics) {
    Served s(SIM_create_demo());
    const uint32_t MKDIR = FILE_OP_MKDIR, CREATE = FILE_OP_CREATE, APPEND = FILE_OP_APPEND, DELETE = FILE_OP_DELETE;
    const std::string name32 = "lut/abcdefghijklmnopqrstuvwx.bin";  // no terminator fits in the request
    const struct {
        uint32_t op;
        std::string name;
        size_t size;
        uint8_t want;
    } steps[] = {
        // Deleting what is not there succeeds (the purge relies on it); so does making an
        // existing directory (the table writer relies on it); appending to a missing file fails.
        {DELETE, "meas/9999.uid", 0, 0}, {DELETE, "nowhere/x.dat", 0, 0}, {MKDIR, "lut", 0, 0},
        {APPEND, "lut/none.dat", 3, SIM_ST_NOFILE}, {CREATE, "lut/lut03.dat", 0, 0}, {APPEND, "lut/lut03.dat", 128, 0},
        {APPEND, "lut/lut03.dat", 172, 0}, {APPEND, "lut/lut03.dat", 0, 0}, {CREATE, name32, 0, 0},
        {CREATE, "lut/lut03.dat", 0, 0}, {APPEND, "lut/lut03.dat", 5, 0},  // create empties an existing file
        // The storage image is read-only.
        {MKDIR, "raw", 0, SIM_ST_FAIL}, {CREATE, "raw", 0, SIM_ST_FAIL}, {APPEND, "raw", 3, SIM_ST_FAIL},
        {DELETE, "raw", 0, SIM_ST_FAIL},
        // Directories: parents must exist; a file is not a directory; only empty ones go.
        {MKDIR, "data/sub", 0, SIM_ST_NOFILE}, {CREATE, "data/x.bin", 0, SIM_ST_NOFILE}, {MKDIR, "data/", 0, 0},
        {MKDIR, "data/sub", 0, 0}, {CREATE, "data/x.bin", 0, 0}, {MKDIR, "data/x.bin", 0, SIM_ST_FAIL},
        {CREATE, "data", 0, SIM_ST_FAIL}, {DELETE, "data", 0, SIM_ST_FAIL}, {DELETE, "data/x.bin", 0, 0},
        {DELETE, "data/sub", 0, 0}, {DELETE, "data", 0, 0},
        {9, "lut/x", 0, SIM_ST_FAIL}, {CREATE, "", 0, SIM_ST_FAIL}};
    bytes appended;
    for (const auto& st : steps) {
        const bytes data(st.size, static_cast<uint8_t>(st.size));
        EXPECT_EQ(write_op(s, st.name, st.op, data), st.want) << st.op << " " << st.name;
        if (st.name == "lut/lut03.dat") appended = st.op == CREATE ? bytes{} : cat(appended, data);
    }
    EXPECT_EQ(sim_file(s.get(), "lut/lut03.dat"), appended) << "appended in pieces after the last create";
    EXPECT_TRUE(SIM_has_file(s.get(), "lut/lut01.dat")) << "mkdir must not empty the directory";
    EXPECT_FALSE(SIM_has_file(s.get(), "lut/none.dat"));
    EXPECT_TRUE(SIM_has_file(s.get(), name32));
    EXPECT_FALSE(SIM_has_dir(s.get(), "data"));
    EXPECT_EQ(s.call(8209, file_req("raw", 0, 0)).status, 0);

    // The size field must match the data that follows; delete carries none.
    EXPECT_EQ(s.call(8210, file_req("lut/lut01.dat", APPEND, 10, bytes(5, 1))).status, SIM_ST_SIZE);
    EXPECT_EQ(s.call(8210, file_req("lut/lut01.dat", DELETE, 3, bytes(3, 1))).status, SIM_ST_SIZE);
    EXPECT_TRUE(SIM_has_file(s.get(), "lut/lut01.dat"));
}

TEST(SimFileWrite, StorageIsBoundedAndFreedSpaceReused) {
    Served s(R"({"base": "empty", "settings": {"storage_limit": 1000}})");
    EXPECT_EQ(write_op(s, "aux/big.dat", FILE_OP_CREATE), 0);
    EXPECT_EQ(write_op(s, "aux/big.dat", FILE_OP_APPEND, bytes(896, 1)), 0);
    EXPECT_EQ(write_op(s, "aux/big.dat", FILE_OP_APPEND, bytes(128, 1)), SIM_ST_FAIL);
    EXPECT_EQ(sim_file(s.get(), "aux/big.dat").size(), 896u) << "a refused append adds nothing";
    EXPECT_EQ(write_op(s, "aux/big.dat", FILE_OP_DELETE), 0);
    EXPECT_EQ(write_op(s, "aux/b.dat", FILE_OP_CREATE), 0);
    EXPECT_EQ(write_op(s, "aux/b.dat", FILE_OP_APPEND, bytes(900, 1)), 0);
}

TEST(SimFileWrite, RecordFilesDriveTheEntryTable) {
    Served s(SIM_create_demo());
    ASSERT_EQ(SIM_get_entry(s.get(), 4).flags, LE_NOTE) << "slot 4 (record 5) has a note";
    EXPECT_EQ(write_op(s, "notes/rec0004.wav", FILE_OP_DELETE), 0);
    EXPECT_EQ(SIM_get_entry(s.get(), 4).flags, 0);

    EXPECT_EQ(write_op(s, "meas/meas0003.dat", FILE_OP_DELETE), 0);
    EXPECT_EQ(SIM_get_entry(s.get(), 3).value, 0u);
    // A record written by the tool occupies its slot, after every other record.
    EXPECT_EQ(write_op(s, "meas/meas0003.dat", FILE_OP_CREATE), 0);
    EXPECT_EQ(write_op(s, "meas/meas0003.dat", FILE_OP_APPEND, bytes(100, 0)), 0);
    EXPECT_TRUE(newest_entry(s.get(), 3));
}
