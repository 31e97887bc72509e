#pragma once
#include <cstdint>

// The DC-distribution record: one unit's output bus, battery groups, battery
// fuses and user-defined values, as a packed little-endian byte image.
// The template arguments are the slot counts; the parsers and the alarm rules
// read them through the static functions only.
//
// Counts are stored exactly as received, also when they exceed the slots that
// follow them. Floats are IEEE-754 single precision, copied byte for byte.

template <uint8_t M, uint8_t N, uint8_t P, uint8_t ALERT_M, uint8_t ALERT_P>
struct tele_c_pmbuspower_dc_sizes {
    static constexpr uint8_t M_SIZE() { return M; }
    static constexpr uint8_t N_SIZE() { return N; }
    static constexpr uint8_t P_SIZE() { return P; }
    static constexpr uint8_t ALERT_M_SIZE() { return ALERT_M; }
    static constexpr uint8_t ALERT_P_SIZE() { return ALERT_P; }
};

#pragma pack(push, 1)

template <uint8_t M, uint8_t N, uint8_t P, uint8_t ALERT_M, uint8_t ALERT_P>
struct tele_c_pmbuspower_dc : tele_c_pmbuspower_dc_sizes<M, N, P, ALERT_M, ALERT_P> {
    uint32_t data_id;
    float v;       // DC output voltage
    float i;       // DC output current
    uint8_t dc_m;  // battery-group currents in the last analog reply
    float battery_i[M];
    uint8_t dc_n;  // load-branch currents in the last analog reply
    float branch_i[N];
    uint8_t p_count;  // user-defined values in the last analog reply
    float user_p[P];
    uint8_t dc_v_state;           // 1 below the lower limit, 2 above the upper limit
    uint8_t fuse_count;           // battery-fuse states in the last alarm reply
    uint8_t fuse_state[ALERT_M];  // 3 = fuse fault
    uint8_t alert_p_count;        // user-defined alarm states in the last alarm reply
    uint8_t alert_p[ALERT_P];
    uint8_t ttime[7];  // end of the last round: year hi, year lo, month, day, h, min, s
};

// Units without load branches: branch_i takes no bytes (a zero-size array is
// not standard C++).
template <uint8_t M, uint8_t P, uint8_t ALERT_M, uint8_t ALERT_P>
struct tele_c_pmbuspower_dc<M, 0, P, ALERT_M, ALERT_P> : tele_c_pmbuspower_dc_sizes<M, 0, P, ALERT_M, ALERT_P> {
    uint32_t data_id;
    float v;
    float i;
    uint8_t dc_m;
    float battery_i[M];
    uint8_t dc_n;
    uint8_t p_count;
    float user_p[P];
    uint8_t dc_v_state;
    uint8_t fuse_count;
    uint8_t fuse_state[ALERT_M];
    uint8_t alert_p_count;
    uint8_t alert_p[ALERT_P];
    uint8_t ttime[7];
};

#pragma pack(pop)
