// Built-in instruments: the demo log and generated logs for benchmarks.
// Everything is derived from the record number, so every run is the same.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "records/meas.h"
#include "records/wire.h"
#include "sim/sim_internal.h"

namespace {

constexpr int64_t kBaseTime = 1757840400;  // 2025-09-14 09:00:00, calendar seconds

float shown(float v, const char* format) {
    char text[32];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(text, sizeof text, format, static_cast<double>(v));
#pragma GCC diagnostic pop
    return std::strtof(text, nullptr);
}

struct rec_builder_t {
    std::vector<uint8_t> rec = std::vector<uint8_t>(MR_SIZE, 0);

    rec_builder_t(int32_t rec_no, int32_t group_no, uint32_t type_word) {
        uint8_t* r = rec.data();
        std::memcpy(r, "M62\x01", 4);
        put_i32le(r, MR_REC_NO, rec_no);
        put_i32le(r, MR_GROUP_NO, group_no);
        const auto t = static_cast<time_t>(kBaseTime + 97 * static_cast<int64_t>(rec_no));
        std::tm tm{};
        gmtime_r(&t, &tm);
        put_u16le(r, MR_YEAR, static_cast<uint16_t>(tm.tm_year + 1900));
        put_u8(r, MR_MONTH, static_cast<uint8_t>(tm.tm_mon + 1));
        put_u8(r, MR_DAY, static_cast<uint8_t>(tm.tm_mday));
        put_u8(r, MR_HOUR, static_cast<uint8_t>(tm.tm_hour));
        put_u8(r, MR_MINUTE, static_cast<uint8_t>(tm.tm_min));
        put_u8(r, MR_SECOND, static_cast<uint8_t>(tm.tm_sec));
        put_u32le(r, MR_TYPE_WORD, type_word);
        put_u8(r, MR_DIA, static_cast<uint8_t>(4 + rec_no % 6));
        put_u8(r, MR_MEAS_MODE, static_cast<uint8_t>(rec_no % 5));
        SIMREC_set_gps(r, 49.2057 + 0.00071 * rec_no, 16.5854 + 0.00053 * rec_no, true,
                       static_cast<uint32_t>(5 + rec_no % 8), 250 + rec_no % 40);
    }

    rec_builder_t& discrete(float susc, float cond, int32_t samples) {
        // The instrument stores what it shows: 3 decimals of susceptibility, 1 of conductivity.
        susc = shown(susc, "%.3f");
        cond = shown(cond, "%.1f");
        uint8_t* r = rec.data();
        put_f32le(r, MR_SUSC, susc);
        put_f32le(r, MR_COND, cond);
        put_i32le(r, MR_SAMPLE_NO, samples);
        put_i32le(r, MR_MEAS_TIME, 3);
        for (int32_t i = 0; i < samples && i < MR_POINTS; ++i) {
            const float w = 1.0f + 0.01f * static_cast<float>(i - samples / 2);
            meas_set_point(r, i, susc * w, cond * w);
        }
        return *this;
    }

    rec_builder_t& scan(int32_t points, int32_t seed) {
        uint8_t* r = rec.data();
        float ks = 0.0f;
        float ss = 0.0f;
        for (int32_t i = 0; i < points && i < MR_POINTS; ++i) {
            const float k = 0.3f + 0.2f * std::sin(0.45f * static_cast<float>(i + seed));
            const float c = 15.0f + 4.0f * std::cos(0.2f * static_cast<float>(i * 2 + seed));
            meas_set_point(r, i, k, c);
            ks += k;
            ss += c;
            if ((i + seed) % 4 == 0) meas_set_point_mark(r, i, true);
        }
        put_f32le(r, MR_SUSC, points > 0 ? ks / static_cast<float>(points) : 0.0f);
        put_f32le(r, MR_COND, points > 0 ? ss / static_cast<float>(points) : 0.0f);
        put_i32le(r, MR_SAMPLE_NO, points);
        put_i32le(r, MR_MEAS_TIME, points);
        return *this;
    }

    rec_builder_t& borehole(int32_t id, const char* desc, bool feet) {
        uint8_t* r = rec.data();
        put_i32le(r, MR_BH_ID, id);
        std::memcpy(r + MR_BH_DESC, desc, std::min<size_t>(16, std::strlen(desc)));
        put_u8(r, MR_BH_FEET, feet ? 1 : 0);
        return *this;
    }

    rec_builder_t& header(float from, float to, float core_len, float interval, int32_t per_box, bool discrete) {
        uint8_t* r = rec.data();
        put_f32le(r, MR_BH_DEPTH_FROM, from);
        put_f32le(r, MR_BH_DEPTH_TO, to);
        put_f32le(r, MR_BH_CORE_LEN, core_len);
        put_f32le(r, MR_BH_DEPTH_INT, interval);
        put_i32le(r, MR_BH_CORES_PER_BOX, per_box);
        put_i32le(r, MR_BH_DISCRETE, discrete ? 1 : 0);
        return *this;
    }

    rec_builder_t& core(int32_t num, float depth) {
        put_i32le(rec.data(), MR_BH_CORE_NUM, num);
        put_f32le(rec.data(), MR_BH_DEPTH, depth);
        return *this;
    }

    rec_builder_t& gps(double lat, double lon, bool valid, uint32_t sats, int32_t alt) {
        SIMREC_set_gps(rec.data(), lat, lon, valid, sats, alt);
        return *this;
    }

    rec_builder_t& pin_error(uint8_t pin, uint8_t error) {
        put_u8(rec.data(), MR_PIN, pin);
        put_u8(rec.data(), MR_ERROR, error);
        return *this;
    }
};

uint32_t tw(uint32_t type, uint32_t curve_s = 0, uint32_t curve_c = 0, uint32_t bh_kind = 0) {
    return type | (curve_s << TW_CURVE_S_SHIFT) | (curve_c << TW_CURVE_C_SHIFT) | (bh_kind << TW_BH_KIND_SHIFT);
}

std::vector<uint8_t> aux_file(int32_t rec_no, size_t size) {
    std::vector<uint8_t> a(size);
    for (size_t i = 0; i < size; ++i) a[i] = static_cast<uint8_t>((i * 7 + static_cast<size_t>(rec_no) * 13) & 0xFF);
    const char head[] = "AUX1";
    std::memcpy(a.data(), head, std::min(size, sizeof head - 1));
    return a;
}

void store(sim_instrument_t& ins, uint32_t slot, const std::vector<uint8_t>& rec, bool note, bool aux) {
    SIMI_put_file(ins, SIMI_slot_name("meas/meas", slot, ".dat"), rec);
    const int32_t rec_no = get_i32le(rec.data(), MR_REC_NO);
    std::vector<uint8_t> uid(16, 0);
    put_i32le(uid.data(), 0, rec_no);
    std::memcpy(uid.data() + 4, ins.serial.data(), 8);
    SIMI_put_file(ins, SIMI_slot_name("meas/", slot, ".uid"), std::move(uid));
    if (note)
        SIMI_put_file(ins, SIMI_slot_name("notes/rec", slot, ".wav"),
                      SIMREC_make_wav(1200 + 250 * static_cast<uint32_t>(rec_no % 7), static_cast<uint32_t>(rec_no)));
    if (aux) SIMI_put_file(ins, SIMI_slot_name("aux/aux", slot, ".dat"), aux_file(rec_no, 700 + 37 * static_cast<size_t>(rec_no % 5)));
}

void add_luts(sim_instrument_t& ins) {
    const float v1[12] = {0, 10, 25, 50, 100, 200, 400, 800, 1600, 3200, 6400, 12800};
    const float c1[12] = {0, 0.5f, 1.2f, 2.5f, 5, 10, 19.5f, 37, 65, 120, 240, 480};
    const float v2[12] = {0, 5, 10, 20, 40, 80, 160, 320, 640, 1280, 2560, 5120};
    const float c2[12] = {0, 0.25f, 0.5f, 1, 2, 4, 8, 16, 32, 64, 128, 256};
    SIMI_put_file(ins, "lut/lut01.dat", SIMREC_make_lut("MAGNETITE", v1, c1));
    SIMI_put_file(ins, "lut/lut02.dat", SIMREC_make_lut("PYRRHOTITE", v2, c2));
}

}  // namespace

void SIMD_build_empty(sim_instrument_t& ins) {
    ins.files.clear();
    ins.file_bytes = 0;
    ins.entry_override.clear();
    ins.entry_seq.clear();
    ins.next_seq = 1;
    ins.dirs = {"meas", "notes", "aux", "lut"};
    put_i32le(ins.params.data(), PARAMS_OFF_MAX_STORED_MEAS, 64);
}

void SIMD_build_demo(sim_instrument_t& ins) {
    SIMD_build_empty(ins);
    std::vector<std::vector<uint8_t>> recs;  // in record-number order, 1..56
    std::vector<std::pair<bool, bool>> extra;  // note, aux
    auto add = [&](rec_builder_t& b, bool note = false, bool aux = false) {
        recs.push_back(b.rec);
        extra.emplace_back(note, aux);
    };
    int32_t n = 1;
    // Group 1: discrete records, SI and S/m, valid positions.
    for (int32_t i = 0; i < 8; ++i, ++n) {
        rec_builder_t b(n, 1, tw(1));
        b.discrete(0.152f + 0.021f * static_cast<float>(i), 12.4f + 1.7f * static_cast<float>(i), 3);
        add(b, n == 2 || n == 5, n == 7);
    }
    // Group 2: scanner records with marked points.
    for (int32_t pts : {7, 12, 5, 30}) {
        rec_builder_t b(n, 2, tw(2));
        b.scan(pts, n);
        add(b);
        ++n;
    }
    // Group 3: a borehole header and its discrete cores, in metres.
    {
        rec_builder_t b(n++, 3, tw(0, 0, 0, 1));
        b.borehole(301, "BH-301 NORTH", false).header(0.0f, 12.0f, 1.5f, 0.5f, 5, true);
        add(b);
    }
    for (int32_t i = 1; i <= 10; ++i, ++n) {
        rec_builder_t b(n, 3, tw(1, 0, 0, 2));
        b.discrete(0.9f + 0.11f * static_cast<float>(i), 40.0f + 3.0f * static_cast<float>(i), 2)
            .borehole(301, "BH-301 NORTH", false)
            .core(i, 0.5f * static_cast<float>(i));
        add(b);
    }
    // Group 4: CGS and Ohm.m units; one position south-west.
    for (int32_t i = 0; i < 6; ++i, ++n) {
        uint32_t w = tw(1);
        if (i < 3 || i == 5) w |= TW_SUSC_CGS;
        if (i >= 3) w |= TW_COND_OHM_M;
        rec_builder_t b(n, 4, w);
        b.discrete(0.0123f * static_cast<float>(i + 1), 80.5f - 4.25f * static_cast<float>(i), 3);
        if (i == 3) b.gps(-33.8688, -70.6693, true, 11, 520);
        add(b);
    }
    // Group 5: curve percentages (CurveS / CurveC), one also marked CGS.
    for (int32_t i = 0; i < 6; ++i, ++n) {
        const uint32_t cs = (i % 3 == 0 || i == 2) ? 1 : 0;
        const uint32_t cc = (i % 3 == 1 || i == 2) ? 2 : 0;
        uint32_t w = tw(1, cs, cc);
        if (i == 3) w |= TW_SUSC_CGS;
        rec_builder_t b(n, 5, w);
        b.discrete(12.5f + 2.5f * static_cast<float>(i), 33.0f + 1.5f * static_cast<float>(i), 3);
        add(b);
    }
    // Group 6: no GPS fix; some notes and aux files.
    for (int32_t i = 0; i < 8; ++i, ++n) {
        rec_builder_t b(n, 6, tw(1));
        b.discrete(0.45f + 0.05f * static_cast<float>(i), 5.5f + 0.5f * static_cast<float>(i), 3)
            .gps(0.0, 0.0, false, static_cast<uint32_t>(i % 4), 0);
        add(b, n == 40, n == 38 || n == 41);
    }
    // Group 7: a borehole in feet measured by scanner; the description fills all 16 bytes.
    {
        rec_builder_t b(n++, 7, tw(0, 0, 0, 1));
        b.borehole(42, "CORE-SHED-BH0042", true).header(10.0f, 60.0f, 10.0f, 10.0f, 4, false);
        add(b);
    }
    for (int32_t i = 1; i <= 5; ++i, ++n) {
        rec_builder_t b(n, 7, tw(2, 0, 0, 2));
        b.scan(6 + 3 * i, n).borehole(42, "CORE-SHED-BH0042", true).core(i, 10.0f * static_cast<float>(i));
        add(b);
    }
    // Group 8: a single discrete record.
    {
        rec_builder_t b(n++, 8, tw(1));
        b.discrete(1.234f, 56.7f, 1);
        add(b);
    }
    // Group 9: mixed discrete records.
    for (int32_t i = 0; i < 6; ++i, ++n) {
        rec_builder_t b(n, 9, tw(1));
        b.discrete(0.031f * static_cast<float>(i + 1), 2.5f * static_cast<float>(i + 1), 3)
            .pin_error(i % 2 == 0 ? 1 : 0, i == 4 ? 2 : 0);
        add(b, n == 53, n == 53);
    }
    // Slots 0..56 with slot 20 left free, as after a deletion.
    for (size_t i = 0; i < recs.size(); ++i) {
        const auto slot = static_cast<uint32_t>(i < 20 ? i : i + 1);
        store(ins, slot, recs[i], extra[i].first, extra[i].second);
    }
    SIMI_put_file(ins, "meas/last.dat", recs.back());
    add_luts(ins);
    put_i32le(ins.params.data(), PARAMS_OFF_MAX_STORED_MEAS, 64);
}

void SIMD_build_log(sim_instrument_t& ins, int32_t records) {
    SIMD_build_empty(ins);
    records = std::clamp(records, 0, 65535);
    std::vector<uint8_t> last;
    for (int32_t i = 0; i < records; ++i) {
        const int32_t n = i + 1;
        const int32_t group = i / 20 + 1;
        if (i % 10 == 9) {
            rec_builder_t b(n, group, tw(2));
            b.scan(24, n);
            last = b.rec;
        } else {
            rec_builder_t b(n, group, tw(1));
            b.discrete(0.1f + 0.001f * static_cast<float>(i % 500), 10.0f + 0.01f * static_cast<float>(i % 900), 3);
            last = b.rec;
        }
        store(ins, static_cast<uint32_t>(i), last, i % 100 == 3, i % 250 == 7);
    }
    if (!last.empty()) SIMI_put_file(ins, "meas/last.dat", last);
    add_luts(ins);
    put_i32le(ins.params.data(), PARAMS_OFF_MAX_STORED_MEAS, records);
}
