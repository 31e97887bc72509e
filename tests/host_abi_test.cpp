#include <gtest/gtest.h>

#include "PMBusProtocol.h"
#include "vtable_slot.h"

namespace {

using V = VDeviceInterface;
using P = PMBusProtocol;

// A customer's host calls these slots by position.
TEST(HostAbi, DeviceInterfaceSlotOrder)
{
    EXPECT_EQ(VirtualSlot(&V::Get_Value), 0);
    EXPECT_EQ(VirtualSlot(static_cast<bool (V::*)(const std::string&)>(&V::LoadFromCache)), 1);
    EXPECT_EQ(VirtualSlot(static_cast<bool (V::*)(const unsigned char*, int)>(&V::LoadFromCache)), 2);
    EXPECT_EQ(VirtualSlot(&V::DataId), 3);
    EXPECT_EQ(VirtualSlot(&V::DeviceType), 4);
    EXPECT_EQ(VirtualSlot(&V::DeviceIoControl), 5);
    EXPECT_EQ(VirtualSlot(&V::RoundDone), 6);
    EXPECT_EQ(VirtualSlot(&V::UseControllerDb), 7);
    // 8 and 9: complete and deleting destructor.
    EXPECT_EQ(VirtualSlot(&V::Reset), 10);
    EXPECT_EQ(VirtualSlot(&V::InitV), 11);
    EXPECT_EQ(VirtualSlot(&V::Init), 12);
    EXPECT_EQ(VirtualSlot(&V::InitSetting), 13);
    EXPECT_EQ(VirtualSlot(&V::IsSupportDevice), 14);
    EXPECT_EQ(VirtualSlot(&V::GetChildVDevice), 15);
    EXPECT_EQ(VirtualSlot(&V::GetAllChildVDevices), 16);
    EXPECT_EQ(VirtualSlot(&V::SendSP), 17);
    EXPECT_EQ(VirtualSlot(&V::SendDelayData), 18);
    EXPECT_EQ(VirtualSlot(&V::SendDoData), 19);
    EXPECT_EQ(VirtualSlot(&V::ReadDi), 20);
    EXPECT_EQ(VirtualSlot(&V::ReadAi), 21);
    EXPECT_EQ(VirtualSlot(&V::Get_SP_Value), 22);
    EXPECT_EQ(VirtualSlot(&V::RefreshStatus), 23);
    EXPECT_EQ(VirtualSlot(&V::process), 24);
    EXPECT_EQ(VirtualSlot(&V::IsProcessing), 25);
    EXPECT_EQ(VirtualSlot(&V::IsStalled), 26);
    EXPECT_EQ(VirtualSlot(&V::SendData), 27);
    EXPECT_EQ(VirtualSlot(&V::SendParityData), 28);
    EXPECT_EQ(VirtualSlot(&V::OpenPort), 29);
    EXPECT_EQ(VirtualSlot(&V::ClosePort), 30);
}

TEST(HostAbi, ProtocolSlotsFollowTheDeviceInterface)
{
    EXPECT_EQ(VirtualSlot(&P::process_payload), 31);
    EXPECT_EQ(VirtualSlot(&P::process_error), 32);
    // Overrides keep their slot.
    EXPECT_EQ(VirtualSlot(&P::Reset), 10);
    EXPECT_EQ(VirtualSlot(&P::InitSetting), 13);
    EXPECT_EQ(VirtualSlot(&P::process), 24);
    EXPECT_EQ(VirtualSlot(static_cast<void (P::*)(unsigned char, unsigned char)>(&P::write_pmbus_cmd)), -1);
}

}  // namespace
