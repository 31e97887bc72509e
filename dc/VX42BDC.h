#pragma once
#include <string>

#include "PMBusPowerDC.h"
#include "record_types.h"
#include "tele_c_vx42b_dc.h"

extern template class PMBusPowerDC<tele_c_vx42b_dc, kRecordTypeDc>;

// The VX42B's DC distribution unit.
class VX42BDC : public PMBusPowerDC<tele_c_vx42b_dc, kRecordTypeDc> {
public:
    VX42BDC();
    explicit VX42BDC(const std::string& model);
    ~VX42BDC() override;

    void DoImpCheckAlert() override;
};
