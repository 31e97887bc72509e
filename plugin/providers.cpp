#include "providers.h"

#include "VX42B.h"

VX42BProvider::~VX42BProvider() = default;
SMDSPDevice* VX42BProvider::create() const { return new VX42B(); }

VX42BACProvider::~VX42BACProvider() = default;
SMDSPDevice* VX42BACProvider::create() const { return new VX42BAC(); }

VX42BDCProvider::~VX42BDCProvider() = default;
SMDSPDevice* VX42BDCProvider::create() const { return new VX42BDC(); }

VX42BRCProvider::~VX42BRCProvider() = default;
SMDSPDevice* VX42BRCProvider::create() const { return new VX42BRC(); }
