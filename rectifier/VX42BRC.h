#pragma once
#include "PMBusPowerRC.h"

struct tele_c_vx42b_rc {};
struct tele_c_vx42b_rc_channel {};

class VX42BRC : public PMBusPowerRC<tele_c_vx42b_rc, tele_c_vx42b_rc_channel, 5086> {
public:
    VX42BRC() { deviceType_ = "vx42b-rc"; }
    void DoImpCheckAlert() override {}
};
