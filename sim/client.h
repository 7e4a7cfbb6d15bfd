// A minimal MXX peer for tests and benchmarks: sends requests to a served
// instrument over any fd and collects the frames that come back.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct sim_frame_t {
    uint16_t code = 0;
    uint16_t timeout = 0;
    uint8_t status = 0;
    std::vector<uint8_t> payload;
};

struct sim_client_t;

// Takes ownership of fd (closed by SIMC_close).
sim_client_t* SIMC_open(int fd);
void SIMC_close(sim_client_t* c);
struct sim_client_deleter {
    void operator()(sim_client_t* c) const { SIMC_close(c); }
};
using sim_client_ptr = std::unique_ptr<sim_client_t, sim_client_deleter>;

// Sends a request frame (status 0). 0 on success, -1 on a write failure.
int32_t SIMC_send(sim_client_t* c, uint16_t code, const std::vector<uint8_t>& payload, uint16_t timeout = 800);
int32_t SIMC_send_raw(sim_client_t* c, const std::vector<uint8_t>& bytes);
// Next valid frame of any code, waiting at most timeout_ms; false on time-out or end of link.
bool SIMC_recv(sim_client_t* c, sim_frame_t* out, int32_t timeout_ms);
// Sends a request and waits for the first frame that is not a live frame
// (0x2456); live frames met on the way are kept for SIMC_take_live.
bool SIMC_call(sim_client_t* c, uint16_t code, const std::vector<uint8_t>& payload, sim_frame_t* answer,
               int32_t timeout_ms = 2000);
// Waits until `n` live frames were collected (or the time-out) and takes them all.
std::vector<sim_frame_t> SIMC_take_live(sim_client_t* c, size_t n, int32_t timeout_ms);
// Every byte received so far, valid frame or not; the log is then emptied.
std::vector<uint8_t> SIMC_take_raw(sim_client_t* c);
// True once the peer has closed the link (waits at most timeout_ms).
bool SIMC_wait_closed(sim_client_t* c, int32_t timeout_ms);
