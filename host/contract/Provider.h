#pragma once

class SMDSPDevice;

// Factories the host obtains from a plug-in's get_providers().
class Provider {
public:
    virtual ~Provider() = default;
};

class SMDSPDeviceProvider : public Provider {
public:
    ~SMDSPDeviceProvider() override = default;
    // The caller owns the returned device.
    virtual SMDSPDevice* create() const = 0;
};
