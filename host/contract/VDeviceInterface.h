#pragma once
#include <climits>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/value.h>

class SMDVDevice;
class SMDController;

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };

// The device interface a host drives. The order of the virtual members is a
// binary contract with the host: never reorder, insert or remove one.
class VDeviceInterface {
public:
    virtual float Get_Value(unsigned int index, const std::string& key) const;
    virtual bool LoadFromCache(const std::string& image);
    virtual bool LoadFromCache(const unsigned char* data, int size) = 0;
    virtual unsigned int DataId() const;
    virtual const std::string& DeviceType() const;
    virtual int DeviceIoControl(int code, const void* in, int inSize, void* out, int outSize, int& returned);
    virtual void RoundDone();
    virtual bool UseControllerDb();
    virtual ~VDeviceInterface() = default;
    virtual void Reset() = 0;
    virtual bool InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& config) = 0;
    virtual bool Init(std::weak_ptr<SMDController> controller, unsigned int dataId, const Json::Value& config) = 0;
    virtual bool InitSetting(const Json::Value& config) = 0;
    virtual bool IsSupportDevice(const std::string& deviceType) const = 0;
    virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int dataId);
    virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices();
    virtual bool SendSP(int recordType, const unsigned char* data, unsigned int size, bool urgent) = 0;
    virtual bool SendDelayData(int delay) = 0;
    virtual bool SendDoData(int channel, char value) = 0;
    virtual int ReadDi(int channel) = 0;
    virtual float ReadAi(int channel) = 0;
    virtual float Get_SP_Value(unsigned int index, const std::string& key) = 0;
    virtual bool RefreshStatus() = 0;
    virtual int process(unsigned char* bytes, unsigned int size) = 0;
    virtual bool IsProcessing() = 0;
    virtual bool IsStalled() = 0;
    virtual int SendData(const unsigned char* data, unsigned int size) = 0;
    virtual int SendParityData(const unsigned char* data, unsigned int size, EnumParity parity) = 0;
    virtual bool OpenPort() = 0;
    virtual void ClosePort() = 0;

protected:
    uint32_t dataId_ = 0;
    std::string deviceType_;
    bool useControllerDb_ = false;
};

// Default bodies the plug-in carries (the host header defines them inline).
inline float VDeviceInterface::Get_Value(unsigned int, const std::string&) const
{
    throw std::out_of_range("数据未就绪");
}
inline bool VDeviceInterface::LoadFromCache(const std::string& image)
{
    // An image too large for the length type is refused as a wrong length.
    const int size = image.size() > static_cast<size_t>(INT_MAX) ? -1 : static_cast<int>(image.size());
    return LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()), size);
}
inline unsigned int VDeviceInterface::DataId() const { return dataId_; }
inline const std::string& VDeviceInterface::DeviceType() const { return deviceType_; }
inline int VDeviceInterface::DeviceIoControl(int, const void*, int, void*, int, int&) { return -2; }
inline void VDeviceInterface::RoundDone() {}
inline bool VDeviceInterface::UseControllerDb() { return useControllerDb_; }
inline std::shared_ptr<SMDVDevice> VDeviceInterface::GetChildVDevice(unsigned int) { return {}; }
inline std::vector<std::shared_ptr<SMDVDevice>> VDeviceInterface::GetAllChildVDevices() { return {}; }
