// A simulated instrument served over a socket pair, with a frame client on
// the tool's side, for the simulator's own tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "sim/client.h"
#include "sim/records.h"
#include "sim/sim.h"
#include "support/frames.h"

// Request head of the file services, followed by `data`.
inline bytes file_req(const std::string& name, uint32_t param, uint32_t size, const bytes& data = {}) {
    bytes r(FILE_REQ_SIZE, 0);
    std::memcpy(r.data(), name.data(), std::min(FILE_REQ_NAME_SIZE, name.size()));
    put_u32le(r.data(), FILE_REQ_OFF_PARAM, param);
    put_u32le(r.data(), FILE_REQ_OFF_SIZE, size);
    return cat({r, data});
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
    explicit Served(sim_t* s = SIM_create_demo()) : sim(s), client(SIMC_open(SIM_serve_socketpair(s))) {}
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
