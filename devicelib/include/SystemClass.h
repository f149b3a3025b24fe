// The system entity every module has (command cmdSYSTEM, index 0): one
// accessor per system option. Each accessor is one typed get, set or call
// and returns what that exchange returns (EntityClass).
#pragma once

#include <cstddef>
#include <cstdint>

#include "Entity.h"

namespace Quillmar {
namespace Keystrand {

// Options of the system entity.
enum {
    systemModule = 1,
    systemRouter = 2,
    systemHBInterval = 3,
    systemLED = 4,
    systemBootSlot = 6,
    systemVersion = 7,
    systemModel = 8,
    systemSerialNumber = 9,
    systemSave = 10,
    systemReset = 11,
    systemInputVoltage = 12,
    systemModuleHardwareOffset = 13,
    systemModuleBaseAddress = 14,
    systemModuleSoftwareOffset = 15,
    systemRouterAddressSetting = 16,
    systemRouteToMe = 20,
    systemInputCurrent = 21,
    systemUptime = 22,
    systemMaximumTemperature = 23,
    systemLogEvents = 24,
    systemUnregulatedVoltage = 25,
    systemUnregulatedCurrent = 26,
    systemTemperature = 27,
    systemMinimumTemperature = 28,
    systemInputPowerSource = 29,
    systemInputPowerBehavior = 31,
    systemName = 32,
    systemPowerLimit = 33,
    systemPowerLimitMax = 34,
    systemPowerLimitState = 35,
    systemResetEntityToFactoryDefaults = 36,
    systemResetDeviceToFactoryDefaults = 37,
    systemLinkInterface = 38,
    systemUniqueIdentifier = 39,
    systemHardwareVersion = 40,
    systemErrors = 41,
};

class SystemClass : public EntityClass {
  public:
    SystemClass();
    ~SystemClass() override;

    // EntityClass::init(module, cmdSYSTEM, index).
    void init(Module* module, uint8_t index);

    qErr getModule(uint8_t* address);
    qErr getRouter(uint8_t* address);
    qErr setRouter(uint8_t address);
    qErr getHBInterval(uint8_t* interval);
    qErr setHBInterval(uint8_t interval);
    qErr getLED(uint8_t* state);
    qErr setLED(uint8_t state); // sends 1 for any non-zero state
    qErr getBootSlot(uint8_t* slot);
    qErr setBootSlot(uint8_t slot);
    qErr getVersion(uint32_t* version);
    qErr getModel(uint8_t* model);
    qErr getSerialNumber(uint32_t* serialNumber);
    qErr save();
    qErr reset();
    qErr getInputVoltage(uint32_t* value);
    qErr getModuleHardwareOffset(uint8_t* offset);
    qErr getModuleBaseAddress(uint8_t* address);
    qErr getModuleSoftwareOffset(uint8_t* offset);
    qErr setModuleSoftwareOffset(uint8_t offset);
    qErr getRouterAddressSetting(uint8_t* setting);
    qErr routeToMe(uint8_t on);
    qErr getInputCurrent(uint32_t* value);
    qErr getUptime(uint32_t* value);
    qErr getMaximumTemperature(int32_t* value);
    qErr logEvents();
    qErr getUnregulatedVoltage(int32_t* value);
    qErr getUnregulatedCurrent(int32_t* value);
    qErr getTemperature(int32_t* value);
    qErr getMinimumTemperature(int32_t* value);
    qErr getInputPowerSource(uint8_t* source);
    qErr getInputPowerBehavior(uint8_t* behavior);
    qErr setInputPowerBehavior(uint8_t behavior);
    // *count holds the capacity in values on entry and the number of values
    // received on success.
    qErr getInputPowerBehaviorConfig(uint32_t* values, size_t* count);
    qErr setInputPowerBehaviorConfig(const uint32_t* values, size_t count);
    // *received is set to the number of bytes received (not terminated).
    qErr getName(uint8_t* buffer, size_t capacity, size_t* received);
    qErr setName(const uint8_t* name, size_t length);
    qErr getPowerLimit(uint32_t* value);
    qErr getPowerLimitMax(uint32_t* value);
    qErr setPowerLimitMax(uint32_t value);
    qErr getPowerLimitState(uint32_t* value);
    qErr resetEntityToFactoryDefaults();
    qErr resetDeviceToFactoryDefaults();
    qErr getLinkInterface(uint8_t* interface);
    qErr setLinkInterface(uint8_t interface);
    qErr getHardwareVersion(uint32_t* value);
    qErr getErrors(uint32_t* value);

  private:
    // A 32-bit get whose value is signed.
    qErr getSigned(uint8_t option, int32_t* value);
};

} // namespace Keystrand
} // namespace Quillmar
