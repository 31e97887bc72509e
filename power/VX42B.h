#pragma once
#include "PMBusPower.h"
#include "VX42BAC.h"
#include "VX42BDC.h"
#include "VX42BRC.h"

// The VX42B power system.
class VX42B : public PMBusPower<VX42BAC, VX42BDC, VX42BRC> {
public:
    VX42B();
    ~VX42B() override;
};
