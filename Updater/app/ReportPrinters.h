// What -C and -I print: a table for people, or with --json one document.
#pragma once

#include <string>

#include "FileReports.h"
#include "Fingerprint.h"

class UpdaterDisplayInterface;

// -C: the file's descriptor, its blocks and the verdict.
void _display_bird_check(UpdaterDisplayInterface& display, const BirdCheckReport& report);
// -I: the module's attributes and the files kept for it.
void _display_device_record(UpdaterDisplayInterface& display, const DeviceRecordReport& report);

// The same as JSON documents (shapes in the man page, JSON OUTPUT).
std::string _bird_check_json(const BirdCheckReport& report);
std::string _device_record_json(const DeviceRecordReport& report);
// -N: {"fingerprint": ["0A1B2C3D", ...]}, the four words as hexadecimal text.
std::string _fingerprint_json(const Fingerprint& fingerprint);
