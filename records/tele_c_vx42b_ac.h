#pragma once
#include <cstddef>
#include <type_traits>

#include "tele_c_pmbuspower_ac.h"

// The VX42B AC records; their bytes are record type 5085 (layout in docs/host-integration.md).
#pragma pack(push, 1)
struct tele_c_vx42b_ac : tele_c_pmbuspower_ac<0, 2> {};
struct tele_c_vx42b_ac_channel : tele_c_pmbuspower_ac_channel<0, 4> {};
#pragma pack(pop)

static_assert(std::is_standard_layout<tele_c_vx42b_ac>::value, "offsetof needs a standard-layout record");
static_assert(std::is_trivially_copyable<tele_c_vx42b_ac>::value, "the record is copied as bytes");
static_assert(tele_c_vx42b_ac::AIRLOCK_MAX() == 0, "");
static_assert(tele_c_vx42b_ac::P40_43_SIZE() == 2, "");
static_assert(sizeof(tele_c_vx42b_ac) == 31, "stored image size");
static_assert(alignof(tele_c_vx42b_ac) == 1, "");
static_assert(offsetof(tele_c_vx42b_ac, data_id) == 0, "");
static_assert(offsetof(tele_c_vx42b_ac, ia) == 4, "");
static_assert(offsetof(tele_c_vx42b_ac, ib) == 8, "");
static_assert(offsetof(tele_c_vx42b_ac, ic) == 12, "");
static_assert(offsetof(tele_c_vx42b_ac, channel_count) == 16, "");
static_assert(offsetof(tele_c_vx42b_ac, airlock_count) == 17, "");
static_assert(offsetof(tele_c_vx42b_ac, p43_count) == 18, "");
static_assert(offsetof(tele_c_vx42b_ac, user_p43) == 19, "");
static_assert(sizeof(tele_c_vx42b_ac::user_p43) == 2, "");
static_assert(offsetof(tele_c_vx42b_ac, ia_alert) == 21, "");
static_assert(offsetof(tele_c_vx42b_ac, ib_alert) == 22, "");
static_assert(offsetof(tele_c_vx42b_ac, ic_alert) == 23, "");
static_assert(offsetof(tele_c_vx42b_ac, ttime) == 24, "");
static_assert(sizeof(tele_c_vx42b_ac::ttime) == 7, "");

static_assert(std::is_standard_layout<tele_c_vx42b_ac_channel>::value, "offsetof needs a standard-layout record");
static_assert(std::is_trivially_copyable<tele_c_vx42b_ac_channel>::value, "the record is copied as bytes");
static_assert(tele_c_vx42b_ac_channel::P40_41_SIZE() == 0, "");
static_assert(tele_c_vx42b_ac_channel::p40_44_SIZE() == 4, "");
static_assert(sizeof(tele_c_vx42b_ac_channel) == 26, "stored image size");
static_assert(alignof(tele_c_vx42b_ac_channel) == 1, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, a) == 0, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, b) == 4, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, c) == 8, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, f) == 12, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, p41_count) == 16, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, a_alert) == 17, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, b_alert) == 18, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, c_alert) == 19, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, f_alert) == 20, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, p44_count) == 21, "");
static_assert(offsetof(tele_c_vx42b_ac_channel, alert_p44) == 22, "");
static_assert(sizeof(tele_c_vx42b_ac_channel::alert_p44) == 4, "");
