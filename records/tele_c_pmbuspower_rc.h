#pragma once
#include <cstddef>
#include <cstdint>

#include "optional_field.h"

// Rectifier group and module records: packed byte images that are published,
// saved and restored verbatim, so their offsets are a wire format. The
// template arguments size the user-defined arrays; an argument of 0 leaves
// its array out entirely. Every member object takes at least one byte, so the
// fields live in a base chosen by which sizes are zero, written once through
// the macros below; the record itself adds no data and stays standard-layout.

namespace rc_record_detail {

template <int DcUserBytes, bool HasDcUser>
struct GroupFields;

template <int ValuesP41, int BytesP43, int BytesP44, bool HasP41, bool HasP43, bool HasP44>
struct ChannelFields;

#pragma pack(push, 1)

// One member a line: the formatter cannot see a pasted macro name as a declaration.
// clang-format off
#define VX42B_RC_GROUP_FIELDS(HAS_DC_USER)                                      \
    template <int DcUserBytes>                                                  \
    struct GroupFields<DcUserBytes, HAS_DC_USER> {                              \
        uint32_t data_id;                                                       \
        float ac_param[5];                                                      \
        float dc_param[2];                                                      \
        unsigned char dc_p_count;                                               \
        VX42B_FIELD_IF_##HAS_DC_USER(unsigned char dc_user_p[DcUserBytes];)        \
        float group_value;                                                      \
        unsigned char channel_count;                                            \
        unsigned char ttime[7];                                                 \
    };

VX42B_RC_GROUP_FIELDS(true)
VX42B_RC_GROUP_FIELDS(false)

#define VX42B_RC_CHANNEL_FIELDS(HAS_P41, HAS_P43, HAS_P44)                                  \
    template <int ValuesP41, int BytesP43, int BytesP44>                                    \
    struct ChannelFields<ValuesP41, BytesP43, BytesP44, HAS_P41, HAS_P43, HAS_P44> {        \
        float module_value;                                                                 \
        unsigned char p41_count;                                                            \
        VX42B_FIELD_IF_##HAS_P41(float user_p41[ValuesP41];)                                   \
        unsigned char switch_state[3];                                                      \
        unsigned char p43_count;                                                            \
        VX42B_FIELD_IF_##HAS_P43(unsigned char user_p43[BytesP43];)                            \
        unsigned char fault_state;                                                          \
        unsigned char p44_count;                                                            \
        VX42B_FIELD_IF_##HAS_P44(unsigned char alert_p44[BytesP44];)                           \
    };

VX42B_RC_CHANNEL_FIELDS(true, true, true)
VX42B_RC_CHANNEL_FIELDS(true, true, false)
VX42B_RC_CHANNEL_FIELDS(true, false, true)
VX42B_RC_CHANNEL_FIELDS(true, false, false)
VX42B_RC_CHANNEL_FIELDS(false, true, true)
VX42B_RC_CHANNEL_FIELDS(false, true, false)
VX42B_RC_CHANNEL_FIELDS(false, false, true)
VX42B_RC_CHANNEL_FIELDS(false, false, false)

#pragma pack(pop)

#undef VX42B_RC_GROUP_FIELDS
#undef VX42B_RC_CHANNEL_FIELDS
// clang-format on

}  // namespace rc_record_detail

#pragma pack(push, 1)

// Group record: AC and DC distribution parameters, the group analog value,
// the module count and the round's time stamp.
template <int DcUserNumber, int DcUserBytes>
struct tele_c_pmbuspower_rc : rc_record_detail::GroupFields<DcUserBytes, (DcUserBytes > 0)> {
    static_assert(DcUserNumber >= 0 && DcUserBytes >= 0 && DcUserBytes <= 255, "bad user-defined DC sizes");
    // User-defined DC parameters a 0x42/0x46 reply must announce.
    static constexpr int P42_46_NUMBER() { return DcUserNumber; }
    // Bytes of them kept in dc_user_p.
    static constexpr int P42_46_SIZE() { return DcUserBytes; }
};

// One rectifier module.
template <int ValuesP41, int BytesP43, int BytesP44>
struct tele_c_pmbuspower_rc_channel
    : rc_record_detail::ChannelFields<ValuesP41, BytesP43, BytesP44, (ValuesP41 > 0), (BytesP43 > 0), (BytesP44 > 0)> {
    static_assert(ValuesP41 >= 0 && BytesP43 >= 0 && BytesP44 >= 0, "negative user-defined size");
    // User-defined analog values (4 bytes each), switch bytes and alarm bytes per module.
    static constexpr int P41_41_SIZE() { return ValuesP41; }
    static constexpr int P41_43_SIZE() { return BytesP43; }
    static constexpr int P41_44_SIZE() { return BytesP44; }
};

#pragma pack(pop)

// A zero size leaves no byte behind.
namespace rc_record_detail {
using NoDcUser = tele_c_pmbuspower_rc<0, 0>;
using NoUser = tele_c_pmbuspower_rc_channel<0, 0, 0>;
using SwitchOnly = tele_c_pmbuspower_rc_channel<0, 2, 0>;
static_assert(sizeof(NoDcUser) == 45 && offsetof(NoDcUser, group_value) == 33, "group record without user bytes");
static_assert(sizeof(NoUser) == 11 && offsetof(NoUser, switch_state) == 5 && offsetof(NoUser, fault_state) == 9,
              "module record without user bytes");
static_assert(sizeof(SwitchOnly) == 13 && offsetof(SwitchOnly, fault_state) == 11, "module record, switch bytes only");
}  // namespace rc_record_detail
