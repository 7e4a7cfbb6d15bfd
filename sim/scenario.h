// Scenario files for the instrument simulator (qm38sim --scenario FILE,
// SIM_create_json, SIM_apply_json).
//
// A scenario is one JSON object. Every key is optional; keys are applied in
// the order listed here, on top of the chosen base instrument.
//
//   "base": "demo" | "empty" | "log"
//        Starting instrument (default "demo"). "empty": no records, the
//        directories meas, notes, aux and lut, max_stored_meas 64. "log":
//        a generated log of "log_records" records (default 4000).
//        Only when creating; SIM_apply_json refuses it.
//   "log_records": N
//   "clear_log": true
//        Removes every record, uid, note and aux file and every entry.
//   "serial": "A0001234"          8 characters (shorter: NUL-padded)
//   "fw_version": "2.17"          at most 8 characters
//   "model": 4355                 model word (bit 8 logo, 9 Bluetooth off, 12 24-bit ADC, 14 rect. coil)
//   "clock": [2026, 5, 1, 12, 0, 0]   year, month, day, hour, minute, second; runs on from there
//   "state": 0                    instrument state (0 idle)
//   "heap": {"avail": 23456, "text": "..."}
//   "settings": {"reboot_ms": 300, "arm_delay_ms": 0, "meas_ms": 120, "flash_block_size": 64,
//                "raw_size": 2097152, "storage_limit": 67108864}
//   "params": { <field>: <value>, ... }
//        Fields of the parameter record by name: use_lp, audio_vol,
//        demag_corr, calib_mode, calib.nom_susc, calib.nom_cond, calib.fs,
//        calib.fc, calib.us, calib.uc, the same for calib_pin, pc_auth,
//        gps_pin_enable, gps_on, gps_pin (text), gps_paired, gps_uuid,
//        gps_addr, sd_timeout, replay_note, save_error_meas, battery_type,
//        max_stored_meas, use_conc_lut_cond, edit_flag, use_conc_lut_susc,
//        diameter, contrast, meas_mode, bt_baud_rate, bh_units, bh_mode,
//        cond_corr, adv_mode, susc_units, cond_units, calib.a .. calib.d,
//        calib.exp_a .. calib.exp_d, calib.cond_nom, calib.cond_meas, and
//        calib_pin.* alike. Array fields take an array, or one element by
//        "name[i]". Special keys: "size": answer length in bytes (>= 319,
//        default 400; grown or cut, new bytes zero); "hex": bytes written
//        from offset 0; "bytes": {"<offset>": "<hex>"} for unnamed bytes.
//   "status": { error, bat_voltage, bat_perc, contrast, bt_status, gps_status, flash_size, "hex" }
//   "dirs": ["name", ...]          directories to create (with their parents)
//   "files": { "<name>": <content> | null, ... }
//        null deletes the file. Content is one of
//          {"hex": "0011ff"}                 raw bytes
//          {"text": "..."}                   bytes of the text
//          {"size": N}                       N bytes of a fixed pattern
//          {"wav": N}                        a WAV note of N samples
//          {"record": { <field>: <value>, ... }}   a 4063-byte measurement record
//          {"lut": {"name": "X", "values": [12 numbers], "conc": [12 numbers],
//                   "count": 12, "check": <u32, default: computed>}}
//        Record fields: rec_no, group_no, year, month, day, hour, minute,
//        second, type_word, pin, error, dia, meas_mode, susc, cond,
//        sample_no, meas_time, susc_points, cond_points (arrays, from point
//        0), marks (array of marked point indices) or marks_bytes (60
//        numbers), bh_id, bh_desc (text, up to 16 bytes, no terminator when
//        16), bh_feet, bh_depth_from, bh_depth_to, bh_core_len, bh_depth_int,
//        bh_cores_per_box, bh_core_num, bh_discrete, bh_depth; type_word
//        parts applied after type_word: type (bits 0-1), curve_s (8-15),
//        curve_c (16-23), bh_kind (24-31), susc_cgs (bit 26), cond_ohm_m
//        (bit 27); "gps": {"flags", "lat_raw", "lon_raw", "alt"} as stored,
//        or {"lat": -33.8688, "lon": 151.2093, "valid": true, "sats": 7,
//        "alt": 42} in degrees (sign gives N/S, E/W); "hex" and "bytes" as
//        for params. Unset bytes are zero.
//        Directories of a file are created. A record file
//        "meas/meas%.4d.dat" occupies its slot in the log entry table.
//   "entries": { "<slot>": <value> | {"value": V, "flags": F}, ... }
//        Overrides the entry table (value 0 removes the override; flags
//        default: derived from the note and aux files of the slot).
//   "faults": { "drop_first": N, "drop_every": N, "status_only": S,
//               "reject": true, "corrupt_every": N, "stray": N, "stray_b": N,
//               "false_header": true, "answer_size": N, "size_every": N, "split": N,
//               "delay_ms": N, "delay_every": N, "ignore_probe": true, "drop_link_after": N,
//               "baud": 115200, "only_code": 8201,
//               "fail_codes": {"8202": 1}, "silent_codes": [8204] }
//        Replaces all faults (missing keys: no fault). See sim_faults_t.
//
// Example:
//   {"serial": "A0001234", "params": {"max_stored_meas": 40},
//    "faults": {"status_only": 1},
//    "files": {"meas/meas0001.dat": {"record": {"rec_no": 7, "type": 1, "susc": 0.5}}}}
#pragma once
