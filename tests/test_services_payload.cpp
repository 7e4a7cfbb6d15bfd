// Answers that lack the data a service reads, and answers behind false
// starts, from the simulated instrument over the real link layer.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "services/r40_comm.h"
#include "services/r62_comm.h"
#include "sim/sim.h"
#include "support/sim_link.h"

namespace {

using bytes = std::vector<uint8_t>;

// Typed outputs start from the sentinel bytes at `at` and are stored back,
// so that "nothing copied" reads the same for every service.
template <typename T, typename Fn>
int32_t typed(uint8_t* at, Fn&& call) {
    T v;
    std::memcpy(&v, at, sizeof v);
    const int32_t r = call(&v);
    std::memcpy(at, &v, sizeof v);
    return r;
}

struct service_t {
    const char* name;
    uint16_t code;
    int32_t least, most;  // the payload the service requires
    size_t zeroed;        // bytes of the caller's buffer cleared before the exchange
    std::function<int32_t(int32_t id, uint8_t* out)> call;
};

const service_t kServices[] = {
    {"firmware version", 8001, 1, 8, 8, [](int32_t id, uint8_t* o) { return R40_get_fw_version(id, reinterpret_cast<char*>(o), 1); }},
    {"time", 8002, 24, 24, 0,
     [](int32_t id, uint8_t* o) { return typed<dev_time_t>(o, [&](dev_time_t* t) { return R40_get_time(id, t, 1); }); }},
    {"serial", 8007, 8, 8, 9, [](int32_t id, uint8_t* o) { return R40_get_serial(id, reinterpret_cast<char*>(o), 1); }},
    {"model word", 8008, 4, 4, 0,
     [](int32_t id, uint8_t* o) { return typed<uint32_t>(o, [&](uint32_t* w) { return R40_get_model_rev(id, w, 1); }); }},
    {"erase", 8100, 4, 4, 0,
     [](int32_t id, uint8_t* o) { return typed<int32_t>(o, [&](int32_t* b) { return R40_erase_ext_flash(id, b, 1); }); }},
    {"flash block", 8101, 64, 64, 0, [](int32_t id, uint8_t* o) { return R40_read_ext_flash(id, 0, o, 1); }},
    {"status", 8203, 20, 20, 0, [](int32_t id, uint8_t* o) { return R62_Get_Status(id, o, 1); }},
    {"entry list", 8204, 160, 160, 0, [](int32_t id, uint8_t* o) { return R62_Get_Meas_Log_Entry_List(id, 0, o, 1); }},
    {"heap report", 8016, 4, 2048, 0,
     [](int32_t id, uint8_t* o) {
         return typed<int32_t>(o, [&](int32_t* heap) { return R62_Memory_Usage(id, heap, reinterpret_cast<char*>(o) + 4, 100, 1); });
     }},
    {"file info", 8209, 4, 40, 0,
     [](int32_t id, uint8_t* o) {
         return typed<uint32_t>(o, [&](uint32_t* size) { return R62_File_Info(id, "tst/a.bin", size, 1); });
     }},
    {"file read", 8211, 4, 4000, 0,
     [](int32_t id, uint8_t* o) {
         return typed<int32_t>(o, [&](int32_t* got) { return R62_Read_File(id, "tst/a.bin", o + 4, 0, 100, got, 1); });
     }},
    {"measure", 8212, 4, 4, 0,
     [](int32_t id, uint8_t* o) { return typed<int32_t>(o, [&](int32_t* v) { return R62_Measure(id, v, 1); }); }},
    {"state", 8024, 4, 4, 0,
     [](int32_t id, uint8_t* o) { return typed<uint32_t>(o, [&](uint32_t* s) { return R62_Get_State(id, s, 1); }); }},
    {"screen", 8213, 1060, 1060, 0, [](int32_t id, uint8_t* o) { return R62_Get_Screen(id, o, 1); }},
};

sim_faults_t answer_fault(uint16_t code, int32_t status_only, int32_t answer_size) {
    sim_faults_t f;
    f.only_code = code;
    f.status_only = status_only;
    f.answer_size = answer_size;
    return f;
}

}  // namespace

TEST(ServicePayload, AnswerWithoutTheRequiredPayloadIs254AndCopiesNothing) {
    SimLink link;
    ASSERT_TRUE(link.open());
    SIM_put_file(link.sim(), "tst/a.bin", bytes(300, 0x5A));
    MXX_set_cmd_num_try(link.id(), 1);  // a status frame alone waits out the time-out of every try
    for (const service_t& s : kServices) {
        const struct {
            sim_faults_t fault;
            int32_t result;
        } cases[] = {
            {answer_fault(s.code, -1, s.least - 1), 254},
            {answer_fault(s.code, -1, s.most + 1), 254},
            {answer_fault(s.code, -1, s.least), 0},
            {answer_fault(s.code, 0, -1), 254},
        };
        for (const auto& c : cases) {
            if (c.fault.status_only >= 0 && s.code != 8007) continue;  // one is enough: 100 ms, not 1 s or 60 s
            SCOPED_TRACE(std::string(s.name) + (c.fault.status_only >= 0 ? ", status frames only"
                                                                        : ", answer size " +
                                                                              std::to_string(c.fault.answer_size)));
            SIM_set_faults(link.sim(), c.fault);
            bytes out(4096, 0xEE);
            EXPECT_EQ(s.call(link.id(), out.data()), c.result);
            bytes untouched(4096, 0xEE);
            std::fill(untouched.begin(), untouched.begin() + static_cast<long>(s.zeroed), 0);
            EXPECT_EQ(out == untouched, c.result != 0);
        }
    }
}

// Bytes that look like the start of a frame, right before every frame the
// instrument sends: it is identified at its first answer and each request
// goes out once.
TEST(ServicePayload, FalseStartBeforeTheAnswerCostsNoRetry) {
    const struct {
        const char* name;
        sim_faults_t fault;
    } cases[] = {
        {"one 'B'", [] { sim_faults_t f; f.stray_b = 1; return f; }()},
        {"three 'B' after other junk", [] { sim_faults_t f; f.stray = 5; f.stray_b = 3; return f; }()},
        {"a header that never completed", [] { sim_faults_t f; f.false_header = true; return f; }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimLink link;
        SIM_set_faults(link.sim(), c.fault);
        ASSERT_TRUE(link.open());
        uint8_t status[R62_STATUS_SIZE];
        EXPECT_EQ(R62_Get_Status(link.id(), status, 1), 0);
        EXPECT_EQ(bytes(status, status + R62_STATUS_SIZE), SIM_get_status(link.sim()));
        EXPECT_EQ(SIM_request_count(link.sim(), R62_CODE_GET_STATUS), 1u);
    }
}
