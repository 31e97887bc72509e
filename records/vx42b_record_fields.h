#pragma once
#include "record_fields.h"
#include "record_types.h"
#include "tele_c_vx42b_ac.h"
#include "tele_c_vx42b_dc.h"
#include "tele_c_vx42b_rc.h"

// The VX42B records, field by field (see record_fields.h).
namespace vx42b_fields {

#define VX42B_F(member, TYPE, brief, label, abbrev, unit) \
    VX42B_RECORD_FIELD(tele_c_vx42b_ac, member, TYPE, brief, label, abbrev, unit)
inline constexpr FieldSpec kAcUnit[] = {
    VX42B_F(data_id, U32, false, "data id", "", ""),
    VX42B_F(ia, F32, true, "phase A input current", "Ia", "A"),
    VX42B_F(ib, F32, true, "phase B input current", "Ib", "A"),
    VX42B_F(ic, F32, true, "phase C input current", "Ic", "A"),
    VX42B_F(channel_count, U8, false, "AC input channels", "", ""),
    VX42B_F(airlock_count, U8, false, "switch status bytes announced", "", ""),
    VX42B_F(p43_count, U8, false, "user-defined switch bytes announced", "", ""),
    VX42B_F(user_p43, U8, false, "user-defined switch status", "", ""),
    VX42B_F(ia_alert, U8, true, "phase A current alarm state", "", ""),
    VX42B_F(ib_alert, U8, true, "phase B current alarm state", "", ""),
    VX42B_F(ic_alert, U8, true, "phase C current alarm state", "", ""),
    VX42B_F(ttime, Time, false, "round end", "", ""),
};
#undef VX42B_F

#define VX42B_F(member, TYPE, brief, label, abbrev, unit) \
    VX42B_RECORD_FIELD(tele_c_vx42b_ac_channel, member, TYPE, brief, label, abbrev, unit)
inline constexpr FieldSpec kAcChannel[] = {
    VX42B_F(a, F32, true, "input voltage AB/A", "AB/A", "V"),
    VX42B_F(b, F32, true, "input voltage BC/B", "BC/B", "V"),
    VX42B_F(c, F32, true, "input voltage CA/C", "CA/C", "V"),
    VX42B_F(f, F32, true, "input frequency", "f", "Hz"),
    VX42B_F(p41_count, U8, false, "user-defined analog values announced", "", ""),
    VX42B_F(a_alert, U8, true, "voltage AB/A alarm state", "", ""),
    VX42B_F(b_alert, U8, true, "voltage BC/B alarm state", "", ""),
    VX42B_F(c_alert, U8, true, "voltage CA/C alarm state", "", ""),
    VX42B_F(f_alert, U8, true, "frequency alarm state", "", ""),
    VX42B_F(p44_count, U8, false, "user-defined alarm bytes announced", "", ""),
    VX42B_F(alert_p44, U8, false, "user-defined alarm state", "", ""),
};
#undef VX42B_F

#define VX42B_F(member, TYPE, brief, label, abbrev, unit) \
    VX42B_RECORD_FIELD(tele_c_vx42b_dc, member, TYPE, brief, label, abbrev, unit)
inline constexpr FieldSpec kDc[] = {
    VX42B_F(data_id, U32, false, "data id", "", ""),
    VX42B_F(v, F32, true, "output voltage", "output", "V"),
    VX42B_F(i, F32, true, "output current", "load", "A"),
    VX42B_F(dc_m, U8, false, "battery-group currents announced", "", ""),
    VX42B_F(battery_i, F32, true, "battery-group current", "battery", "A"),
    VX42B_F(dc_n, U8, false, "load-branch currents announced", "", ""),
    VX42B_F(p_count, U8, false, "user-defined values announced", "", ""),
    VX42B_F(user_p, F32, false, "user-defined value", "", ""),
    VX42B_F(dc_v_state, U8, true, "output voltage state", "voltage state", ""),
    VX42B_F(fuse_count, U8, false, "battery-fuse states announced", "", ""),
    VX42B_F(fuse_state, U8, true, "battery-fuse state", "fuses", ""),
    VX42B_F(alert_p_count, U8, false, "user-defined alarm states announced", "", ""),
    VX42B_F(alert_p, U8, false, "user-defined alarm state", "", ""),
    VX42B_F(ttime, Time, false, "round end", "", ""),
};
#undef VX42B_F

// dc_user_p is kept as bytes in the record; it carries 4-byte floats. The
// rectifier analog reply leads with the output voltage and gives one output
// current per module, as every YD/T 1363.3 rectifier group does.
#define VX42B_F(member, TYPE, brief, label, abbrev, unit) \
    VX42B_RECORD_FIELD(tele_c_vx42b_rc, member, TYPE, brief, label, abbrev, unit)
inline constexpr FieldSpec kRcGroup[] = {
    VX42B_F(data_id, U32, false, "data id", "", ""),
    VX42B_F(ac_param, F32, false, "AC distribution parameter", "", ""),
    VX42B_F(dc_param, F32, false, "DC distribution parameter", "", ""),
    VX42B_F(dc_p_count, U8, false, "user-defined DC parameters announced", "", ""),
    VX42B_F(dc_user_p, F32, false, "user-defined DC parameter", "", ""),
    VX42B_F(group_value, F32, true, "output voltage", "output", "V"),
    VX42B_F(channel_count, U8, true, "rectifier modules", "modules", ""),
    VX42B_F(ttime, Time, false, "round end", "", ""),
};
#undef VX42B_F

#define VX42B_F(member, TYPE, brief, label, abbrev, unit) \
    VX42B_RECORD_FIELD(tele_c_vx42b_rc_channel, member, TYPE, brief, label, abbrev, unit)
inline constexpr FieldSpec kRcModule[] = {
    VX42B_F(module_value, F32, true, "module output current", "output", "A"),
    VX42B_F(p41_count, U8, false, "user-defined analog values announced", "", ""),
    VX42B_F(user_p41, F32, true, "user-defined analog value", "user values", ""),
    VX42B_F(switch_state, U8, true, "switch status", "", ""),
    VX42B_F(p43_count, U8, false, "user-defined switch bytes announced", "", ""),
    VX42B_F(user_p43, U8, false, "user-defined switch status", "", ""),
    VX42B_F(fault_state, U8, true, "module fault state", "fault", ""),
    VX42B_F(p44_count, U8, false, "user-defined alarm bytes announced", "", ""),
    VX42B_F(alert_p44, U8, true, "user-defined alarm state", "", ""),
};
#undef VX42B_F

static_assert(FieldsTile(kAcUnit, sizeof(tele_c_vx42b_ac)), "AC unit description");
static_assert(FieldsTile(kAcChannel, sizeof(tele_c_vx42b_ac_channel)), "AC channel description");
static_assert(FieldsTile(kDc, sizeof(tele_c_vx42b_dc)), "DC description");
static_assert(FieldsTile(kRcGroup, sizeof(tele_c_vx42b_rc)), "rectifier group description");
static_assert(FieldsTile(kRcModule, sizeof(tele_c_vx42b_rc_channel)), "rectifier module description");

template <std::size_t N>
constexpr int Count(const FieldSpec (&)[N])
{
    return static_cast<int>(N);
}

inline constexpr RecordSpec kRecords[] = {
    {kRecordTypeAc, "vx42b-ac", "tele_c_vx42b_ac", sizeof(tele_c_vx42b_ac), kAcUnit, Count(kAcUnit),
     "tele_c_vx42b_ac_channel", sizeof(tele_c_vx42b_ac_channel), offsetof(tele_c_vx42b_ac, channel_count), "channels",
     kAcChannel, Count(kAcChannel)},
    {kRecordTypeDc, "vx42b-dc", "tele_c_vx42b_dc", sizeof(tele_c_vx42b_dc), kDc, Count(kDc), nullptr, 0, -1, nullptr,
     nullptr, 0},
    {kRecordTypeRectifier, "vx42b-rc", "tele_c_vx42b_rc", sizeof(tele_c_vx42b_rc), kRcGroup, Count(kRcGroup),
     "tele_c_vx42b_rc_channel", sizeof(tele_c_vx42b_rc_channel), offsetof(tele_c_vx42b_rc, channel_count), "modules",
     kRcModule, Count(kRcModule)},
};

}  // namespace vx42b_fields
