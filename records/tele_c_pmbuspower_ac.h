#pragma once
#include <cstdint>

#include "optional_field.h"

// Generic AC distribution records. The template arguments are the array
// sizes a product's replies carry; an argument of 0 leaves the field out
// entirely (one partial specialization per combination, written once in a
// macro, since a zero-size array is not standard C++). Every instance is packed: it is the byte image
// that is published, saved and restored.

template <int AirlockMax, int P4043>
struct tele_c_pmbuspower_ac_sizes {
    static_assert(AirlockMax >= 0 && AirlockMax <= 255 && P4043 >= 0 && P4043 <= 255,
                  "a count byte sizes these arrays");
    // Most switch status bytes a 40/43 section may carry.
    static constexpr int AIRLOCK_MAX() { return AirlockMax; }
    // User-defined switch status bytes expected in a 40/43 section.
    static constexpr int P40_43_SIZE() { return P4043; }
};

template <int P4041, int P4044>
struct tele_c_pmbuspower_ac_channel_sizes {
    static_assert(P4041 >= 0 && P4041 <= 255 && P4044 >= 0 && P4044 <= 255, "a count byte sizes these arrays");
    // User-defined analog floats expected per channel in a 40/41 section.
    static constexpr int P40_41_SIZE() { return P4041; }
    // User-defined alarm bytes expected per channel in a 40/44 section.
    static constexpr int p40_44_SIZE() { return P4044; }
};

namespace tele_layout {

template <int A, int P, bool HasAirlock = (A > 0), bool HasUser = (P > 0)>
struct ac;

template <int U, int P, bool HasUserAnalog = (U > 0), bool HasUserAlarm = (P > 0)>
struct ac_channel;

#pragma pack(push, 1)

// One member a line: the formatter cannot see a pasted macro name as a declaration.
// clang-format off
#define VX42B_AC_FIELDS(HAS_AIRLOCK, HAS_USER)                              \
    template <int A, int P>                                                 \
    struct ac<A, P, HAS_AIRLOCK, HAS_USER> : tele_c_pmbuspower_ac_sizes<A, P> { \
        uint32_t data_id;                                                   \
        float ia;                                                           \
        float ib;                                                           \
        float ic;                                                           \
        uint8_t channel_count;                                              \
        uint8_t airlock_count;                                              \
        VX42B_FIELD_IF_##HAS_AIRLOCK(uint8_t airlock[A];)                   \
        uint8_t p43_count;                                                  \
        VX42B_FIELD_IF_##HAS_USER(uint8_t user_p43[P];)                     \
        uint8_t ia_alert;                                                   \
        uint8_t ib_alert;                                                   \
        uint8_t ic_alert;                                                   \
        uint8_t ttime[7];                                                   \
    };

VX42B_AC_FIELDS(true, true)
VX42B_AC_FIELDS(true, false)
VX42B_AC_FIELDS(false, true)
VX42B_AC_FIELDS(false, false)

#define VX42B_AC_CHANNEL_FIELDS(HAS_USER_ANALOG, HAS_USER_ALARM)                              \
    template <int U, int P>                                                                   \
    struct ac_channel<U, P, HAS_USER_ANALOG, HAS_USER_ALARM> : tele_c_pmbuspower_ac_channel_sizes<U, P> { \
        float a;                                                                              \
        float b;                                                                              \
        float c;                                                                              \
        float f;                                                                              \
        uint8_t p41_count;                                                                    \
        VX42B_FIELD_IF_##HAS_USER_ANALOG(float user_p41[U];)                                  \
        uint8_t a_alert;                                                                      \
        uint8_t b_alert;                                                                      \
        uint8_t c_alert;                                                                      \
        uint8_t f_alert;                                                                      \
        uint8_t p44_count;                                                                    \
        VX42B_FIELD_IF_##HAS_USER_ALARM(uint8_t alert_p44[P];)                                \
    };

VX42B_AC_CHANNEL_FIELDS(true, true)
VX42B_AC_CHANNEL_FIELDS(true, false)
VX42B_AC_CHANNEL_FIELDS(false, true)
VX42B_AC_CHANNEL_FIELDS(false, false)

#undef VX42B_AC_FIELDS
#undef VX42B_AC_CHANNEL_FIELDS
// clang-format on

#pragma pack(pop)

}  // namespace tele_layout

#pragma pack(push, 1)

// One AC distribution unit: phase currents, switch and alarm states, time stamp.
template <int AirlockMax, int P4043>
struct tele_c_pmbuspower_ac : tele_layout::ac<AirlockMax, P4043> {};

// One AC input channel of a unit: voltages, frequency and their alarm states.
template <int P4041, int P4044>
struct tele_c_pmbuspower_ac_channel : tele_layout::ac_channel<P4041, P4044> {};

#pragma pack(pop)
