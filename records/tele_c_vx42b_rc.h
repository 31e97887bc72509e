#pragma once
#include <cstddef>
#include <type_traits>

#include "tele_c_pmbuspower_rc.h"

// VX42B rectifier records (record type 5086: group record, then one module
// record per rectifier module).
using tele_c_vx42b_rc = tele_c_pmbuspower_rc<5, 20>;
using tele_c_vx42b_rc_channel = tele_c_pmbuspower_rc_channel<4, 5, 6>;

static_assert(std::is_standard_layout<tele_c_vx42b_rc>::value, "group record must be a plain image");
static_assert(std::is_trivially_copyable<tele_c_vx42b_rc>::value, "group record must be a plain image");
static_assert(sizeof(tele_c_vx42b_rc) == 65, "group record size");
static_assert(alignof(tele_c_vx42b_rc) == 1, "group record packing");
static_assert(offsetof(tele_c_vx42b_rc, data_id) == 0, "group record layout");
static_assert(offsetof(tele_c_vx42b_rc, ac_param) == 4, "group record layout");
static_assert(offsetof(tele_c_vx42b_rc, dc_param) == 24, "group record layout");
static_assert(offsetof(tele_c_vx42b_rc, dc_p_count) == 32, "group record layout");
static_assert(offsetof(tele_c_vx42b_rc, dc_user_p) == 33, "group record layout");
static_assert(offsetof(tele_c_vx42b_rc, group_value) == 53, "group record layout");
static_assert(offsetof(tele_c_vx42b_rc, channel_count) == 57, "group record layout");
static_assert(offsetof(tele_c_vx42b_rc, ttime) == 58, "group record layout");
static_assert(tele_c_vx42b_rc::P42_46_NUMBER() == 5 && tele_c_vx42b_rc::P42_46_SIZE() == 20, "group record sizes");

static_assert(std::is_standard_layout<tele_c_vx42b_rc_channel>::value, "module record must be a plain image");
static_assert(std::is_trivially_copyable<tele_c_vx42b_rc_channel>::value, "module record must be a plain image");
static_assert(sizeof(tele_c_vx42b_rc_channel) == 38, "module record size");
static_assert(alignof(tele_c_vx42b_rc_channel) == 1, "module record packing");
static_assert(offsetof(tele_c_vx42b_rc_channel, module_value) == 0, "module record layout");
static_assert(offsetof(tele_c_vx42b_rc_channel, p41_count) == 4, "module record layout");
static_assert(offsetof(tele_c_vx42b_rc_channel, user_p41) == 5, "module record layout");
static_assert(offsetof(tele_c_vx42b_rc_channel, switch_state) == 21, "module record layout");
static_assert(offsetof(tele_c_vx42b_rc_channel, p43_count) == 24, "module record layout");
static_assert(offsetof(tele_c_vx42b_rc_channel, user_p43) == 25, "module record layout");
static_assert(offsetof(tele_c_vx42b_rc_channel, fault_state) == 30, "module record layout");
static_assert(offsetof(tele_c_vx42b_rc_channel, p44_count) == 31, "module record layout");
static_assert(offsetof(tele_c_vx42b_rc_channel, alert_p44) == 32, "module record layout");
static_assert(tele_c_vx42b_rc_channel::P41_41_SIZE() == 4 && tele_c_vx42b_rc_channel::P41_43_SIZE() == 5 &&
                  tele_c_vx42b_rc_channel::P41_44_SIZE() == 6,
              "module record sizes");
