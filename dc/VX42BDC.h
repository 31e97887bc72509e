#pragma once
#include <string>

#include "PMBusPowerDC.h"
#include "tele_c_vx42b_dc.h"

extern template class PMBusPowerDC<tele_c_vx42b_dc, 5087>;

// The VX42B's DC distribution unit.
class VX42BDC : public PMBusPowerDC<tele_c_vx42b_dc, 5087> {
public:
    VX42BDC();
    explicit VX42BDC(const std::string& model);
    ~VX42BDC() override;

    void DoImpCheckAlert() override;
};
