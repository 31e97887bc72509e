#pragma once
#include "PMBusPowerAC.h"
#include "record_types.h"
#include "subdevice.h"
#include "tele_c_vx42b_ac.h"

extern template class PMBusPowerAC<tele_c_vx42b_ac, tele_c_vx42b_ac_channel, kRecordTypeAc>;

// The AC distribution unit of a VX42B power system.
class VX42BAC : public PMBusPowerAC<tele_c_vx42b_ac, tele_c_vx42b_ac_channel, kRecordTypeAc> {
public:
    VX42BAC();
    ~VX42BAC() override;

    // The four user-defined alarm bytes of each channel.
    void DoImpCheckAlert() override;

private:
    subdevice::ItemRules userRules_;
};
