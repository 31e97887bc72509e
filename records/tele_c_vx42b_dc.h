#pragma once
#include <cstddef>
#include <type_traits>

#include "tele_c_pmbuspower_dc.h"

// Two battery groups, no load branches, eight user-defined values, ten
// battery fuses, 26 user-defined alarm states: 101 bytes.
using tele_c_vx42b_dc = tele_c_pmbuspower_dc<2, 0, 8, 10, 26>;

// Consumers read this image by offset; it must never move.
static_assert(std::is_standard_layout<tele_c_vx42b_dc>::value, "offsets need a standard-layout record");
static_assert(std::is_trivially_copyable<tele_c_vx42b_dc>::value, "the record is copied as bytes");
static_assert(alignof(tele_c_vx42b_dc) == 1, "the record is packed");
static_assert(offsetof(tele_c_vx42b_dc, data_id) == 0, "data_id");
static_assert(offsetof(tele_c_vx42b_dc, v) == 4, "v");
static_assert(offsetof(tele_c_vx42b_dc, i) == 8, "i");
static_assert(offsetof(tele_c_vx42b_dc, dc_m) == 12, "dc_m");
static_assert(offsetof(tele_c_vx42b_dc, battery_i) == 13, "battery_i");
static_assert(offsetof(tele_c_vx42b_dc, dc_n) == 21, "dc_n");
static_assert(offsetof(tele_c_vx42b_dc, p_count) == 22, "p_count");
static_assert(offsetof(tele_c_vx42b_dc, user_p) == 23, "user_p");
static_assert(offsetof(tele_c_vx42b_dc, dc_v_state) == 55, "dc_v_state");
static_assert(offsetof(tele_c_vx42b_dc, fuse_count) == 56, "fuse_count");
static_assert(offsetof(tele_c_vx42b_dc, fuse_state) == 57, "fuse_state");
static_assert(offsetof(tele_c_vx42b_dc, alert_p_count) == 67, "alert_p_count");
static_assert(offsetof(tele_c_vx42b_dc, alert_p) == 68, "alert_p");
static_assert(offsetof(tele_c_vx42b_dc, ttime) == 94, "ttime");
static_assert(sizeof(tele_c_vx42b_dc) == 101, "record size");
static_assert(sizeof(tele_c_vx42b_dc) ==
                  25 + 4 * (tele_c_vx42b_dc::M_SIZE() + tele_c_vx42b_dc::N_SIZE() + tele_c_vx42b_dc::P_SIZE()) +
                      tele_c_vx42b_dc::ALERT_M_SIZE() + tele_c_vx42b_dc::ALERT_P_SIZE(),
              "record size follows the slot counts");
static_assert(tele_c_vx42b_dc::M_SIZE() == 2 && tele_c_vx42b_dc::N_SIZE() == 0 && tele_c_vx42b_dc::P_SIZE() == 8 &&
                  tele_c_vx42b_dc::ALERT_M_SIZE() == 10 && tele_c_vx42b_dc::ALERT_P_SIZE() == 26,
              "slot counts");
