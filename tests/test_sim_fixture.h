// Shared set-up of the simulator tests: one instrument served over a socket
// pair, with a frame client on the tool's side.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "records/wire.h"
#include "sim/client.h"
#include "sim/records.h"
#include "sim/sim.h"

using bytes = std::vector<uint8_t>;

inline const bytes kSerial = {'A', '0', '0', '0', '1', '2', '3', '4'};

inline bytes u32(uint32_t v) {
    bytes b(4);
    put_u32le(b.data(), 0, v);
    return b;
}

inline bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline bytes sim_file(sim_t* sim, const std::string& name) {
    bytes b;
    EXPECT_TRUE(SIM_get_file(sim, name, &b)) << name;
    return b;
}

// True when `slot` holds the newest log entry (the highest value) of the first 64.
inline bool newest_entry(sim_t* sim, uint32_t slot) {
    for (uint32_t i = 0; i < 64; ++i)
        if (i != slot && SIM_get_entry(sim, i).value >= SIM_get_entry(sim, slot).value) return false;
    return true;
}

// Request head of the file services, followed by `data`.
inline bytes file_req(const std::string& name, uint32_t param, uint32_t size, const bytes& data = {}) {
    bytes r(FILE_REQ_SIZE, 0);
    std::memcpy(r.data(), name.data(), std::min(FILE_REQ_NAME_SIZE, name.size()));
    put_u32le(r.data(), FILE_REQ_OFF_PARAM, param);
    put_u32le(r.data(), FILE_REQ_OFF_SIZE, size);
    return cat(r, data);
}

// An instrument from a scenario the test itself wrote; a mistake in it fails
// the test at once (the demo stands in, so that nothing crashes).
inline sim_t* scenario(const char* json) {
    std::string err;
    sim_t* s = SIM_create_json(json, &err);
    if (s == nullptr) ADD_FAILURE() << err;
    return s ? s : SIM_create_demo();
}

struct Served {
    sim_ptr sim;
    sim_client_ptr client;
    explicit Served(sim_t* s) : sim(s), client(SIMC_open(SIM_serve_socketpair(s))) {}
    explicit Served(const char* json) : Served(scenario(json)) {}
    sim_t* get() const { return sim.get(); }

    sim_frame_t call(uint16_t code, const bytes& payload = {}) {
        sim_frame_t f;
        EXPECT_TRUE(SIMC_call(client.get(), code, payload, &f)) << "no answer to " << code;
        return f;
    }
    // The next frame after one request, or false when none comes within the time-out.
    bool ask(uint16_t code, sim_frame_t* f, int32_t timeout_ms = 300, const bytes& payload = {}) {
        EXPECT_EQ(SIMC_send(client.get(), code, payload), 0);
        return SIMC_recv(client.get(), f, timeout_ms);
    }
};
