#pragma once
#include "PMBusPowerAC.h"

struct tele_c_vx42b_ac {};
struct tele_c_vx42b_ac_channel {};

class VX42BAC : public PMBusPowerAC<tele_c_vx42b_ac, tele_c_vx42b_ac_channel, 5085> {
public:
    VX42BAC() { deviceType_ = "vx42b-ac"; }
    void DoImpCheckAlert() override {}
};
