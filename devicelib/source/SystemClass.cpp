// The system entity: one accessor per system option.
#include "SystemClass.h"

namespace Quillmar {
namespace Keystrand {

SystemClass::SystemClass() = default;
SystemClass::~SystemClass() = default;

void SystemClass::init(Module* module, uint8_t index) {
    EntityClass::init(module, cmdSYSTEM, index);
}

qErr SystemClass::getSigned(uint8_t option, int32_t* value) {
    if (!value)
        return qErrParam;
    uint32_t raw = 0;
    qErr result = getUEI32(option, &raw);
    if (result == qErrNone || result == qErrStreamStale)
        *value = int32_t(raw);
    return result;
}

qErr SystemClass::setLED(uint8_t state) {
    return setUEI8(systemLED, uint8_t(state ? 1 : 0));
}

qErr SystemClass::getInputPowerBehaviorConfig(uint32_t* values, size_t* count) {
    if (!values || !count)
        return qErrParam;
    size_t received = 0;
    qErr result = getUEIBytes(systemInputPowerBehavior, reinterpret_cast<uint8_t*>(values),
                              *count * 4, &received);
    if (result == qErrNone) {
        // Only whole values count; a trailing part of one is not a value.
        if (getUEIBytesCheck(&received, 4) != qErrNone)
            received /= 4;
        *count = received;
    }
    return result;
}

qErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* values, size_t count) {
    return setUEIBytes(systemInputPowerBehavior, reinterpret_cast<const uint8_t*>(values),
                       count * 4);
}

qErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* received) {
    if (!received)
        return qErrParam;
    *received = 0;
    return getUEIBytes(systemName, buffer, capacity, received);
}

qErr SystemClass::setName(const uint8_t* name, size_t length) {
    return setUEIBytes(systemName, name, length);
}

qErr SystemClass::getModule(uint8_t* address) {
    return getUEI8(systemModule, address);
}
qErr SystemClass::getRouter(uint8_t* address) {
    return getUEI8(systemRouter, address);
}
qErr SystemClass::setRouter(uint8_t address) {
    return setUEI8(systemRouter, address);
}
qErr SystemClass::getHBInterval(uint8_t* interval) {
    return getUEI8(systemHBInterval, interval);
}
qErr SystemClass::setHBInterval(uint8_t interval) {
    return setUEI8(systemHBInterval, interval);
}
qErr SystemClass::getLED(uint8_t* state) {
    return getUEI8(systemLED, state);
}
qErr SystemClass::getBootSlot(uint8_t* slot) {
    return getUEI8(systemBootSlot, slot);
}
qErr SystemClass::setBootSlot(uint8_t slot) {
    return setUEI8(systemBootSlot, slot);
}
qErr SystemClass::getVersion(uint32_t* version) {
    return getUEI32(systemVersion, version);
}
qErr SystemClass::getModel(uint8_t* model) {
    return getUEI8(systemModel, model);
}
qErr SystemClass::getSerialNumber(uint32_t* serialNumber) {
    return getUEI32(systemSerialNumber, serialNumber);
}
qErr SystemClass::save() {
    return callUEI(systemSave);
}
qErr SystemClass::reset() {
    return callUEI(systemReset);
}
qErr SystemClass::getInputVoltage(uint32_t* value) {
    return getUEI32(systemInputVoltage, value);
}
qErr SystemClass::getModuleHardwareOffset(uint8_t* offset) {
    return getUEI8(systemModuleHardwareOffset, offset);
}
qErr SystemClass::getModuleBaseAddress(uint8_t* address) {
    return getUEI8(systemModuleBaseAddress, address);
}
qErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) {
    return getUEI8(systemModuleSoftwareOffset, offset);
}
qErr SystemClass::setModuleSoftwareOffset(uint8_t offset) {
    return setUEI8(systemModuleSoftwareOffset, offset);
}
qErr SystemClass::getRouterAddressSetting(uint8_t* setting) {
    return getUEI8(systemRouterAddressSetting, setting);
}
qErr SystemClass::routeToMe(uint8_t on) {
    return setUEI8(systemRouteToMe, on);
}
qErr SystemClass::getInputCurrent(uint32_t* value) {
    return getUEI32(systemInputCurrent, value);
}
qErr SystemClass::getUptime(uint32_t* value) {
    return getUEI32(systemUptime, value);
}
qErr SystemClass::getMaximumTemperature(int32_t* value) {
    return getSigned(systemMaximumTemperature, value);
}
qErr SystemClass::logEvents() {
    return callUEI(systemLogEvents);
}
qErr SystemClass::getUnregulatedVoltage(int32_t* value) {
    return getSigned(systemUnregulatedVoltage, value);
}
qErr SystemClass::getUnregulatedCurrent(int32_t* value) {
    return getSigned(systemUnregulatedCurrent, value);
}
qErr SystemClass::getTemperature(int32_t* value) {
    return getSigned(systemTemperature, value);
}
qErr SystemClass::getMinimumTemperature(int32_t* value) {
    return getSigned(systemMinimumTemperature, value);
}
qErr SystemClass::getInputPowerSource(uint8_t* source) {
    return getUEI8(systemInputPowerSource, source);
}
qErr SystemClass::getInputPowerBehavior(uint8_t* behavior) {
    return getUEI8(systemInputPowerBehavior, behavior);
}
qErr SystemClass::setInputPowerBehavior(uint8_t behavior) {
    return setUEI8(systemInputPowerBehavior, behavior);
}
qErr SystemClass::getPowerLimit(uint32_t* value) {
    return getUEI32(systemPowerLimit, value);
}
qErr SystemClass::getPowerLimitMax(uint32_t* value) {
    return getUEI32(systemPowerLimitMax, value);
}
qErr SystemClass::setPowerLimitMax(uint32_t value) {
    return setUEI32(systemPowerLimitMax, value);
}
qErr SystemClass::getPowerLimitState(uint32_t* value) {
    return getUEI32(systemPowerLimitState, value);
}
qErr SystemClass::resetEntityToFactoryDefaults() {
    return callUEI(systemResetEntityToFactoryDefaults);
}
qErr SystemClass::resetDeviceToFactoryDefaults() {
    return callUEI(systemResetDeviceToFactoryDefaults);
}
qErr SystemClass::getLinkInterface(uint8_t* interface) {
    return getUEI8(systemLinkInterface, interface);
}
qErr SystemClass::setLinkInterface(uint8_t interface) {
    return setUEI8(systemLinkInterface, interface);
}
qErr SystemClass::getHardwareVersion(uint32_t* value) {
    return getUEI32(systemHardwareVersion, value);
}
qErr SystemClass::getErrors(uint32_t* value) {
    return getUEI32(systemErrors, value);
}

} // namespace Keystrand
} // namespace Quillmar
