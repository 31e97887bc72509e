#pragma once
#include <string>

#include "PMBusPowerDC.h"

struct tele_c_vx42b_dc {};

class VX42BDC : public PMBusPowerDC<tele_c_vx42b_dc, 5087> {
public:
    VX42BDC() { deviceType_ = "vx42b-dc"; }
    explicit VX42BDC(const std::string& model) : model_name(model) { deviceType_ = "vx42b-dc"; }
    void DoImpCheckAlert() override {}
    std::string model_name;
};
