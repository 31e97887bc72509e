#pragma once
#include "PMBusPowerRC.h"
#include "record_types.h"
#include "subdevice.h"
#include "tele_c_vx42b_rc.h"

extern template class PMBusPowerRC<tele_c_vx42b_rc, tele_c_vx42b_rc_channel, kRecordTypeRectifier>;

// The VX42B rectifier modules.
class VX42BRC : public PMBusPowerRC<tele_c_vx42b_rc, tele_c_vx42b_rc_channel, kRecordTypeRectifier> {
public:
    VX42BRC();
    ~VX42BRC() override;

    // States the module's user-defined alarm rules, for every module whose
    // alarm reply announced the full set of alarm bytes.
    void DoImpCheckAlert() override;

private:
    subdevice::ItemRules userRules_;
};
