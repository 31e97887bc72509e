#include "VX42B.h"

VX42B::VX42B() : PMBusPower<VX42BAC, VX42BDC, VX42BRC>({"VX42B", "VX42"})
{
    deviceType_ = "vx42b";
    baudRate_ = 9600;
    lineOption_ = 1;
    ver_ = 0x20;
}

VX42B::~VX42B() = default;
